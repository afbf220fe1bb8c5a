#pragma once
// A boolean member attribute, written as 1 or 0. It reads a number (non-zero
// is true, trailing characters ignored) or else the word "true" in any case;
// it never throws.

#include <string>

#include "document/KrXMLComplexAttribute2.h"

class KrXMLBoolKrAttribute : public KrXMLComplexAttribute2 {
  public:
    KrXMLBoolKrAttribute() = default;
    explicit KrXMLBoolKrAttribute(bool value) : _value(value), _isSet(true) {}
    ~KrXMLBoolKrAttribute() override;

    bool IsSet() override;
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    // Null makes the attribute false and unset; empty makes it false and set.
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    bool& Set(bool value);
    bool& Get() { return _value; }

  private:
    bool _value = false;
    bool _isSet = false;
};
