#include "transport/KrCGIRunner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/tests/WaitFor.h"
#include "transport/tests/FifoGate.h"
#include "transport/tests/ProcessProbe.h"

namespace {


// What a run wrote and how it ended.
class RecordingSink : public KrCGISink {
  public:
    Next output(const char* data, size_t size) override {
        std::lock_guard<std::mutex> guard(_mutex);
        _output.append(data, size);
        return KR_CGI_MORE;
    }
    void ended(KrCGIOutcome outcome, int) override {
        std::lock_guard<std::mutex> guard(_mutex);
        _outcome = outcome;
        ++_ends;
        _changed.notify_all();
    }
    // Whether the run ended within `limit`.
    bool waitEnded(std::chrono::milliseconds limit = kPatience) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, limit, [&] { return _ends > 0; });
    }
    bool hasEnded() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _ends > 0;
    }
    KrCGIOutcome outcome() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _outcome;
    }
    int ends() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _ends;
    }
    std::string output() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _output;
    }

  private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::string _output;
    KrCGIOutcome _outcome = KrCGIOutcome::Finished;
    int _ends = 0;
};

// A folder for the scripts, the gates and what the programs write.
class ScriptFolder {
  public:
    ScriptFolder() {
        char pattern[] = "/tmp/quivo-runner-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~ScriptFolder() { std::filesystem::remove_all(path); }
    ScriptFolder(const ScriptFolder&) = delete;
    ScriptFolder& operator=(const ScriptFolder&) = delete;

    // Writes an executable shell script; its path.
    std::string script(const std::string& name, const std::string& body) const {
        const std::string file = path + "/" + name;
        std::ofstream(file) << "#!/bin/sh\n" << body;
        ::chmod(file.c_str(), 0755);
        return file;
    }
    // The words of the file `name`, one per line (none when it is missing).
    std::vector<std::string> lines(const std::string& name) const {
        std::vector<std::string> words;
        std::ifstream in(path + "/" + name);
        std::string word;
        while (in >> word)
            words.push_back(word);
        return words;
    }
    // Waits (up to the tests' patience) until `name` holds at least `count` lines.
    std::vector<std::string> waitLines(const std::string& name, size_t count) const {
        std::vector<std::string> words;
        WaitFor([&] {
            words = lines(name);
            return words.size() >= count;
        });
        return words;
    }

    std::string path;
};

std::shared_ptr<KrCGIRun> RunOf(const std::string& program,
                                std::shared_ptr<RecordingSink> sink,
                                std::vector<std::string> environment = {}) {
    auto run = std::make_shared<KrCGIRun>();
    run->program = program;
    run->argument0 = program;
    run->environment = std::move(environment);
    run->environment.push_back("PATH=/usr/bin:/bin");
    run->sink = std::move(sink);
    return run;
}

// Whether the process `pid` ends within the tests' patience.
bool Ends(pid_t pid) {
    return WaitFor([&] { return !ProcessAlive(pid); });
}

}  // namespace

TEST(KrCGIRunner, RunsBeyondTheSlotsWaitInTheOrderTheyCameAndAllRun) {
    // One slot: each run records its number as it starts and waits for its
    // own gate. None is refused, however many wait.
    ScriptFolder folder;
    const std::string program =
        folder.script("ordered.sh", "echo $N >> \"$DIR/started\"\nread go < \"$DIR/gate$N\"\n"
                                    "printf 'run %s' $N\n");
    constexpr int kRuns = 6;
    std::vector<std::unique_ptr<FifoGate>> gates;
    std::vector<std::shared_ptr<RecordingSink>> sinks;
    KrCGIRunner runner(1, 1);
    for (int n = 0; n < kRuns; ++n) {
        gates.push_back(std::make_unique<FifoGate>(folder.path + "/gate" + std::to_string(n)));
        sinks.push_back(std::make_shared<RecordingSink>());
        ASSERT_TRUE(runner.submit(RunOf(program, sinks.back(),
                                        {"N=" + std::to_string(n), "DIR=" + folder.path})));
    }
    ASSERT_EQ(folder.waitLines("started", 1), std::vector<std::string>{"0"});
    EXPECT_EQ(runner.queuedCount(), size_t{kRuns - 1});
    for (int n = 0; n < kRuns; ++n) {
        gates[n]->open();
        ASSERT_TRUE(sinks[n]->waitEnded()) << n;
        EXPECT_EQ(sinks[n]->outcome(), KrCGIOutcome::Finished) << n;
        EXPECT_EQ(sinks[n]->output(), "run " + std::to_string(n)) << n;
    }
    const std::vector<std::string> started = folder.lines("started");
    ASSERT_EQ(started.size(), size_t{kRuns});
    for (int n = 0; n < kRuns; ++n)
        EXPECT_EQ(started[n], std::to_string(n));
}

