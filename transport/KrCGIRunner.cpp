#include "transport/KrCGIRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "foundation/KrException.h"
#include "foundation/KrRetryInterrupted.h"
#include "transport/KrDescriptorReserve.h"
#include "transport/KrPipeSignal.h"

namespace {

// Poller keys: the run's serial and which of its descriptors is ready.
constexpr uint64_t kOutputKey = 0;
constexpr uint64_t kInputKey = 1;
constexpr uint64_t kProcessKey = 2;
constexpr size_t kChunk = 64 * 1024;
// Without a process descriptor (an old kernel) the end of a program is
// looked for this often.
constexpr int kReapPollMs = 20;

uint64_t keyOf(uint64_t serial, uint64_t which) {
    return serial << 2 | which;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A descriptor moved to 3 and above, so that placing it on 0 or 1 in the
// child cannot overwrite the other one.
KrFileHandle aboveStdio(KrFileHandle handle) {
    if (handle.get() >= 3 || !handle.isOpen())
        return handle;
    return KrFileHandle(::fcntl(handle.get(), F_DUPFD_CLOEXEC, 3));
}

// The program's own descriptor of an input file, at the file's start.
KrFileHandle InputFrom(const KrFileHandle& file) {
    KrFileHandle input(::fcntl(file.get(), F_DUPFD_CLOEXEC, 3));
    if (input.isOpen() && ::lseek(input.get(), 0, SEEK_SET) != 0)
        input.close();
    return input;
}

}  // namespace

struct KrCGIRunner::Active {
    std::shared_ptr<KrCGIRun> run;
    pid_t pid = -1;
    KrFileHandle process;
    KrFileHandle toChild;
    KrFileHandle fromChild;
    // The end of the run's runLimit (0: none).
    int64_t deadline = 0;
    // Abandoned: nobody waits for its answer; it runs on, its output dropped.
    bool abandoned = false;
    // It counts among the programs in slots (until it exits, or leaves its
    // slot as its caller leaves), or in the allowance of those without a caller.
    bool inSlot = true;
    bool unattended = false;
    // After a TERM: when the KILL follows (0: none asked).
    int64_t killAt = 0;
    // When held output is flushed (0: none held).
    int64_t flushAt = 0;
    // After the output ended: when the answer ends without the status.
    int64_t exitWaitUntil = 0;
    size_t output = 0;
    bool paused = false;
    int64_t pausedAt = 0;
    bool outputClosed = false;
    bool exited = false;
    int status = 0;
    // Decided before the end (time-out, too much output, cancel): the run
    // ends once the program is reaped, whatever its output does.
    bool ending = false;
    // The sink called its answer whole (KR_CGI_DONE).
    bool whole = false;
    // The sink has heard the end; the program is only waited for.
    bool answered = false;
    KrCGIOutcome outcome = KrCGIOutcome::Finished;
};

KrCGIRunner::KrCGIRunner(size_t maxRunning, size_t maxUnattended)
    : _maxRunning(std::max<size_t>(maxRunning, 1)), _maxUnattended(maxUnattended) {}

KrCGIRunner::~KrCGIRunner() {
    stop();
}

bool KrCGIRunner::submit(std::shared_ptr<KrCGIRun> run) {
    if (!run || !run->sink)
        return false;
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (_stopping)
            return false;
        _queue.push_back(std::move(run));
        if (!_thread.joinable())
            _thread = std::thread([this] { _loop(); });
    }
    _poller.wake();
    return true;
}

void KrCGIRunner::resume(const std::shared_ptr<KrCGIRun>& run) {
    _command(Command::Resume, run);
}

void KrCGIRunner::abandon(const std::shared_ptr<KrCGIRun>& run) {
    _command(Command::Abandon, run);
}

void KrCGIRunner::_command(Command command, const std::shared_ptr<KrCGIRun>& run) {
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (!_thread.joinable() || _threadDone)
            return;
        _commands.emplace_back(command, run);
    }
    _poller.wake();
}

void KrCGIRunner::stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stopping = true;
        thread.swap(_thread);
    }
    _poller.wake();
    // The thread ends every program and hears them reaped before it returns.
    if (thread.joinable())
        thread.join();
}

void KrCGIRunner::setLimits(size_t maxRunning, size_t maxUnattended) {
    {
        std::lock_guard<std::mutex> guard(_lock);
        _maxRunning = std::max<size_t>(maxRunning, 1);
        _maxUnattended = maxUnattended;
    }
    _poller.wake();
}

