#include "app/KrQuitSignal.h"

#include <atomic>
#include <cerrno>

#include "foundation/KrException.h"
#include "transport/KrPoller.h"

namespace {

// The signal may land on any thread, so the flag is a lock-free atomic (safe
// in a handler, and ordered for the main thread that reads it), not a
// volatile sig_atomic_t, which is only sound on the thread it interrupts.
std::atomic<int> g_quitRequested{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<KrPoller*> g_quitPoller{nullptr};

void onQuitSignal(int) {
    const int saved = errno;
    g_quitRequested.store(1);
    if (KrPoller* poller = g_quitPoller.load())
        poller->wake();
    errno = saved;
}

}  // namespace

KrQuitSignal::KrQuitSignal(KrPoller& poller) {
    g_quitRequested.store(0);
    g_quitPoller.store(&poller);
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, &_previousInt) != 0 ||
        sigaction(SIGTERM, &action, &_previousTerm) != 0) {
        g_quitPoller.store(nullptr);
        throw KrException("sigaction failed", __LINE__, "app");
    }
}

KrQuitSignal::~KrQuitSignal() {
    sigaction(SIGINT, &_previousInt, nullptr);
    sigaction(SIGTERM, &_previousTerm, nullptr);
    g_quitPoller.store(nullptr);
}

bool KrQuitSignal::requested() const {
    return g_quitRequested.load() != 0;
}
