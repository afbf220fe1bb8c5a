#include "html/KrHTML_text2.h"

#include <ostream>

KrHTML_text2::KrHTML_text2()
    : KrHTML_BaseElement2("xmltext", true, false, false),
      _text(std::string_view(), KrSharedText::Kind::kText) {}

KrHTML_text2::KrHTML_text2(const std::string& text)
    : KrHTML_BaseElement2("xmltext", true, false, false), _text(text, KrSharedText::Kind::kText) {}

KrHTML_text2::~KrHTML_text2() = default;

void KrHTML_text2::WriteText(std::ostream& out) {
    const std::string& text = _text.str();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void KrHTML_text2::Write(std::ostream& out) {
    BeforeWrite(out);
    const std::string& text = _text.str();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool KrHTML_text2::IsText() {
    return true;
}

void KrHTML_text2::AppendText(const std::string& text) {
    _text.Own() += text;
}
