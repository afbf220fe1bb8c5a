#include "html/KrHTML_BaseElement2.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "document/KrXMLComplexAttribute2.h"
#include "foundation/KrException.h"
#include "html/KrCSSHandler.h"
#include "html/KrHTML_Doctype2.h"
#include "html/KrHTML_text2.h"
#include "html/KrJavaScriptHandler.h"

TEST(KrHTML_BaseElement2Test, FlagsAreExactlyThoseGiven) {
    KrHTML_BaseElement2 plain("div");
    EXPECT_FALSE(plain.IsEmptyElement());
    EXPECT_FALSE(plain.IsCollapsible());
    EXPECT_TRUE(plain.WantsNewline());
    EXPECT_EQ(plain.ToHTMLString(), "<div></div>");

    KrHTML_BaseElement2 collapsible("div", false, true);
    EXPECT_EQ(collapsible.ToHTMLString(), "<div />");
}

TEST(KrHTML_BaseElement2Test, WritesClassBeforeIdAndStyleOnlyWithProperties) {
    KrHTML_BaseElement2 div("div");
    div.SetId("x");
    div.SetAttribute("class", "c");
    EXPECT_EQ(div.ToHTMLString(), "<div class=\"c\" id=\"x\"></div>");
    div.SetStyle("color: red;");
    EXPECT_EQ(div.ToHTMLString(), "<div class=\"c\" id=\"x\" style=\"color: red;\"></div>");
}

TEST(KrHTML_BaseElement2Test, RegisteringAMemberNameTwiceThrowsTwo) {
    KrHTML_BaseElement2 div("div");
    KrXMLComplexAttribute2 other;
    EXPECT_THROW(div.RegisterAttribute("id", &other), int);
}

TEST(KrHTML_BaseElement2Test, MemberEntriesReachTheMembersAndCanBeRemovedAndReplaced) {
    KrHTML_BaseElement2 div("div");
    auto* id = dynamic_cast<KrXMLComplexAttributeProxy2*>(div.GetAttribute("id"));
    ASSERT_NE(id, nullptr);
    div.SetAttribute("id", "x");
    EXPECT_EQ(id->GetTarget()->IsSet(), true);
    // Extra entries before and after the members keep the byte order.
    div.SetAttribute("zz", "2");
    div.SetAttribute("a", "1");
    EXPECT_EQ(div.ToHTMLString(), "<div a=\"1\" id=\"x\" zz=\"2\"></div>");
    // A removed member entry is gone; the name then takes a plain value.
    EXPECT_TRUE(div.RemoveAttribute("id"));
    EXPECT_FALSE(div.HasAttribute("id"));
    EXPECT_EQ(div.ToHTMLString(), "<div a=\"1\" zz=\"2\"></div>");
    div.SetAttribute("id", "y");
    EXPECT_EQ(dynamic_cast<KrXMLComplexAttributeProxy2*>(div.GetAttribute("id")), nullptr);
    EXPECT_EQ(div.ToHTMLString(), "<div a=\"1\" id=\"y\" zz=\"2\"></div>");
}

TEST(KrHTML_BaseElement2Test, MemberEntriesWorkBeforeAnyMemberIsSet) {
    // Each entry is reached first through a different door: the map's
    // SetFromString, the proxy's target, and reading alone.
    KrHTML_BaseElement2 div("div");
    for (const char* name : {"id", "class", "style"}) {
        ASSERT_NE(div.GetAttribute(name), nullptr) << name;
        EXPECT_FALSE(div.GetAttribute(name)->IsSet()) << name;
    }
    EXPECT_EQ(div.ToHTMLString(), "<div></div>");
    std::string appended;
    div.GetAttribute("id")->AppendTo(appended);
    EXPECT_EQ(appended, "");

    KrHTML_BaseElement2 styled("p");
    auto* style = dynamic_cast<KrStyleAttribute*>(
        dynamic_cast<KrXMLComplexAttributeProxy2*>(styled.GetAttribute("style"))->GetTarget());
    ASSERT_NE(style, nullptr);
    style->SetProperty("color")->SetValue("red");
    styled.GetAttribute("class")->SetFromString("c");
    EXPECT_EQ(styled.ToHTMLString(), "<p class=\"c\" style=\"color: red;\"></p>");
    EXPECT_FALSE(styled.GetAttribute("id")->IsSet());
}

