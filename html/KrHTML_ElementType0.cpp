#include "html/KrHTML_ElementType0.h"

KrHTML_ElementType0::KrHTML_ElementType0(const std::string& tag) : KrHTML_BaseElement2(tag) {
    SetName(tag);
}

KrHTML_ElementType0::~KrHTML_ElementType0() = default;
