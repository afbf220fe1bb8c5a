#pragma once
// Mutexes for the short critical sections that every request passes (the job
// registry, the transceiver's tables, a server's queues): a thread that finds
// one held spins a little before it sleeps, since the holder lets go within
// a few hundred nanoseconds and putting a thread to sleep and waking it again
// costs far more than that. Both meet the standard Lockable requirements.
//
// KrAdaptiveRecursiveMutex may be locked again by the thread that holds it,
// as often as it is unlocked.

#include <pthread.h>

#include <atomic>
#include <thread>

class KrAdaptiveMutex {
  public:
    KrAdaptiveMutex();
    ~KrAdaptiveMutex();
    KrAdaptiveMutex(const KrAdaptiveMutex&) = delete;
    KrAdaptiveMutex& operator=(const KrAdaptiveMutex&) = delete;

    // Throws std::system_error when the mutex cannot be taken.
    void lock();
    bool try_lock() { return pthread_mutex_trylock(&_mutex) == 0; }
    void unlock() { pthread_mutex_unlock(&_mutex); }

  private:
    pthread_mutex_t _mutex;
};

class KrAdaptiveRecursiveMutex {
  public:
    KrAdaptiveRecursiveMutex() = default;
    KrAdaptiveRecursiveMutex(const KrAdaptiveRecursiveMutex&) = delete;
    KrAdaptiveRecursiveMutex& operator=(const KrAdaptiveRecursiveMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

  private:
    KrAdaptiveMutex _mutex;
    // The holder; only the holder writes its own id here, so a thread that
    // reads its own id holds the mutex (a relaxed read suffices).
    std::atomic<std::thread::id> _owner{};
    // Guarded by _mutex.
    unsigned long _depth = 0;
};
