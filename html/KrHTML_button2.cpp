#include "html/KrHTML_button2.h"

KrHTML_button2::KrHTML_button2()
    : KrHTML_BaseElement2("htmlbaseelement"),
      KrHTML_ElementType0("button"),
      KrHTML_ElementType0A("button"),
      KrHTML_ElementType0B("button") {}

KrHTML_button2::~KrHTML_button2() = default;
