#include "document/KrDTD.h"

#include <utility>

#include "foundation/KrException.h"

KrDTD::KrDTD(std::string name) : _name(std::move(name)) {}

KrDTD::KrDTD(const KrDTD& other) : _name(other._name) {
    *this = other;
}

KrDTD::KrDTD(KrDTD&& other) noexcept
    : htmlElementFactories(std::move(other.htmlElementFactories)),
      emptyElementNames(std::move(other.emptyElementNames)),
      _name(std::move(other._name)),
      _reads(std::move(other._reads)),
      _factories(std::move(other._factories)),
      _levels(std::move(other._levels)),
      _skipSets(std::move(other._skipSets)),
      _parsedHooks(std::move(other._parsedHooks)),
      _dispatch(std::move(other._dispatch)) {
    // The steps point into map nodes, which moved over with the maps.
    for (auto& steps : other._dispatch) {
        steps.clear();
    }
}

KrDTD& KrDTD::operator=(const KrDTD& other) {
    if (this == &other) {
        return *this;
    }
    _name = other._name;
    std::map<std::string, std::unique_ptr<KrDTDElementRead>> reads;
    for (const auto& [name, read] : other._reads) {
        reads.emplace(name, std::unique_ptr<KrDTDElementRead>(read->Clone()));
    }
    _reads = std::move(reads);
    _factories = other._factories;
    _levels = other._levels;
    _skipSets = other._skipSets;
    _parsedHooks = other._parsedHooks;
    htmlElementFactories = other.htmlElementFactories;
    emptyElementNames = other.emptyElementNames;
    _rebuild();
    return *this;
}

KrDTD::~KrDTD() = default;

std::string KrDTD::AddRead(KrDTDElementRead* read) {
    if (read == nullptr) {
        return "";
    }
    std::unique_ptr<KrDTDElementRead> owned(read);
    std::string name = owned->GetName();
    if (_reads.count(name) > 0) {
        throw KrException("name can't be twice", __LINE__, "src");
    }
    _reads.emplace(name, std::move(owned));
    _rebuild();
    return name;
}

std::string KrDTD::AddFactory(const std::string& name, Factory factory) {
    _factories[name] = std::move(factory);
    _rebuild();
    return name;
}

std::string KrDTD::AddLevel(const std::string& name) {
    _levels.insert(name);
    _rebuild();
    return name;
}

std::string KrDTD::SetNameSet(const std::string& parentName, const std::set<std::string>& names) {
    _skipSets[parentName] = names;
    return parentName;
}

std::string KrDTD::SetParsedHook(const std::string& elementName, ParsedHook hook) {
    _parsedHooks[elementName] = std::move(hook);
    return elementName;
}

const std::set<std::string>* KrDTD::SkipSet(const std::string& parentName) const {
    auto found = _skipSets.find(parentName);
    return found == _skipSets.end() ? nullptr : &found->second;
}

const KrDTD::ParsedHook* KrDTD::FindParsedHook(const std::string& elementName) const {
    if (_parsedHooks.empty()) {
        return nullptr;
    }
    auto found = _parsedHooks.find(elementName);
    return found == _parsedHooks.end() ? nullptr : &found->second;
}

std::vector<std::string> KrDTD::ReadNames() const {
    std::vector<std::string> names;
    for (const auto& entry : _reads) {
        names.push_back(entry.first);
    }
    return names;
}

void KrDTD::_rebuild() {
    for (int c = 0; c < 256; ++c) {
        auto& steps = _dispatch[static_cast<size_t>(c)];
        steps.clear();
        for (const auto& [name, read] : _reads) {
            if (!read->CanStartWith(static_cast<unsigned char>(c))) {
                continue;
            }
            Step step;
            step.read = read.get();
            auto factory = _factories.find(name);
            step.factory = factory == _factories.end() ? nullptr : &factory->second;
            step.opensLevel = _levels.count(name) > 0;
            steps.push_back(step);
        }
    }
}
