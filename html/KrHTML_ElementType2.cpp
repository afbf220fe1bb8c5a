#include "html/KrHTML_ElementType2.h"

KrHTML_ElementType2::KrHTML_ElementType2(const std::string& tag)
    : KrHTML_BaseElement2(tag, true, false) {
    SetName(tag);
    SetEmptyElement(true);
}

KrHTML_ElementType2::~KrHTML_ElementType2() = default;
