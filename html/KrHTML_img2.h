#pragma once
// The image element: "src", "alt" and "title" members, each set only when given.

#include <string>

#include "html/KrHTML_ElementType2.h"

class KrHTML_img2 : public KrHTML_ElementType2 {
  public:
    explicit KrHTML_img2(const std::string& src = std::string(),
                         const std::string& alt = std::string(),
                         const std::string& title = std::string());
    ~KrHTML_img2() override;

  protected:
    KrXMLStringKrAttribute _src;
    KrXMLStringKrAttribute _alt;
    KrXMLStringKrAttribute _title;
};
