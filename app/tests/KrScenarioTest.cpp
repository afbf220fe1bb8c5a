#include "app/KrScenario.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "app/tests/KontextTestSupport.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/tests/WaitFor.h"
#include "html/KrHTML_div2.h"

namespace {

TEST_F(KontextFixture, ActionsRunOnTheSchedulerUnderFreshReferences) {
    KrScenario scenario(context, &context->GetUpdateRegistry());
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> firstRan;
    std::future<void> first = firstRan.get_future();
    const std::string a = scenario._doAction(
        [&firstRan, released] {
            firstRan.set_value();
            released.wait();
        },
        [](const std::string&) { return 100L; });
    const std::string b = scenario._doAction([] {}, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind("_job*", 0), 0u) << a;
    first.wait();  // until the scheduler has run the first action
    EXPECT_FALSE(scenario.isActionDone(a));
    EXPECT_TRUE(scenario.isActionDone("never issued"));
    EXPECT_EQ(context->GetUpdateRegistry().CallUpdater(a), 100);
    // An entry without a function answers as the default updater.
    EXPECT_EQ(context->GetUpdateRegistry().CallUpdater(b), KrScenario::DefaultUpdater(b));
    release.set_value();
    ASSERT_TRUE(WaitFor([&] { return scenario.isActionDone(a); }));
    EXPECT_TRUE(scenario.isActionDone(a));  // forgotten after reporting done
    EXPECT_EQ(scenario._doActionNow([] { return KrJob::commonErrorTask(); },
                                    [](const std::string&) { return 1L; }),
              KrJob::commonErrorTask());
    EXPECT_EQ(context->GetUpdateRegistry().CallUpdater(KrJob::commonErrorTask()), -2);
}

TEST_F(KontextFixture, ElementsGoIntoTheScenariosPageOrAreFreed) {
    KrScenario scenario(context, &context->GetUpdateRegistry());
    // Nothing fills the scenario's own page: the element is freed (the
    // sanitizer build checks that it is, exactly once).
    scenario.SetElementById("clock", new KrHTML_div2("x", false));
    scenario.SetElementById("clock", nullptr);
}

// A context that says when its destruction begins, before the base class
// deletes its scenarios and its page.
class SignallingKontext : public KrHTMLKontextN {
  public:
    SignallingKontext(KrQuivoApplication2* app, std::map<std::string, std::string>& options,
                      std::promise<void>& dying)
        : KrHTMLKontextN(app, "dying", 0, "", options, nullptr), _dying(dying) {}
    ~SignallingKontext() override { _dying.set_value(); }

  private:
    std::promise<void>& _dying;
};

TEST_F(KontextFixture, AContextGoesOnlyAfterItsRunningActions) {
    std::promise<void> dying;
    std::shared_future<void> isDying = dying.get_future().share();
    auto* doomed = new SignallingKontext(app.get(), options, dying);
    KrHTML_Document2* page = PageFrom("<html><body><p id=\"p\">text</p></body></html>");
    doomed->SetDocument(page);
    auto* scenario = new KrScenario(doomed, &doomed->GetUpdateRegistry());
    doomed->GetUpdateRegistry().AddScenario(scenario);
    std::promise<void> started;
    std::future<void> hasStarted = started.get_future();
    std::atomic<bool> pageSeen{false};
    scenario->_doAction(
        [&, page] {
            started.set_value();
            isDying.wait();
            // Give a destructor that did not wait the time to free the page;
            // the sanitizer build then reports the use below.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pageSeen = page->ToHTMLString().find("text") != std::string::npos;
        },
        nullptr);
    hasStarted.wait();
    delete doomed;
    EXPECT_TRUE(pageSeen);
}

TEST_F(KontextFixture, ADisplacedContextIsDeletedOutsideTheContextLock) {
    // The action asks for the application's context lock once the request
    // that displaces its context holds it; deleting the context (which waits
    // for the action) under that lock would never finish.
    auto* old = new KrHTMLKontextN(app.get(), "swapped", 0, "", options, nullptr);
    app->AddKontext(old);
    auto* next = new KrHTMLKontextN(app.get(), "swapped", 0, "", options, nullptr);
    std::promise<void> swapping;
    std::shared_future<void> isSwapping = swapping.get_future().share();
    old->GetHandlers()["/swap"] = [next, &swapping](KrXHeader&, KrXResponseHeader& response,
                                                    std::string) {
        response.setKontextReplacement("swapped", next);
        response.setContent("swapped");
        swapping.set_value();
    };
    auto* scenario = new KrScenario(old, &old->GetUpdateRegistry());
    old->GetUpdateRegistry().AddScenario(scenario);
    std::atomic<bool> asked{false};
    std::promise<void> started;
    std::future<void> hasStarted = started.get_future();
    scenario->_doAction(
        [this, isSwapping, &asked, &started] {
            started.set_value();
            isSwapping.wait();
            asked = app->HasKontext("swapped");
        },
        nullptr);
    hasStarted.wait();
    TestRequest request("/swap");
    app->DispatchToKontext("swapped", request.request, *request.response, "");
    EXPECT_EQ(request.body(), "swapped");
    EXPECT_TRUE(asked);
    EXPECT_TRUE(app->HasKontext("swapped"));
}

TEST_F(KontextFixture, AnActionMayDeleteItsOwnScenario) {
    auto* scenario = new KrScenario(context, nullptr);
    std::promise<void> issued;
    std::shared_future<void> isIssued = issued.get_future().share();
    std::promise<void> done;
    std::future<void> isDone = done.get_future();
    scenario->_doAction(
        [scenario, isIssued, &done] {
            isIssued.wait();
            delete scenario;
            done.set_value();
        },
        nullptr);
    issued.set_value();
    isDone.wait();
}

}  // namespace
