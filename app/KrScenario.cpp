#include "app/KrScenario.h"

#include <condition_variable>
#include <set>
#include <thread>
#include <vector>

#include "app/KrHTMLKontextN.h"
#include "app/KrUpdateRegistry.h"
#include "document/KrXMLGenericElement.h"
#include "foundation/KrException.h"
#include "foundation/KrGavetaScheduler2.h"

// Shared by the scenario and the job functions it queued, so a job that
// starts after the scenario is gone still finds it and does nothing.
struct KrScenario::Runs {
    std::mutex mutex;  // guards the fields below
    std::condition_variable idle;
    bool gone = false;
    std::multiset<std::thread::id> running;
};

namespace {

// Counts one run of an action for as long as it lasts, also when it throws.
class RunningAction {
  public:
    RunningAction(std::mutex& mutex, std::condition_variable& idle,
                  std::multiset<std::thread::id>& running)
        : _mutex(mutex), _idle(idle), _running(running) {}
    ~RunningAction() {
        std::lock_guard<std::mutex> guard(_mutex);
        _running.erase(_running.find(std::this_thread::get_id()));
        _idle.notify_all();
    }
    RunningAction(const RunningAction&) = delete;
    RunningAction& operator=(const RunningAction&) = delete;

  private:
    std::mutex& _mutex;
    std::condition_variable& _idle;
    std::multiset<std::thread::id>& _running;
};

}  // namespace

KrScenario::KrScenario(KrHTMLKontextN* context, KrUpdateRegistry* registry)
    : KrJobWithTimeout(120000000), _context(context), _registry(registry),
      _runs(std::make_shared<Runs>()) {}

KrScenario::~KrScenario() {
    std::map<std::string, unsigned long> actions;
    KrGavetaScheduler2* scheduler = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        actions.swap(_actions);
        scheduler = _scheduler;
    }
    {
        std::lock_guard<std::mutex> guard(_runs->mutex);
        _runs->gone = true;
    }
    // Queued actions never start; finished ones give their results back.
    if (scheduler != nullptr) {
        for (const auto& [reference, jobId] : actions) {
            scheduler->cancelRepeat(jobId);
            delete scheduler->takeResult(jobId);
        }
    }
    // Running actions end before the scenario's parts go. An action that
    // destroys its own scenario is not waited for by itself.
    std::unique_lock<std::mutex> lock(_runs->mutex);
    const std::thread::id self = std::this_thread::get_id();
    _runs->idle.wait(lock, [this, self] {
        return _runs->running.empty() ||
               (_runs->running.size() == _runs->running.count(self));
    });
}

void KrScenario::EmptyHook() {}

long KrScenario::ZeroHook(unsigned long, unsigned long, std::string) {
    return 0;
}

long KrScenario::DefaultUpdater(const std::string&) {
    return -3;
}

void KrScenario::_collectFinishedNL() {
    if (_scheduler == nullptr)
        return;
    for (auto it = _actions.begin(); it != _actions.end();) {
        if (_scheduler->isJobDone(it->second)) {
            delete _scheduler->takeResult(it->second);
            it = _actions.erase(it);
        } else {
            ++it;
        }
    }
}

std::string KrScenario::_doAction(std::function<void()> action,
                                  std::function<long(const std::string&)> updater) {
    if (_context == nullptr)
        throw KrException("the scenario has no page context", __LINE__, __FILE__);
    KrGavetaJobAtttributes attributes;
    attributes._jo_name = "KrScenario_doAction" + id();
    attributes._jo_status = KR_GAVETA_RUN_ONCE;
    attributes._jo_stop = [] {};
    const std::string reference = KrJob::_makeUniqueId(KrUniqueIdSource::jobIds());
    std::shared_ptr<Runs> runs = _runs;
    auto job = [runs, action = std::move(action)](KrGavetaJobParametersAndResult* parameters) {
        {
            std::lock_guard<std::mutex> guard(runs->mutex);
            if (runs->gone)
                return parameters;
            runs->running.insert(std::this_thread::get_id());
        }
        RunningAction counted(runs->mutex, runs->idle, runs->running);
        action();
        return parameters;
    };
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        // The context's application, and with it its scheduler, never changes.
        _scheduler = _context->GetScheduler();
        // Results of actions nobody asked about are collected here, so they
        // do not pile up in the scheduler.
        _collectFinishedNL();
        _actions[reference] = _scheduler->addJob(job, nullptr, attributes);
    }
    if (reference != KrJob::commonErrorTask() && _registry != nullptr)
        _registry->AddUpdater(id(), reference, std::move(updater));
    return reference;
}

std::string KrScenario::_doActionNow(std::function<std::string()> action,
                                     std::function<long(const std::string&)> updater) {
    const std::string reference = action();
    if (reference != KrJob::commonErrorTask() && _registry != nullptr)
        _registry->AddUpdater(id(), reference, std::move(updater));
    return reference;
}

bool KrScenario::isActionDone(const std::string& reference) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    const auto it = _actions.find(reference);
    if (it == _actions.end() || _scheduler == nullptr)
        return true;
    if (!_scheduler->isJobDone(it->second))
        return false;
    delete _scheduler->takeResult(it->second);
    _actions.erase(it);
    return true;
}

bool KrScenario::HasActionsUnderWay() {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    _collectFinishedNL();
    return !_actions.empty();
}

void KrScenario::SetElementById(const std::string& id, KrXMLGenericElement* element) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    if (_document) {
        KrXMLGenericElement* target = _document->FindElementByAttribute("id", id);
        if (target != nullptr && element != nullptr) {
            target->SetChild(element);
            return;
        }
    }
    delete element;
}
