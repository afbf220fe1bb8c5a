#include "transport/KrLogEscape.h"

#include <array>

namespace {

// Control bytes, the quote and the backslash, by byte value.
constexpr auto kNeedsEscape = [] {
    std::array<bool, 256> table{};
    for (int byte = 0; byte < 0x20; ++byte)
        table[byte] = true;
    table[0x7f] = true;
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

}  // namespace

char* PutLogEscaped(char* to, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!kNeedsEscape[byte]) {
            *to++ = c;
            continue;
        }
        to[0] = '\\';
        to[1] = 'x';
        to[2] = kHex[byte >> 4];
        to[3] = kHex[byte & 15];
        to += 4;
    }
    return to;
}

void AppendLogEscaped(std::string& out, std::string_view text) {
    const size_t size = out.size();
    out.resize(size + kLogEscapeGrowth * text.size());
    out.resize(static_cast<size_t>(PutLogEscaped(out.data() + size, text) - out.data()));
}
