#include "app/KrUpdateRegistry.h"

#include <sstream>
#include <vector>

#include "app/KrScenario.h"
#include "html/KrHTML_Document2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_text2.h"
#include "transport/KrXHeader.h"

KrUpdateRegistry::KrUpdateRegistry() = default;

KrUpdateRegistry::~KrUpdateRegistry() {
    DeleteScenarios();
}

void KrUpdateRegistry::DeleteScenarios() {
    std::map<std::string, KrScenario*> scenarios;
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        scenarios.swap(_scenarios);
    }
    // Outside the mutex: a scenario waits for its running actions, and an
    // action may be calling this registry.
    for (auto& [id, scenario] : scenarios)
        delete scenario;
}

bool KrUpdateRegistry::ScenariosUnderWay() {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    for (const auto& [id, scenario] : _scenarios)
        if (scenario->HasActionsUnderWay())
            return true;
    return false;
}

std::string KrUpdateRegistry::NewAnswer(KrXHeader& request, const std::string& field) {
    std::string reference;
    if (!request.getParameter(field, reference))
        reference = "_none_";
    auto document = std::make_unique<KrHTML_Document2>();
    KrHTML_div2* element = document->AddDiv("");
    element->SetAttribute("id", "novidade");
    element->SetAttribute("twymtfim", "sim");
    element->SetAttribute("twymtupdatetime", "500");
    element->SetAttribute("twymtref", "_none_");
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    Answer& answer = _answers[reference];
    answer.document = std::move(document);
    answer.element = element;
    return reference;
}

bool KrUpdateRegistry::HasUpdater(const std::string& reference) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    if (_updaters.count(reference) == 0)
        return false;
    const auto answer = _answers.find(reference);
    if (answer != _answers.end())
        answer->second.element->SetAttribute("twymtref", reference);
    return true;
}

long KrUpdateRegistry::CallUpdater(const std::string& reference) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    const auto it = _updaters.find(reference);
    if (it == _updaters.end())
        return -2;
    // A copy: the updater may remove itself while it runs.
    const Updater updater = it->second;
    if (!updater)
        return KrScenario::DefaultUpdater(reference);
    return updater(reference);
}

void KrUpdateRegistry::SetUpdateTime(const std::string& reference, long result) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    const auto answer = _answers.find(reference);
    if (answer == _answers.end())
        return;
    KrXMLGenericElement* element = answer->second.element;
    if (result < 1) {
        element->SetAttribute("twymtfim", "sim");
        RemoveUpdater(reference);
    } else {
        element->SetAttribute("twymtfim", "nao");
        element->SetAttribute("twymtupdatetime", std::to_string(result));
    }
}

std::string KrUpdateRegistry::TakeAnswer(const std::string& reference) {
    std::unique_ptr<KrHTML_Document2> document;
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        const auto answer = _answers.find(reference);
        if (answer == _answers.end())
            return "";
        document = std::move(answer->second.document);
        _answers.erase(answer);
    }
    return document->ToHTMLString();
}

std::string KrUpdateRegistry::AddUpdater(const std::string& scenarioId,
                                         const std::string& reference, Updater updater) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    _updaters[reference] = std::move(updater);
    _scenarioOfReference[reference] = scenarioId;
    return reference;
}

void KrUpdateRegistry::RemoveUpdater(const std::string& reference) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    if (_updaters.erase(reference) != 0)
        _scenarioOfReference.erase(reference);
}

std::string KrUpdateRegistry::AddScenario(KrScenario* scenario) {
    if (scenario == nullptr)
        return "";
    const std::string key = scenario->id();
    KrScenario* replaced = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(_mutex);
        KrScenario*& slot = _scenarios[key];
        if (slot != scenario)
            replaced = slot;
        slot = scenario;
    }
    delete replaced;
    return key;
}

void KrUpdateRegistry::AddAnswerPart(const std::string& reference, const std::string& id,
                                     KrXMLGenericElement* element) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    const auto answer = _answers.find(reference);
    if (answer == _answers.end())
        return;
    std::ostringstream html;
    if (element != nullptr)
        element->Write(html);
    auto* part = new KrHTML_div2(id, false);
    answer->second.element->AddChild(part);
    part->AddChild(new KrHTML_text2(html.str()));
    if (element == nullptr)
        return;
    KrScenario* scenario = nullptr;
    const auto owner = _scenarioOfReference.find(reference);
    if (owner != _scenarioOfReference.end()) {
        const auto found = _scenarios.find(owner->second);
        if (found != _scenarios.end())
            scenario = found->second;
    }
    if (scenario != nullptr)
        scenario->SetElementById(id, element);
    else
        delete element;
}

long KrUpdateRegistry::NotifyScenario(const std::string& scenarioId, unsigned long value,
                                      unsigned long extra, std::string text) {
    std::lock_guard<std::recursive_mutex> guard(_mutex);
    const auto found = _scenarios.find(scenarioId);
    if (found == _scenarios.end())
        return 0;
    return found->second->ZeroHook(value, extra, std::move(text));
}
