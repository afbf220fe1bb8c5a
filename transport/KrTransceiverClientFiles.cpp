// The web client's file service: files below the base directory, and the
// routing of programs below "cgi-bin/" and ".php" files to the CGI service.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "document/KrMimeType.h"
#include "foundation/KrException.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrJobMessage.h"
#include "foundation/KrStringUtils.h"
#include "foundation/KrURL.h"
#include "transport/KrDescriptorReserve.h"
#include "transport/KrHttpText.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverConnection.h"

#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

// The steady clock in microseconds, read without touching the hardware
// timer; a few milliseconds coarse, which is fine for once-a-second checks.
int64_t CoarseMicros() {
    timespec coarse{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &coarse);
    return static_cast<int64_t>(coarse.tv_sec) * 1000000 + coarse.tv_nsec / 1000;
}

// A relative request path that may be looked up below the base directory:
// no NUL, no backslash, and no segment that starts with "." (which covers
// "." and ".." as well as hidden files).
bool IsSafeRelativePath(const std::string& path) {
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start && path[start] == '.')
            return false;
        start = end + 1;
    }
    return true;
}

// The request path as every routing decision sees it: decoded once ("%252e"
// stays "%2e", a file name, not a dot) and with runs of "/" collapsed, so
// "//cgi-bin/x" and "/%2fcgi-bin/x" name what "/cgi-bin/x" names. `path`
// starts with "/", and so does the result.
std::string NormalisedPath(const std::string& path) {
    std::string decoded = URLDecode(path);
    const auto doubled = std::unique(decoded.begin(), decoded.end(),
                                     [](char a, char b) { return a == '/' && b == '/'; });
    decoded.erase(doubled, decoded.end());
    return decoded;
}

// The programs' own configuration, read from the top of the folder they
// serve: it is theirs, not a page, whatever it holds.
constexpr char kConfigurationFile[] = "quivoone.xml";

// The index files of a folder, in the order they are looked for: the script
// runs, else the page is sent.
constexpr const char* kIndexFiles[] = {"index.php", "index.html"};

bool HasSuffix(const std::string& text, const std::string& suffix) {
    return text.size() > suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A path below the base directory whose file is run, never sent: one in the
// CGI folder or a PHP script.
bool IsProgramPath(const std::string& relative, const std::string& cgiDirectory,
                   const std::string& phpSuffix) {
    return relative.compare(0, cgiDirectory.size(), cgiDirectory) == 0 ||
           HasSuffix(relative, phpSuffix);
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return "";
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// The real path of `path` when it exists and lies below the real base
// directory `realRoot` (symlinks resolved), else "".
std::string BelowRoot(const std::string& realRoot, const std::string& path) {
    const std::string real = RealPath(path);
    if (real.empty() || real.size() <= realRoot.size() ||
        real.compare(0, realRoot.size(), realRoot) != 0 || real[realRoot.size()] != '/')
        return "";
    return real;
}

bool IsRegularFile(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A character that stands for itself in the path of a Location: letters,
// digits, "/" and the marks a path segment may hold as they are.
bool IsPathChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("/-._~!$&'()*+,;=:@", c) != nullptr;
}

// A decoded path written as a URL path again: every other byte as "%XX".
void AppendPathEncoded(std::string& out, const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte != 0 && IsPathChar(byte)) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
}

// The request target as the request line brought it (path and query, the
// path of an absolute-form target), or "".
std::string RequestTarget(KrXHeader& request) {
    const auto first = request.headers().find(":first:");
    return first != request.headers().end() && first->second.size() >= 2 ? first->second[1]
                                                                          : std::string();
}

std::string FirstValue(KrXHeader& request, const std::string& name) {
    const auto& values = request.rawHeader(name);
    return values.empty() ? std::string() : values.front();
}

// Every value of a field sent more than once, as one value: joined by ", "
// (a list field's own separator), or by "; " for Cookie, whose values are
// pairs separated so.
std::string JoinedValues(KrXHeader& request, const std::string& name) {
    const auto& values = request.rawHeader(name);
    std::string joined;
    for (const std::string& value : values) {
        if (!joined.empty())
            joined += name == "cookie" ? "; " : ", ";
        joined += value;
    }
    return joined;
}

// A request header name that may become a CGI variable.
bool IsVariableNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// A control byte other than a tab: a line feed in a variable's value would
// reach whatever the program writes it into.
bool HasControlByte(const std::string& value) {
    return std::any_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7f;
    });
}

}  // namespace

