#pragma once
// The thread pool of the system's background work. A job is a callable that
// takes and returns a KrGavetaJobParametersAndResult; addJob returns a numeric
// id (increasing across all schedulers of the process) by which the owner asks
// whether the job is done, takes its result or stops it repeating. Every run
// of a job has a thread of its own, so jobs may block for long. A result with
// status KR_GAVETA_REPEAT runs the job again after the delay of its attributes.
//
// Three service threads, started with the first job: the dispatcher starts
// ready jobs that the exclusion masks allow, the collector stores results and
// schedules repeats, the timer moves due repeats back to the ready list.
//
// Ownership: the scheduler owns every job's parameters record (also one given
// to addJob) and its results until takeResult hands one over.
// Thread-safe: every public call takes _jobLock, which guards all job state.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "foundation/KrGavetaJobAtttributes.h"
#include "foundation/KrGavetaJobParametersAndResult.h"

class KrGavetaScheduler2 {
  public:
    using Job = std::function<KrGavetaJobParametersAndResult*(KrGavetaJobParametersAndResult*)>;

    KrGavetaScheduler2();
    // Stops, then frees every job record with its parameters and untaken results.
    virtual ~KrGavetaScheduler2();
    KrGavetaScheduler2(const KrGavetaScheduler2&) = delete;
    KrGavetaScheduler2& operator=(const KrGavetaScheduler2&) = delete;

    // Queues a job and returns its id. With a null record the job gets one with
    // the attributes' status and value 1. The scheduler takes over the record.
    uint64_t addJob(Job job, KrGavetaJobParametersAndResult* parameters,
                    const KrGavetaJobAtttributes& attributes);
    // Starts the service threads once there is a ready job; later calls do nothing.
    void Start();
    // True when the id is unknown (never issued or forgotten) or the job has
    // an outcome to take (a result, or a failed run).
    bool isJobDone(uint64_t jobId);
    // Blocks until isJobDone(jobId) holds. Must not be called from a job or a
    // stop call of this scheduler, nor for a job that stop() keeps from starting.
    void waitJobDone(uint64_t jobId);
    // Hands over the latest result; the caller deletes it. Null when there is
    // none yet, and for a run that failed (threw or returned null). A job that
    // will not run again is forgotten. A repeating job that returns its own
    // parameters record yields a plain copy (job id, value, status), because
    // the record itself stays in use by the next run.
    KrGavetaJobParametersAndResult* takeResult(uint64_t jobId);
    // Stops a job repeating: it runs at most the run in progress. The latest
    // result (of that run, or the untaken one of a waiting job) is then handed
    // over by one takeResult, which forgets the job; a waiting job with no
    // untaken result is forgotten at once. Unknown ids are not recorded.
    void cancelRepeat(uint64_t jobId);
    // Calls `_jo_stop` of the running jobs (outside the lock), starts nothing
    // more and waits until every running job has returned and all service
    // threads have ended. Must not be called from one of this scheduler's jobs.
    void stop();

    // ctime text, without its newline, of a system-clock time in nanoseconds.
    static std::string dueTimeText(long nanoseconds);

  private:
    struct JobRecord;
    struct Finished {
        JobRecord* job;
        KrGavetaJobParametersAndResult* result;
        bool failed;
        std::thread thread;
    };
    using Clock = std::chrono::steady_clock;

    void _dispatcher();
    void _collector();
    void _timer();
    void _runJob(JobRecord* job);
    bool _startableNL() const;
    void _startReadyNL();
    void _storeResultNL(Finished& finished);
    void _forgetNL(JobRecord* job);
    void _recomputeMaskNL();

    std::mutex _stopLock;  // serialises stop
    std::mutex _jobLock;   // guards every field below except the threads
    std::condition_variable _dispatcherWake;
    std::condition_variable _collectorWake;
    std::condition_variable _timerWake;
    std::condition_variable _doneWake;  // a run's outcome was stored
    // 0: no limit on jobs running at once.
    uint64_t _cap = 0;
    bool _stop = false;
    bool _started = false;
    std::map<uint64_t, std::unique_ptr<JobRecord>> _jobs;
    std::list<JobRecord*> _ready;
    std::set<JobRecord*> _running;
    std::deque<Finished> _finished;
    uint64_t _runningMask = 0;
    std::multimap<Clock::time_point, JobRecord*> _delayed;

    // Written by Start under _jobLock before _stop is set, joined by stop.
    std::thread _dispatcherThread;
    std::thread _collectorThread;
    std::thread _timerThread;
};
