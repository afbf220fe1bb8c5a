#include "transport/KrTransceiver.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ext/stdio_sync_filebuf.h>
#include <iostream>
#include <typeinfo>
#include <vector>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrException.h"
#include "foundation/KrJobMessage.h"
#include "foundation/KrLogger.h"
#include "foundation/KrURL.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrTransceiverServer.h"
#include "transport/KrTransceiverServerL1DirectSocket.h"
#include "transport/KrTransceiverServerL1HTTP.h"
#include "transport/KrTransceiverServerL1QUIVO.h"
#include "transport/KrXHeader.h"
#include "transport/KrXServerHeader.h"

namespace {

using ServerPointer = std::shared_ptr<KrTransceiverServer>;

// What a listener of each protocol kind gets: the protocol layer's type
// name and the "protocol" reported with the new server.
struct ListenerKind {
    int kind;
    const char* typeName;
    const char* protocol;
};

constexpr ListenerKind kListenerKinds[] = {
    {KR_PROTOCOL_HTTP, "HTTP", "HTTP/HTTPS"},
    {KR_PROTOCOL_QUIVO, "QUIVO", "QUIVO/QUIVOS"},
    {KR_PROTOCOL_QUIVOS, "QUIVO", "QUIVO/QUIVOS"},
    {KR_PROTOCOL_SOCKET, "DirectSocket", "DirectSocket"},
};

const ListenerKind* listenerKind(int kind) {
    for (const ListenerKind& entry : kListenerKinds) {
        if (entry.kind == kind)
            return &entry;
    }
    return nullptr;
}

// A listening server as its protocol layer makes it, with the layer's
// _open (the base class has none: opening belongs to the socket layer).
struct MadeListener {
    ServerPointer server;
    std::function<bool()> open;
};

// Makes the listening server of the protocol layer for `kind` from
// (scheduler, header, transceiver, client id, dispatch key, supervisor id,
// callback, type name).
MadeListener makeListener(const ListenerKind& kind, KrGavetaScheduler2* scheduler,
                          KrXServerHeader* header, KrJob* owner, const std::string& clientName,
                          const std::string& dispatchKey, const std::string& supervisorId,
                          const KrTransceiver::Callback& callback) {
    std::shared_ptr<KrTransceiverServerL0Socket> server;
    if (kind.kind == KR_PROTOCOL_HTTP)
        server = std::make_shared<KrTransceiverServerL1HTTP>(scheduler, header, owner, clientName,
                                                             dispatchKey, supervisorId, callback,
                                                             kind.typeName);
    else if (kind.kind == KR_PROTOCOL_QUIVO || kind.kind == KR_PROTOCOL_QUIVOS)
        server = std::make_shared<KrTransceiverServerL1QUIVO>(scheduler, header, owner, clientName,
                                                              dispatchKey, supervisorId, callback,
                                                              kind.typeName);
    else if (kind.kind == KR_PROTOCOL_SOCKET)
        server = std::make_shared<KrTransceiverServerL1DirectSocket>(
            scheduler, header, owner, clientName, dispatchKey, supervisorId, callback,
            kind.typeName);
    if (!server)
        return {};
    return {server, [server] { return server->_open(); }};
}

// Lines written since the last flush of standard output.
std::atomic<bool> gLinesPending{false};

// Text, whole, also when several threads print at once: it goes out under
// one hold of the standard output's lock (the stream writes through to it,
// and the lock may be taken again inside), with a line end when asked.
void writeText(std::string_view text, bool lineEnd) {
    std::streambuf* out = std::cout.rdbuf();
    // The usual case, the stream still writing through to stdout: straight
    // into stdout's buffer, without the stream's and stdio's calls per piece.
    if (out != nullptr && typeid(*out) == typeid(__gnu_cxx::stdio_sync_filebuf<char>) &&
        static_cast<__gnu_cxx::stdio_sync_filebuf<char>*>(out)->file() == stdout) {
        ::flockfile(stdout);
        ::fwrite_unlocked(text.data(), 1, text.size(), stdout);
        // A call, not the putc_unlocked macro: the thread sanitizer cannot
        // see stdout's lock, and would take the macro's write for a race.
        if (lineEnd)
            ::fwrite_unlocked("\n", 1, 1, stdout);
        ::funlockfile(stdout);
        return;
    }
    ::flockfile(stdout);
    if (out != nullptr) {
        out->sputn(text.data(), static_cast<std::streamsize>(text.size()));
        if (lineEnd)
            out->sputc('\n');
    }
    ::funlockfile(stdout);
}

// One line, into standard output's buffer at once; it reaches the output
// at the next flushLogging.
void writeLine(const std::string& text) {
    writeText(text, true);
    gLinesPending.store(true, std::memory_order_release);
}

// A line flushed at once: the rare ones a reader waits for.
void printLine(const std::string& text) {
    writeText(text, true);
    std::cout.flush();
}

}  // namespace

