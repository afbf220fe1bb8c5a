#include "html/KrHTML_progress2.h"

KrHTML_progress2::KrHTML_progress2()
    : KrHTML_BaseElement2("htmlbaseelement"),
      KrHTML_ElementType0("progress"),
      KrHTML_ElementType0A("progress") {
    RegisterAttribute("value", &_value);
    RegisterAttribute("max", &_max);
}

KrHTML_progress2::~KrHTML_progress2() = default;

void KrHTML_progress2::SetMax(double max) {
    _max.Set(max);
}

void KrHTML_progress2::SetValue(double value) {
    _value.Set(value);
}

void KrHTML_progress2::SetMaxAndValue(double max, double value) {
    _max.Set(max);
    _value.Set(value);
}
