#include "document/KrXMLGenericWhitespace.h"

#include "document/KrSharedName.h"

namespace {

const std::string* nodeName() {
    static const std::string* const name = KrSharedName::Builtin("xmlwhitespace");
    return name;
}

}  // namespace

KrXMLGenericWhitespace::KrXMLGenericWhitespace(std::string text)
    : KrXMLGenericElement(nodeName(), false), _text(std::move(text)) {}

KrXMLGenericWhitespace::~KrXMLGenericWhitespace() = default;

void KrXMLGenericWhitespace::Write(std::ostream& out) {
    BeforeWrite(out);
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
}
