#pragma once
// Long work behind a page action, run off the request thread: each action is
// a job of the application's scheduler, and an updater registered under the
// action's reference in the page context's update registry tells the polling
// page whether and when to ask again.
//
// Belongs to one page context (not owned); a scenario handed to the
// registry's AddScenario is owned and deleted by the registry. The
// destructor waits for the scenario's running actions and keeps queued ones
// from starting, so no action runs once its scenario is gone: delete it
// (or its context) without holding a lock its actions may wait for, such as
// the application's context mutex.
// Thread-safe: _mutex (recursive) guards _actions, _document and _scheduler.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/KrJobWithTimeout.h"

class KrGavetaScheduler2;
class KrHTMLKontextN;
class KrUpdateRegistry;
class KrXMLGenericElement;

class KrScenario : public KrJobWithTimeout {
  public:
    KrScenario(KrHTMLKontextN* context, KrUpdateRegistry* registry);
    ~KrScenario() override;

    // Does nothing.
    virtual void EmptyHook();
    // Called by the registry's NotifyScenario; answers 0.
    virtual long ZeroHook(unsigned long value, unsigned long extra, std::string text);

    // Queues `action` on the scheduler, registers `updater` under a fresh
    // reference and returns that reference.
    std::string _doAction(std::function<void()> action,
                          std::function<long(const std::string&)> updater);
    // Runs `action` here; its result is the reference the updater is
    // registered under (none for the common-error name).
    std::string _doActionNow(std::function<std::string()> action,
                             std::function<long(const std::string&)> updater);
    // True for a reference never issued or already reported done; otherwise
    // whether its job finished (then the result is collected and the
    // reference forgotten).
    bool isActionDone(const std::string& reference);
    // Whether an action is queued or running (finished ones are collected).
    bool HasActionsUnderWay();
    // Makes `element` (taken over) the only child of the element with that
    // id in the scenario's document; without one the element is deleted.
    void SetElementById(const std::string& id, KrXMLGenericElement* element);

    // The updater an entry gets when none was given: ends polling.
    static long DefaultUpdater(const std::string& reference);

  protected:
    // The tree SetElementById edits; empty unless a derived scenario fills it.
    std::shared_ptr<KrXMLGenericElement> _document;

  private:
    // What the scenario's jobs share with it; outlives it while a job holds it.
    struct Runs;

    // Caller holds _mutex: collects the results of finished actions.
    void _collectFinishedNL();

    std::recursive_mutex _mutex;
    KrHTMLKontextN* _context;
    KrUpdateRegistry* _registry;
    std::map<std::string, unsigned long> _actions;
    KrGavetaScheduler2* _scheduler = nullptr;
    std::shared_ptr<Runs> _runs;
};
