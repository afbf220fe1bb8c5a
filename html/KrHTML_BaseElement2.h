#pragma once
// The base of every HTML element object: a generic element that carries the
// member attributes "id", "class" and "style" and writes itself either as
// HTML text or as JavaScript that rebuilds it in the browser.
// Owns its members and (through the element tree) its children; the
// attribute map holds proxies to the three members, which are members too.
// The members and their proxies are made when the attribute map is first
// changed or a member is set: every word of read text is an element, and
// few elements set any of them.

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

    // Makes the members and puts the element's own entries for them in
    // place of the shared ones.
    void _makeDeferredAttributes() override;

  private:
    // The members with the proxies the attribute map holds for them. Until
    // it is made, the map reads shared entries that stand for three unset
    // members: every word of read text is an element, few elements set any
    // member, and the members, the proxies and a map block of their own cost
    // every element about 250 bytes.
    struct MemberBlock;
    struct MemberBlockDeleter {
        void operator()(MemberBlock* block) const;
    };

    std::unique_ptr<MemberBlock, MemberBlockDeleter> _memberBlock;
};
