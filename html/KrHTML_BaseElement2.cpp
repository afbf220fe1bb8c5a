#include "html/KrHTML_BaseElement2.h"

#include <sstream>

#include "document/KrNodePool.h"
#include "foundation/KrException.h"
#include "foundation/KrStringUtils.h"

namespace {

// What the shared entries hold for a member that has not been made: an
// attribute that is unset and writes nothing. Nothing changes it: the
// element makes its own entries before anything is set.
class UnsetMember : public KrXMLComplexAttribute2 {
  public:
    bool IsSet() override { return false; }
    void Write(std::ostream& /*out*/) override {}
    void AppendTo(std::string& /*out*/) override {}
};

const KrXMLGenericElement::AttributeMap::SharedEntries& unsetMembers() {
    // Never destroyed: elements may be deleted during static destruction.
    static auto* unset = new UnsetMember;
    static auto* entries = new KrXMLGenericElement::AttributeMap::SharedEntries(
        {{"id", unset}, {"class", unset}, {"style", unset}});
    return *entries;
}

}  // namespace

struct KrHTML_BaseElement2::MemberBlock {
    Members members;
    KrXMLComplexAttributeProxy2 idProxy{&members.id};
    KrXMLComplexAttributeProxy2 classProxy{&members.classes};
    KrXMLComplexAttributeProxy2 styleProxy{&members.style};
};

void KrHTML_BaseElement2::MemberBlockDeleter::operator()(MemberBlock* block) const {
    block->~MemberBlock();
    KrNodePool::Free(block, sizeof(MemberBlock));
}

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
    // "id", "class" and "style" are in the map from the start, as unset
    // members; the element makes them when the map first changes.
    _attributes.useShared(unsetMembers());
}

KrHTML_BaseElement2::~KrHTML_BaseElement2() = default;

void KrHTML_BaseElement2::_makeDeferredAttributes() {
    _members();
}

KrHTML_BaseElement2::Members& KrHTML_BaseElement2::_members() {
    if (!_memberBlock) {
        // The members sit in the node pool beside the elements.
        void* memory = KrNodePool::Allocate(sizeof(MemberBlock));
        try {
            _memberBlock.reset(new (memory) MemberBlock);
        } catch (...) {
            KrNodePool::Free(memory, sizeof(MemberBlock));
            throw;
        }
        // The shared entries give way to the element's own; the rest of the
        // map is empty until then.
        _attributes.clear();
        _attributes.reserve(3);
        _registerProxy("id", &_memberBlock->idProxy);
        _registerProxy("class", &_memberBlock->classProxy);
        _registerProxy("style", &_memberBlock->styleProxy);
    }
    return _memberBlock->members;
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
