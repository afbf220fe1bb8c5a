#include "foundation/KrUniqueIdSource.h"

#include <chrono>
#include <cstdio>

KrUniqueIdSource::KrUniqueIdSource(const std::string& prefix) : prefix(prefix) {}

KrUniqueIdSource& KrUniqueIdSource::joinedTaskNames() {
    static KrUniqueIdSource source("joinedtask");
    return source;
}

KrUniqueIdSource& KrUniqueIdSource::jobIds() {
    static KrUniqueIdSource source("_job");
    return source;
}

int64_t KrUniqueIdSource::_nextMicrosNL() {
    // Moving on by one instead of sleeping keeps the lock short and also
    // survives the clock stepping back.
    int64_t now = _nowMicros();
    lastMicros = now > lastMicros ? now : lastMicros + 1;
    return lastMicros;
}

int64_t KrUniqueIdSource::_nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string KrUniqueIdSource::_format(const std::string& prefix, bool star, int64_t micros) {
    if (micros < 0) {
        micros = 0;
    }
    char digits[40];
    int n = std::snprintf(digits, sizeof digits, "%s%07lld%011lld", star ? "*" : "",
                          static_cast<long long>(micros % 1000000),
                          static_cast<long long>(micros / 1000000));
    std::string text;
    text.reserve(prefix.size() + static_cast<size_t>(n));
    text += prefix;
    text.append(digits, static_cast<size_t>(n));
    return text;
}
