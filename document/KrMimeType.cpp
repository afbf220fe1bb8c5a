#include "document/KrMimeType.h"

namespace {

struct MimeRow {
    KrMimeType value;
    const char* name;
    const char* mime;
};

// The one list the three maps are built from.
constexpr MimeRow kMimeRows[] = {
    {KR_MIME_TYPE_NONE, "KR_MIME_TYPE_NONE", "application/octet-stream"},
    {KR_MIME_TYPE_TEXT_HTML, "KR_MIME_TYPE_TEXT_HTML", "text/html"},
    {KR_MIME_TYPE_TEXT_JAVASCRIPT, "KR_MIME_TYPE_TEXT_JAVASCRIPT", "text/javascript"},
    {KR_MIME_TYPE_TEXT_CSS, "KR_MIME_TYPE_TEXT_CSS", "text/css"},
    {KR_MIME_TYPE_IMAGE_PNG, "KR_MIME_TYPE_IMAGE_PNG", "image/png"},
    {KR_MIME_TYPE_IMAGE_JPEG, "KR_MIME_TYPE_IMAGE_JPEG", "image/jpeg"},
    {KR_MIME_TYPE_IMAGE_X_ICON, "KR_MIME_TYPE_IMAGE_X_ICON", "image/x-icon"},
};

}  // namespace

KrMimeTypeTable::KrMimeTypeTable() {
    for (const MimeRow& row : kMimeRows) {
        _nameOfValue[row.value] = row.name;
    }
    for (const MimeRow& row : kMimeRows) {
        _mimeOfValue[row.value] = row.mime;
    }
    for (const auto& [value, mime] : _mimeOfValue) {
        _valueOfMime[mime] = static_cast<KrMimeType>(value);
    }
}

// Lookups never insert, so one table can be read from several threads.
std::string KrMimeTypeTable::MimeString(int type) const {
    auto it = _mimeOfValue.find(type);
    return it == _mimeOfValue.end() ? std::string() : it->second;
}

std::string KrMimeTypeTable::Name(int type) const {
    auto it = _nameOfValue.find(type);
    return it == _nameOfValue.end() ? std::string() : it->second;
}

KrMimeType KrMimeTypeTable::ValueOf(const std::string& mimeString) const {
    auto it = _valueOfMime.find(mimeString);
    return it == _valueOfMime.end() ? KR_MIME_TYPE_NONE : it->second;
}
