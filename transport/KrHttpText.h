#pragma once
// Small pieces of HTTP's text rules that the request reader and the reader
// of CGI heads share: blanks, token characters, trimming and comparing a
// name with a lower-case word without regard to case, and decimal numbers
// appended to heads and log lines.

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

// A space or a horizontal tab, the blanks HTTP allows around values.
inline bool KrIsHttpBlank(char c) {
    return c == ' ' || c == '\t';
}

// A character of a token (a field name, a method): looked up in a table,
// since the reader asks it for every byte of every field name.
namespace KrHttpTextTables {
constexpr bool IsTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    for (const char* p = "!#$%&'*+-.^_`|~"; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) == c)
            return true;
    }
    return false;
}
struct TokenTable {
    bool token[256] = {};
    constexpr TokenTable() {
        for (unsigned c = 0; c < 256; ++c)
            token[c] = IsTokenChar(static_cast<unsigned char>(c));
    }
};
inline constexpr TokenTable kToken{};
}  // namespace KrHttpTextTables

inline bool KrIsHttpTokenChar(char c) {
    return KrHttpTextTables::kToken.token[static_cast<unsigned char>(c)];
}

// A control character that no line of a head may hold: every byte below a
// blank but the tab, and DEL. (Bytes from 0x80 on are allowed in values.)
inline bool KrIsHttpHeadControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && u != '\t') || u == 0x7F;
}

// `text` without the blanks at either end.
inline std::string_view KrTrimHttpBlanks(std::string_view text) {
    while (!text.empty() && KrIsHttpBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && KrIsHttpBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Whether `text` is `lowerWord` (given in lower case) in any case.
inline bool KrEqualsHttpWord(std::string_view text, std::string_view lowerWord) {
    if (text.size() != lowerWord.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != lowerWord[i])
            return false;
    }
    return true;
}

// A 503 answer for a want that passes, as a program writes its output: a
// CGI head with Retry-After, then a short page that says `reason` (plain
// text, one sentence). Whoever sends it takes the head as a program's.
inline std::string KrUnavailableAnswer(std::string_view reason) {
    std::string text =
        "Status: 503 Service Unavailable\r\n"
        "Retry-After: 5\r\n"
        "Content-Type: text/html; charset=utf-8\r\n\r\n"
        "<!DOCTYPE html>\n<html><head><title>503 Service Unavailable</title></head><body>"
        "<h1>503 Service Unavailable</h1><p>";
    text += reason;
    text += " Please try again in a few seconds.</p></body></html>\n";
    return text;
}

// Appends `value` in decimal, without the stream or the temporary string
// that std::to_string makes.
inline void KrAppendDecimal(std::string& out, unsigned long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<size_t>(end - digits));
}
