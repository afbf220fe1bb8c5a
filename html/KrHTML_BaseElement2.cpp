#include "html/KrHTML_BaseElement2.h"

#include <sstream>

#include "foundation/KrException.h"
#include "foundation/KrStringUtils.h"

namespace {

// JSStringEscape covers quotes, backslash and the ASCII controls. On top of it:
// U+2028 and U+2029 end a line inside a JavaScript string literal, and "</" or
// "<!" could close or confuse a surrounding script element, so they become
// escapes that denote the same characters.
std::string _escapeForScript(const std::string& text) {
    std::string escaped = JSStringEscape(text);
    if (escaped.find('<') == std::string::npos && escaped.find('\xE2') == std::string::npos) {
        return escaped;
    }
    std::string out;
    out.reserve(escaped.size() + 16);
    for (size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c == '\xE2' && i + 2 < escaped.size() && escaped[i + 1] == '\x80' &&
            (escaped[i + 2] == '\xA8' || escaped[i + 2] == '\xA9')) {
            out += escaped[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (c == '<' && i + 1 < escaped.size() &&
                   (escaped[i + 1] == '/' || escaped[i + 1] == '!')) {
            out += '<';
            out += '\\';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

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

KrXMLComplexElement* KrHTML_BaseElement2::_addNewChild(KrXMLComplexElement* child) {
    if (child != nullptr && IsEmptyElement()) {
        delete child;
        throw KrException("child elements not allowed for " + GetName(), __LINE__, "src");
    }
    return AddChild(child);
}

void KrHTML_BaseElement2::SetId(const std::string& id) {
    _id.SetFromString(id);
}

void KrHTML_BaseElement2::SetStyle(const std::string& style) {
    _style.SetFromString(style);
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
    js += _escapeForScript(GetName());
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
        js += _escapeForScript(name);
        js += "','";
        js += _escapeForScript(value);
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
    js += _escapeForScript(inner.str());
    js += "\";\n";
    // A document holds one root element and refuses a second one; the page's
    // content belongs in its body.
    js += "document.body.appendChild(newelem);\n }";
    return js;
}
