#include "app/KrQuivoApplication2.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/KrPersistentAppStorage.h"

namespace {

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Stop is what lets a derived application be destroyed safely: after it, no
// listener accepts and no request job can call into the application.
TEST(KrQuivoApplication2Stop, TakesTheTransportDownOnceAndLeavesRunInert) {
    KrPersistentAppStorage storage;
    const int port = freePort();
    KrQuivoApplication2 app(&storage, {{"127.0.0.1", port, 3}}, {{"no_browser_popup", "true"}});
    app.Run();
    // The listener opens on a job of its own after Run returned.
    for (int i = 0; i < 2000 && !accepts(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(accepts(port));
    ASSERT_NE(app.GetTransceiver(), nullptr);

    app.Stop();
    EXPECT_EQ(app.GetTransceiver(), nullptr);
    EXPECT_FALSE(accepts(port));
    app.Stop();
    app.Run();
    EXPECT_EQ(app.GetTransceiver(), nullptr);
    EXPECT_FALSE(accepts(port));
}

}  // namespace
