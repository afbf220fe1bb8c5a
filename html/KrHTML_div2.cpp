#include "html/KrHTML_div2.h"

KrHTML_div2::KrHTML_div2() : KrHTML_div2(std::string(), false) {}

KrHTML_div2::KrHTML_div2(const std::string& id, bool draggable)
    : KrHTML_BaseElement2("htmlbaseelement"),
      KrHTML_ElementType0("div"),
      KrHTML_ElementType0A("div"),
      KrHTML_ElementType0B("div"),
      KrHTML_ElementType0C("div") {
    RegisterAttribute("onmousedown", &_onmousedown);
    if (draggable) {
        _onmousedown.Set("quivo_start_drag(this);");
    }
    if (!id.empty()) {
        SetId(id);
    }
}

KrHTML_div2::~KrHTML_div2() = default;
