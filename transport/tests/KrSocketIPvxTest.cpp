#include "transport/KrSocketIPvx.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/resource.h>

#include <memory>
#include <vector>

#include "foundation/tests/WaitFor.h"
#include "transport/tests/DescriptorDrought.h"
#include "transport/tests/TransportHarness.h"

namespace {

// How long an accept waits for a peer that has already connected.
const int kAcceptWait = static_cast<int>(kPatience.count());

bool closeOnExec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

bool nonBlocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// A listener on a system-chosen port with one accepted peer.
struct Pair {
    KrSocketIPvx listener;
    unsigned int port = 0;
    std::unique_ptr<KrSocketIPvx> accepted = std::make_unique<KrSocketIPvx>();
    int client = -1;

    Pair() {
        EXPECT_EQ(0, listener.BindDualStack(port, 16));
        client = harness::connectLoopback(static_cast<int>(port));
        EXPECT_GE(listener.AcceptEither(*accepted, kAcceptWait, [](KrHostInfo_t) { return true; }),
                  0);
    }
    ~Pair() {
        if (client >= 0)
            ::close(client);
    }
};

TEST(KrSocketIPvxTest, BindsSystemChosenPortAndStoresIt) {
    KrSocketIPvx listener;
    unsigned int port = 0;
    ASSERT_EQ(0, listener.BindDualStack(port, 16));
    EXPECT_NE(0u, port);
    EXPECT_EQ(static_cast<int>(port), listener.port);
    EXPECT_TRUE(listener.listening);
}

TEST(KrSocketIPvxTest, EveryDescriptorIsCloseOnExecAndPeersAreNonBlockingWithoutDelay) {
    Pair pair;
    for (const int fd : {pair.listener.ipv6Descriptor(), pair.listener.ipv4Descriptor()}) {
        if (fd >= 0) {
            EXPECT_TRUE(closeOnExec(fd));
        }
    }
    const int fd = pair.accepted->descriptor();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closeOnExec(fd));
    EXPECT_TRUE(nonBlocking(fd));
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size);
    EXPECT_NE(0, noDelay);

    KrSocketIPvx outgoing;
    ASSERT_EQ(0, outgoing.Connect("127.0.0.1", static_cast<int>(pair.port)));
    EXPECT_TRUE(closeOnExec(outgoing.descriptor()));
    EXPECT_TRUE(nonBlocking(outgoing.descriptor()));
    EXPECT_FALSE(outgoing.closed);
}

TEST(KrSocketIPvxTest, IPv4PeerOnTheDualStackSocketIsNamedAsIPv4) {
    Pair pair;
    if (pair.listener.ipv6Descriptor() < 0)
        GTEST_SKIP() << "no IPv6 on this machine";
    EXPECT_EQ("127.0.0.1", pair.accepted->PeerHost());
    EXPECT_FALSE(pair.accepted->PeerService().empty());
    EXPECT_TRUE(pair.accepted->accepted);
}

TEST(KrSocketIPvxTest, PortOfALiveListenerIsRefusedButFreedPortRebindsAtOnce) {
    unsigned int port = 0;
    {
        Pair pair;
        port = pair.port;
        KrSocketIPvx second;
        testing::internal::CaptureStderr();
        EXPECT_EQ(1, second.BindDualStack(port, 16));
        EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Could not bind"));
        // The server side closes first, which leaves its end in TIME_WAIT.
        pair.accepted.reset();
        bool closed = false;
        harness::receiveToEnd(pair.client, closed);
        EXPECT_TRUE(closed);
    }
    KrSocketIPvx restarted;
    EXPECT_EQ(0, restarted.BindDualStack(port, 16));
}

TEST(KrSocketIPvxTest, RefusingFilterLeavesNoDescriptor) {
    KrSocketIPvx listener;
    unsigned int port = 0;
    ASSERT_EQ(0, listener.BindDualStack(port, 16));
    const int client = harness::connectLoopback(static_cast<int>(port));
    KrSocketIPvx refused;
    EXPECT_EQ(-1, listener.AcceptEither(refused, kAcceptWait, [](KrHostInfo_t) { return false; }));
    EXPECT_EQ(-1, refused.descriptor());
    bool closed = false;
    harness::receiveToEnd(client, closed);
    EXPECT_TRUE(closed);
    ::close(client);
}

