#pragma once
// Test-only: a whole web server on a loopback port the system chooses (a
// scheduler, a transceiver, one client and one listener), the events its
// callback receives, and blocking socket helpers with receive time-outs (a
// hang fails the test, it never waits for ever).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrURL.h"
#include "foundation/tests/WaitFor.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverServerL1HTTP.h"
#include "transport/KrXServerHeader.h"
#include "transport/tests/LoopbackSocket.h"

namespace httptest {

class Events {
  public:
    bool record(KrServerCallback_t& event) {
        std::lock_guard<std::mutex> guard(_mutex);
        _records.push_back(event);
        _changed.notify_all();
        return true;
    }
    // The n-th record of `type` (1-based), waiting up to 20 s; type -1 when
    // it did not come.
    KrServerCallback_t waitFor(int type, size_t n = 1) {
        std::unique_lock<std::mutex> lock(_mutex);
        KrServerCallback_t found;
        found.type = -1;
        _changed.wait_for(lock, std::chrono::seconds(20), [&] {
            size_t seen = 0;
            for (const auto& record : _records) {
                if (record.type == type && ++seen == n) {
                    found = record;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::vector<std::string> logLines() {
        std::lock_guard<std::mutex> guard(_mutex);
        std::vector<std::string> lines;
        for (auto& record : _records) {
            if (record.type == KR_EVENT_ACCESS_LOG)
                lines.push_back(record.values["logging"]);
        }
        return lines;
    }

  private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<KrServerCallback_t> _records;
};

// One server; the client may be a subclass made by the test.
class Server {
  public:
    using ClientMaker = std::function<std::shared_ptr<KrTransceiverClient>(
        std::function<bool(KrServerCallback_t&)>, const std::map<std::string, std::string>&)>;

    explicit Server(std::map<std::string, std::string> options = {},
                    int protocolKind = KR_PROTOCOL_HTTP, ClientMaker make = {},
                    const std::string& port = "0") {
        transceiver = std::make_unique<KrTransceiver>(&scheduler);
        auto callback = [this](KrServerCallback_t& event) { return events.record(event); };
        client = make ? make(callback, options)
                      : std::make_shared<KrTransceiverClient>(callback, options, nullptr);
        transceiver->addClient(client);
        header = std::make_shared<KrXServerHeader>(1, protocolKind);
        header->setParameter("tcp_port", port);
        header->setParameter("tcp_address", "127.0.0.1");
        client->openServer(header);
    }
    ~Server() { transceiver.reset(); }

    // The port once listening; 0 when it never listened.
    unsigned waitListening() {
        const KrServerCallback_t event = events.waitFor(KR_EVENT_LISTENING);
        return event.type == KR_EVENT_LISTENING
                   ? static_cast<unsigned>(std::stoul(event.values.at("port")))
                   : 0;
    }
    std::shared_ptr<KrTransceiverServerL1HTTP> httpServer() {
        return std::dynamic_pointer_cast<KrTransceiverServerL1HTTP>(header->attachedServer());
    }

    Events events;
    KrGavetaScheduler2 scheduler;
    std::unique_ptr<KrTransceiver> transceiver;
    std::shared_ptr<KrTransceiverClient> client;
    std::shared_ptr<KrXServerHeader> header;
};

using ::SendAll;

// Reads what arrives until `enough` says so, the peer closes (`closed` set)
// or the test's patience passes without a byte.
inline std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& enough,
                             bool* closed = nullptr) {
    std::string in;
    if (closed != nullptr)
        *closed = false;
    while (!enough(in)) {
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(kPatience.count())) <= 0)
            break;
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (closed != nullptr)
                *closed = true;
            break;
        }
        in.append(buffer, static_cast<size_t>(n));
    }
    return in;
}

// Where the answer whose head ends at `headEnd` ends: behind Content-Length
// bytes, or behind its last chunk; npos while it is incomplete.
inline size_t AnswerEnd(const std::string& in, size_t at, size_t headEnd) {
    const std::string head = in.substr(at, headEnd + 2 - at);
    size_t end = headEnd + 4;
    if (head.find("Transfer-Encoding: chunked\r\n") != std::string::npos) {
        for (;;) {
            const size_t line = in.find("\r\n", end);
            if (line == std::string::npos)
                return std::string::npos;
            const size_t size = std::stoul(in.substr(end, line - end), nullptr, 16);
            end = line + 2 + size + 2;
            if (end > in.size())
                return std::string::npos;
            if (size == 0)
                return end;
        }
    }
    const size_t field = head.find("Content-Length: ");
    if (field != std::string::npos)
        end += std::stoul(head.substr(field + 16));
    // A 100 Continue head has no body and counts as an answer of its own.
    return in.size() < end ? std::string::npos : end;
}

// Calls `each`(head end, answer end) for the complete answers at the start
// of `in`, in order, and returns how many there were.
template <class Each>
size_t ForEachAnswer(const std::string& in, Each each) {
    size_t count = 0;
    size_t at = 0;
    for (;;) {
        const size_t headEnd = in.find("\r\n\r\n", at);
        if (headEnd == std::string::npos)
            return count;
        const size_t end = AnswerEnd(in, at, headEnd);
        if (end == std::string::npos)
            return count;
        each(headEnd, end);
        at = end;
        ++count;
    }
}

// Complete answers at the start of `in`.
inline size_t CountAnswers(const std::string& in) {
    return ForEachAnswer(in, [](size_t, size_t) {});
}

// The body of the first answer in `in`, its chunks joined; what arrived of
// a chunked body cut short.
inline std::string DecodedBody(const std::string& in) {
    const size_t headEnd = in.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return "";
    if (in.substr(0, headEnd + 2).find("Transfer-Encoding: chunked\r\n") == std::string::npos)
        return in.substr(headEnd + 4);
    std::string body;
    size_t at = headEnd + 4;
    for (;;) {
        const size_t line = in.find("\r\n", at);
        if (line == std::string::npos)
            return body;
        const size_t size = std::stoul(in.substr(at, line - at), nullptr, 16);
        if (size == 0)
            return body;
        body += in.substr(line + 2, size);
        at = line + 2 + size + 2;
        if (at > in.size())
            return body;
    }
}

inline std::string Answers(int fd, size_t count, bool* closed = nullptr) {
    return ReadUntil(
        fd, [count](const std::string& in) { return CountAnswers(in) >= count; }, closed);
}

// Until the peer closes.
inline std::string ReadToClose(int fd, bool* closed) {
    return ReadUntil(
        fd, [](const std::string&) { return false; }, closed);
}

// Output of a shell command.
inline std::string Shell(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

}  // namespace httptest
