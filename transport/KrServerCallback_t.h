#pragma once
// The record in which servers tell the application what happened to them and
// to their connections, and in which a connection keeps its own description.
// A plain copyable value: a type number (KR_EVENT_CONNECTION_INFO describes a
// connection only) and named text values. The sender owns the record it
// passes to a callback.

#include <functional>
#include <map>
#include <string>

// What a record reports (its `type`).
enum KrServerEventType : int {
    KR_EVENT_CONNECTION_INFO = 0,  // describes a connection only
    KR_EVENT_SERVER_CREATED = 1,   // "protocol", "ID", "roll"
    KR_EVENT_SERVER_GONE = 2,      // "ID", "roll"
    KR_EVENT_BIND_FAILED = 3,      // the listener could not bind; retried
    KR_EVENT_LISTENING = 4,        // "address", "port", "ID", "protocolstring"
    KR_EVENT_CONNECTION = 5,       // a peer was accepted
    KR_EVENT_ANSWER_SENT = 6,      // an answer of a raw-bytes server left
    KR_EVENT_ACCESS_LOG = 7,       // "logging": one access-log line
};

struct KrServerCallback_t {
    int type = KR_EVENT_CONNECTION_INFO;
    std::map<std::string, std::string> values;
};

// The application's event callback; every sender ignores its result.
using KrServerCallback = std::function<bool(KrServerCallback_t&)>;
