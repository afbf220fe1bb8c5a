#include "transport/KrFileHandle.h"

#include <fcntl.h>
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
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return KrFileHandle(fd);
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
