#pragma once
// Test-only pieces for running the real programs: a child process with its
// standard input, output and error on pipes, started in a folder of its
// own; a free loopback port; a private Xvfb server; what a client may rely
// on in an answer curl printed. Every wait is bounded, so a hang fails the
// test instead of stalling it.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/tests/WaitFor.h"
#include "transport/tests/LoopbackSocket.h"

extern char** environ;

namespace harness {

inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Whether something accepts connections on the loopback port.
inline bool listening(int port) {
    const int fd = ConnectLoopback(static_cast<unsigned>(port));
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Waits until something accepts connections on the port (a program opens
// its listener on a thread of its own, after it printed its start-up text).
inline bool waitListening(int port, std::chrono::milliseconds limit = kPatience) {
    return WaitFor([port] { return listening(port); }, limit);
}

// Whether the port can be bound again on every interface, as the program does.
inline bool portFree(int port) {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_any;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// The resident memory of process `pid`, in bytes (0 when it is gone).
inline size_t residentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoul(line.substr(6)) * 1024;
    }
    return 0;
}

// A fresh folder under /tmp, removed with everything in it.
class Folder {
  public:
    Folder() {
        char pattern[] = "/tmp/quivo-program-test-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    void write(const std::string& name, const std::string& content, bool executable = false) {
        const std::filesystem::path file = std::filesystem::path(path) / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << content;
        if (executable)
            std::filesystem::permissions(file, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add);
    }
    // A configuration that makes the programs listen on `port`.
    void configure(const std::string& port) {
        write("quivoone.xml", "<quivoone><quivooneserver address=\"127.0.0.1\" port=\"" + port +
                                  "\"/></quivoone>\n");
    }
    std::string path;
};

class Process {
  public:
    // Starts argv[0] in `dir` with the environment changed by `env`
    // ("NAME=value" adds or replaces, "NAME" alone removes).
    Process(std::vector<std::string> argv, const std::string& dir,
            std::vector<std::string> env = {}) {
        int in[2], out[2], err[2];
        ::pipe2(in, O_CLOEXEC);
        ::pipe2(out, O_CLOEXEC);
        ::pipe2(err, O_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e)
            environment.emplace_back(*e);
        for (const std::string& change : env) {
            const std::string name = change.substr(0, change.find('='));
            std::erase_if(environment,
                          [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
            if (change.find('=') != std::string::npos)
                environment.push_back(change);
        }
        std::vector<char*> args, envp;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (std::string& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        _in = in[1];
        _out = out[0];
        _err = err[0];
    }
    ~Process() {
        if (pid > 0 && !_exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        closeInput();
        ::close(_out);
        ::close(_err);
    }
    void send(const std::string& text) {
        [[maybe_unused]] ssize_t n = ::write(_in, text.data(), text.size());
    }
    void closeInput() {
        if (_in >= 0)
            ::close(_in);
        _in = -1;
    }
    // Reads standard output until it holds `text` or `seconds` pass.
    bool waitOutput(const std::string& text, int seconds = 20) {
        return _waitFor(_out, output, text, seconds);
    }
    bool waitError(const std::string& text, int seconds = 20) {
        return _waitFor(_err, error, text, seconds);
    }
    // Waits up to `seconds` for the exit; the exit status, or -1 (still
    // running), or 128 + signal.
    int wait(double seconds = 20) {
        if (!_exited) {
            // A pidfd becomes readable when the child ends: no polling loop.
            const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(seconds * 1000));
            ::close(fd);
            int status = 0;
            if (ready <= 0 || ::waitpid(pid, &status, WNOHANG) != pid)
                return -1;
            _exited = true;
            _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        _drain(_out, output);
        _drain(_err, error);
        return _status;
    }
    // CPU time (user + system) the process used so far, in clock ticks.
    long cpuTicks() {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::string rest = line.substr(line.rfind(')') + 2);
        std::vector<std::string> fields;
        size_t start = 0;
        while (start < rest.size()) {
            size_t end = rest.find(' ', start);
            if (end == std::string::npos)
                end = rest.size();
            fields.push_back(rest.substr(start, end - start));
            start = end + 1;
        }
        return std::stol(fields.at(11)) + std::stol(fields.at(12));
    }

    pid_t pid = -1;
    std::string output;
    std::string error;

  private:
    bool _waitFor(int fd, std::string& buffer, const std::string& text, int seconds) {
        const Deadline deadline(std::chrono::seconds{seconds});
        while (buffer.find(text) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (deadline.passed() || ::poll(&p, 1, deadline.pollTimeout()) <= 0)
                return false;
            char chunk[4096];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return buffer.find(text) != std::string::npos;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }
    void _drain(int fd, std::string& buffer) {
        pollfd p{fd, POLLIN, 0};
        char chunk[4096];
        while (::poll(&p, 1, 0) > 0) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                break;
            buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    int _in = -1, _out = -1, _err = -1;
    bool _exited = false;
    int _status = -1;
};

// Whether an answer, as `curl -i` printed it (the last head when curl
// followed redirects; curl joins the chunks of a chunked body) and with
// curl's exit status, is one a client can read whole, with `body` as its
// body. A status that carries a body frames it either by a Content-Length
// equal to its length or in chunked coding, never both; 1xx, 204 and 304
// carry neither a body nor either field. Which of the two framings a
// program's answer gets depends on how its output came in (all before the
// program ended, or in pieces), so a test asks for no more than this.
inline ::testing::AssertionResult ReadableAnswer(const std::string& printed, int curlExit,
                                                 const std::string& body) {
    size_t at = 0;
    size_t headEnd = printed.find("\r\n\r\n");
    while (headEnd != std::string::npos && printed.compare(headEnd + 4, 5, "HTTP/") == 0) {
        at = headEnd + 4;
        headEnd = printed.find("\r\n\r\n", at);
    }
    if (printed.compare(at, 5, "HTTP/") != 0 || headEnd == std::string::npos)
        return ::testing::AssertionFailure() << "no whole head in: " << printed;
    const std::string head = printed.substr(at, headEnd + 2 - at);
    const std::string got = printed.substr(headEnd + 4);
    // curl says 18 for a body cut short of its framing, 28 for one that never
    // ended (a length larger than what came on a connection kept open).
    if (curlExit != 0)
        return ::testing::AssertionFailure() << "curl exited " << curlExit << " on:\n" << head;
    std::vector<std::string> lengths;
    std::vector<std::string> codings;
    for (size_t line = head.find("\r\n") + 2; line < head.size();) {
        const size_t end = head.find("\r\n", line);
        const std::string field = head.substr(line, end - line);
        line = end + 2;
        const size_t colon = field.find(':');
        std::string name = field.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = colon == std::string::npos ? "" : field.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if (name == "content-length")
            lengths.push_back(value);
        else if (name == "transfer-encoding")
            codings.push_back(value);
    }
    const int status = std::atoi(head.c_str() + head.find(' ') + 1);
    if (status < 200 || status == 204 || status == 304) {
        if (!lengths.empty() || !codings.empty() || !got.empty())
            return ::testing::AssertionFailure()
                   << "a " << status << " answer with a body or its framing:\n" << head << got;
        return ::testing::AssertionSuccess();
    }
    if (!codings.empty()) {
        // The last coding frames the body; a length beside it would be a
        // second framing that a proxy might read instead.
        const std::string& last = codings.back();
        const size_t comma = last.rfind(',');
        std::string coding = comma == std::string::npos ? last : last.substr(comma + 1);
        coding.erase(0, coding.find_first_not_of(" \t"));
        if (coding != "chunked" || !lengths.empty())
            return ::testing::AssertionFailure() << "two framings, or no chunks:\n" << head;
    } else if (lengths.size() != 1 || lengths[0] != std::to_string(got.size())) {
        return ::testing::AssertionFailure()
               << "no single length equal to the " << got.size() << " bytes of its body:\n"
               << head;
    }
    if (got != body)
        return ::testing::AssertionFailure() << "a body of " << got.size() << " bytes, not the "
                                             << body.size() << " expected:\n" << head << got;
    return ::testing::AssertionSuccess();
}

}  // namespace harness
