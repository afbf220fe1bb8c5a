#pragma once
// The running application: owns the thread pool, the network transport and
// the browser launcher, keeps the listener list and options that start-up
// built, opens one web server per listener and holds the page contexts of
// all open pages under their "quivoid". Applications derive from it and
// override its virtual operations (CreateKontext above all).
//
// Owns the contexts it holds (also those handed to AddKontext or set as a
// replacement); the storage belongs to the viewport.
//   _kontextMutex  guards the context registry (`contexts`, the use order,
//                  the registrations, the retired contexts, the limits);
//                  held while a context handles a request
//   _optionsMutex  guards `options` (the server callback writes it on the
//                  listener's thread)
// Contexts expire: one that no request has named for the idle limit, and
// whose scenarios have no action under way, is deleted, and past the cap the
// least recently named ones go first. Expiry runs when a context is made or
// named (AddKontext, DispatchToKontext, HasKontext), so it needs no thread.
// Contexts are deleted outside _kontextMutex, by the outermost holder on its
// way out: a context waits for its scenarios' running actions, and those may
// take the mutex.
// Shutdown: Stop (called by the front end through the viewport) or else the
// destructor stops the transport, so no request can reach the application
// any more, then the destructor deletes the contexts, then the scheduler goes.

#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/KrHTMLKontextN.h"
#include "app/KrIntention.h"
#include "app/KrListenerRecord.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrUniqueIdSource.h"
#include "transport/KrServerCallback_t.h"
#include "transport/KrWebApplication.h"

class KrPersistentAppStorage;
class KrTransceiver;
class KrXHeader;
class KrXResponseHeader;

class KrQuivoApplication2 : public KrWebApplication {
  public:
    KrQuivoApplication2(KrPersistentAppStorage* storage, std::vector<KrListenerRecord> listeners,
                        std::map<std::string, std::string> options);
    ~KrQuivoApplication2() override;
    KrQuivoApplication2(const KrQuivoApplication2&) = delete;
    KrQuivoApplication2& operator=(const KrQuivoApplication2&) = delete;

    virtual void Init();
    // Opens one server per listener record; returns at once (the servers
    // report through the server callback when they listen).
    virtual void Run();
    // Takes the transport down (servers, connections, their request jobs):
    // nothing reaches the application afterwards, so the destructor of a
    // derived application runs with no request in flight. GetTransceiver
    // then answers null. Main thread only; a second call does nothing.
    virtual void Stop();
    // The context for a request to the command URL; none here.
    KrHTMLKontextN* CreateKontext(const std::string& name) override;
    // Registers the context under its id and takes it over; null changes nothing.
    virtual KrHTMLKontextN* AddKontext(KrHTMLKontextN* context);
    virtual std::string MakeUniqueId(const std::string& prefix);
    virtual KrPersistentAppStorage* GetStorage();
    // Launches a browser on protocol://address:port; an empty address with
    // port 0 means the first listener.
    virtual void OpenBrowser(std::string& address, int port, const std::string& protocol);
    virtual bool HasKontext(const std::string& quivoid);
    // How long a context may go unnamed before it is deleted (once its
    // scenarios have no action under way); 0 keeps contexts until the
    // application goes. 30 minutes unless set.
    void SetKontextIdleLimit(std::chrono::milliseconds limit);
    // How many contexts may live at once: past it the least recently named
    // go first (one whose scenarios have an action under way, or that has
    // not yet handled its first request, is passed over); 0 sets no cap.
    // 10,000 unless set.
    void SetMaxKontexts(size_t count);
    // Hands a request to the context registered under quivoid, if any.
    void DispatchToKontext(const std::string& quivoid, KrXHeader& request,
                           KrXResponseHeader& response, std::string command) override;
    // The context CreateKontext made handles the command-URL request.
    void HandleKontextRequest(KrHTMLKontextN& kontext, KrXHeader& request,
                              KrXResponseHeader& response, std::string command) override;
    // Whether the storage holds a resource of that name (`header` is unused).
    bool HasResource(const std::string& name, KrXHeader& header) override;
    // Answers with the resource's content (status 200, ready); always true.
    bool ServeResource(const std::string& name, KrXHeader& response) override;
    virtual KrTransceiver* GetTransceiver();
    virtual KrGavetaScheduler2* GetScheduler();
    virtual std::map<std::string, std::string> GetOptions();

    // What servers report: access lines are printed; an open http(s)
    // listener's address and port go into the options and, unless
    // "no_browser_popup" is set, a browser is started on its URL.
    bool _onServerEvent(KrServerCallback_t& event);

  private:
    using Clock = std::chrono::steady_clock;
    // Holds _kontextMutex for a scope; see the top of this file.
    class KontextScope;
    // One id in the use order, with when it was last named.
    struct KontextUse {
        std::string id;
        Clock::time_point at;
    };
    struct KontextEntry {
        KrHTMLKontextN* context = nullptr;
        std::list<KontextUse>::iterator use;
    };
    // Per registered context.
    struct KontextHold {
        // Ids it is registered under; it is deleted when the last one goes.
        size_t ids = 0;
        // Registered and not yet asked to handle a request: the web client
        // lets the context made for the command URL handle its first
        // request outside _kontextMutex, so it must not be deleted before.
        bool waiting = true;
    };

    void _openBrowserOn(const std::string& url);
    void _stopTransport();
    // The four below: caller holds _kontextMutex.
    void _register(const std::string& id, KrHTMLKontextN* context, bool waiting,
                   Clock::time_point now);
    void _unregister(std::map<std::string, KontextEntry>::iterator entry);
    void _touch(KontextEntry& entry, Clock::time_point now);
    void _expire(Clock::time_point now);
    void _deleteKontext(KrHTMLKontextN* context);
    void _handleGuarded(KrHTMLKontextN& kontext, KrXHeader& request, KrXResponseHeader& response,
                        std::string command);

    KrGavetaScheduler2 scheduler;
    KrIntention intention;
    // Held by pointer only so that the destructor can stop it first.
    std::unique_ptr<KrTransceiver> transceiver;
    KrPersistentAppStorage* storage;
    std::vector<KrListenerRecord> listeners;
    std::mutex _optionsMutex;
    std::map<std::string, std::string> options;
    std::recursive_mutex _kontextMutex;
    std::map<std::string, KontextEntry> contexts;
    // Least recently named first.
    std::list<KontextUse> _kontextUse;
    std::unordered_map<KrHTMLKontextN*, KontextHold> _kontextHolds;
    // No longer registered; deleted when the outermost scope ends.
    std::vector<KrHTMLKontextN*> _retired;
    // Nested KontextScopes of the thread that holds _kontextMutex.
    int _kontextDepth = 0;
    std::chrono::milliseconds _kontextIdleLimit = std::chrono::minutes(30);
    size_t _maxKontexts = 10000;
    KrUniqueIdSource idSource{"id"};
};
