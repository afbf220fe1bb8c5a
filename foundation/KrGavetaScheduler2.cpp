#include "foundation/KrGavetaScheduler2.h"

#include <ctime>
#include <exception>
#include <iostream>
#include <system_error>
#include <vector>

namespace {

// Shared by all schedulers, so ids increase across the process; the first is 1.
constinit std::atomic<uint64_t> g_lastJobId{0};

std::chrono::nanoseconds repeatDelay(const KrGavetaJobAtttributes& attributes) {
    return std::chrono::milliseconds(attributes._jo_delay_ms) +
           std::chrono::microseconds(attributes._jo_delay_us);
}

}  // namespace

struct KrGavetaScheduler2::JobRecord {
    enum class Phase { Ready, Running, Delayed, Idle };

    ~JobRecord() {
        if (result != parameters) {
            delete result;
        }
        delete parameters;
    }

    uint64_t id = 0;
    Job callable;
    KrGavetaJobAtttributes attributes;
    KrGavetaJobParametersAndResult* parameters = nullptr;
    // Latest result, not yet taken. It is the parameters record itself only
    // once the job is Idle, so a caller never gets a record a run still uses.
    KrGavetaJobParametersAndResult* result = nullptr;
    // A run ended and its outcome (result, or failure) has not been taken.
    bool hasOutcome = false;
    int status = KR_GAVETA_RUN_ONCE;
    Phase phase = Phase::Ready;
    bool cancelled = false;
    std::thread runner;
    std::multimap<Clock::time_point, JobRecord*>::iterator delayedAt;
};

KrGavetaScheduler2::KrGavetaScheduler2() = default;

KrGavetaScheduler2::~KrGavetaScheduler2() {
    stop();
}

uint64_t KrGavetaScheduler2::addJob(Job job, KrGavetaJobParametersAndResult* parameters,
                                    const KrGavetaJobAtttributes& attributes) {
    auto record = std::make_unique<JobRecord>();
    record->callable = std::move(job);
    record->attributes = attributes;
    record->parameters =
        parameters ? parameters : new KrGavetaJobParametersAndResult(attributes._jo_status, 1);
    record->status = record->parameters->getStatus();
    uint64_t id = g_lastJobId.fetch_add(1) + 1;
    record->id = id;
    record->parameters->setJobId(id);
    {
        std::lock_guard<std::mutex> lock(_jobLock);
        _ready.push_back(record.get());
        _jobs.emplace(id, std::move(record));
    }
    _dispatcherWake.notify_one();
    Start();
    return id;
}

void KrGavetaScheduler2::Start() {
    std::lock_guard<std::mutex> lock(_jobLock);
    if (_started || _ready.empty()) {
        return;
    }
    _started = true;
    if (_stop) {
        return;
    }
    _dispatcherThread = std::thread(&KrGavetaScheduler2::_dispatcher, this);
    _collectorThread = std::thread(&KrGavetaScheduler2::_collector, this);
    _timerThread = std::thread(&KrGavetaScheduler2::_timer, this);
}

bool KrGavetaScheduler2::isJobDone(uint64_t jobId) {
    std::lock_guard<std::mutex> lock(_jobLock);
    auto it = _jobs.find(jobId);
    return it == _jobs.end() || it->second->hasOutcome;
}

void KrGavetaScheduler2::waitJobDone(uint64_t jobId) {
    std::unique_lock<std::mutex> lock(_jobLock);
    _doneWake.wait(lock, [this, jobId] {
        auto it = _jobs.find(jobId);
        return it == _jobs.end() || it->second->hasOutcome;
    });
}

KrGavetaJobParametersAndResult* KrGavetaScheduler2::takeResult(uint64_t jobId) {
    std::lock_guard<std::mutex> lock(_jobLock);
    auto it = _jobs.find(jobId);
    if (it == _jobs.end() || !it->second->hasOutcome) {
        return nullptr;
    }
    JobRecord* job = it->second.get();
    KrGavetaJobParametersAndResult* result = job->result;
    job->result = nullptr;
    job->hasOutcome = false;
    if (job->phase == JobRecord::Phase::Idle) {
        if (result == job->parameters) {
            job->parameters = nullptr;
        }
        _jobs.erase(it);
    }
    return result;
}