TEST(KrSocketIPvxTest, WritingToAPeerThatResetDoesNotRaiseSigpipe) {
    Pair pair;
    linger reset{1, 0};
    setsockopt(pair.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(pair.client);
    pair.client = -1;
    const std::string block(65536, 'x');
    int code = 0;
    size_t written = 0;
    // The first writes may still be taken before the reset is seen.
    WaitFor([&] {
        code = pair.accepted->Send(block.data(), block.size(), written);
        return pair.accepted->lastSendError == EPIPE || pair.accepted->lastSendError == ECONNRESET;
    });
    EXPECT_EQ(3, code);
    EXPECT_EQ(0u, written);
    EXPECT_TRUE(pair.accepted->lastSendError == EPIPE ||
                pair.accepted->lastSendError == ECONNRESET);
}

TEST(KrSocketIPvxTest, ReceiveTellsEndOfStreamFromNothingWaiting) {
    Pair pair;
    char buffer[16];
    size_t length = 99;
    pair.accepted->Receive(buffer, sizeof buffer, length);
    EXPECT_EQ(0u, length);
    EXPECT_FALSE(pair.accepted->closed);
    EXPECT_EQ(EAGAIN, pair.accepted->lastError);

    ASSERT_TRUE(SendAll(pair.client, "hello"));
    ::shutdown(pair.client, SHUT_WR);
    std::string got;
    const Deadline deadline;
    while (!pair.accepted->closed && !deadline.passed()) {
        pair.accepted->WaitReadable(deadline.pollTimeout(), pair.accepted->descriptor());
        pair.accepted->Receive(buffer, sizeof buffer, length);
        got.append(buffer, length);
    }
    EXPECT_TRUE(pair.accepted->closed);
    EXPECT_EQ("hello", got);
}

TEST(KrSocketIPvxTest, ConnectToAClosedPortFails) {
    unsigned int port = 0;
    {
        KrSocketIPvx listener;
        ASSERT_EQ(0, listener.BindDualStack(port, 16));
    }
    KrSocketIPvx outgoing;
    testing::internal::CaptureStderr();
    EXPECT_EQ(2, outgoing.Connect("127.0.0.1", static_cast<int>(port)));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Could not connect"));
    EXPECT_EQ(-1, outgoing.descriptor());
}

TEST(KrSocketIPvxTest, AcceptOutOfDescriptorsReportsOnceAndBacksOff) {
#ifdef __SANITIZE_ADDRESS__
    // UBSan's type checks need a pipe of their own; without descriptors they
    // report every virtual call as wrong.
    GTEST_SKIP() << "needs free descriptors under the address sanitizer build";
#endif
    KrSocketIPvx listener;
    unsigned int port = 0;
    ASSERT_EQ(0, listener.BindDualStack(port, 16));
    const int client = harness::connectLoopback(static_cast<int>(port));
    ASSERT_GE(client, 0);
    KrSocketIPvx accepted;
    const auto all = [](KrHostInfo_t) { return true; };
    testing::internal::CaptureStderr();
    {
        harness::DescriptorDrought drought;
        EXPECT_EQ(-1, listener.AcceptEither(accepted, 20, all));
        EXPECT_EQ(-1, listener.AcceptEither(accepted, 20, all));
    }
    const std::string reported = testing::internal::GetCapturedStderr();
    const std::string message = "accept() failed: Too many open files (backing off)";
    EXPECT_NE(std::string::npos, reported.find(message));
    EXPECT_EQ(reported.find(message), reported.rfind(message)) << reported;
    // Once descriptors are back the waiting peer is taken.
    EXPECT_GE(listener.AcceptEither(accepted, kAcceptWait, all), 0);
    ::close(client);
}

}  // namespace
