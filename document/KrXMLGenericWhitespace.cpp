#include "document/KrXMLGenericWhitespace.h"

#include "document/KrSharedName.h"

namespace {

const std::string* nodeName() {
    static const std::string* const name = KrSharedName::Builtin("xmlwhitespace");
    return name;
}

}  // namespace

KrXMLGenericWhitespace::KrXMLGenericWhitespace(const std::string& text)
    : KrXMLGenericElement(nodeName(), false), _text(text, KrSharedText::Kind::kText) {}

KrXMLGenericWhitespace::~KrXMLGenericWhitespace() = default;

void KrXMLGenericWhitespace::Write(std::ostream& out) {
    BeforeWrite(out);
    const std::string& text = _text.str();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}
