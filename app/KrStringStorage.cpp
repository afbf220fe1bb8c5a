#include "app/KrStringStorage.h"

#include <array>
#include <fstream>
#include <iterator>

#include "document/KrMimeType.h"
#include "foundation/KrException.h"
#include "foundation/KrStringUtils.h"

namespace {

// Data buffers made here grow in steps of this many bytes.
constexpr uint64_t kDataGrowth = 2048;
constexpr size_t kBase64LineLength = 76;

// The name as the body of a C++ string literal: a quote, a backslash and
// every byte outside printable ASCII become escapes, so any name compiles
// and reads back as the same bytes. Octal escapes take at most three
// digits, so a following digit cannot extend them as it would a hex escape.
std::string sourceLiteral(const std::string& name) {
    static const char kOctal[] = "01234567";
    std::string out;
    out.reserve(name.size() + 2);
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            out += '\\';
            out += kOctal[byte >> 6];
            out += kOctal[(byte >> 3) & 7];
            out += kOctal[byte & 7];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

void Base64Encode(const char* bytes, size_t length, std::ostream& out) {
    const std::string& digits = Base64Alphabet;
    std::string text;
    text.reserve(length / 3 * 4 + length / 57 + 8);
    size_t onLine = 0;
    auto put = [&](char c) {
        text += c;
        if (++onLine == kBase64LineLength) {
            text += '\n';
            onLine = 0;
        }
    };
    for (size_t i = 0; i < length; i += 3) {
        const size_t left = length - i;
        const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                               (left > 1 ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0) |
                               (left > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0);
        put(digits[(group >> 18) & 63]);
        put(digits[(group >> 12) & 63]);
        put(left > 1 ? digits[(group >> 6) & 63] : '=');
        put(left > 2 ? digits[group & 63] : '=');
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void Base64Decode(const std::string& text, CharBuffer& out) {
    // Digit values by byte, -1 for bytes outside the alphabet; the pad "="
    // (index 64 of the alphabet) counts as six zero bits.
    static const auto table = [] {
        std::array<int8_t, 256> values;
        values.fill(-1);
        const std::string& digits = Base64Alphabet;
        for (size_t i = 0; i < digits.size(); ++i) {
            values[static_cast<unsigned char>(digits[i])] = static_cast<int8_t>(i & 63);
        }
        return values;
    }();
    // The pad count runs over the whole text, so after a "=" every later
    // group yields fewer bytes; for well-formed base64 this is the standard
    // decoding.
    size_t pads = 0;
    uint32_t group = 0;
    int digitsInGroup = 0;
    for (const char c : text) {
        const int8_t digit = table[static_cast<unsigned char>(c)];
        if (digit < 0) {
            continue;
        }
        if (c == '=') {
            ++pads;
        }
        group = group << 6 | static_cast<uint32_t>(digit);
        if (++digitsInGroup < 4) {
            continue;
        }
        out.PushChar(static_cast<int>((group >> 16) & 0xff));
        if (pads < 2) {
            out.PushChar(static_cast<int>((group >> 8) & 0xff));
        }
        if (pads == 0) {
            out.PushChar(static_cast<int>(group & 0xff));
        }
        group = 0;
        digitsInGroup = 0;
    }
}

bool KrStringStorage::IsImageType(int type) {
    return type == KR_MIME_TYPE_IMAGE_PNG || type == KR_MIME_TYPE_IMAGE_JPEG ||
           type == KR_MIME_TYPE_IMAGE_X_ICON;
}

KrStringStorage::KrStringStorage() = default;

KrStringStorage::KrStringStorage(std::string name, std::string path, int type) {
    if (!IsImageType(type)) {
        return;
    }
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) {
        return;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    _data = std::make_unique<CharBuffer>(kDataGrowth);
    _data->Assign(bytes.data(), bytes.size());
    _name = std::move(name);
    _size = static_cast<long>(bytes.size());
    _type = type;
}

KrStringStorage::KrStringStorage(std::string name, int type, std::string text, bool base64)
    : _name(std::move(name)), _type(type) {
    if (IsImageType(type)) {
        if (!base64) {
            throw KrException("can't read that type from direct string", __LINE__, "src");
        }
        _data = std::make_unique<CharBuffer>(kDataGrowth);
        Base64Decode(text, *_data);
        _size = static_cast<long>(_data->Size());
        return;
    }
    if (base64) {
        CharBuffer decoded(kDataGrowth);
        Base64Decode(text, decoded);
        // A text ends at its first zero byte.
        const std::string bytes(decoded.CData(), decoded.Size());
        _text = bytes.substr(0, bytes.find('\0'));
    } else {
        _text = std::move(text);
    }
    _size = static_cast<long>(_text.size());
}

KrStringStorage::KrStringStorage(const KrStringStorage& other)
    : _text(other._text), _name(other._name), _size(other._size), _type(other._type) {
    if (other._data) {
        _data = std::make_unique<CharBuffer>(kDataGrowth);
        *_data = *other._data;
    }
}

KrStringStorage& KrStringStorage::operator=(const KrStringStorage& other) {
    if (this != &other) {
        KrStringStorage copy(other);
        *this = std::move(copy);
    }
    return *this;
}

KrStringStorage::~KrStringStorage() = default;

// Chosen by type, not by whether a buffer exists: GetBuffer on a text
// resource makes one, and the text must still be the content then.
std::string KrStringStorage::GetContent() const {
    if (IsImageType(_type)) {
        return _data ? std::string(_data->CData(), _data->Size()) : std::string();
    }
    return _text;
}

CharBuffer* KrStringStorage::GetBuffer() {
    if (!_data) {
        _data = std::make_unique<CharBuffer>(1);
    }
    return _data.get();
}

void KrStringStorage::WriteSource(std::ostream& out) const {
    const std::string name = sourceLiteral(_name);
    // A type the table has no enumerator for is written as its number, so
    // the line compiles for every type.
    static const KrMimeTypeTable table;
    std::string type = table.Name(_type);
    if (type.empty()) {
        type = std::to_string(_type);
    }
    out << "{\"" << name << "\", KrStringStorage(\"" << name << "\", " << type << ",\nR\"quivo(";
    if (IsImageType(_type)) {
        if (_data) {
            Base64Encode(_data->CData(), _data->Size(), out);
        }
    } else {
        Base64Encode(_text.data(), _text.size(), out);
    }
    out << ")quivo\", true)}";
}
