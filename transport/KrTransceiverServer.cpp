#include "transport/KrTransceiverServer.h"

#include <iostream>

#include "foundation/KrCombinedTask.h"
#include "foundation/KrJobMessage.h"
#include "foundation/KrURL.h"
#include "transport/KrXHeader.h"

KrTransceiverServer::KrTransceiverServer(KrGavetaScheduler2* scheduler, KrJob* transceiver,
                                         const std::string& clientName,
                                         const std::string& dispatchKey,
                                         const std::string& supervisorId,
                                         std::function<bool(KrServerCallback_t&)> callback)
    : KrJobWithTimeout(kTimeout),
      transceiver(transceiver),
      clientName(clientName),
      dispatchKey(dispatchKey),
      scheduler(scheduler),
      supervisorId(supervisorId),
      callback(std::move(callback)) {
    // Owning a task enters the server in the job registry, which is what
    // makes it reachable by messages under its id.
    createJoinedTaskSelf("server_" + clientName);
}

KrTransceiverServer::~KrTransceiverServer() {
    // First out of the registry: no message may reach a half-destroyed server.
    _leaveRegistry();
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    _stopBufferJob();
    if (callback) {
        KrServerCallback_t record;
        record.type = KR_EVENT_SERVER_GONE;
        record.values["ID"] = id();
        record.values["roll"] = listening ? "server" : "client";
        try {
            callback(record);
        } catch (...) {
            // A destructor cannot pass the application's error on.
        }
    }
}

bool KrTransceiverServer::onMessage(const KrJobMessage& message) {
    if (message.kind == KR_MESSAGE_SERVER_DROPPED)
        const_cast<KrJobMessage&>(message).list.push_back(connectionId);
    return true;
}

bool KrTransceiverServer::isTimedOut() {
    return !listening && KrJobWithTimeout::isTimedOut();
}

void KrTransceiverServer::_bufferworkfunction(std::string, std::string) {}

bool KrTransceiverServer::_sendResponse(std::string, KrXHeader* message) {
    if (message != nullptr)
        leaveTask(message->taskName());
    return false;
}

void KrTransceiverServer::stop() {
    std::cout << "KrTransceiverServer::stop()" << std::endl;
}

bool KrTransceiverServer::_attachTransceiver(KrJob* job) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    if (transceiver != nullptr)
        return false;
    transceiver = job;
    return true;
}

void KrTransceiverServer::_detachTransceiver(KrJob* job) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    if (transceiver == job)
        transceiver = nullptr;
}

void KrTransceiverServer::_bufferSignaled(const std::string&) {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    waitCondition.notify_all();
}

void KrTransceiverServer::_shutdown(KrJob* job) {
    // No message may start a new piece of work from here on.
    _leaveRegistry();
    _stopBufferJob();
    _detachTransceiver(job);
}

std::string KrTransceiverServer::getSupervisorId() {
    std::lock_guard<std::recursive_mutex> guard(_messageLock);
    return supervisorId;
}

size_t KrTransceiverServer::queuedSignals() {
    std::lock_guard<KrAdaptiveRecursiveMutex> guard(queueLock);
    return queue.size();
}

namespace {

// The server whose buffer-process job runs on this thread, and which of its
// jobs it is, so a shutdown on that thread never waits for itself.
thread_local const KrTransceiverServer* tBufferServer = nullptr;
thread_local size_t tBufferIndex = 0;

// The client name of the pair _connectionGone queues; no client has it.
const std::string& GoneMark() {
    static const std::string mark("\0connection gone", 16);
    return mark;
}

}  // namespace

void KrTransceiverServer::_connectionGone(const std::string& connection) {
    _insert_bufferSignaled(connection, GoneMark());
}

