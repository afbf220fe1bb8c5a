#pragma once
// Text from a peer made safe for a log line or standard error: control bytes
// (below 0x20 and 0x7f), the double quote and the backslash are written as
// "\x" and two lower-case hexadecimal digits, so a request can neither forge
// lines nor send terminal escapes, and quoted fields stay quoted.

#include <string>
#include <string_view>

// Appends `text`, escaped, to `out`.
void AppendLogEscaped(std::string& out, std::string_view text);