TEST(KrHTML_BaseElement2Test, MemberNamesAnswerLookupsBeforeTheMembersExist) {
    // Reading alone, through every lookup and search, as for a page's text
    // nodes; then the listing of the map.
    KrHTML_BaseElement2 div("div");
    KrHTML_BaseElement2* text = new KrHTML_text2("word");
    div.AddChild(text);
    for (const char* name : {"id", "class", "style"}) {
        EXPECT_TRUE(text->HasAttribute(name)) << name;
        EXPECT_EQ(text->GetAttributeString(name, "-"), "") << name;
        EXPECT_TRUE(text->AttributeEquals(name, "")) << name;
        EXPECT_FALSE(text->AttributeEquals(name, "x")) << name;
    }
    EXPECT_FALSE(text->HasAttribute("title"));
    KrXMLGenericElement::GenericList withId;
    div.FindElementsWithAttribute(withId, "id");
    EXPECT_EQ(withId.size(), 2u);
    EXPECT_EQ(div.FindElementByAttribute("id", "x"), nullptr);
    EXPECT_EQ(div.ToHTMLString(), "<div>word</div>");

    std::string names;
    for (const auto& [name, attribute] : text->GetAttributes()) {
        names += name.str() + (attribute != nullptr && !attribute->IsSet() ? " " : "! ");
    }
    EXPECT_EQ(names, "class id style ");
    text->SetAttribute("class", "c");
    EXPECT_EQ(div.ToHTMLString(), "<div>word</div>");
    EXPECT_EQ(text->GetAttributeString("class", "-"), "c");
    EXPECT_EQ(div.FindElementByAttribute("class", "c"), text);
}

TEST(KrHTML_BaseElement2Test, TextNodesOfTheSameTextStayIndependent) {
    // Equal texts share one string until one of them is changed.
    auto first = std::make_unique<KrHTML_text2>("same");
    auto second = std::make_unique<KrHTML_text2>("same");
    first->AppendText(" changed");
    EXPECT_EQ(first->GetText(), "same changed");
    EXPECT_EQ(second->GetText(), "same");
    first.reset();
    EXPECT_EQ(second->ToHTMLString(), "same");
    KrHTML_text2 empty;
    empty.AppendText("a");
    empty.AppendText("b");
    EXPECT_EQ(empty.GetText(), "ab");
    EXPECT_EQ(KrHTML_text2().GetText(), "");
}

TEST(KrHTML_BaseElement2Test, ToJavaScriptCreateAppendsToBody) {
    KrHTML_BaseElement2 div("div");
    div.SetId("x");
    div.AddChild(new KrHTML_text2("hi"));
    EXPECT_EQ(div.ToJavaScriptCreate(),
              "{\nvar newelem = document.createElement('div');\n"
              "newelem.setAttribute('id','x');\n"
              "newelem.innerHTML=\"hi\";\n"
              "document.body.appendChild(newelem);\n }");

    KrHTML_BaseElement2 empty("p");
    EXPECT_EQ(empty.ToJavaScriptCreate(),
              "{\nvar newelem = document.createElement('p');\n"
              "newelem.innerHTML=\"\";\n"
              "document.body.appendChild(newelem);\n }");
}

