#include "document/KrReadCursor.h"

#include <iostream>

#include "foundation/KrException.h"

int KrReadCursor::Get(bool quietAtEnd) {
    if (_pos < _reader.Size()) {
        return static_cast<unsigned char>(_reader.Data()[_pos++]);
    }
    if (!quietAtEnd) {
        std::cerr << "reading EOF is an error! ---> will become an exception" << std::endl;
    }
    return -1;
}

void KrReadCursor::GiveBack(size_t n) {
    // A recogniser that gives back more than it took would hand the next one
    // characters that are not there: that is a bug, not a reading condition.
    if (n > Taken()) {
        throw KrException("error! can't give more back than read " + std::to_string(Taken()) +
                              " vs. " + std::to_string(n),
                          __LINE__, "src");
    }
    _pos -= n;
}
