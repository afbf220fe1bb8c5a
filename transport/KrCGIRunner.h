#pragma once
// Runs CGI programs without a thread per program: one thread watches every
// running program's pipes and process in one epoll set, feeds each its request
// body (or makes a body kept in a file its input) and passes its output on as
// it comes. A run's answer ends when the program's output ends; a program
// that goes on after closing its output is reaped apart from it. It is ended
// early only when its caller set a limit on the whole run (KrCGIRun::runLimit),
// when its output is too large for a caller that keeps it in memory, when its
// caller left with the allowance below full, or on stop.
//
// At most `maxRunning` programs run at once for callers that wait for them,
// each holding its slot until it has exited (whether or not its answer is
// complete) and no longer: a child it left holding its output open is read to
// the end without one. Later ones wait for a slot in the order they came, for
// as long as their callers do (whoever submits bounds how many wait). A
// program whose caller leaves gives up its slot at once and runs on to its
// end among at most `maxUnattended` such programs (an import whose page was
// closed still finishes); one whose caller leaves while that allowance is
// full is ended (TERM, then KILL after kGrace) and ends as Left. Each program
// runs in a process group of its own, so that ending it ends its children too.
//
// Thread-safe: submit, resume, abandon and stop post commands under
// `_lock` and wake the runner's thread, which alone touches the runs'
// processes and descriptors and calls their sinks. stop (also the
// destructor) ends every program (TERM, then KILL after a short grace) and
// joins the thread.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/KrFileHandle.h"
#include "foundation/KrStringBuf.h"
#include "transport/KrPoller.h"

// The two pipes of a CGI child: parent-to-child (its standard input) and
// child-to-parent (its standard output). Owns the four descriptors, all
// close-on-exec. Throws KrException "problem with pipes" when a pipe cannot
// be made.
class KrPipePair {
  public:
    KrPipePair();
    ~KrPipePair() { closeAll(); }
    KrPipePair(const KrPipePair&) = delete;
    KrPipePair& operator=(const KrPipePair&) = delete;
    void closeAll();

    KrFileHandle toChildRead;
    KrFileHandle toChildWrite;
    KrFileHandle fromChildRead;
    KrFileHandle fromChildWrite;
};

// How a CGI run ended.
// NoDescriptors: it could not start for want of descriptors, which passes
// (the sink's `status` is then the error number). Cancelled: abandoned, or
// ended by stop. Left: abandoned and not run to its end: it never started,
// or it was ended because the allowance for programs nobody waits for was
// full.
enum class KrCGIOutcome {
    Finished,
    CannotStart,
    NoDescriptors,
    TimedOut,
    OutputTooLarge,
    Cancelled,
    Left
};

// Where a run's output goes; called on the runner's thread only.
class KrCGISink {
  public:
    // What the run does after output: read on, wait for resume, end the
    // program (its answer is settled, nothing more is wanted), read on
    // while the sink holds what came (flush is called when the program
    // neither writes more nor ends within kHoldTime), or end the run now
    // as finished while the program goes on (its answer is whole: what it
    // writes after is read and dropped).
    enum Next { KR_CGI_MORE, KR_CGI_PAUSE, KR_CGI_STOP, KR_CGI_HOLD, KR_CGI_DONE };
    static constexpr std::chrono::milliseconds kHoldTime{200};

    virtual ~KrCGISink() = default;
    virtual Next output(const char* data, size_t size) = 0;
    // Output has been held for kHoldTime: pass it on now.
    virtual Next flush() { return KR_CGI_MORE; }
    // The run is over: the program's output has ended, or the program was
    // ended. `status` is waitpid's status when the program was reaped by
    // then, else 0 (a program still running after closing its output). A
    // program that exits with 127 before writing anything (its interpreter
    // or a library missing) ends as CannotStart; an abandoned run ends as
    // Cancelled, however its program ended.
    virtual void ended(KrCGIOutcome outcome, int status) = 0;
};

// One program to run: what to start, what to feed it, where its output goes.
struct KrCGIRun {
    // The program as execve takes it (a path), its argument 0, and the
    // environment as "NAME=value" texts.
    std::string program;
    std::string argument0;
    std::vector<std::string> environment;
    // Fed to the program's standard input from its read position; whoever
    // submits keeps it alive until the sink hears the end (`keep` may hold it).
    KrStringBuf* input = nullptr;
    // Instead of `input`: a file that is the program's standard input
    // itself, read from its start (a request body kept in a file). The
    // program shares its offset: nobody else may read it by position.
    std::shared_ptr<KrFileHandle> inputFile;
    std::shared_ptr<void> keep;
    std::shared_ptr<KrCGISink> sink;
    // The longest whole run (time spent paused for a slow reader does not
    // count), for a caller that waits for the end and cannot leave; beyond
    // it: TimedOut. 0: none, for an answer whose client may leave instead.
    std::chrono::milliseconds runLimit{0};
    // Output beyond this ends the program (OutputTooLarge); for sinks that
    // keep all of it in memory.
    size_t outputLimit = SIZE_MAX;
};

