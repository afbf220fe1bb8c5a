#pragma once
// The meta element; its one argument is an attribute text of the form
// name="value" (charset="utf-8"), empty for a plain meta element.

#include <string>

#include "html/KrHTML_ElementType2.h"

class KrHTML_meta2 : public KrHTML_ElementType2 {
  public:
    explicit KrHTML_meta2(const std::string& attributes = std::string());
    ~KrHTML_meta2() override;
};
