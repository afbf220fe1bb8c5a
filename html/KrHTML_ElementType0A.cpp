#include "html/KrHTML_ElementType0A.h"

#include "html/KrHTML_text2.h"

KrHTML_ElementType0A::KrHTML_ElementType0A(const std::string& tag) : KrHTML_BaseElement2(tag) {
    SetName(tag);
}

KrHTML_ElementType0A::~KrHTML_ElementType0A() = default;

KrHTML_text2* KrHTML_ElementType0A::AddText(const std::string& text) {
    return dynamic_cast<KrHTML_text2*>(_addNewChild(new KrHTML_text2(text)));
}
