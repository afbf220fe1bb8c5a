#pragma once
// A reader over a std::istream (not owned). The stream is read to its end at
// construction into one buffer; a null or failed stream makes Split report
// "error in stream".

#include <iosfwd>
#include <string>

#include "document/KrDTDElementReader.h"

class KrDTDElementReaderStream : public KrDTDElementReader {
  public:
    explicit KrDTDElementReaderStream(std::istream* in, const KrDTDTable& dtds = KrXMLDTDs());
    ~KrDTDElementReaderStream() override;

  private:
    std::string _buffer;
};
