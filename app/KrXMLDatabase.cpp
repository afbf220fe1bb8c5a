#include "app/KrXMLDatabase.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "document/KrXMLGenericElement.h"
#include "document/KrXML_Declaration2.h"
#include "document/KrXML_Document2.h"
#include "foundation/KrException.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrStringSplit.h"
#include "html/KrDocumentReader.h"

namespace {

const char kNoBase[] = "the base element must have a length";

// The element itself when it bears the name, else its first direct child
// that does (only generic elements count); null when there is none. One
// path step: looks no deeper, so it costs one pass over the children.
KrXMLGenericElement* firstNamed(KrXMLGenericElement* element, const std::string& name) {
    if (element->GetName() == name) {
        return element;
    }
    for (KrXMLComplexElement* child : element->GetChildren()) {
        if (child != nullptr && child->GetName() == name) {
            if (auto* generic = dynamic_cast<KrXMLGenericElement*>(child)) {
                return generic;
            }
        }
    }
    return nullptr;
}

// `path` less the file name it ends in, so the separator stays.
std::string directoryPart(const std::string& path) {
    const std::string name = FileNameOf(path);
    if (name.size() > path.size() || path.compare(path.size() - name.size(), name.size(), name) != 0) {
        return path;
    }
    return path.substr(0, path.size() - name.size());
}

}  // namespace

KrXMLDatabase::KrXMLDatabase(const std::string& baseName)
    : _document(std::make_unique<KrXML_Document2>("xmldocument")) {
    _document->AddChild(new KrXML_Declaration2("version=\"1.0\" encoding=\"UTF-8\""));
    if (!baseName.empty()) {
        _baseName = baseName;
        _baseElement = static_cast<KrXMLGenericElement*>(
            _document->AddChild(new KrXMLGenericElement(baseName, true)));
    }
}

KrXMLDatabase::~KrXMLDatabase() = default;

KrXMLGenericElement* KrXMLDatabase::_resolvePath(const std::string& path, std::string& attribute,
                                                 bool create) {
    if (_baseName.empty() || _baseElement == nullptr) {
        throw KrException(kNoBase, __LINE__, "src");
    }
    const std::vector<std::string> parts = SplitString(path, ".", false);
    if (parts.size() < 2) {
        throw KrException("the element and attribute name can't be empty", __LINE__, "src");
    }
    attribute = parts.back();
    KrXMLGenericElement* current = _baseElement;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        KrXMLGenericElement* next = firstNamed(current, parts[i]);
        if (next == nullptr) {
            if (!create) {
                return nullptr;
            }
            next = current->AddChildElement(new KrXMLGenericElement(parts[i], true));
        }
        current = next;
    }
    return current;
}

void KrXMLDatabase::_setValue(std::string path, std::string value) {
    try {
        std::string attribute;
        KrXMLGenericElement* element = _resolvePath(path, attribute, true);
        if (element != nullptr) {
            element->AssignAttribute(attribute + "=\"" + value + "\"");
        }
    } catch (...) {
        // A malformed path or a database without a base element: nothing to set.
    }
}

std::string KrXMLDatabase::_getValue(std::string path, std::string fallback) {
    try {
        std::string attribute;
        KrXMLGenericElement* element = _resolvePath(path, attribute, false);
        if (element != nullptr) {
            return element->GetAttributeString(attribute, fallback);
        }
    } catch (...) {
        // Answered with the fallback, as a missing value is.
    }
    return fallback;
}

void KrXMLDatabase::WriteToDisk(std::string path) {
    std::cerr << ("writing: " + path + " to disk is blocked!!\n") << std::flush;
    std::lock_guard<std::mutex> guard(_lock);
}

