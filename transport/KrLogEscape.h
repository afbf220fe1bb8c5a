#pragma once
// Text from a peer made safe for a log line or standard error: control bytes
// (below 0x20 and 0x7f), the double quote and the backslash are written as
// "\x" and two lower-case hexadecimal digits, so a request can neither forge
// lines nor send terminal escapes, and quoted fields stay quoted.

#include <cstddef>
#include <string>
#include <string_view>

// An escaped byte takes at most this many.
inline constexpr size_t kLogEscapeGrowth = 4;

// Writes `text`, escaped, at `to`, which has room for kLogEscapeGrowth
// bytes per byte of it; returns the end of what was written.
char* PutLogEscaped(char* to, std::string_view text);

// Appends `text`, escaped, to `out`.
void AppendLogEscaped(std::string& out, std::string_view text);
