#include "document/KrMimeType.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

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

struct ExtensionRow {
    const char* extension;
    const char* type;
};

// The types of the files the server sends, by extension (lower case). Text
// types name their character set, so a browser does not have to guess it.
constexpr ExtensionRow kExtensionRows[] = {
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"json", "application/json"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"ico", "image/x-icon"},
    {"txt", "text/plain; charset=utf-8"},
    {"md", "text/markdown; charset=utf-8"},
    {"wasm", "application/wasm"},
    {"pdf", "application/pdf"},
    {"xml", "application/xml"},
    {"csv", "text/csv; charset=utf-8"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"eot", "application/vnd.ms-fontobject"},
    {"avif", "image/avif"},
    {"mp4", "video/mp4"},
    {"webm", "video/webm"},
    {"mp3", "audio/mpeg"},
    {"ogg", "audio/ogg"},
    {"wav", "audio/wav"},
};

constexpr size_t kLongestExtension = [] {
    size_t longest = 0;
    for (const ExtensionRow& row : kExtensionRows)
        longest = std::max(longest, std::char_traits<char>::length(row.extension));
    return longest;
}();

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

const char* ContentTypeOfFile(std::string_view path) {
    static const char kUnknown[] = "application/octet-stream";
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return kUnknown;
    const size_t length = path.size() - dot - 1;
    if (length > kLongestExtension)
        return kUnknown;
    // Lower-cased into a small buffer: every request for a file asks.
    char extension[kLongestExtension + 1];
    for (size_t i = 0; i < length; ++i)
        extension[i] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(path[dot + 1 + i])));
    extension[length] = '\0';
    for (const ExtensionRow& row : kExtensionRows) {
        if (std::strcmp(extension, row.extension) == 0)
            return row.type;
    }
    return kUnknown;
}