size_t KrCGIRunner::queuedCount() {
    std::lock_guard<std::mutex> guard(_lock);
    return _queue.size();
}

size_t KrCGIRunner::unattendedCount() {
    std::lock_guard<std::mutex> guard(_lock);
    return _unattended;
}

void KrCGIRunner::_startQueuedNL(std::vector<std::shared_ptr<KrCGIRun>>& starting) {
    while (!_queue.empty() && _running < _maxRunning) {
        starting.push_back(std::move(_queue.front()));
        _queue.pop_front();
        ++_running;
    }
}

bool KrCGIRunner::_dropQueuedNL(const std::shared_ptr<KrCGIRun>& run) {
    const auto queued = std::find(_queue.begin(), _queue.end(), run);
    if (queued == _queue.end())
        return false;
    _queue.erase(queued);
    return true;
}

void KrCGIRunner::_loop() {
    // Writing to a program that has closed its input raises SIGPIPE, which
    // would end the whole process: this thread blocks it and takes the
    // failed write's EPIPE instead. Programs start with the mask the process
    // had before (posix_spawn sets it).
    KrBlockPipeSignal();
    _threadId.store(std::this_thread::get_id());

    std::vector<KrPoller::Event> events;
    std::vector<std::shared_ptr<KrCGIRun>> starting;
    // Queued runs that never start: their callers left, or the runner stops.
    std::vector<std::shared_ptr<KrCGIRun>> left;
    std::vector<std::shared_ptr<KrCGIRun>> dropped;
    std::vector<std::pair<Command, std::shared_ptr<KrCGIRun>>> commands;
    bool stopSeen = false;
    for (;;) {
        bool stopping;
        {
            std::lock_guard<std::mutex> guard(_lock);
            commands.swap(_commands);
            stopping = _stopping;
            // The callers that left while their runs waited: none of those
            // runs takes a slot.
            for (const auto& [command, run] : commands) {
                if (command == Command::Abandon && _serialOf.count(run.get()) == 0 &&
                    _dropQueuedNL(run))
                    left.push_back(run);
            }
        }
        for (std::shared_ptr<KrCGIRun>& run : left)
            run->sink->ended(KrCGIOutcome::Left, 0);
        left.clear();
        for (auto& [command, run] : commands) {
            const auto serial = _serialOf.find(run.get());
            if (serial == _serialOf.end())
                continue;
            const uint64_t key = serial->second;
            Active& active = *_active.at(key);
            if (command == Command::Resume && active.paused && !active.ending) {
                // The time spent waiting for a slow reader is not the program's.
                if (active.deadline != 0)
                    active.deadline += nowMs() - active.pausedAt;
            } else if (command == Command::Abandon && !active.abandoned && !active.ending) {
                _abandon(active);
            } else {
                continue;
            }
            // Its output is read again (an abandoned run's dropped), so that
            // it never blocks on a full pipe.
            if (active.paused) {
                active.paused = false;
                if (!active.outputClosed)
                    _poller.add(active.fromChild.get(), keyOf(key, kOutputKey), true, false);
            }
            _finishIfDone(key);
        }
        commands.clear();
        // Then the slots free now (also those the callers who left gave up).
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (stopping) {
                for (std::shared_ptr<KrCGIRun>& run : _queue)
                    dropped.push_back(std::move(run));
                _queue.clear();
            } else {
                _startQueuedNL(starting);
            }
        }
        for (std::shared_ptr<KrCGIRun>& run : starting)
            _start(run);
        starting.clear();
        for (std::shared_ptr<KrCGIRun>& run : dropped)
            run->sink->ended(KrCGIOutcome::Cancelled, 0);
        dropped.clear();
        if (stopping && !stopSeen) {
            stopSeen = true;
            const int64_t killAt = nowMs() + kGrace.count();
            for (auto& [serial, active] : _active) {
                // (One ended as its caller left is on its way out already.)
                if (active->outcome != KrCGIOutcome::Cancelled &&
                    active->outcome != KrCGIOutcome::Left) {
                    active->ending = true;
                    active->outcome = KrCGIOutcome::Cancelled;
                    _endGroup(*active, SIGTERM);
                    active->killAt = killAt;
                }
            }
        }
        if (stopping && _active.empty())
            break;
        events.clear();
        _poller.wait(events, _nextTimeoutMs());
        for (const KrPoller::Event& event : events)
            _onEvent(event.key, event.broken);
        _checkDeadlines();
    }
    _threadId.store(std::thread::id());
    std::lock_guard<std::mutex> guard(_lock);
    _threadDone = true;
}

