#include "html/KrHTML_Document2.h"

#include <gtest/gtest.h>

#include <string>

#include "document/KrXMLGenericElement.h"
#include "foundation/KrException.h"
#include "html/KrHTMLPlainTags.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_form2.h"
#include "html/KrHTML_html2.h"
#include "html/KrHTML_input2.h"
#include "html/KrHTML_meta2.h"
#include "html/KrHTML_script2.h"
#include "html/KrHTML_text2.h"

namespace {

// Counts the elements of a name in a subtree.
size_t countNamed(KrXMLComplexElement* root, const std::string& name) {
    KrXMLComplexElement::ElementList found;
    root->FindElementsByName(name, found, -1);
    return found.size();
}

// An element whose destruction the test can see.
struct Tracked : KrXMLGenericElement {
    explicit Tracked(bool* destroyed)
        : KrXMLGenericElement("tracked", true), _destroyed(destroyed) {}
    ~Tracked() override { *_destroyed = true; }
    bool* _destroyed;
};

TEST(KrHTML_Document2, FreshPageIsDoctypeHtmlAndHeadWithCharset) {
    KrHTML_Document2 page;
    EXPECT_EQ(page.ToHTMLString(),
              "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n</head>\n</html>");
}

TEST(KrHTML_Document2, BarePageHasNoChildren) {
    KrHTML_Document2 page(true);
    EXPECT_TRUE(page.GetChildren().empty());
    EXPECT_EQ(page.ToHTMLString(), "");
}

TEST(KrHTML_Document2, WholePageBuiltThroughAddOperations) {
    KrHTML_Document2 page("Demo <b>");
    page.AddToHead(new KrHTML_script2("app.js", ""));
    page.AddH2()->AddText("Hello");
    KrHTML_div2* div = page.AddDiv("main");
    div->AddText("a & b");
    div->AddForm("/post", "POST")->AddInputHidden("", "7", "quivoid");
    page.AddPre()->AddChild(new KrHTML_text2("x < y"));
    page.AddHr();
    page.AddH3();
    page.AddP()->AddSpan()->AddText("s");
    page.AddScript("", "go();");
    page.AddDiv("");
    EXPECT_EQ(page.ToHTMLString(),
              "<!DOCTYPE html>\n"
              "<html>\n"
              "<head>\n"
              "<meta charset=\"utf-8\" />\n"
              "<title>Demo <b></title>\n"
              "<script src=\"app.js\" type=\"text/javascript\">\n<!--\n\n//-->\n</script>\n"
              "</head>\n"
              "<body>\n"
              "<h2>Hello</h2>\n"
              "<div id=\"main\">a & b<form action=\"/post\" method=\"POST\">\n"
              "<input name=\"quivoid\" type=\"hidden\" value=\"7\" />\n"
              "</form>\n"
              "</div>\n"
              "<pre>x < y</pre>\n"
              "<hr />\n"
              "<h3></h3>\n"
              "<p>\n<span>s</span>\n</p>\n"
              "<script type=\"text/javascript\">\n<!--\n\ngo();\n//-->\n\n</script>\n"
              "<div></div>\n"
              "</body>\n"
              "</html>");
}

TEST(KrHTML_Document2, StringLiteralTitleChoosesTheTitleConstructor) {
    KrHTML_Document2 page("Start");
    EXPECT_EQ(countNamed(&page, "title"), 1u);
    KrXMLComplexElement* head = page.Html()->Head();
    ASSERT_EQ(head->GetChildren().size(), 2u);
    EXPECT_EQ(head->GetChildren()[0]->GetName(), "meta");
    EXPECT_EQ(head->GetChildren()[1]->GetName(), "title");
}

TEST(KrHTML_Document2, HtmlIsCreatedOnceWithOneDoctype) {
    KrHTML_Document2 page(true);
    KrHTML_html2* first = page.Html();
    KrHTML_html2* second = page.Html();
    EXPECT_EQ(first, second);
    ASSERT_EQ(page.GetChildren().size(), 2u);
    EXPECT_EQ(page.GetChildren()[0]->GetName(), "HTMLDoctype");
    EXPECT_EQ(page.GetChildren()[1], first);
}

TEST(KrHTML_Document2, BodyBeforeHeadStillPutsHeadFirst) {
    KrHTML_Document2 page(true);
    KrHTML_body2* body = page.Html()->Body();
    KrHTML_head2* head = page.Html()->Head();
    const auto& children = page.Html()->GetChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0], static_cast<KrXMLComplexElement*>(head));
    EXPECT_EQ(children[1], static_cast<KrXMLComplexElement*>(body));
}

TEST(KrHTML_Document2, AddOperationsCreateTheMissingStructure) {
    KrHTML_Document2 page(true);
    KrHTML_h22* h2 = page.AddH2();
    KrHTML_pre2* pre = page.AddPre();
    KrHTML_hr2* hr = page.AddHr();
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(countNamed(&page, "HTMLDoctype"), 1u);
    EXPECT_EQ(countNamed(&page, "html"), 1u);
    EXPECT_EQ(countNamed(&page, "head"), 0u);
    const auto& inBody = page.Html()->Body()->GetChildren();
    ASSERT_EQ(inBody.size(), 3u);
    EXPECT_EQ(inBody[0], static_cast<KrXMLComplexElement*>(h2));
    EXPECT_EQ(inBody[1], static_cast<KrXMLComplexElement*>(pre));
    EXPECT_EQ(inBody[2], static_cast<KrXMLComplexElement*>(hr));
}

