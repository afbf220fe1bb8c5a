#include "document/KrDTDTable.h"

#include <utility>

KrDTDTable::KrDTDTable() = default;
KrDTDTable::~KrDTDTable() = default;
KrDTDTable::KrDTDTable(KrDTDTable&&) noexcept = default;

void KrDTDTable::Add(KrDTD dtd) {
    std::string name = dtd.GetName();
    _dtds[name] = std::make_unique<const KrDTD>(std::move(dtd));
}

const KrDTD* KrDTDTable::Find(const std::string& name) const {
    auto found = _dtds.find(name);
    return found == _dtds.end() ? nullptr : found->second.get();
}

std::vector<std::string> KrDTDTable::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : _dtds) {
        names.push_back(entry.first);
    }
    return names;
}
