#include "document/KrConfigValue.h"

#include <sys/stat.h>

#include "document/KrDTDElementReaderString.h"
#include "document/KrXMLGenericElement.h"
#include "foundation/KrFileHandle.h"

namespace {

// A hand-written configuration file is a few kilobytes; a larger one is not
// read at all, so a huge file cannot exhaust memory.
constexpr off_t kMostBytes = 16 * 1024 * 1024;

// The whole content of `path` when it is a regular file of at most
// kMostBytes. Opened non-blocking, so that a FIFO in its place returns at
// once instead of waiting for a writer.
bool ReadSmallRegularFile(const std::string& path, std::string& text) {
    const KrFileHandle file = KrFileHandle::openForReading(path.c_str());
    struct stat status {};
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > kMostBytes) {
        return false;
    }
    text.resize(static_cast<size_t>(status.st_size));
    size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got = file.read(text.data() + filled, text.size() - filled);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;  // the file shrank meanwhile
        }
        filled += static_cast<size_t>(got);
    }
    text.resize(filled);
    return true;
}

}  // namespace

std::string ReadConfigValue(const std::string& path, const std::string& rootName,
                            const std::string& appName, const std::string& section,
                            const std::string& key, const std::string& fallback) {
    std::string result = fallback;
    try {
        // Everything that can fail, reading the file included, stays inside
        // this block: the caller gets the default and never an exception.
        std::string text;
        if (!ReadSmallRegularFile(path, text)) {
            return result;
        }
        KrDTDElementReaderString reader(&text, 0, KrXMLDTDs());
        KrXMLComplexElement* top = reader.Split("xml", 0);
        KrXMLComplexElement::ElementList roots;
        top->FindElementsByName(rootName, roots, -1);
        KrXMLComplexElement::ElementList applications;
        if (!roots.empty()) {
            roots.front()->FindElementsByName(appName, applications, -1);
        }
        if (applications.size() != 1) {
            return result;
        }
        KrXMLComplexElement::ElementList sections;
        applications.front()->FindElementsByName(section, sections, -1);
        for (KrXMLComplexElement* found : sections) {
            if (auto* element = dynamic_cast<KrXMLGenericElement*>(found)) {
                result = element->GetAttributeString(key, fallback);
            }
        }
    } catch (...) {
        // A file that cannot be read or parsed counts as holding nothing.
        result = fallback;
    }
    return result;
}
