#pragma once
// The URL value: the parts of a URL text and the protocol number that the
// transport uses to pick a protocol kind. A plain copyable record; Parse
// throws KrException with a fixed message for malformed text.

#include <map>
#include <string>

// The protocol numbers of URLs, messages and listeners.
enum KrProtocolKind : int {
    KR_PROTOCOL_NONE = 0,
    KR_PROTOCOL_HTTP = 3,
    KR_PROTOCOL_HTTPS = 4,
    KR_PROTOCOL_FILE = 5,
    KR_PROTOCOL_QUIVO = 6,
    KR_PROTOCOL_QUIVOS = 7,
    KR_PROTOCOL_SOCKET = 9,
};

class KrURL {
  public:
    // The empty record: all texts empty, protocol KR_PROTOCOL_NONE, kind 1.
    KrURL();
    // An empty record of the given kind, then Parse(text); errors propagate.
    explicit KrURL(const std::string& text, int kind = 1);
    KrURL(const KrURL& other);
    KrURL& operator=(const KrURL& other);

    // Fills the record from `text`, starting from empty fields (kind stays).
    void Parse(const std::string& text);
    // `link` made absolute against `base` (scheme "://" host ":" port) and
    // `basePath`; an empty link gives the empty record.
    static KrURL resolve(const std::string& link, const std::string& base,
                         const std::string& basePath = "");
    // scheme "://" host ":" port path; user, password, query and fragment are left out.
    std::string ToString() const;
    // The scheme of a protocol number, "none" for a number without one.
    static std::string schemeName(int protocol);
    // Protocol number -> scheme: 3 http, 4 https, 5 file, 6 quivo, 7 quivos, 9 socket.
    static const std::map<int, std::string>& schemeTable();

    std::string scheme;
    std::string user;
    std::string password;
    std::string host;
    std::string port;
    std::string path;
    std::string query;
    std::string fragment;
    int protocol;
    int kind;
};
