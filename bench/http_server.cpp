// Keep-alive GETs of the not-found page from 50 connections against the
// HTTP server on a loopback port, with a small load generator in the same
// program (its threads poll their connections and send the next request as
// soon as an answer is complete). Prints requests per second, median and p99.
//   bench_http_server [seconds] [connections] [generator threads]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench/LoopbackClient.h"
#include "transport/transport.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kRequest = "GET /nothing HTTP/1.1\r\nHost: bench\r\nUser-Agent: bench\r\n\r\n";

struct Connection {
    int fd = -1;
    std::string in;
    Clock::time_point sent;
};

// Runs until `stop`; returns the latencies in microseconds.
std::vector<double> Generate(unsigned port, int count, const std::atomic<bool>& stop,
                             const std::atomic<bool>& measuring) {
    std::vector<Connection> connections(static_cast<size_t>(count));
    std::vector<pollfd> watched;
    for (Connection& c : connections) {
        c.fd = ConnectTo(port);
        watched.push_back({c.fd, POLLIN, 0});
        c.sent = Clock::now();
        ::send(c.fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL);
    }
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    char buffer[16384];
    while (!stop.load(std::memory_order_relaxed)) {
        if (::poll(watched.data(), watched.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].revents == 0)
                continue;
            Connection& c = connections[i];
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                std::fprintf(stderr, "connection lost\n");
                std::exit(1);
            }
            c.in.append(buffer, static_cast<size_t>(n));
            while (const size_t length = CompleteAnswer(c.in)) {
                c.in.erase(0, length);
                const auto now = Clock::now();
                if (measuring.load(std::memory_order_relaxed))
                    latencies.push_back(
                        std::chrono::duration<double, std::micro>(now - c.sent).count());
                c.sent = now;
                ::send(c.fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL);
            }
        }
    }
    for (Connection& c : connections)
        ::close(c.fd);
    return latencies;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int connectionCount = argc > 2 ? std::atoi(argv[2]) : 50;
    const int threadCount = argc > 3 ? std::atoi(argv[3]) : 2;

    KrGavetaScheduler2 scheduler;
    auto transceiver = std::make_unique<KrTransceiver>(&scheduler);
    std::promise<unsigned> listening;
    std::atomic<bool> told{false};
    auto callback = [&](KrServerCallback_t& event) {
        if (event.type == KR_EVENT_LISTENING && !told.exchange(true))
            listening.set_value(static_cast<unsigned>(std::stoul(event.values["port"])));
        return true;
    };
    auto client = std::make_shared<KrTransceiverClient>(
        callback, std::map<std::string, std::string>{}, nullptr);
    transceiver->addClient(client);
    auto header = std::make_shared<KrXServerHeader>(1, KR_PROTOCOL_HTTP);
    header->setParameter("tcp_port", "0");
    client->openServer(header);
    const unsigned port = listening.get_future().get();

    std::atomic<bool> stop{false};
    std::atomic<bool> measuring{false};
    std::vector<std::future<std::vector<double>>> workers;
    for (int t = 0; t < threadCount; ++t) {
        const int share = connectionCount / threadCount + (t < connectionCount % threadCount);
        workers.push_back(std::async(std::launch::async, Generate, port, share, std::cref(stop),
                                     std::cref(measuring)));
    }
    // Half a second of warm-up, then the measured run.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    measuring.store(true);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    measuring.store(false);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop.store(true);
    std::vector<double> all;
    for (auto& worker : workers) {
        std::vector<double> part = worker.get();
        all.insert(all.end(), part.begin(), part.end());
    }
    std::sort(all.begin(), all.end());
    if (all.empty()) {
        std::printf("no answers\n");
        return 1;
    }
    const auto at = [&](double q) { return all[static_cast<size_t>(q * (all.size() - 1))]; };
    std::printf("http_server: %d keep-alive connections, %d generator threads, %.1f s\n",
                connectionCount, threadCount, elapsed);
    std::printf("requests/s %.0f  median %.0f us  p99 %.0f us  p99.9 %.0f us\n",
                all.size() / elapsed, at(0.5), at(0.99), at(0.999));
    std::fflush(stdout);
    transceiver.reset();
    return 0;
}
