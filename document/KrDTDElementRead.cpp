#include "document/KrDTDElementRead.h"

#include <utility>

KrDTDElementRead::KrDTDElementRead(std::string name) : _name(std::move(name)) {}

KrDTDElementRead::~KrDTDElementRead() = default;

bool KrDTDElementRead::IsCloser(const KrReadUnit&) const {
    return false;
}

bool KrDTDElementRead::TakesAttributes() const {
    return false;
}

bool KrDTDElementRead::MatchesClosing(const KrReadUnit&, const std::string&) const {
    return true;
}
