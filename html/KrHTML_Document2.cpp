#include "html/KrHTML_Document2.h"

#include <memory>
#include <utility>

#include "foundation/KrException.h"
#include "html/KrHTMLFindFirst.h"
#include "html/KrHTMLPlainTags.h"
#include "html/KrHTML_Doctype2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_html2.h"
#include "html/KrHTML_meta2.h"
#include "html/KrHTML_script2.h"
#include "html/KrHTML_text2.h"

namespace {

[[noreturn]] void throwForeign(const std::string& wanted, const KrXMLComplexElement* found) {
    throw KrException("expected the page's " + wanted + " element, found another element <" +
                          found->GetName() + ">",
                      __LINE__, "src");
}

// Hands a new, parentless element to parent. The tree deletes a child that
// its hooks refuse; the one refusal it leaves to the caller, an empty parent,
// is handled here so the element is never lost.
KrXMLComplexElement* handOver(KrXMLComplexElement* parent, KrXMLComplexElement* child) {
    if (child != nullptr && child->GetParent() == nullptr && parent->IsEmptyElement()) {
        delete child;
        throw KrException("child elements not allowed for " + parent->GetName(), __LINE__, "src");
    }
    return parent->AddChild(child);
}

// An element handed to an Add operation that cannot place it is freed, not
// leaked; one that still belongs to another tree is left to that tree.
void freeHandedOver(KrXMLComplexElement* element) {
    if (element != nullptr && element->GetParent() == nullptr) {
        delete element;
    }
}

// Hands element to the parent that `findParent` gives; when finding it
// throws, the element is freed first.
template <class FindParent>
KrXMLGenericElement* handOverTo(FindParent findParent, KrXMLComplexElement* element) {
    KrXMLComplexElement* parent = nullptr;
    try {
        parent = findParent();
    } catch (...) {
        freeHandedOver(element);
        throw;
    }
    return dynamic_cast<KrXMLGenericElement*>(handOver(parent, element));
}

// Adds a new element of class T to the body and returns it typed.
template <class T, class... Args>
T* addToBodyTyped(KrHTML_Document2& document, const char* what, Args&&... args) {
    KrXMLGenericElement* added = document.AddToBody(new T(std::forward<Args>(args)...));
    if (added == nullptr) {
        return nullptr;
    }
    T* typed = dynamic_cast<T*>(added);
    if (typed == nullptr) {
        throwForeign(std::string("new ") + what, added);
    }
    return typed;
}

}  // namespace

KrHTML_Document2::KrHTML_Document2(bool /*bare*/) : KrHTML_BaseElement2("HTMLDocument") {}

KrHTML_Document2::KrHTML_Document2() : KrHTML_BaseElement2("HTMLDocument") {
    AddToHead(new KrHTML_meta2("charset=\"utf-8\""));
}

KrHTML_Document2::KrHTML_Document2(const std::string& title) : KrHTML_Document2() {
    auto titleElement = std::make_unique<KrHTML_title2>();
    titleElement->AddChild(new KrHTML_text2(title));
    AddToHead(titleElement.release());
}

KrHTML_Document2::KrHTML_Document2(const char* title)
    : KrHTML_Document2(std::string(title != nullptr ? title : "")) {}

KrHTML_Document2::~KrHTML_Document2() = default;

KrHTML_html2* KrHTML_Document2::Html() {
    if (KrHTMLFindFirstByName(this, "HTMLDoctype") == nullptr) {
        PrependChild(new KrHTML_Doctype2("html"));
    }
    if (KrXMLGenericElement* found = KrHTMLFindFirstByName(this, "html")) {
        auto* html = dynamic_cast<KrHTML_html2*>(found);
        if (html == nullptr) {
            throwForeign("html", found);
        }
        return html;
    }
    auto* html = new KrHTML_html2();
    handOver(this, html);
    return html;
}

KrXMLGenericElement* KrHTML_Document2::AddToHead(KrXMLComplexElement* element) {
    return handOverTo([this] { return Html()->Head(); }, element);
}

KrXMLGenericElement* KrHTML_Document2::AddToBody(KrXMLComplexElement* element) {
    return handOverTo([this] { return Html()->Body(); }, element);
}

KrHTML_pre2* KrHTML_Document2::AddPre() {
    return addToBodyTyped<KrHTML_pre2>(*this, "pre");
}

KrHTML_h22* KrHTML_Document2::AddH2() {
    return addToBodyTyped<KrHTML_h22>(*this, "h2");
}

KrHTML_h32* KrHTML_Document2::AddH3() {
    return addToBodyTyped<KrHTML_h32>(*this, "h3");
}

KrHTML_hr2* KrHTML_Document2::AddHr() {
    return addToBodyTyped<KrHTML_hr2>(*this, "hr");
}

KrHTML_script2* KrHTML_Document2::AddScript(const std::string& src, const std::string& code) {
    return addToBodyTyped<KrHTML_script2>(*this, "script", src, code);
}

KrHTML_div2* KrHTML_Document2::AddDiv(const std::string& id) {
    return addToBodyTyped<KrHTML_div2>(*this, "div", id, false);
}

KrHTML_p2* KrHTML_Document2::AddP() {
    return addToBodyTyped<KrHTML_p2>(*this, "p");
}

void KrHTML_Document2::Write(std::ostream& out) {
    BeforeWrite(out);
    for (KrXMLComplexElement* child : GetChildren()) {
        if (child != nullptr) {
            child->Write(out);
        }
    }
}
