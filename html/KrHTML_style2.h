#pragma once
// The style element: "type" is always "text/css", "src" set only when
// non-empty. It holds text and CSS objects only (no bare property), and the
// reader reads its content as a style sheet.

#include <string>

#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType0.h"

class KrHTML_style2 : public KrHTML_ElementType0 {
  public:
    KrHTML_style2();
    // A non-empty text becomes one text child, unparsed.
    KrHTML_style2(const std::string& src, const std::string& text);
    ~KrHTML_style2() override;

    // Throws KrException "must be an CSS element" for anything but a text or
    // whitespace node, a CSS comment, a media query or a rule.
    void OnChildAdded(KrXMLComplexElement* child) override;
    // Answers "css" to a non-empty name (which it remembers), the remembered
    // name to an empty one.
    std::string ChildDTD(const std::string& name) override;

  protected:
    KrXMLStringKrAttribute _src;
    KrXMLStringKrAttribute _type;

  private:
    void _registerMembers();
};
