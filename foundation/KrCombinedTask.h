#pragma once
// The process-wide job registry and its message pump. Jobs are grouped into
// joined tasks (named groups that one job creates and owns and others join and
// leave); a job is registered while it owns or belongs to at least one task.
// Messages are posted under the receiver's job id and delivered one at a time,
// in posting order, on the registry's one message thread, while the receiver
// holds its message lock. A message for a job that is not registered when it
// reaches the front of the queue is dropped.
//
// Lock: one mutex, `_lock`, guards the tasks, the jobs, the leaving marks,
// the queue and `_stop`; every operation holds it only for a few hash-map
// steps and never while a job's code runs. The message thread never holds it
// while a handler runs and never blocks on a message lock, so handlers may
// post, join and leave, and a job may post while holding its own message
// lock.
//
// The registry holds jobs by pointer and never owns them.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "foundation/KrAdaptiveMutex.h"
#include "foundation/KrJobMessage.h"

class KrJob;

class KrCombinedTask {
  public:
    // Starts the message thread.
    KrCombinedTask();
    // Stops and joins the message thread; messages still queued are dropped.
    ~KrCombinedTask();
    KrCombinedTask(const KrCombinedTask&) = delete;
    KrCombinedTask& operator=(const KrCombinedTask&) = delete;

    // The one registry of the process, built before main and stopped at exit.
    static KrCombinedTask& global();

    // New task owned (and joined) by owner; returns its name ("joinedtask*"...),
    // or an empty name when the owner is being destroyed.
    std::string createJoinedTask(KrJob* owner, const std::string& description);
    // False when no such task exists or the job is being destroyed; joining
    // twice changes nothing.
    bool join(const std::string& taskName, KrJob* job);
    // The owner leaving dissolves the task without messages; a member leaving
    // a task with one member left sends that member kind 6 "kommt später".
    bool leave(const std::string& taskName, const std::string& jobId);
    // Leaves every task of the job (the owner like any member); a task left
    // with one member sends it kind 6 "kommt später A". False when the job is
    // not registered.
    bool leaveAll(const std::string& jobId);
    // Queues a copy for the receiver and wakes the message thread; false (and
    // nothing queued) when the receiver is being destroyed.
    bool post(const std::string& receiverId, const KrJobMessage& message);
    void wakeAll();
    // Joined tasks with at least one member.
    std::size_t taskCount();
    static std::size_t globalTaskCount();
    // Description given at creation; empty when the task does not exist.
    std::string description(const std::string& taskName);

    // A job on its way out: leaves every task like leaveAll and marks the id
    // as leaving, so that its joins, its new tasks and postings to it are
    // refused from now on (a handler still running for it cannot put it back).
    // Returns what leaveAll returns.
    bool _retire(const std::string& jobId);
    // Drops the leaving mark once the job is gone for good.
    void _forget(const std::string& jobId);

    // One delivery: try-locks the job's message lock (false when busy, the
    // queue lock still held); otherwise releases the queue lock, calls
    // onMessage (swallowing its exceptions), releases the message lock: true.
    bool _deliverOne(KrJob* job, std::unique_lock<KrAdaptiveMutex>& queueLock,
                     const KrJobMessage& message);

  private:
    struct Task {
        KrJob* owner;
        // Kept apart from the job so that a later leave compares ids without
        // touching an owner that may be gone.
        std::string ownerId;
        std::string description;
        // Ids of the members; the owner is one from the start.
        std::set<std::string> members;
    };
    struct Registered {
        KrJob* job;
        // Names of the tasks it belongs to, in name order; never empty.
        std::set<std::string> tasks;
    };
    struct Entry {
        std::string receiver;
        KrJobMessage message;
    };

    void _run();
    bool _leaveAll(const std::string& jobId, bool forGood);
    // Lock held. Return true when a message was queued.
    bool _removeMemberNL(const std::string& taskName, const std::string& jobId, const char* notice);

    KrAdaptiveMutex _lock;
    std::condition_variable_any _wake;  // waited on with _lock
    bool _stop = false;

    // Task name -> owner, description and members.
    std::unordered_map<std::string, Task> _tasks;
    // Job id -> job and its tasks, for every job in at least one task.
    std::unordered_map<std::string, Registered> _jobs;
    // Jobs being destroyed; joins, new tasks and postings for them are refused.
    std::unordered_set<std::string> _leaving;
    // deque: the thread delivers from a reference to the front entry while
    // others append, which never moves existing entries.
    std::deque<Entry> _queue;

    std::thread _thread;
};
