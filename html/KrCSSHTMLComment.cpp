#include "html/KrCSSHTMLComment.h"

#include <ostream>

#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "foundation/KrException.h"
#include "html/KrHTML_text2.h"

KrCSSHTMLComment::KrCSSHTMLComment() : KrXMLComplexElement("csshtmlcomment", false, true) {}

KrCSSHTMLComment::~KrCSSHTMLComment() = default;

void KrCSSHTMLComment::OnChildAdded(KrXMLComplexElement* child) {
    if (dynamic_cast<KrXMLGenericText*>(child) == nullptr &&
        dynamic_cast<KrXMLGenericWhitespace*>(child) == nullptr &&
        dynamic_cast<KrHTML_text2*>(child) == nullptr) {
        throw KrException("child must be text", __LINE__, "src");
    }
}

void KrCSSHTMLComment::Write(std::ostream& out) {
    BeforeWrite(out);
    out << "<!--";
    for (KrXMLComplexElement* child : GetChildren()) {
        child->Write(out);
    }
    out << "-->";
}
