#include "html/KrCSSHTMLComment.h"

#include <ostream>

#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "foundation/KrException.h"
#include "html/KrHTML_text2.h"

KrCSSHTMLComment::KrCSSHTMLComment() : KrXMLComplexElement("csshtmlcomment", false, true) {}

KrCSSHTMLComment::~KrCSSHTMLComment() = default;

bool KrIsCSSText(const KrXMLComplexElement* child) {
    return dynamic_cast<const KrXMLGenericText*>(child) != nullptr ||
           dynamic_cast<const KrXMLGenericWhitespace*>(child) != nullptr ||
           dynamic_cast<const KrHTML_text2*>(child) != nullptr;
}

void KrRequireCSSChild(const KrXMLComplexElement* child, bool allowed) {
    if (!allowed && !KrIsCSSText(child) &&
        dynamic_cast<const KrCSSHTMLComment*>(child) == nullptr) {
        throw KrException("must be an CSS element", __LINE__, "src");
    }
}

void KrCSSHTMLComment::OnChildAdded(KrXMLComplexElement* child) {
    if (!KrIsCSSText(child)) {
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
