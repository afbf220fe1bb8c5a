#include "transport/KrXResponseHeader.h"

KrXResponseHeader::KrXResponseHeader(int method, bool openContent, int protocolKind)
    : KrXHeader(method, openContent, protocolKind) {}

KrXResponseHeader::~KrXResponseHeader() = default;
