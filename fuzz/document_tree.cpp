// Drives the element tree with operations chosen by the input bytes (add,
// prepend, remove, wrap, replace, set child, move children, attributes,
// path queries, writing) so that the sanitizers see every ownership path,
// including the refusals.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "document/KrXMLGenericElement.h"
#include "document/KrXMLGenericText.h"
#include "foundation/KrException.h"

namespace {

// Refuses children whose name starts with 'x'.
class Picky : public KrXMLGenericElement {
  public:
    explicit Picky(const std::string& name) : KrXMLGenericElement(name, true) {}
    void OnChildAdded(KrXMLComplexElement* child) override {
        if (!child->GetName().empty() && child->GetName()[0] == 'x') {
            throw KrException("refused", __LINE__, "src");
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* root = new Picky("root");
    std::vector<KrXMLComplexElement*> nodes{root};
    std::vector<KrXMLComplexElement*> loose;
    size_t i = 0;
    auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
    auto pick = [&]() { return nodes[next() % nodes.size()]; };
    auto fresh = [&]() -> KrXMLComplexElement* {
        const uint8_t b = next();
        std::string name(1, static_cast<char>('a' + b % 26));
        if (b & 0x80) {
            return new KrXMLGenericText(name);
        }
        return (b & 0x40) ? static_cast<KrXMLComplexElement*>(new Picky(name))
                          : new KrXMLComplexElement(name, (b & 0x20) != 0, true);
    };
    // Elements outside the tree are collected here so none leaks.
    auto rebuild = [&]() {
        nodes.clear();
        std::vector<KrXMLComplexElement*> stack{root};
        while (!stack.empty()) {
            KrXMLComplexElement* e = stack.back();
            stack.pop_back();
            nodes.push_back(e);
            stack.insert(stack.end(), e->GetChildren().begin(), e->GetChildren().end());
        }
    };
    while (i < size && nodes.size() < 2000) {
        const uint8_t op = next() % 10;
        KrXMLComplexElement* target = pick();
        try {
            switch (op) {
                case 0: {
                    KrXMLComplexElement* child = fresh();
                    try {
                        target->AddChild(child);
                    } catch (const KrException&) {
                        // The empty-element check leaves the child with the
                        // caller; a refusal by the hook has deleted it.
                        if (target->IsEmptyElement()) {
                            delete child;
                        }
                        throw;
                    }
                    break;
                }
                case 1:
                    target->PrependChild(fresh());
                    break;
                case 2: {
                    KrXMLComplexElement* other = pick();
                    if (other != root && other->GetParent()->RemoveChild(other)) {
                        loose.push_back(other);
                    }
                    break;
                }
                case 3: {
                    if (!target->GetChildren().empty()) {
                        KrXMLComplexElement* wrapper = fresh();
                        KrXMLComplexElement* child = target->GetChildren()[0];
                        // The wrapper stays the caller's when it refuses the
                        // child; a wrapper the parent refuses is deleted.
                        const bool wrapperRefuses = wrapper->IsEmptyElement() ||
                                                    (dynamic_cast<Picky*>(wrapper) != nullptr &&
                                                     child->GetName()[0] == 'x');
                        try {
                            target->WrapChild(child, wrapper);
                        } catch (const KrException&) {
                            if (wrapperRefuses) {
                                delete wrapper;
                            }
                            throw;
                        }
                    }
                    break;
                }
                case 4:
                    if (!target->GetChildren().empty()) {
                        target->ReplaceChild(target->GetChildren()[0], fresh());
                    }
                    break;
                case 5:
                    target->SetChild(pick());
                    break;
                case 6:
                    if (!loose.empty()) {
                        KrXMLComplexElement* other = loose.back();
                        target->AppendChildrenOf(other);
                    }
                    break;
                case 7:
                    if (auto* g = dynamic_cast<KrXMLGenericElement*>(target)) {
                        const std::string text(reinterpret_cast<const char*>(data + i),
                                               std::min<size_t>(size - i, next() % 16));
                        g->AssignAttribute(text);
                        g->Find(text);
                    }
                    break;
                case 8:
                    target->AddChild(pick());
                    break;
                default: {
                    std::ostringstream out;
                    root->Write(out);
                    break;
                }
            }
        } catch (const KrException&) {
            // A refused operation is an ordinary outcome here; the tree must
            // stay whole, which the next steps and the sanitizers check.
        }
        rebuild();
    }
    for (KrXMLComplexElement* e : loose) {
        delete e;
    }
    delete root;
    return 0;
}
