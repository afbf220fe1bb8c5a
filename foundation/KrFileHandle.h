#pragma once
// The one owner of a file, pipe or other descriptor: closes it in its
// destructor, moves but never copies. The system calls made on such a
// descriptor (the web client's files and CGI pipes, the configuration file)
// are wrapped here once: each retries on EINTR and reports errno.

#include <sys/types.h>

#include <cstddef>

class KrFileHandle {
  public:
    KrFileHandle() = default;
    explicit KrFileHandle(int descriptor) : _fd(descriptor) {}
    ~KrFileHandle() { close(); }
    KrFileHandle(KrFileHandle&& other) noexcept : _fd(other.release()) {}
    KrFileHandle& operator=(KrFileHandle&& other) noexcept;
    KrFileHandle(const KrFileHandle&) = delete;
    KrFileHandle& operator=(const KrFileHandle&) = delete;

    // Opens read-only and close-on-exec; an empty handle when it fails.
    static KrFileHandle openForReading(const char* path);
    // The same, non-blocking: a FIFO opens at once instead of waiting for a
    // writer, and a read on it without data fails with EAGAIN.
    static KrFileHandle openForReadingNonBlocking(const char* path);
    // Opens `relative` read-only below the directory `directory` in one
    // system call that refuses every way out of it (a "..", an absolute
    // path or a symbolic link leading outside, also an absolute one leading
    // back inside). An empty handle when it fails, with `error` set: EXDEV
    // for a way out, ENOSYS where the kernel cannot check this.
    static KrFileHandle openBeneath(const KrFileHandle& directory, const char* relative,
                                    int& error);

    bool isOpen() const { return _fd >= 0; }
    int get() const { return _fd; }
    // Hands the descriptor over; the handle is empty afterwards.
    int release() {
        const int fd = _fd;
        _fd = -1;
        return fd;
    }
    void close();
    // read(2) without EINTR: the count, 0 at the end, -1 with errno set.
    ssize_t read(char* buffer, size_t size) const;
    // write(2) without EINTR (and without SIGPIPE on a closed pipe's peer:
    // the caller blocks SIGPIPE or the process ignores it).
    ssize_t write(const char* data, size_t size) const;
    // Sets O_NONBLOCK; false when fcntl fails.
    bool setNonBlocking() const;

  private:
    int _fd = -1;
};
