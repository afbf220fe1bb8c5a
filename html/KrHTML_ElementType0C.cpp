#include "html/KrHTML_ElementType0C.h"

#include "html/KrHTMLPlainTags.h"

KrHTML_ElementType0C::KrHTML_ElementType0C(const std::string& tag) : KrHTML_BaseElement2(tag) {
    SetName(tag);
}

KrHTML_ElementType0C::~KrHTML_ElementType0C() = default;

KrHTML_hr2* KrHTML_ElementType0C::AddHr() {
    return dynamic_cast<KrHTML_hr2*>(_addNewChild(new KrHTML_hr2()));
}

KrHTML_span2* KrHTML_ElementType0C::AddSpan() {
    return dynamic_cast<KrHTML_span2*>(_addNewChild(new KrHTML_span2()));
}
