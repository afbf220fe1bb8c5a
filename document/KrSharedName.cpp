#include "document/KrSharedName.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_set>

namespace {

// A document has a few dozen distinct names; generated or hostile markup may
// bring millions. The limits keep each table small whatever comes.
constexpr size_t kMaxEntries = 1 << 16;
constexpr size_t kMaxNameBytes = 256;
// Longer texts rarely repeat; they stay with their node.
constexpr size_t kMaxTextBytes = 64;

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
    std::mutex mutex;  // guards values
    // Node-based: a string never moves once inserted.
    std::unordered_set<std::string, NameHash, NameEqual> values;
};

enum TableIndex { kNames, kTexts };

SharedTable& sharedTable(TableIndex index) {
    // Never destroyed: elements may be deleted during static destruction.
    static SharedTable* tables = new SharedTable[2];
    return tables[index];
}

const std::string* internShared(TableIndex index, std::string_view value, bool bounded) {
    SharedTable& table = sharedTable(index);
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.values.find(value);
    if (found != table.values.end()) {
        return &*found;
    }
    if (bounded && table.values.size() >= kMaxEntries) {
        return nullptr;
    }
    return &*table.values.emplace(value).first;
}

// Direct-mapped by hash: a miss only costs a trip to the shared table.
constexpr size_t kCacheSlots = 512;
using Cache = std::array<const std::string*, kCacheSlots>;

const std::string* internCached(Cache& cache, TableIndex index, std::string_view value) {
    const std::string*& slot = cache[hashName(value) % kCacheSlots];
    if (slot != nullptr && *slot == value) {
        return slot;
    }
    const std::string* shared = internShared(index, value, true);
    if (shared != nullptr) {
        slot = shared;
    }
    return shared;
}

}  // namespace

const std::string* KrSharedName::Intern(std::string_view name) {
    if (name.size() > kMaxNameBytes) {
        return nullptr;
    }
    thread_local Cache cache{};
    return internCached(cache, kNames, name);
}

const std::string* KrSharedName::Builtin(std::string_view name) {
    return internShared(kNames, name, false);
}

const std::string* KrSharedName::InternText(std::string_view text) {
    if (text.size() > kMaxTextBytes) {
        return nullptr;
    }
    thread_local Cache cache{};
    return internCached(cache, kTexts, text);
}
