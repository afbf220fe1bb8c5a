#pragma once
// The TCP layer of the servers. Listening role: an accept job on the
// scheduler binds a dual-stack socket on the listener's "tcp_port" (every
// interface; "tcp_address" is only reported), retries a failed bind every
// 30 s, and hands every accepted peer to the transceiver as a connection,
// reporting types 3, 4 and 5 through the callback. It waits on the listening
// descriptors and a stop wake-up in one epoll set and accepts every waiting
// peer on each wake-up. Client role: connects one socket to an outgoing
// request's host and port.
//
// Not owned: the listener header (the transceiver's client record holds it)
// and the outgoing request. `acceptRunning` is the only state the accept job
// shares; `_stopMutex` guards the wake-ups of its waits.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "transport/KrPoller.h"
#include "transport/KrTransceiverConnection.h"
#include "transport/KrTransceiverServerL0.h"

class KrSocketIPvx;
class KrTransceiver;
class KrXServerHeader;

class KrTransceiverServerL0Socket : public KrTransceiverServerL0 {
  public:
    // The bind retry waits this long between attempts.
    static constexpr long kBindRetryMicroseconds = 30000000;

    // Listening role.
    KrTransceiverServerL0Socket(KrGavetaScheduler2* scheduler, KrXServerHeader* serverHeader,
                                KrJob* transceiver, const std::string& clientName,
                                const std::string& dispatchKey, const std::string& supervisorId,
                                std::function<bool(KrServerCallback_t&)> callback,
                                const std::string& typeName);
    // Client role: the server connects and does not listen.
    KrTransceiverServerL0Socket(KrGavetaScheduler2* scheduler, KrJob* transceiver,
                                const std::string& clientName, const std::string& dispatchKey,
                                KrXHeader* requestHeader, const std::string& supervisorId,
                                std::function<bool(KrServerCallback_t&)> callback,
                                const std::string& typeName);
    ~KrTransceiverServerL0Socket() override;

    // Ends the accept loop (and a bind wait at once).
    void stop() override;
    bool _open() override;
    // Stops and joins the accept job, then the base shutdown.
    void _shutdown(KrJob* transceiver) override;
    // Makes the connection object for a new socket (the socket itself goes
    // to the transceiver through _addTCPSocket).
    virtual std::shared_ptr<KrTransceiverConnection> _createConnection(
        KrTransceiver& transceiver, std::string name, KrServerCallback_t& info,
        std::shared_ptr<KrSocketIPvx>& socket);

    // Starts the accept job; always true.
    bool _openSocket();
    // Connects the client-role socket; true when a connection was registered.
    bool _connectSocket();
    // The silence after which its new connections are dropped (tests
    // shorten it; the default is KrTransceiverConnection::kDefaultTimeout).
    void setConnectionTimeLimit(long microseconds);

  protected:
    KrXServerHeader* serverHeader = nullptr;
    std::atomic<bool> acceptRunning;
    unsigned long acceptJobId = 0;
    std::string typeName;
    KrXHeader* requestHeader = nullptr;

    // Ends the accept job and waits for it; idempotent.
    void _stopAccepting();

  private:
    std::atomic<long> _connectionTimeout{KrTransceiverConnection::kDefaultTimeout};
    void _acceptLoop();
    // Hands an accepted peer to the transceiver as a new connection.
    void _admit(std::shared_ptr<KrSocketIPvx>& socket, const KrServerCallback_t& listenerRecord);
    // Guards the bind wait's and the accept wait's wake-ups.
    std::mutex _stopMutex;
    std::condition_variable _stopCondition;
    std::unique_ptr<KrPoller> _acceptPoller;
};
