#include "document/KrXML_Comment2.h"

#include "document/KrSharedName.h"

namespace {

const std::string* nodeName() {
    static const std::string* const name = KrSharedName::Builtin("comment");
    return name;
}

}  // namespace

KrXML_Comment2::KrXML_Comment2(std::string text)
    : KrXMLGenericElement(nodeName(), false), _text(std::move(text)) {}

KrXML_Comment2::~KrXML_Comment2() = default;

void KrXML_Comment2::Write(std::ostream& out) {
    BeforeWrite(out);
    out << "<!--";
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
    out << "-->";
}
