#include "foundation/KrJobWithTimeout.h"

namespace {

std::chrono::nanoseconds fromMicros(long microseconds) {
    return std::chrono::nanoseconds(static_cast<long long>(microseconds) * 1000);
}

}  // namespace

KrDeadline::KrDeadline(long microseconds)
    : _start(std::chrono::steady_clock::now()), _duration(fromMicros(microseconds)) {}

bool KrDeadline::expired() {
    std::lock_guard<std::mutex> guard(_lock);
    return std::chrono::steady_clock::now() - _start >= _duration;
}

long KrDeadline::remaining() {
    std::lock_guard<std::mutex> guard(_lock);
    auto left = _start + _duration - std::chrono::steady_clock::now();
    return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(left).count());
}

void KrDeadline::restart(long microseconds) {
    std::lock_guard<std::mutex> guard(_lock);
    _start = std::chrono::steady_clock::now();
    _duration = fromMicros(microseconds);
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
