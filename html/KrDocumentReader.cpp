#include "html/KrDocumentReader.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>

#include "document/KrDTDElementReaderStream.h"
#include "document/KrDTDElementReaderString.h"
#include "document/KrXMLGenericElement.h"
#include "foundation/KrException.h"
#include "html/KrHTMLDTDs.h"
#include "html/KrHTMLTagClasses.h"
#include "html/KrHTML_Document2.h"
#include "html/KrHTML_text2.h"

namespace {

const char* const kOutOfMemory = "out of memory";
const char* const kUnknownError = "catched an error while processing input";

// The error text for the exception being handled; call it only inside a
// catch block. Memory that ran out gives kOutOfMemory (the reader and its
// partial tree are gone by then, so there is room for the text again);
// another standard exception, KrException among them, gives its message;
// anything else a fixed text, so that a failed read never comes back with
// an empty error.
std::string CurrentErrorText() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return kUnknownError;
    }
}

bool IsHTMLGrammar(const std::string& dtdName) {
    return dtdName == "html" || dtdName == "xmlhtml";
}

// Why a read that went through has no element to hand out. The style-sheet
// grammars never have one at top level: a page reads its sheets through
// them inside style elements, where the rules become the style's children.
std::string NoElementText(const std::string& dtdName, bool oneUnit, unsigned long line) {
    std::string text;
    if (dtdName == "css") {
        text =
            "the 'css' grammar reads a style sheet inside a style element; read the sheet as "
            "'<style>...</style>' under 'html'";
    } else if (dtdName == "cssRule") {
        text =
            "the 'cssRule' grammar reads the declarations of a rule inside a style element; "
            "read the sheet as '<style>...</style>' under 'html'";
    } else if (oneUnit) {
        text = "the unit read under '" + dtdName + "' is not an element";
    } else {
        text = "no element in the text read under '" + dtdName + "'";
    }
    return text + " around line " + std::to_string(line);
}

// The line where a read of `text` from `start` begins, counted from 1.
unsigned long LineAt(const std::string& text, size_t start) {
    const char* begin = text.data();
    return 1 + static_cast<unsigned long>(
                   std::count(begin, begin + std::min(start, text.size()), '\n'));
}

// The element a parse hands to its caller, taken out of the reader's tree.
// For pages that is the html element, never the doctype in front of it.
// Having none is an error too, so that a null result always has a reason;
// `line` is where the reading began.
KrXMLComplexElement* TakeResult(KrDTDElementReader& reader, const std::string& dtdName,
                                bool oneUnit, unsigned long line) {
    KrXMLComplexElement* top = reader.Splitter().Top();
    KrXMLComplexElement* result = nullptr;
    bool html = IsHTMLGrammar(dtdName);
    for (KrXMLComplexElement* child : top->GetChildren()) {
        if (!child->WantsNewline()) {
            continue;
        }
        if (html && child->GetName() == "html") {
            result = child;
            break;
        }
        if (result == nullptr && !(html && child->GetName() == "HTMLDoctype")) {
            result = child;
            if (!html) {
                break;
            }
        }
    }
    if (result == nullptr) {
        throw KrException(NoElementText(dtdName, oneUnit, line), __LINE__, "src");
    }
    top->RemoveChild(result);
    return result;
}

// A whole text under a document grammar has one root element; a style
// sheet is a sequence of rules and may have many.
void RefuseSecondRootUnlessCSS(KrDTDElementReader& reader, const std::string& dtdName) {
    if (dtdName != "css" && dtdName != "cssRule") {
        reader.Splitter().RefuseSecondRoot();
    }
}

KrXMLComplexElement* FirstTopLevel(KrDTDElementReader& reader, const std::string& name) {
    for (KrXMLComplexElement* child : reader.Splitter().Top()->GetChildren()) {
        if (child->GetName() == name) {
            return child;
        }
    }
    return nullptr;
}

// Puts the parsed node in place of `old` in the document; the node leaves
// the reader's tree first, and is freed if the document does not take it.
void ReplaceFromParse(KrHTML_Document2* doc, KrXMLComplexElement* old, KrDTDElementReader& reader,
                      KrXMLComplexElement* parsed) {
    reader.Splitter().Top()->RemoveChild(parsed);
    std::unique_ptr<KrXMLComplexElement> owned(parsed);
    if (doc->ReplaceChild(old, parsed)) {
        owned.release();
    }
}

