#include "foundation/KrJobMessage.h"

KrJobMessage::KrJobMessage(const std::string& a, int kind, const std::string& b)
    : a(a), b(b), kind(kind) {}
