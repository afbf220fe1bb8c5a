#pragma once
// A date member attribute: a KrDatum that writes itself in the three-number
// form "seconds subSecond validity", which its parser reads back to the same
// value. Parse failures are never thrown: they clear the parse-ok flag.

#include <string>

#include "document/KrXMLComplexAttribute2.h"
#include "foundation/KrDatum.h"

class KrXMLDatum : public KrXMLComplexAttribute2, public KrDatum {
  public:
    // Now, valid.
    KrXMLDatum() = default;
    ~KrXMLDatum() override;

    // The last parse succeeded, or else the validity flag is non-zero.
    bool IsSet() override;
    // Written whatever IsSet says.
    void Write(std::ostream& out) override;
    void SetFromString(const std::string& text) override;
    // Null counts as a failed parse.
    void SetFromCString(const char* text) override;
    void AppendTo(std::string& out) override;

    // The KrDatum side behaves exactly as SetFromString / SetFromCString.
    void setFromString(const std::string& text) override;
    void setFromCString(const char* text) override;
};
