#pragma once
// One named grammar of the reader: its recognisers (tried in ascending byte
// order of their names), the factory that builds the element of each unit,
// the names whose elements open a level, skip sets, and the HTML tag tables.
// A KrDTD owns its recognisers. It is built once and then only read, so one
// instance can be shared by every reader and thread (see KrDTDTable).

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "document/KrDTDElementRead.h"

class KrXMLComplexElement;

// Builds a new element of one HTML tag class; the caller owns the result.
using KrHTMLElementFactory = std::function<KrXMLComplexElement*(std::string)>;

class KrDTD {
  public:
    // Builds the element of a unit from its text; the caller owns the result.
    using Factory = std::function<KrXMLComplexElement*(const std::string& text, const KrDTD& dtd)>;
    // Runs once an element of a given name has been read completely.
    using ParsedHook = std::function<void(KrXMLComplexElement& element)>;

    // One recogniser as the driver tries it.
    struct Step {
        const KrDTDElementRead* read = nullptr;
        const Factory* factory = nullptr;  // null when the name has none
        bool opensLevel = false;
    };

    explicit KrDTD(std::string name);
    KrDTD(const KrDTD& other);
    KrDTD(KrDTD&& other) noexcept;
    // Copies the name and tables; the recognisers are fresh clones.
    KrDTD& operator=(const KrDTD& other);
    ~KrDTD();

    // Takes ownership and stores the recogniser under its own name, which it
    // returns. Null stores nothing and returns "". A name already present
    // throws "name can't be twice" (the recogniser is deleted).
    std::string AddRead(KrDTDElementRead* read);
    std::string AddFactory(const std::string& name, Factory factory);
    std::string AddLevel(const std::string& name);
    // Recognisers named in `names` are not tried while an element named
    // parentName is current.
    std::string SetNameSet(const std::string& parentName, const std::set<std::string>& names);
    std::string SetParsedHook(const std::string& elementName, ParsedHook hook);

    const std::string& GetName() const { return _name; }
    // The recognisers that can start with byte c, in name order.
    const std::vector<Step>& Candidates(unsigned char c) const { return _dispatch[c]; }
    const std::set<std::string>* SkipSet(const std::string& parentName) const;
    bool HasSkipSets() const { return !_skipSets.empty(); }
    const ParsedHook* FindParsedHook(const std::string& elementName) const;
    bool IsVoid(const std::string& elementName) const {
        return !emptyElementNames.empty() && emptyElementNames.count(elementName) > 0;
    }
    std::vector<std::string> ReadNames() const;

    // Filled from the HTML tag table for the HTML grammars only.
    std::map<std::string, KrHTMLElementFactory> htmlElementFactories;
    std::set<std::string> emptyElementNames;

  private:
    void _rebuild();

    std::string _name;
    std::map<std::string, std::unique_ptr<KrDTDElementRead>> _reads;
    std::map<std::string, Factory> _factories;
    std::set<std::string> _levels;
    std::map<std::string, std::set<std::string>> _skipSets;
    std::map<std::string, ParsedHook> _parsedHooks;
    std::array<std::vector<Step>, 256> _dispatch;
};
