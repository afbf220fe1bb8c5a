#pragma once
// A form that posts only the page context's id to `action`: the page context
// puts one in the body for each element that should submit a command when
// clicked. Owned by the document it is put in, like any element.

#include <string>

#include "html/KrHTML_BaseElement2.h"

class KrHTML_CommandFormN1 : public KrHTML_BaseElement2 {
  public:
    // "id" = formName, method "POST", the action, and a hidden "quivoid"
    // input holding quivoid.
    KrHTML_CommandFormN1(const std::string& formName, const std::string& action,
                         const std::string& quivoid);
    ~KrHTML_CommandFormN1() override;
};
