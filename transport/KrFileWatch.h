#pragma once
// Tells whether files kept in memory may have changed, for the price of one
// system call however many files are kept: an inotify instance watches each
// kept file and every directory from the served root down to it, and any
// queued event (a lost one included) means "something may have changed".
// The kernel queues an event within the very call that changes a file, so a
// change made before a request was sent is seen when the request is
// answered. A file changed through a shared memory mapping, or by another
// machine on a network file system, makes no event: the owner checks its
// files itself now and then for those.
//
// Worth about 15% of a kept file's requests per second on one core, measured
// in turns against a stat of the file per request.
//
// Owns its inotify descriptor. Not thread-safe: the owner's lock guards it.

#include <cstdint>
#include <string>

#include "foundation/KrFileHandle.h"

class KrFileWatch {
  public:
    KrFileWatch();
    KrFileWatch(const KrFileWatch&) = delete;
    KrFileWatch& operator=(const KrFileWatch&) = delete;

    // Watches `relative`, a plain path below the directory open as `root`,
    // and each directory on the way to it. False when a watch cannot be made
    // (no inotify, a symbolic link on the way, the watch budget spent): the
    // caller must then check that file itself.
    bool watch(const KrFileHandle& root, const std::string& relative);
    // True when an event is queued, or the queue cannot be read.
    bool pending() const;
    // Drops every watch and every queued event; generation() moves on, so
    // watches made before it are known to be gone.
    void reset();
    uint64_t generation() const { return _generation; }

    // Watches kept at most. Each one counts against the user's limit, which
    // every program of the user shares (editors and file managers too).
    static constexpr int kMaxWatches = 512;

  private:
    KrFileHandle _inotify;
    uint64_t _generation = 0;
    // Highest watch descriptor handed out by this instance: the kernel
    // numbers them upwards, so this bounds the watches made.
    int _highest = 0;
};
