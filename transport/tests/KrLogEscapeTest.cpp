#include "transport/KrLogEscape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What the escape must give, one byte at a time.
std::string Expected(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

// The scan takes plain text eight bytes at a time: every byte value is put
// at every place in and around those words, alone and next to another.
TEST(KrLogEscape, EscapesEveryByteThatNeedsItWhereverItStands) {
    for (int value = 0; value < 256; ++value) {
        for (size_t length : {1u, 7u, 8u, 9u, 17u, 24u}) {
            for (size_t at = 0; at < length; ++at) {
                std::string text(length, 'a');
                text[at] = static_cast<char>(value);
                if (at + 1 < length)
                    text[length - 1] = static_cast<char>(255 - value);
                std::string out = "kept ";
                AppendLogEscaped(out, text);
                ASSERT_EQ(out, "kept " + Expected(text)) << "byte " << value << " at " << at;
            }
        }
    }
}
