#include "html/KrHTMLTagClasses.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "foundation/KrException.h"
#include "html/KrHTML_text2.h"

namespace {

struct TagRow {
    const char* tag;
    std::function<KrHTML_BaseElement2*()> make;
    int family;
    bool has0A, has0B, has0C;
    bool isVoid;
    bool plain;
};

#define QUIVO_TEST_ROW(tag, cls, family, mixins, isVoid, kind, inTable) \
    TagRow{tag,                                                         \
           []() -> KrHTML_BaseElement2* { return new cls(); },          \
           std::string(#family).back() - '0',                           \
           QUIVO_HTML_HAS_0A(mixins),                                   \
           QUIVO_HTML_HAS_0B(mixins),                                   \
           QUIVO_HTML_HAS_0C(mixins),                                   \
           isVoid,                                                      \
           std::string(#kind) == "PLAIN"},

const TagRow kRows[] = {QUIVO_HTML_TAGS(QUIVO_TEST_ROW)};

int familyOf(KrHTML_BaseElement2* element) {
    const bool f0 = dynamic_cast<KrHTML_ElementType0*>(element) != nullptr;
    const bool f1 = dynamic_cast<KrHTML_ElementType1*>(element) != nullptr;
    const bool f2 = dynamic_cast<KrHTML_ElementType2*>(element) != nullptr;
    if (f0 + f1 + f2 != 1) {
        return -1;
    }
    return f0 ? 0 : (f1 ? 1 : 2);
}

}  // namespace

TEST(KrHTMLTagClassesTest, ListHoldsEveryTagOnceAndTheVoidSetIsFamilyTwo) {
    std::set<std::string> tags;
    std::set<std::string> voids;
    size_t inTable = 0;
#define QUIVO_TEST_COUNT(tag, cls, family, mixins, isVoid, kind, table) \
    tags.insert(tag);                                                   \
    if (isVoid)                                                         \
        voids.insert(tag);                                              \
    inTable += (table) ? 1 : 0;
    QUIVO_HTML_TAGS(QUIVO_TEST_COUNT)
#undef QUIVO_TEST_COUNT
    EXPECT_EQ(tags.size(), 116u);
    EXPECT_EQ(inTable, 115u);
    EXPECT_EQ(voids, (std::set<std::string>{"area", "base", "br", "col", "embed", "frame", "hr",
                                            "img", "input", "keygen", "link", "meta", "param",
                                            "source", "track", "wbr"}));
    for (const TagRow& row : kRows) {
        EXPECT_EQ(row.isVoid, row.family == 2) << row.tag;
    }
}

TEST(KrHTMLTagClassesTest, EachClassHasItsFamilyMixinsFlagsAndWrittenForm) {
    for (const TagRow& row : kRows) {
        SCOPED_TRACE(row.tag);
        std::unique_ptr<KrHTML_BaseElement2> element(row.make());
        EXPECT_EQ(element->GetName(), row.tag);
        EXPECT_EQ(familyOf(element.get()), row.family);
        EXPECT_EQ(dynamic_cast<KrHTML_ElementType0A*>(element.get()) != nullptr, row.has0A);
        EXPECT_EQ(dynamic_cast<KrHTML_ElementType0B*>(element.get()) != nullptr, row.has0B);
        EXPECT_EQ(dynamic_cast<KrHTML_ElementType0C*>(element.get()) != nullptr, row.has0C);
        EXPECT_EQ(element->IsEmptyElement(), row.isVoid);
        EXPECT_FALSE(element->IsCollapsible());
        EXPECT_TRUE(element->WantsNewline());

        const std::string written = element->ToHTMLString();
        const std::string tag = row.tag;
        if (row.plain) {
            EXPECT_EQ(written, row.isVoid ? "<" + tag + " />" : "<" + tag + "></" + tag + ">");
            EXPECT_TRUE(element->GetChildren().empty());
        } else {
            // Hand-written classes may carry presets, but keep the tag's form.
            EXPECT_EQ(written.rfind("<" + tag, 0), 0u) << written;
            const std::string end = row.isVoid ? " />" : "</" + tag + ">";
            EXPECT_EQ(written.substr(written.size() - end.size()), end) << written;
        }
    }
}

TEST(KrHTMLTagClassesTest, VoidElementsRefuseChildren) {
    for (const TagRow& row : kRows) {
        if (!row.isVoid) {
            continue;
        }
        std::unique_ptr<KrHTML_BaseElement2> element(row.make());
        auto* child = new KrHTML_text2("x");
        try {
            element->AddChild(child);
            ADD_FAILURE() << row.tag << " took a child";
        } catch (const KrException& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("child elements not allowed for ") + row.tag);
        }
        delete child;
    }
}

TEST(KrHTMLTagClassesTest, FamiliesBuiltDirectlyCarryTheirOwnName) {
    KrHTML_ElementType0 widget("x-widget");
    EXPECT_EQ(widget.ToHTMLString(), "<x-widget></x-widget>");
    KrHTML_ElementType1 second("x-row");
    EXPECT_EQ(second.ToHTMLString(), "<x-row></x-row>");
    KrHTML_ElementType2 empty("x-void");
    EXPECT_TRUE(empty.IsEmptyElement());
    EXPECT_EQ(empty.ToHTMLString(), "<x-void />");
    EXPECT_THROW(empty.AddChild(nullptr), KrException);
    KrHTML_ElementType0A text("x-text");
    text.AddText("t");
    EXPECT_EQ(text.ToHTMLString(), "<x-text>t</x-text>");
}

TEST(KrHTMLTagClassesTest, AddTextAppendsOneNodePerCall) {
    KrHTML_span2 span;
    KrHTML_text2* one = span.AddText("one");
    KrHTML_text2* two = span.AddText("two");
    KrHTML_text2* none = span.AddText("");
    ASSERT_EQ(span.GetChildren().size(), 3u);
    EXPECT_EQ(span.GetChildren()[0], one);
    EXPECT_EQ(span.GetChildren()[1], two);
    EXPECT_EQ(span.GetChildren()[2], none);
    EXPECT_EQ(one->GetText(), "one");
    EXPECT_EQ(none->GetText(), "");
    EXPECT_EQ(span.ToHTMLString(), "<span>onetwo</span>");

    // An element made void refuses the text without losing the node.
    KrHTML_h22 heading;
    heading.SetEmptyElement(true);
    EXPECT_THROW(heading.AddText("x"), KrException);
    EXPECT_TRUE(heading.GetChildren().empty());
}

TEST(KrHTMLTagClassesTest, AddOperationsAppendTypedWidgets) {
    KrHTML_body2 body;
    KrHTML_div2* div = body.AddDiv("d", false);
    ASSERT_NE(div, nullptr);
    KrHTML_p2* p = div->AddP();
    ASSERT_NE(p, nullptr);
    p->AddSpan()->AddText("s");
    p->AddHr();
    KrHTML_form2* form = body.AddForm("/go", "POST");
    ASSERT_NE(form, nullptr);
    form->AddInputHidden("", "1", "quivoid");
    EXPECT_NE(form->AddButton(), nullptr);
    EXPECT_EQ(body.ToHTMLString(),
              "<body>\n<div id=\"d\">\n<p>\n<span>s</span>\n<hr />\n</p>\n</div>\n"
              "<form action=\"/go\" method=\"POST\">\n"
              "<input name=\"quivoid\" type=\"hidden\" value=\"1\" />\n<button></button>\n"
              "</form>\n</body>");

    KrHTML_div2 voidDiv;
    voidDiv.SetEmptyElement(true);
    EXPECT_THROW(voidDiv.AddSpan(), KrException);
}

TEST(KrHTMLTagClassesTest, SecondFamilyIsNotTheFirst) {
    std::unique_ptr<KrXMLComplexElement> p(new KrHTML_p2());
    EXPECT_NE(dynamic_cast<KrHTML_p2*>(p.get()), nullptr);
    EXPECT_NE(dynamic_cast<KrHTML_ElementType1*>(p.get()), nullptr);
    EXPECT_EQ(dynamic_cast<KrHTML_ElementType0*>(p.get()), nullptr);
    EXPECT_EQ(dynamic_cast<KrHTML_div2*>(p.get()), nullptr);
    KrHTML_td2 td;
    EXPECT_EQ(td.ToHTMLString(), "<td></td>");
}

TEST(KrHTMLTagClassesTest, DeletingThroughTheBaseFreesTheWholeTree) {
    KrXMLComplexElement* body = new KrHTML_body2();
    dynamic_cast<KrHTML_body2*>(body)->AddDiv("", false)->AddText("t");
    delete body;  // the sanitizer build reports anything left behind
}

TEST(KrHTMLTagClassesTest, MetaTakesOneAttributeText) {
    KrHTML_meta2 plain;
    EXPECT_EQ(plain.ToHTMLString(), "<meta />");
    KrHTML_meta2 charset("charset=\"utf-8\"");
    EXPECT_EQ(charset.ToHTMLString(), "<meta charset=\"utf-8\" />");
}

TEST(KrHTMLTagClassesTest, MediaClassesSetOnlyGivenAttributes) {
    KrHTML_iframe2 frame("a.html", "", "10", "");
    EXPECT_EQ(frame.ToHTMLString(), "<iframe height=\"10\" src=\"a.html\"></iframe>");
    EXPECT_EQ(frame.GetChildren().size(), 1u);
    KrHTML_img2 img("", "alt text", "");
    EXPECT_EQ(img.ToHTMLString(), "<img alt=\"alt text\" />");
    KrHTML_link2 link("s.css");
    EXPECT_EQ(link.ToHTMLString(), "<link href=\"s.css\" rel=\"stylesheet\" type=\"text/css\" />");
    KrHTML_link2 bare;
    EXPECT_EQ(bare.ToHTMLString(), "<link rel=\"stylesheet\" type=\"text/css\" />");
}
