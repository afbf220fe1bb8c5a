#include "foundation/CharBuffer.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

CharBuffer::CharBuffer(uint64_t grow)
    : _data(nullptr), _length(0), _free(grow == 0 ? 1 : grow), _grow(grow == 0 ? 1 : grow) {
    _data = new char[_grow + 1];
    _data[0] = 0;
}

CharBuffer::~CharBuffer() {
    delete[] _data;
}

CharBuffer& CharBuffer::operator=(const CharBuffer& other) {
    if (this != &other)
        Assign(other._data, other._length);
    return *this;
}

void CharBuffer::_reserve(uint64_t needed) {
    if (_free >= needed)
        return;
    const uint64_t missing = needed - _free;
    // Refuse sizes whose arithmetic would wrap before new[] could refuse them.
    if (missing / _grow + 2 > (UINT64_MAX / 2) / _grow)
        throw std::bad_alloc();
    const uint64_t extra = _grow * (missing / _grow + 2);
    if (_length + _free > UINT64_MAX / 2 - extra)
        throw std::bad_alloc();
    char* bigger = new char[_length + _free + extra + 1];
    std::memcpy(bigger, _data, _length + 1);
    delete[] _data;
    _data = bigger;
    _free += extra;
}

void CharBuffer::_shrinkTo(uint64_t capacity) {
    char* smaller = new char[capacity + 1];
    std::memcpy(smaller, _data, _length);
    delete[] _data;
    _data = smaller;
    _free = capacity - _length;
    _data[_length] = 0;
}

uint64_t CharBuffer::Append(const char* bytes, uint64_t count) {
    if (count == 0)
        return 0;
    if (_free < count) {
        // The bytes may live in this buffer; keep the old array until copied.
        const bool inside = bytes >= _data && bytes < _data + _length + _free + 1;
        if (inside) {
            const std::string copy(bytes, count);
            _reserve(count);
            std::memcpy(_data + _length, copy.data(), count);
        } else {
            _reserve(count);
            std::memcpy(_data + _length, bytes, count);
        }
    } else {
        std::memmove(_data + _length, bytes, count);
    }
    _length += count;
    _free -= count;
    _data[_length] = 0;
    return count;
}

uint64_t CharBuffer::Append(const unsigned char* bytes, uint64_t count) {
    return Append(reinterpret_cast<const char*>(bytes), count);
}

CharBuffer& CharBuffer::PushChar(int byte) {
    _reserve(1);
    _data[_length++] = static_cast<char>(byte);
    --_free;
    _data[_length] = 0;
    return *this;
}

CharBuffer& CharBuffer::Assign(const char* bytes, uint64_t count) {
    if (bytes >= _data && bytes < _data + _length + _free + 1) {
        const std::string copy(bytes, count);
        Clear();
        Append(copy.data(), count);
    } else {
        Clear();
        Append(bytes, count);
    }
    return *this;
}

void CharBuffer::Clear() {
    if (_length == 0)
        return;
    _free += _length;
    _length = 0;
    if (_free > 4 * _grow)
        _shrinkTo(2 * _grow);
    _data[0] = 0;
}

uint64_t CharBuffer::Consume(uint64_t count) {
    if (count == 0)
        return 0;
    const uint64_t removed = std::min(count, _length);
    std::memmove(_data, _data + removed, _length - removed);
    _length -= removed;
    _free += removed;
    _data[_length] = 0;
    if (_free > 4 * _grow)
        _shrinkTo(_length + 2 * _grow);
    return removed;
}

uint64_t CharBuffer::DropBack(uint64_t count) {
    if (count == 0)
        return 0;
    const uint64_t removed = std::min(count, _length);
    _length -= removed;
    _free += removed;
    _data[_length] = 0;
    return removed;
}

bool CharBuffer::EndsWith(char byte) const {
    return _length > 0 && _data[_length - 1] == byte;
}

int64_t CharBuffer::ReadFrom(int fd, uint64_t minFree) {
    _reserve(minFree);
    const ssize_t got = ::read(fd, _data + _length, _free);
    if (got > 0) {
        _length += static_cast<uint64_t>(got);
        _free -= static_cast<uint64_t>(got);
        _data[_length] = 0;
    }
    return got;
}

int64_t CharBuffer::Find(const char* pattern, uint64_t patternLength, int64_t start) const {
    // A match may end at the last byte; a partial match at the end is not one.
    if (start < 0 || patternLength == 0 || pattern == nullptr)
        return notFound;
    const uint64_t from = static_cast<uint64_t>(start);
    if (from >= _length || patternLength > _length - from)
        return notFound;
    const std::string_view content(_data, _length);
    const size_t at = content.find(std::string_view(pattern, patternLength), from);
    return at == std::string_view::npos ? notFound : static_cast<int64_t>(at);
}
