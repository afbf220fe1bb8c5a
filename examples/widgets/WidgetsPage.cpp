#include "WidgetsPage.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>

#include "app/KrPersistentAppStorage.h"
#include "app/KrQuivoApplication2.h"
#include "app/KrScenario.h"
#include "app/KrStringStorage.h"
#include "app/KrUpdateRegistry.h"
#include "app/KrWidgetManager.h"
#include "foundation/KrException.h"
#include "foundation/KrStringUtils.h"
#include "html/KrHTMLPlainTags.h"
#include "html/KrHTML_button2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_text2.h"
#include "html/KrJavaScriptHandler.h"
#include "transport/KrXHeader.h"
#include "transport/KrXResponseHeader.h"

namespace {

// The pause before each step stands for real work.
constexpr std::chrono::milliseconds kStepPause(400);
// How soon the page asks again while the scenario runs.
constexpr long kPollMilliseconds = 200;

std::string stepText(int step) {
    return "step " + std::to_string(step) + " of " + std::to_string(WidgetsPage::kSteps);
}

WidgetHandler showsNothing() {
    return [](std::string, KrXHeader&) { return std::string(); };
}

}  // namespace

// What a scenario's action shares with the page and its updater. Held by
// both through shared pointers: the action may still be running when the
// page goes.
struct WidgetsPage::Progress {
    std::mutex mutex;  // guards step and stop
    std::condition_variable wake;
    int step = 0;
    bool stop = false;

    // The scenario's action, on a scheduler thread.
    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        while (step < kSteps) {
            if (wake.wait_for(lock, kStepPause, [this] { return stop; }))
                return;
            ++step;
        }
    }
    int Step() {
        std::lock_guard<std::mutex> lock(mutex);
        return step;
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        wake.notify_all();
    }
};

WidgetsPage::WidgetsPage(KrQuivoApplication2* app, const std::string& id)
    : KrHTMLKontextN(app, id, 0, "", pageOptions, nullptr) {
    std::map<std::string, KrStringStorage> resources = app->GetStorage()->CopyResources();
    if (!LoadDocument("widgets.html", resources))
        std::cerr << "widgets: the page resource widgets.html does not read" << std::endl;
    // The polling script; a scenario's answer starts it with twymtupdate(reference).
    GetHead()->AddChild(new KrJavaScriptHandler(_updateScriptText(GetId(), "/"), true));

    KrWidgetManager& widgets = GetWidgetManager();
    std::map<std::string, std::string> options;
    // The echo button's own onclick (in the page) posts the field's text as
    // param1; a silent handler leaves that onclick as it is.
    widgets.AddHandlerSilent(
        "echo", this, "onclick", [this](std::string text, KrXHeader&) { return _echo(text); },
        options);
    // SetInnerHTML changes registered elements only: the output elements are
    // registered with a handler for an event that never comes.
    for (const char* output : {"echoed", "progress", "counter", "commands"})
        widgets.AddHandlerSilent(output, this, "onquivooutput", showsNothing(), options);

    options.clear();
    widgets.AddHandler(
        "start", this, "onclick", [this](std::string, KrXHeader&) { return _startScenario(); },
        options);
    widgets.AddHandler(
        "openmodal", this, "onclick", [this](std::string, KrXHeader&) { return _openDialog(); },
        options);
    widgets.AddHandler(
        "count", this, "onclick", [this](std::string, KrXHeader&) { return _count(); }, options);
    widgets.AddHandler(
        "fail", this, "onclick",
        [](std::string, KrXHeader&) -> std::string {
            throw KrException("the fail button's handler always throws", __LINE__, "widgets");
        },
        options);

    // The command button submits a form of its own to "command", that is /command.
    AddCommandForm("command", 0);
    GetHandlers()["/command"] = [this](KrXHeader& request, KrXResponseHeader& response,
                                       std::string) { _command(request, response); };
    GetHandlers()["/status"] = [this](KrXHeader&, KrXResponseHeader& response, std::string) {
        response.setContent(Status());
        response.contentType() = "text/plain; charset=utf-8";
    };

    // Last, so that the command form gets its fields too.
    StampDocument(GetId());
}

WidgetsPage::~WidgetsPage() {
    if (_progress)
        _progress->Stop();
}

std::string WidgetsPage::Status() {
    return "page " + GetId() + ": echoes " + std::to_string(_echoes) + ", clicks " +
           std::to_string(_clicks) + ", scenarios " + std::to_string(_scenarios) +
           ", commands " + std::to_string(_commands) + "\n";
}

std::string WidgetsPage::_echo(const std::string& text) {
    ++_echoes;
    // Escaped as HTML: what the user typed shows as text and never as markup.
    return GetWidgetManager().SetInnerHTML("echoed", HTMLEscape(text, false));
}

std::string WidgetsPage::_startScenario() {
    // One run at a time per page.
    if (_progress && _progress->Step() < kSteps)
        return "";
    if (_scenario == nullptr) {
        _scenario = new KrScenario(this, &GetUpdateRegistry());
        GetUpdateRegistry().AddScenario(_scenario);
    }
    auto progress = std::make_shared<Progress>();
    _progress = progress;
    ++_scenarios;
    // The updater answers each poll with the current step; at the last step
    // it ends the polling and leaves the result in the server-side page too,
    // so that a reload shows it.
    const std::string reference = _scenario->_doAction(
        [progress] { progress->Run(); },
        [this, progress](const std::string& reference) -> long {
            const int step = progress->Step();
            GetUpdateRegistry().AddAnswerPart(reference, "progress",
                                              new KrHTML_text2(stepText(step)));
            if (step < kSteps)
                return kPollMilliseconds;
            GetWidgetManager().SetInnerHTML("progress", stepText(step));
            return 0;
        });
    return GetWidgetManager().SetInnerHTML("progress", stepText(0)) + "twymtupdate(\"" +
           reference + "\");\n";
}

std::string WidgetsPage::_openDialog() {
    KrWidgetManager& widgets = GetWidgetManager();
    if (widgets.FindEntry("dialog").name == "dialog")
        return "";  // already open
    auto* dialog = new KrHTML_div2("dialog", false);
    dialog->AddChild(new KrHTML_text2(
        "<p>A modal dialog: the page behind it takes no clicks until it closes.</p>\n"));
    auto* close = new KrHTML_button2();
    close->SetId("closedialog");
    close->AddChild(new KrHTML_text2("Close"));
    dialog->AddChild(close);
    // The dialog's script comes first: the close button must exist in the
    // browser before its handler is wired.
    std::string script = widgets.ShowModal("dialog", dialog, this);
    std::map<std::string, std::string> options;
    script += widgets.AddHandler(
        "closedialog", this, "onclick",
        [this](std::string, KrXHeader&) { return GetWidgetManager().RemoveElement("dialog", this); },
        options);
    return script;
}

std::string WidgetsPage::_count() {
    ++_clicks;
    return GetWidgetManager().SetInnerHTML("counter", std::to_string(_clicks));
}

void WidgetsPage::_command(KrXHeader&, KrXResponseHeader& response) {
    ++_commands;
    // Changes the server-side page only (the script it answers is not
    // needed): the browser is sent back to the page, which shows the count.
    GetWidgetManager().SetInnerHTML("commands", "commands received: " + std::to_string(_commands));
    response.redirect("/?quivoid=" + GetId());
}
