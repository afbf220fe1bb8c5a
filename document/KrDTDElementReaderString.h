#pragma once
// A reader over a std::string (not owned, not copied) from a start index.
// A start at or past the end makes Split report "error in stream".

#include <cstddef>
#include <string>

#include "document/KrDTDElementReader.h"

class KrDTDElementReaderString : public KrDTDElementReader {
  public:
    KrDTDElementReaderString(const std::string* text, size_t start,
                             const KrDTDTable& dtds = KrXMLDTDs());
    ~KrDTDElementReaderString() override;

    // The index of the first character not taken yet.
    size_t Index() const { return Position(); }
};
