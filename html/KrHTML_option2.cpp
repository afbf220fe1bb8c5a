#include "html/KrHTML_option2.h"

#include "html/KrHTML_text2.h"

KrHTML_option2::KrHTML_option2() : KrHTML_option2(std::string(), std::string(), false) {}

KrHTML_option2::KrHTML_option2(const std::string& value, const std::string& text, bool selected)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType1("option") {
    RegisterAttribute("value", &_value);
    _value.Set(value);
    // Unselected options carry no "selected" entry at all, so nothing reads
    // or writes one for them.
    if (selected) {
        RegisterAttribute("selected", &_selected);
        _selected.Set(true);
    }
    AddChild(new KrHTML_text2(text));
}

KrHTML_option2::~KrHTML_option2() = default;