KrTransceiverClientRecord::KrTransceiverClientRecord(std::shared_ptr<KrTransceiverClient> client)
    : client(std::move(client)) {}

KrTransceiverClientRecord::~KrTransceiverClientRecord() {
    for (auto& [name, header] : listeners) {
        if (header)
            header->callAttached();
    }
}

KrTransceiver::KrTransceiver(KrGavetaScheduler2* scheduler) : scheduler(scheduler) {
    housekeepingTask = createJoinedTask("housekeeping");
    housekeepingThread = std::thread([this] { _housekeeping(); });
}

KrTransceiver::~KrTransceiver() {
    {
        std::lock_guard<std::mutex> guard(_housekeepingMutex);
        housekeepingRunning.store(false);
    }
    _housekeepingCondition.notify_all();
    housekeepingThread.join();
    _leaveRegistry();
    _stopPrograms();
    _stopServers();
    _stopLoops();
    // Nothing runs any more; the maps go, and with them sockets and servers.
    decltype(clients) oldClients;
    decltype(servers) oldServers;
    decltype(connections) oldConnections;
    decltype(sockets) oldSockets;
    {
        std::scoped_lock both(lock, socketsLock);
        oldClients.swap(clients);
        oldServers.swap(servers);
        oldConnections.swap(connections);
        oldSockets.swap(sockets);
    }
    // Each connection left ends first: the lines of its answers still on
    // their way to the peer are written with what reached it.
    for (const auto& [name, entry] : oldSockets)
        entry.second->_post(KrConnectionRecord::kBroken);
    _dropRetired(true);
    _dropRetired(false);
    flushLogging();
}

void KrTransceiver::_stopPrograms() {
    // CGI programs still running are ended (each client's runner gives them
    // a short grace), so that stopping never waits for a hanging script;
    // their answers are dropped while everything they use is still there.
    std::vector<std::shared_ptr<KrTransceiverClient>> all;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        for (auto& [name, record] : clients) {
            if (record && record->client)
                all.push_back(record->client);
        }
    }
    for (const std::shared_ptr<KrTransceiverClient>& client : all)
        client->_stopPrograms();
}

void KrTransceiver::_stopServers() {
    // Every server the transceiver made or was given, whoever else holds it:
    // its accept and buffer jobs end before anything they use goes away.
    std::vector<ServerPointer> all;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        for (auto& [name, server] : servers)
            all.push_back(server);
        for (auto& [name, record] : clients) {
            for (auto& [headerName, header] : record->listeners) {
                if (header)
                    all.push_back(header->attachedServer());
            }
        }
    }
    for (ServerPointer& server : all) {
        if (server)
            server->_shutdown(this);
    }
}

void KrTransceiver::_stopLoops() {
    unsigned long jobs[2];
    {
        std::scoped_lock both(lock, socketsLock);
        _stopping = true;
        receiving.store(false);
        sending.store(false);
        jobs[0] = receiveJobId;
        jobs[1] = sendJobId;
    }
    _receivePoller.wake();
    _sendPoller.wake();
    for (const unsigned long job : jobs) {
        if (job == 0)
            continue;
        scheduler->cancelRepeat(job);
        scheduler->waitJobDone(job);
        delete scheduler->takeResult(job);
    }
}

