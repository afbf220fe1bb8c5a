#include "document/KrXMLComplexAttribute2.h"

#include "document/KrStringAppendBuf.h"

KrXMLComplexAttribute2::~KrXMLComplexAttribute2() = default;

bool KrXMLComplexAttribute2::IsSet() {
    return true;
}

void KrXMLComplexAttribute2::Write(std::ostream& /*out*/) {}

void KrXMLComplexAttribute2::SetFromString(const std::string& /*text*/) {}

void KrXMLComplexAttribute2::SetFromCString(const char* /*text*/) {}

void KrXMLComplexAttribute2::AppendTo(std::string& out) {
    KrStringAppendBuf buffer(out);
    std::ostream stream(&buffer);
    Write(stream);
}

KrXMLComplexAttributeProxy2::~KrXMLComplexAttributeProxy2() = default;

bool KrXMLComplexAttributeProxy2::IsSet() {
    return _target->IsSet();
}

void KrXMLComplexAttributeProxy2::Write(std::ostream& out) {
    _target->Write(out);
}

void KrXMLComplexAttributeProxy2::SetFromString(const std::string& text) {
    _target->SetFromString(text);
}

void KrXMLComplexAttributeProxy2::SetFromCString(const char* text) {
    _target->SetFromCString(text);
}

void KrXMLComplexAttributeProxy2::AppendTo(std::string& out) {
    _target->AppendTo(out);
}

KrXMLGenericAttribute::~KrXMLGenericAttribute() = default;

bool KrXMLGenericAttribute::IsSet() {
    return true;
}

void KrXMLGenericAttribute::Write(std::ostream& out) {
    out.write(_value.data(), static_cast<std::streamsize>(_value.size()));
}

void KrXMLGenericAttribute::SetFromString(const std::string& text) {
    _value = text;
}

void KrXMLGenericAttribute::SetFromCString(const char* text) {
    if (text == nullptr) {
        _value.clear();
    } else {
        _value = text;
    }
}

void KrXMLGenericAttribute::AppendTo(std::string& out) {
    out += _value;
}
