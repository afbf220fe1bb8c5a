#pragma once
// A style-sheet link: "type" is always "text/css" and "rel" "stylesheet";
// "href" is set only when given.

#include <string>

#include "html/KrHTML_ElementType2.h"

class KrHTML_link2 : public KrHTML_ElementType2 {
  public:
    explicit KrHTML_link2(const std::string& href = std::string());
    ~KrHTML_link2() override;

  protected:
    KrXMLStringKrAttribute _type;
    KrXMLStringKrAttribute _rel;
    KrXMLStringKrAttribute _href;
};
