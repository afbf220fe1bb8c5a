#pragma once
// A recogniser's tentative read: characters are taken from the reader's
// position without moving it; the cursor's end (Release, or the destructor)
// counts what is still taken as read. Fail() gives everything back, so a
// failed try leaves the reader exactly as it was.

#include <cstddef>
#include <string>

#include "document/KrDTDElementReader.h"

class KrReadCursor {
  public:
    explicit KrReadCursor(KrDTDElementReader& reader)
        : _reader(reader), _start(reader.Position()), _pos(_start) {}
    ~KrReadCursor() { Release(); }
    KrReadCursor(const KrReadCursor&) = delete;
    KrReadCursor& operator=(const KrReadCursor&) = delete;

    int Peek() const {
        return _pos < _reader.Size() ? static_cast<unsigned char>(_reader.Data()[_pos]) : -1;
    }
    int PeekAt(size_t ahead) const {
        size_t at = _pos + ahead;
        return at < _reader.Size() ? static_cast<unsigned char>(_reader.Data()[at]) : -1;
    }
    // Takes the next character; at the end of input it answers -1, and unless
    // quietAtEnd says that is expected, reports the read past the end.
    int Get(bool quietAtEnd = false);
    // Gives back the last n characters taken; more than was taken throws.
    void GiveBack(size_t n);
    void GiveBack(const std::string& text) { GiveBack(text.size()); }
    void Skip(size_t n) { _pos += n; }

    bool IsGood() const { return _pos < _reader.Size(); }
    bool AtEnd() const { return _pos >= _reader.Size(); }

    // Direct view of the text ahead, for scanning loops.
    const char* Here() const { return _reader.Data() + _pos; }
    const char* End() const { return _reader.Data() + _reader.Size(); }
    void MoveTo(const char* p) { _pos = static_cast<size_t>(p - _reader.Data()); }
    size_t Taken() const { return _pos - _start; }

    // Gives back every character taken.
    void Fail() { _pos = _start; }
    void Release() { _reader.SetPosition(_pos); }

  private:
    KrDTDElementReader& _reader;
    size_t _start;
    size_t _pos;
};
