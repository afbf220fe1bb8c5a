#include "html/KrHTML_ElementType0B.h"

#include "html/KrHTMLPlainTags.h"
#include "html/KrHTML_button2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_form2.h"
#include "html/KrHTML_input2.h"
#include "html/KrHTML_option2.h"
#include "html/KrHTML_select2.h"

KrHTML_ElementType0B::KrHTML_ElementType0B(const std::string& tag) : KrHTML_BaseElement2(tag) {
    SetName(tag);
}

KrHTML_ElementType0B::~KrHTML_ElementType0B() = default;

KrHTML_div2* KrHTML_ElementType0B::AddDiv(const std::string& id, bool draggable) {
    return dynamic_cast<KrHTML_div2*>(_addNewChild(new KrHTML_div2(id, draggable)));
}

KrHTML_p2* KrHTML_ElementType0B::AddP() {
    return dynamic_cast<KrHTML_p2*>(_addNewChild(new KrHTML_p2()));
}

KrHTML_button2* KrHTML_ElementType0B::AddButton() {
    return dynamic_cast<KrHTML_button2*>(_addNewChild(new KrHTML_button2()));
}

KrHTML_form2* KrHTML_ElementType0B::AddForm(const std::string& action, const std::string& method) {
    return dynamic_cast<KrHTML_form2*>(_addNewChild(new KrHTML_form2(action, method)));
}

KrHTML_select2* KrHTML_ElementType0B::AddSelect(const std::string& id, const std::string& name) {
    return dynamic_cast<KrHTML_select2*>(_addNewChild(new KrHTML_select2(id, name)));
}

KrHTML_input2_hidden* KrHTML_ElementType0B::AddInputHidden(const std::string& id,
                                                           const std::string& value,
                                                           const std::string& name) {
    return dynamic_cast<KrHTML_input2_hidden*>(
        _addNewChild(new KrHTML_input2_hidden(id, value, name)));
}

KrHTML_input2_button* KrHTML_ElementType0B::AddInputButton(const std::string& id,
                                                           const std::string& value,
                                                           const std::string& name) {
    return dynamic_cast<KrHTML_input2_button*>(
        _addNewChild(new KrHTML_input2_button(id, value, name)));
}

KrHTML_option2* KrHTML_ElementType0B::AddOption(const std::string& value, const std::string& text,
                                                bool selected) {
    return dynamic_cast<KrHTML_option2*>(_addNewChild(new KrHTML_option2(value, text, selected)));
}
