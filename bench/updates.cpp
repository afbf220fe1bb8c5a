// Update polling under load: page contexts (100 by default) of one
// application, each polled over its own keep-alive HTTP connection on a
// loopback port, while each context's scenario posts progress every few
// milliseconds from a scheduler job. A poll is sent as soon as the previous
// answer is in (a page waits "twymtupdatetime" between polls; this measures
// what the server can answer). Prints polls answered per second and the delay
// from a posted change to the answer of the poll that carries it.
//   bench_updates [seconds] [contexts] [progress interval in microseconds]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "bench/LoopbackClient.h"
#include "html/KrHTML_text2.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// What one context's scenario posts and its updater answers.
struct Progress {
    static constexpr size_t kSlots = 1 << 15;
    std::atomic<long> latest{-1};
    long answered = -1;  // only the updater touches it (under the registry mutex)
    // Post time of each value, so the poller can tell how late it saw it.
    std::unique_ptr<std::atomic<int64_t>[]> postedAt{new std::atomic<int64_t>[kSlots]};
};

// Reads one whole answer from the connection into `answer`.
void ReadAnswer(int fd, std::string& pending, std::string& answer) {
    char buffer[16384];
    for (;;) {
        const size_t whole = CompleteAnswer(pending);
        if (whole != 0) {
            const size_t head = pending.find("\r\n\r\n") + 4;
            answer.assign(pending, head, whole - head);
            pending.erase(0, whole);
            return;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            std::fprintf(stderr, "connection lost\n");
            std::exit(1);
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}

struct PollerResult {
    long polls = 0;
    std::vector<double> delays;  // microseconds
};

PollerResult Poll(unsigned port, const std::string& quivoid, const std::string& reference,
                  Progress& progress, const std::atomic<bool>& stop,
                  const std::atomic<bool>& measuring) {
    const std::string body =
        "quivocommand=twymtupdate&reference=" + reference + "&quivoid=" + quivoid;
    const std::string request = "POST / HTTP/1.1\r\nHost: bench\r\n"
                                "Content-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    const int fd = ConnectTo(port);
    PollerResult result;
    result.delays.reserve(1 << 16);
    std::string pending;
    std::string answer;
    const std::string marker = "<div id=\"progress\">";
    while (!stop.load(std::memory_order_relaxed)) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        ReadAnswer(fd, pending, answer);
        const int64_t now = NowNs();
        if (answer.find("id=\"novidade\"") == std::string::npos) {
            std::fprintf(stderr, "not an update answer: %s\n", answer.c_str());
            std::exit(1);
        }
        if (!measuring.load(std::memory_order_relaxed))
            continue;
        ++result.polls;
        const size_t at = answer.find(marker);
        if (at == std::string::npos)
            continue;
        const long value = std::strtol(answer.c_str() + at + marker.size(), nullptr, 10);
        const int64_t posted = progress.postedAt[static_cast<size_t>(value) % Progress::kSlots];
        result.delays.push_back(static_cast<double>(now - posted) / 1000.0);
    }
    ::close(fd);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int contextCount = argc > 2 ? std::atoi(argv[2]) : 100;
    const long intervalUs = argc > 3 ? std::atol(argv[3]) : 5000;

    KrPersistentAppStorage storage;
    auto app = std::make_unique<KrQuivoApplication2>(
        &storage, std::vector<KrListenerRecord>{},
        std::map<std::string, std::string>{{"no_browser_popup", "true"}});

    std::promise<unsigned> listening;
    std::atomic<bool> told{false};
    auto callback = [&](KrServerCallback_t& event) {
        if (event.type == KR_EVENT_LISTENING && !told.exchange(true))
            listening.set_value(static_cast<unsigned>(std::stoul(event.values["port"])));
        return true;
    };
    auto client = std::make_shared<KrTransceiverClient>(
        callback, std::map<std::string, std::string>{}, app.get());
    app->GetTransceiver()->addClient(client);
    auto header = std::make_shared<KrXServerHeader>(1, KR_PROTOCOL_HTTP);
    header->setParameter("tcp_port", "0");
    client->openServer(header);
    const unsigned port = listening.get_future().get();

    std::map<std::string, std::string> options;
    std::atomic<bool> posting{true};
    std::vector<std::unique_ptr<Progress>> progress;
    std::vector<std::string> ids;
    std::vector<std::string> references;
    for (int i = 0; i < contextCount; ++i) {
        progress.push_back(std::make_unique<Progress>());
        Progress* mine = progress.back().get();
        ids.push_back("page" + std::to_string(i));
        auto* context = app->AddKontext(new KrHTMLKontextN(app.get(), ids.back(), 0, "", options, nullptr));
        KrUpdateRegistry* registry = &context->GetUpdateRegistry();
        auto* scenario = new KrScenario(context, registry);
        registry->AddScenario(scenario);
        references.push_back(scenario->_doAction(
            [mine, &posting, intervalUs] {
                for (long value = 0; posting.load(); ++value) {
                    mine->postedAt[static_cast<size_t>(value) % Progress::kSlots] = NowNs();
                    mine->latest = value;
                    std::this_thread::sleep_for(std::chrono::microseconds(intervalUs));
                }
            },
            [mine, registry](const std::string& reference) {
                const long latest = mine->latest.load();
                if (latest != mine->answered) {
                    mine->answered = latest;
                    registry->AddAnswerPart(reference, "progress",
                                            new KrHTML_text2(std::to_string(latest)));
                }
                return 1L;
            }));
    }

    std::atomic<bool> stop{false};
    std::atomic<bool> measuring{false};
    std::vector<std::future<PollerResult>> pollers;
    for (int i = 0; i < contextCount; ++i)
        pollers.push_back(std::async(std::launch::async, Poll, port, ids[i], references[i],
                                     std::ref(*progress[i]), std::cref(stop),
                                     std::cref(measuring)));
    // Half a second of warm-up, then the measured run.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    measuring.store(true);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    measuring.store(false);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop.store(true);
    long polls = 0;
    std::vector<double> delays;
    for (auto& poller : pollers) {
        PollerResult part = poller.get();
        polls += part.polls;
        delays.insert(delays.end(), part.delays.begin(), part.delays.end());
    }
    std::sort(delays.begin(), delays.end());
    std::printf("updates: %d page contexts polling, progress every %ld us, %.1f s\n",
                contextCount, intervalUs, elapsed);
    if (delays.empty()) {
        std::printf("polls/s %.0f  no change carried\n", polls / elapsed);
        posting.store(false);
        return 1;
    }
    const auto at = [&](double q) { return delays[static_cast<size_t>(q * (delays.size() - 1))]; };
    std::printf("polls/s %.0f  change-to-poll delay p50 %.0f us  p99 %.0f us  (%zu changes)\n",
                polls / elapsed, at(0.5), at(0.99), delays.size());

    // The application's share alone: polls handed straight to the context,
    // without sockets and HTTP.
    KrXRequestHeader direct(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    direct.path() = "/";
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"quivocommand", "twymtupdate"}, {"reference", references[0]}, {"quivoid", ids[0]}}) {
        direct.blocks().emplace_back();
        direct.blocks().back().setContent(value);
        direct.parameters()[name] = &direct.blocks().back();
    }
    long directPolls = 0;
    const auto directStart = Clock::now();
    while (Clock::now() - directStart < std::chrono::seconds(1)) {
        std::unique_ptr<KrXResponseHeader> response(direct.makeResponse());
        app->DispatchToKontext(ids[0], direct, *response, "twymtupdate");
        if (response->status() != 200) {
            std::fprintf(stderr, "poll not answered\n");
            return 1;
        }
        ++directPolls;
    }
    const double directElapsed =
        std::chrono::duration<double>(Clock::now() - directStart).count();
    std::printf("in-process polls/s %.0f (one thread, no HTTP)\n", directPolls / directElapsed);
    std::fflush(stdout);
    posting.store(false);
    client.reset();
    app.reset();
    return 0;
}
