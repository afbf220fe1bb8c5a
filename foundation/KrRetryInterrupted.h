#pragma once
// The one retry of interrupted system calls. A call that a signal cut short
// before it did anything fails with EINTR and is simply made again; every
// other outcome, success or failure, goes back to the caller as the call
// left it, errno included. Not for close(2): Linux frees the descriptor even
// when close reports EINTR, so a retry could close someone else's.

#include <cerrno>

// `call` is a callable without arguments around one system call that
// reports failure with a negative result and errno, as read, write, poll,
// connect, accept4, waitpid, open and syscall do.
template <typename Call>
auto KrRetryInterrupted(Call&& call) {
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}
