#pragma once
// What a buffer holds and has not handed out yet, as text, for the tests.

#include <string>

#include "foundation/KrStringBuf.h"

inline std::string Unread(KrStringBuf& buffer) {
    std::string out;
    buffer.CopyOut(out, 0, buffer.Length());
    return out;
}
