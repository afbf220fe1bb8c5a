#include "transport/KrLogEscape.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// Control bytes, the quote and the backslash, by byte value: one load per
// character of every access-log line.
constexpr auto kNeedsEscape = [] {
    std::array<bool, 256> table{};
    for (int byte = 0; byte < 0x20; ++byte)
        table[byte] = true;
    table[0x7f] = true;
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

bool NeedsEscape(char c) {
    return kNeedsEscape[static_cast<unsigned char>(c)];
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Whether any of eight bytes is zero; exact for the word as a whole.
constexpr uint64_t AnyZero(uint64_t word) {
    return (word - kOnes) & ~word & kHighs;
}

// Whether any of eight bytes needs escaping, eight at a time: a byte below
// 0x20, the quote, the backslash or 0x7f. Exact for the word as a whole,
// which is all the scan below asks.
constexpr bool AnyNeedsEscape(uint64_t word) {
    return ((word - kOnes * 0x20) & ~word & kHighs) | AnyZero(word ^ (kOnes * '"')) |
           AnyZero(word ^ (kOnes * '\\')) | AnyZero(word ^ (kOnes * 0x7f));
}

}  // namespace

char* PutLogEscaped(char* to, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    // A single plain byte (the "-" of a field a request did not send).
    if (text.size() == 1 && !NeedsEscape(text[0])) {
        *to = text[0];
        return to + 1;
    }
    const char* from = text.data();
    const char* const end = from + text.size();
    for (;;) {
        // A run of plain characters (all of a well-formed request's) goes in
        // whole; it is found eight bytes at a time while they last.
        const char* const run = from;
        while (end - from >= 8) {
            uint64_t word;
            std::memcpy(&word, from, 8);
            if (AnyNeedsEscape(word))
                break;
            from += 8;
        }
        while (from != end && !NeedsEscape(*from))
            ++from;
        std::memcpy(to, run, static_cast<size_t>(from - run));
        to += from - run;
        if (from == end)
            return to;
        const auto byte = static_cast<unsigned char>(*from++);
        to[0] = '\\';
        to[1] = 'x';
        to[2] = kHex[byte >> 4];
        to[3] = kHex[byte & 15];
        to += 4;
    }
}

void AppendLogEscaped(std::string& out, std::string_view text) {
    const size_t size = out.size();
    out.resize(size + kLogEscapeGrowth * text.size());
    out.resize(static_cast<size_t>(PutLogEscaped(out.data() + size, text) - out.data()));
}
