// Page contexts under a flood of first visits: starts the widgets example,
// which makes one page context for every GET of "/" without a quivoid, on a
// free loopback port in a folder of its own; sends GETs of "/" over one
// keep-alive connection and prints the program's resident memory every
// 1000 of them; then prints how long "quit" takes to end the program.
//   bench_contexts [GETs, default 11000] [widgets program]
// The program defaults to the one of this build (examples/widgets/widgets).

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench/LoopbackClient.h"

namespace {

std::string WidgetsBesideThisBuild() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "widgets";
    std::string path(self, static_cast<size_t>(n));
    path.erase(path.rfind('/'));  // .../bench
    return path.substr(0, path.rfind('/')) + "/examples/widgets/widgets";
}

unsigned FreePort() {
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

long ResidentMB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10) / 1024;
    return -1;
}

// Sends one GET of "/" and reads its whole answer; false when none came.
bool GetRoot(int fd, std::string& pending) {
    static const std::string kRequest = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    if (::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kRequest.size()))
        return false;
    char buffer[65536];
    for (;;) {
        const size_t whole = CompleteAnswer(pending);
        if (whole != 0) {
            const bool ok = pending.rfind("HTTP/1.1 200 OK", 0) == 0;
            pending.erase(0, whole);
            return ok;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long gets = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 11000;
    const std::string program = argc > 2 ? argv[2] : WidgetsBesideThisBuild();
    char pattern[] = "/tmp/quivo-contexts-XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    const unsigned port = FreePort();
    std::ofstream(folder + "/quivoone.xml")
        << "<quivoone><quivooneserver address=\"127.0.0.1\" port=\"" << port
        << "\"/></quivoone>\n";

    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return 1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (::chdir(folder.c_str()) != 0 || ::dup2(input[0], 0) < 0 || ::dup2(quiet, 1) < 0)
            ::_exit(127);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(input[0]);

    // The listener opens on a job of the program's own; nothing tells when.
    int fd = -1;
    for (int i = 0; i < 2000 && fd < 0; ++i) {
        fd = ConnectLoopback(port);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) {
        std::fprintf(stderr, "%s did not listen on port %u\n", program.c_str(), port);
        ::kill(child, SIGKILL);
        return 1;
    }
    std::printf("GETs of /   resident MB\n%10d   %ld\n", 0, ResidentMB(child));
    std::string pending;
    for (long i = 1; i <= gets; ++i) {
        if (!GetRoot(fd, pending)) {
            std::fprintf(stderr, "GET %ld was not answered with 200\n", i);
            ::kill(child, SIGKILL);
            return 1;
        }
        if (i % 1000 == 0 || i == gets)
            std::printf("%10ld   %ld\n", i, ResidentMB(child));
    }
    ::close(fd);

    const auto start = std::chrono::steady_clock::now();
    if (::write(input[1], "quit\n", 5) != 5)
        std::perror("write");
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("quit: %.0f ms (exit status %d)\n", took.count(),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::remove((folder + "/quivoone.xml").c_str());
    ::rmdir(folder.c_str());
    return 0;
}