class KrCGIRunner {
  public:
    KrCGIRunner(size_t maxRunning, size_t maxUnattended);
    ~KrCGIRunner();
    KrCGIRunner(const KrCGIRunner&) = delete;
    KrCGIRunner& operator=(const KrCGIRunner&) = delete;

    // Starts the run or queues it for a slot; false (the sink is not
    // called) once the runner has stopped.
    bool submit(std::shared_ptr<KrCGIRun> run);
    // The sink can take output again after KR_CGI_PAUSE.
    void resume(const std::shared_ptr<KrCGIRun>& run);
    // Nobody waits for the run's answer any more: a queued one never starts
    // (Left). A running program leaves its slot and, within the allowance,
    // is still fed its input and runs to its end, its output read (the sink
    // drops it) and never paused for; the run ends as Cancelled once its
    // output has ended or, should a child it left hold that open, once the
    // program has exited. Beyond the allowance it is ended (Left).
    void abandon(const std::shared_ptr<KrCGIRun>& run);
    // True on the runner's own thread, which must never wait for a run.
    bool onRunnerThread() const { return std::this_thread::get_id() == _threadId.load(); }
    // Ends every run and the thread; later submits are refused. Returns
    // once every program has been reaped.
    void stop();

    void setLimits(size_t maxRunning, size_t maxUnattended);
    size_t queuedCount();
    // Programs that run on after their callers left.
    size_t unattendedCount();

    // A program asked to end gets this long before it is killed.
    static constexpr std::chrono::milliseconds kGrace{300};
    // After its output ends a program has this long to exit, so that its
    // status (a crash, a missing interpreter) still shapes the answer; one
    // that runs on is reaped apart from it.
    static constexpr std::chrono::milliseconds kExitWait{100};

  private:
    struct Active;
    enum class Command { Resume, Abandon };

    // Hands the command to the thread; nothing once the thread has ended.
    void _command(Command command, const std::shared_ptr<KrCGIRun>& run);
    void _loop();
    void _startQueuedNL(std::vector<std::shared_ptr<KrCGIRun>>& starting);
    // Takes a run whose caller left out of the queue; false when not queued.
    bool _dropQueuedNL(const std::shared_ptr<KrCGIRun>& run);
    void _abandon(Active& active);
    // An abandoned run whose program has exited: its output is read as far
    // as it has come and closed.
    void _closeAbandonedOutput(Active& active);
    void _start(const std::shared_ptr<KrCGIRun>& run);
    // Ends a run that did not start; `error` is why (an errno value).
    void _cannotStart(const std::shared_ptr<KrCGIRun>& run, int error);
    // A program that held a slot has exited (or never started): another may run.
    void _freeSlot();
    void _onEvent(uint64_t key, bool broken);
    void _readOutput(Active& active);
    void _writeInput(Active& active);
    void _reap(Active& active, bool block);
    // Takes an open descriptor of a run out of the set and closes it.
    void _closeWatched(KrFileHandle& handle);
    void _endGroup(Active& active, int signal);
    void _finishIfDone(uint64_t serial);
    void _finish(uint64_t serial, KrCGIOutcome outcome);
    void _afterSink(Active& active, KrCGISink::Next next);
    int _nextTimeoutMs();
    void _checkDeadlines();

    // Guards the queue, the commands, the limits, the two counts and the
    // stop flag; the thread takes it only to pick up work.
    std::mutex _lock;
    std::deque<std::shared_ptr<KrCGIRun>> _queue;
    std::vector<std::pair<Command, std::shared_ptr<KrCGIRun>>> _commands;
    size_t _maxRunning;
    size_t _maxUnattended;
    // Programs in slots, and those running on without a caller.
    size_t _running = 0;
    size_t _unattended = 0;
    bool _stopping = false;
    bool _threadDone = false;
    std::thread _thread;
    std::atomic<std::thread::id> _threadId{};

    // The runner thread's own: the runs started, by serial.
    KrPoller _poller;
    std::map<uint64_t, std::unique_ptr<Active>> _active;
    std::map<const KrCGIRun*, uint64_t> _serialOf;
    uint64_t _nextSerial = 0;
    std::vector<char> _chunk = std::vector<char>(64 * 1024);
};
