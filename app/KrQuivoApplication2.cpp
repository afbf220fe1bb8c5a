#include "app/KrQuivoApplication2.h"

#include <iostream>
#include <set>
#include <utility>

#include "app/KrPersistentAppStorage.h"
#include "app/KrStringStorage.h"
#include "foundation/KrJob.h"
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
    std::set<KrHTMLKontextN*> owned;
    {
        std::lock_guard<std::recursive_mutex> guard(_kontextMutex);
        for (auto& entry : contexts)
            if (entry.second != nullptr)
                owned.insert(entry.second);
        contexts.clear();
    }
    // A context registered under two ids is deleted once.
    for (KrHTMLKontextN* context : owned)
        _deleteKontext(context);
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
        if (record.protocol == 4) {
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
    KrHTMLKontextN* displaced = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(_kontextMutex);
        displaced = _replaceKontext(context->GetId(), context);
    }
    _deleteKontext(displaced);
    return context;
}

// Caller holds _kontextMutex. Returns the displaced context for the caller to
// delete once the mutex is released (a context waits for its scenarios'
// running actions, which may need that mutex); null when it is the same one
// or still registered under another id, so nothing leaks and nothing is
// freed twice.
KrHTMLKontextN* KrQuivoApplication2::_replaceKontext(const std::string& quivoid,
                                                     KrHTMLKontextN* context) {
    KrHTMLKontextN*& slot = contexts[quivoid];
    KrHTMLKontextN* old = slot;
    slot = context;
    if (old == nullptr || old == context)
        return nullptr;
    for (const auto& entry : contexts)
        if (entry.second == old)
            return nullptr;
    return old;
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
    std::lock_guard<std::recursive_mutex> guard(_kontextMutex);
    return contexts.count(quivoid) != 0;
}

void KrQuivoApplication2::DispatchToKontext(const std::string& quivoid, KrXHeader& request,
                                            KrXResponseHeader& response, std::string command) {
    KrHTMLKontextN* displaced = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(_kontextMutex);
        const auto it = contexts.find(quivoid);
        if (it != contexts.end() && it->second != nullptr)
            _handleGuarded(*it->second, request, response, std::move(command));
        KrKontextReplacement_t& replacement = response.kontextReplacement();
        if (replacement.kontextId == quivoid && replacement.kontext != nullptr) {
            KrHTMLKontextN* next = replacement.kontext;
            replacement.kontext = nullptr;
            displaced = _replaceKontext(quivoid, next);
        }
    }
    _deleteKontext(displaced);
}

void KrQuivoApplication2::HandleKontextRequest(KrHTMLKontextN& kontext, KrXHeader& request,
                                               KrXResponseHeader& response, std::string command) {
    _handleGuarded(kontext, request, response, std::move(command));
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
    if (storage == nullptr)
        return false;
    const std::map<std::string, KrStringStorage> resources = storage->GetResources();
    return resources.count(name) != 0;
}

bool KrQuivoApplication2::ServeResource(const std::string& name, KrXHeader& response) {
    std::map<std::string, KrStringStorage> resources;
    if (storage != nullptr)
        resources = storage->GetResources();
    response.setContent(resources[name].GetContent());
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
    if (event.type == 3) {
        // The listener retries on its own; say why nothing answers meanwhile.
        std::cerr << "cannot listen on port " << valueOr(event.values, "port", "")
                  << " (in use?); trying again" << std::endl;
        return true;
    }
    if (event.type != 4)
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
