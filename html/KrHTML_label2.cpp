#include "html/KrHTML_label2.h"

KrHTML_label2::KrHTML_label2() : KrHTML_label2(std::string(), std::string()) {}

KrHTML_label2::KrHTML_label2(const std::string& forId, const std::string& text)
    : KrHTML_BaseElement2("htmlbaseelement"),
      KrHTML_ElementType0("label"),
      KrHTML_ElementType0A("label") {
    RegisterAttribute("for", &_for);
    if (!forId.empty()) {
        _for.Set(forId);
    }
    if (!text.empty()) {
        AddText(text);
    }
}

KrHTML_label2::~KrHTML_label2() = default;
