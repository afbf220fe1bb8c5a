#pragma once
// The process's descriptors, shared out: accepted connections may hold half
// of them, so that the files, pipes and temporary files those connections
// need (and the server's own) find descriptors left. At that many
// connections the listeners stop accepting (peers wait in the system's
// queue) and start again as connections close.
// Thread-safe: every call takes the state's mutex. One for the process (`process()`),
// since the limit is the process's; tests make their own.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class KrSocketIPvx;

class KrDescriptorReserve {
  public:
    KrDescriptorReserve();
    ~KrDescriptorReserve();
    KrDescriptorReserve(const KrDescriptorReserve&) = delete;
    KrDescriptorReserve& operator=(const KrDescriptorReserve&) = delete;

    static KrDescriptorReserve& process();

    // Raises the process's soft descriptor limit to its hard one (once) and
    // shares out what that allows.
    void raiseProcessLimit();
    // Shares out `descriptors` (the limit itself; tests set a small one).
    void setLimit(size_t descriptors);
    size_t connectionLimit() const;
    size_t connections() const;

    // Waits until a connection may be accepted, or `stopped` says so (asked
    // under the lock; whoever makes it true calls wake()). False when stopped.
    bool waitForRoom(const std::function<bool()>& stopped);
    // The accepted socket, holding its place until its descriptor closes.
    std::shared_ptr<KrSocketIPvx> admit(std::unique_ptr<KrSocketIPvx> socket);
    // Wakes every waitForRoom to ask its `stopped` again.
    void wake();

    // Says on standard error that `what` failed for want of descriptors
    // (`error`) and was answered 503; at most once a second, since a crowd
    // that holds the descriptors makes every request say it.
    void reportShortage(const std::string& what, int error);

    // Whether an error of open, pipe, dup or accept is a want of descriptors
    // (the process's or the system's), which passes, not a fact about a file.
    static bool isShortage(int error);

  private:
    // Held by every admitted socket too, so a socket may outlive the reserve.
    struct State;
    std::shared_ptr<State> _state;
};
