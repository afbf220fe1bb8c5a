#pragma once
// One CSS declaration, name and value, written as "name: value;". It takes no
// children; an empty value writes nothing.

#include <string>

#include "document/KrXMLComplexElement.h"

class KrCSSProperty : public KrXMLComplexElement {
  public:
    // nameOnly: `text` is the name (blanks, ";", tabs and line ends trimmed),
    // the value is empty; an empty text throws. Otherwise `text` is
    // "name:value" split at its first ":"; a text without ":" throws.
    KrCSSProperty(const std::string& text, bool nameOnly);
    ~KrCSSProperty() override;

    void OnChildAdded(KrXMLComplexElement* child) override;
    void Write(std::ostream& out) override;

    // The property's name; the element's own name ("cssproperty") stays
    // reachable through a const object or the base class.
    using KrXMLComplexElement::GetName;
    virtual const std::string& GetName();
    virtual bool IsEmpty();
    // Stored unchanged, without trimming.
    virtual void SetValue(const std::string& value);

    const std::string& GetValue() const { return _value; }

  private:
    std::string _name;
    std::string _value;
};