void KrGavetaScheduler2::cancelRepeat(uint64_t jobId) {
    std::lock_guard<std::mutex> lock(_jobLock);
    auto it = _jobs.find(jobId);
    if (it == _jobs.end()) {
        // Unknown ids are not recorded: they are either forgotten or never
        // issued, and a record of them would only grow.
        return;
    }
    JobRecord* job = it->second.get();
    job->cancelled = true;
    switch (job->phase) {
        case JobRecord::Phase::Ready:
            _ready.remove(job);
            break;
        case JobRecord::Phase::Delayed:
            _delayed.erase(job->delayedAt);
            break;
        case JobRecord::Phase::Running:
            // The run in progress gives the latest result; an untaken one of
            // an earlier run is superseded now, so that the one takeResult
            // after the run hands over the newest and forgets the job.
            if (job->result != job->parameters) {
                delete job->result;
            }
            job->result = nullptr;
            job->hasOutcome = false;
            return;
        case JobRecord::Phase::Idle:
            return;
    }
    // A waiting job runs no more. Its untaken latest result stays for one
    // takeResult, which then forgets the job; with none there is nothing left.
    if (job->hasOutcome) {
        job->phase = JobRecord::Phase::Idle;
    } else {
        _forgetNL(job);
    }
}

void KrGavetaScheduler2::_forgetNL(JobRecord* job) {
    _jobs.erase(job->id);
    _doneWake.notify_all();
}

void KrGavetaScheduler2::stop() {
    std::lock_guard<std::mutex> serial(_stopLock);
    std::vector<std::function<void()>> stopCalls;
    {
        std::lock_guard<std::mutex> lock(_jobLock);
        _stop = true;
        for (JobRecord* job : _running) {
            stopCalls.push_back(job->attributes._jo_stop);
            job->attributes._jo_run = false;
        }
    }
    _timerWake.notify_all();
    _dispatcherWake.notify_all();
    _collectorWake.notify_all();
    // Outside the lock: a stop call may use the scheduler (isJobDone, cancelRepeat).
    for (auto& call : stopCalls) {
        if (!call) {
            continue;
        }
        try {
            call();
        } catch (const std::exception& e) {
            std::cerr << "stop call of a job failed: " << e.what() << '\n';
        } catch (...) {
            std::cerr << "stop call of a job failed\n";
        }
    }
    for (std::thread* service : {&_timerThread, &_dispatcherThread, &_collectorThread}) {
        if (service->joinable()) {
            service->join();
        }
    }
}

std::string KrGavetaScheduler2::dueTimeText(long nanoseconds) {
    std::time_t seconds = static_cast<std::time_t>(nanoseconds / 1000000000L);
    char text[64] = {0};
    if (ctime_r(&seconds, text) == nullptr) {
        return std::string();
    }
    std::string result(text);
    while (!result.empty() && result.back() == '\n') {
        result.pop_back();
    }
    return result;
}

bool KrGavetaScheduler2::_startableNL() const {
    if (_cap != 0 && _running.size() >= _cap) {
        return false;
    }
    for (const JobRecord* job : _ready) {
        if ((job->attributes._jo_mask & _runningMask) == 0) {
            return true;
        }
    }
    return false;
}

void KrGavetaScheduler2::_recomputeMaskNL() {
    uint64_t mask = 0;
    for (const JobRecord* job : _running) {
        mask |= job->attributes._jo_mask;
    }
    _runningMask = mask;
}

void KrGavetaScheduler2::_startReadyNL() {
    for (auto it = _ready.begin(); it != _ready.end();) {
        if (_cap != 0 && _running.size() >= _cap) {
            return;
        }
        JobRecord* job = *it;
        if ((job->attributes._jo_mask & _runningMask) != 0) {
            ++it;
            continue;
        }
        it = _ready.erase(it);
        job->phase = JobRecord::Phase::Running;
        _running.insert(job);
        _runningMask |= job->attributes._jo_mask;
        try {
            job->runner = std::thread(&KrGavetaScheduler2::_runJob, this, job);
        } catch (const std::system_error& e) {
            // Without a thread the run cannot happen: finish it as failed.
            std::cerr << "job " << job->id << " (" << job->attributes._jo_name
                      << ") could not start: " << e.what() << '\n';
            _running.erase(job);
            _recomputeMaskNL();
            job->phase = JobRecord::Phase::Idle;
            job->status = KR_GAVETA_FAILED;
            job->hasOutcome = true;
            _doneWake.notify_all();
        }
    }
}

