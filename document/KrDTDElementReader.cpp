#include "document/KrDTDElementReader.h"

#include <algorithm>
#include <cstring>

#include "foundation/KrException.h"

KrDTDElementReader::KrDTDElementReader(const KrDTDTable& dtds) : _dtds(&dtds) {}

KrDTDElementReader::~KrDTDElementReader() = default;

void KrDTDElementReader::Bind(const char* data, size_t size, size_t pos, bool good) {
    _data = data;
    _size = size;
    _pos = std::min(pos, size);
    _good = good;
    _lineMemoPos = 0;
    _lineMemo = 1;
}

KrXMLComplexElement* KrDTDElementReader::Split(const std::string& dtdName, int stopAfterOne) {
    return _splitter.Split(*this, dtdName, stopAfterOne, _good);
}

void KrDTDElementReader::SetDTD(const KrDTD& dtd) {
    _ownDTDs[dtd.GetName()] = std::make_shared<const KrDTD>(dtd);
}

const KrDTD* KrDTDElementReader::FindDTD(const std::string& name) const {
    if (!_ownDTDs.empty()) {
        auto own = _ownDTDs.find(name);
        if (own != _ownDTDs.end()) {
            return own->second.get();
        }
    }
    return _dtds->Find(name);
}

void KrDTDElementReader::Consume(const std::string& text) {
    _pos = std::min(_size, _pos + text.size());
}

void KrDTDElementReader::PushBack(const std::string& text) {
    if (text.size() > _pos) {
        throw KrException("can't give more back than read: " + std::to_string(_pos) + " vs. " +
                              std::to_string(text.size()),
                          __LINE__, "src");
    }
    _pos -= text.size();
}

void KrDTDElementReader::SetPosition(size_t pos) {
    _pos = std::min(pos, _size);
}

unsigned long KrDTDElementReader::Line() const {
    // Only error messages ask, so the count is made lazily; the memo keeps a
    // run of calls from recounting the whole text.
    if (_pos < _lineMemoPos) {
        _lineMemoPos = 0;
        _lineMemo = 1;
    }
    const char* p = _data + _lineMemoPos;
    const char* end = _data + _pos;
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        if (nl == nullptr) {
            break;
        }
        ++_lineMemo;
        p = static_cast<const char*>(nl) + 1;
    }
    _lineMemoPos = _pos;
    return _lineMemo;
}
