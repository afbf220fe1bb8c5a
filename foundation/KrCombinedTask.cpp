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
        std::lock_guard<KrAdaptiveMutex> guard(_lock);
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
    // Made outside the lock; moved in under it.
    Task task{owner, ownerId, description, {ownerId}};
    std::lock_guard<KrAdaptiveMutex> guard(_lock);
    if (_leaving.count(ownerId) != 0) {
        return std::string();
    }
    owner->_registered.store(true, std::memory_order_relaxed);
    _tasks.emplace(name, std::move(task));
    Registered& entry = _jobs.try_emplace(ownerId, Registered{owner, {}}).first->second;
    entry.job = owner;
    entry.tasks.insert(name);
    return name;
}

bool KrCombinedTask::join(const std::string& taskName, KrJob* job) {
    const std::string& id = job->id();
    std::lock_guard<KrAdaptiveMutex> guard(_lock);
    const auto task = _tasks.find(taskName);
    if (task == _tasks.end() || _leaving.count(id) != 0) {
        return false;
    }
    job->_registered.store(true, std::memory_order_relaxed);
    Registered& entry = _jobs.try_emplace(id, Registered{job, {}}).first->second;
    entry.job = job;
    entry.tasks.insert(taskName);
    task->second.members.insert(id);
    return true;
}

bool KrCombinedTask::leave(const std::string& taskName, const std::string& jobId) {
    bool posted = false;
    {
        std::lock_guard<KrAdaptiveMutex> guard(_lock);
        auto task = _tasks.find(taskName);
        if (task == _tasks.end()) {
            return false;
        }
        if (task->second.ownerId == jobId) {
            // The owner dissolves the task; nobody is told.
            for (const std::string& member : task->second.members) {
                auto entry = _jobs.find(member);
                if (entry == _jobs.end()) {
                    continue;
                }
                entry->second.tasks.erase(taskName);
                if (entry->second.tasks.empty()) {
                    _jobs.erase(entry);
                }
            }
            _tasks.erase(task);
            return true;
        }
        auto entry = _jobs.find(jobId);
        if (entry == _jobs.end() || entry->second.tasks.erase(taskName) == 0) {
            return false;
        }
        if (entry->second.tasks.empty()) {
            _jobs.erase(entry);
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
    std::lock_guard<KrAdaptiveMutex> guard(_lock);
    _leaving.erase(jobId);
}

bool KrCombinedTask::_leaveAll(const std::string& jobId, bool forGood) {
    bool posted = false;
    {
        std::lock_guard<KrAdaptiveMutex> guard(_lock);
        if (forGood) {
            _leaving.insert(jobId);
        }
        auto entry = _jobs.find(jobId);
        if (entry == _jobs.end()) {
            return false;
        }
        for (const std::string& taskName : entry->second.tasks) {
            posted |= _removeMemberNL(taskName, jobId, "kommt später A");
        }
        _jobs.erase(entry);
    }
    if (posted) {
        _wake.notify_all();
    }
    return true;
}

bool KrCombinedTask::_removeMemberNL(const std::string& taskName, const std::string& jobId,
                                     const char* notice) {
    auto task = _tasks.find(taskName);
    if (task == _tasks.end()) {
        return false;
    }
    std::set<std::string>& members = task->second.members;
    members.erase(jobId);
    if (members.size() == 1) {
        const std::string& last = *members.begin();
        _queue.push_back(Entry{last, KrJobMessage(last, KR_MESSAGE_CLIENT_TASK_DONE, notice)});
        return true;
    }
    if (members.empty()) {
        _tasks.erase(task);
    }
    return false;
}

bool KrCombinedTask::post(const std::string& receiverId, const KrJobMessage& message) {
    {
        std::lock_guard<KrAdaptiveMutex> guard(_lock);
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
    std::lock_guard<KrAdaptiveMutex> guard(_lock);
    return _tasks.size();
}

std::size_t KrCombinedTask::globalTaskCount() {
    return global().taskCount();
}

std::string KrCombinedTask::description(const std::string& taskName) {
    std::lock_guard<KrAdaptiveMutex> guard(_lock);
    auto it = _tasks.find(taskName);
    return it == _tasks.end() ? std::string() : it->second.description;
}

bool KrCombinedTask::_deliverOne(KrJob* job, std::unique_lock<KrAdaptiveMutex>& queueLock,
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
    std::unique_lock<KrAdaptiveMutex> queue(_lock);
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
        if (!_deliverOne(receiver->second.job, queue, front.message)) {
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
