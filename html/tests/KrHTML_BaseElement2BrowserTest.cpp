#include "html/KrHTML_BaseElement2.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "document/KrXMLComplexAttribute2.h"
#include "html/KrHTML_text2.h"

namespace {

std::string findChromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

std::string runCapturingOutput(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, n);
    }
    pclose(pipe);
    return output;
}

}  // namespace

// The script must build in a real browser the same DOM as the HTML text of the
// same element: one page holds the HTML text in one container and runs the
// script, then compares the two elements and writes its verdict into the page.
TEST(KrHTML_BaseElement2BrowserTest, ScriptBuildsTheSameDomAsTheHTMLText) {
    const std::string chromium = findChromium();
    ASSERT_FALSE(chromium.empty())
        << "chromium is required for this test (Debian package 'chromium'); it is not installed";

    KrHTML_BaseElement2 root("div");
    root.SetAttribute("class", "outer");
    root.SetAttribute("title", "it's a \\ 'quoted' value");
    root.AdoptAttribute("hidden", nullptr);
    auto* list = new KrHTML_BaseElement2("ul");
    root.AddChild(list);
    auto* item = new KrHTML_BaseElement2("li");
    list->AddChild(item);
    item->SetAttribute("data-x", "a'b");
    item->AddChild(new KrHTML_text2("say \"hi\" & 'bye' < now\nnext line \\ end"));
    auto* inner = new KrHTML_BaseElement2("b");
    item->AddChild(inner);
    inner->AddChild(new KrHTML_text2("</script> \xE2\x80\xA8 x"));
    list->AddChild(new KrHTML_BaseElement2("li"));

    const std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\n"
        "<div id=\"fromhtml\">" +
        root.ToHTMLString() +
        "</div>\n"
        "<script>\n" +
        root.ToJavaScriptCreate() +
        "\n</script>\n"
        "<script>\n"
        "var made = document.currentScript.previousElementSibling;\n"
        "var parsed = document.getElementById('fromhtml').firstElementChild;\n"
        "var verdict = document.createElement('pre');\n"
        "verdict.id = 'verdict';\n"
        "verdict.textContent = (made !== parsed && made.tagName === 'DIV' &&\n"
        "    made.isEqualNode(parsed) && made.outerHTML === parsed.outerHTML)\n"
        "  ? 'QUIVO' + '-SAME' : 'QUIVO' + '-DIFFERENT ' + made.outerHTML + ' / ' + "
        "parsed.outerHTML;\n"
        "document.body.insertBefore(verdict, document.body.firstChild);\n"
        "</script>\n</body></html>\n";

    char dirTemplate[] = "/tmp/quivo_browser_XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path dir(dirTemplate);
    const std::filesystem::path file = dir / "page.html";
    {
        std::ofstream out(file, std::ios::binary);
        out << page;
    }
    const std::string command =
        "timeout 120 " + chromium +
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --user-data-dir=" +
        (dir / "profile").string() + " --dump-dom file://" + file.string() + " 2>/dev/null";
    const std::string dom = runCapturingOutput(command);
    std::filesystem::remove_all(dir);

    ASSERT_NE(dom.find("id=\"verdict\""), std::string::npos)
        << "the page's script did not run; dumped DOM:\n"
        << dom;
    EXPECT_NE(dom.find("id=\"verdict\">QUIVO-SAME</pre>"), std::string::npos) << "dumped DOM:\n"
                                                                              << dom;
}