void KrXMLDatabase::DBReadFromDisk(std::string path, Resolver resolver) {
    if (!FileSize(path, nullptr)) {
        resolver(path);
    }
    std::lock_guard<std::mutex> guard(_lock);
    _directory = directoryPart(path);
    std::ifstream in(path, std::ios::in | std::ios::binary);
    std::string error;
    std::unique_ptr<KrXMLComplexElement> read;
    if (in) {
        KrDocumentReader reader;
        read.reset(reader.ParseStream(&in, "xml", error));
    } else {
        error = "the file can't be opened";
    }
    auto* generic = dynamic_cast<KrXMLGenericElement*>(read.get());
    if (generic == nullptr) {
        throw KrException("no config was found - " + path + " with " + error, __LINE__, "src");
    }
    read.release();
    _document.reset(generic);
    _baseElement = generic;
    _baseName = generic->GetName();
}

void KrXMLDatabase::SetValue(const std::string& path, const std::string& value) {
    std::lock_guard<std::mutex> guard(_lock);
    _setValue(path, value);
}

std::string KrXMLDatabase::GetValue(const std::string& path, const std::string& fallback) {
    std::lock_guard<std::mutex> guard(_lock);
    return _getValue(path, fallback);
}

std::string KrXMLDatabase::GetValueOrInit(const std::string& path, const std::string& fallback) {
    std::lock_guard<std::mutex> guard(_lock);
    std::string value = _getValue(path, fallback);
    _setValue(path, value);
    return value;
}

void KrXMLDatabase::_findElementsAtPath(const std::string& path,
                                        std::list<KrXMLGenericElement*>& out) {
    if (path.empty() || _baseElement == nullptr) {
        throw KrException(kNoBase, __LINE__, "src");
    }
    const std::vector<std::string> parts = SplitString(path, ".", false);
    if (parts.empty()) {
        return;
    }
    KrXMLGenericElement* current = _baseElement;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        current = firstNamed(current, parts[i]);
        if (current == nullptr) {
            return;
        }
    }
    current->FindGenericElementsByName(parts.back(), out, 1);
}

void KrXMLDatabase::FindElementsAtPath(std::string path, std::list<KrXMLGenericElement*>& out) {
    std::lock_guard<std::mutex> guard(_lock);
    _findElementsAtPath(path, out);
}

void KrXMLDatabase::FindElements(std::string name, std::list<KrXMLGenericElement*>& out) {
    std::lock_guard<std::mutex> guard(_lock);
    if (name.empty() || _baseElement == nullptr) {
        throw KrException(kNoBase, __LINE__, "src");
    }
    _baseElement->FindGenericElementsByName(name, out, -1);
}

std::set<std::string>& KrXMLDatabase::GetHolders() {
    return _holders;
}

KrXMLGenericElement* KrXMLDatabase::_findStringVariable(const std::string& name) {
    std::list<KrXMLGenericElement*> variables;
    _findElementsAtPath("project.stringvariables.stringvariable", variables);
    for (KrXMLGenericElement* variable : variables) {
        if (variable->GetAttributeString("name", "") == name) {
            return variable;
        }
    }
    return nullptr;
}

// The whole lookup holds the lock, not only the search: the variable's
// children are written out afterwards, and another thread's SetValue may
// add elements to the same tree meanwhile.
std::string KrXMLDatabase::GetStringVariable(std::string name, std::string fallback) {
    std::lock_guard<std::mutex> guard(_lock);
    KrXMLGenericElement* variable = _findStringVariable(name);
    if (variable == nullptr) {
        return fallback;
    }
    std::list<KrXMLGenericElement*> parts;
    variable->ListGenericChildren(parts);
    std::ostringstream value;
    for (KrXMLGenericElement* part : parts) {
        part->Write(value);
    }
    return value.str();
}

bool KrXMLDatabase::HasStringVariable(const std::string& name) {
    std::lock_guard<std::mutex> guard(_lock);
    return _findStringVariable(name) != nullptr;
}

void KrXMLDatabase::Dump() {
    if (!_document) {
        return;
    }
    std::ostringstream text;
    text << "KrXMLDatabase::Dump()>";
    _document->Write(text);
    text << "<\n";
    std::cout << text.str() << std::flush;
}
