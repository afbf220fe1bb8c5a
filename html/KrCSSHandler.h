#pragma once
// A block of style-sheet text written unchanged, for CSS that is to reach the
// page without being parsed into CSS objects.

#include <string>

#include "document/KrXMLGenericElement.h"

class KrCSSHandler : public KrXMLGenericElement {
  public:
    explicit KrCSSHandler(const std::string& text);
    ~KrCSSHandler() override;

    void Write(std::ostream& out) override;
    virtual void SetText(const std::string& text);

    const std::string& GetText() const { return _text; }

  private:
    std::string _text;
};
