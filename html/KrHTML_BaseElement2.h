#pragma once
// The base of every HTML element object: a generic element that carries the
// member attributes "id", "class" and "style" and writes itself either as
// HTML text or as JavaScript that rebuilds it in the browser.
// Owns its members and (through the element tree) its children; the
// attribute map holds proxies to the three members, which are members too.
// The members themselves are made when one of them is first set: every word
// of read text is an element, and few elements set any of them.

#include <cstdint>
#include <memory>
#include <string>

#include "document/KrXMLGenericElement.h"
#include "document/KrXMLStringKrAttribute.h"
#include "html/KrStyleAttribute.h"

class KrHTML_BaseElement2 : public KrXMLGenericElement {
  public:
    KrHTML_BaseElement2(const std::string& name, bool emptyElement, bool collapsible);
    // Both flags false: a childless element still gets its end tag.
    explicit KrHTML_BaseElement2(const std::string& name);
    ~KrHTML_BaseElement2() override;

    KrHTML_BaseElement2(const KrHTML_BaseElement2&) = delete;
    KrHTML_BaseElement2& operator=(const KrHTML_BaseElement2&) = delete;

    void SetId(const std::string& id);
    // Parse errors of the style text pass to the caller.
    void SetStyle(const std::string& style);

    // Exactly what Write produces.
    virtual std::string ToHTMLString();
    // A block of JavaScript that creates this element, gives it its set
    // attributes and inner HTML, and appends it to document.body. Every text
    // taken from the element is escaped for a single- or double-quoted string.
    virtual std::string ToJavaScriptCreate();

  protected:
    // For nodes that must not be separated by line feeds (the text node).
    KrHTML_BaseElement2(const std::string& name, bool emptyElement, bool collapsible, bool newline);

    // Hands a newly built child to AddChild. AddChild deletes a child that a
    // hook refuses, but throws before taking it over when this element takes
    // no children at all; that case is handled here, so the child is never
    // leaked. Returns what AddChild returns.
    KrXMLComplexElement* _addNewChild(KrXMLComplexElement* child);

    struct Members {
        KrXMLStringKrAttribute id;
        KrXMLStringKrAttribute classes;
        KrStyleAttribute style;
    };
    // The members, made on first use.
    Members& _members();

  private:
    // The map's entry for one member: reads as an unset attribute until the
    // members exist, and makes them when it is set. Held in the element, so
    // that an element costs no allocation per member.
    class MemberProxy : public KrXMLComplexAttributeProxy2 {
      public:
        enum Which : uint8_t { kId, kClass, kStyle };
        MemberProxy(KrHTML_BaseElement2* owner, Which which)
            : KrXMLComplexAttributeProxy2(nullptr), _owner(owner), _which(which) {}
        bool IsSet() override;
        void Write(std::ostream& out) override;
        void SetFromString(const std::string& text) override;
        void SetFromCString(const char* text) override;
        void AppendTo(std::string& out) override;
        // Makes the members when they do not exist yet.
        KrXMLComplexAttribute2* GetTarget() const override;

      private:
        // The member, made when `create`; null when it does not exist yet.
        KrXMLComplexAttribute2* _target(bool create);

        KrHTML_BaseElement2* _owner;
        Which _which;
    };

    void _registerMembers();

    std::unique_ptr<Members> _memberBlock;
    MemberProxy _idProxy{this, MemberProxy::kId};
    MemberProxy _classProxy{this, MemberProxy::kClass};
    MemberProxy _styleProxy{this, MemberProxy::kStyle};
};
