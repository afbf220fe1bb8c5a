#include "html/KrHTMLReloadPost.h"

#include "html/KrHTML_input2.h"

KrHTMLReloadPost::KrHTMLReloadPost(const std::string& action, const std::string& quivoid)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_form2(action, "POST") {
    // Present in the page, so its button can be clicked, but never shown.
    SetStyle("visibility: collapse;");
    AddChild(new KrHTML_input2_button("quivoreloadbutton", "reload", "reload"));
    if (!quivoid.empty()) {
        AddChild(new KrHTML_input2_hidden("", quivoid, "quivoid"));
    }
    AddChild(new KrHTML_input2_hidden("", "quivoreloadcommand", "quivocommand"));
}

KrHTMLReloadPost::~KrHTMLReloadPost() = default;
