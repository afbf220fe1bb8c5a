#include "transport/KrURLHookService.h"

#include "foundation/KrJobMessage.h"

#include <chrono>
#include <utility>

#include "foundation/KrCombinedTask.h"
#include "transport/KrSocketIPvx.h"
#include "transport/KrTransceiver.h"
#include "transport/KrXHeader.h"

namespace {

std::string Where(KrXHeader& request) {
    return request.host() + ":" + std::to_string(request.port());
}

}  // namespace

KrURLHookService::KrURLHookService(KrGavetaScheduler2* scheduler, KrJob* transceiver,
                                   const std::string& clientId,
                                   std::function<bool(KrServerCallback_t&)> callback,
                                   CarrierFactory factory, const std::string& transceiverId)
    : KrTransceiverServer(scheduler, transceiver, clientId, "", transceiverId, std::move(callback)),
      carrierFactory(std::move(factory)),
      _connectStop(std::make_shared<KrConnectStop>()) {
    createJoinedTaskSelf("urlhook_" + id());
    dispatchKey = id();
}

KrURLHookService::~KrURLHookService() {
    std::list<std::shared_ptr<KrXHeader>> waiting;
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        _stopping = true;
        waiting.swap(pendingRequests);
    }
    for (const auto& request : waiting)
        _reportRefused(*request, "the request was still waiting when its service stopped");
    // No opener starts after _stopping; those running end their connect now.
    _connectStop->signal();
    std::list<Opener> running;
    {
        std::lock_guard<std::mutex> guard(_openersMutex);
        _openersClosed = true;
        running.swap(_openers);
    }
    for (Opener& opener : running)
        opener.thread.join();
    _shutdown(transceiver);
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    idleCarriers.clear();
    carriers.clear();
    carrierFactory = nullptr;
}

KrTransceiver* KrURLHookService::_owner() {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    return dynamic_cast<KrTransceiver*>(transceiver.load());
}

std::shared_ptr<KrXHeader> KrURLHookService::_hookURL(std::shared_ptr<KrXHeader>& request,
                                                      bool& refused, bool atFront) {
    std::unique_lock<std::recursive_mutex> lock(_messageLock);
    if (!request || transceiver == nullptr || _stopping) {
        refused = true;
        return std::move(request);
    }
    refused = false;
    std::shared_ptr<KrTransceiverServer> carrier;
    while (!idleCarriers.empty() && !carrier) {
        const std::string name = *idleCarriers.begin();
        idleCarriers.erase(idleCarriers.begin());
        const auto it = carriers.find(name);
        if (it == carriers.end())
            continue;
        if (it->second->isTimedOut())
            carriers.erase(it);
        else
            carrier = it->second;
    }
    if (carrier) {
        _inFlight[carrier->id()] = InFlight{request->id(), request->taskName(), Where(*request)};
        lock.unlock();
        _carry(carrier, request);
        return std::move(request);
    }
    if (carriers.size() + _opening >= maxCarriers) {
        pendingRequests.insert(atFront ? pendingRequests.begin() : pendingRequests.end(), request);
        return {};
    }
    // The place in the pool is taken now, so the limit holds while connecting.
    ++_opening;
    lock.unlock();
    _startOpening(request);
    return {};
}

void KrURLHookService::_carry(const std::shared_ptr<KrTransceiverServer>& carrier,
                              const std::shared_ptr<KrXHeader>& request) {
    carrier->joinTask(request->taskName());
    if (carrier->_sendRequest(request.get()))
        return;
    // A carrier whose connection died refuses; it leaves the pool.
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        _inFlight.erase(carrier->id());
        idleCarriers.erase(carrier->id());
        carriers.erase(carrier->id());
    }
    _reportRefused(*request,
                   "the connection to " + request->host() + " could not take the request");
    _serveNextPending();
}

void KrURLHookService::_startOpening(const std::shared_ptr<KrXHeader>& request) {
    {
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard<std::mutex> guard(_openersMutex);
        _reapOpeners();
        if (!_openersClosed) {
            _openers.push_back(Opener{std::thread([this, request, done] {
                                          _openCarrier(request);
                                          done->store(true);
                                      }),
                                      done});
            return;
        }
    }
    // The destructor has taken the openers to join: none may start now.
    _giveUp(*request, "the service stopped before connecting");
}

void KrURLHookService::_reapOpeners() {
    for (auto it = _openers.begin(); it != _openers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = _openers.erase(it);
        } else {
            ++it;
        }
    }
}

