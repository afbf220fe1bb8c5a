#pragma once
// Test-only: a named pipe that a program under test reads one line from
// before it goes on, so that the test, not a guess at how long the program
// takes, decides when that is. Owns the pipe: it is removed with the gate.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

class FifoGate {
  public:
    explicit FifoGate(std::string at) : path(std::move(at)) { ::mkfifo(path.c_str(), 0600); }
    ~FifoGate() {
        if (_fd >= 0)
            ::close(_fd);
        ::unlink(path.c_str());
    }
    FifoGate(const FifoGate&) = delete;
    FifoGate& operator=(const FifoGate&) = delete;

    // Lets the program go on. Opened for reading and writing, the pipe never
    // blocks the test, whether or not the program has opened it yet, and the
    // line waits in it until the program reads it.
    void open() {
        if (_fd >= 0)
            return;
        _fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        [[maybe_unused]] const ssize_t n = ::write(_fd, "go\n", 3);
    }

    const std::string path;

  private:
    int _fd = -1;
};
