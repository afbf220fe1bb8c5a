#include "app/KrUpdateRegistry.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "app/KrScenario.h"
#include "app/tests/KontextTestSupport.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_text2.h"

namespace {

// The "novidade" element's attributes as the answer writes them.
struct Novidade {
    std::string fim, time, ref;
};

Novidade ReadNovidade(const std::string& html) {
    const size_t at = html.find("id=\"novidade\"");
    EXPECT_NE(at, std::string::npos) << html;
    if (at == std::string::npos)
        return {};
    const size_t start = html.rfind('<', at);
    const std::string tag = html.substr(start, html.find('>', at) - start);
    auto attribute = [&tag](const std::string& name) {
        const std::string key = " " + name + "=\"";
        const size_t from = tag.find(key);
        if (from == std::string::npos)
            return std::string("<absent>");
        const size_t begin = from + key.size();
        return tag.substr(begin, tag.find('"', begin) - begin);
    };
    return {attribute("twymtfim"), attribute("twymtupdatetime"), attribute("twymtref")};
}

struct PollFixture : KontextFixture {
    KrUpdateRegistry& registry = context->GetUpdateRegistry();

    // One poll through the application, as the page posts it.
    std::string poll(const std::string& reference) {
        std::vector<std::pair<std::string, std::string>> fields = {
            {"quivocommand", "twymtupdate"}, {"quivoid", "page1"}};
        if (!reference.empty())
            fields.emplace_back("reference", reference);
        TestRequest request("/", fields);
        app->DispatchToKontext("page1", request.request, *request.response, "twymtupdate");
        EXPECT_EQ(request.response->status(), 200u);
        return request.body();
    }
};

TEST_F(PollFixture, AnswersFollowTheUpdatersResult) {
    struct Row {
        const char* name;
        bool registered;
        long result;  // what the updater answers
        Novidade first;
        Novidade second;  // the next poll for the same reference
    };
    const Row rows[] = {
        {"again", true, 250, {"nao", "250", "again"}, {"nao", "250", "again"}},
        {"one", true, 1, {"nao", "1", "one"}, {"nao", "1", "one"}},
        {"stop", true, 0, {"sim", "500", "stop"}, {"sim", "500", "_none_"}},
        {"negative", true, -3, {"sim", "500", "negative"}, {"sim", "500", "_none_"}},
        {"unknown", false, 0, {"sim", "500", "_none_"}, {"sim", "500", "_none_"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int calls = 0;
        if (row.registered)
            registry.AddUpdater("s", row.name, [&calls, &row](const std::string& reference) {
                ++calls;
                EXPECT_EQ(reference, row.name);
                return row.result;
            });
        for (const Novidade& expected : {row.first, row.second}) {
            const Novidade got = ReadNovidade(poll(row.name));
            EXPECT_EQ(got.fim, expected.fim);
            EXPECT_EQ(got.time, expected.time);
            EXPECT_EQ(got.ref, expected.ref);
        }
        EXPECT_EQ(calls, !row.registered ? 0 : row.result >= 1 ? 2 : 1);
        registry.RemoveUpdater(row.name);
    }
    // A poll without a reference is one for "_none_".
    EXPECT_EQ(ReadNovidade(poll("")).ref, "_none_");
    // Anything but the poll command renders the page.
    context->SetDocument(PageFrom("<html><body><p>page</p></body></html>"));
    for (const char* command : {"", "&new", "twymtupdatex"}) {
        TestRequest request("/", {{"reference", "again"}});
        app->DispatchToKontext("page1", request.request, *request.response, command);
        EXPECT_NE(request.body().find("<p>page</p>"), std::string::npos) << command;
    }
}

TEST_F(PollFixture, AThrowingUpdaterAnswersNothingChangedAndTheNextPollIsServed) {
    registry.AddUpdater("s", "broken", [this](const std::string& reference) -> long {
        registry.AddAnswerPart(reference, "clock", new KrHTML_div2("half", false));
        throw std::runtime_error("updater failed");
    });
    registry.AddUpdater("s", "fine", [](const std::string&) { return 300L; });
    const std::string answer = poll("broken");
    const Novidade got = ReadNovidade(answer);
    EXPECT_EQ(got.fim, "sim");
    EXPECT_EQ(got.ref, "_none_");
    EXPECT_EQ(answer.find("clock"), std::string::npos);  // the half-built answer is gone
    EXPECT_EQ(registry.CallUpdater("broken"), -2);      // and so is the updater
    EXPECT_EQ(ReadNovidade(poll("fine")).time, "300");
}

TEST_F(PollFixture, AnswerPartsCarryElementsOnce) {
    registry.AddUpdater("s", "tick", [this](const std::string& reference) {
        auto* element = new KrHTML_div2("inner", false);
        element->AddChild(new KrHTML_text2("12:00"));
        registry.AddAnswerPart(reference, "clock", element);
        return 100L;
    });
    const std::string first = poll("tick");
    EXPECT_NE(first.find("<div id=\"clock\"><div id=\"inner\">12:00</div></div>"),
              std::string::npos)
        << first;
    // Each poll gets a fresh answer; nothing of the first one remains.
    const std::string second = poll("tick");
    EXPECT_EQ(second.find("clock"), second.rfind("clock"));
    // Without an answer for the reference the element stays the caller's.
    KrHTML_div2 kept("kept", false);
    registry.AddAnswerPart("tick", "clock", &kept);
    EXPECT_EQ(registry.TakeAnswer("tick"), "");
}

// A scenario with a page of its own, which answer parts are put into.
class PagedScenario : public KrScenario {
  public:
    PagedScenario(KrHTMLKontextN* context, KrUpdateRegistry* registry)
        : KrScenario(context, registry) {
        _document.reset(PageFrom("<html><body><div id=\"clock\">old</div></body></html>"));
    }
    std::string Html() { return static_cast<KrHTML_Document2*>(_document.get())->ToHTMLString(); }
    long ZeroHook(unsigned long value, unsigned long extra, std::string text) override {
        return static_cast<long>(value + extra + text.size());
    }
};

TEST_F(PollFixture, AnswerPartsGoToTheReferencesScenario) {
    auto* scenario = new PagedScenario(context, &registry);
    EXPECT_EQ(registry.AddScenario(scenario), scenario->id());
    EXPECT_EQ(registry.AddScenario(nullptr), "");
    EXPECT_EQ(registry.NotifyScenario(scenario->id(), 1, 2, "abc"), 6);
    EXPECT_EQ(registry.NotifyScenario("nobody", 1, 2, "abc"), 0);
    scenario->_doActionNow([] { return std::string("ref"); },
                           [this](const std::string& reference) {
                               registry.AddAnswerPart(reference, "clock",
                                                      new KrHTML_text2("new"));
                               return 0L;
                           });
    EXPECT_NE(poll("ref").find("<div id=\"clock\">new</div>"), std::string::npos);
    EXPECT_NE(scenario->Html().find("<div id=\"clock\">new</div>"), std::string::npos);
}

}  // namespace
