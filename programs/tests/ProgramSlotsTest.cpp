// quivoone's programs under load: requests beyond the program slots wait
// for one and are all answered, the slots follow the CPUs the process may
// use, and programs whose clients left never hold up those who stay nor
// grow past the slots and their allowance.
#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/tests/WaitFor.h"
#include "programs/tests/ProgramHarness.h"
#include "transport/tests/HttpTestServer.h"
#include "transport/tests/ProcessProbe.h"

namespace {

using namespace std::chrono_literals;
using harness::Folder;
using harness::Process;

// The first `count` CPUs this process may use, as taskset's list ("0,1");
// empty when it may use fewer.
std::string FirstCpus(int count) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return "";
    std::string list;
    for (int cpu = 0, found = 0; cpu < CPU_SETSIZE && found < count; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            list += (found++ == 0 ? "" : ",") + std::to_string(cpu);
            if (found == count)
                return list;
        }
    }
    return "";
}

size_t UsableCpus() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    return ::sched_getaffinity(0, sizeof allowed, &allowed) == 0
               ? static_cast<size_t>(CPU_COUNT(&allowed))
               : 1;
}

// The numbers in the file at `path`, one per line.
std::vector<long> NumbersIn(const std::string& path) {
    std::vector<long> numbers;
    std::ifstream in(path);
    long number;
    while (in >> number)
        numbers.push_back(number);
    return numbers;
}

size_t AliveOf(const std::vector<long>& pids) {
    return static_cast<size_t>(std::count_if(pids.begin(), pids.end(), [](long pid) {
        return ProcessAlive(static_cast<pid_t>(pid));
    }));
}

std::string Get(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

void Reset(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

// The text of the file `name` in `folder` (empty when missing).
std::string FileText(const Folder& folder, const std::string& name) {
    std::ifstream in(folder.path + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// quivoone serving `folder` (on CPUs `cpus` when given), listening on the
// port it returns. Its standard output and error go to the files
// output.txt and error.txt there, so that thousands of lines never wait
// for the test to read them.
unsigned Start(Folder& folder, std::unique_ptr<Process>& program, const std::string& cpus = "",
               std::vector<std::string> env = {}) {
    const int port = harness::freePort();
    folder.configure(std::to_string(port));
    const std::string pinned = cpus.empty() ? "" : "/usr/bin/taskset -c " + cpus + " ";
    program = std::make_unique<Process>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec " + pinned + QUIVOONE_PROGRAM +
                                     " >output.txt 2>error.txt"},
        folder.path, env);
    EXPECT_TRUE(WaitFor([&] { return harness::listening(port); }))
        << FileText(folder, "error.txt");
    return static_cast<unsigned>(port);
}

// The access-log lines quivoone wrote for `path` so far.
size_t LinesFor(const Folder& folder, const std::string& path) {
    return Occurrences(FileText(folder, "output.txt"), "\"GET " + path);
}

}  // namespace

TEST(ProgramSlots, ABurstOfProgramRequestsIsAnsweredWholeWithoutARefusal) {
    // 3,000 requests for a CGI program (one in 100 for a PHP page, whose
    // interpreter takes far longer to start), 100 at a time on connections
    // of their own: far more than the slots, and none of them is refused.
    // Each answer is its own request's.
    Folder folder;
    folder.write("cgi-bin/echo.sh",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\ncgi %s' \"$QUERY_STRING\"\n",
                 true);
    folder.write("echo.php", "<?php echo 'php ', $_SERVER['QUERY_STRING'];\n");
    std::unique_ptr<Process> program;
    const unsigned port = Start(folder, program);
    constexpr int kClients = 100;
    constexpr int kEach = 30;
    std::atomic<int> answered{0};
    std::vector<std::string> wrong(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kEach; ++i) {
                const int n = c * kEach + i;
                const bool php = n % 100 == 99;
                const std::string query = std::to_string(n);
                const int fd = ConnectLoopback(port);
                SendAll(fd, Get((php ? "/echo.php?" : "/cgi-bin/echo.sh?") + query));
                const std::string in = httptest::Answers(fd, 1);
                ::close(fd);
                const std::string expected = (php ? "php " : "cgi ") + query;
                if (in.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 ||
                    httptest::DecodedBody(in) != expected) {
                    if (wrong[c].empty())
                        wrong[c] = query + ": " + in.substr(0, 300);
                    continue;
                }
                ++answered;
            }
        });
    }
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(answered.load(), kClients * kEach);
    for (const std::string& first : wrong)
        EXPECT_EQ(first, "");
    EXPECT_EQ(FileText(folder, "output.txt").find("--> 503"), std::string::npos);
    program->send("quit\n");
    EXPECT_EQ(program->wait(), 0);
}

