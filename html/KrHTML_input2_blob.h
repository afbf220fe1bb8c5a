#pragma once
// An input of type "blob" that carries a byte buffer (any bytes, zero bytes
// included) for a multipart form body. The buffer never appears in the HTML.
// Thread-safe for the buffer only: every buffer operation, and the
// constructor while it fills the buffer, holds _bufferMutex; the attributes
// are not guarded.

#include <cstdint>
#include <mutex>
#include <streambuf>
#include <string>

#include "html/KrHTML_input2.h"

class KrHTML_input2_blob : public KrHTML_input2 {
  public:
    // "id" and "name" are always set; the buffer holds the bytes of data.
    KrHTML_input2_blob(const std::string& id, const std::string& data, const std::string& name);
    // The buffer holds count 8-byte items (doubles, 64-bit integers) read
    // from data. A count whose byte size does not fit throws std::length_error.
    KrHTML_input2_blob(const std::string& id, const void* data, uint64_t count,
                       const std::string& name);
    ~KrHTML_input2_blob() override;

    void Append(const std::string& bytes);
    // Appends count 8-byte items from data. std::length_error when the byte
    // size overflows or the buffer would outgrow a string; the buffer is then
    // unchanged. A null data with a non-zero count throws KrException.
    void AppendItems(const void* data, uint64_t count);
    // Appends the whole buffer to out (out is not cleared).
    void CopyTo(std::string& out);
    // Puts the whole buffer, and nothing else, into the stream buffer.
    void WriteTo(std::streambuf* out);

  private:
    // Caller holds _bufferMutex.
    void _appendItemsLocked(const void* data, uint64_t count);

    std::mutex _bufferMutex;
    std::string _buffer;  // guarded by _bufferMutex
};
