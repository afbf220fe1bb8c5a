#include "html/KrPageTemplates.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct ReplaceCase {
    const char* what;
    std::string page;
    std::string name;
    std::string content;
    bool replaced;
    std::string expected;
};

TEST(KrPageTemplates, ReplaceSectionTable) {
    const ReplaceCase cases[] = {
        {"every section of the name, markers kept",
         "x<!--begin_A-->1<!--end_A-->y<!--begin_A--><!--end_A-->z", "A", "new", true,
         "x<!--begin_A-->new<!--end_A-->y<!--begin_A-->new<!--end_A-->z"},
        {"other names untouched", "<!--begin_B-->b<!--end_B--><!--begin_A-->a<!--end_A-->", "A", "",
         true, "<!--begin_B-->b<!--end_B--><!--begin_A--><!--end_A-->"},
        {"no markers", "plain page", "A", "new", false, "plain page"},
        {"begin without end", "<!--begin_A-->open", "A", "new", false, "<!--begin_A-->open"},
        {"end before begin", "<!--end_A--><!--begin_A-->", "A", "new", false,
         "<!--end_A--><!--begin_A-->"},
        {"first begin pairs with the next end", "<!--begin_A-->x<!--begin_A-->y<!--end_A-->", "A",
         "n", true, "<!--begin_A-->n<!--end_A-->"},
        {"trailing begin without end skipped", "<!--begin_A-->1<!--end_A--><!--begin_A-->tail", "A",
         "n", true, "<!--begin_A-->n<!--end_A--><!--begin_A-->tail"},
        {"name that is a prefix of another",
         "<!--begin_Nav-->1<!--end_Nav--><!--begin_NavBar-->2<!--end_NavBar-->", "Nav", "N", true,
         "<!--begin_Nav-->N<!--end_Nav--><!--begin_NavBar-->2<!--end_NavBar-->"},
        // Content holding the section's own begin marker is inserted once and
        // not taken for a new section (this used to loop without end).
        {"content holding the begin marker",
         "a<!--begin_A-->old<!--end_A-->b<!--begin_A-->old<!--end_A-->", "A", "<!--begin_A-->",
         true,
         "a<!--begin_A--><!--begin_A--><!--end_A-->b<!--begin_A--><!--begin_A--><!--end_A-->"},
        {"content holding both markers", "<!--begin_A-->old<!--end_A-->", "A",
         "<!--begin_A-->in<!--end_A-->", true,
         "<!--begin_A--><!--begin_A-->in<!--end_A--><!--end_A-->"},
    };
    for (const ReplaceCase& c : cases) {
        std::string page = c.page;
        EXPECT_EQ(ReplaceSection(page, c.name, c.content), c.replaced) << c.what;
        EXPECT_EQ(page, c.expected) << c.what;
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

const std::string kTemplate =
    "<!--begin_LangCodes-->DE,EN,FR<!--end_LangCodes-->\n"
    "<!--begin_HTMLBase-->https://example.org<!--end_HTMLBase-->\n"
    "<!--begin_PageCode-->ignored<!--end_PageCode-->\n"
    "<!--begin_Nav-->A<!--begin_NavBar-->B<!--end_NavBar-->C<!--end_Nav-->\n"
    "<!--begin_Foot-->first<!--end_Foot-->\n"
    "<!--begin_Foot-->shared foot<!--end_Foot-->\n";

const std::string kPage =
    "<html><head><!--begin_PageCode-->old<!--end_PageCode--></head>"
    "<body><!--begin_Nav-->old nav<!--end_Nav-->"
    "<!--begin_NavBar-->old bar<!--end_NavBar-->"
    "<!--begin_Foot-->old foot<!--end_Foot--></body></html>";

std::string PageCode(const std::string& language, const std::string& jsPath,
                     const std::string& links) {
    return "\n    <meta http-equiv=\"language\" content=\"" + language +
           "\" />\n    <script type=\"text/javascript\">\n      var  KrPageCode=\"" + jsPath +
           "\";\n    </script>\n" + links;
}

std::string ExpectedPage(const std::string& pageCode) {
    return "<html><head><!--begin_PageCode-->" + pageCode +
           "<!--end_PageCode--></head>"
           "<body><!--begin_Nav-->A<!--begin_NavBar-->B<!--end_NavBar-->C<!--end_Nav-->"
           "<!--begin_NavBar-->old bar<!--end_NavBar-->"
           "<!--begin_Foot-->shared foot<!--end_Foot--></body></html>";
}

// Page paths are relative: their first folder is the language. Each test
// works in a fresh temporary folder as the current directory.
class KrLanguagePages : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kr_pages_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        _folder = pattern;
        _previous = std::filesystem::current_path();
        std::filesystem::current_path(_folder);
        WriteFile("template.html", kTemplate);
    }
    void TearDown() override {
        std::filesystem::current_path(_previous);
        std::filesystem::remove_all(_folder);
    }
    std::filesystem::path _folder;
    std::filesystem::path _previous;
};

