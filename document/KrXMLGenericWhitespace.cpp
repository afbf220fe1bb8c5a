#include "document/KrXMLGenericWhitespace.h"

KrXMLGenericWhitespace::KrXMLGenericWhitespace(std::string text)
    : KrXMLGenericElement("xmlwhitespace", false), _text(std::move(text)) {}

KrXMLGenericWhitespace::~KrXMLGenericWhitespace() = default;

void KrXMLGenericWhitespace::Write(std::ostream& out) {
    BeforeWrite(out);
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
}
