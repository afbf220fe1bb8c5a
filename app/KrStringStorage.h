#pragma once
// One resource an application carries inside itself: a page, a script, a
// style sheet or an image, with its name and its KR_MIME_TYPE_* type. Image
// types (PNG, JPEG, icon) keep their bytes in a data buffer, every other
// type keeps its text. A resource can be written as a line of C++ source
// that rebuilds it, the content carried in base64.
// Owns its data buffer; a copy gets a buffer of its own. Not thread-safe.

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

#include "foundation/CharBuffer.h"

class KrStringStorage {
  public:
    KrStringStorage();
    // An image resource read from a file. Other types, or a file that does
    // not open, leave the resource empty (no name, type 0).
    KrStringStorage(std::string name, std::string path, int type);
    // A resource built from text, decoded first when `base64` is set (a text
    // type is then cut at the first zero byte). An image type needs base64:
    // otherwise throws KrException "can't read that type from direct string".
    KrStringStorage(std::string name, int type, std::string text, bool base64);
    KrStringStorage(const KrStringStorage& other);
    KrStringStorage& operator=(const KrStringStorage& other);
    KrStringStorage(KrStringStorage&&) noexcept = default;
    KrStringStorage& operator=(KrStringStorage&&) noexcept = default;
    ~KrStringStorage();

    // The content: the data buffer's bytes (zero bytes included) for an
    // image type, else the text.
    std::string GetContent() const;
    long GetSize() const { return _size; }
    int GetType() const { return _type; }
    const std::string& GetName() const { return _name; }
    // The data buffer, created empty on first use; owned by the resource.
    CharBuffer* GetBuffer();
    // One entry of a std::map<std::string, KrStringStorage> initializer:
    // {"name", KrStringStorage("name", TYPE,\nR"quivo(base64)quivo", true)}.
    void WriteSource(std::ostream& out) const;

    static bool IsImageType(int type);

  private:
    std::string _text;
    std::unique_ptr<CharBuffer> _data;
    std::string _name;
    long _size = 0;
    int _type = 0;
};

// Standard base64 of the bytes, a line feed after every 76 characters.
void Base64Encode(const char* bytes, size_t length, std::ostream& out);
// Appends the decoded bytes; characters outside the alphabet are skipped and
// an unfinished last group is dropped.
void Base64Decode(const std::string& text, CharBuffer& out);
