#include "html/KrHTML_style2.h"

#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSMediaQuery.h"
#include "html/KrCSSRule.h"
#include "html/KrHTML_text2.h"

KrHTML_style2::KrHTML_style2()
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("style") {
    _registerMembers();
}

KrHTML_style2::KrHTML_style2(const std::string& src, const std::string& text)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("style") {
    _registerMembers();
    if (!src.empty()) {
        _src.Set(src);
    }
    if (!text.empty()) {
        AddChild(new KrHTML_text2(text));
    }
}

KrHTML_style2::~KrHTML_style2() = default;

void KrHTML_style2::OnChildAdded(KrXMLComplexElement* child) {
    // A property belongs inside a rule; on its own it would be written as a
    // bare declaration outside any selector.
    KrRequireCSSChild(child, dynamic_cast<KrCSSMediaQuery*>(child) != nullptr ||
                                 dynamic_cast<KrCSSRule*>(child) != nullptr);
}

std::string KrHTML_style2::ChildDTD(const std::string& name) {
    if (name.empty()) {
        return KrXMLComplexElement::ChildDTD(name);
    }
    KrXMLComplexElement::ChildDTD(name);
    return "css";
}

void KrHTML_style2::_registerMembers() {
    RegisterAttribute("src", &_src);
    RegisterAttribute("type", &_type);
    _type.Set("text/css");
}
