// Loopback echo through the transceiver with a raw-bytes server: round trips
// per second and round-trip latency (median, p99) with 1, 50 and 10,000 open
// connections, and the resident memory of the server process per idle
// connection.
//
// The server runs in this process; the clients run in a child (this program
// again, with "--clients PORT COUNT"), so each process holds one end of every
// connection and 10,000 connections fit the descriptor limit.
// Latency: one round trip in flight at a time, cycling over up to 50 of the
// open connections (the rest stay idle). Throughput: up to 50 client threads,
// each with its own connection, sending as fast as answers come back.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KrGavetaScheduler2.h"
#include "transport/KrTransceiver.h"
#include "transport/tests/TransportHarness.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool roundTrip(int fd) {
    static const std::string ping(32, 'p');
    return SendAll(fd, ping) && harness::receiveExactly(fd, ping.size()).size() == ping.size();
}

// The child: opens the connections, reports "opened", waits for a byte on
// standard input, measures, prints one result line.
int runClients(int port, size_t open) {
    harness::raiseDescriptorLimit();
    std::vector<int> clients;
    clients.reserve(open);
    for (size_t i = 0; i < open; ++i) {
        const int fd = harness::connectLoopback(port);
        if (fd < 0) {
            std::fprintf(stderr, "could not open connection %zu: %s\n", i, std::strerror(errno));
            return 1;
        }
        clients.push_back(fd);
    }
    // Every connection has been through the transceiver once.
    for (const int fd : clients) {
        if (!roundTrip(fd))
            return 1;
    }
    std::printf("opened\n");
    std::fflush(stdout);
    char go = 0;
    if (::read(0, &go, 1) != 1)
        return 1;

    const size_t active = std::min<size_t>(clients.size(), 50);
    constexpr int kRounds = 20000;
    std::vector<double> latencies;
    latencies.reserve(kRounds);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        const Clock::time_point sent = Clock::now();
        if (!roundTrip(clients[static_cast<size_t>(i) % active]))
            return 1;
        latencies.push_back(micros(Clock::now() - sent));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());

    std::atomic<long> trips{0};
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    const Clock::time_point loadStart = Clock::now();
    for (size_t t = 0; t < active; ++t) {
        threads.emplace_back([&, fd = clients[t]] {
            while (running.load(std::memory_order_relaxed) && roundTrip(fd))
                trips.fetch_add(1, std::memory_order_relaxed);
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    running.store(false);
    for (std::thread& thread : threads)
        thread.join();
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
    std::printf(
        "sequential %7.0f round trips/s, median %6.1f us, p99 %7.1f us; "
        "%2zu threads %7.0f round trips/s\n",
        kRounds / seconds, latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
        active, trips.load() / loadSeconds);
    std::fflush(stdout);
    for (const int fd : clients)
        ::close(fd);
    return 0;
}

void echo(KrTransceiver&, KrTransceiverConnection& connection, const std::string& bytes) {
    harness::queue(connection, bytes);
}

// The server side of one run; the child's result line is passed on.
void run(const char* self, size_t open) {
    KrGavetaScheduler2 scheduler;
    auto transceiver = std::make_unique<KrTransceiver>(&scheduler);
    auto server = std::make_shared<harness::RawServer>(&scheduler, transceiver.get(), echo);
    transceiver->registerServer(server);
    auto listener = std::make_unique<harness::LoopbackListener>(*transceiver, server->id());

    const std::string port = std::to_string(listener->port());
    const std::string count = std::to_string(open);
    char* const argv[] = {const_cast<char*>(self), const_cast<char*>("--clients"),
                          const_cast<char*>(port.c_str()), const_cast<char*>(count.c_str()),
                          nullptr};
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        return;
    }
    const long before = residentKiB();
    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    FILE* results = fdopen(fromChild[0], "r");
    char line[512];
    if (std::fgets(line, sizeof line, results) != nullptr && std::strcmp(line, "opened\n") == 0) {
        const long after = residentKiB();
        if (::write(toChild[1], "g", 1) == 1 && std::fgets(line, sizeof line, results) != nullptr) {
            std::printf("%6zu open: %.*s; server %.1f KiB resident per connection\n", open,
                        static_cast<int>(std::strlen(line) - 1), line,
                        double(after - before) / double(open));
        }
    } else {
        std::printf("%6zu open: the client process failed\n", open);
    }
    std::fflush(stdout);
    ::close(toChild[1]);
    std::fclose(results);
    int status = 0;
    waitpid(child, &status, 0);
    listener.reset();
    transceiver.reset();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--clients") == 0)
        return runClients(std::atoi(argv[2]), std::strtoul(argv[3], nullptr, 10));
    harness::raiseDescriptorLimit();
    for (const size_t open : {size_t{1}, size_t{50}, size_t{10000}})
        run(argv[0], open);
    return 0;
}
