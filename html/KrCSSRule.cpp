#include "html/KrCSSRule.h"

#include <ostream>

#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSProperty.h"

KrCSSRule::KrCSSRule(const std::string& selector)
    : KrXMLComplexElement("cssrule", false, true), _selector(selector) {}

KrCSSRule::KrCSSRule(const std::string& selector, const std::list<std::string>& declarations)
    : KrCSSRule(selector) {
    for (const std::string& declaration : declarations) {
        if (!declaration.empty()) {
            AddChild(new KrCSSProperty(declaration, false));
        }
    }
}

KrCSSRule::~KrCSSRule() = default;

void KrCSSRule::OnChildAdded(KrXMLComplexElement* child) {
    KrRequireCSSChild(child, dynamic_cast<KrCSSProperty*>(child) != nullptr);
}

std::string KrCSSRule::ChildDTD(const std::string& dtd) {
    const std::string remembered = KrXMLComplexElement::ChildDTD(dtd);
    return dtd.empty() ? remembered : std::string("cssRule");
}

void KrCSSRule::Write(std::ostream& out) {
    BeforeWrite(out);
    out << _selector << '{';
    for (KrXMLComplexElement* child : GetChildren()) {
        child->Write(out);
    }
    out << '}';
}
