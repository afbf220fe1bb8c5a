#include "app/KrQuivoApplication2.h"

#include <iostream>
#include <utility>

#include "app/KrPersistentAppStorage.h"
#include "app/KrStringStorage.h"
#include "foundation/KrJob.h"
#include "foundation/KrURL.h"
#include "transport/KrTransceiver.h"
#include "transport/KrTransceiverClient.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"
#include "transport/KrXServerHeader.h"

namespace {

std::string valueOr(const std::map<std::string, std::string>& map, const std::string& key,
                    const std::string& fallback) {
    const auto it = map.find(key);
    return it == map.end() ? fallback : it->second;
}

}  // namespace

// Contexts retired while the scope (or one nested in it) held the mutex are
// deleted when the outermost scope of the thread ends, after it released the
// mutex.
class KrQuivoApplication2::KontextScope {
  public:
    explicit KontextScope(KrQuivoApplication2& app) : _app(app) {
        _app._kontextMutex.lock();
        ++_app._kontextDepth;
    }
    ~KontextScope() {
        std::vector<KrHTMLKontextN*> retired;
        if (--_app._kontextDepth == 0)
            retired.swap(_app._retired);
        _app._kontextMutex.unlock();
        for (KrHTMLKontextN* context : retired)
            _app._deleteKontext(context);
    }
    KontextScope(const KontextScope&) = delete;
    KontextScope& operator=(const KontextScope&) = delete;

  private:
    KrQuivoApplication2& _app;
};

KrQuivoApplication2::KrQuivoApplication2(KrPersistentAppStorage* storage,
                                         std::vector<KrListenerRecord> listeners,
                                         std::map<std::string, std::string> options)
    : intention(&scheduler),
      transceiver(std::make_unique<KrTransceiver>(&scheduler)),
      storage(storage),
      listeners(std::move(listeners)),
      options(std::move(options)) {
    for (KrListenerRecord& record : this->listeners)
        record.client.reset();
}

KrQuivoApplication2::~KrQuivoApplication2() {
    // The transport goes first: once it is down no server thread can hand a
    // request to a context or write the options while they are freed.
    _stopTransport();
    KontextScope scope(*this);
    // Each context once, however many ids it is registered under.
    for (const auto& [context, hold] : _kontextHolds)
        _retired.push_back(context);
    _kontextHolds.clear();
    contexts.clear();
    _kontextUse.clear();
}

// Called without _kontextMutex. The context's scenarios end first, while the
// whole context (a derived one too) still stands: their running actions may
// use it, and its destructors would otherwise change it under them.
void KrQuivoApplication2::_deleteKontext(KrHTMLKontextN* context) {
    if (context == nullptr)
        return;
    context->GetUpdateRegistry().DeleteScenarios();
    delete context;
}

void KrQuivoApplication2::Init() {}

void KrQuivoApplication2::Run() {
    if (!transceiver)
        return;  // stopped
    std::map<std::string, std::string> optionsCopy = GetOptions();
    for (KrListenerRecord& record : listeners) {
        auto callback = [this](KrServerCallback_t& event) { return _onServerEvent(event); };
        auto client = std::make_shared<KrTransceiverClient>(callback, optionsCopy, this);
        record.client = transceiver->addClient(client);
        auto header = std::make_shared<KrXServerHeader>(1, record.protocol);
        header->setParameter("tcp_port", std::to_string(static_cast<unsigned>(record.port)));
        header->setParameter("tcp_address", record.address);
        if (record.protocol == KR_PROTOCOL_HTTPS) {
            header->setParameter("cacertificate", record.option("cacertificate", "cacert.pem"));
            header->setParameter("privatekey", record.option("privatekey", "privkey.pem"));
        }
        if (record.client)
            record.client->openServer(header);
    }
}

void KrQuivoApplication2::Stop() {
    _stopTransport();
}

// A derived application's destructor would otherwise run while request jobs
// still call its virtual operations.
void KrQuivoApplication2::_stopTransport() {
    transceiver.reset();
    for (KrListenerRecord& record : listeners)
        record.client.reset();
}

KrHTMLKontextN* KrQuivoApplication2::CreateKontext(const std::string&) {
    return nullptr;
}

