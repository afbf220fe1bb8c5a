// What hostile or unusual clients cost a running quivoone: the memory a
// peer that never reads a large file holds, 50 pipelined requests for a
// 20 MB file, 1,000 peers that ask for one and read none of it, 16 peers
// that send most of a large body to a PHP page and stop, and 1,000 that
// send the start of a 1 MiB body and wait; how long a CGI request waits
// behind 20 scripts that answered and left a child holding their output, and
// behind 20 requests to a script that runs on whose peers reset; how many
// of 3,000 program requests, 100 at a time, are answered 200; how fast
// 10,000 idle connections are accepted and what each costs; how long "quit"
// and SIGTERM take while a CGI script hangs.
//
// Usage: bench_connections [path to quivoone]  (default build/programs/quivoone
// from the repository root). Starts the program in a fresh folder on a free
// loopback port and reads its resident memory from /proc. Not run by CI.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/LoopbackClient.h"
#include "programs/tests/ProgramHarness.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// quivoone in its own folder, with its standard input on a pipe.
class Program {
  public:
    Program(const std::string& binary, const std::string& folder) {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            std::exit(1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        std::string argument = binary;
        char* argv[] = {argument.data(), nullptr};
        if (::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ) != 0) {
            std::fprintf(stderr, "cannot start %s\n", binary.c_str());
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        _in = in[1];
    }
    ~Program() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(_in);
    }
    void send(const std::string& text) {
        [[maybe_unused]] ssize_t n = ::write(_in, text.data(), text.size());
    }
    // Seconds until it exited (-1 after 30 s).
    double waitExit() {
        const auto start = Clock::now();
        while (Seconds(start) < 30) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return Seconds(start);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return -1;
    }
    size_t residentBytes() const { return harness::residentBytes(pid); }
    size_t openDescriptors() const {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
            ++count;
        return count;
    }
    pid_t pid = -1;

  private:
    int _in = -1;
};

