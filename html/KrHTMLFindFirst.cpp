#include "html/KrHTMLFindFirst.h"

#include <vector>

namespace {

KrXMLGenericElement* genericNamed(KrXMLComplexElement* element, const std::string& name) {
    if (element == nullptr || element->GetName() != name) {
        return nullptr;
    }
    return dynamic_cast<KrXMLGenericElement*>(element);
}

}  // namespace

KrXMLGenericElement* KrHTMLFindFirstByName(KrXMLComplexElement* root, const std::string& name) {
    if (root == nullptr) {
        return nullptr;
    }
    for (KrXMLComplexElement* child : root->GetChildren()) {
        if (KrXMLGenericElement* found = genericNamed(child, name)) {
            return found;
        }
    }
    // Deeper levels in document pre-order; an explicit stack keeps deep trees
    // off the call stack.
    std::vector<KrXMLComplexElement*> pending;
    const auto& top = root->GetChildren();
    for (auto it = top.rbegin(); it != top.rend(); ++it) {
        if (*it != nullptr) {
            pending.push_back(*it);
        }
    }
    while (!pending.empty()) {
        KrXMLComplexElement* element = pending.back();
        pending.pop_back();
        const auto& children = element->GetChildren();
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            if (*it != nullptr) {
                pending.push_back(*it);
            }
        }
        if (element->GetParent() != root) {
            if (KrXMLGenericElement* found = genericNamed(element, name)) {
                return found;
            }
        }
    }
    return nullptr;
}
