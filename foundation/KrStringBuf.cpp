#include "foundation/KrStringBuf.h"

#include <algorithm>
#include <cstring>
#include <string_view>

KrStringBuf::KrStringBuf() : std::basic_stringbuf<char>(std::ios_base::in | std::ios_base::out) {}

KrStringBuf::~KrStringBuf() = default;

char* KrStringBuf::At(uint64_t offset) {
    return eback() + offset;
}

int64_t KrStringBuf::Size() {
    return pptr() - pbase();
}

char* KrStringBuf::Find(const std::string& pattern, uint64_t offset, uint64_t count) {
    const uint64_t length = Length();
    if (gptr() == nullptr || pattern.empty() || offset >= length || pattern.size() > length ||
        count == 0) {
        return nullptr;
    }
    const size_t patternLength = std::strlen(pattern.c_str());
    if (patternLength == 0)
        return nullptr;
    char* const start = gptr() + offset;
    char* const end = count >= length - offset ? pptr() : start + count;
    const char first = pattern[0];
    for (char* at = start; at < end; ++at) {
        at = static_cast<char*>(std::memchr(at, first, static_cast<size_t>(end - at)));
        if (at == nullptr)
            return nullptr;
        size_t matched = 1;
        while (matched < patternLength && at + matched < end && at[matched] == pattern[matched]) {
            ++matched;
        }
        // A partial match cut off by the end of the scan is reported too, so
        // that a caller can wait for the rest of the delimiter.
        if (matched == patternLength || at + matched == end)
            return at;
    }
    return nullptr;
}

char* KrStringBuf::FindExact(const std::string& pattern, uint64_t offset, uint64_t count) {
    const uint64_t length = Length();
    if (pattern.empty() || offset >= length || count == 0)
        return nullptr;
    const uint64_t span = std::min(count, length - offset);
    const std::string_view content(gptr() + offset, static_cast<size_t>(span));
    const size_t at = content.find(pattern);
    return at == std::string_view::npos ? nullptr : gptr() + offset + at;
}

void KrStringBuf::CopyOut(std::string& out, uint64_t offset, uint64_t count) {
    const uint64_t length = Length();
    if (gptr() == nullptr || count == 0 || offset >= length)
        return;
    out.append(gptr() + offset, static_cast<size_t>(std::min(count, length - offset)));
}

void KrStringBuf::Reset() {
    std::basic_stringbuf<char>::operator=(
        std::basic_stringbuf<char>(std::ios_base::in | std::ios_base::out));
}

void KrStringBuf::Rewind() {
    // Both areas start at the buffer's start again: the content is the
    // span up to the put position, so nothing of the old text is seen.
    char* const base = pbase() != nullptr ? pbase() : eback();
    if (base == nullptr)
        return;
    setg(base, base, base);
    setp(base, epptr());
}

void ForwardVirtualCall(std::streambuf& buffer, const std::string& text) {
    buffer.sputn(text.data(), static_cast<std::streamsize>(text.size()));
}