TEST_F(KrLanguagePages, UpperCaseFolderGetsLinksToTheOtherLanguages) {
    std::filesystem::create_directory("DE");
    WriteFile("DE/index.html", kPage);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages("DE/index.html", "template.html"), KR_PAGES_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "writing DE/index.html\n");
    const std::string links =
        "    <link rel=\"alternate\" hreflang=\"en\" href=\"https://example.org/EN/index.html\" "
        "/>\n"
        "    <link rel=\"alternate\" hreflang=\"fr\" href=\"https://example.org/FR/index.html\" "
        "/>\n";
    EXPECT_EQ(ReadFile("DE/index.html"), ExpectedPage(PageCode("DE", "DE/index.html", links)));
    EXPECT_FALSE(std::filesystem::exists("DE/index.html.tmp"));
}

TEST_F(KrLanguagePages, LowerCaseFolderIsNotOneOfTheCodes) {
    std::filesystem::create_directory("de");
    WriteFile("de/index.html", kPage);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages("de/index.html", "template.html"), KR_PAGES_OK);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadFile("de/index.html"), ExpectedPage(PageCode("de", "de/index.html", "")));
}

TEST_F(KrLanguagePages, PathWithoutFolderIsEnglishWithoutLinks) {
    WriteFile("index.html", kPage);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages("index.html", "template.html"), KR_PAGES_OK);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadFile("index.html"), ExpectedPage(PageCode("EN", "index.html", "")));
}

TEST_F(KrLanguagePages, GeneratingTwiceGivesTheSamePage) {
    std::filesystem::create_directory("FR");
    WriteFile("FR/index.html", kPage);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages("FR/index.html", "template.html"), KR_PAGES_OK);
    const std::string once = ReadFile("FR/index.html");
    EXPECT_EQ(GenerateLanguagePages("FR/index.html", "template.html"), KR_PAGES_OK);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadFile("FR/index.html"), once);
}

TEST_F(KrLanguagePages, PathIsEscapedInScriptAndAttributes) {
    const std::string folder = "it's\"x<!--\x01<";
    std::filesystem::create_directory(folder);
    const std::string path = folder + "/index.html";
    WriteFile(path, "<!--begin_PageCode--><!--end_PageCode-->");
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages(path, "template.html"), KR_PAGES_OK);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadFile(path), "<!--begin_PageCode-->" +
                                  PageCode("it&apos;s&quot;x&lt;!--\x01&lt;",
                                           "it\\'s\\\"x<\\!--\\u0001<\\/index.html", "") +
                                  "<!--end_PageCode-->");
}

TEST_F(KrLanguagePages, MissingTemplateOrPageWritesNothing) {
    std::filesystem::create_directory("DE");
    WriteFile("DE/index.html", kPage);
    WriteFile("empty.html", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages("DE/index.html", "missing.html"), KR_PAGES_NO_TEMPLATE);
    EXPECT_EQ(GenerateLanguagePages("DE/index.html", "empty.html"), KR_PAGES_NO_TEMPLATE);
    EXPECT_EQ(GenerateLanguagePages("DE/missing.html", "template.html"), KR_PAGES_NO_PAGE);
    EXPECT_EQ(GenerateLanguagePages("DE/empty.html", "template.html"), KR_PAGES_NO_PAGE);
    // A folder in the path that is a regular file: nothing can be read or made.
    EXPECT_EQ(GenerateLanguagePages("template.html/index.html", "template.html"), KR_PAGES_NO_PAGE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ReadFile("DE/index.html"), kPage);
    EXPECT_FALSE(std::filesystem::exists("DE/missing.html"));
}

TEST_F(KrLanguagePages, UnwritableFolderFailsAndKeepsTheOldPage) {
    std::filesystem::create_directory("DE");
    WriteFile("DE/index.html", kPage);
    // Tests run as root, where a read-only mode does not stop writes; a
    // directory standing at the temporary file's name makes the write fail
    // for any user.
    std::filesystem::create_directory("DE/index.html.tmp");
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages("DE/index.html", "template.html"), KR_PAGES_WRITE_FAILED);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadFile("DE/index.html"), kPage);
    EXPECT_TRUE(std::filesystem::is_directory("DE/index.html.tmp"));
}

TEST_F(KrLanguagePages, ReplacedPageKeepsItsMode) {
    std::filesystem::create_directory("EN");
    WriteFile("EN/index.html", kPage);
    ASSERT_EQ(::chmod("EN/index.html", 0640), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenerateLanguagePages("EN/index.html", "template.html"), KR_PAGES_OK);
    testing::internal::GetCapturedStdout();
    struct stat after {};
    ASSERT_EQ(::stat("EN/index.html", &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
}

}  // namespace
