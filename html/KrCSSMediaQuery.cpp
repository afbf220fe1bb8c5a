#include "html/KrCSSMediaQuery.h"

#include <ostream>

#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "foundation/KrException.h"
#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSRule.h"
#include "html/KrHTML_text2.h"

KrCSSMediaQuery::KrCSSMediaQuery(const std::string& query)
    : KrXMLComplexElement("cssmediaquery", false, true), _query(query) {}

KrCSSMediaQuery::~KrCSSMediaQuery() = default;

void KrCSSMediaQuery::OnChildAdded(KrXMLComplexElement* child) {
    if (dynamic_cast<KrXMLGenericText*>(child) == nullptr &&
        dynamic_cast<KrXMLGenericWhitespace*>(child) == nullptr &&
        dynamic_cast<KrHTML_text2*>(child) == nullptr &&
        dynamic_cast<KrCSSHTMLComment*>(child) == nullptr &&
        dynamic_cast<KrCSSRule*>(child) == nullptr) {
        throw KrException("must be an CSS element", __LINE__, "src");
    }
}

void KrCSSMediaQuery::Write(std::ostream& out) {
    BeforeWrite(out);
    out << _query << '{';
    for (KrXMLComplexElement* child : GetChildren()) {
        child->Write(out);
    }
    out << '}';
}
