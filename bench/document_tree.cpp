// Element tree costs per element: building a storage-like tree of 1e5 and
// 1e6 elements, writing it into one reserved string, looking attributes up,
// finding the first element by attribute, a dotted path query, and deleting
// a 1e5-deep chain. Prints nanoseconds per element for each, and the heap
// the built tree holds per element.

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "document/KrNodePool.h"
#include "document/KrXMLGenericElement.h"
#include "document/KrXMLGenericText.h"
#include "document/KrXML_Document2.h"

namespace {

using Clock = std::chrono::steady_clock;

double nsSince(Clock::time_point start, size_t count) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
           static_cast<double>(count);
}

// With the node pool's mappings, which do not pass through malloc.
size_t heapInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd + KrNodePool::BytesHeld();
}

KrXML_Document2* build(size_t projects) {
    auto* doc = new KrXML_Document2("xmldocument");
    for (size_t p = 0; p < projects; ++p) {
        auto* project = new KrXMLGenericElement("project", true);
        project->SetAttribute("name", "project" + std::to_string(p));
        doc->AddChild(project);
        auto* vars = project->AddChildElement(new KrXMLGenericElement("stringvariables", true));
        for (int i = 0; i < 8; ++i) {
            auto* var = new KrXMLGenericElement("stringvariable", true);
            var->SetAttribute("key", "key" + std::to_string(i));
            var->SetAttribute("value", "value \"" + std::to_string(p * 8 + i) + "\"");
            var->AddChild(new KrXMLGenericText("text"));
            vars->AddChild(var);
        }
    }
    return doc;
}

void run(size_t projects) {
    const size_t elements = projects * 18 + 1;
    const size_t heapBefore = heapInUse();
    auto start = Clock::now();
    KrXML_Document2* doc = build(projects);
    std::printf("%8zu elements  build %7.1f ns/el", elements, nsSince(start, elements));
    std::printf("  heap %5.0f bytes/el",
                static_cast<double>(heapInUse() - heapBefore) / static_cast<double>(elements));

    start = Clock::now();
    const std::string text = doc->ToXMLString(elements * 48);
    std::printf("  write %6.1f ns/el (%zu bytes)", nsSince(start, elements), text.size());

    start = Clock::now();
    size_t hits = 0;
    for (KrXMLComplexElement* project : doc->GetChildren()) {
        auto* generic = static_cast<KrXMLGenericElement*>(project);
        hits += generic->AttributeEquals("name", "project1") ? 1 : 0;
        hits += generic->GetAttributeString("name", "").size();
    }
    std::printf("  lookup %5.1f ns/project", nsSince(start, projects));

    start = Clock::now();
    KrXMLGenericElement* found = doc->FindElementByAttribute("name", "project1");
    std::printf("  first-match %6.0f ns", nsSince(start, 1));

    start = Clock::now();
    const size_t paths = doc->Find("project.stringvariables.stringvariable[key=key3]").size();
    std::printf("  path %6.1f ns/el (%zu)", nsSince(start, elements), paths);

    start = Clock::now();
    delete doc;
    std::printf("  delete %5.1f ns/el%s\n", nsSince(start, elements),
                (found != nullptr && hits > 0) ? "" : " (!)");
}

}  // namespace

int main() {
    run(100000 / 18);
    run(1000000 / 18);
    auto* root = new KrXMLGenericElement("level", true);
    KrXMLComplexElement* current = root;
    for (int i = 0; i < 100000; ++i) {
        current = current->AddChild(new KrXMLGenericElement("level", true));
    }
    const auto start = Clock::now();
    delete root;
    std::printf("deep chain of 100001 deleted in %.1f ns/el\n", nsSince(start, 100001));
    return 0;
}
