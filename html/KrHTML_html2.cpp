#include "html/KrHTML_html2.h"

#include "foundation/KrException.h"
#include "html/KrHTMLFindFirst.h"
#include "html/KrHTMLPlainTags.h"

namespace {

// The element that stands where a page element of this library belongs,
// e.g. a generic "head" put there by hand.
[[noreturn]] void throwForeign(const char* wanted, const KrXMLGenericElement* found) {
    std::string message = "expected the page's ";
    message += wanted;
    message += " element, found another element <";
    message += found->GetName();
    const std::string id = found->GetAttributeString("id", std::string());
    if (!id.empty()) {
        message += " id=\"" + id + "\"";
    }
    message += ">";
    throw KrException(message, __LINE__, "src");
}

}  // namespace

KrHTML_html2::KrHTML_html2()
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("html") {}

KrHTML_html2::~KrHTML_html2() = default;

KrHTML_head2* KrHTML_html2::Head() {
    if (KrXMLGenericElement* found = KrHTMLFindFirstByName(this, "head")) {
        auto* head = dynamic_cast<KrHTML_head2*>(found);
        if (head == nullptr) {
            throwForeign("head", found);
        }
        return head;
    }
    // In front of everything, so a body made earlier still comes after it.
    auto* head = new KrHTML_head2();
    PrependChild(head);
    return head;
}

KrHTML_body2* KrHTML_html2::Body() {
    if (KrXMLGenericElement* found = KrHTMLFindFirstByName(this, "body")) {
        auto* body = dynamic_cast<KrHTML_body2*>(found);
        if (body == nullptr) {
            throwForeign("body", found);
        }
        return body;
    }
    if (IsEmptyElement()) {
        throw KrException("child elements not allowed for " + GetName(), __LINE__, "src");
    }
    auto* body = new KrHTML_body2();
    AddChild(body);
    return body;
}

void KrHTML_html2::SetLanguage(const std::string& lang) {
    SetAttribute("lang", lang);
    GenericList metas;
    FindGenericElementsByName("meta", metas, -1);
    for (KrXMLGenericElement* meta : metas) {
        if (meta == nullptr) {
            continue;
        }
        if (meta->AttributeEquals("http-equiv", "language")) {
            meta->SetAttribute("content", lang);
        }
        if (meta->AttributeEquals("name", "description")) {
            meta->SetAttribute("lang", lang);
        }
    }
}
