#pragma once
// The content types the system knows, and the table that translates between
// a value, its enumerator name and its MIME string. Like a map's index
// operator, a lookup of an unknown key inserts a default entry and returns
// it ("" or KR_MIME_TYPE_NONE), so lookups are not const and one table must
// not be used by two threads at once.
// Beside it, the types files are sent with, by the extension of their name.

#include <map>
#include <string>
#include <string_view>

enum KrMimeType {
    KR_MIME_TYPE_NONE = 0,
    KR_MIME_TYPE_TEXT_HTML = 1,
    KR_MIME_TYPE_TEXT_JAVASCRIPT = 2,
    KR_MIME_TYPE_TEXT_CSS = 3,
    KR_MIME_TYPE_IMAGE_PNG = 4,
    KR_MIME_TYPE_IMAGE_JPEG = 5,
    KR_MIME_TYPE_IMAGE_X_ICON = 6,
};

class KrMimeTypeTable {
  public:
    KrMimeTypeTable();

    // "text/css" for 3; "" for a value outside the table.
    std::string MimeString(int type) const;
    // "KR_MIME_TYPE_TEXT_CSS" for 3; "" for a value outside the table.
    std::string Name(int type) const;
    // Exact, case-sensitive; KR_MIME_TYPE_NONE for an unknown string.
    KrMimeType ValueOf(const std::string& mimeString) const;

  private:
    std::map<std::string, KrMimeType> _valueOfMime;
    std::map<int, std::string> _mimeOfValue;
    std::map<int, std::string> _nameOfValue;
};

// The Content-Type of a file named `path`, by its extension (any case): the
// text types with "; charset=utf-8", "application/octet-stream" for an
// extension the table lacks or a name without one. Static text: no allocation.
const char* ContentTypeOfFile(std::string_view path);
