#include "transport/KrHeaderFields.h"

#include "transport/KrThreadSpares.h"

namespace {

using Store = KrHeaderFields::Store;

// A record with more room than a large head needs is freed, not kept.
constexpr size_t kKeptText = 8192;
constexpr size_t kKeptEntries = 64;

void DeleteStore(Store* store) {
    delete store;
}
using SpareStores = KrThreadSpares<Store, 8, DeleteStore>;

// The last owner of a record gives it back to its thread, emptied, with its
// room: a message's record and its two buffers cost three allocations.
struct ReturnStore {
    void operator()(Store* store) const {
        if (store->text.capacity() <= kKeptText && store->entries.capacity() <= kKeptEntries) {
            store->text.truncate(0);
            store->entries.clear();
            store->names = 0;
            if (SpareStores::keep(store))
                return;
        }
        delete store;
    }
};

std::shared_ptr<Store> NewStore() {
    Store* store = SpareStores::take();
    if (store == nullptr)
        store = new Store();
    return std::shared_ptr<Store>(store, ReturnStore{}, KrRecyclingAllocator<Store>());
}

}  // namespace

KrHeaderFields::Store::Text::Text(const Text& other)
    : _data(other._size != 0 ? new char[other._size] : nullptr),
      _size(other._size),
      _capacity(other._size) {
    if (_size != 0)
        std::memcpy(_data.get(), other._data.get(), _size);
}

void KrHeaderFields::Store::Text::reserve(size_t capacity) {
    if (capacity <= _capacity)
        return;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (_size != 0)
        std::memcpy(grown.get(), _data.get(), _size);
    _data = std::move(grown);
    _capacity = capacity;
}

std::string KrHeaderFields::Store::valueOf(const Entry& entry) const {
    const std::string_view raw = rawOf(entry);
    if (!entry.needsCleaning)
        return std::string(raw);
    // Every blank goes, and ":" characters before the first other one.
    std::string value(raw.size(), '\0');
    char* const begin = value.data();
    char* to = begin;
    for (char c : raw) {
        if (c == ' ' || c == '\t' || (c == ':' && to == begin))
            continue;
        *to++ = c;
    }
    value.resize(static_cast<size_t>(to - begin));
    return value;
}

KrHeaderFieldMap& KrHeaderFields::all() {
    if (_complete)
        return _map;
    _complete = true;
    if (!_store)
        return _map;
    // Names already in the map keep what the map holds.
    KrHeaderFieldMap fresh;
    for (const Store::Entry& entry : _store->entries) {
        const std::string_view name = _store->nameOf(entry);
        auto inFresh = fresh.find(std::string(name));
        if (inFresh == fresh.end()) {
            if (_map.count(std::string(name)) != 0)
                continue;
            inFresh = fresh.try_emplace(std::string(name)).first;
        }
        inFresh->second.push_back(_store->valueOf(entry));
    }
    _map.merge(fresh);
    return _map;
}

std::vector<std::string>& KrHeaderFields::values(const std::string& name) {
    auto [field, inserted] = _map.try_emplace(name);
    if (inserted && !_complete && _store && _store->mayHave(name)) {
        for (const Store::Entry& entry : _store->entries) {
            if (_store->nameOf(entry) == name)
                field->second.push_back(_store->valueOf(entry));
        }
    }
    return field->second;
}

const std::vector<std::string>& KrHeaderFields::raw(const std::string& name) {
    auto made = _raw.find(name);
    if (made != _raw.end())
        return made->second;
    if (!_store)
        return values(name);
    bool anyBlanks = false;
    for (const Store::Entry& entry : _store->entries)
        anyBlanks = anyBlanks || (entry.hasBlanks && _store->nameOf(entry) == name);
    if (!anyBlanks)
        return values(name);
    std::vector<std::string>& list = _raw[name];
    bool blanksSeen = false;
    for (const Store::Entry& entry : _store->entries) {
        if (_store->nameOf(entry) != name)
            continue;
        blanksSeen = blanksSeen || entry.hasBlanks;
        if (blanksSeen)
            list.emplace_back(_store->rawOf(entry));
        else
            list.push_back(_store->valueOf(entry));
    }
    return list;
}

std::string KrHeaderFields::first(std::string_view name) const {
    std::string value;
    visit(name, [&value](std::string_view text) {
        value.assign(text);
        return false;
    });
    return value;
}

bool KrHeaderFields::firstRaw(const std::string& name, std::string& out) {
    if (_store && _map.empty() && _raw.empty()) {
        if (!_store->mayHave(name))
            return false;
        for (const Store::Entry& entry : _store->entries) {
            if (_store->nameOf(entry) != name)
                continue;
            // Values are kept as sent from the first one with inner blanks on.
            if (entry.hasBlanks)
                out.assign(_store->rawOf(entry));
            else
                out = _store->valueOf(entry);
            return true;
        }
        return false;
    }
    const std::vector<std::string>& list = raw(name);
    if (list.empty())
        return false;
    out = list.front();
    return true;
}

KrHeaderFields::Store& KrHeaderFields::_newStore() {
    _store = _store ? std::make_shared<Store>(*_store) : NewStore();
    return *_store;
}

void KrHeaderFields::_entryAddedToMaps() {
    const Store::Entry& entry = _store->entries.back();
    const std::string name(_store->nameOf(entry));
    auto field = _map.find(name);
    if (field != _map.end())
        field->second.push_back(_store->valueOf(entry));
    else if (_complete)
        _map[name].push_back(_store->valueOf(entry));
    auto raw = _raw.find(name);
    if (raw != _raw.end())
        raw->second.emplace_back(_store->rawOf(entry));
}