KrHTMLKontextN* KrQuivoApplication2::AddKontext(KrHTMLKontextN* context) {
    if (context == nullptr)
        return nullptr;
    const Clock::time_point now = Clock::now();
    KontextScope scope(*this);
    _register(context->GetId(), context, true, now);
    _expire(now);
    return context;
}

// Puts `context` under `id` as the most recently named. A different context
// displaced from there is retired unless another id still holds it, so
// nothing leaks and nothing is freed twice.
void KrQuivoApplication2::_register(const std::string& id, KrHTMLKontextN* context, bool waiting,
                                    Clock::time_point now) {
    const auto [it, made] = contexts.try_emplace(id);
    KontextEntry& entry = it->second;
    if (made) {
        entry.use = _kontextUse.insert(_kontextUse.end(), KontextUse{id, now});
    } else {
        _touch(entry, now);
        if (entry.context != context) {
            const auto old = _kontextHolds.find(entry.context);
            if (--old->second.ids == 0) {
                _kontextHolds.erase(old);
                _retired.push_back(entry.context);
            }
        }
    }
    const bool again = entry.context == context;
    entry.context = context;
    const auto [hold, first] = _kontextHolds.try_emplace(context);
    if (!again)
        ++hold->second.ids;
    // A context that already handled a request waits for nothing.
    hold->second.waiting = first ? waiting : hold->second.waiting && waiting;
}

void KrQuivoApplication2::_unregister(std::map<std::string, KontextEntry>::iterator entry) {
    KrHTMLKontextN* context = entry->second.context;
    _kontextUse.erase(entry->second.use);
    contexts.erase(entry);
    const auto hold = _kontextHolds.find(context);
    if (--hold->second.ids == 0) {
        _kontextHolds.erase(hold);
        _retired.push_back(context);
    }
}

void KrQuivoApplication2::_touch(KontextEntry& entry, Clock::time_point now) {
    entry.use->at = now;
    _kontextUse.splice(_kontextUse.end(), _kontextUse, entry.use);
}

// Retires contexts from the least recently named on while there are more
// than the cap or the oldest went unnamed for the idle limit. One that can't
// go yet (waiting for its first request, or a scenario of it has an action
// under way) counts as named now; once every context had that turn, the
// rest stay, over the cap if need be, until those actions end.
void KrQuivoApplication2::_expire(Clock::time_point now) {
    size_t passedOver = 0;
    while (!_kontextUse.empty()) {
        const bool over = _maxKontexts != 0 && contexts.size() > _maxKontexts;
        const bool idle =
            _kontextIdleLimit.count() != 0 && now - _kontextUse.front().at >= _kontextIdleLimit;
        if (!over && !idle)
            return;
        const auto entry = contexts.find(_kontextUse.front().id);
        KrHTMLKontextN* context = entry->second.context;
        // A waiting context may be handling its first request on another
        // thread right now: it is not looked into.
        if (_kontextHolds[context].waiting || context->GetUpdateRegistry().ScenariosUnderWay()) {
            if (++passedOver > contexts.size())
                return;
            _touch(entry->second, now);
            continue;
        }
        _unregister(entry);
    }
}

void KrQuivoApplication2::SetKontextIdleLimit(std::chrono::milliseconds limit) {
    const Clock::time_point now = Clock::now();
    KontextScope scope(*this);
    _kontextIdleLimit = limit.count() > 0 ? limit : std::chrono::milliseconds(0);
    _expire(now);
}

void KrQuivoApplication2::SetMaxKontexts(size_t count) {
    const Clock::time_point now = Clock::now();
    KontextScope scope(*this);
    _maxKontexts = count;
    _expire(now);
}

std::string KrQuivoApplication2::MakeUniqueId(const std::string& prefix) {
    return KrJob::makeUniqueName(idSource.lock, prefix);
}

KrPersistentAppStorage* KrQuivoApplication2::GetStorage() {
    return storage;
}

void KrQuivoApplication2::OpenBrowser(std::string& address, int port, const std::string& protocol) {
    if (address.empty() && port == 0 && !listeners.empty()) {
        address = listeners.front().address;
        port = listeners.front().port;
    }
    _openBrowserOn(protocol + "://" + address + ":" + std::to_string(port));
}

void KrQuivoApplication2::_openBrowserOn(const std::string& url) {
    if (!intention.RunApplication(url, "text/html"))
        std::cout << "\nplease, open document at " << url << "\n" << std::endl;
}

