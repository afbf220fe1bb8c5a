#pragma once
// A string a node holds through one pointer: the shared string of it
// (KrSharedName: a name, or a short text that repeats), or an own copy when
// it can't be shared. Reads as a const std::string&; a node that changes its
// text asks for an own copy first (Own). Move-only.

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

class KrSharedText {
  public:
    enum class Kind : uint8_t { kName, kText };

    // Holds nothing: only for assigning or moving into.
    KrSharedText() noexcept : _bits(0) {}
    KrSharedText(std::string_view text, Kind kind);
    KrSharedText(KrSharedText&& other) noexcept : _bits(other._bits) { other._bits = 0; }
    KrSharedText& operator=(KrSharedText&& other) noexcept {
        std::swap(_bits, other._bits);
        return *this;
    }
    ~KrSharedText();

    const std::string& str() const {
        return *reinterpret_cast<const std::string*>(_bits & ~kOwned);
    }
    operator const std::string&() const { return str(); }
    // The text as a string this holder alone owns, for changing it in place.
    std::string& Own();

    friend bool operator==(const KrSharedText& a, std::string_view b) { return a.str() == b; }
    friend std::ostream& operator<<(std::ostream& out, const KrSharedText& text) {
        return out << text.str();
    }

  private:
    // The string's address; its lowest bit marks an own copy.
    static constexpr uintptr_t kOwned = 1;
    static uintptr_t _ownCopy(std::string_view text);
    uintptr_t _bits;
};
