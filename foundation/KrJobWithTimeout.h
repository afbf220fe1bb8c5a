#pragma once
// A job with an inactivity deadline: it expires `timeout` microseconds after
// construction or after the last restartTimer. Deadlines run on the steady
// clock, so setting the wall clock neither fires nor postpones them.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "foundation/KrJob.h"

// Deadline timer; durations are given in microseconds. Thread-safe without a
// lock: the one value is the instant it expires, so a restart on one thread
// (every request restarts its server's timer) never waits for another.
class KrDeadline {
  public:
    explicit KrDeadline(long microseconds);
    bool expired();
    // Microseconds left, truncated toward zero; negative once expired.
    long remaining();
    void restart(long microseconds);

  private:
    // Steady clock, nanoseconds since its epoch.
    std::atomic<int64_t> _due;
};

class KrJobWithTimeout : public KrJob {
  public:
    explicit KrJobWithTimeout(long timeoutMicroseconds);
    ~KrJobWithTimeout() override;

    // Moves the deadline to now + timeout; does nothing while not active.
    virtual void restartTimer();
    // Active and expired: clears active and answers true. Active and not
    // expired: false. Not active: sets active again (deadline unchanged) and
    // answers false. Unrestarted and expired, it alternates true and false.
    virtual bool isTimedOut();

    bool isActive() const { return _active.load(); }
    void setActive(bool active) { _active.store(active); }
    long timeout() const { return _timeout; }
    KrDeadline& deadline() { return _deadline; }

  private:
    const long _timeout;
    KrDeadline _deadline;
    std::atomic<bool> _active{true};
};
