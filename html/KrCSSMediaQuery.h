#pragma once
// A media query block of a style sheet, written as "query{...}"; holds rules,
// CSS comments and text nodes.

#include <string>

#include "document/KrXMLComplexElement.h"

class KrCSSMediaQuery : public KrXMLComplexElement {
  public:
    explicit KrCSSMediaQuery(const std::string& query);
    ~KrCSSMediaQuery() override;

    void OnChildAdded(KrXMLComplexElement* child) override;
    void Write(std::ostream& out) override;

  private:
    std::string _query;
};
