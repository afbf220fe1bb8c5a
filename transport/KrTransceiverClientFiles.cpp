// The web client's file and CGI service: files below the base directory,
// programs below "cgi-bin/", and ".php" files through the PHP interpreter.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/KrException.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrStringUtils.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverServerL1HTTP.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

extern char** environ;

namespace {

thread_local KrCGIOutcome tLastOutcome = KrCGIOutcome::Finished;

struct MimeEntry {
    const char* extension;
    const char* type;
};

// Content types of the files the server sends, by extension (lower case).
constexpr MimeEntry kMimeTypes[] = {
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
    {"wasm", "application/wasm"},
    {"pdf", "application/pdf"},
    {"xml", "application/xml"},
    {"csv", "text/csv; charset=utf-8"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"avif", "image/avif"},
    {"mp4", "video/mp4"},
    {"webm", "video/webm"},
    {"mp3", "audio/mpeg"},
    {"ogg", "audio/ogg"},
    {"wav", "audio/wav"},
};

const char* ContentTypeOf(const std::string& path) {
    static const char kUnknown[] = "application/octet-stream";
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return kUnknown;
    // Lower-cased into a small buffer: no extension in the table is longer.
    char extension[8];
    const size_t length = path.size() - dot - 1;
    if (length >= sizeof extension)
        return kUnknown;
    for (size_t i = 0; i < length; ++i)
        extension[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(path[dot + 1 + i])));
    extension[length] = '\0';
    for (const MimeEntry& entry : kMimeTypes) {
        if (std::strcmp(extension, entry.extension) == 0)
            return entry.type;
    }
    return kUnknown;
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

// The program as execve needs it: a path with "/" stays, a bare name is
// looked up on PATH (before the child is started).
std::string ResolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return ::access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start);
        candidate = (candidate.empty() ? "." : candidate) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0 && IsRegularFile(candidate))
            return candidate;
        start = end + 1;
    }
    return "";
}

std::string FirstValue(KrXHeader& request, const std::string& name) {
    const auto& values = request.rawHeader(name);
    return values.empty() ? std::string() : values.front();
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

int64_t SteadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Keeps SIGPIPE from killing the process while this thread writes to a
// child that may have closed its input; a pending one is consumed at the end.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &_old);
    }
    ~SigpipeBlock() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &_old, nullptr);
    }
    const sigset_t& old() const { return _old; }

  private:
    sigset_t _old;
};

}  // namespace

KrPipePair::KrPipePair() {
    int fromChild[2];
    int toChild[2];
    if (::pipe2(fromChild, O_CLOEXEC) != 0)
        throw KrException("problem with pipes", __LINE__, "KrPipePair");
    fromChildRead = KrFileHandle(fromChild[0]);
    fromChildWrite = KrFileHandle(fromChild[1]);
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        closeAll();
        throw KrException("problem with pipes", __LINE__, "KrPipePair");
    }
    toChildRead = KrFileHandle(toChild[0]);
    toChildWrite = KrFileHandle(toChild[1]);
}

void KrPipePair::closeAll() {
    toChildRead.close();
    toChildWrite.close();
    fromChildRead.close();
    fromChildWrite.close();
}

KrCGIOutcome KrTransceiverClient::lastCGIOutcome() {
    return tLastOutcome;
}

std::string KrTransceiverClient::_realRoot(const std::string& root,
                                           std::shared_ptr<KrFileHandle>* directory) {
    // Resolving the base directory costs a system call per path component on
    // every request. A directory that moves meanwhile fails closed: paths
    // then resolve outside the remembered real path and are not served.
    const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    std::lock_guard<std::mutex> guard(_rootLock);
    if (_rootReal.empty() || now - _rootCheckedAt >= 1000000) {
        _rootReal = RealPath(root);
        _rootDirectory = std::make_shared<KrFileHandle>(KrFileHandle::openForReading(root.c_str()));
        _rootCheckedAt = now;
    }
    if (directory != nullptr)
        *directory = _rootDirectory;
    return _rootReal;
}

