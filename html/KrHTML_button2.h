#pragma once
// The button element: no attributes of its own; takes text and widgets.

#include "html/KrHTML_ElementType0.h"
#include "html/KrHTML_ElementType0A.h"
#include "html/KrHTML_ElementType0B.h"

class KrHTML_button2 : public KrHTML_ElementType0,
                       public KrHTML_ElementType0A,
                       public KrHTML_ElementType0B {
  public:
    KrHTML_button2();
    ~KrHTML_button2() override;
};
