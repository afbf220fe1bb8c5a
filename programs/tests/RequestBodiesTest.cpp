// quivoone with request bodies larger than it keeps in memory: peers that
// send most of a large body and stop, many large uploads at once to a CGI
// program, and a temporary folder that is not there.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "foundation/tests/WaitFor.h"
#include "programs/tests/ProgramHarness.h"
#include "transport/KrXHeader.h"
#include "transport/tests/HttpTestServer.h"

namespace {

using harness::Folder;
using harness::Process;

constexpr size_t kMiB = size_t{1} << 20;

// quivoone serving `folder`, its temporary files going to `temporary`.
std::unique_ptr<Process> StartIn(Folder& folder, int& port, const std::string& temporary) {
    port = harness::freePort();
    folder.configure(std::to_string(port));
    std::vector<std::string> env = {"TMPDIR=" + temporary};
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine would count the freed buffers of a body's
    // way to its file as held.
    const char* options = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (options != nullptr ? options : "") +
                  ":quarantine_size_mb=8");
#endif
    auto program = std::make_unique<Process>(std::vector<std::string>{QUIVOONE_PROGRAM},
                                             folder.path, env);
    if (program->waitOutput("going to run app\n"))
        harness::waitListening(port);
    return program;
}

// The sizes of the files in `folder` that have no name and that the
// program holds open.
std::vector<uintmax_t> UnnamedFileSizesIn(pid_t pid, const std::string& folder) {
    std::vector<uintmax_t> sizes;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind(folder + "/", 0) == 0 &&
            target.size() > 10 && target.compare(target.size() - 10, 10, " (deleted)") == 0) {
            // The descriptor's link leads to the file itself, name or none.
            const uintmax_t size = std::filesystem::file_size(entry.path(), error);
            sizes.push_back(error ? 0 : size);
        }
    }
    return sizes;
}

// The program's descriptors of files in `folder` that have no name.
size_t UnnamedFilesIn(pid_t pid, const std::string& folder) {
    return UnnamedFileSizesIn(pid, folder).size();
}

// Reads until the peer closes or `seconds` pass without a byte.
std::string ReadAll(int fd, int seconds = 60) {
    std::string in;
    char buffer[65536];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, seconds * 1000) <= 0)
            return in;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return in;
        in.append(buffer, static_cast<size_t>(n));
    }
}

