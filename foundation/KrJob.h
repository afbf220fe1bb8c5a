#pragma once
// Base of the system's long-lived active objects. A job has a unique,
// time-based id by which other jobs address it, may own or join named groups
// of jobs (joined tasks) in the global KrCombinedTask, receives KrJobMessage
// records on the registry's message thread while it holds its message lock,
// and carries an integer state whose changes a callback approves.
//
// Destruction: a derived class that receives messages calls _leaveRegistry()
// first in its destructor, so that no delivery can reach its half-destroyed
// parts; the base destructor calls it again (harmless) for everyone else.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/KrJobMessage.h"
#include "foundation/KrUniqueIdSource.h"

// Job states that the transport gives meaning to: every job starts in
// KR_JOB_NEW; a request made to be sent starts in KR_JOB_REQUEST_MADE; an
// answer in state KR_JOB_READY is complete and may be sent; one in
// KR_JOB_OPEN_CONTENT may be sent while its content is still open.
enum KrJobState : int {
    KR_JOB_NEW = 0,
    KR_JOB_REQUEST_MADE = 1,
    KR_JOB_OPEN_CONTENT = 5,
    KR_JOB_READY = 6,
};

class KrJob {
  public:
    KrJob();
    KrJob(const KrJob&) = delete;
    KrJob& operator=(const KrJob&) = delete;

    // Handles one delivered message; called with the message lock held. The
    // default does nothing. Exceptions are caught by the registry. It must not
    // destroy its own job: the registry still releases the lock afterwards.
    virtual bool onMessage(const KrJobMessage& message);
    // The default sends nothing and returns false; senders override it with
    // KrCombinedTask::post.
    virtual bool postMessage(const std::string& receiverId, const KrJobMessage& message);
    // Creates a joined task owned by this job; returns its name.
    virtual std::string createJoinedTask(const std::string& description);
    virtual bool leaveTask(const std::string& taskName);
    virtual bool leaveAllTasks();
    virtual ~KrJob();
    // Requests state v: ignored when v is the current or the requested state;
    // otherwise the state callback decides (outside any lock) whether v becomes
    // current. An empty callback raises std::bad_function_call.
    virtual void setState(int v);
    // Remembers the name as the joined-task name (also when no such task
    // exists, which returns false) and joins the task.
    virtual bool joinTask(const std::string& taskName);
    // A non-empty name leaves that task; an empty one leaves the remembered
    // joined task and forgets its name.
    virtual bool leaveJoinedTask(const std::string& taskName);
    virtual std::string createJoinedTaskSelf(const std::string& description);
    virtual std::string getJoinedTask();

    // Made on first use (most message headers never need theirs), then fixed.
    const std::string& id() const {
        if (!_idMade.load(std::memory_order_acquire))
            _makeId();
        return _id;
    }
    // Reserved name that no job id equals ("__commonError" and 18 digits).
    static const std::string& commonErrorTask();
    // Jobs constructed and not yet destroyed in this process.
    static uint64_t liveCount();
    bool _postVia(const std::string& receiverId, const KrJobMessage& message);

    // Recursive; held by the registry while it delivers a message to this job.
    // Derived jobs take it to guard their own state against deliveries.
    std::recursive_mutex& messageLock() { return _messageLock; }

    int state() const { return _currentState.load(); }
    int requestedState() const { return _requestedState.load(); }
    // Set it before the job is shared with other threads.
    void setStateCallback(std::function<bool()> callback) { _stateCallback = std::move(callback); }
    static bool defaultStateCallback() { return true; }

    // "prefix*" + 7 digits of microseconds + 11 digits of seconds; unique per source.
    static std::string _makeUniqueId(KrUniqueIdSource& source);
    // The same text without "*", made under the given lock. Names never repeat
    // within the process, also when made within one microsecond.
    static std::string makeUniqueName(std::mutex& lock, const std::string& prefix);

  protected:
    // Leaves every joined task and the registry for good (from then on its
    // joins, new tasks and postings to it are refused), then waits until a
    // delivery to this job that is in progress has ended. Call it first in the
    // destructor of a job that receives messages. May be called more than
    // once; must not be called while this thread holds the registry's locks.
    void _leaveRegistry() noexcept;

    std::recursive_mutex _messageLock;

  private:
    friend class KrCombinedTask;

    void _makeId() const;
    // Written once, under the id source's lock, before _idMade is set.
    mutable std::string _id;
    mutable std::atomic<bool> _idMade{false};
    // Set by the registry when the job first owns or joins a task. A job that
    // never did (most message headers) has nothing to leave, and no message
    // can ever have reached it, so its destructor skips the registry.
    std::atomic<bool> _registered{false};
    // Guards the comparison and request in setState, and _joinedTask.
    std::mutex _stateLock;
    std::atomic<int> _currentState{KR_JOB_NEW};
    std::atomic<int> _requestedState{KR_JOB_NEW};
    std::function<bool()> _stateCallback = &KrJob::defaultStateCallback;
    std::string _joinedTask;
};
