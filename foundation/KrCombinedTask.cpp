#include "foundation/KrCombinedTask.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include "foundation/KrJob.h"

namespace {

// A receiver busy in its own message lock is retried after a timed wait that
// doubles up to the cap: no spinning, and a freed lock is seen within ~1 ms.
constexpr std::chrono::microseconds kFirstRetry{20};
constexpr std::chrono::microseconds kLongestRetry{1000};

KrCombinedTask& buildRegistry() {
    // The name sources and the common error name are completed first, so they
    // are destroyed after the registry (reverse order of completion).
    KrUniqueIdSource::joinedTaskNames();
    KrUniqueIdSource::jobIds();
    KrJob::commonErrorTask();
    static KrCombinedTask registry;
    return registry;
}

// Builds the registry, and starts its message thread, before main.
[[maybe_unused]] const bool g_registryBuiltBeforeMain = (KrCombinedTask::global(), true);

}  // namespace

KrCombinedTask& KrCombinedTask::global() {
    static KrCombinedTask& registry = buildRegistry();
    return registry;
}

KrCombinedTask::KrCombinedTask() {
    _thread = std::thread(&KrCombinedTask::_run, this);
}

KrCombinedTask::~KrCombinedTask() {
    {
        std::lock_guard<std::mutex> queue(_queueLock);
        _stop = true;
    }
    _wake.notify_all();
    if (_thread.joinable()) {
        // A handler that ends the process runs this on the message thread itself.
        if (_thread.get_id() == std::this_thread::get_id()) {
            _thread.detach();
        } else {
            _thread.join();
        }
    }
}

std::string KrCombinedTask::createJoinedTask(KrJob* owner, const std::string& description) {
    std::string name = KrJob::_makeUniqueId(KrUniqueIdSource::joinedTaskNames());
    const std::string& ownerId = owner->id();
    std::lock_guard<std::recursive_mutex> registry(_registryLock);
    std::lock_guard<std::mutex> queue(_queueLock);
    if (_leaving.count(ownerId) != 0) {
        return std::string();
    }
    _owners[name] = Owner{owner, ownerId};
    _descriptions[name] = description;
    _jobs[ownerId] = owner;
    _tasksOfJob[ownerId].insert(name);
    _members[name].insert(ownerId);
    return name;
}

bool KrCombinedTask::join(const std::string& taskName, KrJob* job) {
    std::lock_guard<std::recursive_mutex> registry(_registryLock);
    std::lock_guard<std::mutex> queue(_queueLock);
    const std::string& id = job->id();
    if (_owners.find(taskName) == _owners.end() || _leaving.count(id) != 0) {
        return false;
    }
    _jobs[id] = job;
    _tasksOfJob[id].insert(taskName);
    _members[taskName].insert(id);
    return true;
}

bool KrCombinedTask::leave(const std::string& taskName, const std::string& jobId) {
    bool posted = false;
    {
        std::lock_guard<std::recursive_mutex> registry(_registryLock);
        std::lock_guard<std::mutex> queue(_queueLock);
        auto owner = _owners.find(taskName);
        if (owner == _owners.end()) {
            return false;
        }
        if (owner->second.id == jobId) {
            // The owner dissolves the task; nobody is told.
            for (const std::string& member : _members[taskName]) {
                auto tasks = _tasksOfJob.find(member);
                if (tasks == _tasksOfJob.end()) {
                    continue;
                }
                tasks->second.erase(taskName);
                if (tasks->second.empty()) {
                    _tasksOfJob.erase(tasks);
                    _jobs.erase(member);
                }
            }
            _eraseTaskNL(taskName);
            return true;
        }
        auto tasks = _tasksOfJob.find(jobId);
        if (tasks == _tasksOfJob.end() || tasks->second.erase(taskName) == 0) {
            return false;
        }
        if (tasks->second.empty()) {
            _tasksOfJob.erase(tasks);
            _jobs.erase(jobId);
        }
        posted = _removeMemberNL(taskName, jobId, "kommt später");
    }
    if (posted) {
        _wake.notify_all();
    }
    return true;
}

bool KrCombinedTask::leaveAll(const std::string& jobId) {
    return _leaveAll(jobId, false);
}

