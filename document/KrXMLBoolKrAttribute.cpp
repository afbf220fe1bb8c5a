#include "document/KrXMLBoolKrAttribute.h"

#include <strings.h>
#include <cerrno>
#include <cstdlib>

KrXMLBoolKrAttribute::~KrXMLBoolKrAttribute() = default;

bool KrXMLBoolKrAttribute::IsSet() {
    return _isSet;
}

void KrXMLBoolKrAttribute::Write(std::ostream& out) {
    if (_isSet) {
        out.put(_value ? '1' : '0');
    }
}

void KrXMLBoolKrAttribute::SetFromString(const std::string& text) {
    _isSet = true;
    // Read as std::stoll would, but without an exception for the common
    // case of a word.
    const char* begin = text.c_str();
    char* end = nullptr;
    const int savedErrno = errno;
    errno = 0;
    const long long number = std::strtoll(begin, &end, 10);
    const bool numberRead = end != begin && errno != ERANGE;
    if (errno == 0) {
        errno = savedErrno;
    }
    if (numberRead) {
        _value = number != 0;
    } else {
        _value = strcasecmp(begin, "true") == 0 && text.size() == 4;
    }
}

void KrXMLBoolKrAttribute::SetFromCString(const char* text) {
    if (text == nullptr) {
        _value = false;
        _isSet = false;
    } else if (*text == '\0') {
        _value = false;
        _isSet = true;
    } else {
        SetFromString(text);
    }
}

void KrXMLBoolKrAttribute::AppendTo(std::string& out) {
    if (_isSet) {
        out.push_back(_value ? '1' : '0');
    }
}

bool& KrXMLBoolKrAttribute::Set(bool value) {
    _value = value;
    _isSet = true;
    return _value;
}