void KrGavetaScheduler2::_runJob(JobRecord* job) {
    KrGavetaJobParametersAndResult* result = nullptr;
    bool failed = false;
    try {
        result = job->callable(job->parameters);
    } catch (const std::exception& e) {
        failed = true;
        std::cerr << "job " << job->id << " (" << job->attributes._jo_name
                  << ") threw: " << e.what() << '\n';
    } catch (...) {
        failed = true;
        std::cerr << "job " << job->id << " (" << job->attributes._jo_name
                  << ") threw a non-standard exception\n";
    }
    {
        std::lock_guard<std::mutex> lock(_jobLock);
        _running.erase(job);
        _recomputeMaskNL();
        _finished.push_back(Finished{job, result, failed, std::move(job->runner)});
    }
    // The collector joins this thread before the scheduler can go away, so the
    // condition variables are still there.
    _dispatcherWake.notify_one();
    _collectorWake.notify_one();
}

void KrGavetaScheduler2::_dispatcher() {
    std::unique_lock<std::mutex> lock(_jobLock);
    for (;;) {
        // Masked-out jobs wait here for a job end instead of being re-polled.
        _dispatcherWake.wait(lock, [this] { return _stop || _startableNL(); });
        if (_stop) {
            return;
        }
        _startReadyNL();
    }
}

void KrGavetaScheduler2::_collector() {
    std::unique_lock<std::mutex> lock(_jobLock);
    for (;;) {
        _collectorWake.wait(lock,
                            [this] { return !_finished.empty() || (_stop && _running.empty()); });
        if (_finished.empty()) {
            return;  // stopped, and every run has been collected
        }
        Finished finished = std::move(_finished.front());
        _finished.pop_front();
        // The run's thread touches neither the record nor the result after it
        // queued them, so the outcome is published before its thread is reaped.
        _storeResultNL(finished);
        _doneWake.notify_all();
        lock.unlock();
        finished.thread.join();
        lock.lock();
    }
}

void KrGavetaScheduler2::_storeResultNL(Finished& finished) {
    JobRecord* job = finished.job;
    KrGavetaJobParametersAndResult* result = finished.result;
    if (job->result != nullptr && job->result != result && job->result != job->parameters) {
        delete job->result;  // an untaken result of an earlier run
    }
    job->result = nullptr;
    job->hasOutcome = true;
    if (finished.failed || result == nullptr) {
        if (!finished.failed) {
            std::cerr << "irregular return condition (nullptr) for a task\n";
        }
        job->status = KR_GAVETA_FAILED;
        job->phase = JobRecord::Phase::Idle;
        return;
    }
    // The run's result belongs to the job that returned it, whatever id it carries.
    result->setJobId(job->id);
    job->status = result->getStatus();
    if (job->status != KR_GAVETA_REPEAT || job->cancelled || _stop) {
        job->result = result;
        job->phase = JobRecord::Phase::Idle;
        return;
    }
    if (result == job->parameters) {
        auto* copy = new KrGavetaJobParametersAndResult(result->getStatus(), result->getValue());
        copy->setJobId(job->id);
        result = copy;
    }
    job->result = result;
    auto delay = repeatDelay(job->attributes);
    if (delay.count() <= 0) {
        job->phase = JobRecord::Phase::Ready;
        _ready.push_back(job);
        _dispatcherWake.notify_one();
        return;
    }
    job->phase = JobRecord::Phase::Delayed;
    job->attributes._jo_due =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              (std::chrono::system_clock::now() + delay).time_since_epoch())
                              .count());
    job->delayedAt = _delayed.emplace(Clock::now() + delay, job);
    _timerWake.notify_one();
}

void KrGavetaScheduler2::_timer() {
    std::unique_lock<std::mutex> lock(_jobLock);
    for (;;) {
        if (_stop) {
            return;
        }
        if (_delayed.empty()) {
            _timerWake.wait(lock, [this] { return _stop || !_delayed.empty(); });
            continue;
        }
        Clock::time_point due = _delayed.begin()->first;
        if (Clock::now() < due) {
            // Wakes early for stop or for an earlier repeat.
            _timerWake.wait_until(lock, due, [this, due] {
                return _stop || _delayed.empty() || _delayed.begin()->first < due;
            });
            continue;
        }
        Clock::time_point now = Clock::now();
        bool moved = false;
        while (!_delayed.empty() && _delayed.begin()->first <= now) {
            JobRecord* job = _delayed.begin()->second;
            _delayed.erase(_delayed.begin());
            job->phase = JobRecord::Phase::Ready;
            _ready.push_back(job);
            moved = true;
        }
        if (moved) {
            _dispatcherWake.notify_one();
        }
    }
}
