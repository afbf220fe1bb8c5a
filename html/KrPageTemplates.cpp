#include "html/KrPageTemplates.h"

#include "foundation/KrStringSplit.h"
#include "foundation/KrStringUtils.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <vector>

namespace {

const std::string kBegin = "<!--begin_";
const std::string kEnd = "<!--end_";
const std::string kClose = "-->";

// The whole file as bytes; "" when it cannot be opened or read.
std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        return {};
    }
    std::string text;
    char block[65000];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        text.append(block, static_cast<size_t>(in.gcount()));
    }
    // A directory opens but cannot be read: treat it like a missing file.
    if (in.bad()) {
        return {};
    }
    return text;
}

// The text between the first `begin` and the first `end` marker, when both
// exist in that order.
bool FirstSectionText(const std::string& text, const std::string& name, std::string& out) {
    const std::string begin = kBegin + name + kClose;
    const size_t b = text.find(begin);
    const size_t e = text.find(kEnd + name + kClose);
    if (b == std::string::npos || e == std::string::npos || b >= e) {
        return false;
    }
    const size_t from = b + begin.size();
    if (e < from) {
        return false;
    }
    out = text.substr(from, e - from);
    return true;
}

// Writes `text` to a temporary file beside `path` and renames it over `path`,
// so the old page survives any failure before the rename.
bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        return false;  // nothing of ours to clean up at that name
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (out.fail()) {
        std::remove(temporary.c_str());
        return false;
    }
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        ::chmod(temporary.c_str(), old.st_mode & 07777);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool ReplaceSection(std::string& page, const std::string& name, const std::string& content) {
    const std::string begin = kBegin + name + kClose;
    const std::string end = kEnd + name + kClose;
    bool replaced = false;
    size_t from = 0;
    for (size_t b = page.find(begin, from); b != std::string::npos; b = page.find(begin, from)) {
        const size_t inner = b + begin.size();
        const size_t e = page.find(end, b);
        if (e == std::string::npos || e < inner) {
            from = inner;
            continue;
        }
        page.replace(inner, e - inner, content);
        replaced = true;
        // Resume behind the end marker: content holding the begin marker
        // must not be replaced again.
        from = inner + content.size() + end.size();
    }
    return replaced;
}

int GenerateLanguagePages(const std::string& pagePath, const std::string& templatePath) {
    const std::string templ = ReadWholeFile(templatePath);

    std::vector<std::string> codes;
    std::string codeText;
    if (FirstSectionText(templ, "LangCodes", codeText)) {
        codes = SplitStringAll(codeText, ",");
    }
    std::map<std::string, std::vector<std::string>> alternates;
    for (const std::string& a : codes) {
        std::vector<std::string>& list = alternates[a];
        for (const std::string& b : codes) {
            if (b != a) {
                list.push_back(b);
            }
        }
    }
    std::string base;
    FirstSectionText(templ, "HTMLBase", base);

    if (templ.empty()) {
        return KR_PAGES_NO_TEMPLATE;
    }
    std::string page = ReadWholeFile(pagePath);
    if (page.empty()) {
        return KR_PAGES_NO_PAGE;
    }

    std::string language = "EN";
    std::string suffix;
    const size_t separator = pagePath.find_first_of("/\\");
    if (separator != std::string::npos && separator > 0) {
        language = pagePath.substr(0, separator);
        suffix = pagePath.substr(separator);
    }

    // Language and suffix come from the caller's path and end up inside
    // attribute values: escape them there.
    std::string pageCode = "\n    <meta http-equiv=\"language\" content=\"";
    pageCode += HTMLEscape(language, false);
    pageCode += "\" />\n    <script type=\"text/javascript\">\n      var  KrPageCode=\"";
    pageCode += JSStringEscape(pagePath);
    pageCode += "\";\n    </script>\n";
    const auto own = alternates.find(language);
    if (own != alternates.end() && !own->second.empty() &&
        pagePath.find(language) != std::string::npos && !suffix.empty()) {
        const std::string escapedSuffix = HTMLEscape(suffix, false);
        for (const std::string& x : own->second) {
            pageCode += "    <link rel=\"alternate\" hreflang=\"";
            pageCode += ToLowerMove(x);
            pageCode += "\" href=\"";
            pageCode += base + "/" + x + escapedSuffix;
            pageCode += "\" />\n";
        }
    }

    std::map<std::string, std::string> sections;
    for (size_t b = templ.find(kBegin); b != std::string::npos;) {
        const size_t c = templ.find(kClose, b);
        if (c == std::string::npos) {
            break;
        }
        const std::string name = templ.substr(b + kBegin.size(), c - b - kBegin.size());
        // The whole end marker: "<!--end_Nav" alone would also match "<!--end_NavBar-->".
        const size_t e = templ.find(kEnd + name + kClose, b);
        if (e == std::string::npos) {
            break;
        }
        // An end marker inside the begin marker (a name holding "<!--") has no text.
        if (name != "PageCode" && e >= c + kClose.size()) {
            sections[name] = templ.substr(c + kClose.size(), e - c - kClose.size());
        }
        b = templ.find(kBegin, e);
    }
    sections["PageCode"] = pageCode;

    for (const auto& [name, text] : sections) {
        ReplaceSection(page, name, text);
    }

    std::cout << "writing " << pagePath << std::endl;
    return ReplaceFileAtomically(pagePath, page) ? KR_PAGES_OK : KR_PAGES_WRITE_FAILED;
}