bool LoadInto(KrDTDElementReader& reader, KrHTML_Document2* doc) {
    if (doc == nullptr) {
        return false;
    }
    std::string error;
    bool loaded = false;
    try {
        reader.Split("html", 0);
        KrXMLComplexElement* parsedHtml = FirstTopLevel(reader, "html");
        if (parsedHtml == nullptr) {
            error = "no html element";
        } else {
            KrXMLComplexElement* parsedDoctype = FirstTopLevel(reader, "HTMLDoctype");
            doc->Html();
            KrXMLGenericElement::GenericList children;
            doc->ListGenericChildren(children);
            for (KrXMLGenericElement* child : children) {
                if (child->GetName() == "HTMLDoctype" && parsedDoctype != nullptr) {
                    ReplaceFromParse(doc, child, reader, parsedDoctype);
                    parsedDoctype = nullptr;
                } else if (child->GetName() == "html") {
                    ReplaceFromParse(doc, child, reader, parsedHtml);
                    break;
                }
            }
            loaded = true;
        }
    } catch (...) {
        error = CurrentErrorText();
    }
    if (!error.empty()) {
        try {
            if (KrHTML_pre2* pre = doc->AddPre()) {
                pre->AddChild(new KrHTML_text2(error));
            }
        } catch (...) {
            // The page cannot take the message; the result still says false.
        }
    }
    return loaded;
}

}  // namespace

KrDocumentReader::KrDocumentReader() = default;
KrDocumentReader::~KrDocumentReader() = default;

KrXMLComplexElement* KrDocumentReader::ParseStream(std::istream* in, const std::string& dtdName,
                                                   std::string& error) {
    try {
        KrDTDElementReaderStream reader(in, KrHTMLDTDs());
        RefuseSecondRootUnlessCSS(reader, dtdName);
        reader.Split(dtdName, 0);
        return TakeResult(reader, dtdName, false, 1);
    } catch (...) {
        error = CurrentErrorText();
    }
    return nullptr;
}

KrXMLComplexElement* KrDocumentReader::ParseString(const std::string& text, size_t start,
                                                   size_t* end, const std::string& dtdName,
                                                   std::string& error, int stopAfterOne) {
    try {
        KrDTDElementReaderString reader(&text, start, KrHTMLDTDs());
        if (stopAfterOne == 0) {
            RefuseSecondRootUnlessCSS(reader, dtdName);
        }
        reader.Split(dtdName, stopAfterOne);
        KrXMLComplexElement* result =
            TakeResult(reader, dtdName, stopAfterOne != 0, LineAt(text, start));
        if (end != nullptr) {
            *end = reader.Index();
        }
        return result;
    } catch (...) {
        error = CurrentErrorText();
    }
    return nullptr;
}

bool KrDocumentReader::LoadHTMLFile(const std::string& path, KrHTML_Document2* doc) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    KrDTDElementReaderStream reader(&in, KrHTMLDTDs());
    return LoadInto(reader, doc);
}

bool KrDocumentReader::LoadHTMLString(const std::string& html, KrHTML_Document2* doc) {
    KrDTDElementReaderString reader(&html, 0, KrHTMLDTDs());
    return LoadInto(reader, doc);
}

std::string KrDocumentReader::ParseHTMLStream(const std::string& html, KrXMLGenericElement** out) {
    std::string error;
    if (out != nullptr) {
        *out = nullptr;
    }
    try {
        std::istringstream in(html);
        std::unique_ptr<KrXMLComplexElement> result(ParseStream(&in, "html", error));
        auto* generic = dynamic_cast<KrXMLGenericElement*>(result.get());
        if (generic != nullptr && out != nullptr) {
            result.release();
            *out = generic;
        }
    } catch (...) {
        error += "error while creating HTML element";
    }
    return error;
}

KrXMLGenericElement* KrDocumentReader::ParseHTMLString(const KrXMLComplexElement* element) {
    if (element == nullptr) {
        return nullptr;
    }
    std::ostringstream out;
    // Write is not const in the element model; writing changes nothing.
    const_cast<KrXMLComplexElement*>(element)->Write(out);
    std::string text = out.str();
    std::string error;
    size_t end = 0;
    std::unique_ptr<KrXMLComplexElement> result(ParseString(text, 0, &end, "html", error, 0));
    auto* generic = dynamic_cast<KrXMLGenericElement*>(result.get());
    if (generic != nullptr) {
        result.release();
    }
    return generic;
}
