#include "document/KrXMLDatum.h"

#include <stdexcept>

KrXMLDatum::~KrXMLDatum() = default;

bool KrXMLDatum::IsSet() {
    return parseOk() || validity() != 0;
}

// Built as text first so that flags set on the caller's stream (hex, width)
// cannot change a form that has to read back.
void KrXMLDatum::Write(std::ostream& out) {
    std::string text;
    AppendTo(text);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void KrXMLDatum::AppendTo(std::string& out) {
    out += std::to_string(seconds());
    out.push_back(' ');
    out += std::to_string(subSecond());
    out.push_back(' ');
    out += std::to_string(validity());
}

void KrXMLDatum::SetFromString(const std::string& text) {
    try {
        parse(text);
        _parseOk = true;
    } catch (const std::exception&) {
        // What the parser stored before it failed stays, as documented.
        _parseOk = false;
    }
}

// KrDatum's version counts null as a failed parse and passes any other
// text to setFromString, which comes back to SetFromString.
void KrXMLDatum::SetFromCString(const char* text) {
    KrDatum::setFromCString(text);
}

void KrXMLDatum::setFromString(const std::string& text) {
    SetFromString(text);
}

void KrXMLDatum::setFromCString(const char* text) {
    SetFromCString(text);
}