bool KrTransceiver::onMessage(const KrJobMessage&) {
    return true;
}

bool KrTransceiver::postMessage(const std::string& receiverId, const KrJobMessage& message) {
    return KrCombinedTask::global().post(receiverId, message);
}

std::shared_ptr<KrTransceiverClient> KrTransceiver::addClient(
    std::shared_ptr<KrTransceiverClient> client) {
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        if (!client || clients.count(client->id()) != 0)
            return {};
        clients[client->id()] = std::make_shared<KrTransceiverClientRecord>(client);
    }
    // Outside the registry lock: openServer holds the client's mutex while it
    // calls addServer, which takes the registry lock.
    client->attachTransceiver(this);
    return client;
}

void KrTransceiver::dropClient(std::shared_ptr<KrTransceiverClient>& client) {
    std::shared_ptr<KrTransceiverClientRecord> record;
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        if (!client)
            return;
        const auto it = clients.find(client->id());
        if (it == clients.end())
            return;
        record = std::move(it->second);
        clients.erase(it);
    }
    client->detachTransceiver(this);
    // The record stops its servers as it goes, outside the registry lock.
}

std::string KrTransceiver::addServer(KrTransceiverClient& client,
                                     std::shared_ptr<KrXServerHeader> header, Callback callback) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    std::string result = header ? header->id() : std::string();
    if (!header)
        return result;
    const auto record = clients.find(client.id());
    if (record == clients.end())
        return result;
    const ListenerKind* kind = listenerKind(header->protocolKind());
    if (kind == nullptr) {
        printLine("unknown protocol!! (3)");
        return result;
    }
    if (record->second->listeners.count(header->id()) != 0)
        return result;
    MadeListener made = makeListener(*kind, scheduler, header.get(), this, client.id(),
                                     header->id(), id(), callback);
    if (!made.server)
        return result;
    const ServerPointer server = made.server;
    // The header co-owns its server: dropping the header's record stops it.
    header->setAttachedServer(server);
    record->second->listeners[header->id()] = header;
    // Entered before it opens: its first connection finds it.
    servers[server->id()] = server;
    if (made.open)
        made.open();
    KrServerCallback_t event;
    event.type = KR_EVENT_SERVER_CREATED;
    event.values["protocol"] = kind->protocol;
    event.values["ID"] = server->id();
    event.values["roll"] = "server";
    callback(event);
    return result;
}

