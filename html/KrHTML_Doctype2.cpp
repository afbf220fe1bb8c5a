#include "html/KrHTML_Doctype2.h"

#include <ostream>

KrHTML_Doctype2::KrHTML_Doctype2(const std::string& text)
    : KrXMLGenericElement("HTMLDoctype", true), _text(text) {}

KrHTML_Doctype2::~KrHTML_Doctype2() = default;

void KrHTML_Doctype2::Write(std::ostream& out) {
    BeforeWrite(out);
    out << "<!DOCTYPE " << _text << ">\n";
}
