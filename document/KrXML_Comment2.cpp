#include "document/KrXML_Comment2.h"

KrXML_Comment2::KrXML_Comment2(std::string text)
    : KrXMLGenericElement("comment", false), _text(std::move(text)) {}

KrXML_Comment2::~KrXML_Comment2() = default;

void KrXML_Comment2::Write(std::ostream& out) {
    BeforeWrite(out);
    out << "<!--";
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
    out << "-->";
}
