#include "document/KrConfigValue.h"

#include <fstream>

#include "document/KrDTDElementReaderStream.h"
#include "document/KrXMLGenericElement.h"

std::string ReadConfigValue(const std::string& path, const std::string& rootName,
                            const std::string& appName, const std::string& section,
                            const std::string& key, const std::string& fallback) {
    std::string result = fallback;
    std::ifstream in(path, std::ios::in | std::ios::binary);
    KrDTDElementReaderStream reader(&in, KrXMLDTDs());
    KrXMLComplexElement::ElementList applications;
    try {
        KrXMLComplexElement* top = reader.Split("xml", 0);
        KrXMLComplexElement::ElementList roots;
        top->FindElementsByName(rootName, roots, -1);
        if (!roots.empty()) {
            roots.front()->FindElementsByName(appName, applications, -1);
        }
    } catch (...) {
        // A file that cannot be read or parsed counts as holding nothing.
        applications.clear();
    }
    if (applications.size() != 1) {
        return result;
    }
    try {
        KrXMLComplexElement::ElementList sections;
        applications.front()->FindElementsByName(section, sections, -1);
        for (KrXMLComplexElement* found : sections) {
            if (auto* element = dynamic_cast<KrXMLGenericElement*>(found)) {
                result = element->GetAttributeString(key, fallback);
            }
        }
    } catch (...) {
        result = fallback;
    }
    return result;
}
