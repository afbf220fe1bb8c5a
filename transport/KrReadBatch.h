#pragma once
// One pass of a receive loop: the sockets its wait returned, read and
// served in turn on the loop's thread.
//
// A request whose first byte had arrived when the wait returned was sent
// before anything that happens after that moment. For such a request, a
// check made once in the pass, after the wait, is as good as one made when
// it is served: whatever changed before it was sent had changed by then.
// The first request a pass completes on a connection is one: its socket
// was ready at the wait, so bytes of it were there. Later ones, sent behind
// it without waiting for its answer, may have come after the check.

#include <cstdint>

class KrReadBatch {
  public:
    // Called by a receive loop each time its wait returns.
    static void begin() { ++_pass; }

    // The calling thread's pass, while it serves a request that was there
    // when the pass's wait returned; 0 otherwise.
    static uint64_t earlyPass() { return _early ? _pass : 0; }

    // Marks, for its lifetime, the request being read and served as one
    // that was there when the pass's wait returned (when `early` is true).
    class Early {
      public:
        explicit Early(bool early) : _was(_early) { _early = early; }
        ~Early() { _early = _was; }
        Early(const Early&) = delete;
        Early& operator=(const Early&) = delete;

      private:
        bool _was;
    };

  private:
    static inline thread_local uint64_t _pass = 0;
    static inline thread_local bool _early = false;
};
