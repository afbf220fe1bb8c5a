#include "transport/KrHTTPMessageBlock.h"

#include "foundation/KrException.h"
#include "foundation/KrStringSplit.h"
#include "foundation/KrStringUtils.h"

namespace {

const char* const kBlanks = " \t";

// A buffer that takes over a decoded value without copying it again: the
// text becomes the buffer's content, all of it unread.
class BlockBuffer : public KrStringBuf {
  public:
    explicit BlockBuffer(std::string bytes) {
        const size_t size = bytes.size();
        str(std::move(bytes));
        pbump(static_cast<int>(size));
    }
};

}  // namespace

KrHTTPMessageBlock::KrHTTPMessageBlock()
    : fields{{"mimetype", "application/octet-stream"}, {"name", ""}} {}

KrHTTPMessageBlock::KrHTTPMessageBlock(const std::string& question) : KrHTTPMessageBlock() {
    const std::vector<std::string> pieces = SplitString(Trim(question, kBlanks), "=", false);
    if (pieces.size() == 2) {
        fields["name"] = Trim(pieces[0], kBlanks);
        setContent(Trim(pieces[1], kBlanks));
    } else if (pieces.size() == 1) {
        fields["name"] = pieces[0];
    } else {
        throw KrException("can't create message block from empty question", __LINE__, __FILE__);
    }
}

KrHTTPMessageBlock::KrHTTPMessageBlock(KrHTTPMessageBlock&& other) noexcept
    : content(std::move(other.content)),
      headerFields(std::move(other.headerFields)),
      fields(std::move(other.fields)) {
    other.headerFields.clear();
    other.fields.clear();
}

KrHTTPMessageBlock& KrHTTPMessageBlock::operator=(KrHTTPMessageBlock&& other) noexcept {
    if (this != &other) {
        content = std::move(other.content);
        headerFields = std::move(other.headerFields);
        fields = std::move(other.fields);
        other.headerFields.clear();
        other.fields.clear();
    }
    return *this;
}

KrHTTPMessageBlock::~KrHTTPMessageBlock() = default;

std::string KrHTTPMessageBlock::text() const {
    std::string out;
    if (content)
        content->CopyOut(out, 0, content->Length());
    return out;
}

void KrHTTPMessageBlock::setContent(const char* data, size_t length) {
    content = std::make_unique<BlockBuffer>(std::string(data, length));
}

void KrHTTPMessageBlock::setContent(std::string&& bytes) {
    content = std::make_unique<BlockBuffer>(std::move(bytes));
}