void KrTransceiverServer::_insert_bufferSignaled(std::string connection, std::string client) {
    {
        std::lock_guard<KrAdaptiveRecursiveMutex> guard(queueLock);
        queue.emplace_back(std::move(connection), std::move(client));
    }
    {
        // Set under the mutex the job waits with, so the wake-up cannot fall
        // between the job's test and its wait.
        std::lock_guard<std::mutex> guard(waitMutex);
        signalled.store(true);
    }
    // One pair needs one worker; a worker that finds more wakes the next.
    if (_bufferWorkers > 1)
        waitCondition.notify_one();
    else
        waitCondition.notify_all();
    // Started once per server; a job that has ended (or a server shut down)
    // is not started again. The lock keeps a start and a shutdown apart; once
    // the id is set it is never 0 again, so the lock is taken only until then.
    if (bufferJobId.load() != 0)
        return;
    std::lock_guard<std::mutex> start(_jobStartLock);
    if (bufferJobId.load() != 0)
        return;
    running.store(true);
    bufferJobId.store(_startBufferJob());
    for (size_t i = 1; i < _bufferWorkers; ++i)
        _moreBufferJobs.push_back(_startBufferJob());
}

unsigned long KrTransceiverServer::_startBufferJob() {
    KrGavetaJobAtttributes attributes;
    attributes._jo_name = "KrTransceiverServer_bufferprocess" + id();
    attributes._jo_stop = [this] {
        {
            std::lock_guard<std::mutex> guard(waitMutex);
            running.store(false);
        }
        waitCondition.notify_all();
    };
    const size_t index = _moreBufferJobs.size() + (bufferJobId.load() == 0 ? 0 : 1);
    return scheduler->addJob(
        [this, index](KrGavetaJobParametersAndResult* parameters) {
            tBufferServer = this;
            tBufferIndex = index;
            _bufferProcess();
            tBufferServer = nullptr;
            return parameters;
        },
        nullptr, attributes);
}

void KrTransceiverServer::_bufferProcess() {
    for (;;) {
        {
            std::unique_lock<std::mutex> wait(waitMutex);
            waitCondition.wait(wait, [this] { return signalled.load() || !running.load(); });
            if (!running.load())
                break;
            signalled.store(false);
        }
        for (;;) {
            std::pair<std::string, std::string> pair;
            bool more = false;
            {
                std::lock_guard<KrAdaptiveRecursiveMutex> guard(queueLock);
                if (queue.empty())
                    break;
                pair = std::move(queue.front());
                queue.pop_front();
                more = _bufferWorkers > 1 && !queue.empty();
            }
            if (more) {
                // One pair is taken: another worker takes the next.
                {
                    std::lock_guard<std::mutex> guard(waitMutex);
                    signalled.store(true);
                }
                waitCondition.notify_one();
            }
            if (pair.second == GoneMark()) {
                KrCombinedTask::global().post(
                    getSupervisorId(), KrJobMessage(id(), KR_MESSAGE_CONNECTION_GONE, pair.first));
            } else {
                restartTimer();
                _bufferworkfunction(pair.first, pair.second);
            }
            if (!running.load())
                break;
        }
    }
}

void KrTransceiverServer::_stopBufferJob() {
    unsigned long first;
    std::vector<unsigned long> jobs;
    {
        // From here on no job starts: a never-started one is kept from starting.
        std::lock_guard<std::mutex> start(_jobStartLock);
        first = bufferJobId.exchange(kNoMoreJobs);
        jobs.swap(_moreBufferJobs);
    }
    if (first == 0 || first == kNoMoreJobs)
        return;
    {
        std::lock_guard<std::mutex> guard(waitMutex);
        running.store(false);
    }
    waitCondition.notify_all();
    jobs.insert(jobs.begin(), first);
    for (size_t i = 0; i < jobs.size(); ++i) {
        // A job that lets go of its own server ends when it returns.
        if (tBufferServer == this && tBufferIndex == i)
            continue;
        scheduler->waitJobDone(jobs[i]);
        delete scheduler->takeResult(jobs[i]);
    }
}

bool KrTransceiverServer::_sendRequest(KrXHeader* message) {
    if (listening || message == nullptr)
        return false;
    if (message->direction() == KR_DIRECTION_REQUEST) {
        std::lock_guard<std::recursive_mutex> guard(_messageLock);
        dispatchKey = message->id();
    }
    // The base _sendResponse leaves the task and refuses, as a base server must.
    return _sendResponse(connectionId, message);
}
