#include "html/KrHTMLTagTable.h"

#include <memory>

#include "document/KrXMLGenericElement.h"
#include "html/KrHTMLTagClasses.h"
#include "html/KrHTMLTagList.h"

namespace {

// The factory's argument plays no part: every class builds itself preset.
#define QUIVO_TAG_FACTORY(tag, cls, family, mixins, isVoid, kind, inTable) \
    if (inTable) {                                                         \
        table.emplace(tag, [](std::string) -> KrXMLComplexElement* {       \
            return static_cast<KrHTML_BaseElement2*>(new cls());           \
        });                                                                \
    }

std::map<std::string, KrHTMLElementFactory> BuildFactories() {
    std::map<std::string, KrHTMLElementFactory> table;
    QUIVO_HTML_TAGS(QUIVO_TAG_FACTORY)
    return table;
}
#undef QUIVO_TAG_FACTORY

#define QUIVO_TAG_VOID(tag, cls, family, mixins, isVoid, kind, inTable) \
    if (isVoid && inTable) {                                            \
        names.insert(tag);                                              \
    }

std::set<std::string> BuildVoidTags() {
    std::set<std::string> names;
    QUIVO_HTML_TAGS(QUIVO_TAG_VOID)
    return names;
}
#undef QUIVO_TAG_VOID

}  // namespace

const std::map<std::string, KrHTMLElementFactory>& KrHTMLTagFactories() {
    static const std::map<std::string, KrHTMLElementFactory> table = BuildFactories();
    return table;
}

const std::set<std::string>& KrHTMLVoidTags() {
    static const std::set<std::string> names = BuildVoidTags();
    return names;
}

void KrDTD_HTML_fillelements(KrDTD& dtd) {
    for (const auto& [tag, factory] : KrHTMLTagFactories()) {
        dtd.htmlElementFactories[tag] = factory;
    }
    dtd.emptyElementNames.insert(KrHTMLVoidTags().begin(), KrHTMLVoidTags().end());
}

KrXMLGenericElement* KrDTD_HTML_createelement(const std::string& name, const KrDTD& dtd) {
    auto found = dtd.htmlElementFactories.find(name);
    if (found != dtd.htmlElementFactories.end() && found->second) {
        std::unique_ptr<KrXMLComplexElement> made(found->second(std::string()));
        if (auto* generic = dynamic_cast<KrXMLGenericElement*>(made.get())) {
            made.release();
            return generic;
        }
        // Anything else is not usable as a tag and is freed here.
    }
    return new KrXMLGenericElement(name, true);
}