bool KrCombinedTask::_retire(const std::string& jobId) {
    return _leaveAll(jobId, true);
}

void KrCombinedTask::_forget(const std::string& jobId) {
    std::lock_guard<std::recursive_mutex> registry(_registryLock);
    std::lock_guard<std::mutex> queue(_queueLock);
    _leaving.erase(jobId);
}

bool KrCombinedTask::_leaveAll(const std::string& jobId, bool forGood) {
    bool posted = false;
    {
        std::lock_guard<std::recursive_mutex> registry(_registryLock);
        std::lock_guard<std::mutex> queue(_queueLock);
        if (forGood) {
            _leaving.insert(jobId);
        }
        auto tasks = _tasksOfJob.find(jobId);
        if (tasks == _tasksOfJob.end()) {
            return false;
        }
        for (const std::string& taskName : tasks->second) {
            posted |= _removeMemberNL(taskName, jobId, "kommt später A");
        }
        _tasksOfJob.erase(tasks);
        _jobs.erase(jobId);
    }
    if (posted) {
        _wake.notify_all();
    }
    return true;
}

bool KrCombinedTask::_removeMemberNL(const std::string& taskName, const std::string& jobId,
                                     const char* notice) {
    auto members = _members.find(taskName);
    if (members == _members.end()) {
        return false;
    }
    members->second.erase(jobId);
    if (members->second.size() == 1) {
        const std::string& last = *members->second.begin();
        _queue.push_back(Entry{last, KrJobMessage(last, 6, notice)});
        return true;
    }
    if (members->second.empty()) {
        _eraseTaskNL(taskName);
    }
    return false;
}

void KrCombinedTask::_eraseTaskNL(const std::string& taskName) {
    _members.erase(taskName);
    _owners.erase(taskName);
    _descriptions.erase(taskName);
}

bool KrCombinedTask::post(const std::string& receiverId, const KrJobMessage& message) {
    {
        std::lock_guard<std::mutex> queue(_queueLock);
        if (_leaving.count(receiverId) != 0) {
            return false;
        }
        _queue.push_back(Entry{receiverId, message});
    }
    _wake.notify_all();
    return true;
}

void KrCombinedTask::wakeAll() {
    _wake.notify_all();
}

std::size_t KrCombinedTask::taskCount() {
    std::lock_guard<std::recursive_mutex> registry(_registryLock);
    return _members.size();
}

std::size_t KrCombinedTask::globalTaskCount() {
    return global().taskCount();
}

std::string KrCombinedTask::description(const std::string& taskName) {
    std::lock_guard<std::recursive_mutex> registry(_registryLock);
    auto it = _descriptions.find(taskName);
    return it == _descriptions.end() ? std::string() : it->second;
}

bool KrCombinedTask::_deliverOne(KrJob* job, std::unique_lock<std::mutex>& queueLock,
                                 const KrJobMessage& message) {
    std::recursive_mutex& lock = job->messageLock();
    if (!lock.try_lock()) {
        return false;
    }
    queueLock.unlock();
    try {
        job->onMessage(message);
    } catch (const std::exception& e) {
        std::cerr << "message kind " << message.kind << " to " << job->id()
                  << " failed: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "message kind " << message.kind << " to " << job->id() << " failed\n";
    }
    lock.unlock();
    return true;
}

void KrCombinedTask::_run() {
    std::unique_lock<std::mutex> queue(_queueLock);
    auto retry = kFirstRetry;
    for (;;) {
        _wake.wait(queue, [this] { return _stop || !_queue.empty(); });
        if (_stop) {
            return;
        }
        // Only this thread removes entries, and appending to a deque keeps
        // references valid, so the front may be read after the lock is let go.
        Entry& front = _queue.front();
        auto receiver = _jobs.find(front.receiver);
        if (receiver == _jobs.end()) {
            _queue.pop_front();
            continue;
        }
        if (!_deliverOne(receiver->second, queue, front.message)) {
            // The receiver is busy in its own message lock; its message stays
            // at the front so that nothing overtakes it.
            _wake.wait_for(queue, retry, [this] { return _stop; });
            retry = std::min(retry * 2, kLongestRetry);
            continue;
        }
        retry = kFirstRetry;
        queue.lock();
        _queue.pop_front();
    }
}
