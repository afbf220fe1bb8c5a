#include "html/KrHTML_meta2.h"

KrHTML_meta2::KrHTML_meta2(const std::string& attributes)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType2("meta") {
    if (!attributes.empty()) {
        AssignAttribute(attributes);
    }
}

KrHTML_meta2::~KrHTML_meta2() = default;
