#include "html/KrHTMLTagTable.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "html/KrHTMLDTDs.h"
#include "html/KrHTMLTagClasses.h"
#include "html/KrHTMLTagList.h"

namespace {

// Each row of the tag list: does the table's factory build exactly that class?
struct Row {
    const char* tag;
    bool isVoid;
    bool inTable;
    bool (*isClass)(KrXMLComplexElement*);
};

#define QUIVO_TAG_ROW(tag, cls, family, mixins, isVoid, kind, inTable) \
    {tag, isVoid, inTable, [](KrXMLComplexElement* e) { return dynamic_cast<cls*>(e) != nullptr; }},
const Row kRows[] = {QUIVO_HTML_TAGS(QUIVO_TAG_ROW)};
#undef QUIVO_TAG_ROW

}  // namespace

TEST(KrHTMLTagTable, HoldsOneFactoryPerTableTagBuildingItsClass) {
    const auto& factories = KrHTMLTagFactories();
    EXPECT_EQ(factories.size(), 115u);
    for (const Row& row : kRows) {
        auto found = factories.find(row.tag);
        ASSERT_EQ(found != factories.end(), row.inTable) << row.tag;
        if (!row.inTable) {
            continue;
        }
        std::unique_ptr<KrXMLComplexElement> element(found->second(""));
        ASSERT_NE(element, nullptr) << row.tag;
        EXPECT_TRUE(row.isClass(element.get())) << row.tag;
        EXPECT_EQ(element->GetName(), row.tag);
        EXPECT_EQ(element->IsEmptyElement(), row.isVoid) << row.tag;
        EXPECT_TRUE(element->WantsNewline()) << row.tag;
    }
}

TEST(KrHTMLTagTable, NamesTheSixteenVoidTags) {
    const std::set<std::string> expected = {"area",  "base",   "br",    "col",    "embed", "frame",
                                            "hr",    "img",    "input", "keygen", "link",  "meta",
                                            "param", "source", "track", "wbr"};
    EXPECT_EQ(KrHTMLVoidTags(), expected);
}

TEST(KrHTMLTagTable, OnlyTheHTMLGrammarsCarryTheTable) {
    for (const char* name : {"html", "xmlhtml"}) {
        const KrDTD* dtd = KrHTMLDTDs().Find(name);
        ASSERT_NE(dtd, nullptr);
        EXPECT_EQ(dtd->htmlElementFactories.size(), 115u);
        EXPECT_EQ(dtd->emptyElementNames, KrHTMLVoidTags());
    }
    for (const char* name : {"xml", "css", "cssRule"}) {
        const KrDTD* dtd = KrHTMLDTDs().Find(name);
        ASSERT_NE(dtd, nullptr);
        EXPECT_TRUE(dtd->htmlElementFactories.empty()) << name;
        EXPECT_TRUE(dtd->emptyElementNames.empty()) << name;
    }
}

TEST(KrHTMLTagTable, UnknownOrUpperCaseTagsBecomeGenericElements) {
    const KrDTD& html = *KrHTMLDTDs().Find("html");
    for (const char* tag : {"DIV", "figure", "custom-tag"}) {
        std::unique_ptr<KrXMLGenericElement> element(KrDTD_HTML_createelement(tag, html));
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->GetName(), tag);
        EXPECT_EQ(dynamic_cast<KrHTML_BaseElement2*>(element.get()), nullptr) << tag;
    }
    std::unique_ptr<KrXMLGenericElement> div(KrDTD_HTML_createelement("div", html));
    EXPECT_NE(dynamic_cast<KrHTML_div2*>(div.get()), nullptr);
}

TEST(KrHTMLTagTable, FactoryResultThatIsNoGenericElementIsReplaced) {
    KrDTD dtd("t");
    dtd.htmlElementFactories["odd"] = [](std::string) -> KrXMLComplexElement* {
        return new KrXMLComplexElement("odd", false, false);
    };
    std::unique_ptr<KrXMLGenericElement> element(KrDTD_HTML_createelement("odd", dtd));
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->GetName(), "odd");
}
