#pragma once
// The reader's entry points: a stream, a string, an HTML file or an HTML
// string into element trees under one of the five named grammars. Holds no
// data; every call builds its own reader over the shared grammars, so calls
// on different threads are independent. It lives beside the HTML classes
// because the HTML entry points fill a page document; the engine it drives
// (document/KrDTDElementReader) needs only the element model.

#include <cstddef>
#include <iosfwd>
#include <string>

class KrHTML_Document2;
class KrXMLComplexElement;
class KrXMLGenericElement;

class KrDocumentReader {
  public:
    KrDocumentReader();
    ~KrDocumentReader();

    // Reads the stream under the grammar and returns the first top-level
    // element (for the HTML grammars: the html element, else the first
    // element that is not the doctype), taken out of the tree; the caller
    // deletes it. Null on an error, whose message goes to `error`; a null
    // result always has one. A text without such an element is an error
    // ("no element in the text read under 'xml' around line N"), and so is
    // a bare style sheet under "css" or "cssRule": those grammars read a
    // sheet inside a style element of a page. Except under "css" and
    // "cssRule", a second top-level element is an error too ("second
    // top-level element 'b' after 'a' around line N"); comments, processing
    // instructions and whitespace around the root are fine.
    KrXMLComplexElement* ParseStream(std::istream* in, const std::string& dtdName,
                                     std::string& error);
    // As ParseStream over `text` from index `start`; with stopAfterOne
    // non-zero only one unit is read (and what follows is not looked at);
    // a unit that is not an element is then the error ("the unit read
    // under 'html' is not an element around line N"). On success *end (when
    // not null) is the index of the first character not read.
    KrXMLComplexElement* ParseString(const std::string& text, size_t start, size_t* end,
                                     const std::string& dtdName, std::string& error,
                                     int stopAfterOne);
    // Reads an HTML page into the document, replacing its doctype and html
    // element. False when reading failed or the text has no html element;
    // the error text then goes into a pre element of the body.
    bool LoadHTMLFile(const std::string& path, KrHTML_Document2* doc);
    bool LoadHTMLString(const std::string& html, KrHTML_Document2* doc);
    // Reads HTML text; *out receives the html element (the caller deletes
    // it) or null. Returns the error text, empty on success.
    std::string ParseHTMLStream(const std::string& html, KrXMLGenericElement** out);
    // A new tree, every element of the tag class of its name, made by
    // writing `element` and reading the text back; null on failure. The
    // caller deletes the result.
    KrXMLGenericElement* ParseHTMLString(const KrXMLComplexElement* element);
};
