#pragma once
// The named grammars a reader knows. A table is built once (the shared
// tables are function-local statics, built on first use) and only read
// afterwards, so readers on any thread share it.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "document/KrDTD.h"

class KrDTDTable {
  public:
    KrDTDTable();
    ~KrDTDTable();
    KrDTDTable(KrDTDTable&&) noexcept;
    // Stores the grammar under its name, replacing one of that name.
    void Add(KrDTD dtd);
    const KrDTD* Find(const std::string& name) const;
    std::vector<std::string> Names() const;

  private:
    std::map<std::string, std::unique_ptr<const KrDTD>> _dtds;
};

// The table with the one grammar the element model needs: "xml".
const KrDTDTable& KrXMLDTDs();
