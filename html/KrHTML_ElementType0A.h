#pragma once
// Mixin for elements that take text: AddText appends one text node per call.
// It holds no state; the element part is the shared virtual base.

#include <string>

#include "html/KrHTML_BaseElement2.h"

class KrHTML_text2;

class KrHTML_ElementType0A : public virtual KrHTML_BaseElement2 {
  public:
    explicit KrHTML_ElementType0A(const std::string& tag);
    ~KrHTML_ElementType0A() override;

    // Appends a new text node holding exactly `text` (also when empty) and
    // returns it; the element owns it. A refusal of AddChild passes to the
    // caller and leaves no node behind.
    KrHTML_text2* AddText(const std::string& text);
};
