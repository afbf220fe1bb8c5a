#include "html/KrHTML_form2.h"

KrHTML_form2::KrHTML_form2() : KrHTML_form2(std::string(), "POST") {}

KrHTML_form2::KrHTML_form2(const std::string& action, const std::string& method)
    : KrHTML_BaseElement2("htmlbaseelement"),
      KrHTML_ElementType0("form"),
      KrHTML_ElementType0A("form"),
      KrHTML_ElementType0B("form") {
    RegisterAttribute("method", &_method);
    RegisterAttribute("action", &_action);
    if (!action.empty()) {
        _action.Set(action);
    }
    if (!method.empty()) {
        _method.Set(method);
    }
}

KrHTML_form2::~KrHTML_form2() = default;
