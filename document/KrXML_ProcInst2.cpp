#include "document/KrXML_ProcInst2.h"

#include "document/KrSharedName.h"

namespace {

const std::string* nodeName() {
    static const std::string* const name = KrSharedName::Builtin("procinst");
    return name;
}

}  // namespace

KrXML_ProcInst2::KrXML_ProcInst2(std::string text)
    : KrXMLGenericElement(nodeName(), false), _text(std::move(text)) {}

KrXML_ProcInst2::~KrXML_ProcInst2() = default;

void KrXML_ProcInst2::Write(std::ostream& out) {
    BeforeWrite(out);
    out << "<?";
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
    out << "?>";
}
