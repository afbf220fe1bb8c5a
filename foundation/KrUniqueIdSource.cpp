#include "foundation/KrUniqueIdSource.h"

#include <chrono>

namespace {

// `value` in decimal, zero-filled to at least `width` digits.
void AppendPadded(std::string& out, uint64_t value, size_t width) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (count < width)
        out.append(width - count, '0');
    while (count > 0)
        out += digits[--count];
}

}  // namespace

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
    return _nextMicrosNL(_nowMicros());
}

int64_t KrUniqueIdSource::_nextMicrosNL(int64_t now) {
    // Moving on by one instead of sleeping keeps the lock short and also
    // survives the clock stepping back.
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
    // Every message header gets an id: digits by hand cost a tenth of printf.
    std::string text;
    text.reserve(prefix.size() + 1 + 7 + 20);
    text += prefix;
    if (star)
        text += '*';
    AppendPadded(text, static_cast<uint64_t>(micros % 1000000), 7);
    AppendPadded(text, static_cast<uint64_t>(micros / 1000000), 11);
    return text;
}
