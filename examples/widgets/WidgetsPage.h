#pragma once
// One page of the widgets example: the page context behind one browser
// page. It loads the page from the embedded resource, tells the page its id,
// and wires the page's elements to handlers on the server:
//   echo        copies the text field into a span (as text, never as markup)
//   start       runs a three-step scenario; the page polls for its progress
//   openmodal   shows a modal dialog whose own button closes it
//   count       counts clicks
//   fail        a handler that throws; the page keeps working
//   "command"   a command form posted to /command
// and answers a second path, /status, with what the page has done so far.
//
// Owns its page options; the scenario belongs to the update registry.
// Handlers run under the application's context mutex, one at a time, so the
// counters need no lock of their own.

#include <map>
#include <memory>
#include <string>

#include "app/KrHTMLKontextN.h"

class KrScenario;
class KrXHeader;
class KrXResponseHeader;

// The options map a page context points to must outlive it; as a base
// listed first it is built before the context and destroyed after it.
struct WidgetsPageOptions {
    std::map<std::string, std::string> pageOptions;
};

class WidgetsPage : private WidgetsPageOptions, public KrHTMLKontextN {
  public:
    WidgetsPage(KrQuivoApplication2* app, const std::string& id);
    // Stops a running scenario at its next step, so the page does not wait
    // for the whole of it.
    ~WidgetsPage() override;

    // What /status answers: the page's id and its counters, one line.
    std::string Status();

    // How many steps the scenario runs.
    static constexpr int kSteps = 3;

  private:
    struct Progress;

    std::string _echo(const std::string& text);
    std::string _startScenario();
    std::string _openDialog();
    std::string _count();
    void _command(KrXHeader& request, KrXResponseHeader& response);

    KrScenario* _scenario = nullptr;
    std::shared_ptr<Progress> _progress;
    int _echoes = 0;
    int _clicks = 0;
    int _scenarios = 0;
    int _commands = 0;
};
