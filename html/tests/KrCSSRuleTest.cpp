#include "html/KrCSSRule.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "foundation/KrException.h"
#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSMediaQuery.h"
#include "html/KrCSSProperty.h"
#include "html/KrHTML_BaseElement2.h"
#include "html/KrHTML_text2.h"

TEST(KrCSSRuleTest, PropertyParsesNameAndValue) {
    KrCSSProperty full(" color :\t red ;\n", false);
    EXPECT_EQ(full.GetName(), "color");
    EXPECT_EQ(full.GetValue(), "red");
    EXPECT_EQ(full.ToXMLString(), "color: red;");

    KrCSSProperty nameOnly("\tmargin;\r\n", true);
    EXPECT_EQ(nameOnly.GetName(), "margin");
    EXPECT_TRUE(nameOnly.IsEmpty());
    EXPECT_EQ(nameOnly.ToXMLString(), "");
    nameOnly.SetValue(" 0 ");
    EXPECT_EQ(nameOnly.ToXMLString(), "margin:  0 ;");

    try {
        KrCSSProperty bad("color red", false);
        FAIL();
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "CSS property not well formed (missing ':').");
    }
    try {
        KrCSSProperty bad("", true);
        FAIL();
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "CSS property must have a name");
    }
}

TEST(KrCSSRuleTest, WritesStyleSheetObjectsAsCSSText) {
    KrCSSRule rule("p ", {"color: red", "", "margin:0"});
    EXPECT_EQ(rule.ToXMLString(), "p {color: red;margin: 0;}");
    EXPECT_FALSE(rule.WantsNewline());

    auto* media = new KrCSSMediaQuery("@media screen and (max-width: 600px)");
    media->AddChild(new KrCSSRule("a", {"b:c"}));
    media->AddChild(new KrXMLGenericWhitespace("\n"));
    media->AddChild(new KrCSSRule("div.x", {}));
    KrCSSHTMLComment comment;
    comment.AddChild(new KrXMLGenericText("\n"));
    EXPECT_EQ(comment.ToXMLString(), "<!--\n-->");

    KrCSSRule outer("h1");
    outer.AddChild(new KrXMLGenericText(" "));
    outer.AddChild(new KrCSSProperty("x:1", false));
    EXPECT_EQ(outer.ToXMLString(), "h1{ x: 1;}");

    std::unique_ptr<KrCSSMediaQuery> owned(media);
    EXPECT_EQ(owned->ToXMLString(), "@media screen and (max-width: 600px){a{b: c;}\ndiv.x{}}");
}

TEST(KrCSSRuleTest, MalformedDeclarationFailsTheConstructor) {
    EXPECT_THROW(KrCSSRule("p", {"color: red", "margin"}), KrException);
}

TEST(KrCSSRuleTest, RuleReadsItsChildrenAsCSSRule) {
    KrCSSRule rule("p");
    EXPECT_EQ(rule.ChildDTD(""), "");
    EXPECT_EQ(rule.ChildDTD("css"), "cssRule");
    EXPECT_EQ(rule.ChildDTD(""), "css");
}

TEST(KrCSSRuleTest, RefusesChildrenOfTheWrongKind) {
    using Make = std::function<KrXMLComplexElement*()>;
    const Make text = [] { return new KrXMLGenericText("t"); };
    const Make space = [] { return new KrXMLGenericWhitespace(" "); };
    const Make htmlText = [] { return new KrHTML_text2("t"); };
    const Make comment = [] { return new KrCSSHTMLComment(); };
    const Make property = [] { return new KrCSSProperty("a:b", false); };
    const Make rule = [] { return new KrCSSRule("p"); };
    const Make media = [] { return new KrCSSMediaQuery("@media print"); };
    const Make paragraph = [] { return new KrHTML_BaseElement2("p"); };

    struct Row {
        const char* what;
        Make parent;
        Make child;
        const char* refusal;  // null: accepted
    };
    const Row rows[] = {
        {"rule/text", rule, text, nullptr},
        {"rule/space", rule, space, nullptr},
        {"rule/comment", rule, comment, nullptr},
        {"rule/property", rule, property, nullptr},
        {"rule/rule", rule, rule, "must be an CSS element"},
        {"rule/media", rule, media, "must be an CSS element"},
        {"rule/p", rule, paragraph, "must be an CSS element"},
        {"media/text", media, text, nullptr},
        {"media/comment", media, comment, nullptr},
        {"media/rule", media, rule, nullptr},
        {"media/property", media, property, "must be an CSS element"},
        {"media/media", media, media, "must be an CSS element"},
        {"comment/text", comment, text, nullptr},
        {"comment/space", comment, space, nullptr},
        {"comment/htmltext", comment, htmlText, nullptr},
        {"comment/rule", comment, rule, "child must be text"},
        {"comment/property", comment, property, "child must be text"},
        {"property/text", property, text, "no childs possible"},
        {"property/property", property, property, "no childs possible"},
    };
    for (const Row& row : rows) {
        std::unique_ptr<KrXMLComplexElement> parent(row.parent());
        KrXMLComplexElement* child = row.child();
        if (row.refusal == nullptr) {
            EXPECT_EQ(parent->AddChild(child), child) << row.what;
            EXPECT_EQ(parent->GetChildren().size(), 1u) << row.what;
            continue;
        }
        try {
            parent->AddChild(child);
            ADD_FAILURE() << row.what << " was accepted";
        } catch (const KrException& e) {
            EXPECT_STREQ(e.what(), row.refusal) << row.what;
        }
        // A refused child does not stay; the sanitizer build checks it is freed.
        EXPECT_TRUE(parent->GetChildren().empty()) << row.what;
    }
}
