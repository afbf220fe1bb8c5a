#include "html/KrStyleAttribute.h"

#include <gtest/gtest.h>

#include <sstream>

#include "foundation/KrException.h"
#include "html/KrHTML_BaseElement2.h"

namespace {

std::string written(KrStyleAttribute& style) {
    std::ostringstream out;
    style.Write(out);
    std::string appended;
    style.AppendTo(appended);
    EXPECT_EQ(out.str(), appended);
    return out.str();
}

}  // namespace

TEST(KrStyleAttributeTest, ParsesDeclarationsAndWritesThemInNameOrder) {
    struct Row {
        const char* text;
        const char* expected;
    };
    const Row rows[] = {
        {"color: red; font-size: 12px;", "color: red;font-size: 12px;"},
        {"font-size:12px;color:red", "color: red;font-size: 12px;"},
        {" ; ;  ;", ""},
        {"", ""},
        {"\tcolor :\r\n red ;\n", "color: red;"},
        {"color: red; color: blue", "color: blue;"},
        // A ":" in a value and a ";" inside parentheses or quotes belong to it.
        {"background:url(http://h/a.png)", "background: url(http://h/a.png);"},
        {"background: url(data:image/png;base64,AAA=); color: red",
         "background: url(data:image/png;base64,AAA=);color: red;"},
        {"content: \"a;b:c\"; margin: 0", "content: \"a;b:c\";margin: 0;"},
        {"content: 'it\\'s;' ; margin: 0", "content: 'it\\'s;';margin: 0;"},
        {"a:b:c", "a: b:c;"},
        {": red", ": red;"},
    };
    for (const Row& row : rows) {
        KrStyleAttribute style;
        style.SetFromString(row.text);
        EXPECT_EQ(written(style), row.expected) << row.text;
    }
}

TEST(KrStyleAttributeTest, RefusesDeclarationsWithoutValue) {
    for (const char* text : {"color", "color: red; margin", "color:", "color:  ;", "margin:;"}) {
        KrStyleAttribute style;
        try {
            style.SetFromString(text);
            FAIL() << "accepted " << text;
        } catch (const KrException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("style syntax wrong at: >") + text + "< ");
        }
    }
    // Declarations before the faulty one stay.
    KrStyleAttribute style;
    EXPECT_THROW(style.SetFromString("color: red; margin"), KrException);
    EXPECT_EQ(written(style), "color: red;");
}

TEST(KrStyleAttributeTest, KeepsPropertiesTheTextDoesNotMention) {
    KrStyleAttribute style;
    style.SetFromString("color: red");
    style.SetStyle("margin: 0");
    style.SetFromCString(nullptr);
    style.SetFromCString("");
    style.SetFromCString("padding: 1px");
    EXPECT_EQ(written(style), "color: red;margin: 0;padding: 1px;");
}

TEST(KrStyleAttributeTest, SetPropertyReturnsOneEntryPerTrimmedName) {
    KrStyleAttribute style;
    style.SetFromString("color: red");
    KrCSSProperty* color = style.SetProperty(" color;");
    ASSERT_NE(color, nullptr);
    EXPECT_EQ(color->GetName(), "color");
    color->SetValue("blue");
    EXPECT_EQ(style.SetProperty("color"), color);
    KrCSSProperty* margin = style.SetProperty("margin");
    EXPECT_TRUE(margin->IsEmpty());
    EXPECT_EQ(written(style), "color: blue;");
    margin->SetValue("0");
    EXPECT_EQ(written(style), "color: blue;margin: 0;");
}

TEST(KrStyleAttributeTest, SetPropertyWithBadNameLeavesStyleUnchanged) {
    KrHTML_BaseElement2 div("div");
    KrStyleAttribute style;
    for (const char* name : {"", "  ", ";", "a:b", "x\"y", "a;b"}) {
        EXPECT_THROW(style.SetProperty(name), KrException) << name;
    }
    EXPECT_FALSE(style.IsSet());
    EXPECT_EQ(written(style), "");
}

TEST(KrStyleAttributeTest, OnlyEmptyValuedPropertiesWriteAnEmptyStyle) {
    KrHTML_BaseElement2 div("div");
    div.SetStyle("color: red");
    auto* style = dynamic_cast<KrStyleAttribute*>(
        dynamic_cast<KrXMLComplexAttributeProxy2*>(div.GetAttribute("style"))->GetTarget());
    ASSERT_NE(style, nullptr);
    style->SetProperty("color")->SetValue("");
    EXPECT_TRUE(style->IsSet());
    EXPECT_EQ(div.ToHTMLString(), "<div style=\"\"></div>");
}