void KrURLHookService::_openCarrier(std::shared_ptr<KrXHeader> request) {
    CarrierFactory factory;
    KrJob* owner = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        owner = transceiver;
        if (!_stopping)
            factory = carrierFactory;
    }
    KrURLHookCarrier_t made;
    if (factory && owner != nullptr)
        made = factory(scheduler, owner, clientName, request->id(), request, id(), callback);
    const std::string where = Where(*request);
    if (!made.server || !made.open) {
        _giveUp(*request, "no carrier for " + where);
        return;
    }
    // The connect itself keeps to the time-out and ends when the service
    // stops, so this thread, and the destructor that joins it, never wait
    // for the system to give up on a host that does not answer.
    const long timeout = _connectTimeout.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeout);
    request->setConnectLimit(deadline, _connectStop);
    // Registered before it connects: its connection is entered with its
    // server known.
    KrTransceiver* registry = _owner();
    if (registry != nullptr)
        registry->registerServer(made.server);
    bool connected = false;
    std::string error;
    try {
        connected = made.open();
    } catch (const std::exception& failure) {
        error = std::string(": ") + failure.what();
    }
    if (!connected) {
        if (registry != nullptr)
            registry->removeServer(made.server->id());
        if (_connectStop->signalled())
            _giveUp(*request, "the service stopped while connecting to " + where);
        else if (error.empty() && std::chrono::steady_clock::now() >= deadline)
            _giveUp(*request, "connecting to " + where + " took longer than " +
                                  std::to_string(timeout / 1000) + " ms");
        else
            _giveUp(*request, "cannot connect to " + where + error);
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        --_opening;
        if (_stopping) {
            if (registry != nullptr)
                registry->removeServer(made.server->id());
            _reportRefused(*request, "the service stopped while connecting");
            return;
        }
        carriers[made.server->id()] = made.server;
        _inFlight[made.server->id()] = InFlight{request->id(), request->taskName(), where};
    }
    _carry(made.server, request);
}

void KrURLHookService::_giveUp(KrXHeader& request, const std::string& reason) {
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        --_opening;
    }
    _reportRefused(request, reason);
    _serveNextPending();
}

void KrURLHookService::_serveNextPending() {
    std::shared_ptr<KrXHeader> next;
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        if (pendingRequests.empty() || _stopping)
            return;
        if (idleCarriers.empty() && carriers.size() + _opening >= maxCarriers)
            return;
        next = std::move(pendingRequests.front());
        pendingRequests.pop_front();
    }
    bool refused = false;
    std::shared_ptr<KrXHeader> result = _hookURL(next, refused, true);
    if (refused && result)
        _reportRefused(*result, "the request could not be carried");
}

void KrURLHookService::_reportRefused(KrXHeader& request, const std::string& reason) {
    _reportRefused(InFlight{request.id(), request.taskName(), Where(request)}, reason);
}

void KrURLHookService::_reportRefused(const InFlight& request, const std::string& reason) {
    KrJobMessage message(id(), 6, "");
    // Without a task name there is nothing to leave: an empty "ctask" would
    // make the client leave whatever task it has joined.
    if (!request.taskName.empty())
        message.values["ctask"] = request.taskName;
    message.values["refused"] = request.requestId;
    message.values["error"] = reason;
    KrCombinedTask::global().post(clientName, message);
}

bool KrURLHookService::onMessage(const KrJobMessage& message) {
    if (message.kind == KR_MESSAGE_TIMED_OUT) {
        _dropCarrier(message.a, [](const std::string&) {
            return std::string("the connection timed out before the answer came");
        });
        return true;
    }
    if (message.kind == KR_MESSAGE_CONNECTION_GONE) {
        // Sent by the carrier after it served every byte that came before
        // the close: an answer that came whole has finished its task by now.
        _dropCarrier(message.a, [](const std::string& where) {
            return "the connection to " + where + " closed before the answer came";
        });
        return true;
    }
    if (message.kind == KR_MESSAGE_TASK_FINISHED) {
        std::unique_lock<std::recursive_mutex> lock(_messageLock);
        if (message.values.count("ctask") != 0) {
            KrJobMessage finished(id(), 6, "");
            finished.values = message.values;
            KrCombinedTask::global().post(clientName, finished);
        }
        if (carriers.count(message.a) == 0)
            return true;
        idleCarriers.insert(message.a);
        _inFlight.erase(message.a);
        lock.unlock();
        // Reusing the idle carrier never connects, so this is safe on the
        // message thread; a new carrier would connect on an opener thread.
        _serveNextPending();
    }
    return true;
}

void KrURLHookService::_dropCarrier(const std::string& name,
                                    const std::function<std::string(const std::string&)>& why) {
    if (KrTransceiver* owner = _owner())
        owner->removeServer(name);
    // Released after the lock: the carrier's end waits for its own jobs.
    std::shared_ptr<KrTransceiverServer> carrier;
    InFlight lost;
    bool wasBusy = false;
    {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        const auto it = carriers.find(name);
        if (it == carriers.end())
            return;
        carrier = std::move(it->second);
        carriers.erase(it);
        idleCarriers.erase(name);
        const auto busy = _inFlight.find(name);
        if (busy != _inFlight.end()) {
            lost = busy->second;
            wasBusy = true;
            _inFlight.erase(busy);
        }
    }
    // The carrier went before its answer came: its requester is told.
    if (wasBusy)
        _reportRefused(lost, why(lost.where));
    _serveNextPending();
}

unsigned long KrURLHookService::queuedCount() {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    return pendingRequests.size();
}

unsigned long KrURLHookService::pendingCount() {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    return pendingRequests.size() + carriers.size() - idleCarriers.size() + _opening;
}

void KrURLHookService::setMaxCarriers(unsigned long count) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    maxCarriers = count;
}

void KrURLHookService::setConnectTimeout(long microseconds) {
    _connectTimeout.store(microseconds);
}