bool KrTransceiverClient::_serveFile(const std::string&, KrXHeader& request) {
    if (baseDirectory.empty() || request.direction() != 2)
        return false;
    const std::string root = EnsureTrailingSlashCopy(baseDirectory);
    std::shared_ptr<KrFileHandle> rootDirectory;
    const std::string realRoot = _realRoot(root, &rootDirectory);
    if (realRoot.empty())
        return false;

    if (request.path().empty() || request.path()[0] != '/')
        return false;
    const std::string target = NormalisedPath(request.path());
    std::string relative;
    if (target == "/") {
        if (!BelowRoot(realRoot, root + "index.php").empty() && IsRegularFile(root + "index.php"))
            return _runPHP(root + "index.php", "", request);
        relative = "index.html";
    } else {
        relative = target.substr(1);
        if (!IsSafeRelativePath(relative))
            return false;
        if (application != nullptr && application->HasResource(relative, request))
            return _serveResource(relative, "", request);
        if (relative.compare(0, cgiUrlPrefix.size(), cgiUrlPrefix) == 0) {
            const std::string program =
                BelowRoot(realRoot, root + cgiDirPrefix + relative.substr(cgiUrlPrefix.size()));
            if (program.empty() || !IsRegularFile(program))
                return false;
            return _runCGI(program, "", request);
        }
    }
    const bool php = HasSuffix(relative, phpSuffix);
    if (!php && IsProgramPath(relative, cgiDirPrefix, phpSuffix))
        return false;
    std::string full;
    std::shared_ptr<KrFileHandle> file;
    if (!php && rootDirectory && rootDirectory->isOpen()) {
        // One system call opens a plain file and refuses every way out of
        // the base directory and every symbolic link, so the path opened is
        // the path routed; a linked path, an absolute one and an old kernel
        // take the road below, which resolves the links first.
        int error = 0;
        KrFileHandle opened = KrFileHandle::openBeneath(*rootDirectory, relative.c_str(), error);
        if (opened.isOpen()) {
            full = root + relative;
            file = std::make_shared<KrFileHandle>(std::move(opened));
        } else if (error != EXDEV && error != ENOSYS && error != EPERM && error != ELOOP) {
            return false;
        }
    }
    if (!file) {
        full = BelowRoot(realRoot, root + relative);
        if (full.empty())
            return false;
        if (php)
            return IsRegularFile(full) && _runPHP(full, "", request);
        // A link that leads to a program or a script is refused: their
        // text is never sent.
        if (IsProgramPath(full.substr(realRoot.size() + 1), cgiDirPrefix, phpSuffix))
            return false;
        file = std::make_shared<KrFileHandle>(KrFileHandle::openForReading(full.c_str()));
    }
    // Measured now; the answer streams exactly this many bytes.
    struct stat info;
    if (!file->isOpen() || ::fstat(file->get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    answer->setStatus(200);
    answer->setFileBody(full, static_cast<long>(info.st_size));
    answer->setOpenFile(std::move(file));
    answer->contentType() = ContentTypeOf(full);
    answer->setState(6);
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
        const std::string type = ContentTypeOf(path);
        if (type != "application/octet-stream")
            answer->contentType() = type;
    }
    answer->setState(6);
    _send(answer, request.taskName());
    return true;
}

bool KrTransceiverClient::_runPHP(const std::string& scriptPath, const std::string&,
                                  KrXHeader& request) {
    return _runProgram(phpBinName, scriptPath, request);
}

bool KrTransceiverClient::_runCGI(const std::string& programPath, const std::string&,
                                  KrXHeader& request) {
    return _runProgram(programPath, programPath, request);
}

bool KrTransceiverClient::_runProgram(const std::string& program, const std::string& scriptPath,
                                      KrXHeader& request) {
    std::map<std::string, std::string> environment{{"REDIRECT_STATUS", "CGI"},
                                                   {"SCRIPT_FILENAME", scriptPath}};
    if (!IsRegularFile(scriptPath))
        return false;
    if (!_cgiEnvironment(scriptPath, environment, request))
        return false;
    // The program runs on a thread of its own when the server allows it, so
    // its other connections are served meanwhile.
    auto run = [this, program, environment, &request] {
        _answerFromProgram(program, environment, request);
    };
    if (!KrTransceiverServerL1HTTP::deferCurrent(run))
        run();
    return true;
}

void KrTransceiverClient::_answerFromProgram(const std::string& program,
                                             const std::map<std::string, std::string>& environment,
                                             KrXHeader& request) {
    std::shared_ptr<KrXResponseHeader> answer(request.makeResponse());
    _execCGIChild(program, environment, request.body(), answer->body());
    switch (lastCGIOutcome()) {
        case KrCGIOutcome::Finished:
            answer->setStatus(200);
            answer->setLiftCGIHead();
            break;
        case KrCGIOutcome::CannotStart:
            answer->setStatus(500);
            answer->body().Reset();
            break;
        case KrCGIOutcome::TimedOut:
            answer->setStatus(504);
            answer->body().Reset();
            break;
        case KrCGIOutcome::OutputTooLarge:
            answer->setStatus(502);
            answer->body().Reset();
            break;
    }
    answer->setState(6);
    _send(answer, request.taskName());
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
        std::string value = FirstValue(request, name);
        if (!HasControlByte(value))
            environment[variable] = std::move(value);
    }
    environment["REQUEST_METHOD"] = methodName;
    // The query of the request target, for every method.
    std::string target;
    const auto first = request.headers().find(":first:");
    if (first != request.headers().end() && first->second.size() >= 2)
        target = first->second[1];
    const size_t mark = target.find('?');
    environment["QUERY_STRING"] = mark == std::string::npos ? "" : target.substr(mark + 1);
    environment["REQUEST_URI"] = target.empty() ? request.path() : target;
    if (method == KR_HTTP_POST) {
        const std::string type = FirstValue(request, "content-type");
        environment["CONTENT_TYPE"] = type.empty() || HasControlByte(type)
                                          ? "application/x-www-form-urlencoded"
                                          : type;
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
    environment["SERVER_PROTOCOL"] = "HTTP/1.1";
    environment["SERVER_SOFTWARE"] = "quivo";
    environment["SERVER_NAME"] = host.empty() ? value("localaddress") : host;
    environment["SERVER_PORT"] = value("localport");
    environment["REMOTE_ADDR"] = value("remoteaddress");
    environment["REMOTE_PORT"] = value("remoteport");
    environment["SCRIPT_NAME"] = request.path();
    environment["SCRIPT_FILENAME"] = scriptPath;
    environment["DOCUMENT_ROOT"] = RealPath(EnsureTrailingSlashCopy(baseDirectory));
    return true;
}

bool KrTransceiverClient::_execCGIChild(const std::string& program,
                                        const std::map<std::string, std::string>& environment,
                                        KrStringBuf& input, KrStringBuf& output) {
    tLastOutcome = KrCGIOutcome::CannotStart;
    const std::string resolved = ResolveProgram(program);
    if (resolved.empty())
        return false;
    // Everything the child needs is built here, before it is started.
    std::vector<std::string> envStrings;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        const std::string name(*entry, equals != nullptr ? equals - *entry : std::strlen(*entry));
        if (environment.count(name) == 0 && name.compare(0, 5, "HTTP_") != 0)
            envStrings.emplace_back(*entry);
    }
    for (const auto& [name, value] : environment)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string argv0 = program;
    char* argv[] = {argv0.data(), nullptr};

    std::unique_ptr<KrPipePair> pipes;
    try {
        pipes = std::make_unique<KrPipePair>();
    } catch (const KrException&) {
        return false;
    }
    SigpipeBlock sigpipe;
    const sigset_t oldMask = sigpipe.old();
    // The child is started with posix_spawn, which does not copy this
    // process's page tables as fork does: in its own process group (so a
    // time-out ends its children too), the two pipe ends as standard input
    // and output, the signal mask this thread had before SIGPIPE was blocked.
    // The pipe ends are moved to 3 and above first, so that placing one on 0
    // or 1 cannot overwrite the other.
    KrFileHandle movedIn;
    KrFileHandle movedOut;
    int childIn = pipes->toChildRead.get();
    int childOut = pipes->fromChildWrite.get();
    if (childIn < 3) {
        movedIn = KrFileHandle(::fcntl(childIn, F_DUPFD_CLOEXEC, 3));
        childIn = movedIn.get();
    }
    if (childOut < 3) {
        movedOut = KrFileHandle(::fcntl(childOut, F_DUPFD_CLOEXEC, 3));
        childOut = movedOut.get();
    }
    if (childIn < 0 || childOut < 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, childIn, 0);
    posix_spawn_file_actions_adddup2(&actions, childOut, 1);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &oldMask);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, resolved.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return false;
    ::setpgid(pid, pid);
    pipes->toChildRead.close();
    pipes->fromChildWrite.close();
    pipes->toChildWrite.setNonBlocking();
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    KrFileHandle processHandle(pidfd);

    const int64_t deadline = SteadyMillis() + cgiTimeLimitMs.load();
    const size_t outputLimit = cgiOutputLimit.load();
    KrCGIOutcome outcome = KrCGIOutcome::Finished;
    std::vector<char> chunk(64 * 1024);
    bool outputOpen = true;
    if (input.Length() == 0)
        pipes->toChildWrite.close();
    while (outputOpen) {
        const int64_t left = deadline - SteadyMillis();
        if (left <= 0) {
            outcome = KrCGIOutcome::TimedOut;
            break;
        }
        pollfd watched[2] = {{pipes->fromChildRead.get(), POLLIN, 0},
                             {pipes->toChildWrite.get(), POLLOUT, 0}};
        const int count = pipes->toChildWrite.isOpen() ? 2 : 1;
        const int ready = ::poll(watched, static_cast<nfds_t>(count), static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (count == 2 && watched[1].revents != 0) {
            const size_t want = std::min<uint64_t>(input.Length(), 64 * 1024);
            const ssize_t written = pipes->toChildWrite.write(input.Begin(), want);
            if (written > 0)
                input.gbump(static_cast<int>(written));
            // All of the body, or a child that stopped reading: its input ends.
            if ((written < 0 && errno != EAGAIN) || input.Length() == 0)
                pipes->toChildWrite.close();
        }
        if (watched[0].revents != 0) {
            const ssize_t got = pipes->fromChildRead.read(chunk.data(), chunk.size());
            if (got > 0) {
                if (static_cast<size_t>(output.Size()) + static_cast<size_t>(got) > outputLimit) {
                    outcome = KrCGIOutcome::OutputTooLarge;
                    break;
                }
                output.sputn(chunk.data(), got);
            } else if (got == 0 || errno != EAGAIN) {
                outputOpen = false;
            }
        }
    }
    pipes->closeAll();
    if (outcome == KrCGIOutcome::Finished && processHandle.isOpen()) {
        // Output closed; the program itself must still end in time.
        pollfd exited{processHandle.get(), POLLIN, 0};
        for (;;) {
            const int64_t left = deadline - SteadyMillis();
            if (left <= 0) {
                outcome = KrCGIOutcome::TimedOut;
                break;
            }
            const int ready = ::poll(&exited, 1, static_cast<int>(left));
            if (ready > 0 || (ready < 0 && errno != EINTR))
                break;
        }
    }
    if (outcome != KrCGIOutcome::Finished)
        ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (outcome == KrCGIOutcome::Finished && WIFEXITED(status) && WEXITSTATUS(status) == 127 &&
        output.Size() == 0)
        outcome = KrCGIOutcome::CannotStart;
    tLastOutcome = outcome;
    return outcome == KrCGIOutcome::Finished;
}
