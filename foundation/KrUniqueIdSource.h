#pragma once
// A source of time-based unique names: prefix, "*", the microseconds of the
// current second in 7 digits and the seconds since the epoch in 11 digits.
// Names from one source never repeat: the source remembers the last instant it
// used and moves on by one microsecond whenever the clock has not (two calls
// within one microsecond, or a clock stepped back).
//
// Thread-safe: `lock` guards `lastMicros`; KrJob::_makeUniqueId takes it.

#include <cstdint>
#include <mutex>
#include <string>

class KrUniqueIdSource {
  public:
    explicit KrUniqueIdSource(const std::string& prefix);
    KrUniqueIdSource(const KrUniqueIdSource&) = delete;
    KrUniqueIdSource& operator=(const KrUniqueIdSource&) = delete;

    // Process-wide sources. Reached through functions so that they exist before
    // any job or the registry uses them, whatever the order of static
    // initialisation across translation units.
    static KrUniqueIdSource& joinedTaskNames();  // prefix "joinedtask"
    static KrUniqueIdSource& jobIds();           // prefix "_job"

    // Next instant to use, in microseconds since the epoch; call with lock held.
    int64_t _nextMicrosNL();
    // The same with the clock read before the lock was taken.
    int64_t _nextMicrosNL(int64_t now);

    // Microseconds since the epoch on the system clock.
    static int64_t _nowMicros();
    // prefix, "*" when star, then micros % 1e6 in 7 digits and micros / 1e6 in 11.
    static std::string _format(const std::string& prefix, bool star, int64_t micros);

    std::mutex lock;
    const std::string prefix;
    // Last instant handed out; guarded by lock.
    int64_t lastMicros = 0;
};
