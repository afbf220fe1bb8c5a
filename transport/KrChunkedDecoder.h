#pragma once
// Takes a message body in chunked transfer coding apart as its bytes arrive:
// the chunk data is appended to an output buffer; chunk sizes, extensions,
// line ends and trailer fields are dropped. The bytes may come in pieces of
// any size, split anywhere. Line ends are CR LF or a bare LF, as in a head;
// a CR that is not followed by LF, and a NUL outside chunk data, are refused.
//
// Owns its output buffer until takeOutput. Not thread-safe: the message that
// holds the decoder guards it with its own mutex.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/KrStringBuf.h"

// What KrChunkedDecoder::feed reports.
enum KrChunkedResult : int {
    KR_CHUNKS_MORE = 0,       // every byte was taken; more are needed
    KR_CHUNKS_DONE = 1,       // the last chunk and the trailer are read
    KR_CHUNKS_BAD = 2,        // not chunked coding: the framing is lost
    KR_CHUNKS_TOO_LARGE = 3,  // the data would pass the body limit
};

class KrChunkedDecoder {
  public:
    // A size line (with its extensions) or a trailer line longer than this,
    // or trailer fields longer than kMaxTrailerLength in all, are refused.
    static constexpr size_t kMaxLineLength = 8 * 1024;
    static constexpr size_t kMaxTrailerLength = 64 * 1024;

    explicit KrChunkedDecoder(uint64_t maxBodyLength);
    KrChunkedDecoder(const KrChunkedDecoder&) = delete;
    KrChunkedDecoder& operator=(const KrChunkedDecoder&) = delete;

    // Reads from `data`; `used` receives the number of bytes taken. After
    // KR_CHUNKS_DONE the bytes behind `used` belong to the next message;
    // after KR_CHUNKS_BAD or KR_CHUNKS_TOO_LARGE every further call repeats
    // that result.
    KrChunkedResult feed(const char* data, size_t size, size_t& used);
    // Bytes of chunk data decoded so far.
    uint64_t decodedLength() const { return _decoded; }
    // The decoded data; the decoder is left with an empty buffer.
    std::unique_ptr<KrStringBuf> takeOutput();

  private:
    enum class Stage {
        SIZE,           // hexadecimal digits of a chunk size
        EXTENSION,      // behind the size, up to the line end
        SIZE_LF,        // the LF behind the size line's CR
        DATA,           // chunk data
        DATA_END,       // the line end behind the data
        DATA_LF,        // the LF behind the data's CR
        TRAILER_START,  // the start of a trailer line, or the final empty line
        TRAILER,        // inside a trailer line
        TRAILER_LF,     // the LF behind a trailer line's CR
        END_LF,         // the LF behind the final CR
        DONE,
        FAILED,
    };
    // The size line has ended: data follows, or the trailer after size 0.
    KrChunkedResult _sizeLineEnded();
    KrChunkedResult _fail(KrChunkedResult result);

    Stage _stage = Stage::SIZE;
    KrChunkedResult _failure = KR_CHUNKS_BAD;
    uint64_t _maxBodyLength;
    uint64_t _decoded = 0;
    // The digits of the size being read: fifteen hold 60 bits, so a size
    // never overflows; a longer one is refused.
    char _sizeDigits[15] = {};
    size_t _digits = 0;
    uint64_t _size = 0;
    uint64_t _remaining = 0;
    size_t _lineLength = 0;
    size_t _trailerLength = 0;
    std::unique_ptr<KrStringBuf> _output;
};
