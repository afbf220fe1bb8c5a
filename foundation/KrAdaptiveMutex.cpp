#include "foundation/KrAdaptiveMutex.h"

#include <system_error>

KrAdaptiveMutex::KrAdaptiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // glibc's adaptive kind spins (up to its spin count) before it sleeps.
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

KrAdaptiveMutex::~KrAdaptiveMutex() {
    pthread_mutex_destroy(&_mutex);
}

void KrAdaptiveMutex::lock() {
    const int error = pthread_mutex_lock(&_mutex);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_mutex_lock");
}

void KrAdaptiveRecursiveMutex::lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (_owner.load(std::memory_order_relaxed) == self) {
        ++_depth;
        return;
    }
    _mutex.lock();
    _owner.store(self, std::memory_order_relaxed);
    _depth = 1;
}

bool KrAdaptiveRecursiveMutex::try_lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (_owner.load(std::memory_order_relaxed) == self) {
        ++_depth;
        return true;
    }
    if (!_mutex.try_lock())
        return false;
    _owner.store(self, std::memory_order_relaxed);
    _depth = 1;
    return true;
}

void KrAdaptiveRecursiveMutex::unlock() {
    if (--_depth == 0) {
        _owner.store(std::thread::id(), std::memory_order_relaxed);
        _mutex.unlock();
    }
}
