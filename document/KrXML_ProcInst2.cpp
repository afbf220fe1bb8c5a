#include "document/KrXML_ProcInst2.h"

KrXML_ProcInst2::KrXML_ProcInst2(std::string text)
    : KrXMLGenericElement("procinst", false), _text(std::move(text)) {}

KrXML_ProcInst2::~KrXML_ProcInst2() = default;

void KrXML_ProcInst2::Write(std::ostream& out) {
    BeforeWrite(out);
    out << "<?";
    out.write(_text.data(), static_cast<std::streamsize>(_text.size()));
    out << "?>";
}
