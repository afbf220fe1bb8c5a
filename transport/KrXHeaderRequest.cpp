// Requests the system sends itself: an address, a link's "href" or a form of
// the page's element tree turned into the fields that `write` puts into the
// request head, and for a POST the multipart body behind it.

#include <filesystem>
#include <fstream>
#include <list>
#include <mutex>
#include <stdexcept>

#include "document/KrXMLGenericElement.h"
#include "foundation/KrException.h"
#include "foundation/KrStringSplit.h"
#include "foundation/KrStringUtils.h"
#include "foundation/KrURL.h"
#include "html/KrHTML_input2_blob.h"
#include "transport/KrXHeader.h"

namespace {

const char* const kBoundaryPrefix = "------QuivoFormBoundary";
const char* const kHexDigits = "0123456789abcdef";

// Serialises the boundary names of all headers, so two forms built in the
// same microsecond by different threads still go through makeUniqueName one
// after the other.
std::mutex g_boundaryMutex;

struct Address {
    std::string path;
    std::string host;
    int protocol = KR_PROTOCOL_NONE;
    long port = 0;
};

// The address text as a URL, or else joined behind base; an empty record
// when neither parses. Query and fragment are not taken over. A port that is
// not a decimal number throws std::invalid_argument.
Address TakeApart(const std::string& text, const std::string& base) {
    KrURL url;
    try {
        url = KrURL(text);
    } catch (const KrException&) {
        try {
            url = KrURL(JoinPath(base, text));
        } catch (const KrException&) {
            url = KrURL();
        }
    }
    if (url.port.empty() || url.port.find_first_not_of("0123456789") != std::string::npos ||
        url.port.size() > 9) {
        throw std::invalid_argument("no port number in the address '" + text + "' (base '" + base +
                                    "')");
    }
    return Address{url.path, url.host, url.protocol, std::stol(url.port)};
}

// Blanks, control bytes (a line end above all) and bytes from 128 up cannot
// stand in a request line; they are sent as "%" and two hexadecimal digits.
// "%" itself is kept, so an address that is already encoded stays as it is.
std::string EscapeUnsafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            out += '%';
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

// A form name or value for the query: punctuation, blanks and bytes from 128
// up as EscapePunctuation does it, and control bytes too, which it leaves
// alone; a line end in a value would otherwise end the request line.
std::string EscapeFormText(const std::string& text) {
    return EscapeUnsafe(EscapePunctuation(text));
}

// A name inside the quotes of a Content-Disposition line: a quote or a line
// end would end the name or the line and let the value forge part headers.
std::string QuotedFieldText(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char c : text) {
        if (c == '"')
            out += "%22";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    out += '"';
    return out;
}

void Put(KrStringBuf& body, const std::string& text) {
    body.sputn(text.data(), static_cast<std::streamsize>(text.size()));
}

// The file's bytes in pieces of 256; false when it is no regular file or
// cannot be opened, and then nothing was written.
bool PutFile(KrStringBuf& body, const std::string& path, const std::string& head) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    Put(body, head);
    char piece[256];
    while (in.read(piece, sizeof piece) || in.gcount() > 0)
        body.sputn(piece, in.gcount());
    return true;
}

std::string LastPathComponent(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void KrXHeader::setURL(const std::string& text, const std::string& base) {
    std::lock_guard<std::mutex> guard(_mutex);
    if (text.empty()) {
        _path = "/";
        _host = "localhost";
        setState(KR_JOB_READY);
        return;
    }
    const Address address = TakeApart(text, base);
    _path = EscapeUnsafe(address.path);
    _host = address.host;
    _protocolKind.store(address.protocol);
    _port = address.port;
    _direction.store(KR_DIRECTION_REQUEST);
    setState(KR_JOB_READY);
}

void KrXHeader::setURLFromHref(KrXMLGenericElement& element, const std::string& base) {
    const std::string href = element.GetAttributeString("href", "");
    if (!href.empty()) {
        setURL(href, base);
        return;
    }
    std::lock_guard<std::mutex> guard(_mutex);
    _path = "#";
    _host = "localhost";
    _direction.store(KR_DIRECTION_REQUEST);
    setState(KR_JOB_READY);
}

void KrXHeader::buildFormPost(KrXMLGenericElement& form, const std::string& base) {
    std::lock_guard<std::mutex> guard(_mutex);
    KrStringBuf& out = body();
    const std::string action = form.GetAttributeString("action", "");
    if (action.empty())
        return;
    try {
        const Address address = TakeApart(action, base);
        _path = EscapeUnsafe(address.path);
        _host = address.host;
        _protocolKind.store(address.protocol);
        _port = address.port;
    } catch (const std::exception&) {
        _urlFailed = true;
    }
    _direction.store(KR_DIRECTION_REQUEST);

    const std::string method = form.GetAttributeString("method", "");
    KrXMLGenericElement::GenericList inputs;
    form.FindGenericElementsByName("input", inputs, -1);

    if (method == "GET") {
        _method.store(KR_HTTP_GET);
        for (KrXMLGenericElement* input : inputs) {
            const std::string name = input->GetAttributeString("name", "");
            const std::string type = input->GetAttributeString("type", "");
            if (name.empty() || (type != "text" && type != "hidden"))
                continue;
            _query += _query.empty() ? '?' : '&';
            _query += EscapeFormText(name);
            _query += '=';
            _query += EscapeFormText(input->GetAttributeString("value", ""));
        }
        setState(KR_JOB_READY);
        return;
    }
    if (method != "POST")
        return;

    _boundary = makeUniqueName(g_boundaryMutex, kBoundaryPrefix);
    _method.store(KR_HTTP_POST);
    const std::string opening = "--" + _boundary + "\r\n";
    bool wrote = false;
    for (KrXMLGenericElement* input : inputs) {
        const std::string name = input->GetAttributeString("name", "");
        if (name.empty())
            continue;
        const std::string type = input->GetAttributeString("type", "");
        const std::string disposition =
            opening + "Content-Disposition: form-data; name=" + QuotedFieldText(name);
        const size_t before = out.Size();
        bool part = false;
        if (type == "text" || type == "hidden") {
            Put(out, disposition + "\r\n\r\n" + input->GetAttributeString("value", ""));
            part = true;
        } else if (type == "file") {
            const std::string path = input->GetAttributeString("value", "");
            part = PutFile(out, path,
                           disposition + "; filename=" + QuotedFieldText(LastPathComponent(path)) +
                               "\r\nContent-Type: application/octet-stream\r\n\r\n");
        } else if (type == "blob") {
            if (auto* blob = dynamic_cast<KrHTML_input2_blob*>(input)) {
                Put(out, disposition + "; blob\r\nContent-Type: application/octet-stream\r\n\r\n");
                blob->WriteTo(&out);
                part = true;
            }
        }
        if (!part)
            continue;
        Put(out, "\r\n");
        _bodyLength += static_cast<long>(out.Size() - before);
        wrote = true;
    }
    if (wrote) {
        const std::string closing = "--" + _boundary + "--\r\n";
        Put(out, closing);
        _bodyLength += static_cast<long>(closing.size());
    }
    setState(KR_JOB_READY);
}
