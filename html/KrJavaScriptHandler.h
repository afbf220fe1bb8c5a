#pragma once
// A block of script text written unchanged. With `wrap` set, plain code is
// stored inside a complete script element with comment guards, so the
// handler can stand on its own in a page head.

#include <string>

#include "document/KrXMLGenericElement.h"

class KrJavaScriptHandler : public KrXMLGenericElement {
  public:
    // Wrapping is skipped when "<script" lies within the first 50 characters.
    KrJavaScriptHandler(const std::string& code, bool wrap);
    ~KrJavaScriptHandler() override;

    void Write(std::ostream& out) override;
    // Replaces the stored text; never wraps.
    virtual void SetText(const std::string& text);

    const std::string& GetText() const { return _text; }

  private:
    std::string _text;
};
