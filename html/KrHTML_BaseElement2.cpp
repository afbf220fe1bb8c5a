#include "html/KrHTML_BaseElement2.h"

#include <sstream>

#include "foundation/KrException.h"
#include "foundation/KrStringUtils.h"

KrHTML_BaseElement2::KrHTML_BaseElement2(const std::string& name, bool emptyElement,
                                         bool collapsible)
    : KrHTML_BaseElement2(name, emptyElement, collapsible, true) {}

KrHTML_BaseElement2::KrHTML_BaseElement2(const std::string& name)
    : KrHTML_BaseElement2(name, false, false, true) {}

KrHTML_BaseElement2::KrHTML_BaseElement2(const std::string& name, bool emptyElement,
                                         bool collapsible, bool newline)
    : KrXMLGenericElement(name, newline) {
    // Exactly the flags given: the generic element's default (collapsible)
    // would turn every childless HTML element into "<div />".
    SetEmptyElement(emptyElement);
    SetCollapsible(collapsible);
    _registerMembers();
}

void KrHTML_BaseElement2::_registerMembers() {
    _attributes.reserve(3);
    _registerProxy("id", &_idProxy);
    _registerProxy("class", &_classProxy);
    _registerProxy("style", &_styleProxy);
}

KrHTML_BaseElement2::~KrHTML_BaseElement2() = default;

KrHTML_BaseElement2::Members& KrHTML_BaseElement2::_members() {
    if (!_memberBlock) {
        _memberBlock = std::make_unique<Members>();
    }
    return *_memberBlock;
}

KrXMLComplexAttribute2* KrHTML_BaseElement2::MemberProxy::GetTarget() const {
    return const_cast<MemberProxy*>(this)->_target(true);
}

KrXMLComplexAttribute2* KrHTML_BaseElement2::MemberProxy::_target(bool create) {
    if (!create && !_owner->_memberBlock) {
        return nullptr;
    }
    Members& members = _owner->_members();
    switch (_which) {
        case kId:
            return &members.id;
        case kClass:
            return &members.classes;
        case kStyle:
            break;
    }
    return &members.style;
}

bool KrHTML_BaseElement2::MemberProxy::IsSet() {
    KrXMLComplexAttribute2* target = _target(false);
    return target != nullptr && target->IsSet();
}

void KrHTML_BaseElement2::MemberProxy::Write(std::ostream& out) {
    if (KrXMLComplexAttribute2* target = _target(false)) {
        target->Write(out);
    }
}

void KrHTML_BaseElement2::MemberProxy::SetFromString(const std::string& text) {
    _target(true)->SetFromString(text);
}

void KrHTML_BaseElement2::MemberProxy::SetFromCString(const char* text) {
    _target(true)->SetFromCString(text);
}

void KrHTML_BaseElement2::MemberProxy::AppendTo(std::string& out) {
    if (KrXMLComplexAttribute2* target = _target(false)) {
        target->AppendTo(out);
    }
}

KrXMLComplexElement* KrHTML_BaseElement2::_addNewChild(KrXMLComplexElement* child) {
    if (child != nullptr && IsEmptyElement()) {
        delete child;
        throw KrException("child elements not allowed for " + GetName(), __LINE__, "src");
    }
    return AddChild(child);
}

void KrHTML_BaseElement2::SetId(const std::string& id) {
    _members().id.SetFromString(id);
}

void KrHTML_BaseElement2::SetStyle(const std::string& style) {
    _members().style.SetFromString(style);
}

std::string KrHTML_BaseElement2::ToHTMLString() {
    std::ostringstream out;
    Write(out);
    return out.str();
}

std::string KrHTML_BaseElement2::ToJavaScriptCreate() {
    std::string js;
    js.reserve(256);
    js += "{\nvar newelem = document.createElement('";
    js += JSStringEscape(GetName());
    js += "');\n";

    std::string value;
    for (const auto& [name, attribute] : GetAttributes()) {
        // A bare attribute is created with an empty value, as the HTML parser
        // does for the same markup.
        value.clear();
        if (attribute != nullptr) {
            if (!attribute->IsSet()) {
                continue;
            }
            attribute->AppendTo(value);
        }
        js += "newelem.setAttribute('";
        js += JSStringEscape(name);
        js += "','";
        js += JSStringEscape(value);
        js += "');\n";
    }

    // The inner HTML is what Write puts between the start and the end tag,
    // line feeds and hooks included, so the browser builds the same child
    // nodes from the script as from the HTML text.
    std::ostringstream inner;
    const Children& children = GetChildren();
    if (!IsEmptyElement() && !(IsCollapsible() && children.empty())) {
        AfterOpenTag(inner);
        bool previousWantsNewline = true;
        for (KrXMLComplexElement* child : children) {
            if (child == nullptr) {
                continue;
            }
            const bool wantsNewline = child->WantsNewline();
            if (previousWantsNewline && wantsNewline) {
                inner << '\n';
            }
            child->Write(inner);
            previousWantsNewline = child->WantsNewline();
        }
        BeforeCloseTag(inner);
        if (!children.empty() && previousWantsNewline) {
            inner << '\n';
        }
    }
    js += "newelem.innerHTML=\"";
    js += JSStringEscape(inner.str());
    js += "\";\n";
    // A document holds one root element and refuses a second one; the page's
    // content belongs in its body.
    js += "document.body.appendChild(newelem);\n }";
    return js;
}
