#include "app/KrQuivoApplication2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/KrPersistentAppStorage.h"
#include "app/KrStringStorage.h"
#include "transport/KrXRequestHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

// A context that counts its requests and its deletions.
class CountingKontext : public KrHTMLKontextN {
  public:
    CountingKontext(KrQuivoApplication2* app, std::string id, int& deleted)
        : KrHTMLKontextN(app, id, 0, "", _options, nullptr), _id(std::move(id)), _deleted(deleted) {}
    ~CountingKontext() override { ++_deleted; }
    std::string GetId() override { return _id; }
    void HandleRequest(KrXHeader&, KrXResponseHeader& response, std::string command) override {
        commands.push_back(command);
        if (replacement != nullptr)
            response.setKontextReplacement(replacementId, replacement);
        else
            response.setContent("from " + _id);
    }
    std::vector<std::string> commands;
    KrHTMLKontextN* replacement = nullptr;
    std::string replacementId;

  private:
    static inline std::map<std::string, std::string> _options;
    std::string _id;
    int& _deleted;
};

struct AppFixture : ::testing::Test {
    KrPersistentAppStorage storage;
    std::unique_ptr<KrQuivoApplication2> app = std::make_unique<KrQuivoApplication2>(
        &storage, std::vector<KrListenerRecord>{{"127.0.0.1", 8123, 3}},
        std::map<std::string, std::string>{{"no_browser_popup", "true"}});
    KrXRequestHeader request{1, false, 3};
    std::unique_ptr<KrXResponseHeader> response{request.makeResponse()};
    int deleted = 0;
};

TEST_F(AppFixture, DispatchReachesOnlyRegisteredContexts) {
    auto* context = new CountingKontext(app.get(), "k1", deleted);
    EXPECT_EQ(app->AddKontext(context), context);
    EXPECT_EQ(app->AddKontext(nullptr), nullptr);
    EXPECT_TRUE(app->HasKontext("k1"));
    EXPECT_FALSE(app->HasKontext("k2"));

    app->DispatchToKontext("k2", request, *response, "x");
    EXPECT_EQ(response->status(), 500u);
    app->DispatchToKontext("k1", request, *response, "go");
    EXPECT_EQ(response->status(), 200u);
    EXPECT_EQ(context->commands, std::vector<std::string>{"go"});
}

TEST_F(AppFixture, ReplacementForItsOwnIdTakesOverAndTheOldOneIsDeleted) {
    auto* first = new CountingKontext(app.get(), "k1", deleted);
    auto* second = new CountingKontext(app.get(), "k1", deleted);
    auto* stray = new CountingKontext(app.get(), "other", deleted);
    app->AddKontext(first);
    first->replacement = second;
    first->replacementId = "k1";
    app->DispatchToKontext("k1", request, *response, "");
    EXPECT_EQ(deleted, 1);  // the displaced context

    second->replacement = stray;
    second->replacementId = "elsewhere";
    std::unique_ptr<KrXResponseHeader> next(request.makeResponse());
    app->DispatchToKontext("k1", request, *next, "again");
    EXPECT_EQ(second->commands, std::vector<std::string>{"again"});
    EXPECT_FALSE(app->HasKontext("elsewhere"));
    delete stray;
    EXPECT_EQ(deleted, 2);
}

TEST_F(AppFixture, DeletingTheApplicationDeletesEachContextOnce) {
    auto* shared = new CountingKontext(app.get(), "a", deleted);
    app->AddKontext(shared);
    app->AddKontext(new CountingKontext(app.get(), "b", deleted));
    // The same context again under its id, and a second one displacing "b".
    app->AddKontext(shared);
    app->AddKontext(new CountingKontext(app.get(), "b", deleted));
    EXPECT_EQ(deleted, 1);
    app.reset();
    EXPECT_EQ(deleted, 3);
}

TEST_F(AppFixture, ServesStoredResources) {
    storage.GetResources()["logo.txt"] = KrStringStorage("logo.txt", 1, "hello", false);
    EXPECT_TRUE(app->HasResource("logo.txt", request));
    EXPECT_FALSE(app->HasResource("missing", request));
    EXPECT_TRUE(app->ServeResource("logo.txt", *response));
    EXPECT_EQ(response->status(), 200u);
    EXPECT_EQ(response->body().str(), "hello");
}

TEST_F(AppFixture, ResourcesAreLookedUpSafelyWhileTheApplicationReplacesThem) {
    // Files are served on the server's threads while the application may
    // set other resources: each lookup sees one whole map or the other.
    const std::map<std::string, KrStringStorage> one{
        {"logo.txt", KrStringStorage("logo.txt", 1, "one", false)}};
    const std::map<std::string, KrStringStorage> two{
        {"logo.txt", KrStringStorage("logo.txt", 1, "two", false)},
        {"other.txt", KrStringStorage("other.txt", 1, "x", false)}};
    storage.SetResources(one);
    std::atomic<bool> done{false};
    std::thread replacer([&] {
        for (int i = 0; i < 2000; ++i)
            storage.SetResources(i % 2 == 0 ? two : one);
        done.store(true);
    });
    int looked = 0;
    while (!done.load() || looked < 100) {
        ASSERT_TRUE(app->HasResource("logo.txt", request));
        std::unique_ptr<KrXResponseHeader> answer(request.makeResponse());
        ASSERT_TRUE(app->ServeResource("logo.txt", *answer));
        const std::string body = answer->body().str();
        ASSERT_TRUE(body == "one" || body == "two") << body;
        ++looked;
    }
    replacer.join();
}

TEST_F(AppFixture, ListenerEventsGoIntoTheOptions) {
    KrServerCallback_t open{4, {{"address", "127.0.0.1"}, {"port", "8123"},
                                {"protocolstring", "http"}, {"ID", "x"}}};
    EXPECT_TRUE(app->_onServerEvent(open));
    KrServerCallback_t other{5, {{"address", "10.0.0.1"}, {"port", "1"},
                                 {"protocolstring", "http"}}};
    EXPECT_TRUE(app->_onServerEvent(other));
    const auto options = app->GetOptions();
    EXPECT_EQ(options.at("tcp_port_http"), "8123");
    EXPECT_EQ(options.at("tcp_address_http"), "127.0.0.1");
    EXPECT_EQ(options.count("tcp_port_https"), 0u);
}

TEST_F(AppFixture, MakesDistinctIdsWithThePrefix) {
    const std::string a = app->MakeUniqueId("ctx");
    const std::string b = app->MakeUniqueId("ctx");
    EXPECT_EQ(a.rfind("ctx", 0), 0u);
    EXPECT_EQ(a.size(), 3u + 7u + 11u);
    EXPECT_NE(a, b);
}

}  // namespace
