#include "document/KrSharedName.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_set>

namespace {

// A document has a few dozen distinct names; generated or hostile markup may
// bring millions. The limits keep the table small whatever comes.
constexpr size_t kMaxNames = 1 << 16;
constexpr size_t kMaxNameBytes = 256;

uint64_t hashName(std::string_view name) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return hashName(name); }
};

struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

struct SharedTable {
    std::mutex mutex;  // guards names
    // Node-based: a string never moves once inserted.
    std::unordered_set<std::string, NameHash, NameEqual> names;
};

SharedTable& sharedTable() {
    // Never destroyed: elements may be deleted during static destruction.
    static SharedTable* table = new SharedTable;
    return *table;
}

const std::string* internShared(std::string_view name, bool bounded) {
    SharedTable& table = sharedTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.names.find(name);
    if (found != table.names.end()) {
        return &*found;
    }
    if (bounded && table.names.size() >= kMaxNames) {
        return nullptr;
    }
    return &*table.names.emplace(name).first;
}

// Direct-mapped by hash: a miss only costs a trip to the shared table.
constexpr size_t kCacheSlots = 512;

}  // namespace

const std::string* KrSharedName::Intern(std::string_view name) {
    if (name.size() > kMaxNameBytes) {
        return nullptr;
    }
    thread_local std::array<const std::string*, kCacheSlots> cache{};
    const std::string*& slot = cache[hashName(name) % kCacheSlots];
    if (slot != nullptr && *slot == name) {
        return slot;
    }
    const std::string* shared = internShared(name, true);
    if (shared != nullptr) {
        slot = shared;
    }
    return shared;
}

const std::string* KrSharedName::Builtin(std::string_view name) {
    return internShared(name, false);
}
