#include "html/KrCSSRule.h"

#include <ostream>

#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "foundation/KrException.h"
#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSProperty.h"
#include "html/KrHTML_text2.h"

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
    if (dynamic_cast<KrXMLGenericText*>(child) == nullptr &&
        dynamic_cast<KrXMLGenericWhitespace*>(child) == nullptr &&
        dynamic_cast<KrHTML_text2*>(child) == nullptr &&
        dynamic_cast<KrCSSHTMLComment*>(child) == nullptr &&
        dynamic_cast<KrCSSProperty*>(child) == nullptr) {
        throw KrException("must be an CSS element", __LINE__, "src");
    }
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
