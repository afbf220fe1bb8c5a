#pragma once
// Out-of-memory simulation for tests: replaces the program's global
// allocation functions, so include it in exactly one file of a test program.
// While a FailingAllocations guard lives, the thread that made it may make
// `budget` more allocations; every one after that throws std::bad_alloc, as
// a process that has run out of memory sees it. Other threads are untouched.

#include <cstddef>
#include <cstdlib>
#include <new>

namespace failing_allocations {

// Allocations left on this thread; negative: no limit.
inline thread_local long t_left = -1;

inline void* allocate(std::size_t size) {
    if (t_left == 0) {
        throw std::bad_alloc();
    }
    if (t_left > 0) {
        --t_left;
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

}  // namespace failing_allocations

class FailingAllocations {
  public:
    explicit FailingAllocations(long budget) { failing_allocations::t_left = budget; }
    ~FailingAllocations() { failing_allocations::t_left = -1; }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
    // True when the budget ran out, that is, an allocation was refused.
    static bool exhausted() { return failing_allocations::t_left == 0; }
};

void* operator new(std::size_t size) {
    return failing_allocations::allocate(size);
}
void* operator new[](std::size_t size) {
    return failing_allocations::allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
