#include "transport/KrUsableCores.h"

#include <sched.h>

#include <thread>

size_t KrUsableCores() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0)
            return static_cast<size_t>(count);
    }
    const unsigned machine = std::thread::hardware_concurrency();
    return machine > 0 ? machine : 1;
}