std::string KrTransceiver::send(KrTransceiverClient& client, std::shared_ptr<KrXHeader> message,
                                Callback callback, const std::string& taskName) {
    if (!message || message->urlFailed())
        return KrJob::commonErrorTask();
    ServerPointer server;
    std::shared_ptr<KrTransceiverConnection> connection;
    // The route's hops are looked at where they lie: send runs once per answer.
    static const std::string kNoHop;
    const std::vector<std::string>& route = message->route();
    const std::string& serverName = route.size() > 0 ? route[0] : kNoHop;
    const std::string& connectionName = route.size() > 1 ? route[1] : kNoHop;
    {
        // Only the entries needed are copied: send runs once per answer, and
        // the tables may hold thousands of connections.
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
        if (clients.count(client.id()) == 0)
            return KrJob::commonErrorTask();
        const auto s = servers.find(serverName);
        if (s != servers.end())
            server = s->second;
        const auto c = connections.find(connectionName);
        if (c != connections.end())
            connection = c->second;
    }
    std::string result = message->id();
    const int kind = message->protocolKind();
    if (message->direction() == KR_DIRECTION_ANSWER) {
        message->setTaskName(taskName);
        if (kind != KR_PROTOCOL_HTTP && kind != KR_PROTOCOL_HTTPS && kind != KR_PROTOCOL_QUIVO &&
            kind != KR_PROTOCOL_SOCKET) {
            printLine("unknown protocol!! (1)");
        } else if (server && connection) {
            const int layer = server->getProtocolKind();
            if (server->isListening() &&
                (layer == KR_PROTOCOL_HTTP || layer == KR_PROTOCOL_QUIVO)) {
                // A listening HTTP or QUIVO server's answers on different
                // connections leave side by side; the connection's own lock
                // keeps one answer's head and body together on it (the
                // server takes no lock of its own around it). It writes the
                // answer and is done with it within this call: joining the
                // answer's task only to leave it again changes nothing
                // anyone sees, so it stays out.
                std::lock_guard<std::recursive_mutex> one(connection->messageLock());
                server->_sendResponse(connectionName, message.get());
            } else {
                // Other servers hold their own lock while they write.
                std::lock_guard<std::recursive_mutex> sending(sendLock);
                server->joinTask(taskName);
                server->_sendResponse(connectionName, message.get());
            }
        }
    } else if (message->direction() == KR_DIRECTION_REQUEST) {
        // Outgoing requests still go one at a time: a broker per destination
        // is made on first use.
        std::lock_guard<std::recursive_mutex> sending(sendLock);
        if (kind != KR_PROTOCOL_HTTP && kind != KR_PROTOCOL_QUIVO && kind != KR_PROTOCOL_SOCKET) {
            printLine("unknown protocol!! (2)");
            return result;
        }
        if (!_hookRequest(client, message, std::move(callback), taskName))
            result = KrJob::commonErrorTask();
    }
    return result;
}

std::shared_ptr<KrTransceiverConnection> KrTransceiver::findConnection(const std::string& name) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    const auto it = connections.find(name);
    return it == connections.end() ? nullptr : it->second;
}

std::shared_ptr<KrTransceiverClient> KrTransceiver::findClient(const std::string& name) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    const auto it = clients.find(name);
    return it == clients.end() || !it->second ? nullptr : it->second->client;
}

void KrTransceiver::registerServer(std::shared_ptr<KrTransceiverServer> server) {
    if (!server)
        return;
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    server->joinTask(housekeepingTask);
    servers[server->id()] = std::move(server);
}

void KrTransceiver::removeServer(const std::string& name) {
    ServerPointer gone;
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    const auto it = servers.find(name);
    if (it != servers.end()) {
        gone = std::move(it->second);
        servers.erase(it);
    }
}

void KrTransceiver::_finishServerTask(const std::string& name) {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    const auto it = servers.find(name);
    if (it == servers.end() || !it->second)
        return;
    KrTransceiverServer& server = *it->second;
    KrJobMessage message(name, KR_MESSAGE_TASK_FINISHED, "");
    message.values["ctask"] = server.getJoinedTask();
    server.leaveJoinedTask("");
    postMessage(server.getSupervisorId(), message);
}

void KrTransceiver::printLogging(const KrServerCallback_t& record) {
    if (record.type != KR_EVENT_ACCESS_LOG)
        return;
    // An access-log record mostly holds its line alone: no lookup then.
    static const std::string kLogging = "logging";
    const auto it = record.values.size() == 1 && record.values.begin()->first == kLogging
                        ? record.values.begin()
                        : record.values.find(kLogging);
    if (it != record.values.end())
        writeLine(it->second);
}

void KrTransceiver::flushLogging() {
    if (gLinesPending.load(std::memory_order_acquire) && gLinesPending.exchange(false))
        std::cout.flush();
}

bool KrTransceiver::isKnownServerType(const std::map<std::string, std::string>& parameters) {
    const auto it = parameters.find("type");
    const std::string type = it == parameters.end() ? "none" : it->second;
    return type == "HTTP" || type == "HTTPS" || type == "DirectSocket" || type == "QUIVO";
}

size_t KrTransceiver::connectionCount() {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    return connections.size();
}

size_t KrTransceiver::socketCount() {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(socketsLock);
    return sockets.size();
}

size_t KrTransceiver::serverCount() {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(lock);
    return servers.size();
}
