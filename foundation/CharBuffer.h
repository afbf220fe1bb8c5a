#pragma once
// A growable byte buffer that grows in multiples of a fixed step and always
// keeps a zero byte after its content, so Data() reads as a C string when the
// content holds no zero byte. Owns its array; not safe for concurrent use.

#include <cstddef>
#include <cstdint>

class CharBuffer {
  public:
    // A growth step of 0 counts as 1.
    explicit CharBuffer(uint64_t grow);
    ~CharBuffer();
    CharBuffer(const CharBuffer&) = delete;
    // Copies the other buffer's bytes; the growth step stays.
    CharBuffer& operator=(const CharBuffer& other);

    uint64_t Append(const char* bytes, uint64_t count);
    uint64_t Append(const unsigned char* bytes, uint64_t count);
    CharBuffer& PushChar(int byte);
    CharBuffer& Assign(const char* bytes, uint64_t count);
    void Clear();
    // Removes bytes from the front; returns how many were removed.
    uint64_t Consume(uint64_t count);
    // Removes bytes from the back; returns how many were removed.
    uint64_t DropBack(uint64_t count);
    bool EndsWith(char byte) const;
    // Makes at least `minFree` bytes of room, then one read(2) into all free
    // space. Returns read's result; 0 or below leaves the content unchanged.
    int64_t ReadFrom(int fd, uint64_t minFree);

    char* Data() { return _data; }
    const char* CData() const { return _data; }
    uint64_t Size() const { return _length; }
    uint64_t FreeSpace() const { return _free; }
    // Position of the first whole match at or after `start`, or -1.
    int64_t Find(const char* pattern, uint64_t patternLength, int64_t start) const;

    static constexpr int64_t notFound = -1;

  private:
    void _reserve(uint64_t needed);
    void _shrinkTo(uint64_t capacity);

    char* _data;
    uint64_t _length;
    uint64_t _free;
    uint64_t _grow;
};
