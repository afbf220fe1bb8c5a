#include "html/KrCSSHandler.h"

#include <ostream>

KrCSSHandler::KrCSSHandler(const std::string& text)
    : KrXMLGenericElement("CSS", true), _text(text) {}

KrCSSHandler::~KrCSSHandler() = default;

void KrCSSHandler::Write(std::ostream& out) {
    out << _text;
}

void KrCSSHandler::SetText(const std::string& text) {
    _text = text;
}
