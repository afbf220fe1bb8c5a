#include "app/KrXMLDatabase.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "app/tests/AppTestFolder.h"
#include "foundation/KrException.h"

namespace {

std::string thrownBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const KrException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

size_t countAt(KrXMLDatabase& db, const std::string& path) {
    std::list<KrXMLGenericElement*> found;
    db.FindElementsAtPath(path, found);
    return found.size();
}

std::string dumped(KrXMLDatabase& db) {
    testing::internal::CaptureStdout();
    db.Dump();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(KrXMLDatabase, FreshDatabaseDumpsDeclarationAndEmptyBase) {
    KrXMLDatabase db("quivo");
    EXPECT_EQ(dumped(db),
              "KrXMLDatabase::Dump()><?version=\"1.0\" encoding=\"UTF-8\"?><quivo /><\n");
}

TEST(KrXMLDatabase, SetCreatesElementsAndGetReadsWithoutCreating) {
    KrXMLDatabase db("quivo");
    db.SetValue("a.b.c", "1");
    EXPECT_EQ(db.GetValue("a.b.c", "x"), "1");
    // The base element's own name may lead the path or be left out.
    EXPECT_EQ(db.GetValue("quivo.a.b.c", "x"), "1");
    EXPECT_EQ(db.GetValue("a.b.d", "x"), "x");
    EXPECT_EQ(db.GetValue("a.z.c", "x"), "x");
    EXPECT_EQ(countAt(db, "a.z"), 0u);
    EXPECT_EQ(countAt(db, "a.b"), 1u);
    EXPECT_EQ(dumped(db), "KrXMLDatabase::Dump()><?version=\"1.0\" encoding=\"UTF-8\"?>"
                          "<quivo>\n<a>\n<b c=\"1\" />\n</a>\n</quivo><\n");

    // Malformed paths change nothing and raise nothing.
    for (const std::string path : {"abc", "", ".", "a"}) {
        SCOPED_TRACE(path);
        db.SetValue(path, "v");
        EXPECT_EQ(db.GetValue(path, "dflt"), "dflt");
    }
    std::string attribute;
    EXPECT_EQ(thrownBy([&] { db._resolvePath("abc", attribute, true); }),
              "the element and attribute name can't be empty");

    // A value with a quote and markup characters reads back as it was set.
    db.SetValue("a.b.q", "say \"hi\" <now>");
    EXPECT_EQ(db.GetValue("a.b.q", ""), "say \"hi\" <now>");
}

TEST(KrXMLDatabase, GetValueOrInitStoresTheFallbackOnlyWhenMissing) {
    KrXMLDatabase db("quivo");
    EXPECT_EQ(db.GetValueOrInit("opt.n.size", "7"), "7");
    EXPECT_EQ(db.GetValue("opt.n.size", "x"), "7");
    db.SetValue("opt.n.size", "9");
    EXPECT_EQ(db.GetValueOrInit("opt.n.size", "7"), "9");
    EXPECT_EQ(db.GetValue("opt.n.size", "x"), "9");
}

TEST(KrXMLDatabase, FindElementsAtPathAppendsAndLeavesTheListOnMiss) {
    KrXMLDatabase db("quivo");
    db.SetValue("x.y.z", "1");
    std::list<KrXMLGenericElement*> found{nullptr};
    db.FindElementsAtPath("x.q.z", found);
    EXPECT_EQ(found.size(), 1u);
    db.FindElementsAtPath("x.y", found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found.back()->GetAttributeString("z", ""), "1");
    db.FindElements("y", found);
    EXPECT_EQ(found.size(), 3u);
}

TEST(KrXMLDatabase, WithoutBaseElementPathOperationsFail) {
    KrXMLDatabase db("");
    std::list<KrXMLGenericElement*> found;
    EXPECT_EQ(thrownBy([&] { db.FindElements("x", found); }),
              "the base element must have a length");
    EXPECT_EQ(thrownBy([&] { db.FindElementsAtPath("x.y", found); }),
              "the base element must have a length");
    db.SetValue("a.b", "1");
    EXPECT_EQ(db.GetValue("a.b", "d"), "d");
    KrXMLDatabase based("quivo");
    EXPECT_EQ(thrownBy([&] { based.FindElements("", found); }),
              "the base element must have a length");
    EXPECT_EQ(thrownBy([&] { based.FindElementsAtPath("", found); }),
              "the base element must have a length");
}

TEST(KrXMLDatabase, ReadsAFileAsItsNewBaseAndKeepsTheTreeOnFailure) {
    AppTestFolder folder;
    KrXMLDatabase db("quivo");
    db.SetValue("kept.v", "1");

    // A missing file: the resolver is asked first; if it makes no file the
    // read fails and the tree stays.
    std::vector<std::string> asked;
    const std::string message =
        thrownBy([&] { db.DBReadFromDisk("./missing.xml", [&](std::string p) { asked.push_back(p); }); });
    EXPECT_EQ(asked, std::vector<std::string>{"./missing.xml"});
    EXPECT_EQ(message.rfind("no config was found - ./missing.xml with ", 0), 0u) << message;

    AppTestFolder::Write("bad.xml", "<project><a></b></project>");
    EXPECT_EQ(thrownBy([&] { db.DBReadFromDisk("./bad.xml"); })
                  .rfind("no config was found - ./bad.xml with ", 0),
              0u);
    EXPECT_EQ(db.GetValue("kept.v", ""), "1");

    // A resolver that makes the file lets the read succeed.
    db.DBReadFromDisk("./made.xml", [](std::string p) {
        AppTestFolder::Write(p, "<?xml version=\"1.0\"?>\n<app><opt size=\"3\"/></app>\n");
    });
    EXPECT_EQ(db.GetValue("opt.size", ""), "3");
    EXPECT_EQ(db.GetValue("app.opt.size", ""), "3");
    EXPECT_EQ(db.GetValue("kept.v", "gone"), "gone");
}

TEST(KrXMLDatabase, StringVariablesKeepTheirMarkup) {
    AppTestFolder folder;
    AppTestFolder::Write("p.xml",
                         "<project><stringvariables>"
                         "<stringvariable name=\"title\">Hello <b>bold</b> world</stringvariable>"
                         "<stringvariable name=\"empty\"></stringvariable>"
                         "<stringvariable name=\"title\">second</stringvariable>"
                         "</stringvariables></project>");
    KrXMLDatabase db("");
    db.DBReadFromDisk("./p.xml");
    EXPECT_TRUE(db.HasStringVariable("title"));
    EXPECT_EQ(db.GetStringVariable("title", "-"), "Hello <b>bold</b> world");
    EXPECT_TRUE(db.HasStringVariable("empty"));
    EXPECT_EQ(db.GetStringVariable("empty", "-"), "");
    EXPECT_FALSE(db.HasStringVariable("none"));
    EXPECT_EQ(db.GetStringVariable("none", "-"), "-");
}

TEST(KrXMLDatabase, WriteToDiskOnlyReportsTheBlockedWrite) {
    AppTestFolder folder;
    KrXMLDatabase db("quivo");
    testing::internal::CaptureStderr();
    db.WriteToDisk("./out.xml");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "writing: ./out.xml to disk is blocked!!\n");
    EXPECT_FALSE(AppTestFolder::Exists("out.xml"));
}
