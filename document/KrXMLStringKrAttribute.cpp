#include "document/KrXMLStringKrAttribute.h"

KrXMLStringKrAttribute::~KrXMLStringKrAttribute() = default;

bool KrXMLStringKrAttribute::IsSet() {
    return _isSet;
}

void KrXMLStringKrAttribute::Write(std::ostream& out) {
    if (_isSet) {
        out.write(_value.data(), static_cast<std::streamsize>(_value.size()));
    }
}

void KrXMLStringKrAttribute::SetFromString(const std::string& text) {
    _value = text;
    _isSet = true;
}

void KrXMLStringKrAttribute::SetFromCString(const char* text) {
    if (text == nullptr) {
        _value.clear();
        _isSet = false;
    } else {
        _value = text;
        _isSet = true;
    }
}

void KrXMLStringKrAttribute::AppendTo(std::string& out) {
    if (_isSet) {
        out += _value;
    }
}

const std::string& KrXMLStringKrAttribute::Get() {
    return _value;
}

std::string& KrXMLStringKrAttribute::Set(std::string value) {
    _value = std::move(value);
    _isSet = true;
    return _value;
}
