#pragma once
// The inline frame: "src", "width" and "height" members, each set only when
// given, and always one text child (the fallback text, possibly empty).

#include <string>

#include "html/KrHTML_ElementType0.h"

class KrHTML_iframe2 : public KrHTML_ElementType0 {
  public:
    explicit KrHTML_iframe2(const std::string& src = std::string(),
                            const std::string& width = std::string(),
                            const std::string& height = std::string(),
                            const std::string& text = std::string());
    ~KrHTML_iframe2() override;

  protected:
    KrXMLStringKrAttribute _src;
    KrXMLStringKrAttribute _width;
    KrXMLStringKrAttribute _height;
};
