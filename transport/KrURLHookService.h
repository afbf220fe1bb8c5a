#pragma once
// Carries the outgoing requests of one requesting client to one destination
// through a bounded pool of carriers: client-role protocol servers, each with
// its own outgoing connection. A request goes to an idle carrier, to a new
// carrier while the pool has room, or else waits in a queue until a carrier
// finishes its task. The carrier dispatches the answer to the client; the
// service tells the client when a task is finished, and also when a request
// could not be carried (kind 6 with "refused"), so no requester waits for ever.
//
// New carriers connect on a thread of the service, never on the caller's or
// the message thread and never under the message lock. The connect is bounded
// by the connect time-out (given to the request as its connect limit) and
// ended at once when the service stops; one that fails or runs out of time is
// reported as a refusal.
//
// The message lock guards maxCarriers, carrierFactory, carriers, idleCarriers,
// pendingRequests, _opening, _inFlight and _stopping; _openersMutex guards
// _openers and is taken after the message lock, never before it. Owns its
// carriers together with the transceiver's servers map; the transceiver
// and the scheduler are not owned and outlive the service.

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "transport/KrTransceiverServer.h"

class KrConnectStop;
class KrTransceiver;
class KrXHeader;

// A carrier as its protocol layer makes it, with the layer's open step (the
// server base has none: connecting belongs to the socket layer). The open
// step keeps to the request's connect limit (KrXHeader::setConnectLimit).
struct KrURLHookCarrier_t {
    std::shared_ptr<KrTransceiverServer> server;
    std::function<bool()> open;
};

class KrURLHookService : public KrTransceiverServer {
  public:
    // (scheduler, transceiver, client id, request id, request, service id,
    // callback): one client-role carrier of the request's protocol, not yet
    // connected; its supervisor is the service, its client the requester.
    using CarrierFactory = std::function<KrURLHookCarrier_t(
        KrGavetaScheduler2*, KrJob*, std::string, std::string, std::shared_ptr<KrXHeader>,
        std::string, std::function<bool(KrServerCallback_t&)>)>;

    static constexpr unsigned long kDefaultMaxCarriers = 10;
    static constexpr long kDefaultConnectTimeoutMicroseconds = 10000000;

    KrURLHookService(KrGavetaScheduler2* scheduler, KrJob* transceiver, const std::string& clientId,
                     std::function<bool(KrServerCallback_t&)> callback,
                     CarrierFactory carrierFactory, const std::string& transceiverId);
    // Refuses (and reports) the queued requests, ends the connects in
    // progress and waits for their threads, then leaves the registry.
    ~KrURLHookService() override;

    // Kind 5: a carrier finished its task; kind 1: a carrier was dropped;
    // kind 2: a carrier's connection closed (the carrier leaves the pool, and
    // a request it still carried is reported refused at once).
    bool onMessage(const KrJobMessage& message) override;

    // Hands one request over. Sent through an idle carrier: returns the
    // request (moved out of `request`). Queued, or handed to a new carrier
    // that is still connecting: returns empty, `request` unchanged. Refused
    // (no request, no transceiver, or the service is shutting down): returns
    // the request (moved), `refused` true. A connect that fails later is
    // reported to the client, not here.
    virtual std::shared_ptr<KrXHeader> _hookURL(std::shared_ptr<KrXHeader>& request, bool& refused,
                                                bool atFront);
    // Requests waiting for a carrier.
    virtual unsigned long queuedCount();
    // Requests waiting, connecting or in flight.
    virtual unsigned long pendingCount();

    void setMaxCarriers(unsigned long count);
    void setConnectTimeout(long microseconds);

  private:
    struct InFlight {
        std::string requestId;
        std::string taskName;
        std::string where;  // host:port
    };
    struct Opener {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    // Joins the carrier to the request's task and writes the request.
    void _carry(const std::shared_ptr<KrTransceiverServer>& carrier,
                const std::shared_ptr<KrXHeader>& request);
    void _startOpening(const std::shared_ptr<KrXHeader>& request);
    // Runs on an opener thread: make, connect (bounded), enter, carry.
    void _openCarrier(std::shared_ptr<KrXHeader> request);
    // A freed slot or carrier takes the first queued request.
    void _serveNextPending();
    // Kind 6 to the client: "refused" = the request's id, "error" = reason,
    // "ctask" = its task (when it has one), so the client leaves that task.
    void _reportRefused(KrXHeader& request, const std::string& reason);
    void _reportRefused(const InFlight& request, const std::string& reason);
    // Frees the place a connecting carrier held, reports the refusal and
    // lets the next queued request have the place.
    void _giveUp(KrXHeader& request, const std::string& reason);
    void _reapOpeners();
    // Takes a carrier out of the pool and the transceiver; a request it
    // still carried is reported refused with `why` (given host:port).
    void _dropCarrier(const std::string& name,
                      const std::function<std::string(const std::string&)>& why);
    KrTransceiver* _owner();

    unsigned long maxCarriers = kDefaultMaxCarriers;
    CarrierFactory carrierFactory;
    std::map<std::string, std::shared_ptr<KrTransceiverServer>> carriers;
    std::set<std::string> idleCarriers;
    std::list<std::shared_ptr<KrXHeader>> pendingRequests;
    // Carriers being made and connected; they hold a place in the pool.
    unsigned long _opening = 0;
    // Busy carrier id -> the request it carries, to report it if the carrier
    // is dropped before its task is finished.
    std::map<std::string, InFlight> _inFlight;
    bool _stopping = false;
    std::atomic<long> _connectTimeout{kDefaultConnectTimeoutMicroseconds};
    // Signalled when the service stops: every connect of its carriers ends.
    std::shared_ptr<KrConnectStop> _connectStop;

    std::mutex _openersMutex;
    std::list<Opener> _openers;
    // Set by the destructor when it takes _openers to join them.
    bool _openersClosed = false;
};
