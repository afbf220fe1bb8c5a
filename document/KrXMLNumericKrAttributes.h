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

class KrXMLDoubleKrAttribute : public KrXMLComplexAttribute2 {
  public:
    KrXMLDoubleKrAttribute() = default;
    explicit KrXMLDoubleKrAttribute(double value) : _value(value), _isSet(true) {}
    ~KrXMLDoubleKrAttribute() override;

    bool IsSet() override;
    // Six significant digits in the general format: 0.5, 100, 3.14159, 1e+20.
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    double& Set(double value);
    double& Get() { return _value; }

  private:
    double _value = 0.0;
    bool _isSet = false;
};

class KrXMLInt64_tKrAttribute : public KrXMLComplexAttribute2 {
  public:
    KrXMLInt64_tKrAttribute() = default;
    explicit KrXMLInt64_tKrAttribute(int64_t value) : _value(value), _isSet(true) {}
    ~KrXMLInt64_tKrAttribute() override;

    bool IsSet() override;
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    int64_t& Set(int64_t value);
    int64_t& Get() { return _value; }

  private:
    int64_t _value = 0;
    bool _isSet = false;
};

class KrXMLUint64_tKrAttribute : public KrXMLComplexAttribute2 {
  public:
    KrXMLUint64_tKrAttribute() = default;
    explicit KrXMLUint64_tKrAttribute(uint64_t value) : _value(value), _isSet(true) {}
    ~KrXMLUint64_tKrAttribute() override;

    bool IsSet() override;
    void Write(std::ostream& out) override;
    // A leading minus sign wraps the value, as std::stoull does.
    void SetFromString(const std::string& text) override;
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    uint64_t& Set(uint64_t value);
    uint64_t& Get() { return _value; }

  private:
    uint64_t _value = 0;
    bool _isSet = false;
};
