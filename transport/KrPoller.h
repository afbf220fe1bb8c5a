#pragma once
// One epoll set with its own wake-up descriptor (an eventfd). The transceiver's
// socket loops wait here: a descriptor is watched under a 64-bit key chosen by
// the caller, and wake() ends a wait from any thread. A wake-up is a counter,
// so one that comes before the wait is never lost.
//
// Owns the epoll and eventfd descriptors (both close-on-exec); the watched
// descriptors stay with their owners, who remove them before closing them.
// Thread-safe: the kernel serialises changes of the set against waits.

#include <cstdint>
#include <vector>

struct epoll_event;

class KrPoller {
  public:
    // One ready descriptor as wait() reports it.
    struct Event {
        uint64_t key;
        bool readable;
        bool writable;
        // Error or hang-up of the peer.
        bool broken;
    };

    // Throws KrException naming the failed call when the kernel refuses.
    KrPoller();
    ~KrPoller();
    KrPoller(const KrPoller&) = delete;
    KrPoller& operator=(const KrPoller&) = delete;

    // Watch for reading (and hang-up), for writing, or both (also a
    // descriptor in the set already). Writing is one-shot: after it has
    // been reported once, watchWrite arms it again.
    // Return false (errno kept) when epoll refuses, for example a closed fd.
    bool add(int descriptor, uint64_t key, bool read, bool write);
    bool watchWrite(int descriptor, uint64_t key, bool read);
    // Keeps the descriptor in the set for errors and hang-ups only (which
    // epoll always reports), not for input.
    bool watchErrorsOnly(int descriptor, uint64_t key);
    bool remove(int descriptor);

    // Waits up to timeoutMs (-1: without end) for ready descriptors or a
    // wake-up and appends them to `out`; a wake-up only ends the wait.
    // Returns false when epoll_wait fails for a reason other than EINTR.
    bool wait(std::vector<Event>& out, int timeoutMs);
    void wake();

  private:
    int _epoll = -1;
    int _wakeup = -1;
    std::vector<epoll_event> _buffer;
};
