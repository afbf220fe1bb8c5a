#pragma once
// The answer made for a received request (see KrXHeader::makeResponse). A page
// handler may name, in kontextReplacement(), a page context that replaces the
// one it answered for.

#include "transport/KrXHeader.h"

class KrXResponseHeader : public KrXHeader {
  public:
    KrXResponseHeader(int method, bool openContent, int protocolKind);
    ~KrXResponseHeader() override;
};
