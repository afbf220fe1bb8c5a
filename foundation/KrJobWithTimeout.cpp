#include "foundation/KrJobWithTimeout.h"

namespace {

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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
    _due.store(nowNanos() + fromMicros(microseconds));
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
