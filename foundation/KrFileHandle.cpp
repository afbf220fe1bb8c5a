#include "foundation/KrFileHandle.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

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

KrFileHandle KrFileHandle::openTemporary(const char* directory, int& error) {
    int fd = KrRetryInterrupted(
        [&] { return ::open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
    // A file system without unnamed files (or an old kernel): a named one,
    // its name removed at once.
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string path = std::string(directory) + "/quivo-XXXXXX";
        fd = KrRetryInterrupted([&] { return ::mkostemp(path.data(), O_CLOEXEC); });
        if (fd >= 0)
            ::unlink(path.c_str());
    }
    error = fd < 0 ? errno : 0;
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
    return KrRetryInterrupted([&] { return ::read(_fd, buffer, size); });
}

ssize_t KrFileHandle::write(const char* data, size_t size) const {
    return KrRetryInterrupted([&] { return ::write(_fd, data, size); });
}

ssize_t KrFileHandle::readAt(char* buffer, size_t size, uint64_t offset) const {
    return KrRetryInterrupted([&] { return ::pread(_fd, buffer, size, static_cast<off_t>(offset)); });
}

bool KrFileHandle::writeAll(const char* data, size_t size) const {
    while (size > 0) {
        const ssize_t written = write(data, size);
        if (written <= 0) {
            // No byte taken and no error: a full device by another name.
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool KrFileHandle::setNonBlocking() const {
    const int flags = ::fcntl(_fd, F_GETFL);
    return flags >= 0 && ::fcntl(_fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
