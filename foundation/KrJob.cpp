#include "foundation/KrJob.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "foundation/KrCombinedTask.h"

namespace {

// Live jobs, counted by the threads that make and end them: a thread
// changes only its own count, with plain stores, so a job costs no
// bus-locked add (a request makes one and ends it). liveCount sums the
// counts of the threads that run and those that have ended.
thread_local std::atomic<int64_t> t_liveJobs{0};
thread_local bool t_counted = false;
thread_local bool t_countEnded = false;

struct LiveCounts {
    std::mutex lock;
    std::vector<std::atomic<int64_t>*> running;
    std::atomic<int64_t> ended{0};
};

// Never destroyed: threads and static jobs may end after static objects.
LiveCounts& Counts() {
    static LiveCounts* const counts = new LiveCounts;
    return *counts;
}

// At its thread's end, hands the thread's count to the ended ones; jobs the
// thread ends after that (its other thread-locals, static objects) count
// there directly.
struct CountEnd {
    ~CountEnd() {
        LiveCounts& counts = Counts();
        std::lock_guard<std::mutex> guard(counts.lock);
        counts.running.erase(std::find(counts.running.begin(), counts.running.end(), &t_liveJobs));
        counts.ended.fetch_add(t_liveJobs.load(std::memory_order_relaxed));
        t_countEnded = true;
    }
    bool listed = true;
};
thread_local CountEnd t_countEnd;

void ChangeLiveJobs(int64_t by) {
    if (!t_counted) {
        t_counted = true;
        LiveCounts& counts = Counts();
        std::lock_guard<std::mutex> guard(counts.lock);
        counts.running.push_back(&t_liveJobs);
        // Made now, so that its end comes after this thread's jobs began.
        static_cast<void>(t_countEnd.listed);
    }
    if (t_countEnded) {
        Counts().ended.fetch_add(by);
        return;
    }
    t_liveJobs.store(t_liveJobs.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// Last instant used by makeUniqueName, in microseconds. Process-wide because
// the callers hand in only a lock, and names must not repeat between them.
constinit std::atomic<int64_t> g_lastNameMicros{0};

}  // namespace

KrJob::KrJob() {
    // A job made during static initialisation must not outlive the registry
    // its destructor leaves; touching it here builds it first, so it is
    // destroyed after every job.
    KrCombinedTask::global();
    ChangeLiveJobs(1);
}

KrJob::~KrJob() {
    if (_registered.load(std::memory_order_relaxed)) {
        _leaveRegistry();
        try {
            KrCombinedTask::global()._forget(id());
        } catch (...) {
            // A failing lock only leaves a stale mark behind.
        }
    }
    ChangeLiveJobs(-1);
}

void KrJob::_leaveRegistry() noexcept {
    // Whoever destroys a job is the last to use it, so a join made on
    // another thread is seen here.
    if (!_registered.load(std::memory_order_relaxed))
        return;
    try {
        // Marked as leaving, the job stays out: a handler still running for it
        // cannot join it back or queue messages to it. Once out of the registry
        // no new delivery can start; one that began before holds the message
        // lock until onMessage returns.
        KrCombinedTask::global()._retire(id());
        std::lock_guard<std::recursive_mutex> wait(_messageLock);
    } catch (...) {
        // A failing lock cannot be mended in a destructor.
    }
}

bool KrJob::onMessage(const KrJobMessage&) {
    return true;
}

bool KrJob::postMessage(const std::string&, const KrJobMessage&) {
    return false;
}

std::string KrJob::createJoinedTask(const std::string& description) {
    return KrCombinedTask::global().createJoinedTask(this, description);
}

bool KrJob::leaveTask(const std::string& taskName) {
    return KrCombinedTask::global().leave(taskName, id());
}

bool KrJob::leaveAllTasks() {
    return KrCombinedTask::global().leaveAll(id());
}

void KrJob::setState(int v) {
    {
        std::lock_guard<std::mutex> guard(_stateLock);
        if (v == _currentState.load() || v == _requestedState.load()) {
            return;
        }
        _requestedState.store(v);
    }
    if (_stateCallback()) {
        _currentState.store(v);
    }
}

bool KrJob::joinTask(const std::string& taskName) {
    {
        std::lock_guard<std::mutex> guard(_stateLock);
        _joinedTask = taskName;
    }
    return KrCombinedTask::global().join(taskName, this);
}

bool KrJob::leaveJoinedTask(const std::string& taskName) {
    if (!taskName.empty()) {
        return leaveTask(taskName);
    }
    std::string joined;
    {
        std::lock_guard<std::mutex> guard(_stateLock);
        joined.swap(_joinedTask);
    }
    return leaveTask(joined);
}

std::string KrJob::createJoinedTaskSelf(const std::string& description) {
    return createJoinedTask(description);
}

std::string KrJob::getJoinedTask() {
    std::lock_guard<std::mutex> guard(_stateLock);
    return _joinedTask;
}

const std::string& KrJob::commonErrorTask() {
    static const std::string name =
        makeUniqueName(KrUniqueIdSource::jobIds().lock, "__commonError");
    return name;
}

uint64_t KrJob::liveCount() {
    LiveCounts& counts = Counts();
    std::lock_guard<std::mutex> guard(counts.lock);
    int64_t live = counts.ended.load();
    for (const std::atomic<int64_t>* count : counts.running)
        live += count->load(std::memory_order_relaxed);
    return static_cast<uint64_t>(live);
}

bool KrJob::_postVia(const std::string& receiverId, const KrJobMessage& message) {
    return postMessage(std::string(receiverId), message);
}

void KrJob::_makeId() const {
    KrUniqueIdSource& source = KrUniqueIdSource::jobIds();
    const int64_t now = KrUniqueIdSource::_nowMicros();
    std::lock_guard<std::mutex> guard(source.lock);
    if (_idMade.load(std::memory_order_relaxed))
        return;
    _id = KrUniqueIdSource::_format(source.prefix, true, source._nextMicrosNL(now));
    _idMade.store(true, std::memory_order_release);
}

std::string KrJob::_makeUniqueId(KrUniqueIdSource& source) {
    // Every message header takes an id: the clock is read before the
    // source's one lock, which then holds only a comparison.
    const int64_t now = KrUniqueIdSource::_nowMicros();
    int64_t micros;
    {
        std::lock_guard<std::mutex> guard(source.lock);
        micros = source._nextMicrosNL(now);
    }
    return KrUniqueIdSource::_format(source.prefix, true, micros);
}

std::string KrJob::makeUniqueName(std::mutex& lock, const std::string& prefix) {
    std::lock_guard<std::mutex> guard(lock);
    int64_t now = KrUniqueIdSource::_nowMicros();
    int64_t last = g_lastNameMicros.load();
    int64_t next;
    do {
        next = now > last ? now : last + 1;
    } while (!g_lastNameMicros.compare_exchange_weak(last, next));
    return KrUniqueIdSource::_format(prefix, false, next);
}
