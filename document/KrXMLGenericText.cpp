#include "document/KrXMLGenericText.h"

#include "document/KrSharedName.h"

namespace {

const std::string* nodeName() {
    static const std::string* const name = KrSharedName::Builtin("xmltext");
    return name;
}

}  // namespace

KrXMLGenericText::KrXMLGenericText(const std::string& text)
    : KrXMLGenericElement(nodeName(), false), _text(text, KrSharedText::Kind::kText) {}

KrXMLGenericText::~KrXMLGenericText() = default;

void KrXMLGenericText::Write(std::ostream& out) {
    BeforeWrite(out);
    const std::string& text = _text.str();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}
