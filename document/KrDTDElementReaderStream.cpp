#include "document/KrDTDElementReaderStream.h"

#include <istream>

KrDTDElementReaderStream::KrDTDElementReaderStream(std::istream* in, const KrDTDTable& dtds)
    : KrDTDElementReader(dtds) {
    bool good = in != nullptr && in->good();
    if (good) {
        char chunk[65536];
        while (in->read(chunk, sizeof chunk) || in->gcount() > 0) {
            _buffer.append(chunk, static_cast<size_t>(in->gcount()));
        }
    }
    // An empty but healthy stream reads as an empty document, not an error.
    Bind(_buffer.data(), _buffer.size(), 0, good);
}

KrDTDElementReaderStream::~KrDTDElementReaderStream() = default;
