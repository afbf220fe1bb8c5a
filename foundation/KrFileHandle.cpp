#include "foundation/KrFileHandle.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/KrRetryInterrupted.h"

namespace {

// Never waits: a FIFO or a device opens at once, so the caller can check
// what it got before it reads; reading a regular file is not changed.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

}  // namespace

KrFileHandle& KrFileHandle::operator=(KrFileHandle&& other) noexcept {
    if (this != &other) {
        close();
        _fd = other.release();
    }
    return *this;
}

KrFileHandle KrFileHandle::openForReading(const char* path) {
    return KrFileHandle(KrRetryInterrupted([&] { return ::open(path, kReadFlags); }));
}

KrFileHandle KrFileHandle::openBeneath(const KrFileHandle& directory, const char* relative,
                                       int& error) {
    open_how how{};
    how.flags = kReadFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    const long fd = KrRetryInterrupted(
        [&] { return ::syscall(SYS_openat2, directory.get(), relative, &how, sizeof how); });
    error = fd < 0 ? errno : 0;
    return KrFileHandle(static_cast<int>(fd));
}

void KrFileHandle::close() {
    if (_fd >= 0) {
        // Linux frees the descriptor even when close reports EINTR: never retry.
        ::close(_fd);
        _fd = -1;
    }
}

ssize_t KrFileHandle::read(char* buffer, size_t size) const {
    return KrRetryInterrupted([&] { return ::read(_fd, buffer, size); });
}

ssize_t KrFileHandle::write(const char* data, size_t size) const {
    return KrRetryInterrupted([&] { return ::write(_fd, data, size); });
}

bool KrFileHandle::setNonBlocking() const {
    const int flags = ::fcntl(_fd, F_GETFL);
    return flags >= 0 && ::fcntl(_fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