KrPipePair::KrPipePair() {
    int fromChild[2];
    int toChild[2];
    if (::pipe2(fromChild, O_CLOEXEC) != 0)
        throw KrException("problem with pipes", __LINE__, "KrPipePair");
    fromChildRead = KrFileHandle(fromChild[0]);
    fromChildWrite = KrFileHandle(fromChild[1]);
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        closeAll();
        throw KrException("problem with pipes", __LINE__, "KrPipePair");
    }
    toChildRead = KrFileHandle(toChild[0]);
    toChildWrite = KrFileHandle(toChild[1]);
}

void KrPipePair::closeAll() {
    toChildRead.close();
    toChildWrite.close();
    fromChildRead.close();
    fromChildWrite.close();
}

void KrCGIRunner::_freeSlot() {
    std::lock_guard<std::mutex> guard(_lock);
    --_running;
}

void KrCGIRunner::_abandon(Active& active) {
    active.abandoned = true;
    active.deadline = 0;
    active.flushAt = 0;
    if (active.exited) {
        // Only a child it left holds its output: nobody is left to read it for.
        _closeAbandonedOutput(active);
        return;
    }
    bool room;
    {
        std::lock_guard<std::mutex> guard(_lock);
        room = _unattended < _maxUnattended;
        if (room) {
            // Its slot goes to the next request now; it runs on beside them.
            --_running;
            ++_unattended;
        }
    }
    if (room) {
        active.inSlot = false;
        active.unattended = true;
        return;
    }
    // As many run on for nobody as may: this one ends, keeping its slot
    // until it has (so no more programs than slots and allowance ever live).
    active.ending = true;
    active.outcome = KrCGIOutcome::Left;
    _endGroup(active, SIGTERM);
    active.killAt = nowMs() + kGrace.count();
}

void KrCGIRunner::_closeAbandonedOutput(Active& active) {
    // What the program wrote before it exited is still read (its head gives
    // the status of its line); then the output closes, whoever holds it.
    _readOutput(active);
    active.outputClosed = true;
    _closeWatched(active.fromChild);
}

void KrCGIRunner::_cannotStart(const std::shared_ptr<KrCGIRun>& run, int error) {
    _freeSlot();
    if (KrDescriptorReserve::isShortage(error))
        run->sink->ended(KrCGIOutcome::NoDescriptors, error);
    else
        run->sink->ended(KrCGIOutcome::CannotStart, 0);
}

void KrCGIRunner::_start(const std::shared_ptr<KrCGIRun>& run) {
    std::unique_ptr<KrPipePair> pipes;
    try {
        pipes = std::make_unique<KrPipePair>();
    } catch (const KrException&) {
        // The failed pipe's error: closing what was open leaves errno be.
        _cannotStart(run, errno);
        return;
    }
    // A body in a file needs no feeding: the file is the program's input.
    KrFileHandle inRead = run->inputFile ? InputFrom(*run->inputFile)
                                         : aboveStdio(std::move(pipes->toChildRead));
    KrFileHandle outWrite = aboveStdio(std::move(pipes->fromChildWrite));
    const int opened = inRead.isOpen() && outWrite.isOpen() ? 0 : (errno != 0 ? errno : EBADF);

    std::vector<char*> envp;
    for (std::string& entry : run->environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string argument0 = run->argument0;
    char* argv[] = {argument0.data(), nullptr};
    // Started with posix_spawn, which does not copy this process's page
    // tables as fork does: in its own process group, the two pipe ends as
    // standard input and output, the signal mask the process had before
    // this thread blocked SIGPIPE.
    sigset_t unblocked;
    pthread_sigmask(SIG_SETMASK, nullptr, &unblocked);
    sigdelset(&unblocked, SIGPIPE);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &unblocked);
    pid_t pid = -1;
    const int spawned = opened == 0 ? ::posix_spawn(&pid, run->program.c_str(), &actions,
                                                    &attributes, argv, envp.data())
                                    : opened;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        _cannotStart(run, spawned);
        return;
    }
    ::setpgid(pid, pid);

    const uint64_t serial = ++_nextSerial;
    auto active = std::make_unique<Active>();
    active->run = run;
    active->pid = pid;
    active->process = KrFileHandle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    active->fromChild = std::move(pipes->fromChildRead);
    active->toChild = std::move(pipes->toChildWrite);
    active->deadline = run->runLimit.count() > 0 ? nowMs() + run->runLimit.count() : 0;
    active->fromChild.setNonBlocking();
    active->toChild.setNonBlocking();
    _poller.add(active->fromChild.get(), keyOf(serial, kOutputKey), true, false);
    if (active->process.isOpen())
        _poller.add(active->process.get(), keyOf(serial, kProcessKey), true, false);
    if (!run->inputFile && run->input != nullptr && run->input->Length() > 0)
        _poller.add(active->toChild.get(), keyOf(serial, kInputKey), false, true);
    else
        active->toChild.close();
    _serialOf[run.get()] = serial;
    _active[serial] = std::move(active);
}

