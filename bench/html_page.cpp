// Cost of building and writing a page through the page document's Add
// operations, per element, for pages of growing size. Building stays linear
// when the nanoseconds per element stay flat from the smallest page to the
// largest: each Add operation finds html and body among direct children
// instead of walking the whole page.

#include <chrono>
#include <cstdio>
#include <string>

#include "html/KrHTMLPlainTags.h"
#include "html/KrHTML_Document2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_form2.h"
#include "html/KrHTML_input2.h"

namespace {

using Clock = std::chrono::steady_clock;

double nanosPer(Clock::duration d, size_t count) {
    return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(count);
}

}  // namespace

int main() {
    std::printf("%10s %14s %14s %12s\n", "rows", "build ns/elem", "write ns/elem", "bytes");
    for (size_t rows : {1000u, 10000u, 100000u}) {
        const auto start = Clock::now();
        KrHTML_Document2 page("bench");
        for (size_t i = 0; i < rows; ++i) {
            KrHTML_div2* div = page.AddDiv("row" + std::to_string(i));
            div->AddText("row text");
            div->AddForm("/post", "POST")->AddInputHidden("", std::to_string(i), "quivoid");
            page.AddP()->AddSpan()->AddText("x");
        }
        const auto built = Clock::now();
        const std::string html = page.ToHTMLString();
        const auto written = Clock::now();
        const size_t elements = rows * 7;
        std::printf("%10zu %14.1f %14.1f %12zu\n", rows, nanosPer(built - start, elements),
                    nanosPer(written - built, elements), html.size());
    }
    return 0;
}
