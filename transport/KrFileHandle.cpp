#include "transport/KrFileHandle.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

KrFileHandle& KrFileHandle::operator=(KrFileHandle&& other) noexcept {
    if (this != &other) {
        close();
        _fd = other.release();
    }
    return *this;
}

KrFileHandle KrFileHandle::openForReading(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    return KrFileHandle(fd);
}

KrFileHandle KrFileHandle::openBeneath(const KrFileHandle& directory, const char* relative,
                                       int& error) {
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, directory.get(), relative, &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
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
    ssize_t n;
    do {
        n = ::read(_fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t KrFileHandle::write(const char* data, size_t size) const {
    ssize_t n;
    do {
        n = ::write(_fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool KrFileHandle::setNonBlocking() const {
    const int flags = ::fcntl(_fd, F_GETFL);
    return flags >= 0 && ::fcntl(_fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
