#include "document/KrDTDElementReaderString.h"

KrDTDElementReaderString::KrDTDElementReaderString(const std::string* text, size_t start,
                                                   const KrDTDTable& dtds)
    : KrDTDElementReader(dtds) {
    if (text == nullptr) {
        Bind(nullptr, 0, 0, false);
    } else {
        Bind(text->data(), text->size(), start, start < text->size());
    }
}

KrDTDElementReaderString::~KrDTDElementReaderString() = default;