void Send(int fd, const std::string& bytes) {
    [[maybe_unused]] ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::string Get(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: bench\r\n\r\n";
}

double MiB(size_t bytes) {
    return static_cast<double>(bytes) / (1 << 20);
}

struct Started {
    std::filesystem::path folder;
    int port;
    std::unique_ptr<Program> program;
};

Started Start(const std::string& binary) {
    Started started;
    char pattern[] = "/tmp/quivo-bench-connections-XXXXXX";
    started.folder = ::mkdtemp(pattern);
    started.port = harness::freePort();
    std::ofstream(started.folder / "quivoone.xml")
        << "<quivoone><quivooneserver address=\"127.0.0.1\" port=\"" << started.port
        << "\"/></quivoone>\n";
    std::filesystem::create_directories(started.folder / "cgi-bin");
    std::ofstream(started.folder / "cgi-bin/hang.sh")
        << "#!/bin/sh\necho $$ > hang.pid\nprintf '\\r\\n'\nexec sleep 60\n";
    std::filesystem::permissions(started.folder / "cgi-bin/hang.sh",
                                 std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    std::filesystem::create_directories(started.folder / "started");
    std::ofstream(started.folder / "cgi-bin/linger.sh")
        << "#!/bin/sh\ntouch started/$$\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
           "echo answered\n( sleep 20; echo late ) &\n";
    std::ofstream(started.folder / "cgi-bin/quick.sh")
        << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nquick'\n";
    std::ofstream(started.folder / "cgi-bin/long.sh")
        << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
           "i=0\nwhile [ $i -lt 100000 ]; do echo line; sleep 0.01; i=$((i+1)); done\n";
    std::ofstream(started.folder / "cgi-bin/echo.sh")
        << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%s' \"$QUERY_STRING\"\n";
    std::ofstream(started.folder / "page.php") << "<?php echo strlen(file_get_contents('php://input'));\n";
    std::ofstream(started.folder / "quick.php") << "<?php echo 'php ', 'quick';\n";
    for (const char* script :
         {"cgi-bin/linger.sh", "cgi-bin/quick.sh", "cgi-bin/long.sh", "cgi-bin/echo.sh"})
        std::filesystem::permissions(started.folder / script, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
    for (const auto& [name, size] : {std::pair{"large.bin", size_t{256} << 20},
                                     std::pair{"twenty.bin", size_t{20} << 20}}) {
        std::ofstream(started.folder / name);
        std::filesystem::resize_file(started.folder / name, size);
    }
    started.program = std::make_unique<Program>(binary, started.folder.string());
    for (int i = 0; i < 500; ++i) {
        const int fd = ConnectLoopback(static_cast<unsigned>(started.port));
        if (fd >= 0) {
            ::close(fd);
            return started;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "quivoone did not listen\n");
    std::exit(1);
}

// 16 peers each send 62 MiB of a 63 MiB body to a PHP page and wait: the
// growth of the program's resident memory.
size_t HeldByUnfinishedBodies(Program& program, unsigned port) {
    constexpr size_t kPeers = 16;
    const size_t before = program.residentBytes();
    const std::string head = "POST /page.php HTTP/1.1\r\nHost: bench\r\nContent-Type: "
                             "application/octet-stream\r\nContent-Length: " +
                             std::to_string(size_t{63} << 20) + "\r\n\r\n";
    const std::string part(size_t{62} << 20, 'b');
    std::vector<int> peers;
    std::vector<std::thread> senders;
    for (size_t i = 0; i < kPeers; ++i) {
        peers.push_back(ConnectLoopback(port));
        senders.emplace_back([fd = peers.back(), &head, &part] {
            SendAll(fd, head);
            SendAll(fd, part);
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const size_t after = program.residentBytes();
    for (const int fd : peers)
        ::close(fd);
    return after > before ? after - before : 0;
}

// 1,000 peers each send the head of a 1 MiB body to a PHP page and then,
// slowly (a 4 KiB piece each, 15 times over), 60 KiB of it, and wait: the
// growth of the program's resident memory.
size_t HeldBySlowUploads(Program& program, unsigned port) {
    const size_t before = program.residentBytes();
    const std::string head = "POST /page.php HTTP/1.1\r\nHost: bench\r\nContent-Type: "
                             "application/octet-stream\r\nContent-Length: " +
                             std::to_string(size_t{1} << 20) + "\r\n\r\n";
    const std::string piece(4 << 10, 'u');
    std::vector<int> peers;
    for (int i = 0; i < 1000; ++i) {
        peers.push_back(ConnectLoopback(port));
        Send(peers.back(), head);
    }
    for (int round = 0; round < 15; ++round) {
        for (const int fd : peers)
            Send(fd, piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const size_t after = program.residentBytes();
    for (const int fd : peers)
        ::close(fd);
    return after > before ? after - before : 0;
}

// Reads until `text` has come or the peer closes (60 s at most).
std::string ReadFor(int fd, const std::string& text) {
    std::string in;
    char buffer[4096];
    while (in.find(text) == std::string::npos) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 60000) <= 0)
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        in.append(buffer, static_cast<size_t>(n));
    }
    return in;
}

// 20 peers ask for a script that writes a line every 10 ms for 1,000 s and
// reset; then one CGI request and one PHP request: seconds until both have
// their answers.
double OrdinaryBehindAbandonedScripts(unsigned port) {
    for (int i = 0; i < 20; ++i) {
        const int fd = ConnectLoopback(port);
        Send(fd, Get("/cgi-bin/long.sh"));
        ReadFor(fd, "line");
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    const auto start = Clock::now();
    const int cgi = ConnectLoopback(port);
    Send(cgi, Get("/cgi-bin/quick.sh"));
    ReadFor(cgi, "quick");
    const int php = ConnectLoopback(port);
    Send(php, Get("/quick.php"));
    ReadFor(php, "php quick");
    const double took = Seconds(start);
    ::close(cgi);
    ::close(php);
    return took;
}

// 3,000 requests for a CGI program, 100 clients at a time, each on a
// connection of its own: how many were answered 200 with their own body.
int BurstOfProgramRequests(unsigned port) {
    std::atomic<int> whole{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 100; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 30; ++i) {
                const std::string query = std::to_string(c * 30 + i);
                const int fd = ConnectLoopback(port);
                // (Closed after the answer, so that one of another body,
                // such as a refusal, ends the read too.)
                Send(fd, "GET /cgi-bin/echo.sh?" + query +
                             " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n");
                const std::string in = ReadFor(fd, "\r\n\r\n" + query);
                ::close(fd);
                if (in.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
                    in.find("\r\n\r\n" + query) != std::string::npos)
                    ++whole;
            }
        });
    }
    for (std::thread& client : clients)
        client.join();
    return whole.load();
}

// 20 requests to a script that answers and leaves a child holding its output
// for 20 s, then one ordinary CGI request: seconds until its answer.
double OrdinaryBehindLingeringScripts(const std::filesystem::path& folder, unsigned port) {
    std::vector<int> lingering;
    for (int i = 0; i < 20; ++i) {
        lingering.push_back(ConnectLoopback(port));
        Send(lingering.back(), Get("/cgi-bin/linger.sh"));
    }
    // Every script has started and answered.
    for (int i = 0; i < 500 && std::distance(std::filesystem::directory_iterator(folder / "started"),
                                             std::filesystem::directory_iterator()) < 20;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto start = Clock::now();
    const int fd = ConnectLoopback(port);
    Send(fd, Get("/cgi-bin/quick.sh"));
    ReadFor(fd, "quick");
    const double took = Seconds(start);
    ::close(fd);
    for (const int peer : lingering)
        ::close(peer);
    return took;
}

// The stop of a program while a CGI script hangs: seconds to exit.
double StopWhileScriptHangs(const std::string& binary, bool bySignal) {
    Started started = Start(binary);
    const int fd = ConnectLoopback(static_cast<unsigned>(started.port));
    Send(fd, Get("/cgi-bin/hang.sh"));
    for (int i = 0; i < 500 && !std::filesystem::exists(started.folder / "hang.pid"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    if (bySignal)
        ::kill(started.program->pid, SIGTERM);
    else
        started.program->send("quit\n");
    started.program->waitExit();
    const double took = Seconds(start);
    ::close(fd);
    std::filesystem::remove_all(started.folder);
    return took;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string binary =
        std::filesystem::absolute(argc > 1 ? argv[1] : "build/programs/quivoone").string();
    ::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    Started started = Start(binary);
    Program& program = *started.program;
    const unsigned port = static_cast<unsigned>(started.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t idle = program.residentBytes();
    std::printf("resident at start                              %8.1f MiB\n", MiB(idle));

    // A peer that asks for a 256 MiB file and reads none of it.
    const int slow = ConnectLoopback(port);
    Send(slow, Get("/large.bin"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("a peer that never reads a 256 MiB file         %+8.1f MiB\n",
                MiB(program.residentBytes()) - MiB(idle));
    ::close(slow);

    // 50 pipelined requests for a 20 MB file, none of it read.
    const int pipelined = ConnectLoopback(port);
    std::string requests;
    for (int i = 0; i < 50; ++i)
        requests += Get("/twenty.bin");
    Send(pipelined, requests);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("50 pipelined GETs of a 20 MB file, unread      %+8.1f MiB\n",
                MiB(program.residentBytes()) - MiB(idle));
    ::close(pipelined);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("  after that peer closed                       %+8.1f MiB\n",
                MiB(program.residentBytes()) - MiB(idle));

    // 1,000 peers with a 4 KiB receive buffer asking for a 20 MB file and
    // reading none of it; then what stays once they have gone.
    std::vector<int> readers;
    for (int i = 0; i < 1000; ++i) {
        const int fd = ConnectLoopback(port);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        Send(fd, Get("/twenty.bin"));
        readers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("1000 peers never reading a 20 MB file          %+8.1f MiB\n",
                MiB(program.residentBytes()) - MiB(idle));
    for (const int fd : readers)
        ::close(fd);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("  after they closed                            %+8.1f MiB\n",
                MiB(program.residentBytes()) - MiB(idle));

    // 10,000 idle connections.
    constexpr size_t kIdle = 10000;
    const size_t before = program.residentBytes();
    const size_t descriptors = program.openDescriptors();
    const auto start = Clock::now();
    std::vector<int> idleFds;
    idleFds.reserve(kIdle);
    for (size_t i = 0; i < kIdle; ++i) {
        const int fd = ConnectLoopback(port);
        if (fd < 0)
            break;
        idleFds.push_back(fd);
    }
    while (program.openDescriptors() < descriptors + idleFds.size() && Seconds(start) < 60)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double accepted = Seconds(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t grown = program.residentBytes() - before;
    std::printf("%zu idle connections accepted in              %8.2f s\n", idleFds.size(),
                accepted);
    std::printf("  memory per idle connection                   %8.2f KiB\n",
                static_cast<double>(grown) / 1024 / static_cast<double>(idleFds.size()));
    for (const int fd : idleFds)
        ::close(fd);

    // Last: the scripts' children outlive the measure.
    std::printf("16 peers sending 62 MiB of a 63 MiB PHP body   %+8.1f MiB\n",
                MiB(HeldByUnfinishedBodies(program, port)));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("1000 peers sending 60 KiB of a 1 MiB body      %+8.1f MiB\n",
                MiB(HeldBySlowUploads(program, port)));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("a CGI request behind 20 lingering scripts      %8.2f s\n",
                OrdinaryBehindLingeringScripts(started.folder, port));
    const auto burst = Clock::now();
    const int whole = BurstOfProgramRequests(port);
    std::printf("3000 CGI requests, 100 at a time: 200 for      %8d in %.1f s\n", whole,
                Seconds(burst));
    // Last: the scripts run on until quit.
    std::printf("CGI and PHP requests behind 20 reset scripts   %8.2f s\n",
                OrdinaryBehindAbandonedScripts(port));
    program.send("quit\n");
    program.waitExit();
    std::filesystem::remove_all(started.folder);

    std::printf("\"quit\" while a CGI script hangs               %8.3f s\n",
                StopWhileScriptHangs(binary, false));
    std::printf("SIGTERM while a CGI script hangs               %8.3f s\n",
                StopWhileScriptHangs(binary, true));
    return 0;
}
