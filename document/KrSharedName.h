#pragma once
// The names of elements and attributes, shared by every tree: one immutable
// string per distinct name, kept until the process ends, so that a node holds
// a pointer where it held a copy, and a name outlives every tree that used it.
// The table is bounded (hostile input can bring any number of distinct
// names); once it is full, Intern answers null and the caller keeps a copy.
// Thread-safe: the shared table is guarded by a mutex, and each thread keeps
// a small cache of the names it has looked up, so a name seen before costs a
// hash and one comparison.

#include <string>
#include <string_view>

class KrSharedName {
  public:
    // The shared string equal to name, or null when the table has no room.
    static const std::string* Intern(std::string_view name);
    // For the few names the library itself gives its node kinds: always
    // shared, whatever the table holds.
    static const std::string* Builtin(std::string_view name);
};
