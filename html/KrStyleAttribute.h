#pragma once
// The "style" member attribute of every HTML element: the declarations of an
// inline style, one CSS property per name, written back in name order.
// Owns its properties (shared pointers, so a caller may keep one alive).

#include <map>
#include <memory>
#include <string>

#include "document/KrXMLComplexAttribute2.h"
#include "html/KrCSSProperty.h"

class KrStyleAttribute : public KrXMLComplexAttribute2 {
  public:
    KrStyleAttribute();
    ~KrStyleAttribute() override;

    bool IsSet() override;
    void Write(std::ostream& out) override;
    // Adds or replaces the declarations of `text`; properties it does not
    // mention stay. Declarations are split at ";" outside parentheses and
    // quotes, each at its first ":", so url(data:...;base64,...) is one value.
    void SetFromString(const std::string& text) override;
    // Null or empty changes nothing.
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    virtual void SetStyle(const std::string& text);
    // The property of this name, created without a value when absent; it stays
    // owned by the attribute. An empty or malformed name throws KrException and
    // leaves the style as it was.
    virtual KrCSSProperty* SetProperty(const std::string& name);

  private:
    using PropertyMap = std::map<std::string, std::shared_ptr<KrCSSProperty>>;

    // Created with the first property: every HTML element carries a style
    // member, and few of them set one.
    PropertyMap& _propertyMap();

    std::unique_ptr<PropertyMap> _properties;
};
