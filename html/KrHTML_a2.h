#pragma once
// The anchor element: "href" and "name" members. The two-argument form is a
// ready link: "href" always set (also when empty) and one text child.

#include <string>

#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType0.h"

class KrHTML_a2 : public KrHTML_ElementType0 {
  public:
    // No attribute set, no children.
    KrHTML_a2();
    // The text child is added also for an empty text; it is not escaped.
    KrHTML_a2(const std::string& href, const std::string& text);
    ~KrHTML_a2() override;

  protected:
    KrXMLStringKrAttribute _href;
    KrXMLStringKrAttribute _nameAttribute;

  private:
    void _registerMembers();
};
