#pragma once
// A string member attribute with a set/unset state: unset ones are left out
// by the writer. Used for "id", "class" and the like of the HTML elements.

#include <string>

#include "document/KrXMLComplexAttribute2.h"

class KrXMLStringKrAttribute : public KrXMLComplexAttribute2 {
  public:
    KrXMLStringKrAttribute() = default;
    explicit KrXMLStringKrAttribute(std::string value) : _value(std::move(value)), _isSet(true) {}
    ~KrXMLStringKrAttribute() override;

    bool IsSet() override;
    // The value unchanged; nothing when unset.
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    // Null makes the attribute empty and unset.
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;
    virtual const std::string& Get();

    // Stores the value and marks the attribute set.
    std::string& Set(std::string value);

  private:
    std::string _value;
    bool _isSet = false;
};
