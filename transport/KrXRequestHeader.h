#pragma once
// A message made to be sent as a request: starts in job state
// KR_JOB_REQUEST_MADE with status
// 200. Streaming bodies are not supported.

#include "transport/KrXHeader.h"

class KrXRequestHeader : public KrXHeader {
  public:
    // Throws the C string "_opencontent not yet implemented" when
    // openContent is set.
    KrXRequestHeader(int method, bool openContent, int protocolKind);
    ~KrXRequestHeader() override;
};
