#include "document/KrXML_Document2.h"

KrXML_Document2::KrXML_Document2(const std::string& name) : KrXMLGenericElement(name, false) {}

KrXML_Document2::~KrXML_Document2() = default;

void KrXML_Document2::Write(std::ostream& out) {
    BeforeWrite(out);
    for (KrXMLComplexElement* child : _children) {
        child->Write(out);
    }
}