std::shared_ptr<const KrTransceiverClient::ServedRoot> KrTransceiverClient::_currentRoot() {
    // Resolving the base directory costs a system call per path component,
    // so it is done once a second, not per request. A directory that moves
    // meanwhile fails closed: paths then resolve outside the remembered real
    // path and are not served. The coarse clock is read without a system
    // call and fine enough for that.
    const int64_t now = CoarseMicros();
    std::lock_guard<std::mutex> guard(_rootLock);
    if (!_root || _root->configured != baseDirectory || now - _root->checkedAt >= 1000000 ||
        now < _root->checkedAt) {
        auto root = std::make_shared<ServedRoot>();
        root->configured = baseDirectory;
        root->base = EnsureTrailingSlashCopy(baseDirectory);
        root->real = RealPath(root->base);
        root->directory =
            std::make_shared<KrFileHandle>(KrFileHandle::openForReading(root->base.c_str()));
        struct stat info {};
        const bool known = root->directory->isOpen() && ::fstat(root->directory->get(), &info) == 0;
        root->device = known ? info.st_dev : 0;
        root->inode = known ? info.st_ino : 0;
        // A directory that could not be opened (descriptors short, say) is
        // tried again by the next request, not a second later.
        root->checkedAt = root->directory->isOpen() ? now : now - 1000000;
        _root = std::move(root);
    }
    return _root;
}