TEST(KrHTML_BaseElement2Test, ToJavaScriptCreateEscapesEveryTextItEmits) {
    KrHTML_BaseElement2 div("div");
    div.SetAttribute("title", "it's \\ a\nb\xE2\x80\xA8");
    div.AdoptAttribute("hidden", nullptr);
    div.AdoptAttribute("x');alert(1);('", new KrXMLGenericAttribute("v"));
    KrHTML_BaseElement2* inner = new KrHTML_BaseElement2("b");
    div.AddChild(inner);
    inner->AddChild(new KrHTML_text2("\"q\" </script><!-- \xE2\x80\xA9"));

    EXPECT_EQ(div.ToJavaScriptCreate(),
              "{\nvar newelem = document.createElement('div');\n"
              "newelem.setAttribute('hidden','');\n"
              "newelem.setAttribute('title','it\\'s \\\\ a\\nb\\u2028');\n"
              "newelem.setAttribute('x\\');alert(1);(\\'','v');\n"
              "newelem.innerHTML=\"\\n<b>\\\"q\\\" <\\/script><\\!-- \\u2029<\\/b>\\n\";\n"
              "document.body.appendChild(newelem);\n }");
}

TEST(KrHTML_BaseElement2Test, TextNodeIsWrittenRawAndRefusesChildren) {
    KrHTML_text2 text("a < b & \"c\"");
    EXPECT_EQ(text.ToHTMLString(), "a < b & \"c\"");
    EXPECT_TRUE(text.IsText());
    EXPECT_FALSE(text.WantsNewline());
    EXPECT_EQ(text.GetName(), "xmltext");
    text.AppendText("!");
    EXPECT_EQ(text.GetText(), "a < b & \"c\"!");
    KrHTML_text2 child("x");  // never taken over, so it may live here
    try {
        text.AddChild(&child);
        FAIL() << "a text node took a child";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "child elements not allowed for xmltext");
    }
}

TEST(KrHTML_BaseElement2Test, AdjacentTextNodesHaveNothingBetweenThem) {
    KrHTML_BaseElement2 p("p");
    p.AddChild(new KrHTML_text2("one"));
    p.AddChild(new KrHTML_text2("two"));
    p.AddChild(new KrHTML_BaseElement2("br", true, false));
    EXPECT_EQ(p.ToHTMLString(), "<p>onetwo<br />\n</p>");
    std::ostringstream text;
    p.WriteText(text);
    EXPECT_EQ(text.str(), "onetwo");
}

TEST(KrHTML_BaseElement2Test, DoctypeWritesItsLine) {
    KrHTML_Doctype2 doctype("html");
    EXPECT_EQ(doctype.GetName(), "HTMLDoctype");
    EXPECT_EQ(doctype.ToXMLString(), "<!DOCTYPE html>\n");
}

TEST(KrHTML_BaseElement2Test, JavaScriptHandlerWrapsOnlyPlainCode) {
    struct Row {
        std::string code;
        bool wrap;
        bool wrapped;
    };
    const std::string pad48(48, ' ');
    const Row rows[] = {
        {"f();", true, true},
        {"f();", false, false},
        {"<script src=\"a.js\"></script>", true, false},
        // "<script" must end within the first 50 characters to be seen.
        {std::string(43, ' ') + "<script>", true, false},
        {std::string(44, ' ') + "<script>", true, true},
        {"", true, true},
    };
    for (const Row& row : rows) {
        KrJavaScriptHandler handler(row.code, row.wrap);
        const std::string expected =
            row.wrapped ? "<script>\n<!--\n" + row.code + "\n//-->\n</script>" : row.code;
        EXPECT_EQ(handler.ToXMLString(), expected) << row.code;
    }
    KrJavaScriptHandler handler("x", true);
    handler.SetText("y();");
    EXPECT_EQ(handler.ToXMLString(), "y();");
    EXPECT_EQ(handler.GetName(), "JavaScript");
}

TEST(KrHTML_BaseElement2Test, CSSHandlerWritesItsTextUnchanged) {
    KrCSSHandler css("p{color:red}");
    EXPECT_EQ(css.GetName(), "CSS");
    EXPECT_EQ(css.ToXMLString(), "p{color:red}");
    css.SetText("a{}");
    EXPECT_EQ(css.ToXMLString(), "a{}");
}

TEST(KrHTML_BaseElement2Test, SetStyleErrorsReachTheCaller) {
    KrHTML_BaseElement2 div("div");
    EXPECT_THROW(div.SetStyle("color"), KrException);
}
