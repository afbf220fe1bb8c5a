#include "app/KrPersistentAppStorage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <latch>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/tests/AppTestFolder.h"
#include "document/KrMimeType.h"
#include "foundation/KrException.h"

namespace {

const char kApplication[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<quivo>\n"
    "  <demo>\n"
    "    <projects>\n"
    "      <project name=\"p1\" projectpath=\"p1\"/>\n"
    "      <project name=\"p2\"/>\n"
    "      <project name=\"\" projectpath=\"nameless\"/>\n"
    "      <project name=\"../evil\" projectpath=\"x\"/>\n"
    "      <project name=\"broken\" projectpath=\"broken\"/>\n"
    "    </projects>\n"
    "    <options>\n"
    "      <option name=\"colour\" value=\"red\"/>\n"
    "      <option name=\"\" value=\"skipped\"/>\n"
    "      <option name=\"size\" value=\"3\"/>\n"
    "      <option name=\"colour\" value=\"blue\"/>\n"
    "    </options>\n"
    "  </demo>\n"
    "</quivo>\n";

std::string projectFile(const std::string& title) {
    return "<project><stringvariables>"
           "<stringvariable name=\"title\">" +
           title +
           "</stringvariable>"
           "</stringvariables></project>\n";
}

std::string thrownBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const KrException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// Standard output and standard error of one call.
struct Printed {
    std::string out;
    std::string err;
};

Printed printedBy(const std::function<void()>& call) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    call();
    Printed printed;
    printed.out = testing::internal::GetCapturedStdout();
    printed.err = testing::internal::GetCapturedStderr();
    return printed;
}

class KrPersistentAppStorageTest : public testing::Test {
  protected:
    void SetUp() override {
        AppTestFolder::Write("demo.xml", kApplication);
        AppTestFolder::Write("demo_projects/p1/p1.xml", projectFile("From <b>p1</b>"));
    }

    // A storage with the application "demo" read from ./demo.xml.
    static std::unique_ptr<KrPersistentAppStorage> loaded() {
        return std::make_unique<KrPersistentAppStorage>("demo");
    }

    // OpenProject with its directory lines kept off the test's output.
    static bool open(KrPersistentAppStorage& storage, const std::string& name, bool create,
              std::function<void(std::string)> resolver = [](std::string) {}) {
        bool result = false;
        printedBy([&] { result = storage.OpenProject(name, create, resolver); });
        return result;
    }

    AppTestFolder _folder;
};

}  // namespace

TEST_F(KrPersistentAppStorageTest, FreshStorageHoldsNothingUntilAnApplicationIsSelected) {
    KrPersistentAppStorage storage;
    EXPECT_TRUE(storage.GetResources().empty());
    EXPECT_EQ(storage.GetResourceType("index.html"), 0);
    std::list<std::string> projects{"stale"};
    std::map<std::string, std::string> options;
    EXPECT_EQ(thrownBy([&] { storage.ListProjects(projects); }), "no application selected");
    EXPECT_EQ(thrownBy([&] { storage.GetOption(options); }), "no application selected");
    EXPECT_EQ(thrownBy([&] { storage.OpenProject("p1", true, [](std::string) {}); }),
              "no application selected");

    storage.SelectApplication("demo");
    EXPECT_EQ(storage.ProjectsDir(), "./demo_projects");
    std::list<KrXMLGenericElement*> found;
    storage.FindElements("demo", found);
    EXPECT_EQ(found.size(), 1u);
    storage.ListProjects(projects);
    EXPECT_TRUE(projects.empty());
    storage.SetValue("demo.options.option.name", "x");
    EXPECT_EQ(storage.GetValue("quivo.demo.options.option.name", ""), "x");
    EXPECT_FALSE(AppTestFolder::Exists("demo_projects/p2"));
}

