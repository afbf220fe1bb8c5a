// Reads arbitrary bytes as the content of a style element, the way pages
// hold style sheets (read under the "css" grammar), and writes what was read;
// the sanitizers judge.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "document/KrXMLComplexElement.h"
#include "html/KrDocumentReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = "<style>";
    text.append(reinterpret_cast<const char*>(data), size);
    text += "</style>";
    std::string error;
    size_t end = 0;
    std::unique_ptr<KrXMLComplexElement> tree(
        KrDocumentReader().ParseString(text, 0, &end, "html", error, 0));
    if (tree) {
        tree->ToXMLString();
    }
    return 0;
}
