#pragma once
// Mixin for elements that hold form content: each Add operation builds one
// widget, appends it through the element's AddChild and returns it typed (the
// element owns it; null only when AddChild returns null).

#include <string>

#include "html/KrHTML_BaseElement2.h"

class KrHTML_button2;
class KrHTML_div2;
class KrHTML_form2;
class KrHTML_input2_button;
class KrHTML_input2_hidden;
class KrHTML_option2;
class KrHTML_p2;
class KrHTML_select2;

class KrHTML_ElementType0B : public virtual KrHTML_BaseElement2 {
  public:
    explicit KrHTML_ElementType0B(const std::string& tag);
    ~KrHTML_ElementType0B() override;

    KrHTML_div2* AddDiv(const std::string& id, bool draggable);
    KrHTML_p2* AddP();
    KrHTML_button2* AddButton();
    KrHTML_form2* AddForm(const std::string& action, const std::string& method);
    KrHTML_select2* AddSelect(const std::string& id, const std::string& name);
    KrHTML_input2_hidden* AddInputHidden(const std::string& id, const std::string& value,
                                         const std::string& name);
    KrHTML_input2_button* AddInputButton(const std::string& id, const std::string& value,
                                         const std::string& name);
    KrHTML_option2* AddOption(const std::string& value, const std::string& text, bool selected);
};
