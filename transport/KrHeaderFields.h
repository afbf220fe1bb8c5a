#pragma once
// The header fields of one message: what the reader found, kept as one text
// with a list of positions, and the field map (KrHeaderFieldMap) that callers
// see, built from it only as far as they ask. A name asked for gets its map
// entry then; the first call of all() enters every field. A name present in
// the map is answered from the map alone, so whatever a caller changed there
// stays the truth.
//
// Not thread-safe; the owning header's mutex guards it. The field text may be
// shared between a request and the answers made for it: it is copied before
// it is changed while shared.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Header fields by lower-case name, values in arrival order.
using KrHeaderFieldMap = std::map<std::string, std::vector<std::string>>;

class KrHeaderFields {
  public:
    // The reader's record: names lower-case without blanks, values trimmed of
    // blanks at both ends, back to back in `text`.
    struct Store {
        struct Entry {
            uint32_t name;
            uint32_t nameLength;
            uint32_t value;
            uint32_t valueLength;
            // The value has blanks inside or starts with ":"; the map holds
            // it without them.
            bool needsCleaning;
            // The value has blanks inside: rawHeader keeps them.
            bool hasBlanks;
        };
        // Grows without filling: the reader writes each piece once.
        class Text {
          public:
            Text() = default;
            Text(const Text& other);
            Text& operator=(const Text&) = delete;

            const char* data() const { return _data.get(); }
            size_t size() const { return _size; }
            size_t capacity() const { return _capacity; }
            operator std::string_view() const { return std::string_view(_data.get(), _size); }
            void reserve(size_t capacity);
            // `n` more bytes at the end, for the caller to fill.
            char* extend(size_t n) {
                if (_capacity - _size < n)
                    reserve(_size + n > 2 * _capacity ? _size + n : 2 * _capacity);
                char* const at = _data.get() + _size;
                _size += n;
                return at;
            }
            void append(std::string_view bytes) {
                if (!bytes.empty())
                    std::memcpy(extend(bytes.size()), bytes.data(), bytes.size());
            }
            void truncate(size_t size) { _size = size; }

          private:
            std::unique_ptr<char[]> _data;
            size_t _size = 0;
            size_t _capacity = 0;
        };

        Text text;
        std::vector<Entry> entries;
        // One bit per name present (a name's bit may be shared): most
        // lookups are for names a message does not have.
        uint64_t names = 0;

        static uint64_t bitOf(std::string_view name) {
            if (name.empty())
                return 1;
            // Length and three characters: many names share a first letter.
            const uint32_t mix =
                static_cast<uint32_t>(name.size()) * 0x9E3779B1u +
                static_cast<unsigned char>(name.front()) * 0x85EBCA77u +
                static_cast<unsigned char>(name.back()) * 0xC2B2AE3Du +
                static_cast<unsigned char>(name[name.size() / 2]) * 0x27D4EB2Fu;
            return uint64_t{1} << ((mix * 0x9E3779B1u) >> 26);
        }
        bool mayHave(std::string_view name) const { return (names & bitOf(name)) != 0; }
        void add(const Entry& entry) {
            entries.push_back(entry);
            names |= bitOf(nameOf(entry));
        }

        // The reader made every entry inside `text`: no range checks.
        std::string_view nameOf(const Entry& entry) const {
            return std::string_view(text.data() + entry.name, entry.nameLength);
        }
        std::string_view rawOf(const Entry& entry) const {
            return std::string_view(text.data() + entry.value, entry.valueLength);
        }
        // The value as the map holds it.
        std::string valueOf(const Entry& entry) const;
    };

    KrHeaderFields() = default;
    // A copy shares the field text and copies the entries already made.
    KrHeaderFields(const KrHeaderFields& other) = default;
    KrHeaderFields& operator=(const KrHeaderFields& other) = default;

    // The whole map.
    KrHeaderFieldMap& all();
    // The values under `name`, an empty entry inserted when there are none.
    std::vector<std::string>& values(const std::string& name);
    // Values with their inner blanks, for names where one value had some
    // (values before that one as the map has them); else values(name).
    const std::vector<std::string>& raw(const std::string& name);

    // Calls visit(std::string_view value) for each value under `name` as the
    // map would hold it, without building the map; stops when visit returns
    // false. Returns false when there is no such field.
    template <class Visit>
    bool visit(std::string_view name, Visit&& visit) const;
    // Calls visit(std::string_view value) for each value under `name` as the
    // peer sent it (trimmed, inner blanks kept), from the reader's record
    // alone: the framing of a message follows what was received, whatever a
    // caller changed in the map since. Stops when visit returns false.
    // Returns false when no such field was received.
    template <class Visit>
    bool visitSent(std::string_view name, Visit&& visit) const;
    // The first value under `name`, or empty.
    std::string first(std::string_view name) const;
    // The first value raw(name) gives, into `out`; false when there is none.
    // Made from the reader's record alone while no map entry has been made.
    bool firstRaw(const std::string& name, std::string& out);
    bool has(std::string_view name) const {
        return visit(name, [](std::string_view) { return false; });
    }

    // For the reader: the store to append to (made, or copied while shared).
    Store& writableStore() {
        if (_store && _store.use_count() == 1)
            return *_store;
        return _newStore();
    }
    // For the reader, after it appended the last entry: keeps a map entry
    // already made for its name up to date.
    void entryAdded() {
        if (!_map.empty() || !_raw.empty())
            _entryAddedToMaps();
    }

  private:
    // The reader's record alone: the map's values, or with `asSent` the
    // values as received.
    template <class Visit>
    bool _visitStore(std::string_view name, bool asSent, Visit& visit) const;
    Store& _newStore();
    void _entryAddedToMaps();

    KrHeaderFieldMap _map;
    KrHeaderFieldMap _raw;
    std::shared_ptr<Store> _store;
    // Every field of the store is in _map.
    bool _complete = false;
};

template <class Visit>
bool KrHeaderFields::visit(std::string_view name, Visit&& visit) const {
    if (!_map.empty()) {
        auto found = _map.find(std::string(name));
        if (found != _map.end()) {
            for (const std::string& value : found->second) {
                if (!visit(std::string_view(value)))
                    break;
            }
            return true;
        }
    }
    if (_complete)
        return false;
    return _visitStore(name, false, visit);
}

template <class Visit>
bool KrHeaderFields::visitSent(std::string_view name, Visit&& visit) const {
    return _visitStore(name, true, visit);
}

template <class Visit>
bool KrHeaderFields::_visitStore(std::string_view name, bool asSent, Visit& visit) const {
    if (!_store || !_store->mayHave(name))
        return false;
    bool any = false;
    for (const Store::Entry& entry : _store->entries) {
        if (_store->nameOf(entry) != name)
            continue;
        any = true;
        bool more;
        if (entry.needsCleaning && !asSent)
            more = visit(std::string_view(_store->valueOf(entry)));
        else
            more = visit(_store->rawOf(entry));
        if (!more)
            break;
    }
    return any;
}
