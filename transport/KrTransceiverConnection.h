#pragma once
// One accepted or outgoing TCP connection as the transport sees it: the bytes
// received and not yet taken by its server, the output queued for the
// transceiver's send loop, the names of its server and of that server's
// supervisor, the peer's description, and the callback that asks the
// transceiver to close it. It never touches the socket on its own: the
// transceiver's loops hand it the socket when it can be read or written.
//
// Owns its queued output buffers. `_inputLock` guards `_input`, `_outputLock`
// guards `_output`; the message lock guards `_linkName` and the close request.
// The transceiver holds connections in shared pointers.

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>

#include "foundation/KrJobWithTimeout.h"
#include "foundation/KrStringBuf.h"
#include "transport/KrServerCallback_t.h"

class KrTransceiver;
class KrSocketIPvx;

class KrTransceiverConnection : public KrJobWithTimeout {
  public:
    using CloseCallback = std::function<void(KrTransceiver&, KrTransceiverConnection*)>;
    // Silence after which the transceiver's housekeeping drops a connection.
    static constexpr long kDefaultTimeout = 115000000;

    KrTransceiverConnection(KrTransceiver* transceiver, const std::string& serverName,
                            const std::string& ownerName, const KrServerCallback_t& info,
                            CloseCallback closeCallback,
                            long timeoutMicroseconds = kDefaultTimeout);

    bool onMessage(const KrJobMessage& message) override;
    ~KrTransceiverConnection() override;
    bool joinTask(const std::string& name) override;
    bool leaveJoinedTask(const std::string& name) override;

    // Leaves the joined task and drops all input and queued output.
    virtual void resetBuffers();
    // Asks the transceiver to close the connection; output queued before is
    // still written out first. Throws std::bad_function_call without a callback.
    virtual void requestClose();
    // Queues a copy of the bytes; `queued` receives length. Returns 0.
    virtual int queueOutput(const char* data, size_t length, size_t& queued);
    // Takes over a non-empty buffer and hands the caller a fresh empty one;
    // an empty or missing buffer stays with the caller. Returns 0.
    virtual int queueOutputBuffer(KrStringBuf*& buffer);
    // Takes over filled buffers (an answer's head and body) and queues the
    // non-empty ones in order, in one step and without handing back fresh
    // ones; empty ones are freed. Returns 0.
    int queueOutputOwned(std::unique_ptr<KrStringBuf> first,
                         std::unique_ptr<KrStringBuf> second = nullptr);
    // Appends the unread bytes of the oldest queued buffer to `out`.
    virtual void peekOutput(std::string& out);
    // Marks `count` bytes of the oldest buffer written (at most what it holds).
    virtual void consumeOutput(size_t count);
    // Writes as much queued output as the socket takes, several buffers in
    // one gathered write. 0: all written; 1: output remains (the socket is
    // full); -1: the socket failed (peer gone).
    virtual int writePending(KrSocketIPvx& socket);
    // Appends bytes and tells the server. Returns 0.
    virtual int feed(const char* data, size_t length);
    // Reads everything waiting on the socket into the input and tells the
    // server once. The count read; 0 when nothing was waiting; -1 when the
    // peer closed or the socket failed (bytes read before that are kept).
    virtual long receive(KrSocketIPvx& socket);
    // Moves every received byte to `out` in one write and frees the input's
    // storage, so a long-lived or idle connection holds none. The count.
    virtual long drainInput(std::streambuf& out);

    const std::string& linkName();
    const KrServerCallback_t& info();
    bool isOutputPending() const { return _outputPending.load(); }
    bool isInputReady() const { return _hasInput.load(); }
    std::string serverName() const { return _serverName; }
    std::string ownerName() const { return _ownerName; }
    // Bytes queued and not yet written.
    size_t pendingOutputBytes();
    // Posts kind 8 (bytes arrived) to the server.
    void _signalServer();

    // Marks a close requested while output was still queued: the send loop
    // writes it out, then the connection goes. False when already marked.
    bool _markClosing() { return !_closing.exchange(true); }
    bool isClosing() const { return _closing.load(); }

  private:
    std::atomic<bool> _closing{false};
    void _appendInput(const char* data, size_t length);

    const std::string _serverName;
    const std::string _ownerName;
    KrTransceiver* const _transceiver;
    std::mutex _inputLock;
    // Received bytes not yet drained (a plain string, so reads land in it
    // directly and a drain frees it).
    std::string _input;
    std::atomic<bool> _hasInput{false};
    std::mutex _outputLock;
    std::list<KrStringBuf*> _output;
    std::atomic<bool> _outputPending{false};
    CloseCallback _closeCallback;
    KrServerCallback_t _info;
    std::string _linkName;
};
