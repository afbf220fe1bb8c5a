#pragma once
// An invisible form that posts the page's context id back to the server when
// its submit button (id "quivoreloadbutton") is clicked, for instance by the
// page that KrHTMLReloadPostFromChild loads into a child frame.
// Complete after construction; owns its inputs like any element.

#include <string>

#include "html/KrHTML_form2.h"

class KrHTMLReloadPost : public KrHTML_form2 {
  public:
    // Posts to `action` (no action attribute when empty) with the fields
    // reload, quivoid (only when `quivoid` is not empty) and quivocommand.
    KrHTMLReloadPost(const std::string& action, const std::string& quivoid);
    ~KrHTMLReloadPost() override;
};
