#pragma once
// The form element: "method" and "action" members, each set only when
// non-empty. Base of the reload form.

#include <string>

#include "document/KrXMLStringKrAttribute.h"
#include "html/KrHTML_ElementType0.h"
#include "html/KrHTML_ElementType0A.h"
#include "html/KrHTML_ElementType0B.h"

class KrHTML_form2 : public KrHTML_ElementType0,
                     public KrHTML_ElementType0A,
                     public KrHTML_ElementType0B {
  public:
    // As the tag table builds it: no action, method "POST".
    KrHTML_form2();
    KrHTML_form2(const std::string& action, const std::string& method);
    ~KrHTML_form2() override;

  protected:
    KrXMLStringKrAttribute _method;
    KrXMLStringKrAttribute _action;
};
