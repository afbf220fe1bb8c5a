#include "document/KrConfigValue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "document/KrDTDElementReaderString.h"
#include "document/KrXMLGenericElement.h"

namespace {

// A hand-written configuration file is a few kilobytes; a larger one is not
// read at all, so a huge file cannot exhaust memory.
constexpr off_t kMostBytes = 16 * 1024 * 1024;

// The descriptor of the file being read; closes it when the read is over.
class ReadOnlyFile {
  public:
    // Non-blocking, so that opening a FIFO returns at once instead of
    // waiting for a writer.
    explicit ReadOnlyFile(const std::string& path)
        : _fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {}
    ~ReadOnlyFile() {
        if (_fd >= 0) {
            ::close(_fd);
        }
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // The whole content when this is a regular file of at most kMostBytes.
    bool readSmallRegular(std::string& text) const {
        struct stat status {};
        if (_fd < 0 || ::fstat(_fd, &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_size > kMostBytes) {
            return false;
        }
        text.resize(static_cast<size_t>(status.st_size));
        size_t filled = 0;
        while (filled < text.size()) {
            ssize_t got = ::read(_fd, text.data() + filled, text.size() - filled);
            if (got < 0 && errno == EINTR) {
                continue;
            }
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

  private:
    int _fd;
};

}  // namespace

std::string ReadConfigValue(const std::string& path, const std::string& rootName,
                            const std::string& appName, const std::string& section,
                            const std::string& key, const std::string& fallback) {
    std::string result = fallback;
    try {
        // Everything that can fail, reading the file included, stays inside
        // this block: the caller gets the default and never an exception.
        std::string text;
        if (!ReadOnlyFile(path).readSmallRegular(text)) {
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
