#pragma once
// A reader turns one source of text into an element tree under a named
// grammar (KrDTD). The text lies in one contiguous buffer and is read by
// offset, so recognisers can give characters back without copying them.
// The reader owns the tree it builds (under its splitter's TOP element)
// until the caller takes elements out with RemoveChild; it lives for one
// call and is used by one thread.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "document/KrDTDElementRead.h"
#include "document/KrDTDTable.h"
#include "document/KrXMLContentSplitter.h"

class KrXMLComplexElement;

class KrDTDElementReader {
  public:
    virtual ~KrDTDElementReader();
    KrDTDElementReader(const KrDTDElementReader&) = delete;
    KrDTDElementReader& operator=(const KrDTDElementReader&) = delete;

    // Reads the source under the named grammar and returns the TOP element,
    // which the reader keeps owning. With stopAfterOne non-zero it returns
    // after one unit. Errors leave as KrException.
    KrXMLComplexElement* Split(const std::string& dtdName, int stopAfterOne);

    // Replaces (for this reader only) the grammar of the same name.
    void SetDTD(const KrDTD& dtd);
    // The grammar of that name, or null.
    const KrDTD* FindDTD(const std::string& name) const;

    // Character access; -1 is the end of input, every other value a byte.
    bool AtEnd() const { return _pos >= _size; }
    bool IsGood() const { return _good && _pos < _size; }
    int Peek() const { return _pos < _size ? static_cast<unsigned char>(_data[_pos]) : -1; }
    int Get() { return _pos < _size ? static_cast<unsigned char>(_data[_pos++]) : -1; }
    // Counts `text` as read (it must be what lies ahead).
    void Consume(const std::string& text);
    // Gives back the last text.size() characters read; more than was read
    // is a bug of the caller and throws.
    void PushBack(const std::string& text);

    const char* Data() const { return _data; }
    size_t Size() const { return _size; }
    size_t Position() const { return _pos; }
    void SetPosition(size_t pos);
    // Line of the reading position, counted from 1.
    unsigned long Line() const;

    std::vector<KrReadAttribute>& PendingAttributes() { return _pending; }
    KrXMLContentSplitter& Splitter() { return _splitter; }

  protected:
    // `dtds` must outlive the reader (the shared tables do).
    explicit KrDTDElementReader(const KrDTDTable& dtds);
    // Binds the text; a source that is not good makes Split fail with
    // "error in stream".
    void Bind(const char* data, size_t size, size_t pos, bool good);

  private:
    const char* _data = nullptr;
    size_t _size = 0;
    size_t _pos = 0;
    bool _good = false;
    mutable size_t _lineMemoPos = 0;
    mutable unsigned long _lineMemo = 1;
    std::vector<KrReadAttribute> _pending;
    KrXMLContentSplitter _splitter;
    const KrDTDTable* _dtds;
    std::map<std::string, std::shared_ptr<const KrDTD>> _ownDTDs;  // from SetDTD
};
