#pragma once
// A message between jobs: posted to the job registry under the receiver's job
// id and delivered on the registry's message thread. A plain copyable record;
// the meaning of a and b depends on the kind (see the senders).

#include <list>
#include <map>
#include <string>

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
