#include "document/KrXMLGenericText.h"

KrXMLGenericText::KrXMLGenericText(std::string text)
    : KrXMLGenericElement("xmltext", false), _text(std::move(text)) {}

KrXMLGenericText::~KrXMLGenericText() = default;

void KrXMLGenericText::Write(std::ostream& out) {
    BeforeWrite(out);
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
}
