#include "html/KrHTML_link2.h"

KrHTML_link2::KrHTML_link2(const std::string& href)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType2("link") {
    RegisterAttribute("type", &_type);
    RegisterAttribute("rel", &_rel);
    RegisterAttribute("href", &_href);
    _type.Set("text/css");
    _rel.Set("stylesheet");
    if (!href.empty()) {
        _href.Set(href);
    }
}

KrHTML_link2::~KrHTML_link2() = default;
