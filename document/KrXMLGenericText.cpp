#include "document/KrXMLGenericText.h"

#include "document/KrSharedName.h"

namespace {

const std::string* nodeName() {
    static const std::string* const name = KrSharedName::Builtin("xmltext");
    return name;
}

}  // namespace

KrXMLGenericText::KrXMLGenericText(std::string text)
    : KrXMLGenericElement(nodeName(), false), _text(std::move(text)) {}

KrXMLGenericText::~KrXMLGenericText() = default;

void KrXMLGenericText::Write(std::ostream& out) {
    BeforeWrite(out);
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
}
