#pragma once
// SIGPIPE, which a write to a pipe or socket whose reader has gone raises
// and which would end the whole process. Writes that cannot ask for
// MSG_NOSIGNAL (to a program's pipe, sendfile to a socket) run with it
// blocked on their thread, and take the one they raised: the failed write's
// EPIPE ends that write alone.

#include <signal.h>

#include <ctime>

// Blocks SIGPIPE on the calling thread; `before` receives the mask it had.
inline void KrBlockPipeSignal(sigset_t* before = nullptr) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, before);
}

// Takes the SIGPIPE pending on this thread, which blocks it, after an EPIPE.
inline void KrTakePipeSignal() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec zero{0, 0};
    while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
    }
}
