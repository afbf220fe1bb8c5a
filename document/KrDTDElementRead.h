#pragma once
// Base of the recognisers: each one reads one kind of unit (a tag, a run of
// text, a comment, a CSS rule head) at the reader's position. Recognisers are
// immutable once built, so one grammar can be shared by every reader and
// thread; what a recogniser reads goes into the caller's KrReadUnit.

#include <string>
#include <string_view>

class KrDTDElementReader;

// One attribute as written in a start tag, before it is applied to an element.
struct KrReadAttribute {
    std::string name;
    std::string value;
    bool valueless = false;  // written without "=" and a value
};

// The unit a recogniser has just read; owned by the reader and reused.
struct KrReadUnit {
    std::string text;
    bool selfClosed = false;  // the tag ended in "/>"
};

class KrDTDElementRead {
  public:
    explicit KrDTDElementRead(std::string name);
    virtual ~KrDTDElementRead();
    KrDTDElementRead(const KrDTDElementRead&) = delete;
    KrDTDElementRead& operator=(const KrDTDElementRead&) = delete;

    // Reads one unit at the reader's position into `unit` and answers true;
    // answers false with nothing consumed when the unit is not there.
    virtual bool TryRead(KrDTDElementReader& reader, KrReadUnit& unit) const = 0;
    // A new recogniser of the same class; the caller owns it.
    virtual KrDTDElementRead* Clone() const = 0;
    // Whether the unit just read closes the current level.
    virtual bool IsCloser(const KrReadUnit& unit) const;
    // Whether the driver applies the pending attributes to the unit's element.
    virtual bool TakesAttributes() const;
    // Whether a closing unit fits the element it closes.
    virtual bool MatchesClosing(const KrReadUnit& unit, const std::string& parentName) const;
    // Whether a unit of this kind can begin with byte c; the grammar uses it
    // to try only the recognisers that can match the next byte.
    virtual bool CanStartWith(unsigned char c) const = 0;

    const std::string& GetName() const { return _name; }

  protected:
    // Shared readers of the simple unit shapes that several grammars use.
    // A run of reader whitespace (whitespace true) or of text up to
    // whitespace or '<'; false when the run would be empty.
    static bool ReadRun(KrDTDElementReader& reader, KrReadUnit& unit, bool whitespace);
    // `open`, then everything up to the first `close`; the unit holds what
    // lies between them. False (nothing consumed) when either is missing.
    static bool ReadDelimited(KrDTDElementReader& reader, KrReadUnit& unit, std::string_view open,
                              std::string_view close);

  private:
    std::string _name;
};

// Whitespace of the reader: blank, tab, line feed and carriage return.
inline bool KrIsReadWhitespace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
