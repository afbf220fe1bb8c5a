#include "html/KrHTML_ElementType1.h"

KrHTML_ElementType1::KrHTML_ElementType1(const std::string& tag) : KrHTML_BaseElement2(tag) {
    SetName(tag);
}

KrHTML_ElementType1::~KrHTML_ElementType1() = default;
