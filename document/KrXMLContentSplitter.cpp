#include "document/KrXMLContentSplitter.h"

#include <cstring>
#include <memory>
#include <new>

#include "document/KrDTD.h"
#include "document/KrDTDElementReader.h"
#include "document/KrXMLGenericElement.h"
#include "foundation/KrException.h"

namespace {

// Rethrows the exception being handled as a reading error: a KrException
// with the line it happened around (unless its message names one already),
// memory exhaustion unchanged (the entry points report it once the partial
// tree is freed), anything else as a KrException saying `other`.
[[noreturn]] void rethrowWithLine(const KrDTDElementReader& reader, const std::string& other) {
    try {
        throw;
    } catch (const KrException& e) {
        if (std::strstr(e.what(), "around line") != nullptr) {
            throw;
        }
        throw KrException(std::string(e.what()) + " around line " + std::to_string(reader.Line()),
                          __LINE__, "src");
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw KrException(other, __LINE__, "src");
    }
}

}  // namespace

KrXMLContentSplitter::KrXMLContentSplitter()
    : _top(std::make_unique<KrXMLGenericElement>("KrXMLContentSplitter::TOP", true)),
      _current(_top.get()) {}

KrXMLContentSplitter::~KrXMLContentSplitter() = default;

KrXMLComplexElement* KrXMLContentSplitter::Split(KrDTDElementReader& reader,
                                                 const std::string& dtdName, int stopAfterOne,
                                                 bool sourceGood) {
    if (_current == nullptr) {
        throw KrException("missing topelement", __LINE__, "src");
    }
    if (_dtdName.empty()) {
        _dtdName = dtdName;
        _top->ChildDTD(dtdName);
    }
    if (_dtdName.empty()) {
        throw KrException("DTD can't be empty", __LINE__, "src");
    }
    try {
        if (!sourceGood) {
            throw KrException("error in stream", __LINE__, "src");
        }
        KrReadUnit unit;
        const KrDTD* dtd = nullptr;
        std::string dtdFor;
        // The grammar and the skip set change only where the current element
        // does; looking them up for every word cost string comparisons.
        const KrXMLComplexElement* skipFor = nullptr;
        const std::set<std::string>* skip = nullptr;
        bool handledOne = false;
        while (true) {
            if (stopAfterOne != 0 && handledOne) {
                return _top.get();
            }
            if (dtd == nullptr || (skipFor != _current && dtdFor != _dtdName)) {
                dtd = reader.FindDTD(_dtdName);
                if (dtd == nullptr) {
                    throw KrException("DTD '" + _dtdName + "' not defined", __LINE__, "src");
                }
                dtdFor = _dtdName;
                skipFor = nullptr;
            }
            if (skipFor != _current) {
                skip = dtd->HasSkipSets() ? dtd->SkipSet(_current->GetName()) : nullptr;
                skipFor = _current;
            }

            const KrDTD::Step* match = nullptr;
            int next = reader.Peek();
            if (next >= 0) {
                for (const KrDTD::Step& step : dtd->Candidates(static_cast<unsigned char>(next))) {
                    if (skip != nullptr && skip->count(step.read->GetName()) > 0) {
                        continue;
                    }
                    if (step.read->TryRead(reader, unit)) {
                        match = &step;
                        break;
                    }
                }
            }
            if (match == nullptr) {
                if (reader.AtEnd()) {
                    return _top.get();
                }
                throw KrException("reading error ", __LINE__, "src");
            }

            const std::string& readName = match->read->GetName();
            try {
                if (!match->read->IsCloser(unit)) {
                    if (match->factory == nullptr) {
                        throw KrException("element type '" + readName +
                                              "' not defined in DTD around line " +
                                              std::to_string(reader.Line()),
                                          __LINE__, "src");
                    }
                    // Held here until the tree owns it, so that a failing
                    // attribute or a refused child cannot leak it.
                    std::unique_ptr<KrXMLComplexElement> element(
                        (*match->factory)(unit.text, *dtd));
                    if (!element) {
                        throw KrException("problem in DTD with '" + readName + "'", __LINE__,
                                          "src");
                    }
                    if (match->read->TakesAttributes()) {
                        auto* generic = dynamic_cast<KrXMLGenericElement*>(element.get());
                        if (generic != nullptr) {
                            for (const KrReadAttribute& attribute : reader.PendingAttributes()) {
                                generic->SetAttribute(attribute.name, attribute.valueless
                                                                          ? std::string("true")
                                                                          : attribute.value);
                            }
                        }
                    }
                    // A void element (br, meta, ...) is complete with its
                    // start tag: it never takes the following units.
                    bool opens = match->opensLevel && !unit.selfClosed &&
                                 !element->IsEmptyElement() && !dtd->IsVoid(element->GetName());
                    if (opens && _depth >= kMaxDepth) {
                        throw KrException("nesting too deep", __LINE__, "src");
                    }
                    if (_oneRoot && _current == _top.get() && element->WantsNewline() &&
                        element->GetName() != "HTMLDoctype") {
                        if (_root != nullptr) {
                            throw KrException("second top-level element '" + element->GetName() +
                                                  "' after '" + _root->GetName() + "'",
                                              __LINE__, "src");
                        }
                        _root = element.get();
                    }
                    if (_current->IsEmptyElement()) {
                        throw KrException("child elements not allowed for " + _current->GetName(),
                                          __LINE__, "src");
                    }
                    // From here the tree owns the element: AddChild deletes a
                    // child that a hook refuses before the exception leaves.
                    KrXMLComplexElement* added = element.release();
                    _current->AddChild(added);
                    if (opens) {
                        _dtdName = added->ChildDTD(_dtdName);
                        _current = added;
                        ++_depth;
                    } else {
                        added->OnParsed();
                        if (const KrDTD::ParsedHook* hook = dtd->FindParsedHook(added->GetName())) {
                            (*hook)(*added);
                        }
                    }
                } else {
                    // An end tag of a void element closes nothing: the
                    // element was complete with its start tag.
                    bool strayVoidEnd =
                        unit.text.size() > 1 && dtd->IsVoid(unit.text.substr(1)) &&
                        unit.text.compare(1, std::string::npos, _current->GetName()) != 0;
                    if (!strayVoidEnd) {
                        KrXMLComplexElement* closing = _current;
                        closing->OnParsed();
                        KrXMLComplexElement* parent = closing->GetParent();
                        if (parent == nullptr ||
                            !match->read->MatchesClosing(unit, closing->GetName())) {
                            throw KrException("wrong closing tag '" + unit.text + "' instead '/" +
                                                  closing->GetName() + "' around line " +
                                                  std::to_string(reader.Line()),
                                              __LINE__, "src");
                        }
                        _dtdName = closing->ChildDTD("");
                        _current = parent;
                        --_depth;
                        if (const KrDTD::ParsedHook* hook =
                                dtd->FindParsedHook(closing->GetName())) {
                            (*hook)(*closing);
                        }
                    }
                }
            } catch (...) {
                rethrowWithLine(reader, "element type '" + readName +
                                            "' not defined in DTD around line " +
                                            std::to_string(reader.Line()));
            }
            handledOne = true;
            if (reader.AtEnd()) {
                return _top.get();
            }
        }
    } catch (...) {
        rethrowWithLine(reader, "catched an error while processing input");
    }
}
