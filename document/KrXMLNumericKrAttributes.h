#pragma once
// The numeric member attributes: double, signed and unsigned 64-bit. Each has
// a set/unset state; unset ones write nothing. SetFromString converts as
// std::stod / std::stoll / std::stoull do (leading blanks and a sign
// accepted, trailing characters ignored) and throws std::invalid_argument or
// std::out_of_range with those function names, after marking the attribute
// set and keeping the old value. SetFromCString never throws: a failed
// conversion stores 0, null makes the attribute unset.

#include <cstdint>
#include <string>

#include "document/KrXMLComplexAttribute2.h"

// The three kinds differ only in the value type and its conversion, so they
// share one implementation; the instances for double, int64_t and uint64_t
// are compiled once, in KrXMLNumericKrAttributes.cpp.
template <typename T>
class KrXMLNumericKrAttribute : public KrXMLComplexAttribute2 {
  public:
    KrXMLNumericKrAttribute() = default;
    explicit KrXMLNumericKrAttribute(T value) : _value(value), _isSet(true) {}
    ~KrXMLNumericKrAttribute() override;

    bool IsSet() override;
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    T& Set(T value);
    T& Get() { return _value; }

  private:
    T _value = 0;
    bool _isSet = false;
};

extern template class KrXMLNumericKrAttribute<double>;
extern template class KrXMLNumericKrAttribute<int64_t>;
extern template class KrXMLNumericKrAttribute<uint64_t>;

// Six significant digits in the general format: 0.5, 100, 3.14159, 1e+20.
class KrXMLDoubleKrAttribute : public KrXMLNumericKrAttribute<double> {
  public:
    using KrXMLNumericKrAttribute::KrXMLNumericKrAttribute;
};

class KrXMLInt64_tKrAttribute : public KrXMLNumericKrAttribute<int64_t> {
  public:
    using KrXMLNumericKrAttribute::KrXMLNumericKrAttribute;
};

// A leading minus sign wraps the value, as std::stoull does.
class KrXMLUint64_tKrAttribute : public KrXMLNumericKrAttribute<uint64_t> {
  public:
    using KrXMLNumericKrAttribute::KrXMLNumericKrAttribute;
};
