// Reads arbitrary bytes under one of the reader's grammars and writes what
// was read; the sanitizers judge. The first byte picks the grammar (its
// distance from '0', modulo the number of modes, so every byte picks one and
// the seeds start with a readable '0' to '4'); the rest is the text. Style
// sheets and single rules are read as pages hold them: inside a style
// element, and inside one rule of it.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "document/KrXMLComplexElement.h"
#include "html/KrDocumentReader.h"

namespace {

struct Mode {
    const char* grammar;
    const char* before;
    const char* after;
};

constexpr Mode kModes[] = {
    {"xml", "", ""},                     // '0'
    {"html", "", ""},                    // '1'
    {"xmlhtml", "", ""},                 // '2'
    {"html", "<style>", "</style>"},     // '3': a style sheet ("css")
    {"html", "<style>p{", "}</style>"},  // '4': the body of one rule ("cssRule")
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const Mode& mode = kModes[static_cast<uint8_t>(data[0] - '0') % std::size(kModes)];
    std::string text = mode.before;
    text.append(reinterpret_cast<const char*>(data + 1), size - 1);
    text += mode.after;
    std::string error;
    size_t end = 0;
    std::unique_ptr<KrXMLComplexElement> tree(
        KrDocumentReader().ParseString(text, 0, &end, mode.grammar, error, 0));
    if (tree)
        tree->ToXMLString();
    return 0;
}
