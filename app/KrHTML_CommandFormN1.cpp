#include "app/KrHTML_CommandFormN1.h"

#include "html/KrHTML_input2.h"

KrHTML_CommandFormN1::KrHTML_CommandFormN1(const std::string& formName, const std::string& action,
                                           const std::string& quivoid)
    : KrHTML_BaseElement2("form", false, false) {
    SetId(formName);
    SetAttribute("method", "POST");
    SetAttribute("action", action);
    _addNewChild(new KrHTML_input2_hidden("", quivoid, "quivoid"));
}

KrHTML_CommandFormN1::~KrHTML_CommandFormN1() = default;
