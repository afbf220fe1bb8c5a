#pragma once
// The older IPv4 socket base: one descriptor with connect, bind-and-listen,
// accept and readiness waits. Nothing on the web server's path uses it; the
// transport's TCP socket is KrSocketIPvx. Derived classes create the
// descriptor (Create). Owns its descriptor; every descriptor is close-on-exec.

#include <netinet/in.h>

#include <string>

class KrSocket {
  public:
    // Prints "Socket created" on standard output.
    explicit KrSocket(bool disabled);
    virtual int Create() = 0;
    // shutdown and close of an open descriptor.
    virtual ~KrSocket();
    KrSocket(const KrSocket&) = delete;
    KrSocket& operator=(const KrSocket&) = delete;

    // 0 when connected or in progress, 2 on failure.
    int Connect(const std::string& host, int port);
    // Writable within 1 microsecond and no pending socket error.
    bool WaitConnected();
    // Readable within 10 ms: poll's result.
    int WaitReadable();
    // Binds address (null: any) and port (0: the system picks and the choice
    // is stored back) and listens. With retry a busy port is tried again each
    // second. 0 on success, the bind result or errno on failure.
    int BindListen(const char* address, int& port, int backlog, bool retry);
    // Accepts one peer, non-blocking with keep-alive; its descriptor or -1.
    int Accept(int listeningFd);
    // poll for every event; prints what it saw.
    int PollEvents(int timeoutMs);
    static bool ResolveHost(sockaddr_in& record, const std::string& host, int port);

    int descriptor() const { return _fd; }
    bool isListening() const { return _listening; }

  protected:
    int _fd = -1;
    sockaddr_in _address{};
    int _savedErrno = 0;
    std::string _errorText;
    bool _listening = false;
    bool _disabled;
    bool _readable = false;
    int _port = -1;
};
