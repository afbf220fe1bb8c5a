#include "html/KrHTML_text2.h"

#include <ostream>

KrHTML_text2::KrHTML_text2() : KrHTML_BaseElement2("xmltext", true, false, false) {}

KrHTML_text2::KrHTML_text2(const std::string& text)
    : KrHTML_BaseElement2("xmltext", true, false, false), _text(text) {}

KrHTML_text2::~KrHTML_text2() = default;

void KrHTML_text2::WriteText(std::ostream& out) {
    out << _text;
}

void KrHTML_text2::Write(std::ostream& out) {
    BeforeWrite(out);
    out << _text;
}

bool KrHTML_text2::IsText() {
    return true;
}

void KrHTML_text2::AppendText(const std::string& text) {
    _text += text;
}
