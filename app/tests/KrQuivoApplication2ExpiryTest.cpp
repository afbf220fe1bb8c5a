#include "app/KrQuivoApplication2.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/KrPersistentAppStorage.h"
#include "app/KrScenario.h"
#include "transport/KrXResponseHeader.h"
#include "transport/tests/HttpTestServer.h"

namespace {

// What the pages report to; as a base listed first it outlives the
// application's destructor, which deletes the pages still registered.
struct PagesRecord {
    KrPersistentAppStorage pageStorage;
    std::mutex mutex;  // guards made and deleted
    std::vector<KrHTMLKontextN*> made;
    std::vector<std::string> deleted;
};

// Page contexts made for the command URL "/", named c1, c2, ... in order;
// each answers with its name and reports its deletion.
class PagesApplication : private PagesRecord, public KrQuivoApplication2 {
  public:
    PagesApplication() : KrQuivoApplication2(&pageStorage, {}, {{"no_browser_popup", "true"}}) {}

    class Page : public KrHTMLKontextN {
      public:
        Page(PagesApplication* app, const std::string& id)
            : KrHTMLKontextN(app, id, 0, "", _options, nullptr), _record(*app) {
            GetHandlers()["/"] = [this](KrXHeader&, KrXResponseHeader& response, std::string) {
                response.setContent("page " + GetId());
            };
        }
        ~Page() override {
            std::lock_guard<std::mutex> guard(_record.mutex);
            _record.deleted.push_back(GetId());
        }

      private:
        static inline std::map<std::string, std::string> _options;
        PagesRecord& _record;
    };

    KrHTMLKontextN* CreateKontext(const std::string&) override {
        Page* page = nullptr;
        {
            std::lock_guard<std::mutex> guard(mutex);
            page = new Page(this, "c" + std::to_string(made.size() + 1));
            made.push_back(page);
        }
        // Unlocked: registering may delete pages, which report their deletion.
        return AddKontext(page);
    }
    // The n-th page made (1-based); only valid while it lives.
    KrHTMLKontextN* page(size_t n) {
        std::lock_guard<std::mutex> guard(mutex);
        return made.at(n - 1);
    }
    std::vector<std::string> deletedPages() {
        std::lock_guard<std::mutex> guard(mutex);
        return deleted;
    }
};

// The application behind a real web server on a loopback port; the server
// goes first.
struct Expiry : ::testing::Test {
    Expiry()
        : server({{"_app_context_commandurl", "/"}}, 3,
                 [this](auto callback, const auto& options) {
                     return std::make_shared<KrTransceiverClient>(callback, options, &app);
                 }),
          fd(ConnectLoopback(server.waitListening())) {}
    ~Expiry() override { ::close(fd); }

    // "page <id>" for a living page, "404" for the not-found page that says
    // the project timed out, else the whole answer.
    std::string get(const std::string& target) {
        httptest::SendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        const std::string answer = httptest::Answers(fd, 1);
        const std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
        if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0)
            return body;
        if (answer.rfind("HTTP/1.1 404 Not Found\r\n", 0) == 0 &&
            body.find("was timed out") != std::string::npos)
            return "404";
        return answer;
    }
    std::string name(const std::string& id) { return get("/?quivoid=" + id); }

    PagesApplication app;
    httptest::Server server;
    int fd;
};

TEST_F(Expiry, PastTheCapTheLeastRecentlyNamedGoesFirst) {
    app.SetMaxKontexts(3);
    for (const char* id : {"c1", "c2", "c3"})
        EXPECT_EQ(get("/"), std::string("page ") + id);
    EXPECT_EQ(name("c1"), "page c1");
    EXPECT_EQ(get("/"), "page c4");
    EXPECT_EQ(app.deletedPages(), std::vector<std::string>{"c2"});
    EXPECT_EQ(name("c2"), "404");
    for (const char* id : {"c1", "c3", "c4"})
        EXPECT_EQ(name(id), std::string("page ") + id);
    // Lowering the cap takes effect at once, oldest first.
    app.SetMaxKontexts(1);
    EXPECT_EQ(app.deletedPages(), (std::vector<std::string>{"c2", "c1", "c3"}));
    EXPECT_TRUE(app.HasKontext("c4"));
}

TEST_F(Expiry, UnnamedContextsExpireOnceTheirScenariosEnd) {
    // No fake clock here: c2 stays only while the test names it within the
    // limit, so the limit is far beyond how long a busy machine holds a
    // runnable thread.
    constexpr auto kIdle = std::chrono::milliseconds(1000);
    app.SetKontextIdleLimit(kIdle);
    EXPECT_EQ(get("/"), "page c1");  // never named again
    EXPECT_EQ(get("/"), "page c2");  // named all along
    EXPECT_EQ(get("/"), "page c3");  // runs a scenario, never named again

    std::mutex mutex;
    std::condition_variable wake;
    bool release = false;
    KrHTMLKontextN* busy = app.page(3);
    auto* scenario = new KrScenario(busy, &busy->GetUpdateRegistry());
    busy->GetUpdateRegistry().AddScenario(scenario);
    scenario->_doAction(
        [&] {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return release; });
        },
        nullptr);

    // Named well within the limit, for twice the limit.
    const auto until = std::chrono::steady_clock::now() + 2 * kIdle;
    while (std::chrono::steady_clock::now() < until) {
        EXPECT_EQ(name("c2"), "page c2");
        std::this_thread::sleep_for(kIdle / 12);
    }
    // Named now, twice the limit after its last use, c1 is gone whenever the
    // requests above came.
    EXPECT_EQ(name("c1"), "404");
    EXPECT_EQ(app.deletedPages(), std::vector<std::string>{"c1"});
    EXPECT_TRUE(app.HasKontext("c3"));

    {
        std::lock_guard<std::mutex> guard(mutex);
        release = true;
    }
    wake.notify_all();
    // Its action over, c3 goes one idle limit later; c2 stays.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (app.HasKontext("c3") && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(name("c2"), "page c2");
        std::this_thread::sleep_for(kIdle / 12);
    }
    EXPECT_EQ(app.deletedPages(), (std::vector<std::string>{"c1", "c3"}));
    EXPECT_EQ(name("c2"), "page c2");
}

}  // namespace
