#include "html/KrHTML_a2.h"

#include "html/KrHTML_text2.h"

KrHTML_a2::KrHTML_a2() : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("a") {
    _registerMembers();
}

KrHTML_a2::KrHTML_a2(const std::string& href, const std::string& text)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("a") {
    _registerMembers();
    _href.Set(href);
    AddChild(new KrHTML_text2(text));
}

KrHTML_a2::~KrHTML_a2() = default;

void KrHTML_a2::_registerMembers() {
    RegisterAttribute("href", &_href);
    RegisterAttribute("name", &_nameAttribute);
}