TEST_F(KrPersistentAppStorageTest, ReadsOptionsProjectsAndValuesFromTheApplicationFile) {
    auto storage = loaded();
    std::map<std::string, std::string> options{{"stale", "1"}};
    storage->GetOption(options);
    EXPECT_EQ(options, (std::map<std::string, std::string>{{"colour", "blue"}, {"size", "3"}}));
    std::list<std::string> projects{"stale"};
    storage->ListProjects(projects);
    EXPECT_EQ(projects, (std::list<std::string>{"p1", "p2", "../evil", "broken"}));

    const struct {
        const char* path;
        const char* value;
    } rows[] = {
        {"demo.options.option.value", "red"},  // the first matching element
        {"quivo.demo.options.option.name", "colour"},
        {"demo.projects.project.projectpath", "p1"},
        {"demo.missing.option.value", "dflt"},
        {"demo.options.option.nothing", "dflt"},
        {"options", "dflt"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(storage->GetValue(row.path, "dflt"), row.value);
    }

    EXPECT_EQ(thrownBy([] { KrPersistentAppStorage("nope"); })
                  .rfind("no config was found - ./nope.xml with ", 0),
              0u);
    AppTestFolder::Write("twice.xml", "<root><quivo/><quivo/></root>");
    EXPECT_EQ(thrownBy([] { KrPersistentAppStorage("twice"); }),
              "could not read the application config base 'quivo'");
    testing::internal::CaptureStderr();
    storage->SaveApplication("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "writing: ./demo.xml to disk is blocked!!\n");
}

TEST_F(KrPersistentAppStorageTest, ProjectStorageDirMakesTheLevelsBelowTheProjectsFolder) {
    KrPersistentAppStorage storage;
    storage.SelectApplication("demo");
    std::string dir = "untouched";
    Printed printed = printedBy([&] { EXPECT_FALSE(storage.ProjectStorageDir("q/r", dir, false)); });
    EXPECT_EQ(printed.out, "*#*#*#* q/r\ncsd: ./demo_projects/q/r\n");
    EXPECT_EQ(dir, "untouched");

    printed = printedBy([&] { EXPECT_TRUE(storage.ProjectStorageDir("q/r", dir, true)); });
    EXPECT_EQ(dir, "./demo_projects/q/r");
    EXPECT_TRUE(AppTestFolder::Exists("demo_projects/q/r"));
    // A path that already starts with the projects folder is not prefixed again.
    printed = printedBy([&] { storage.ProjectStorageDir("./demo_projects/q", dir, false); });
    EXPECT_EQ(printed.out, "*#*#*#* ./demo_projects/q\ncsd: ./demo_projects/q\n");
    EXPECT_EQ(dir, "./demo_projects/q");
    // An absolute path is the operator's own and is used as it is.
    const std::string absolute = _folder.path() + "/elsewhere/s";
    printedBy([&] { EXPECT_TRUE(storage.ProjectStorageDir(absolute, dir, true)); });
    EXPECT_EQ(dir, absolute);
    printedBy([&] { EXPECT_FALSE(storage.ProjectStorageDir("/", dir, true)); });
}

TEST_F(KrPersistentAppStorageTest, OpensFindsAndClosesProjectsForEachHolder) {
    auto storage = loaded();
    ASSERT_TRUE(open(*storage, "p1", false));

    KrXMLDatabase* first = storage->FindProject("p1", "h1");
    // A second holder shares the database: the file is not read again.
    AppTestFolder::Write("demo_projects/p1/p1.xml", projectFile("changed"));
    KrXMLDatabase* second = storage->FindProject("p1", "h2");
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->GetStringVariable("title", ""), "From <b>p1</b>");
    EXPECT_EQ(first->GetHolders(), (std::set<std::string>{"h1", "h2"}));

    Printed printed = printedBy([&] { storage->CloseProjects("p1", "h1"); });
    EXPECT_EQ(printed.out, "closing p1\n");
    EXPECT_EQ(printed.err, "");
    EXPECT_EQ(storage->FindProject("p1", "h3"), first);
    printedBy([&] { storage->CloseProjects("p1", "h3"); });
    printed = printedBy([&] { storage->CloseProjects("p1", "h2"); });
    EXPECT_EQ(printed.out, "closing p1\n");
    EXPECT_EQ(printed.err, "writing: ./demo_projects/p1/p1.xml to disk is blocked!!\n");

    // Closed, it is read afresh on the next use.
    EXPECT_EQ(storage->FindProject("p1", "h1")->GetStringVariable("title", ""), "changed");
    EXPECT_EQ(thrownBy([&] { storage->FindProject("p2", "h1"); }), "project p2not found");
    EXPECT_EQ(thrownBy([&] { storage->ReloadProject("none", "h1"); }), "project nonenot found");
    EXPECT_EQ(printedBy([&] { storage->CloseProjects("none", "h1"); }).out, "closing none\n");
}

TEST_F(KrPersistentAppStorageTest, OpenProjectCreatesWhatItMayAndRefusesTheRest) {
    auto storage = loaded();
    EXPECT_FALSE(open(*storage, "", true));
    EXPECT_FALSE(open(*storage, "unlisted", true));
    // No project path and no leave to create one.
    EXPECT_FALSE(open(*storage, "p2", false));
    EXPECT_FALSE(AppTestFolder::Exists("demo_projects/p2"));

    std::vector<std::string> asked;
    EXPECT_TRUE(open(*storage, "p2", true, [&](std::string path) {
        asked.push_back(path);
        AppTestFolder::Write(path, projectFile("made"));
    }));
    EXPECT_EQ(asked, std::vector<std::string>{"./demo_projects/p2/p2.xml"});
    EXPECT_EQ(storage->GetValue("demo.projects.project.projectpath", ""), "p1");
    EXPECT_EQ(storage->FindProject("p2", "h")->GetStringVariable("title", ""), "made");

    // An unreadable file: false, or with leave to create an error.
    EXPECT_FALSE(open(*storage, "broken", false));
    std::string message;
    printedBy([&] { message = thrownBy([&] { storage->OpenProject("broken", true, [](std::string) {}); }); });
    EXPECT_EQ(message.rfind("closing on catch... with no config was found - "
                            "./demo_projects/broken/broken.xml with ",
                            0),
              0u)
        << message;
    EXPECT_EQ(thrownBy([&] { storage->FindProject("broken", "h"); }), "project brokennot found");
}

// A project name becomes a folder and a file name: names that would reach
// outside the projects folder are refused before anything is made.
TEST_F(KrPersistentAppStorageTest, RefusesProjectNamesThatAreNoPlainFileName) {
    auto storage = loaded();
    for (const std::string& name :
         {std::string("../evil"), std::string("."), std::string(".."), std::string("a/b"),
          std::string("a\\b"), std::string("a\0b", 3)}) {
        SCOPED_TRACE(name);
        bool called = false;
        bool opened = true;
        const Printed printed = printedBy([&] {
            opened = storage->OpenProject(name, true, [&](std::string) { called = true; });
        });
        EXPECT_FALSE(opened);
        EXPECT_FALSE(called);
        EXPECT_EQ(printed.out, "");
        EXPECT_NE(printed.err.find("refused the project name"), std::string::npos);
    }
    EXPECT_FALSE(AppTestFolder::Exists("x"));
    EXPECT_FALSE(AppTestFolder::Exists("demo_projects/x"));
    EXPECT_FALSE(AppTestFolder::Exists("demo_projects/evil.xml"));
    EXPECT_FALSE(AppTestFolder::Exists("evil.xml"));
}

TEST_F(KrPersistentAppStorageTest, ReloadOfACorruptProjectThrowsAndKeepsTheOpenDatabase) {
    auto storage = loaded();
    ASSERT_TRUE(open(*storage, "p1", false));
    KrXMLDatabase* held = storage->FindProject("p1", "h1");

    AppTestFolder::Write("demo_projects/p1/p1.xml", "<project><oops></project>");
    const std::string message = thrownBy([&] { storage->ReloadProject("p1", "h2"); });
    EXPECT_EQ(message.rfind("no config was found - ./demo_projects/p1/p1.xml with ", 0), 0u)
        << message;
    EXPECT_EQ(storage->FindProject("p1", "h2"), held);

    // A good file replaces the open database; the old one stays valid for
    // h1 until h1 closes, and is freed then (the sanitizer build checks).
    AppTestFolder::Write("demo_projects/p1/p1.xml", projectFile("fresh"));
    KrXMLDatabase* fresh = storage->ReloadProject("p1", "h2");
    EXPECT_NE(fresh, held);
    EXPECT_EQ(held->GetStringVariable("title", ""), "From <b>p1</b>");
    EXPECT_EQ(storage->FindProject("p1", "h3"), fresh);
    std::string expanded = "[[title]]";
    storage->ExpandTemplates(expanded, "p1");
    EXPECT_EQ(expanded, "fresh");
    printedBy([&] { storage->CloseProjects("p1", "h1"); });
    printedBy([&] { storage->CloseProjects("p1", "h3"); });
    EXPECT_EQ(printedBy([&] { storage->CloseProjects("p1", "h2"); }).err,
              "writing: ./demo_projects/p1/p1.xml to disk is blocked!!\n");

    // Not open: the reload says so and still throws rather than ending the process.
    AppTestFolder::Write("demo_projects/p1/p1.xml", "garbage <<");
    Printed printed;
    std::string notOpen;
    printed = printedBy([&] { notOpen = thrownBy([&] { storage->ReloadProject("p1", "h1"); }); });
    EXPECT_EQ(printed.out, "reading DB again\n");
    EXPECT_EQ(notOpen.rfind("no config was found - ", 0), 0u) << notOpen;
    EXPECT_EQ(thrownBy([&] { storage->FindProject("p1", "h1"); }).rfind("no config was found", 0),
              0u);
}

TEST_F(KrPersistentAppStorageTest, ExpandsVariablesFromTheProjectThenTheStorage) {
    auto storage = loaded();
    ASSERT_TRUE(open(*storage, "p1", false));
    storage->FindProject("p1", "page");

    std::string text = "Hi [[title]]!";
    storage->ExpandTemplates(text, "");
    EXPECT_EQ(text, "Hi !");
    storage->SetVariable("title", "World");
    storage->SetVariable("who", "[[title]] and [[title]]");
    storage->SetVariable("a", "[[b]]");
    storage->SetVariable("b", "x]]");
    storage->SetVariable("open", "[[ti");
    storage->SetVariable("emptyname", "E");

    const struct {
        const char* text;
        const char* project;
        const char* expanded;
    } rows[] = {
        {"Hi [[title]]!", "", "Hi World!"},
        {"Hi [[title]]!", "p1", "Hi From <b>p1</b>!"},
        {"Hi [[title]]!", "closed", "Hi World!"},
        {"<[[who]]>", "p1", "<From <b>p1</b> and From <b>p1</b>>"},
        {"[[a]]", "", "x]]"},
        // A replacement joins the text after it: "[[ti" + "tle]]" is a template.
        {"[[open]]tle]]", "", "World"},
        {"[[[title]]", "", ""},
        {"[[]]", "", ""},
        {"a [[title", "", "a [[title"},
        {"[[title]] [[", "", "World [["},
        {"[[!other(1)]]", "", "/* error */\n"},
        {"[[!linearanimation(.s, 1s, x, 1, a, b, 1)]]end", "", "end"},
        {"[[unknown]]|", "", "|"},
        {"no templates at all", "", "no templates at all"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::string expanded = row.text;
        storage->ExpandTemplates(expanded, row.project);
        EXPECT_EQ(expanded, row.expanded);
    }
    storage->EraseVariable("title");
    text = "Hi [[title]]!";
    storage->ExpandTemplates(text, "");
    EXPECT_EQ(text, "Hi !");
}

// A variable that refers to itself would never finish: the expansion stops
// at its bound, says so, and leaves the rest as it stands.
TEST_F(KrPersistentAppStorageTest, SelfReferringVariablesStopAtTheBound) {
    KrPersistentAppStorage storage;
    storage.SetVariable("loop", "x[[loop]]");
    storage.SetVariable("twice", "[[twice]][[twice]]");
    storage.SetVariable("big", std::string(1 << 20, 'b') + "[[big]]");
    const struct {
        const char* text;
        size_t prefix;
        char repeated;
        const char* rest;
    } rows[] = {
        {"<[[loop]]>", KrPersistentAppStorage::maxTemplateReplacements, 'x', "[[loop]]>"},
        {"[[twice]]", 0, ' ', "[[twice]]"},
        {"[[big]]", 15, 'b', "[[big]]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::string text = row.text;
        testing::internal::CaptureStderr();
        storage.ExpandTemplates(text, "");
        const std::string note = testing::internal::GetCapturedStderr();
        EXPECT_NE(note.find("template expansion stopped"), std::string::npos);
        EXPECT_NE(note.find("the rest of the text is left unexpanded"), std::string::npos);
        EXPECT_LE(text.size(), KrPersistentAppStorage::maxExpandedSize);
        const std::string rest = row.rest;
        ASSERT_GE(text.size(), rest.size());
        EXPECT_EQ(text.substr(text.size() - rest.size()), rest);
        if (row.repeated == 'x') {
            EXPECT_EQ(text, "<" + std::string(row.prefix, 'x') + rest);
        } else if (row.repeated == 'b') {
            EXPECT_EQ(text.size(), (row.prefix << 20) + rest.size());
        } else {
            // Each round puts two templates where one was: only the growth
            // bound or the count stops it; the text ends in a template.
            EXPECT_EQ(text.find_first_not_of("[]twice"), std::string::npos);
        }
    }
}

TEST_F(KrPersistentAppStorageTest, ResourcesAreCopiedInAndLookedUpByName) {
    KrPersistentAppStorage storage;
    std::map<std::string, KrStringStorage> resources;
    resources.emplace("index.html", KrStringStorage("index.html", KR_MIME_TYPE_TEXT_HTML, "x", false));
    resources.emplace("app.css", KrStringStorage("app.css", KR_MIME_TYPE_TEXT_CSS, "y", false));
    storage.SetResources(resources);
    resources.clear();
    storage.SetResources(storage.GetResources());
    EXPECT_EQ(storage.GetResources().size(), 2u);
    EXPECT_EQ(storage.GetResourceType("app.css"), KR_MIME_TYPE_TEXT_CSS);
    EXPECT_EQ(storage.GetResourceType("missing"), 0);
    EXPECT_EQ(storage.CopyResources().at("index.html").GetContent(), "x");
}

// Page contexts and the application reach the storage from several threads;
// the sanitizer builds check that its maps and the trees are guarded.
TEST_F(KrPersistentAppStorageTest, ConcurrentUseKeepsEveryAnswerWhole) {
    auto storage = loaded();
    ASSERT_TRUE(open(*storage, "p1", false));
    storage->SetVariable("v", "one");
    // Held open throughout, so the worker's closes never delete it.
    storage->FindProject("p1", "test");
    std::atomic<int> wrong{0};
    const std::function<void(int)> workers[] = {
        [&](int) {
            std::string text = "[[v]]|[[title]]";
            storage->ExpandTemplates(text, "p1");
            if (text != "one|" && text != "two|" && text != "one|From <b>p1</b>" &&
                text != "two|From <b>p1</b>") {
                ++wrong;
            }
        },
        [&](int i) {
            storage->SetVariable("v", i % 2 ? "one" : "two");
            storage->EraseVariable("w");
        },
        [&](int i) {
            storage->SetValue("demo.options.option.value", std::to_string(i));
            std::map<std::string, std::string> options;
            storage->GetOption(options);
            std::list<std::string> projects;
            storage->ListProjects(projects);
            if (projects.size() != 4) {
                ++wrong;
            }
        },
        [&](int) {
            KrXMLDatabase* db = storage->FindProject("p1", "worker");
            if (db->GetStringVariable("title", "") != "From <b>p1</b>") {
                ++wrong;
            }
            storage->CloseProjects("p1", "worker");
        },
        [&](int i) {
            storage->SetResources(
                {{"r", KrStringStorage("r", KR_MIME_TYPE_TEXT_HTML, std::to_string(i), false)}});
            if (storage->GetResourceType("r") != KR_MIME_TYPE_TEXT_HTML ||
                storage->CopyResources().size() != 1) {
                ++wrong;
            }
        },
    };
    // The close lines of the project worker are not this test's subject;
    // standard error stays open for the sanitizer's reports.
    testing::internal::CaptureStdout();
    std::latch start(static_cast<std::ptrdiff_t>(std::size(workers) + 2));
    std::vector<std::thread> threads;
    for (size_t w = 0; w < std::size(workers) + 2; ++w) {
        // Three threads expand, one runs each of the other workers.
        const auto& work = workers[w < 3 ? 0 : w - 2];
        threads.emplace_back([&start, &work] {
            start.arrive_and_wait();
            for (int i = 0; i < 500; ++i) {
                work(i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(wrong.load(), 0);
}
