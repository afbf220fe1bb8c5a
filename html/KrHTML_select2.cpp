#include "html/KrHTML_select2.h"

KrHTML_select2::KrHTML_select2() : KrHTML_select2(std::string(), std::string()) {}

KrHTML_select2::KrHTML_select2(const std::string& id, const std::string& name)
    : KrHTML_BaseElement2("htmlbaseelement"), KrHTML_ElementType0("select") {
    SetAttribute("name", name);
    if (!id.empty()) {
        SetId(id);
    }
}

KrHTML_select2::~KrHTML_select2() = default;
