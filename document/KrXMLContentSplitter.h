#pragma once
// The driver of the reader: tries the recognisers of the current grammar,
// builds an element for each unit through the grammar's factory, nests
// elements into levels and closes them on closing units. It owns TOP, the
// element under which the whole parsed text hangs, and with it everything
// not taken out.

#include <cstddef>
#include <memory>
#include <string>

class KrDTD;
class KrDTDElementReader;
class KrXMLComplexElement;
class KrXMLGenericElement;

class KrXMLContentSplitter {
  public:
    // Open levels allowed below TOP. Deeper input stops with "nesting too
    // deep", so later recursion over the tree (writing, searching, deleting)
    // stays far from the end of the stack.
    static constexpr size_t kMaxDepth = 1000;

    KrXMLContentSplitter();
    ~KrXMLContentSplitter();
    KrXMLContentSplitter(const KrXMLContentSplitter&) = delete;
    KrXMLContentSplitter& operator=(const KrXMLContentSplitter&) = delete;

    // Runs the driver over the reader; `sourceGood` is false when the source
    // could not deliver anything at all. Returns TOP.
    KrXMLComplexElement* Split(KrDTDElementReader& reader, const std::string& dtdName,
                               int stopAfterOne, bool sourceGood);
    // From now on a second element at top level (a doctype does not count)
    // stops the reading with an error naming it and its line, instead of
    // hanging beside the first where a caller that takes one root would drop
    // it unseen. Comments, processing instructions, text and whitespace
    // around the root stay allowed.
    void RefuseSecondRoot() { _oneRoot = true; }

    KrXMLGenericElement* Top() { return _top.get(); }
    KrXMLComplexElement* Current() { return _current; }
    const std::string& CurrentDTDName() const { return _dtdName; }
    size_t Depth() const { return _depth; }

  private:
    std::unique_ptr<KrXMLGenericElement> _top;
    KrXMLComplexElement* _current;
    std::string _dtdName;
    size_t _depth = 0;
    bool _oneRoot = false;
    // The first top-level element while _oneRoot holds; names it in the error.
    const KrXMLComplexElement* _root = nullptr;
};
