#include "transport/KrChunkedDecoder.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

KrChunkedDecoder::KrChunkedDecoder(uint64_t maxBodyLength)
    : _maxBodyLength(maxBodyLength), _output(std::make_unique<KrStringBuf>()) {}

std::unique_ptr<KrStringBuf> KrChunkedDecoder::takeOutput() {
    return std::exchange(_output, std::make_unique<KrStringBuf>());
}

KrChunkedResult KrChunkedDecoder::_fail(KrChunkedResult result) {
    _stage = Stage::FAILED;
    _failure = result;
    return result;
}

KrChunkedResult KrChunkedDecoder::_sizeLineEnded() {
    _lineLength = 0;
    _size = 0;
    std::from_chars(_sizeDigits, _sizeDigits + _digits, _size, 16);
    if (_size == 0) {
        _stage = Stage::TRAILER_START;
        return KR_CHUNKS_MORE;
    }
    if (_size > _maxBodyLength - _decoded)
        return _fail(KR_CHUNKS_TOO_LARGE);
    _remaining = _size;
    _stage = Stage::DATA;
    return KR_CHUNKS_MORE;
}

KrChunkedResult KrChunkedDecoder::feed(const char* data, size_t size, size_t& used) {
    used = 0;
    if (_stage == Stage::FAILED)
        return _failure;
    size_t at = 0;
    while (at < size && _stage != Stage::DONE) {
        if (_stage == Stage::DATA) {
            // Chunk data goes over in one piece, whatever bytes it holds.
            const size_t n = static_cast<size_t>(std::min<uint64_t>(_remaining, size - at));
            _output->Append(data + at, n);
            at += n;
            _remaining -= n;
            _decoded += n;
            if (_remaining == 0)
                _stage = Stage::DATA_END;
            continue;
        }
        const char c = data[at++];
        switch (_stage) {
            case Stage::SIZE:
                if (std::isxdigit(static_cast<unsigned char>(c))) {
                    if (_digits == sizeof _sizeDigits)
                        return _fail(KR_CHUNKS_TOO_LARGE);
                    _sizeDigits[_digits++] = c;
                    ++_lineLength;
                    break;
                }
                if (_digits == 0)
                    return _fail(KR_CHUNKS_BAD);
                if (c == ';' || c == ' ' || c == '\t') {
                    ++_lineLength;
                    _stage = Stage::EXTENSION;
                    break;
                }
                if (c != '\r' && c != '\n')
                    return _fail(KR_CHUNKS_BAD);
                [[fallthrough]];
            case Stage::EXTENSION:
                // Extensions are skipped unread: no extension changes the data.
                if (c == '\r') {
                    _stage = Stage::SIZE_LF;
                } else if (c == '\n') {
                    if (_sizeLineEnded() != KR_CHUNKS_MORE)
                        return _failure;
                } else if (c == '\0' || ++_lineLength > kMaxLineLength) {
                    return _fail(KR_CHUNKS_BAD);
                }
                break;
            case Stage::SIZE_LF:
                if (c != '\n')
                    return _fail(KR_CHUNKS_BAD);
                if (_sizeLineEnded() != KR_CHUNKS_MORE)
                    return _failure;
                break;
            case Stage::DATA_END:
                if (c == '\r') {
                    _stage = Stage::DATA_LF;
                    break;
                }
                if (c != '\n')
                    return _fail(KR_CHUNKS_BAD);
                [[fallthrough]];
            case Stage::DATA_LF:
                if (c != '\n')
                    return _fail(KR_CHUNKS_BAD);
                _stage = Stage::SIZE;
                _digits = 0;
                _lineLength = 0;
                break;
            case Stage::TRAILER_START:
                if (c == '\r') {
                    _stage = Stage::END_LF;
                    break;
                }
                if (c == '\n') {
                    _stage = Stage::DONE;
                    break;
                }
                _lineLength = 0;
                _stage = Stage::TRAILER;
                [[fallthrough]];
            case Stage::TRAILER:
                // Trailer fields are dropped: nothing here reads them.
                if (c == '\r') {
                    _stage = Stage::TRAILER_LF;
                } else if (c == '\n') {
                    _stage = Stage::TRAILER_START;
                } else if (c == '\0' || ++_lineLength > kMaxLineLength ||
                           ++_trailerLength > kMaxTrailerLength) {
                    return _fail(KR_CHUNKS_BAD);
                }
                break;
            case Stage::TRAILER_LF:
            case Stage::END_LF:
                if (c != '\n')
                    return _fail(KR_CHUNKS_BAD);
                _stage = _stage == Stage::TRAILER_LF ? Stage::TRAILER_START : Stage::DONE;
                break;
            case Stage::DATA:
            case Stage::DONE:
            case Stage::FAILED:
                break;
        }
    }
    used = at;
    return _stage == Stage::DONE ? KR_CHUNKS_DONE : KR_CHUNKS_MORE;
}
