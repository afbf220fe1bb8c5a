// Page contexts under a flood of first visits: starts the widgets example,
// which makes one page context for every GET of "/" without a quivoid, on a
// free loopback port in a folder of its own; sends GETs of "/" over one
// keep-alive connection and prints the program's resident memory every
// 1000 of them; then prints how long "quit" takes to end the program.
//   bench_contexts [GETs, default 11000] [widgets program]
// The program defaults to the one of this build (examples/widgets/widgets).

#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench/LoopbackClient.h"
#include "programs/tests/ProgramHarness.h"

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
    harness::Folder folder;
    const int port = harness::freePort();
    folder.configure(std::to_string(port));
    // It prints an access-log line per request: to /dev/null, not into a
    // pipe nobody reads. The shell hands its process over to the program.
    harness::Process widgets({"/bin/sh", "-c", "exec \"$0\" > /dev/null", program}, folder.path);

    // The listener opens on a job of the program's own; nothing tells when.
    for (int i = 0; i < 2000 && !harness::listening(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int fd = ConnectLoopback(static_cast<unsigned>(port));
    if (fd < 0) {
        std::fprintf(stderr, "%s did not listen on port %d\n", program.c_str(), port);
        return 1;
    }
    std::printf("GETs of /   resident MB\n%10d   %ld\n", 0, ResidentMB(widgets.pid));
    std::string pending;
    for (long i = 1; i <= gets; ++i) {
        if (!GetRoot(fd, pending)) {
            std::fprintf(stderr, "GET %ld was not answered with 200\n", i);
            return 1;
        }
        if (i % 1000 == 0 || i == gets)
            std::printf("%10ld   %ld\n", i, ResidentMB(widgets.pid));
    }
    ::close(fd);

    const auto start = std::chrono::steady_clock::now();
    widgets.send("quit\n");
    const int status = widgets.wait(60);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("quit: %.0f ms (exit status %d)\n", took.count(), status);
    return status == 0 ? 0 : 1;
}