TEST(ProgramSlots, AServerOnTwoCPUsRunsAsManyProgramsAsTwoCPUsCarry) {
    // Pinned to two of the machine's CPUs, it runs four programs at once
    // (two per CPU), however many the machine has; the others wait their
    // turn and are answered as those end.
    if (UsableCpus() < 3)
        GTEST_SKIP() << "needs a third CPU to tell the process's CPUs from the machine's";
    Folder folder;
    folder.write("cgi-bin/gate.sh",
                 "#!/bin/sh\ncd '" + folder.path + "/cgi-bin'\nmkdir -p running\ntouch running/$$\n"
                 "ls running | wc -l >> counts\necho $$ >> pids\nread go < gate\n"
                 "rm running/$$\nprintf 'Content-Type: text/plain\\r\\n\\r\\nran'\n",
                 true);
    ASSERT_EQ(::mkfifo((folder.path + "/cgi-bin/gate").c_str(), 0600), 0);
    std::unique_ptr<Process> program;
    const unsigned port = Start(folder, program, FirstCpus(2), {"QUIVO_TRACE_PHASES=1"});
    constexpr int kRequests = 6;
    std::vector<int> peers;
    for (int i = 0; i < kRequests; ++i) {
        peers.push_back(ConnectLoopback(port));
        SendAll(peers.back(), Get("/cgi-bin/gate.sh"));
    }
    // Every request's answer has begun: its program runs or waits.
    const auto begun = [&] { return Occurrences(FileText(folder, "error.txt"), "-> Answering"); };
    ASSERT_TRUE(WaitFor([&] { return begun() >= kRequests; })) << FileText(folder, "error.txt");
    const std::string pids = folder.path + "/cgi-bin/pids";
    ASSERT_TRUE(WaitFor([&] { return NumbersIn(pids).size() >= 4; }));
    // (A fifth would have started by now on a server with more slots.)
    EXPECT_FALSE(WaitFor([&] { return NumbersIn(pids).size() > 4; }, 1s));
    // The gate lets them all go: the waiting ones run as slots free.
    const int gate = ::open((folder.path + "/cgi-bin/gate").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(gate, 0);
    const std::string go(kRequests, '\n');
    ASSERT_EQ(::write(gate, go.data(), go.size()), static_cast<ssize_t>(go.size()));
    for (const int fd : peers) {
        const std::string in = httptest::Answers(fd, 1);
        EXPECT_EQ(httptest::DecodedBody(in), "ran") << in;
        ::close(fd);
    }
    ::close(gate);
    const std::vector<long> counts = NumbersIn(folder.path + "/cgi-bin/counts");
    ASSERT_EQ(counts.size(), size_t{kRequests});
    EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), 4);
    program->send("quit\n");
    EXPECT_EQ(program->wait(), 0);
}

TEST(ProgramSlots, ResetsOfRequestsToASlowProgramNeverRunMoreThanTheSlotsAndTheAllowance) {
    // On two CPUs: four slots and room for four programs whose clients
    // left. 1,000 clients ask for a program that never ends by itself and
    // reset, some at once, some once it runs. However they fall, no more
    // than eight of its processes are alive at any time; afterwards four
    // run on, every other request has its line, and clients that stay are
    // answered.
    const std::string cpus = FirstCpus(2);
    if (cpus.empty())
        GTEST_SKIP() << "needs two CPUs";
    Folder folder;
    folder.write("cgi-bin/slow.sh",
                 "#!/bin/sh\necho $$ >> '" + folder.path + "/cgi-bin/pids'\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                 "while :; do echo line; sleep 0.01; done\n",
                 true);
    folder.write("cgi-bin/quick.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nquick'\n",
                 true);
    std::unique_ptr<Process> program;
    const unsigned port = Start(folder, program, cpus);
    const std::string pids = folder.path + "/cgi-bin/pids";
    constexpr size_t kMostAlive = 8;
    std::atomic<bool> storming{true};
    std::atomic<size_t> mostAlive{0};
    std::thread watch([&] {
        while (storming.load()) {
            const size_t alive = AliveOf(NumbersIn(pids));
            mostAlive.store(std::max(mostAlive.load(), alive));
            std::this_thread::sleep_for(2ms);
        }
    });
    constexpr int kPeers = 1000;
    constexpr int kBatch = 50;
    for (int batch = 0; batch < kPeers / kBatch; ++batch) {
        std::vector<int> peers;
        for (int i = 0; i < kBatch; ++i) {
            peers.push_back(ConnectLoopback(port));
            SendAll(peers.back(), Get("/cgi-bin/slow.sh"));
        }
        // Half reset at once; the others once the programs of the moment run.
        for (int i = 0; i < kBatch; i += 2)
            Reset(peers[i]);
        const size_t started = NumbersIn(pids).size();
        WaitFor([&] { return NumbersIn(pids).size() > started; }, 2s);
        for (int i = 1; i < kBatch; i += 2)
            Reset(peers[i]);
    }
    // Each request whose program did not run on has its line now.
    EXPECT_TRUE(WaitFor([&] { return LinesFor(folder, "/cgi-bin/slow.sh") >= kPeers - 4; }))
        << LinesFor(folder, "/cgi-bin/slow.sh");
    EXPECT_TRUE(WaitFor([&] { return AliveOf(NumbersIn(pids)) == 4; }))
        << AliveOf(NumbersIn(pids));
    storming.store(false);
    watch.join();
    EXPECT_LE(mostAlive.load(), kMostAlive);
    EXPECT_EQ(LinesFor(folder, "/cgi-bin/slow.sh"), size_t{kPeers - 4});
    // Those who stay are answered beside the four.
    for (int i = 0; i < 8; ++i) {
        const int fd = ConnectLoopback(port);
        SendAll(fd, Get("/cgi-bin/quick.sh"));
        EXPECT_EQ(httptest::DecodedBody(httptest::Answers(fd, 1)), "quick");
        ::close(fd);
    }
    // quit ends the four; their lines come then, one per request.
    program->send("quit\n");
    EXPECT_EQ(program->wait(), 0);
    EXPECT_EQ(AliveOf(NumbersIn(pids)), 0u);
    EXPECT_EQ(LinesFor(folder, "/cgi-bin/slow.sh"), size_t{kPeers});
    EXPECT_EQ(FileText(folder, "output.txt").find("--> 502"), std::string::npos);
}