bool KrTransceiverClient::_serveFile(const std::string&, KrXHeader& request) {
    if (baseDirectory.empty() || request.direction() != 2)
        return false;
    const std::shared_ptr<const ServedRoot> holder = _currentRoot();
    const ServedRoot& served = *holder;
    const std::string& root = served.base;
    const std::string& realRoot = served.real;
    const std::shared_ptr<KrFileHandle>& rootDirectory = served.directory;
    if (realRoot.empty())
        return false;

    if (request.path().empty() || request.path()[0] != '/')
        return false;
    const std::string target = NormalisedPath(request.path());
    std::string relative = target.substr(1);
    if (!IsSafeRelativePath(relative) || relative == kConfigurationFile)
        return false;
    if (!relative.empty() && application != nullptr && application->HasResource(relative, request))
        return _serveResource(relative, "", request);
    const bool folder = relative.empty() || relative.back() == '/';
    if (folder) {
        // A folder is answered as a request for its index file would be,
        // so the rules on programs and scripts hold for it as well. A
        // program sees the index as the script it runs.
        const std::string php = relative + kIndexFiles[0];
        relative += IsRegularFile(root + php) && !BelowRoot(realRoot, root + php).empty()
                        ? kIndexFiles[0]
                        : kIndexFiles[1];
        request.setHandlerPath("/" + relative);
    }
    if (relative.compare(0, cgiUrlPrefix.size(), cgiUrlPrefix) == 0) {
        const std::string program =
            BelowRoot(realRoot, root + cgiDirPrefix + relative.substr(cgiUrlPrefix.size()));
        if (program.empty())
            return false;
        if (!folder && IsDirectory(program))
            return _redirectToFolder(request, target);
        return IsRegularFile(program) && _runCGI(program, "", request);
    }
    const bool php = HasSuffix(relative, phpSuffix);
    if (!php && IsProgramPath(relative, cgiDirPrefix, phpSuffix))
        return false;
    std::string full;
    std::shared_ptr<KrFileHandle> file;
    if (!php && rootDirectory && rootDirectory->isOpen()) {
        std::shared_ptr<const CachedFile> kept;
        if (const CachedFile* cached = _cachedFile(served, relative, kept)) {
            _sendCached(request, *cached);
            return true;
        }
        // One system call opens a plain file and refuses every way out of
        // the base directory and every symbolic link, so the path opened is
        // the path routed; a linked path, an absolute one and an old kernel
        // take the road below, which resolves the links first.
        int error = 0;
        KrFileHandle opened = KrFileHandle::openBeneath(*rootDirectory, relative.c_str(), error);
        if (opened.isOpen()) {
            full = root + relative;
            file = std::make_shared<KrFileHandle>(std::move(opened));
        } else if (KrDescriptorReserve::isShortage(error)) {
            return _answerUnavailable(request, root + relative, error);
        } else if (error != EXDEV && error != ENOSYS && error != EPERM && error != ELOOP) {
            return false;
        }
    }
    if (!file) {
        full = BelowRoot(realRoot, root + relative);
        // A link may lead to the configuration as well as its name.
        if (full.empty() || full.compare(realRoot.size() + 1, std::string::npos,
                                         kConfigurationFile) == 0)
            return false;
        if (php)
            return IsRegularFile(full) && _runPHP(full, "", request);
        // A link that leads to a program or a script is refused: their
        // text is never sent.
        if (IsProgramPath(full.substr(realRoot.size() + 1), cgiDirPrefix, phpSuffix))
            return false;
        KrFileHandle opened = KrFileHandle::openForReading(full.c_str());
        if (!opened.isOpen() && KrDescriptorReserve::isShortage(errno))
            return _answerUnavailable(request, full, errno);
        file = std::make_shared<KrFileHandle>(std::move(opened));
    }
    // Measured now; the answer streams exactly this many bytes.
    struct stat info;
    if (!file->isOpen() || ::fstat(file->get(), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode))
        return !folder && S_ISDIR(info.st_mode) && _redirectToFolder(request, target);
    if (static_cast<size_t>(info.st_size) <= kCachedFileSize && full == root + relative) {
        // Read once here and kept for the next requests of the same path.
        auto cached = std::make_shared<CachedFile>();
        cached->device = info.st_dev;
        cached->inode = info.st_ino;
        cached->size = info.st_size;
        cached->modified = info.st_mtim;
        cached->changed = info.st_ctim;
        cached->type = ContentTypeOfFile(full);
        cached->rootDevice = served.device;
        cached->rootInode = served.inode;
        // Watched before it is read, so a change from here on makes an
        // event. One made before may have put another file at the path: the
        // path must still name the file opened.
        uint64_t generation = 0;
        struct stat named;
        cached->watched =
            _watchForCache(*rootDirectory, relative, generation) &&
            ::fstatat(rootDirectory->get(), relative.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == info.st_dev && named.st_ino == info.st_ino;
        cached->checkedAt.store(CoarseMicros(), std::memory_order_relaxed);
        cached->content.resize(static_cast<size_t>(info.st_size));
        size_t got = 0;
        while (got < cached->content.size()) {
            const ssize_t n =
                file->read(cached->content.data() + got, cached->content.size() - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        struct stat after;
        // A file that changed while it was read is sent as read and not kept.
        if (got == cached->content.size() && ::fstat(file->get(), &after) == 0 &&
            after.st_size == info.st_size && after.st_mtim.tv_sec == info.st_mtim.tv_sec &&
            after.st_mtim.tv_nsec == info.st_mtim.tv_nsec)
            _cacheFile(relative, cached, generation);
        cached->content.resize(got);
        _sendCached(request, *cached);
        return true;
    }
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    answer->setStatus(200);
    answer->setFileBody(full, static_cast<long>(info.st_size));
    answer->setOpenFile(std::move(file));
    answer->contentType() = ContentTypeOfFile(full);
    answer->setState(KR_JOB_READY);
    _send(answer, request.taskName());
    return true;
}

const KrTransceiverClient::CachedFile* KrTransceiverClient::_cachedFile(
    const ServedRoot& root, const std::string& relative,
    std::shared_ptr<const CachedFile>& holder) {
    {
        std::lock_guard<std::mutex> guard(_cacheLock);
        const auto it = _cache.find(relative);
        if (it == _cache.end())
            return nullptr;
        // Asked only for a kept file (a path not kept costs no system call),
        // and under the lock: a thread that finds the queue empty because
        // another has just taken its events waits here until that one has
        // dropped the entries they concern.
        if (_fileWatch.pending()) {
            _cache.clear();
            _cacheSize = 0;
            _fileWatch.reset();
            return nullptr;
        }
        holder = it->second;
    }
    const CachedFile* cached = holder.get();
    if (cached->rootDevice != root.device || cached->rootInode != root.inode)
        return nullptr;
    const int64_t now = CoarseMicros();
    const int64_t checked = cached->checkedAt.load(std::memory_order_relaxed);
    if (cached->watched && now >= checked && now - checked < kUnwatchedChangeDelay)
        return cached;
    // The last component is not followed: a path that has become a link is
    // opened (and checked) again. An earlier component that has become a
    // link can only lead to the very file that was checked when it was
    // read, or the identity differs.
    struct stat info;
    if (::fstatat(root.directory->get(), relative.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || info.st_dev != cached->device || info.st_ino != cached->inode ||
        info.st_size != cached->size || info.st_mtim.tv_sec != cached->modified.tv_sec ||
        info.st_mtim.tv_nsec != cached->modified.tv_nsec ||
        info.st_ctim.tv_sec != cached->changed.tv_sec ||
        info.st_ctim.tv_nsec != cached->changed.tv_nsec)
        return nullptr;
    cached->checkedAt.store(now, std::memory_order_relaxed);
    return cached;
}

bool KrTransceiverClient::_watchForCache(const KrFileHandle& root, const std::string& relative,
                                         uint64_t& generation) {
    std::lock_guard<std::mutex> guard(_cacheLock);
    generation = _fileWatch.generation();
    return _fileWatch.watch(root, relative);
}

void KrTransceiverClient::_sendCached(KrXHeader& request, const CachedFile& file) {
    if (KrXHeader::DirectAnswer* direct = request.directAnswer())
        if (direct->answer(request, file.type, file.content))
            return;
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    answer->setStatus(200);
    answer->body().sputn(file.content.data(), static_cast<std::streamsize>(file.content.size()));
    answer->contentType() = file.type;
    answer->setState(KR_JOB_READY);
    _send(answer, request.taskName());
}

void KrTransceiverClient::_cacheFile(const std::string& relative,
                                     std::shared_ptr<const CachedFile> file, uint64_t generation) {
    std::lock_guard<std::mutex> guard(_cacheLock);
    // Its watch went with a reset since it was made: no event would tell
    // of a change.
    if (file->watched && generation != _fileWatch.generation())
        return;
    // Past its size the cache starts afresh, its watches too: simple, and
    // bounded.
    if (_cacheSize + file->content.size() + relative.size() > kCacheBytes) {
        _cache.clear();
        _cacheSize = 0;
        _fileWatch.reset();
        if (file->watched)
            return;
    }
    std::shared_ptr<const CachedFile>& slot = _cache[relative];
    if (slot)
        _cacheSize -= slot->content.size() + relative.size();
    _cacheSize += file->content.size() + relative.size();
    slot = std::move(file);
}

bool KrTransceiverClient::_answerUnavailable(KrXHeader& request, const std::string& path,
                                             int error) {
    // A file that exists but cannot be opened now is not "not found": a 404
    // would be kept by browsers and proxies as the truth about it.
    static const std::string kNoDescriptors =
        KrUnavailableAnswer("The server has too many files open to send this one now.");
    KrDescriptorReserve::process().reportShortage("Could not open " + path, error);
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    answer->setStatus(503);
    answer->setLiftCGIHead();
    answer->body().sputn(kNoDescriptors.data(),
                         static_cast<std::streamsize>(kNoDescriptors.size()));
    answer->setState(KR_JOB_READY);
    _send(answer, request.taskName());
    return true;
}

bool KrTransceiverClient::_redirectToFolder(KrXHeader& request, const std::string& target) {
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    answer->setStatus(301);
    // Made from the decoded path, so "//x" cannot come back as a link to
    // another host; the query goes along as it came.
    std::string& location = answer->location();
    AppendPathEncoded(location, target);
    location += '/';
    const std::string full = RequestTarget(request);
    const size_t mark = full.find('?');
    if (mark != std::string::npos && mark + 1 < full.size())
        location.append(full, mark, std::string::npos);
    answer->body();
    answer->setState(KR_JOB_READY);
    _send(answer, request.taskName());
    return true;
}

bool KrTransceiverClient::_serveResource(const std::string& path, const std::string&,
                                         KrXHeader& request) {
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    try {
        application->ServeResource(path, *answer);
    } catch (const std::exception&) {
        return false;
    }
    // A stored page or style sheet gets the type its name says, as a file
    // would; a name the table does not know leaves the type to the browser.
    if (answer->contentType().empty()) {
        const std::string type = ContentTypeOfFile(path);
        if (type != "application/octet-stream")
            answer->contentType() = type;
    }
    answer->setState(KR_JOB_READY);
    _send(answer, request.taskName());
    return true;
}

bool KrTransceiverClient::_cgiEnvironment(const std::string& scriptPath,
                                          std::map<std::string, std::string>& environment,
                                          KrXHeader& request) {
    const int method = request.method();
    const char* methodName = method == KR_HTTP_GET    ? "GET"
                             : method == KR_HTTP_POST ? "POST"
                             : method == KR_HTTP_HEAD ? "HEAD"
                                                      : nullptr;
    if (methodName == nullptr)
        return false;
    for (auto& [name, values] : request.headers()) {
        if (name.empty() || name[0] == ':' || values.empty())
            continue;
        if (name == "content-type" || name == "content-length")
            continue;
        // Only names of letters, digits and "-" are passed on: any other
        // byte could put "=" into the variable's name, and "X_A" would
        // overwrite what "X-A" set.
        if (!std::all_of(name.begin(), name.end(), IsVariableNameChar))
            continue;
        std::string variable = "HTTP_";
        for (const char c : name)
            variable +=
                c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        // Programs take HTTP_PROXY for their outgoing proxy: never set.
        if (variable == "HTTP_PROXY")
            continue;
        std::string value = JoinedValues(request, name);
        if (!HasControlByte(value))
            environment[variable] = std::move(value);
    }
    environment["REQUEST_METHOD"] = methodName;
    // The query of the request target, for every method.
    const std::string target = RequestTarget(request);
    const size_t mark = target.find('?');
    environment["QUERY_STRING"] = mark == std::string::npos ? "" : target.substr(mark + 1);
    environment["REQUEST_URI"] = target.empty() ? request.path() : target;
    if (method == KR_HTTP_POST) {
        const std::string type = FirstValue(request, "content-type");
        environment["CONTENT_TYPE"] =
            type.empty() || HasControlByte(type) ? "application/x-www-form-urlencoded" : type;
        const auto& lengths = request.headers()["content-length"];
        if (!lengths.empty())
            environment["CONTENT_LENGTH"] = lengths.front();
    }
    const auto& peer = request.peerInfo().values;
    const auto value = [&peer](const char* key) {
        const auto it = peer.find(key);
        return it != peer.end() ? it->second : std::string();
    };
    std::string host = FirstValue(request, "host");
    if (HasControlByte(host))
        host.clear();
    if (const size_t colon = host.rfind(':');
        colon != std::string::npos && host.find(']', colon) == std::string::npos)
        host.resize(colon);
    environment["GATEWAY_INTERFACE"] = "CGI/1.1";
    // The protocol the request was read as (a later HTTP/1.x as HTTP/1.1).
    environment["SERVER_PROTOCOL"] = request.isHTTP11() ? "HTTP/1.1" : "HTTP/1.0";
    environment["SERVER_SOFTWARE"] = "quivo";
    environment["REQUEST_SCHEME"] = "http";
    // The address the peer reached, which the configured one need not be
    // (the listener takes every interface): asked of the socket here, only
    // for the requests that run a program.
    std::string serverAddress;
    if (KrTransceiver* owner = attachedTransceiver()) {
        const std::shared_ptr<KrTransceiverConnection> connection =
            owner->findConnection(request.routeToken(0));
        if (connection && connection->record().socket)
            serverAddress = connection->record().socket->LocalHost();
    }
    environment["SERVER_ADDR"] = serverAddress.empty() ? value("localaddress") : serverAddress;
    environment["SERVER_NAME"] = host.empty() ? value("localaddress") : host;
    environment["SERVER_PORT"] = value("localport");
    environment["REMOTE_ADDR"] = value("remoteaddress");
    environment["REMOTE_PORT"] = value("remoteport");
    // The script's own path, decoded as the files are looked up: a folder's
    // index names itself, not the folder the request named.
    std::string scriptName =
        request.handlerPath().empty() ? NormalisedPath(request.path()) : request.handlerPath();
    environment["SCRIPT_NAME"] = HasControlByte(scriptName) ? request.path() : std::move(scriptName);
    environment["SCRIPT_FILENAME"] = scriptPath;
    environment["DOCUMENT_ROOT"] = RealPath(EnsureTrailingSlashCopy(baseDirectory));
    return true;
}