bool KrQuivoApplication2::HasKontext(const std::string& quivoid) {
    const Clock::time_point now = Clock::now();
    KontextScope scope(*this);
    _expire(now);
    return contexts.count(quivoid) != 0;
}

void KrQuivoApplication2::DispatchToKontext(const std::string& quivoid, KrXHeader& request,
                                            KrXResponseHeader& response, std::string command) {
    const Clock::time_point now = Clock::now();
    KontextScope scope(*this);
    // Expired first: a context that went unnamed too long is gone, also for
    // a request that names it now.
    _expire(now);
    const auto it = contexts.find(quivoid);
    if (it != contexts.end()) {
        _touch(it->second, now);
        KrHTMLKontextN* context = it->second.context;
        _kontextHolds[context].waiting = false;
        _handleGuarded(*context, request, response, std::move(command));
    }
    KrKontextReplacement_t& replacement = response.kontextReplacement();
    if (replacement.kontextId == quivoid && replacement.kontext != nullptr) {
        KrHTMLKontextN* next = replacement.kontext;
        replacement.kontext = nullptr;
        // It takes over a context that requests reach under the mutex.
        _register(quivoid, next, false, now);
    }
}

void KrQuivoApplication2::HandleKontextRequest(KrHTMLKontextN& kontext, KrXHeader& request,
                                               KrXResponseHeader& response, std::string command) {
    _handleGuarded(kontext, request, response, std::move(command));
    KontextScope scope(*this);
    const auto hold = _kontextHolds.find(&kontext);
    if (hold != _kontextHolds.end())
        hold->second.waiting = false;
}

// A context that throws must not take the server's request job with it: the
// error is reported and the request counts as not answered by the context.
void KrQuivoApplication2::_handleGuarded(KrHTMLKontextN& kontext, KrXHeader& request,
                                         KrXResponseHeader& response, std::string command) {
    try {
        kontext.HandleRequest(request, response, std::move(command));
    } catch (const std::exception& error) {
        std::cerr << "page context '" << kontext.GetId() << "' failed on " << request.path()
                  << ": " << error.what() << std::endl;
    } catch (...) {
        std::cerr << "page context '" << kontext.GetId() << "' failed on " << request.path()
                  << std::endl;
    }
}

bool KrQuivoApplication2::HasResource(const std::string& name, KrXHeader&) {
    return storage != nullptr && storage->LookUpResource(name);
}

bool KrQuivoApplication2::ServeResource(const std::string& name, KrXHeader& response) {
    // A resource removed since HasResource said yes is served empty.
    std::string content;
    if (storage != nullptr)
        storage->LookUpResource(name, &content);
    response.setContent(content);
    return true;
}

KrTransceiver* KrQuivoApplication2::GetTransceiver() {
    return transceiver.get();
}

KrGavetaScheduler2* KrQuivoApplication2::GetScheduler() {
    return &scheduler;
}

std::map<std::string, std::string> KrQuivoApplication2::GetOptions() {
    std::lock_guard<std::mutex> guard(_optionsMutex);
    return options;
}

bool KrQuivoApplication2::_onServerEvent(KrServerCallback_t& event) {
    KrTransceiver::printLogging(event);
    if (event.type == KR_EVENT_BIND_FAILED) {
        // The listener retries on its own; say why nothing answers meanwhile.
        std::cerr << "cannot listen on port " << valueOr(event.values, "port", "")
                  << " (in use?); trying again" << std::endl;
        return true;
    }
    if (event.type != KR_EVENT_LISTENING)
        return true;
    const std::string address = valueOr(event.values, "address", "");
    const std::string port = valueOr(event.values, "port", "");
    const std::string protocol = valueOr(event.values, "protocolstring", "");
    std::string url;
    {
        std::lock_guard<std::mutex> guard(_optionsMutex);
        std::string commandUrl = valueOr(options, "_app_context_commandurl", "");
        if (commandUrl.empty())
            commandUrl = "/";
        if (protocol == "http" || protocol == "https") {
            options["tcp_port_" + protocol] = port;
            options["tcp_address_" + protocol] = address;
        }
        if (valueOr(options, "no_browser_popup", "").empty() && protocol == "http" &&
            !address.empty() && !port.empty())
            url = protocol + "://" + address + ":" + port + commandUrl;
    }
    if (!url.empty())
        _openBrowserOn(url);
    return true;
}
