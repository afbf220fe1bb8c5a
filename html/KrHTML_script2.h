#pragma once
// The script element: "type" is always "text/javascript", "src" set only
// when non-empty. Its code is one unwrapped KrJavaScriptHandler child, and
// the element guards it with HTML comment markers inside its tags.

#include <ostream>
#include <string>

#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType0.h"

class KrHTML_script2 : public KrHTML_ElementType0 {
  public:
    KrHTML_script2();
    // The code is written unchanged; no child for an empty code.
    KrHTML_script2(const std::string& src, const std::string& code);
    ~KrHTML_script2() override;

    void AfterOpenTag(std::ostream& out) override;
    void BeforeCloseTag(std::ostream& out) override;

  protected:
    KrXMLStringKrAttribute _src;
    KrXMLStringKrAttribute _type;

  private:
    void _registerMembers();
};
