#pragma once
// A message between jobs: posted to the job registry under the receiver's job
// id and delivered on the registry's message thread. A plain copyable record;
// the meaning of a and b depends on the kind (see the senders).

#include <list>
#include <map>
#include <string>

// The kinds of message the transport posts; `a` names the connection or
// server the message speaks about.
enum KrJobMessageKind : int {
    KR_MESSAGE_TIMED_OUT = 1,         // a server or connection timed out
    KR_MESSAGE_CONNECTION_GONE = 2,   // a connection was removed
    KR_MESSAGE_SERVER_DROPPED = 3,    // a timed-out server is being dropped
    KR_MESSAGE_TASK_FINISHED = 5,     // a carrier finished its task ("ctask")
    KR_MESSAGE_CLIENT_TASK_DONE = 6,  // a task of a client is finished ("ctask"); the
                                      // registry sends it without "ctask" to the last
                                      // member left in a task
    KR_MESSAGE_BYTES_ARRIVED = 8,     // bytes arrived on a connection
};

class KrJobMessage {
  public:
    // list and values start empty.
    KrJobMessage(const std::string& a, int kind, const std::string& b);
    KrJobMessage(const KrJobMessage&) = default;
    KrJobMessage(KrJobMessage&&) noexcept = default;
    KrJobMessage& operator=(const KrJobMessage&) = default;
    KrJobMessage& operator=(KrJobMessage&&) noexcept = default;

    // In the system's own messages: the name or id of the job the message speaks about.
    std::string a;
    std::string b;
    int kind;
    // Extra texts; the system's own senders leave it empty.
    std::list<std::string> list;
    // Named values; "ctask" carries the name of a joined task.
    std::map<std::string, std::string> values;
};
