#pragma once
// Test-only: waiting for what a test expects to happen, bounded by the
// steady clock and never by a count of checks. A wait ends as soon as its
// condition holds, so a passing run stays fast; its limit is generous (a
// sanitizer build on a busy machine is slow), so that only a fault reaches it.

#include <algorithm>
#include <chrono>
#include <thread>

// How long a test waits for something that must come.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(30);

// A point on the steady clock that a wait must not pass. Where a descriptor
// can be polled or a condition variable waited on, the wait blocks there
// with what is left instead of checking again and again.
class Deadline {
  public:
    explicit Deadline(std::chrono::milliseconds limit = kPatience)
        : _end(std::chrono::steady_clock::now() + limit) {}
    bool passed() const { return std::chrono::steady_clock::now() >= _end; }
    std::chrono::steady_clock::time_point end() const { return _end; }
    // What is left, in whole milliseconds rounded up (as poll takes it); 0
    // once passed.
    int pollTimeout() const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            _end - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

  private:
    std::chrono::steady_clock::time_point _end;
};

// Checks `done` until it holds (true) or `limit` has passed (false), for a
// condition that nothing announces. The pause between checks grows from 1
// to 10 ms: a quick condition is seen at once, a slow one costs little.
template <class Done>
bool WaitFor(Done&& done, std::chrono::milliseconds limit = kPatience) {
    const Deadline deadline(limit);
    std::chrono::milliseconds pause(1);
    while (!done()) {
        if (deadline.passed())
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(2 * pause, std::chrono::milliseconds(10));
    }
    return true;
}