TEST(KrCGIRunner, AProgramWhoseCallerLeftGivesUpItsSlotAndFinishesWithinTheAllowance) {
    // One slot, room for one program nobody waits for. The first program's
    // caller leaves while it works: the next run starts at once, and the
    // first still finishes its work.
    ScriptFolder folder;
    const std::string work = folder.script(
        "work.sh", "echo $$ >> \"$DIR/pids\"\nread go < \"$DIR/gate\"\necho done >> \"$DIR/done\"\n");
    const std::string quick = folder.script("quick.sh", "printf quick\n");
    FifoGate gate(folder.path + "/gate");
    KrCGIRunner runner(1, 1);
    auto left = std::make_shared<RecordingSink>();
    const std::shared_ptr<KrCGIRun> leaving = RunOf(work, left, {"DIR=" + folder.path});
    ASSERT_TRUE(runner.submit(leaving));
    const std::vector<std::string> pids = folder.waitLines("pids", 1);
    ASSERT_EQ(pids.size(), 1u);
    auto next = std::make_shared<RecordingSink>();
    ASSERT_TRUE(runner.submit(RunOf(quick, next)));
    runner.abandon(leaving);
    ASSERT_TRUE(next->waitEnded());
    EXPECT_EQ(next->output(), "quick");
    // The first one is still at its gate: it was not ended.
    EXPECT_TRUE(ProcessAlive(std::stoi(pids[0])));
    EXPECT_FALSE(left->hasEnded());
    EXPECT_EQ(runner.unattendedCount(), 1u);
    gate.open();
    ASSERT_TRUE(left->waitEnded());
    EXPECT_EQ(left->outcome(), KrCGIOutcome::Cancelled);
    EXPECT_EQ(folder.lines("done"), std::vector<std::string>{"done"});
    EXPECT_EQ(runner.unattendedCount(), 0u);
}

TEST(KrCGIRunner, BeyondTheAllowanceAProgramWhoseCallerLeftIsEndedAndAQueuedOneNeverStarts) {
    // One slot and room for one program nobody waits for: the first to lose
    // its caller runs on, the second is ended, a queued third never starts.
    // No more programs than slot and allowance are alive at any time.
    ScriptFolder folder;
    const std::string hang =
        folder.script("hang.sh", "echo $$ >> \"$DIR/pids\"\nexec sleep 600\n");
    KrCGIRunner runner(1, 1);
    std::vector<std::shared_ptr<RecordingSink>> sinks;
    std::vector<std::shared_ptr<KrCGIRun>> runs;
    for (int n = 0; n < 3; ++n) {
        sinks.push_back(std::make_shared<RecordingSink>());
        runs.push_back(RunOf(hang, sinks.back(), {"DIR=" + folder.path}));
        ASSERT_TRUE(runner.submit(runs.back()));
    }
    const std::vector<std::string> first = folder.waitLines("pids", 1);
    ASSERT_EQ(first.size(), 1u);
    runner.abandon(runs[0]);
    // Its slot goes to the second.
    const std::vector<std::string> both = folder.waitLines("pids", 2);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(runner.queuedCount(), 1u);
    runner.abandon(runs[2]);
    ASSERT_TRUE(sinks[2]->waitEnded());
    EXPECT_EQ(sinks[2]->outcome(), KrCGIOutcome::Left);
    runner.abandon(runs[1]);
    ASSERT_TRUE(sinks[1]->waitEnded());
    EXPECT_EQ(sinks[1]->outcome(), KrCGIOutcome::Left);
    EXPECT_TRUE(Ends(std::stoi(both[1])));
    EXPECT_TRUE(ProcessAlive(std::stoi(first[0])));
    EXPECT_FALSE(sinks[0]->hasEnded());
    EXPECT_EQ(folder.lines("pids").size(), 2u);
    // A run that comes now has a slot at once.
    auto later = std::make_shared<RecordingSink>();
    ASSERT_TRUE(runner.submit(RunOf(folder.script("quick.sh", "printf quick\n"), later)));
    ASSERT_TRUE(later->waitEnded());
    EXPECT_EQ(later->output(), "quick");
    // Stop ends the one that ran on, which tells its end once.
    runner.stop();
    EXPECT_TRUE(Ends(std::stoi(first[0])));
    EXPECT_EQ(sinks[0]->ends(), 1);
    EXPECT_FALSE(runner.submit(RunOf(hang, std::make_shared<RecordingSink>())));
}

TEST(KrCGIRunner, AnAbandonedProgramThatExitedEndsItsRunThoughAChildHoldsItsOutput) {
    // The program leaves a child holding its output and exits once its
    // caller has left: nobody reads for that caller, so the run ends at the
    // program's exit and its pipe is closed, while the child lives on.
    ScriptFolder folder;
    const std::string leaves = folder.script(
        "leaves.sh", "sleep 600 &\necho $! >> \"$DIR/children\"\necho $$ >> \"$DIR/pids\"\n"
                     "read go < \"$DIR/gate\"\n");
    FifoGate gate(folder.path + "/gate");
    KrCGIRunner runner(1, 1);
    // The runner's own descriptors come with its first run.
    auto first = std::make_shared<RecordingSink>();
    ASSERT_TRUE(runner.submit(RunOf(folder.script("quick.sh", "printf quick\n"), first)));
    ASSERT_TRUE(first->waitEnded());
    const size_t pipesBefore = OpenDescriptorsOf("pipe");
    auto sink = std::make_shared<RecordingSink>();
    const std::shared_ptr<KrCGIRun> run = RunOf(leaves, sink, {"DIR=" + folder.path});
    ASSERT_TRUE(runner.submit(run));
    const std::vector<std::string> pids = folder.waitLines("pids", 1);
    const std::vector<std::string> children = folder.waitLines("children", 1);
    ASSERT_EQ(pids.size(), 1u);
    ASSERT_EQ(children.size(), 1u);
    runner.abandon(run);
    gate.open();
    ASSERT_TRUE(sink->waitEnded());
    EXPECT_EQ(sink->outcome(), KrCGIOutcome::Cancelled);
    EXPECT_TRUE(Ends(std::stoi(pids[0])));
    EXPECT_TRUE(ProcessAlive(std::stoi(children[0])));
    EXPECT_EQ(OpenDescriptorsOf("pipe"), pipesBefore);
    EXPECT_EQ(runner.unattendedCount(), 0u);
    ::kill(-std::stoi(pids[0]), SIGKILL);
    EXPECT_TRUE(Ends(std::stoi(children[0])));
}
