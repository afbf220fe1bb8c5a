#include "html/KrCSSMediaQuery.h"

#include <ostream>

#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSRule.h"

KrCSSMediaQuery::KrCSSMediaQuery(const std::string& query)
    : KrXMLComplexElement("cssmediaquery", false, true), _query(query) {}

KrCSSMediaQuery::~KrCSSMediaQuery() = default;

void KrCSSMediaQuery::OnChildAdded(KrXMLComplexElement* child) {
    KrRequireCSSChild(child, dynamic_cast<KrCSSRule*>(child) != nullptr);
}

void KrCSSMediaQuery::Write(std::ostream& out) {
    BeforeWrite(out);
    out << _query << '{';
    for (KrXMLComplexElement* child : GetChildren()) {
        child->Write(out);
    }
    out << '}';
}
