#include "foundation/KrURL.h"

#include <algorithm>

#include "foundation/KrException.h"

namespace {

// Built before main through the reference below; reaching the table through
// KrURL::schemeTable() keeps it usable from other static initialisers too.
[[maybe_unused]] const std::map<int, std::string>& g_urlSchemes = KrURL::schemeTable();

bool IsHierarchical(const std::string& scheme) {
    return scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "quivo" ||
           scheme == "quivos" || scheme == "socket";
}

const char* DefaultPort(const std::string& scheme) {
    if (scheme == "https" || scheme == "quivos")
        return "443";
    if (scheme == "ftp")
        return "23";
    return "80";
}

[[noreturn]] void Fail(const char* message, unsigned int line) {
    throw KrException(message, line, "src");
}

// Browsers end the authority at a backslash as at "/", so a backslash before
// an "@" would make this parser and a browser disagree on the host; blanks
// and control bytes have no place in a host either.
bool IsBadAuthorityByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F || c == '\\';
}

// A line break in a URL that goes into a header (Location) would split it.
bool HasLineBreak(const std::string& t, size_t from) {
    return t.find_first_of("\r\n", from) != std::string::npos;
}

// Decimal digits only, and at most 65535 (leading zeros allowed).
bool IsPortNumber(const std::string& port) {
    if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const size_t first = std::min(port.find_first_not_of('0'), port.size());
    return port.size() - first <= 5 &&
           (port.size() == first || std::stoul(port.substr(first)) <= 65535);
}

}  // namespace

const std::map<int, std::string>& KrURL::schemeTable() {
    static const std::map<int, std::string> table = {
        {KR_PROTOCOL_HTTP, "http"},     {KR_PROTOCOL_HTTPS, "https"},
        {KR_PROTOCOL_FILE, "file"},     {KR_PROTOCOL_QUIVO, "quivo"},
        {KR_PROTOCOL_QUIVOS, "quivos"}, {KR_PROTOCOL_SOCKET, "socket"}};
    return table;
}

KrURL::KrURL() : protocol(KR_PROTOCOL_NONE), kind(1) {}

KrURL::KrURL(const std::string& text, int kind) : protocol(KR_PROTOCOL_NONE), kind(kind) {
    Parse(text);
}

KrURL::KrURL(const KrURL& other) = default;

KrURL& KrURL::operator=(const KrURL& other) = default;

void KrURL::Parse(const std::string& t) {
    // A record parsed before keeps nothing of its old value but its kind.
    scheme.clear();
    user.clear();
    password.clear();
    host.clear();
    port.clear();
    path.clear();
    query.clear();
    fragment.clear();
    protocol = KR_PROTOCOL_NONE;

    const size_t colon = t.find(':');
    if (colon == std::string::npos)
        Fail("missing URL scheme", __LINE__);
    scheme = t.substr(0, colon);

    if (IsHierarchical(scheme)) {
        if (t.compare(colon + 1, 2, "//") != 0)
            Fail("wrong URL scheme", __LINE__);
        size_t p = colon + 3;
        // User information belongs to the authority only: an "@" in the path
        // or query ("?m=a@b.com") is not one.
        const size_t authorityEnd = std::min(t.find_first_of("/?#", p), t.size());
        if (std::any_of(t.begin() + static_cast<std::ptrdiff_t>(p),
                        t.begin() + static_cast<std::ptrdiff_t>(authorityEnd), IsBadAuthorityByte))
            Fail("wrong URL scheme, missing host", __LINE__);
        if (HasLineBreak(t, authorityEnd))
            Fail("wrong URL scheme", __LINE__);
        const size_t at = t.find('@', p);
        if (at != std::string::npos && at < authorityEnd) {
            const std::string userInfo = t.substr(p, at - p);
            const size_t split = userInfo.find(':');
            if (split != std::string::npos) {
                user = userInfo.substr(0, split);
                password = userInfo.substr(split + 1);
            } else {
                user = userInfo;
            }
            if (user.empty())
                Fail("wrong URL scheme, user not defined", __LINE__);
            p = at + 1;
        }
        host = t.substr(p, authorityEnd - p);
        const size_t portStart = host.find(':');
        if (portStart != std::string::npos) {
            port = host.substr(portStart + 1);
            host.erase(portStart);
            if (!IsPortNumber(port)) {
                Fail("wrong URL scheme, wrong port number", __LINE__);
            }
        } else {
            port = DefaultPort(scheme);
        }
        if (host.empty())
            Fail("wrong URL scheme, missing host", __LINE__);

        if (authorityEnd < t.size()) {
            const size_t q = t.find('?', authorityEnd);
            if (q == std::string::npos) {
                const size_t h = t.find('#', authorityEnd);
                path = t.substr(authorityEnd, h == std::string::npos ? h : h - authorityEnd);
                if (h != std::string::npos)
                    fragment = t.substr(h + 1);
            } else {
                path = t.substr(authorityEnd, q - authorityEnd);
                const size_t h = t.find('#', q + 1);
                query = t.substr(q + 1, h == std::string::npos ? h : h - q - 1);
                if (h != std::string::npos)
                    fragment = t.substr(h + 1);
            }
        }
        if (path.empty())
            path = "/";
    } else if (scheme == "file") {
        if (t.compare(colon + 1, 2, "//") != 0)
            Fail("wrong URL scheme", __LINE__);
        const size_t p = colon + 3;
        if (HasLineBreak(t, p))
            Fail("wrong URL scheme", __LINE__);
        const size_t d = t.find_first_of("?#", p);
        path = t.substr(p, d == std::string::npos ? d : d - p);
        if (d != std::string::npos && t[d] == '?') {
            query = t.substr(d + 1);
            const size_t h = query.find('#');
            if (h != std::string::npos) {
                fragment = query.substr(h + 1);
                query.erase(h);
            }
        } else if (d != std::string::npos) {
            fragment = t.substr(d + 1);
        }
    } else if (scheme == "mailto" || scheme == "news" || scheme == "nntp" || scheme == "telnet") {
        Fail("not supported URL scheme", __LINE__);
    }

    for (const auto& [number, name] : schemeTable()) {
        if (name == scheme)
            protocol = number;
    }
}

KrURL KrURL::resolve(const std::string& link, const std::string& base,
                     const std::string& basePath) {
    if (link.find("://") != std::string::npos)
        return KrURL(link);
    if (link.empty())
        return KrURL();
    if (link[0] == '/')
        return KrURL(base + link);
    if (basePath.empty())
        return KrURL(base + "/" + link);
    return KrURL(base + "/" + basePath + "/" + link);
}

std::string KrURL::ToString() const {
    return scheme + "://" + host + ":" + port + path;
}

std::string KrURL::schemeName(int protocol) {
    const auto& table = schemeTable();
    const auto it = table.find(protocol);
    return it == table.end() ? "none" : it->second;
}
