#include "foundation/KrStringUtils.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string_view>

const std::string g_base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
// Binding a reference to a named object is constant initialisation, so this
// alias is usable from any static initialiser that runs after the string's.
const std::string& Base64Alphabet = g_base64Alphabet;

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One byte-class table per encoder, built once: 1 = percent-encode.
struct EncodeTable {
    explicit EncodeTable(std::string_view set) {
        for (unsigned char c : set)
            escape[c] = true;
        for (int c = 0x80; c < 0x100; ++c)
            escape[c] = true;
    }
    bool escape[256] = {};
};

const EncodeTable& PunctuationTable() {
    static const EncodeTable table(" !\"#$%&'()*+,-./:;<=>?@[\\]{|}");
    return table;
}

const EncodeTable& FormTable() {
    static const EncodeTable table("!\"#$%&'()*+,-./:;<=>?@[\\]{|}");
    return table;
}

// Cuts every run from `open` to the end of the next `close` out of text,
// but for the last `closeKept` characters of close. Once an open has no
// close after it, no later one has either: the rest stays.
std::string CutRuns(std::string text, std::string_view open, std::string_view close,
                    size_t closeKept) {
    size_t at = text.find(open);
    if (at == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    while (at != std::string::npos) {
        const size_t end = text.find(close, at + open.size());
        if (end == std::string::npos)
            break;
        out.append(text, from, at - from);
        from = end + close.size() - closeKept;
        at = text.find(open, from);
    }
    out.append(text, from, std::string::npos);
    text.clear();
    return out;
}

void AppendEscape(std::string& out, unsigned char c) {
    out += '%';
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 0xF];
}

