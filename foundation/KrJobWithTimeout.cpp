#include "foundation/KrJobWithTimeout.h"

#include <ctime>

namespace {

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Deadlines at least this many microseconds away may be set coarsely.
constexpr long kCoarseFrom = 1000000;

int64_t fromMicros(long microseconds) {
    return static_cast<int64_t>(microseconds) * 1000;
}

}  // namespace

KrDeadline::KrDeadline(long microseconds) : _due(nowNanos() + fromMicros(microseconds)) {}

bool KrDeadline::expired() {
    return nowNanos() >= _due.load();
}

long KrDeadline::remaining() {
    return static_cast<long>((_due.load() - nowNanos()) / 1000);
}

void KrDeadline::restart(long microseconds) {
    // Servers restart their deadlines with every request. One a second or
    // more away is set from the coarse clock, which is read without touching
    // the hardware timer; it lags by a few milliseconds at most, so such a
    // deadline can come that much early, never late. The time is the only
    // thing the store publishes, so it is relaxed: no bus lock per request.
    if (microseconds >= kCoarseFrom) {
        timespec coarse{};
        if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &coarse) == 0) {
            _due.store(static_cast<int64_t>(coarse.tv_sec) * 1000000000 + coarse.tv_nsec +
                           fromMicros(microseconds),
                       std::memory_order_relaxed);
            return;
        }
    }
    _due.store(nowNanos() + fromMicros(microseconds), std::memory_order_relaxed);
}

KrJobWithTimeout::KrJobWithTimeout(long timeoutMicroseconds)
    : _timeout(timeoutMicroseconds), _deadline(0) {
    restartTimer();
}

KrJobWithTimeout::~KrJobWithTimeout() {
    _leaveRegistry();
}

void KrJobWithTimeout::restartTimer() {
    if (_active.load()) {
        _deadline.restart(_timeout);
    }
}

bool KrJobWithTimeout::isTimedOut() {
    if (!_active.load()) {
        _active.store(true);
        return false;
    }
    if (_deadline.expired()) {
        _active.store(false);
        return true;
    }
    return false;
}
