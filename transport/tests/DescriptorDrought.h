#pragma once
// Test-only: a process out of descriptors. Lowers the soft limit to just
// above the highest descriptor open and fills every free one below it, so
// the next open, pipe, dup or accept fails with EMFILE; undone on
// destruction. Descriptors opened before it (a connection, a captured
// standard error) go on working.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace harness {

class DescriptorDrought {
  public:
    DescriptorDrought() {
        getrlimit(RLIMIT_NOFILE, &_saved);
        rlimit lowered = _saved;
        lowered.rlim_cur = static_cast<rlim_t>(highestOpen() + 8);
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::dup(0)) >= 0;)
            _held.push_back(fd);
    }
    ~DescriptorDrought() {
        for (const int fd : _held)
            ::close(fd);
        setrlimit(RLIMIT_NOFILE, &_saved);
    }
    DescriptorDrought(const DescriptorDrought&) = delete;
    DescriptorDrought& operator=(const DescriptorDrought&) = delete;

  private:
    static int highestOpen() {
        int highest = 0;
        for (int fd = 0; fd < 65536; ++fd) {
            if (fcntl(fd, F_GETFD) >= 0)
                highest = fd;
        }
        return highest;
    }
    rlimit _saved{};
    std::vector<int> _held;
};

}  // namespace harness
