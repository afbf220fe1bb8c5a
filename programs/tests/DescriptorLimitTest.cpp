// quivoone at its descriptor limit: peers that connect and hold take no
// more than half of its descriptors, every request on the connections it
// accepted is answered as it would be without them (never 404 for a file
// that exists), and the peers that waited are served as the others leave.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "foundation/tests/WaitFor.h"
#include "programs/tests/ProgramHarness.h"
#include "transport/tests/HttpTestServer.h"

namespace {

using harness::Folder;
using harness::Process;

constexpr int kDescriptors = 256;
// How long the peers may take to be answered, first some, then all: far
// beyond what a sanitizer build on a busy machine needs.
constexpr std::chrono::milliseconds kAnswering = std::chrono::seconds(60);

// The sockets process `pid` holds (its listeners among them).
size_t SocketsOf(pid_t pid) {
    size_t count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0)
            ++count;
    }
    return count;
}

struct Served {
    std::string path;
    std::string body;
};

// Reads what has come on the peers not yet answered, waiting for the first
// bytes no later than `deadline`; those whose answer is whole, or that
// closed, are marked in `answered` and their status and body checked.
void TakeAnswers(const std::vector<int>& peers, const std::vector<Served>& asked,
                 std::vector<std::string>& received, std::vector<bool>& answered,
                 const Deadline& deadline) {
    std::vector<pollfd> watch;
    std::vector<size_t> which;
    for (size_t i = 0; i < peers.size(); ++i) {
        if (!answered[i]) {
            watch.push_back(pollfd{peers[i], POLLIN, 0});
            which.push_back(i);
        }
    }
    if (watch.empty() || ::poll(watch.data(), watch.size(), deadline.pollTimeout()) <= 0)
        return;
    for (size_t k = 0; k < watch.size(); ++k) {
        if (!(watch[k].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const size_t i = which[k];
        char buffer[65536];
        const ssize_t n = ::recv(peers[i], buffer, sizeof buffer, 0);
        if (n > 0)
            received[i].append(buffer, static_cast<size_t>(n));
        if (n <= 0 || httptest::CountAnswers(received[i]) >= 1) {
            answered[i] = true;
            const Served& served = asked[i % asked.size()];
            EXPECT_EQ(received[i].substr(0, received[i].find("\r\n")), "HTTP/1.1 200 OK")
                << served.path << "\n"
                << received[i];
            EXPECT_EQ(httptest::DecodedBody(received[i]), served.body) << served.path;
        }
    }
}

}  // namespace

TEST(DescriptorLimit, PeersThatHoldConnectionsTakeHalfTheDescriptorsAndTheRestWait) {
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_max < 4 * kDescriptors)
        GTEST_SKIP() << "this test needs " << 4 * kDescriptors << " descriptors of its own";
    own.rlim_cur = own.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &own);

    Folder folder;
    const std::string fifty(50000, 'f');
    // One peer in four asks for a program (those beyond the slots wait for
    // one); the others for files.
    const std::vector<Served> asked = {
        {"/small.txt", "small\n"},         {"/fifty.bin", fifty},
        {"/index.html", "<p>index</p>\n"}, {"/cgi-bin/hello.sh", "hello\n"},
        {"/small.txt", "small\n"},         {"/fifty.bin", fifty},
        {"/index.html", "<p>index</p>\n"}, {"/hello.php", "php\n"}};
    folder.write("small.txt", "small\n");
    folder.write("fifty.bin", fifty);
    folder.write("index.html", "<p>index</p>\n");
    folder.write("cgi-bin/hello.sh",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello\\n'\n", true);
    folder.write("hello.php", "<?php echo \"php\\n\";\n");
    const int port = harness::freePort();
    folder.configure(std::to_string(port));
    // Started with a limit it cannot raise.
    const std::string limit = std::to_string(kDescriptors);
    Process program({"/usr/bin/prlimit", "--nofile=" + limit + ":" + limit, "--", QUIVOONE_PROGRAM},
                    folder.path);
    ASSERT_TRUE(program.waitOutput("going to run app\n")) << program.error;
    ASSERT_TRUE(harness::waitListening(port)) << program.error;

    // More peers than the server has descriptors, each asking for one of
    // the files or programs.
    constexpr size_t kPeers = kDescriptors + 64;
    std::vector<int> peers;
    for (size_t i = 0; i < kPeers; ++i) {
        peers.push_back(ConnectLoopback(static_cast<unsigned>(port)));
        ASSERT_GE(peers.back(), 0) << i;
        const Served& served = asked[i % asked.size()];
        SendAll(peers.back(), "GET " + served.path + " HTTP/1.1\r\nHost: test\r\n\r\n");
    }
    std::vector<std::string> received(kPeers);
    std::vector<bool> answered(kPeers, false);
    const auto count = [&] { return std::count(answered.begin(), answered.end(), true); };
    // Answers come a few at a time as the server gets to them, so poll may
    // wake many times before enough are in: the clock bounds the wait.
    const Deadline firstAnswers(kAnswering);
    while (count() < kDescriptors / 4 && !firstAnswers.passed())
        TakeAnswers(peers, asked, received, answered, firstAnswers);
    ASSERT_GE(count(), kDescriptors / 4) << program.error;
    // The connections it holds are at most half its descriptors (and its
    // two listeners); the other peers wait to be accepted.
    EXPECT_LE(SocketsOf(program.pid), static_cast<size_t>(kDescriptors / 2 + 2));
    EXPECT_LT(count(), static_cast<long>(kPeers));
    EXPECT_TRUE(program.waitError("connections hold half of the " + limit + " descriptors"))
        << program.error;

    // As the answered peers leave, the waiting ones are accepted and served.
    const auto leave = [&] {
        for (size_t i = 0; i < kPeers; ++i) {
            if (answered[i] && peers[i] >= 0) {
                ::close(peers[i]);
                peers[i] = -1;
            }
        }
    };
    const Deadline allAnswers(kAnswering);
    while (count() < static_cast<long>(kPeers) && !allAnswers.passed()) {
        leave();
        TakeAnswers(peers, asked, received, answered, allAnswers);
    }
    EXPECT_EQ(count(), static_cast<long>(kPeers));
    for (const int fd : peers)
        if (fd >= 0)
            ::close(fd);
    EXPECT_EQ(program.error.find(" 503"), std::string::npos) << program.error;
    program.send("quit\n");
    EXPECT_EQ(program.wait(), 0);
}
