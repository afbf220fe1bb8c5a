#include "transport/KrLogEscape.h"

#include <array>

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

}  // namespace

void AppendLogEscaped(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    // Runs of plain characters (all of a well-formed request's) go in whole.
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!NeedsEscape(text[i]))
            continue;
        out.append(text, start, i - start);
        const auto byte = static_cast<unsigned char>(text[i]);
        const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        out.append(escaped, 4);
        start = i + 1;
    }
    out.append(text, start, std::string_view::npos);
}