std::string PercentEncode(const std::string& text, const EncodeTable& table, bool blankToPlus) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (unsigned char c : text) {
        if (blankToPlus && c == ' ') {
            out += '+';
        } else if (table.escape[c]) {
            AppendEscape(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string Trim(const std::string& text, const std::string& set) {
    const size_t first = text.find_first_not_of(set);
    if (first == std::string::npos)
        return "";
    const size_t last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

std::string TrimLeft(std::string& text, const std::string& set) {
    const size_t first = text.find_first_not_of(set);
    if (first == std::string::npos)
        return "";
    text.erase(0, first);
    return text;
}

std::string TrimRight(const std::string& text, const std::string& set) {
    const size_t last = text.find_last_not_of(set);
    if (last == std::string::npos)
        return "";
    return text.substr(0, last + 1);
}

std::string HTMLEscape(const char* text, size_t length, bool nbsp) {
    std::string out;
    if (text == nullptr)
        return out;
    out.reserve(length + length / 8);
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        switch (c) {
            case ' ':
                out += nbsp ? "&nbsp;" : " ";
                break;
            case '"':
                out += "&quot;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string HTMLEscape(const std::string& text, bool nbsp) {
    return HTMLEscape(text.data(), text.size(), nbsp);
}

std::string EscapeAngleBrackets(std::string text) {
    if (text.find_first_of("<>") == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
    text.clear();
    return out;
}

std::string JSStringEscape(std::string text) {
    // Bytes that may start something to escape: controls, quotes, backslash,
    // "<" (of "</" and "<!--") and 0xE2 (the first byte of U+2028/U+2029).
    auto special = [](unsigned char c) {
        return c < 0x20 || c == '"' || c == '\'' || c == '\\' || c == '<' || c == 0xE2;
    };
    if (std::none_of(text.begin(), text.end(), [&](char c) { return special(c); })) {
        return text;
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 16);
    const size_t size = text.size();
    for (size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (!special(static_cast<unsigned char>(c))) {
            out += c;
            continue;
        }
        char letter = 0;
        switch (c) {
            case '\b':
                letter = 'b';
                break;
            case '\t':
                letter = 't';
                break;
            case '\n':
                letter = 'n';
                break;
            case '\f':
                letter = 'f';
                break;
            case '\r':
                letter = 'r';
                break;
            case '"':
            case '\'':
            case '\\':
                letter = c;
                break;
            default:
                break;
        }
        if (letter != 0) {
            out += '\\';
            out += letter;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += "\\u00";
            out += kHex[(c >> 4) & 0xF];
            out += kHex[c & 0xF];
        } else if (c == '<') {
            // "</" would end, and "<!--" would change how the browser reads, a
            // script element around the string; the backslash keeps the value.
            out += '<';
            if (i + 1 < size && text[i + 1] == '/') {
                out += '\\';
            } else if (text.compare(i + 1, 3, "!--") == 0) {
                out += '\\';
            }
        } else if (i + 2 < size && text[i + 1] == '\x80' &&
                   (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
            // U+2028 and U+2029 end a line inside older JavaScript string literals.
            out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += c;
        }
    }
    text.clear();
    return out;
}

std::string StripEntities(std::string text) {
    return CutRuns(std::move(text), "&", ";", 1);
}

std::string StripCssComments(std::string text) {
    return CutRuns(std::move(text), "/*", "*/", 0);
}

std::string StripImportant(std::string text) {
    return CutRuns(std::move(text), "!important", "", 0);
}

const char* FindOutsideQuotes(const char* p, const char* end, const char* stops) {
    char quote = 0;
    int parens = 0;
    for (; p < end; ++p) {
        char c = *p;
        if (quote != 0) {
            if (c == '\\' && p + 1 < end) {
                ++p;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(') {
            ++parens;
        } else if (c == ')') {
            if (parens > 0) {
                --parens;
            }
        } else if (parens == 0 && std::strchr(stops, c) != nullptr && c != 0) {
            return p;
        }
    }
    return nullptr;
}

std::string EscapeSpaces(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == ' ')
            out += '\\';
        out += c;
    }
    return out;
}

std::string URLDecode(std::string text) {
    // Decoding never lengthens the text, so it is done in place; a decoded
    // "%" is written behind the read position and never read again. What
    // comes before the first "%" (all of most paths) stays as it is.
    const size_t first = text.find('%');
    if (first == std::string::npos)
        return text;
    size_t write = first;
    const size_t n = text.size();
    for (size_t read = first; read < n; ++read) {
        const char c = text[read];
        if (c == '%' && read + 2 < n) {
            const int high = HexValue(static_cast<unsigned char>(text[read + 1]));
            const int low = HexValue(static_cast<unsigned char>(text[read + 2]));
            if (high >= 0 && low >= 0) {
                text[write++] = static_cast<char>(high * 16 + low);
                read += 2;
                continue;
            }
        }
        text[write++] = c;
    }
    text.resize(write);
    return text;
}

std::string URLDecodeInPlace(std::string& text) {
    for (char& c : text) {
        if (c == '+')
            c = ' ';
    }
    std::string decoded = URLDecode(std::move(text));
    // A moved-from string is only "valid"; callers rely on it being empty.
    text.clear();
    return decoded;
}

std::string EscapePunctuation(std::string text) {
    return PercentEncode(text, PunctuationTable(), false);
}

std::string FormEncode(std::string text) {
    return PercentEncode(text, FormTable(), true);
}

std::string AppendHex(uint64_t value, std::string prefix) {
    char digits[17];
    int n = 0;
    do {
        digits[n++] = kHexDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0)
        prefix += digits[--n];
    return prefix;
}

bool IsTrue(const std::string& text) {
    return text == "true";
}

uint64_t StringToULL(const std::string& text, uint64_t fallback) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    // A sign is refused: "-1" would otherwise wrap around to 2^64-1.
    if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
        return fallback;
    uint64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return fallback;
        value = value * 10 + digit;
    }
    return value;
}

double ToDoubleLocale(std::string& text) {
    if (text.empty())
        return 0;
    try {
        // The C library reads numbers with the locale's separator; the text
        // always uses ".".
        if (std::stod("0.02") < 0.01) {
            const size_t dot = text.find('.');
            if (dot != std::string::npos)
                text[dot] = ',';
        }
        return std::stod(text);
    } catch (const std::exception&) {
        return 0;
    }
}

std::string ToLowerMove(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

uint64_t CountOccurrences(const std::string& text, const std::string& pattern) {
    if (pattern.empty())
        return 0;
    uint64_t count = 0;
    for (size_t at = text.find(pattern); at != std::string::npos;
         at = text.find(pattern, at + pattern.size())) {
        ++count;
    }
    return count;
}

uint64_t LineNumberAt(const std::string& text, uint64_t position) {
    const size_t end = position < text.size() ? static_cast<size_t>(position) : text.size();
    uint64_t line = 1;
    for (size_t i = 0; i < end; ++i) {
        if (text[i] == '\n')
            ++line;
    }
    return line;
}

std::string ShortenLeft(std::string text, uint64_t limit) {
    if (text.size() <= limit)
        return text;
    if (limit < 3)
        throw std::out_of_range("ShortenLeft: limit below 3");
    text.erase(0, text.size() - (limit - 3));
    text.insert(0, "...");
    return text;
}

void EraseFront(std::string& text, int count) {
    if (count == 0)
        return;
    if (count < 0) {
        text.clear();
        return;
    }
    text.erase(0, static_cast<size_t>(count));
}

uint64_t StringVectorSize2(const std::vector<std::string>& list) {
    return list.size();
}

std::string* StringVectorItem(std::vector<std::string>& list, uint64_t index) {
    return &list[index];
}

const std::string* StringVectorItem(const std::vector<std::string>& list, uint64_t index) {
    return &list[index];
}

std::string StringVectorItemOrEmpty(const std::vector<std::string>& list, uint64_t index) {
    return index < list.size() ? list[index] : std::string();
}

std::string MapValueOr(const std::map<std::string, std::string>& map, const std::string& key,
                       const std::string& fallback) {
    const auto it = map.find(key);
    return it != map.end() ? it->second : fallback;
}

void PrintStringMap(const std::map<std::string, std::string>& map) {
    for (const auto& [key, value] : map)
        std::cout << "[" << key << "] = " << value << "\n";
    std::cout.flush();
}

std::string BuildNumber() {
    return "96";
}
