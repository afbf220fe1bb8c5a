#pragma once
// The record in which servers tell the application what happened to them and
// to their connections, and in which a connection keeps its own description.
// A plain copyable value: a type number (0 describes a connection only) and
// named text values. The sender owns the record it passes to a callback.

#include <functional>
#include <map>
#include <string>

struct KrServerCallback_t {
    int type = 0;
    std::map<std::string, std::string> values;
};

// The application's event callback; every sender ignores its result.
using KrServerCallback = std::function<bool(KrServerCallback_t&)>;
