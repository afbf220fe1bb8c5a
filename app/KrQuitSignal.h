#pragma once
// Makes SIGINT and SIGTERM ask the front end to quit, the same way as the
// word "quit" or the key 'q'. The handler only sets a flag and wakes the
// poller the front end waits on (both async-signal-safe); the stop itself
// runs on the main thread. One instance at a time; the destructor puts the
// previous handlers back. The poller is not owned and must outlive it.

#include <csignal>

class KrPoller;

class KrQuitSignal {
  public:
    explicit KrQuitSignal(KrPoller& poller);
    ~KrQuitSignal();
    KrQuitSignal(const KrQuitSignal&) = delete;
    KrQuitSignal& operator=(const KrQuitSignal&) = delete;

    // True once SIGINT or SIGTERM has arrived.
    bool requested() const;

  private:
    struct sigaction _previousInt {};
    struct sigaction _previousTerm {};
};
