#include "document/KrSharedText.h"

#include <new>

#include "document/KrNodePool.h"
#include "document/KrSharedName.h"

KrSharedText::KrSharedText(std::string_view text, Kind kind) {
    const std::string* shared =
        kind == Kind::kName ? KrSharedName::Intern(text) : KrSharedName::InternText(text);
    _bits = shared != nullptr ? reinterpret_cast<uintptr_t>(shared) : _ownCopy(text);
}

KrSharedText::~KrSharedText() {
    if ((_bits & kOwned) != 0) {
        auto* own = const_cast<std::string*>(&str());
        own->~basic_string();
        KrNodePool::Free(own, sizeof(std::string));
    }
}

uintptr_t KrSharedText::_ownCopy(std::string_view text) {
    // The string object sits in the node pool beside the nodes.
    void* memory = KrNodePool::Allocate(sizeof(std::string));
    try {
        return reinterpret_cast<uintptr_t>(new (memory) std::string(text)) | kOwned;
    } catch (...) {
        KrNodePool::Free(memory, sizeof(std::string));
        throw;
    }
}

std::string& KrSharedText::Own() {
    if ((_bits & kOwned) == 0) {
        _bits = _ownCopy(_bits != 0 ? std::string_view(str()) : std::string_view());
    }
    return const_cast<std::string&>(str());
}