void KrCGIRunner::_onEvent(uint64_t key, bool) {
    const uint64_t serial = key >> 2;
    const auto it = _active.find(serial);
    if (it == _active.end())
        return;
    Active& active = *it->second;
    switch (key & 3) {
        case kOutputKey:
            _readOutput(active);
            break;
        case kInputKey:
            _writeInput(active);
            break;
        case kProcessKey:
            _reap(active, false);
            break;
        default:
            return;
    }
    _finishIfDone(serial);
}

void KrCGIRunner::_readOutput(Active& active) {
    // A few chunks per turn, so one busy program does not hold up the rest.
    for (int round = 0; round < 4 && !active.paused && !active.outputClosed; ++round) {
        const ssize_t got = active.fromChild.read(_chunk.data(), _chunk.size());
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (got <= 0) {
            active.outputClosed = true;
            _closeWatched(active.fromChild);
            if (!active.ending)
                active.exitWaitUntil = nowMs() + kExitWait.count();
            return;
        }
        if (active.ending || active.whole || active.answered)
            continue;  // read and dropped: the answer is settled
        active.output += static_cast<size_t>(got);
        if (active.output > active.run->outputLimit) {
            active.ending = true;
            active.outcome = KrCGIOutcome::OutputTooLarge;
            _endGroup(active, SIGKILL);
            continue;
        }
        _afterSink(active, active.run->sink->output(_chunk.data(), static_cast<size_t>(got)));
    }
}

void KrCGIRunner::_afterSink(Active& active, KrCGISink::Next next) {
    if (next == KrCGISink::KR_CGI_HOLD) {
        if (active.flushAt == 0)
            active.flushAt = nowMs() + KrCGISink::kHoldTime.count();
        return;
    }
    active.flushAt = 0;
    if (next == KrCGISink::KR_CGI_PAUSE) {
        active.paused = true;
        active.pausedAt = nowMs();
        if (!active.outputClosed)
            _poller.remove(active.fromChild.get());
    } else if (next == KrCGISink::KR_CGI_STOP) {
        // Its answer is settled: the program is ended, its status kept.
        active.ending = true;
        _endGroup(active, SIGKILL);
    } else if (next == KrCGISink::KR_CGI_DONE) {
        active.whole = true;
    }
}

void KrCGIRunner::_writeInput(Active& active) {
    if (!active.toChild.isOpen())
        return;
    KrStringBuf& input = *active.run->input;
    const size_t want = std::min<uint64_t>(input.Length(), kChunk);
    const ssize_t written = want > 0 ? active.toChild.write(input.Begin(), want) : 0;
    if (written > 0)
        input.gbump(static_cast<int>(written));
    const bool full = written < 0 && errno == EAGAIN;
    // All of the body, or a program that stopped reading: its input ends.
    if (!full && (written < 0 || input.Length() == 0)) {
        if (written < 0 && errno == EPIPE)
            KrTakePipeSignal();
        _closeWatched(active.toChild);
        return;
    }
    _poller.watchWrite(active.toChild.get(), keyOf(_serialOf.at(active.run.get()), kInputKey),
                       false);
}

void KrCGIRunner::_reap(Active& active, bool block) {
    if (active.exited)
        return;
    int status = 0;
    const pid_t got =
        KrRetryInterrupted([&] { return ::waitpid(active.pid, &status, block ? 0 : WNOHANG); });
    if (got == active.pid || (got < 0 && errno == ECHILD)) {
        active.exited = true;
        active.status = got == active.pid ? status : 0;
        _closeWatched(active.process);
        // The slot is the program's, not its output's: a child it left
        // holding the output open is read on without holding up the next.
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (active.inSlot)
                --_running;
            if (active.unattended)
                --_unattended;
        }
        active.inSlot = false;
        active.unattended = false;
        // Nobody waits for what such a child still writes: its end is not
        // waited for either.
        if (active.abandoned)
            _closeAbandonedOutput(active);
    }
}

