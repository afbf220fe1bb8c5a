#pragma once
// The progress bar: "value" and "max" are double members, unset until given
// (written with six significant digits).

#include "document/KrXMLNumericKrAttributes.h"
#include "html/KrHTML_ElementType0.h"
#include "html/KrHTML_ElementType0A.h"

class KrHTML_progress2 : public KrHTML_ElementType0, public KrHTML_ElementType0A {
  public:
    KrHTML_progress2();
    ~KrHTML_progress2() override;

    void SetMax(double max);
    void SetValue(double value);
    // "max" first, then "value".
    void SetMaxAndValue(double max, double value);

  protected:
    KrXMLDoubleKrAttribute _value;
    KrXMLDoubleKrAttribute _max;
};
