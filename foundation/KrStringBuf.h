#pragma once
// A std::stringbuf with direct access to its get and put areas, for message
// heads and bodies that are searched for delimiters and consumed piecewise.
// The unread content runs from gptr() to pptr(). Not safe for concurrent use;
// each owner guards its buffers with its own mutex.

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

class KrStringBuf : public std::basic_stringbuf<char> {
  public:
    // The largest step pbump takes.
    static constexpr size_t kMaxBump = 1u << 30;

    KrStringBuf();
    ~KrStringBuf() override;

    // eback() + offset, without a range check.
    char* At(uint64_t offset);
    // Bytes written since construction or the last Reset.
    int64_t Size();
    // Both inline: a reader fed in small pieces asks on every piece.
    char* Begin() { return gptr(); }
    // Unread bytes.
    uint64_t Length() {
        if (gptr() == nullptr || pptr() == nullptr)
            return 0;
        return static_cast<uint64_t>(pptr() - gptr());
    }
    // Searches the unread content from `offset`, scanning at most `count`
    // bytes (UINT64_MAX: no limit). Returns the whole match or, when the scan
    // ends in the middle of a partial match, the start of that partial match,
    // so a caller can wait for more input; otherwise null.
    char* Find(const std::string& pattern, uint64_t offset, uint64_t count);
    // Like Find but returns only a whole match of `pattern` (zero bytes
    // included) that lies within the scanned range.
    char* FindExact(const std::string& pattern, uint64_t offset, uint64_t count);
    // Appends up to `count` unread bytes from gptr() + offset to `out`.
    void CopyOut(std::string& out, uint64_t offset, uint64_t count);
    // Drops all content and area pointers.
    void Reset();
    // Drops all content and keeps the room it had, for the next writer.
    void Rewind();
    // Bytes the put area holds before it must grow.
    size_t Room() const { return static_cast<size_t>(epptr() - pbase()); }
    // Appends `length` bytes: copied straight into the put area when it has
    // room (what a reader fed small pieces does for every piece), else
    // through sputn, which grows the buffer.
    void Append(const char* data, size_t length) {
        if (length == 0)
            return;
        if (length <= static_cast<size_t>(epptr() - pptr()) && length <= kMaxBump) {
            std::memcpy(pptr(), data, length);
            pbump(static_cast<int>(length));
        } else {
            sputn(data, static_cast<std::streamsize>(length));
        }
    }

    // Skips bytes after Find or CopyOut has shown where a unit ends.
    using std::basic_stringbuf<char>::gbump;
};

// Appends `text` through the buffer's virtual xsputn.
void ForwardVirtualCall(std::streambuf& buffer, const std::string& text);
