#include "document/KrXMLDTD.h"

#include "document/KrDTDElementReadXML.h"
#include "document/KrDTDTable.h"
#include "document/KrXMLGenericElement.h"
#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "document/KrXML_Comment2.h"
#include "document/KrXML_ProcInst2.h"

KrDTD KrMakeXMLDTD(const std::string& name) {
    KrDTD dtd(name);
    dtd.AddRead(new KrDTDElementRead_Comment());
    dtd.AddRead(new KrDTDElementRead_Element());
    dtd.AddRead(new KrDTDElementRead_ProcInst());
    dtd.AddRead(new KrDTDElementRead_Text());
    dtd.AddRead(new KrDTDElementRead_WhitespaceText());
    dtd.AddFactory("xmlcomment", [](const std::string& text, const KrDTD&) {
        return static_cast<KrXMLComplexElement*>(new KrXML_Comment2(text));
    });
    dtd.AddFactory("xmlelement", [](const std::string& text, const KrDTD&) {
        return static_cast<KrXMLComplexElement*>(new KrXMLGenericElement(text, true));
    });
    dtd.AddFactory("xmlprocinst", [](const std::string& text, const KrDTD&) {
        return static_cast<KrXMLComplexElement*>(new KrXML_ProcInst2(text));
    });
    dtd.AddFactory("xmltext", [](const std::string& text, const KrDTD&) {
        return static_cast<KrXMLComplexElement*>(new KrXMLGenericText(text));
    });
    dtd.AddFactory("xmlwhitespace", [](const std::string& text, const KrDTD&) {
        return static_cast<KrXMLComplexElement*>(new KrXMLGenericWhitespace(text));
    });
    dtd.AddLevel("xmlelement");
    return dtd;
}

const KrDTDTable& KrXMLDTDs() {
    // Built on first use (thread-safe), never changed afterwards.
    static const KrDTDTable table = [] {
        KrDTDTable built;
        built.Add(KrMakeXMLDTD("xml"));
        return built;
    }();
    return table;
}