TEST(KrHTML_Document2, FindOrCreateTakesADirectChildBeforeADeeperOne) {
    KrHTML_Document2 page(true);
    KrHTML_html2* html = page.Html();
    auto* wrapper = new KrHTML_div2("wrap", false);
    html->AddChild(wrapper);
    auto* nested = new KrHTML_body2();
    wrapper->AddChild(nested);
    auto* direct = new KrHTML_body2();
    html->AddChild(direct);
    EXPECT_EQ(html->Body(), direct);

    // Without a direct one, a nested element is found rather than a second made.
    KrHTML_Document2 loaded(true);
    auto* top = new KrHTML_html2();
    loaded.AddChild(top);
    auto* holder = new KrHTML_div2("", false);
    top->AddChild(holder);
    auto* deepHead = new KrHTML_head2();
    holder->AddChild(deepHead);
    EXPECT_EQ(loaded.Html(), top);
    EXPECT_EQ(top->Head(), deepHead);
    EXPECT_EQ(countNamed(&loaded, "head"), 1u);
}

TEST(KrHTML_Document2, ForeignHtmlElementIsNamedAndTheHandedElementFreed) {
    KrHTML_Document2 page(true);
    page.AddChild(new KrXMLGenericElement("html", true));
    try {
        page.Html();
        ADD_FAILURE() << "a generic html element was taken for the page's";
    } catch (const KrException& e) {
        EXPECT_NE(std::string(e.what()).find("<html>"), std::string::npos) << e.what();
    }
    bool destroyed = false;
    EXPECT_THROW(page.AddToBody(new Tracked(&destroyed)), KrException);
    EXPECT_TRUE(destroyed);
    destroyed = false;
    EXPECT_THROW(page.AddToHead(new Tracked(&destroyed)), KrException);
    EXPECT_TRUE(destroyed);
    // The typed Add operations free their new element the same way (the
    // sanitizer build reports a leak otherwise).
    EXPECT_THROW(page.AddH2(), KrException);
    EXPECT_THROW(page.AddScript("", "x();"), KrException);
}

TEST(KrHTML_Document2, ForeignHeadOrBodyIsNamedWithItsId) {
    KrHTML_Document2 page(true);
    KrHTML_html2* html = page.Html();
    auto* fakeHead = new KrXMLGenericElement("head", true);
    fakeHead->SetAttribute("id", "h1");
    html->AddChild(fakeHead);
    html->AddChild(new KrXMLGenericElement("body", true));
    try {
        html->Head();
        ADD_FAILURE() << "a generic head was taken for the page's";
    } catch (const KrException& e) {
        EXPECT_NE(std::string(e.what()).find("<head id=\"h1\">"), std::string::npos) << e.what();
    }
    bool destroyed = false;
    EXPECT_THROW(page.AddToHead(new Tracked(&destroyed)), KrException);
    EXPECT_TRUE(destroyed);
    EXPECT_THROW(page.AddP(), KrException);
    EXPECT_THROW(page.AddDiv("d"), KrException);
    EXPECT_EQ(html->GetChildren().size(), 2u);
}

TEST(KrHTML_Document2, RefusedChildrenLeaveThePageAsItWas) {
    KrHTML_Document2 page;
    KrHTML_body2* body = page.Html()->Body();
    const std::string before = page.ToHTMLString();

    body->SetEmptyElement(true);
    bool destroyed = false;
    try {
        page.AddToBody(new Tracked(&destroyed));
        ADD_FAILURE() << "an empty body took a child";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "child elements not allowed for body");
    }
    EXPECT_TRUE(destroyed);
    EXPECT_THROW(page.AddHr(), KrException);
    body->SetEmptyElement(false);
    EXPECT_EQ(page.ToHTMLString(), before);

    // An element that belongs to another tree stays there.
    KrHTML_div2 elsewhere("", false);
    KrHTML_p2* owned = elsewhere.AddP();
    EXPECT_THROW(page.AddToBody(owned), KrException);
    EXPECT_EQ(owned->GetParent(), &elsewhere);
    EXPECT_EQ(page.ToHTMLString(), before);

    EXPECT_EQ(page.AddToHead(nullptr), nullptr);
    EXPECT_EQ(page.AddToBody(nullptr), nullptr);
}

TEST(KrHTML_Document2, SetLanguageMarksHtmlAndMatchingMetaElements) {
    KrHTML_Document2 page(true);
    KrHTML_html2* html = page.Html();
    KrHTML_head2* head = html->Head();
    auto* language = new KrHTML_meta2();
    language->SetAttribute("http-equiv", "language");
    language->SetAttribute("content", "en");
    head->AddChild(language);
    auto* description = new KrHTML_meta2("name=\"description\"");
    head->AddChild(description);
    auto* capital = new KrHTML_meta2("http-equiv=\"Language\"");
    head->AddChild(capital);

    html->SetLanguage("de");
    EXPECT_EQ(html->GetAttributeString("lang", "-"), "de");
    EXPECT_EQ(language->GetAttributeString("content", "-"), "de");
    EXPECT_EQ(description->GetAttributeString("lang", "-"), "de");
    EXPECT_FALSE(capital->HasAttribute("content"));
}

}  // namespace
