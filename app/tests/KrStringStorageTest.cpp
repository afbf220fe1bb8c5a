#include "app/KrStringStorage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/tests/AppTestFolder.h"
#include "document/KrMimeType.h"
#include "foundation/KrException.h"

namespace {

std::string encoded(const std::string& bytes) {
    std::ostringstream out;
    Base64Encode(bytes.data(), bytes.size(), out);
    return out.str();
}

std::string decoded(const std::string& text) {
    CharBuffer out(16);
    Base64Decode(text, out);
    return std::string(out.CData(), out.Size());
}

std::string allBytes(size_t length) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) {
        bytes += static_cast<char>((i * 37 + 11) & 0xff);
    }
    return bytes;
}

std::string source(const KrStringStorage& resource) {
    std::ostringstream out;
    resource.WriteSource(out);
    return out.str();
}

// What the generated program prints for each resource, in map order.
std::string described(const std::string& name, int type, const std::string& content) {
    return std::to_string(name.size()) + ":" + name + "|" + std::to_string(type) + "|" +
           std::to_string(content.size()) + ":" + content + "\n";
}

std::string runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "(popen failed)";
    }
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    if (status != 0) {
        output += "(exit status " + std::to_string(status) + ")";
    }
    return output;
}

}  // namespace

TEST(Base64, EncodesInLinesOf76) {
    const std::string a57(57, 'a');
    std::string full;
    for (int i = 0; i < 19; ++i) {
        full += "YWFh";
    }
    const struct {
        std::string bytes;
        std::string text;
    } rows[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {std::string("\0\xff\x10", 3), "AP8Q"},
        {a57, full + "\n"},
        {a57 + "a", full + "\nYQ=="},
        {a57 + a57, full + "\n" + full + "\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(encoded(row.bytes), row.text);
    }
}

TEST(Base64, DecodesItsOwnOutputAndSkipsForeignCharacters) {
    for (size_t length = 0; length <= 200; ++length) {
        const std::string bytes = allBytes(length);
        ASSERT_EQ(decoded(encoded(bytes)), bytes) << length;
    }
    const struct {
        std::string text;
        std::string bytes;
    } rows[] = {
        {"YW Jj\r\n", "abc"},
        {"YWJjYQ", "abc"},      // an unfinished last group is dropped
        {"*Y-W#I=", "ab"},
        // The pad count runs over the whole text: after "==" every later
        // group yields one byte.
        {"YQ==YWJj", "aa"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(decoded(row.text), row.bytes);
    }
}

TEST(KrStringStorage, BuildsTextAndImageResourcesFromText) {
    const KrStringStorage plain("a.html", KR_MIME_TYPE_TEXT_HTML, "<p>x</p>", false);
    EXPECT_EQ(plain.GetContent(), "<p>x</p>");
    EXPECT_EQ(plain.GetSize(), 8);
    EXPECT_EQ(plain.GetType(), KR_MIME_TYPE_TEXT_HTML);

    // A text ends at its first zero byte.
    const KrStringStorage cut("c.css", KR_MIME_TYPE_TEXT_CSS, encoded(std::string("ab\0cd", 5)), true);
    EXPECT_EQ(cut.GetContent(), "ab");
    EXPECT_EQ(cut.GetSize(), 2);

    const std::string bytes = allBytes(300);
    const KrStringStorage image("i.png", KR_MIME_TYPE_IMAGE_PNG, encoded(bytes), true);
    EXPECT_EQ(image.GetContent(), bytes);
    EXPECT_EQ(image.GetSize(), 300);

    try {
        KrStringStorage refused("i.png", KR_MIME_TYPE_IMAGE_JPEG, "raw", false);
        ADD_FAILURE() << "an image from direct text was accepted";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "can't read that type from direct string");
    }
}

TEST(KrStringStorage, ReadsImageFilesOnly) {
    AppTestFolder folder;
    const std::string bytes = allBytes(5000);
    AppTestFolder::Write("logo.png", bytes);
    const KrStringStorage image("logo", "logo.png", KR_MIME_TYPE_IMAGE_X_ICON);
    EXPECT_EQ(image.GetName(), "logo");
    EXPECT_EQ(image.GetContent(), bytes);
    EXPECT_EQ(image.GetSize(), 5000);
    for (const auto& [path, type] : std::vector<std::pair<std::string, int>>{
             {"logo.png", KR_MIME_TYPE_TEXT_HTML}, {"missing.png", KR_MIME_TYPE_IMAGE_PNG}}) {
        const KrStringStorage empty("x", path, type);
        EXPECT_EQ(empty.GetName(), "");
        EXPECT_EQ(empty.GetType(), 0);
        EXPECT_EQ(empty.GetContent(), "");
    }
}

TEST(KrStringStorage, ContentFollowsTheTypeAndCopiesOwnTheirBuffers) {
    KrStringStorage text("t.js", KR_MIME_TYPE_TEXT_JAVASCRIPT, "alert(1);", false);
    text.GetBuffer()->PushChar('z');
    EXPECT_EQ(text.GetContent(), "alert(1);");

    KrStringStorage image("i.png", KR_MIME_TYPE_IMAGE_PNG, encoded(std::string("\0\1\2", 3)), true);
    KrStringStorage copy(image);
    KrStringStorage assigned;
    assigned = image;
    copy.GetBuffer()->PushChar('c');
    assigned.GetBuffer()->Clear();
    EXPECT_EQ(image.GetContent(), std::string("\0\1\2", 3));
    EXPECT_EQ(copy.GetContent(), std::string("\0\1\2c", 4));
    EXPECT_EQ(assigned.GetContent(), "");
    EXPECT_EQ(assigned.GetName(), "i.png");
}

TEST(KrStringStorage, WritesItselfAsSource) {
    EXPECT_EQ(source(KrStringStorage("index.html", KR_MIME_TYPE_TEXT_HTML, "abc", false)),
              "{\"index.html\", KrStringStorage(\"index.html\", KR_MIME_TYPE_TEXT_HTML,\n"
              "R\"quivo(YWJj)quivo\", true)}");
    // A type without an enumerator is written as its number; the name is escaped.
    EXPECT_EQ(source(KrStringStorage("a\"b\\c\n", 42, "", false)),
              "{\"a\\\"b\\\\c\\012\", KrStringStorage(\"a\\\"b\\\\c\\012\", 42,\n"
              "R\"quivo()quivo\", true)}");
}

// The source text compiled into a program gives back every resource as it was.
TEST(KrStringStorage, SourceCompiledByTheCompilerRebuildsTheSameResources) {
    AppTestFolder folder;
    const std::vector<KrStringStorage> resources = {
        {"index.html", KR_MIME_TYPE_TEXT_HTML, "<p class=\"x\">)quivo\" \\ \n" + allBytes(0) + "</p>", false},
        {"image.png", KR_MIME_TYPE_IMAGE_PNG, encoded(allBytes(1000) + std::string(5, '\0')), true},
        {std::string("odd\"name\\\n\x01\xc3\xa9\x30", 10), 42, "plain", false},
        {"none", KR_MIME_TYPE_NONE, "", false},
    };
    std::string entries;
    std::string expected;
    std::map<std::string, const KrStringStorage*> ordered;
    for (const KrStringStorage& resource : resources) {
        entries += (entries.empty() ? "" : ",\n") + source(resource);
        ordered[resource.GetName()] = &resource;
    }
    for (const auto& [name, resource] : ordered) {
        expected += described(name, resource->GetType(), resource->GetContent());
    }
    AppTestFolder::Write("generated.cpp",
                         "#include <iostream>\n#include <map>\n#include <string>\n"
                         "#include \"app/KrStringStorage.h\"\n#include \"document/KrMimeType.h\"\n"
                         "int main() {\n"
                         "    std::map<std::string, KrStringStorage> resources = {\n" +
                             entries +
                             "};\n"
                             "    for (const auto& [name, r] : resources) {\n"
                             "        const std::string content = r.GetContent();\n"
                             "        std::cout << name.size() << ':' << name << '|' << r.GetType()\n"
                             "                  << '|' << content.size() << ':' << content << '\\n';\n"
                             "    }\n"
                             "}\n");
    const std::string compile = std::string(QUIVO_CXX) + " -std=c++20 " + QUIVO_GENERATED_FLAGS +
                                " -I" + QUIVO_SOURCE_DIR + " generated.cpp " + QUIVO_APP_LIBS +
                                " -pthread -o generated 2>&1";
    const std::string diagnostics = runCommand(compile);
    ASSERT_EQ(diagnostics, "") << compile;
    EXPECT_EQ(runCommand("./generated"), expected);
}
