#pragma once
// The server side of page-update polling: the updaters that scenarios
// register under a reference, the answer built for the poll in progress for
// a reference, and the scenarios handed over to the page.
// An answer is a small page whose element "novidade" tells the polling page
// whether to poll again ("twymtfim"), after how many milliseconds
// ("twymtupdatetime"), for which reference ("twymtref"), and which of its
// elements to replace (child divs by id).
//
// Owns the answer documents and the scenarios given to AddScenario.
// Thread-safe: every operation holds _mutex, which guards all maps below; it
// is recursive so that an updater may call the registry while it runs.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class KrHTML_Document2;
class KrScenario;
class KrXHeader;
class KrXMLGenericElement;

class KrUpdateRegistry {
  public:
    // Delay in milliseconds until the next poll; below 1 ends polling.
    using Updater = std::function<long(const std::string&)>;

    KrUpdateRegistry();
    ~KrUpdateRegistry();
    KrUpdateRegistry(const KrUpdateRegistry&) = delete;
    KrUpdateRegistry& operator=(const KrUpdateRegistry&) = delete;

    // Starts the answer for the reference the request names in `field`
    // ("_none_" when absent), replacing one stored under it; returns the reference.
    std::string NewAnswer(KrXHeader& request, const std::string& field);
    // Whether an updater is registered; if so the answer names the reference.
    bool HasUpdater(const std::string& reference);
    // The updater's result, or -2 without one. Exceptions of the updater pass on.
    long CallUpdater(const std::string& reference);
    // Writes the updater's result into the answer; below 1 ends polling and
    // drops the updater.
    void SetUpdateTime(const std::string& reference, long result);
    // The answer's HTML, after which the answer is dropped; "" without one.
    std::string TakeAnswer(const std::string& reference);
    std::string AddUpdater(const std::string& scenarioId, const std::string& reference,
                           Updater updater);
    void RemoveUpdater(const std::string& reference);
    // Takes the scenario over under its job id; a different one stored there
    // is deleted. Null gives "".
    std::string AddScenario(KrScenario* scenario);
    // Adds to the answer a div with that id holding the element's HTML; the
    // element is taken over (handed to the reference's scenario, or deleted).
    // Without an answer for the reference nothing happens and the element
    // stays the caller's.
    void AddAnswerPart(const std::string& reference, const std::string& id,
                       KrXMLGenericElement* element);
    // The scenario's ZeroHook, or 0 when no scenario is stored under the id.
    long NotifyScenario(const std::string& scenarioId, unsigned long value, unsigned long extra,
                        std::string text);

    // Whether a scenario kept here has an action queued or running.
    bool ScenariosUnderWay();

    // Deletes every scenario (waiting for their running actions), then the
    // updaters and answers. The owning context calls it first when it goes,
    // so that no action outlives the page it works on.
    void DeleteScenarios();

  private:
    struct Answer {
        std::unique_ptr<KrHTML_Document2> document;
        KrXMLGenericElement* element = nullptr;  // the "novidade" div inside it
    };

    std::recursive_mutex _mutex;
    std::map<std::string, Answer> _answers;
    std::map<std::string, Updater> _updaters;
    std::map<std::string, std::string> _scenarioOfReference;
    std::map<std::string, KrScenario*> _scenarios;
};
