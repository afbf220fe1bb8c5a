#include "transport/KrXRequestHeader.h"

namespace {

// Checked before the base is built, so a refused header never registers.
bool RefuseOpenContent(bool openContent) {
    if (openContent)
        throw "_opencontent not yet implemented";
    return false;
}

}  // namespace

KrXRequestHeader::KrXRequestHeader(int method, bool openContent, int protocolKind)
    : KrXHeader(method, RefuseOpenContent(openContent), protocolKind) {
    setState(KR_JOB_REQUEST_MADE);
    setStatus(200);
}

KrXRequestHeader::~KrXRequestHeader() = default;
