#pragma once
// The names of elements and attributes, and the short texts that repeat
// (whitespace runs, common words), shared by every tree: one immutable
// string per distinct value, kept until the process ends, so that a node
// holds a pointer where it held a copy, and the string outlives every tree
// that used it. Names and texts have tables of their own, so that text can't
// crowd out names. Each table is bounded (hostile input can bring any number
// of distinct values); once one is full, its Intern answers null and the
// caller keeps a copy.
// Thread-safe: each table is guarded by a mutex, and each thread keeps a
// small cache of the values it has looked up, so a value seen before costs a
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
    // The shared string equal to text, or null when the text is too long to
    // be worth sharing or the text table has no room.
    static const std::string* InternText(std::string_view text);
};
