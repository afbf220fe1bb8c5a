#pragma once
// Static page files with named sections. A section NAME is the text between
// "<!--begin_NAME-->" and "<!--end_NAME-->"; filling a section replaces only
// that text, so the markers stay and a page can be filled again later.

#include <string>

// Replaces the text of every section named `name` in `page` by `content`;
// true when at least one section was replaced. Content that holds the
// section's own markers is inserted as it is and not scanned again.
bool ReplaceSection(std::string& page, const std::string& name, const std::string& content);

// Results of GenerateLanguagePages.
constexpr int KR_PAGES_OK = 0;
constexpr int KR_PAGES_NO_TEMPLATE = 1;   // template unreadable or empty
constexpr int KR_PAGES_NO_PAGE = 2;       // page unreadable or empty
constexpr int KR_PAGES_WRITE_FAILED = 3;  // page left as it was

// Fills the page file at `pagePath` (e.g. "de/index.html": the folder is the
// language) from the sections of the template file at `templatePath` and
// writes it back. The new text goes to `pagePath` + ".tmp" in the same folder
// first and replaces the page only when it was written completely, so a
// failed write never loses the old page. One generator per page at a time.
int GenerateLanguagePages(const std::string& pagePath, const std::string& templatePath);
