#include "html/KrHTML_form2.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "foundation/KrException.h"
#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSMediaQuery.h"
#include "html/KrCSSProperty.h"
#include "html/KrCSSRule.h"
#include "html/KrHTMLPlainTags.h"
#include "html/KrHTML_a2.h"
#include "html/KrHTML_button2.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_input2.h"
#include "html/KrHTML_input2_blob.h"
#include "html/KrHTML_label2.h"
#include "html/KrHTML_option2.h"
#include "html/KrHTML_progress2.h"
#include "html/KrHTML_script2.h"
#include "html/KrHTML_select2.h"
#include "html/KrHTML_style2.h"
#include "html/KrHTML_text2.h"

namespace {

using Builder = std::function<KrHTML_BaseElement2*()>;

struct ConstructorCase {
    const char* what;
    Builder build;
    const char* html;
    size_t children;
};

// Which arguments a constructor sets only when non-empty and which it sets
// always decides the written attributes; each row pins one such choice.
const std::vector<ConstructorCase>& constructorCases() {
    static const std::vector<ConstructorCase> cases = {
        {"anchor, no arguments", [] { return new KrHTML_a2(); }, "<a></a>", 0},
        {"anchor, empty href and text: href always, text child always",
         [] { return new KrHTML_a2("", ""); }, "<a href=\"\"></a>", 1},
        {"anchor with href and text", [] { return new KrHTML_a2("/x", "go"); },
         "<a href=\"/x\">go</a>", 1},
        {"div, empty id, draggable", [] { return new KrHTML_div2("", true); },
         "<div onmousedown=\"quivo_start_drag(this);\"></div>", 0},
        {"div, empty id, not draggable", [] { return new KrHTML_div2("", false); }, "<div></div>",
         0},
        {"div with id", [] { return new KrHTML_div2("d1", false); }, "<div id=\"d1\"></div>", 0},
        {"form, empty action and method", [] { return new KrHTML_form2("", ""); }, "<form></form>",
         0},
        {"form as the tag table builds it", [] { return new KrHTML_form2(); },
         "<form method=\"POST\"></form>", 0},
        {"form with action and method", [] { return new KrHTML_form2("/post", "GET"); },
         "<form action=\"/post\" method=\"GET\"></form>", 0},
        {"button", [] { return new KrHTML_button2(); }, "<button></button>", 0},
        {"select, empty id and name: name always", [] { return new KrHTML_select2("", ""); },
         "<select name=\"\"></select>", 0},
        {"select with id and name", [] { return new KrHTML_select2("s", "n"); },
         "<select id=\"s\" name=\"n\"></select>", 0},
        {"option, empty, not selected", [] { return new KrHTML_option2("", "", false); },
         "<option value=\"\"></option>", 1},
        {"option selected", [] { return new KrHTML_option2("v", "Text", true); },
         "<option selected=\"1\" value=\"v\">Text</option>", 1},
        {"option as the tag table builds it", [] { return new KrHTML_option2(); },
         "<option value=\"\"></option>", 1},
        {"label, empty for and text", [] { return new KrHTML_label2("", ""); }, "<label></label>",
         0},
        {"label with for and text", [] { return new KrHTML_label2("f", "Name"); },
         "<label for=\"f\">Name</label>", 1},
        {"progress", [] { return new KrHTML_progress2(); }, "<progress></progress>", 0},
        {"script, no arguments", [] { return new KrHTML_script2(); },
         "<script type=\"text/javascript\">\n<!--\n\n//-->\n</script>", 0},
        {"script, empty src and code", [] { return new KrHTML_script2("", ""); },
         "<script type=\"text/javascript\">\n<!--\n\n//-->\n</script>", 0},
        {"script with src", [] { return new KrHTML_script2("a.js", ""); },
         "<script src=\"a.js\" type=\"text/javascript\">\n<!--\n\n//-->\n</script>", 0},
        {"script with code", [] { return new KrHTML_script2("", "f();"); },
         "<script type=\"text/javascript\">\n<!--\n\nf();\n//-->\n\n</script>", 1},
        {"style, no arguments", [] { return new KrHTML_style2(); },
         "<style type=\"text/css\"></style>", 0},
        {"style with src and text", [] { return new KrHTML_style2("s.css", "p{}"); },
         "<style src=\"s.css\" type=\"text/css\">p{}</style>", 1},
        {"plain input", [] { return new KrHTML_input2(); }, "<input />", 0},
        {"hidden, empty id: no id", [] { return new KrHTML_input2_hidden("", "v", "quivoid"); },
         "<input name=\"quivoid\" type=\"hidden\" value=\"v\" />", 0},
        {"hidden, empty value and name: both always",
         [] { return new KrHTML_input2_hidden("i", "", ""); },
         "<input id=\"i\" name=\"\" type=\"hidden\" value=\"\" />", 0},
        {"text input, empty value", [] { return new KrHTML_input2_text("", "", "n"); },
         "<input name=\"n\" type=\"text\" value=\"\" />", 0},
        {"submit input", [] { return new KrHTML_input2_button("b", "Go", "go"); },
         "<input id=\"b\" name=\"go\" type=\"submit\" value=\"Go\" />", 0},
        {"file input, all empty: id and accept always",
         [] { return new KrHTML_input2_file("", "", "", ""); },
         "<input accept=\"\" id=\"\" name=\"\" type=\"file\" value=\"\" />", 0},
        {"file input", [] { return new KrHTML_input2_file("f", "v", "up", "image/*"); },
         "<input accept=\"image/*\" id=\"f\" name=\"up\" type=\"file\" value=\"v\" />", 0},
        {"blob input: id always, buffer not shown",
         [] { return new KrHTML_input2_blob("", std::string("x\"y", 3), ""); },
         "<input id=\"\" name=\"\" type=\"blob\" />", 0},
        {"slider, empty id", [] { return new KrHTML_input2_slider("", "s", 50, 0, 100); },
         "<input max=\"100\" min=\"0\" name=\"s\" type=\"range\" value=\"50.000000\" />", 0},
        {"slider with id and fractions",
         [] { return new KrHTML_input2_slider("r", "s", 0.25, -1.5, 1e20); },
         "<input id=\"r\" max=\"1e+20\" min=\"-1.5\" name=\"s\" type=\"range\" value=\"0.250000\" "
         "/>",
         0},
    };
    return cases;
}

TEST(KrHTMLForms, ConstructorsSetArgumentsIfNonEmptyOrAlways) {
    for (const ConstructorCase& c : constructorCases()) {
        std::unique_ptr<KrHTML_BaseElement2> element(c.build());
        EXPECT_EQ(element->ToHTMLString(), c.html) << c.what;
        EXPECT_EQ(element->GetChildren().size(), c.children) << c.what;
    }
}

TEST(KrHTMLForms, SliderValueOfAnyMagnitudeIsFormattedInFull) {
    KrHTML_input2_slider huge("", "s", 1e300, 0, 1);
    const std::string value = huge.GetAttributeString("value", "");
    ASSERT_EQ(value.size(), 301u + 7u);
    EXPECT_EQ(value.substr(0, 1), "1");
    EXPECT_EQ(value.substr(value.size() - 7), ".000000");

    KrHTML_input2_slider negative("", "s", -1e300, 0, 1);
    EXPECT_EQ(negative.GetAttributeString("value", "").size(), 1u + 301u + 7u);

    KrHTML_input2_slider small("", "s", -0.0000004, 0, 1);
    EXPECT_EQ(small.GetAttributeString("value", ""), "-0.000000");
}

TEST(KrHTMLForms, EveryInputKindRefusesChildren) {
    std::vector<std::unique_ptr<KrHTML_BaseElement2>> inputs;
    inputs.emplace_back(new KrHTML_input2());
    inputs.emplace_back(new KrHTML_input2_hidden("", "", ""));
    inputs.emplace_back(new KrHTML_input2_text("", "", ""));
    inputs.emplace_back(new KrHTML_input2_button("", "", ""));
    inputs.emplace_back(new KrHTML_input2_file("", "", "", ""));
    inputs.emplace_back(new KrHTML_input2_blob("", "", ""));
    inputs.emplace_back(new KrHTML_input2_slider("", "", 0, 0, 1));
    for (auto& input : inputs) {
        KrHTML_text2 child("x");
        try {
            input->AddChild(&child);
            ADD_FAILURE() << "an input took a child";
        } catch (const KrException& e) {
            EXPECT_STREQ(e.what(), "child elements not allowed for input");
        }
        EXPECT_TRUE(input->GetChildren().empty());
        EXPECT_EQ(child.GetParent(), nullptr);
    }
}

TEST(KrHTMLForms, ScriptCodeIsWrittenUnchangedInsideCommentGuards) {
    KrHTML_script2 script("", "if (a < b && c) { x = \"</y>\"; }");
    EXPECT_EQ(script.ToHTMLString(),
              "<script type=\"text/javascript\">\n<!--\n\nif (a < b && c) { x = \"</y>\"; "
              "}\n//-->\n\n</script>");
}

TEST(KrHTMLForms, StyleHoldsTextAndCssObjectsOnly) {
    KrHTML_style2 style;
    style.AddChild(new KrHTML_text2("a{}"));
    style.AddChild(new KrXMLGenericText("b{}"));
    style.AddChild(new KrXMLGenericWhitespace("\n"));
    style.AddChild(new KrCSSHTMLComment());
    style.AddChild(new KrCSSMediaQuery("screen"));
    style.AddChild(new KrCSSRule("p"));
    ASSERT_EQ(style.GetChildren().size(), 6u);

    // A refused child is taken out and deleted by the tree (the sanitizer
    // build reports it otherwise).
    for (KrXMLComplexElement* refused : std::initializer_list<KrXMLComplexElement*>{
             new KrHTML_p2(), new KrCSSProperty("color:red", false)}) {
        try {
            style.AddChild(refused);
            ADD_FAILURE() << "style took " << refused->GetName();
        } catch (const KrException& e) {
            EXPECT_STREQ(e.what(), "must be an CSS element");
        }
        EXPECT_EQ(style.GetChildren().size(), 6u);
    }
}

TEST(KrHTMLForms, StyleContentIsReadAsCss) {
    KrHTML_style2 style;
    EXPECT_EQ(style.ChildDTD("html"), "css");
    EXPECT_EQ(style.ChildDTD(""), "html");
}

TEST(KrHTMLForms, ProgressWritesItsDoublesWithSixSignificantDigits) {
    KrHTML_progress2 progress;
    progress.SetMaxAndValue(100, 1.0 / 3.0);
    EXPECT_EQ(progress.ToHTMLString(), "<progress max=\"100\" value=\"0.333333\"></progress>");
    progress.SetValue(50);
    progress.SetMax(0.25);
    EXPECT_EQ(progress.ToHTMLString(), "<progress max=\"0.25\" value=\"50\"></progress>");
    EXPECT_THROW(progress.SetAttribute("max", "lots"), std::invalid_argument);
}

TEST(KrHTMLForms, SliderValueIsTextButMinAndMaxAreNumbers) {
    KrHTML_input2_slider slider("", "s", 1, 0, 2);
    slider.SetAttribute("value", "any text");
    EXPECT_EQ(slider.GetAttributeString("value", ""), "any text");
    EXPECT_THROW(slider.SetAttribute("min", "low"), std::invalid_argument);
}

TEST(KrHTMLForms, AddOperationsBuildAFormInCallOrder) {
    KrHTML_div2 div("box", false);
    KrHTML_form2* form = div.AddForm("/do", "POST");
    ASSERT_NE(form, nullptr);
    ASSERT_NE(form->AddInputHidden("", "42", "quivoid"), nullptr);
    KrHTML_select2* select = form->AddSelect("", "pick");
    ASSERT_NE(select, nullptr);
    select->AddChild(new KrHTML_option2("1", "One", false));
    select->AddChild(new KrHTML_option2("2", "Two", true));
    ASSERT_NE(form->AddInputButton("ok", "OK", "go"), nullptr);
    EXPECT_EQ(div.ToHTMLString(),
              "<div id=\"box\">\n"
              "<form action=\"/do\" method=\"POST\">\n"
              "<input name=\"quivoid\" type=\"hidden\" value=\"42\" />\n"
              "<select name=\"pick\">\n"
              "<option value=\"1\">One</option>\n"
              "<option selected=\"1\" value=\"2\">Two</option>\n"
              "</select>\n"
              "<input id=\"ok\" name=\"go\" type=\"submit\" value=\"OK\" />\n"
              "</form>\n"
              "</div>");
}

}  // namespace