std::string Post(const std::string& path, size_t length, const std::string& extra = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: test\r\nContent-Type: application/octet-stream\r\n" +
           extra + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

// Bytes of which no two bodies of different seeds share a piece.
std::string Body(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace

TEST(RequestBodies, PeersThatSendMostOfALargeBodyHoldFilesNotMemory) {
    // 16 peers holding 62 MiB each grew the server by over 1 GB when it kept
    // bodies in memory; 8 holding 48 MiB each must leave it far below that.
    Folder folder;
    folder.write("page.php", "<?php echo strlen(file_get_contents('php://input'));\n");
    const std::string temporary = folder.path + "/tmp";
    std::filesystem::create_directories(temporary);
    int port = 0;
    const std::unique_ptr<Process> program = StartIn(folder, port, temporary);
    ASSERT_TRUE(harness::listening(port)) << program->error;
    constexpr size_t kPeers = 8;
    const size_t before = harness::residentBytes(program->pid);
    const std::string head = Post("/page.php", 63 * kMiB);
    const std::string most(48 * kMiB, 'b');
    std::vector<int> peers;
    std::vector<std::thread> senders;
    for (size_t i = 0; i < kPeers; ++i) {
        peers.push_back(ConnectLoopback(static_cast<unsigned>(port)));
        senders.emplace_back([fd = peers.back(), &head, &most] {
            SendAll(fd, head);
            SendAll(fd, most);
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    // Measured once the server has read all that was sent: each body's
    // file holds it but for what gathers in memory before a write.
    WaitFor([&] {
        const std::vector<uintmax_t> sizes = UnnamedFileSizesIn(program->pid, temporary);
        return sizes.size() == kPeers &&
               std::all_of(sizes.begin(), sizes.end(), [&](uintmax_t size) {
                   return size + KrXHeader::kMaxBodyInMemory >= most.size();
               });
    });
    const size_t grown = harness::residentBytes(program->pid) - before;
    EXPECT_LT(grown, 96 * kMiB) << grown;
    EXPECT_EQ(UnnamedFilesIn(program->pid, temporary), kPeers);
    EXPECT_TRUE(std::filesystem::is_empty(temporary));
    // The files go with their peers.
    for (const int fd : peers)
        ::close(fd);
    WaitFor([&] { return UnnamedFilesIn(program->pid, temporary) == 0; });
    EXPECT_EQ(UnnamedFilesIn(program->pid, temporary), 0u);
    program->send("quit\n");
    EXPECT_EQ(program->wait(), 0);
}

TEST(RequestBodies, ManyLargeUploadsAtOnceEachReachItsProgramWhole) {
    Folder folder;
    folder.write("cgi-bin/hash.sh",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nexec md5sum\n", true);
    const std::string temporary = folder.path + "/tmp";
    std::filesystem::create_directories(temporary);
    int port = 0;
    const std::unique_ptr<Process> program = StartIn(folder, port, temporary);
    ASSERT_TRUE(harness::listening(port)) << program->error;
    // Four different bodies, their sums as md5sum gives them.
    constexpr unsigned kKinds = 4;
    constexpr size_t kSize = 20 * kMiB;
    std::vector<std::string> bodies;
    std::vector<std::string> sums;
    for (unsigned kind = 0; kind < kKinds; ++kind) {
        bodies.push_back(Body(kSize, kind));
        folder.write("body" + std::to_string(kind), bodies.back());
        Process sum({"/usr/bin/md5sum"}, folder.path);
        sum.send(bodies.back());
        sum.closeInput();
        sum.wait(30);
        sums.push_back(sum.output);
    }
    constexpr size_t kUploads = 32;
    std::vector<std::string> answers(kUploads);
    std::vector<std::thread> uploads;
    for (size_t i = 0; i < kUploads; ++i) {
        uploads.emplace_back([&, i] {
            const int fd = ConnectLoopback(static_cast<unsigned>(port));
            if (SendAll(fd, Post("/cgi-bin/hash.sh", kSize, "Connection: close\r\n")) &&
                SendAll(fd, bodies[i % kKinds]))
                answers[i] = ReadAll(fd);
            ::close(fd);
        });
    }
    for (std::thread& upload : uploads)
        upload.join();
    for (size_t i = 0; i < kUploads; ++i) {
        const std::string& answer = answers[i];
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 200 OK") << i << answer;
        // In chunks or not, as the program's pace decided.
        EXPECT_EQ(httptest::DecodedBody(answer), sums[i % kKinds]) << i;
    }
    EXPECT_TRUE(std::filesystem::is_empty(temporary));
    program->send("quit\n");
    EXPECT_EQ(program->wait(), 0);
    EXPECT_EQ(program->error, "");
}

TEST(RequestBodies, ABodyWithoutATemporaryFolderGets503AndALineWhileSmallOnesAreServed) {
    Folder folder;
    // (php-cgi keeps bodies past 16 KiB in TMPDIR itself, and would fail too.)
    folder.write("cgi-bin/length.sh",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nwc -c | tr -d ' \\n'\n",
                 true);
    const std::string missing = folder.path + "/no-such-folder";
    int port = 0;
    const std::unique_ptr<Process> program = StartIn(folder, port, missing);
    ASSERT_TRUE(harness::listening(port)) << program->error;
    struct Row {
        size_t length;
        std::string status;
        std::string body;
    };
    const size_t kept = 64 * 1024;
    const Row rows[] = {
        {kept, "HTTP/1.1 200 OK", std::to_string(kept)},
        {kept + 1, "HTTP/1.1 503 Service Unavailable", ""},
        {20 * kMiB, "HTTP/1.1 503 Service Unavailable", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.length);
        const int fd = ConnectLoopback(static_cast<unsigned>(port));
        // The answer comes after the head, before any of the body is sent.
        SendAll(fd, Post("/cgi-bin/length.sh", row.length, "Expect: 100-continue\r\n"));
        if (row.body.empty()) {
            const std::string answer = ReadAll(fd, 20);
            EXPECT_EQ(answer.substr(0, answer.find("\r\n")), row.status) << answer;
            for (const char* text : {"\r\nRetry-After: 5\r\n", "\r\nConnection: close\r\n",
                                     "try again in a few seconds"})
                EXPECT_NE(answer.find(text), std::string::npos) << text << "\n" << answer;
        } else {
            SendAll(fd, std::string(row.length, 's'));
            ::shutdown(fd, SHUT_WR);
            const std::string answer = ReadAll(fd, 20);
            EXPECT_NE(answer.find(row.status), std::string::npos) << answer;
            EXPECT_EQ(httptest::DecodedBody(answer.substr(answer.find(row.status))), row.body);
        }
        ::close(fd);
    }
    program->send("quit\n");
    EXPECT_EQ(program->wait(), 0);
    // One line for each body that found no room, naming the folder.
    const std::string line = "the temporary file for its body of 65537 bytes cannot be made in " +
                             missing + " (No such file or directory): answered 503\n";
    EXPECT_NE(program->error.find("request \"POST /cgi-bin/length.sh\": " + line), std::string::npos)
        << program->error;
    size_t lines = 0;
    for (size_t at = program->error.find("answered 503"); at != std::string::npos;
         at = program->error.find("answered 503", at + 1))
        ++lines;
    EXPECT_EQ(lines, 2u) << program->error;
}
