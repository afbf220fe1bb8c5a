#pragma once
// The one owner of a file, pipe or other descriptor: closes it in its
// destructor, moves but never copies. The system calls made on such a
// descriptor (the web client's files and CGI pipes, the configuration file)
// are wrapped here once: each retries on EINTR and reports errno.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class KrFileHandle {
  public:
    KrFileHandle() = default;
    explicit KrFileHandle(int descriptor) : _fd(descriptor) {}
    ~KrFileHandle() { close(); }
    KrFileHandle(KrFileHandle&& other) noexcept : _fd(other.release()) {}
    KrFileHandle& operator=(KrFileHandle&& other) noexcept;
    KrFileHandle(const KrFileHandle&) = delete;
    KrFileHandle& operator=(const KrFileHandle&) = delete;

    // Both opens are read-only, close-on-exec and never wait: a FIFO or a
    // device opens at once (O_NONBLOCK), so the caller can check what it got
    // before it reads; reading a regular file is not changed by the flag.
    // An empty handle when the open fails.
    static KrFileHandle openForReading(const char* path);
    // Opens `relative` below the directory `directory` in one system call
    // that refuses every way out of it and every symbolic link, so that the
    // file opened is the one the path names. An empty handle when it fails,
    // with `error` set: EXDEV for a way out (a ".." or an absolute path),
    // ELOOP for a symbolic link, ENOSYS where the kernel cannot check this.
    static KrFileHandle openBeneath(const KrFileHandle& directory, const char* relative,
                                    int& error);
    // A new file in the folder `directory` that has no name there (it goes
    // when its last descriptor closes, also after a crash), open for reading
    // and writing, close-on-exec. An empty handle when it cannot be made,
    // with `error` set (ENOENT for a missing folder, ENOSPC, EMFILE, ...).
    static KrFileHandle openTemporary(const char* directory, int& error);

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
    // pread(2) without EINTR: reads at `offset`, leaving the file's own
    // position alone (a program may share it).
    ssize_t readAt(char* buffer, size_t size, uint64_t offset) const;
    // Writes all `size` bytes, however many calls that takes; false with
    // errno set when a write fails.
    bool writeAll(const char* data, size_t size) const;
    // Sets O_NONBLOCK; false when fcntl fails.
    bool setNonBlocking() const;

  private:
    int _fd = -1;
};
