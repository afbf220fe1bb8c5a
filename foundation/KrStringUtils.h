#pragma once
// Byte-wise string helpers shared by every layer: trimming, HTML and script
// escaping, CSS clean-up, percent-decoding and -encoding, conversions that
// never throw, and small list and map helpers. No function decodes UTF-8.
// Functions that take a text by value work on it in place and move it into
// their result; pass std::move(text) to avoid the copy.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The 64 base64 characters of RFC 4648 and the pad "=" at index 64.
extern const std::string g_base64Alphabet;
// Another name for g_base64Alphabet, for the storage's base64 coder.
extern const std::string& Base64Alphabet;

// Trimming: each character of `set` is removed on its own.
std::string Trim(const std::string& text, const std::string& set);
// Strips the leading set characters from `text` itself and returns a copy;
// a text made only of set characters stays as it was and gives "".
std::string TrimLeft(std::string& text, const std::string& set);
std::string TrimRight(const std::string& text, const std::string& set);

// Escaping and clean-up.
// Replaces " & ' < > by entities and, when `nbsp` is set, the blank by "&nbsp;".
std::string HTMLEscape(const char* text, size_t length, bool nbsp);
std::string HTMLEscape(const std::string& text, bool nbsp);
std::string EscapeAngleBrackets(std::string text);
// Escapes a text for a JavaScript string literal that may also stand inside
// a script element: \b \t \n \f \r \" \' \\, every other C0 control and
// U+2028/U+2029 as \uXXXX, "</" as "<\/" and "<!--" as "<\!--". The
// literal's value is the text unchanged.
std::string JSStringEscape(std::string text);
// Removes "&" up to (not including) the next ";": "a&amp;b" gives "a;b".
std::string StripEntities(std::string text);
// Removes every "/* ... */"; an unterminated "/*" and what follows stay.
std::string StripCssComments(std::string text);
std::string StripImportant(std::string text);
// The first of `stops` in [p, end) outside quotes and parentheses, or
// null: the ";" of url(data:image/png;base64,...) or content: "a;b" is not
// one. Inside a quoted string a backslash keeps the next character.
const char* FindOutsideQuotes(const char* p, const char* end, const char* stops);
std::string EscapeSpaces(const std::string& text);

// Percent-decoding: only "%" followed by two hexadecimal digits is decoded.
std::string URLDecode(std::string text);
// Form-value decoding: "+" becomes a blank, then URLDecode. `text` is left empty.
std::string URLDecodeInPlace(std::string& text);
// Percent-encoding of path-like text (blank and punctuation, bytes >= 0x80).
std::string EscapePunctuation(std::string text);
// Percent-encoding of form values: like EscapePunctuation but blank -> "+".
std::string FormEncode(std::string text);
// `prefix` followed by `value` in lower-case hexadecimal without leading zeros.
std::string AppendHex(uint64_t value, std::string prefix);

// Conversions.
bool IsTrue(const std::string& text);
// Decimal digits after optional leading white space; `fallback` when there is
// no digit, the value is out of range, or the text carries a sign.
uint64_t StringToULL(const std::string& text, uint64_t fallback = 0);
// Reads a number written with "." whatever the C locale's separator is;
// 0 when nothing can be read. May change `text`.
double ToDoubleLocale(std::string& text);
std::string ToLowerMove(std::string text);

// Search, lists and maps.
uint64_t CountOccurrences(const std::string& text, const std::string& pattern);
// 1 + the line feeds before `position`; position UINT64_MAX means the whole text.
uint64_t LineNumberAt(const std::string& text, uint64_t position);
// "..." + the last limit-3 characters when the text is longer than `limit`.
// Throws std::out_of_range when that is impossible (limit below 3).
std::string ShortenLeft(std::string text, uint64_t limit);
// count 0: nothing; count -1: everything; else the first min(count, size).
void EraseFront(std::string& text, int count);
uint64_t StringVectorSize2(const std::vector<std::string>& list);
// No bounds check: the caller keeps `index` below the size.
std::string* StringVectorItem(std::vector<std::string>& list, uint64_t index);
const std::string* StringVectorItem(const std::vector<std::string>& list, uint64_t index);
std::string StringVectorItemOrEmpty(const std::vector<std::string>& list, uint64_t index);
std::string MapValueOr(const std::map<std::string, std::string>& map, const std::string& key,
                       const std::string& fallback);
// Writes "[key] = value" lines in key order to standard output.
void PrintStringMap(const std::map<std::string, std::string>& map);
// The build number shown in the server banner's version text.
std::string BuildNumber();
