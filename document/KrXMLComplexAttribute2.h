#pragma once
// The attribute family of the element tree. An attribute knows whether it
// holds a value, writes that value as text and takes a new value from text.
// KrXMLGenericAttribute is the plain string attribute an element creates for
// markup it reads; KrXMLComplexAttributeProxy2 is what an element stores in
// its attribute map for a typed member attribute of a subclass: the element
// owns the proxy, the subclass owns the member.

#include <cstddef>
#include <new>
#include <ostream>
#include <string>

#include "document/KrPooledObject.h"

// Attribute objects live in the node pool beside their elements (a read
// tree holds one per attribute of the markup).
class KrXMLComplexAttribute2 : public KrPooledObject {
  public:
    KrXMLComplexAttribute2() = default;
    KrXMLComplexAttribute2(const KrXMLComplexAttribute2&) = default;
    KrXMLComplexAttribute2& operator=(const KrXMLComplexAttribute2&) = default;
    virtual ~KrXMLComplexAttribute2();

    virtual bool IsSet();
    virtual void Write(std::ostream& out);
    virtual void SetFromString(const std::string& text);
    virtual void SetFromCString(const char* text);

    // Appends exactly what Write produces. Element lookups and the writer use
    // it so that reading a value costs no stream; the default goes through
    // Write, the attribute classes of this library override it.
    virtual void AppendTo(std::string& out);
};

// Forwards every operation to a member attribute it does not own.
class KrXMLComplexAttributeProxy2 : public KrXMLComplexAttribute2 {
  public:
    explicit KrXMLComplexAttributeProxy2(KrXMLComplexAttribute2* target) : _target(target) {}
    ~KrXMLComplexAttributeProxy2() override;

    bool IsSet() override;
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    // The member the proxy forwards to. Virtual for proxies that make their
    // member on first use.
    virtual KrXMLComplexAttribute2* GetTarget() const { return _target; }

  private:
    KrXMLComplexAttribute2* _target;
};

// A plain text value; always set.
class KrXMLGenericAttribute : public KrXMLComplexAttribute2 {
  public:
    explicit KrXMLGenericAttribute(std::string value) : _value(std::move(value)) {}
    ~KrXMLGenericAttribute() override;

    bool IsSet() override;
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    // Null gives the empty string.
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    const std::string& GetValue() const { return _value; }

  private:
    std::string _value;
};
