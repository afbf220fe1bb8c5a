#pragma once
// The passes of a receive loop: each time its wait returns, the sockets it
// returned are read and their requests served in turn on the loop's thread.
//
// A request whose first byte had arrived when the wait returned was sent
// before anything that happens after that moment. For such a request, a
// check made once in the pass, after the wait, is as good as one made when
// it is served: whatever changed before it was sent had changed by then.
// The first request a pass completes on a connection is one: its socket
// was ready at the wait, so bytes of it were there. Later ones, sent behind
// it without waiting for its answer, may have come after the check.
//
// A pass can also hold shared objects its requests look up (the client a
// server answers for, the directory files are served from): looked up once
// per pass, not once per request, and let go before the loop waits.

#include <cstdint>
#include <memory>
#include <vector>

class KrReadBatch {
  public:
    // Made by a receive loop on its thread, for as long as the loop runs.
    KrReadBatch();
    ~KrReadBatch();
    KrReadBatch(const KrReadBatch&) = delete;
    KrReadBatch& operator=(const KrReadBatch&) = delete;

    // The loop's wait has returned: a pass begins.
    void begin();
    // The loop is about to wait: the pass ends, and what it held goes.
    void end();

    // The calling thread's pass, unique on the thread; 0 outside a pass.
    static uint64_t pass() { return _pass; }
    // The calling thread's pass, while it serves a request that was there
    // when the pass's wait returned; 0 otherwise.
    static uint64_t earlyPass() { return _early ? _pass : 0; }
    // Keeps `object` until the calling thread's pass ends, and returns the
    // share kept; null, and nothing kept, outside a pass.
    template <class T>
    static const std::shared_ptr<T>* hold(std::shared_ptr<T> object) {
        if (_pass == 0 || _current == nullptr)
            return nullptr;
        auto node = std::make_unique<Node<T>>(std::move(object));
        const std::shared_ptr<T>* kept = &node->object;
        _current->_held.push_back(std::move(node));
        return kept;
    }
    // A key no other owner of pass-held objects ever has (an address can
    // be used again by a later object).
    static uint64_t newKey();

    // A thread's note that something was done for an owner (by its key) in
    // a pass: kept in a thread_local by the code that does it.
    class Mark {
      public:
        // Whether set for `key` in `pass` (never for pass 0).
        bool isSet(uint64_t pass, uint64_t key) const {
            return pass != 0 && _pass == pass && _key == key;
        }
        void set(uint64_t pass, uint64_t key) {
            _pass = pass;
            _key = key;
        }

      private:
        uint64_t _pass = 0;
        uint64_t _key = 0;
    };

    // A thread's share of an owner's object, held by the thread's pass:
    // found again without the owner's lock for the rest of the pass.
    template <class T>
    class Kept {
      public:
        // The share kept for `key` in the calling thread's pass, or null.
        const std::shared_ptr<T>* find(uint64_t key) const {
            return _mark.isSet(pass(), key) ? _kept : nullptr;
        }
        // Holds `object` for `key` until the pass ends; nothing outside one.
        void keep(uint64_t key, const std::shared_ptr<T>& object) {
            if (const std::shared_ptr<T>* kept = hold(object)) {
                _mark.set(pass(), key);
                _kept = kept;
            }
        }

      private:
        Mark _mark;
        const std::shared_ptr<T>* _kept = nullptr;
    };

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
    struct NodeBase {
        virtual ~NodeBase() = default;
    };
    template <class T>
    struct Node : NodeBase {
        explicit Node(std::shared_ptr<T> kept) : object(std::move(kept)) {}
        std::shared_ptr<T> object;
    };

    std::vector<std::unique_ptr<NodeBase>> _held;
    KrReadBatch* _outer;
    uint64_t _outerPass;

    static inline thread_local KrReadBatch* _current = nullptr;
    static inline thread_local uint64_t _passes = 0;
    static inline thread_local uint64_t _pass = 0;
    static inline thread_local bool _early = false;
};