void KrCGIRunner::_closeWatched(KrFileHandle& handle) {
    if (!handle.isOpen())
        return;
    _poller.remove(handle.get());
    handle.close();
}

void KrCGIRunner::_endGroup(Active& active, int signal) {
    if (active.pid > 0)
        ::kill(-active.pid, signal);
}

void KrCGIRunner::_finishIfDone(uint64_t serial) {
    const auto it = _active.find(serial);
    if (it == _active.end())
        return;
    Active& active = *it->second;
    if (active.answered) {
        // Its answer is over: once reaped, nothing is left of the run (a
        // child of it that still writes meets a closed pipe).
        if (active.exited) {
            _closeWatched(active.fromChild);
            _closeWatched(active.process);
            _active.erase(it);
        }
        return;
    }
    // One ended from here is done once reaped, whatever holds its output.
    // Otherwise the answer ends with the output (with the status when the
    // program exits soon after, else without, the program reaped later), or
    // when the sink has all it wants.
    if (active.ending ? active.exited
                      : active.whole || (active.outputClosed &&
                                         (active.exited || nowMs() >= active.exitWaitUntil)))
        _finish(serial, active.outcome);
}

void KrCGIRunner::_finish(uint64_t serial, KrCGIOutcome outcome) {
    const auto it = _active.find(serial);
    if (it == _active.end())
        return;
    Active& active = *it->second;
    std::shared_ptr<KrCGIRun> run = std::move(active.run);
    _serialOf.erase(run.get());
    const bool exited = active.exited;
    _closeWatched(active.toChild);
    // A program that goes on is read to the end of its output (and what it
    // writes dropped), so that it never blocks on a full pipe.
    if (exited)
        _closeWatched(active.fromChild);
    else if (active.paused && active.fromChild.isOpen())
        _poller.add(active.fromChild.get(), keyOf(serial, kOutputKey), true, false);
    const int status = active.status;
    const size_t output = active.output;
    const bool abandoned = active.abandoned;
    if (exited) {
        _closeWatched(active.process);
        _active.erase(it);
    } else {
        // Went on after its output: only waited for from now on.
        active.answered = true;
        active.flushAt = 0;
        active.paused = false;
    }
    if (outcome == KrCGIOutcome::Finished && output == 0 && exited && WIFEXITED(status) &&
        WEXITSTATUS(status) == 127)
        outcome = KrCGIOutcome::CannotStart;
    if (abandoned && outcome != KrCGIOutcome::Left)
        outcome = KrCGIOutcome::Cancelled;
    run->sink->ended(outcome, status);
}

int KrCGIRunner::_nextTimeoutMs() {
    if (_active.empty())
        return -1;
    const int64_t now = nowMs();
    int64_t next = INT64_MAX;
    for (const auto& [serial, active] : _active) {
        if (!active->process.isOpen() && !active->exited)
            next = std::min<int64_t>(next, now + kReapPollMs);
        if (active->killAt != 0)
            next = std::min(next, active->killAt);
        if (active->answered || active->ending) {
            continue;
        } else if (active->outputClosed) {
            next = std::min(next, active->exitWaitUntil);
        } else if (!active->paused) {
            if (active->deadline != 0)
                next = std::min(next, active->deadline);
            if (active->flushAt != 0)
                next = std::min(next, active->flushAt);
        }
    }
    if (next == INT64_MAX)
        return -1;
    return static_cast<int>(std::clamp<int64_t>(next - now, 0, INT_MAX));
}

void KrCGIRunner::_checkDeadlines() {
    const int64_t now = nowMs();
    std::vector<uint64_t> serials;
    for (auto& [serial, active] : _active) {
        if (!active->answered) {
            if (!active->ending && !active->paused && !active->outputClosed &&
                active->deadline != 0 && now >= active->deadline) {
                active->ending = true;
                active->outcome = KrCGIOutcome::TimedOut;
                _endGroup(*active, SIGKILL);
            }
            if (active->flushAt != 0 && now >= active->flushAt && !active->paused &&
                !active->ending) {
                active->flushAt = 0;
                if (!active->outputClosed)
                    _afterSink(*active, active->run->sink->flush());
            }
        }
        if (active->killAt != 0 && now >= active->killAt) {
            active->killAt = 0;
            _endGroup(*active, SIGKILL);
        }
        if (!active->process.isOpen())
            _reap(*active, false);
        serials.push_back(serial);
    }
    for (const uint64_t serial : serials)
        _finishIfDone(serial);
}
