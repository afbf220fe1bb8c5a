#include "html/KrDocumentReader.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "document/KrXMLGenericElement.h"
#include "document/tests/FailingAllocations.h"
#include "html/KrCSSMediaQuery.h"
#include "html/KrCSSRule.h"
#include "html/KrHTMLTagClasses.h"
#include "html/KrHTML_Doctype2.h"
#include "html/KrHTML_Document2.h"
#include "html/KrHTML_text2.h"
#include "html/KrJavaScriptHandler.h"

namespace {

const char kPage[] =
    "<!DOCTYPE html>\n"
    "<html>\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<title>Quivo page</title>\n"
    "<link href=\"site.css\" rel=\"stylesheet\" type=\"text/css\">\n"
    "<style type=\"text/css\">\n"
    "p.note { color: red; margin: 0 }\n"
    "@media screen {\n"
    "  div#main { padding: 2px; }\n"
    "}\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<div id=\"main\"><div class=\"inner\">Hello <b>world</b><br>again</div></div>\n"
    "<form action=\"/go\" method=\"POST\">\n"
    "<input name=\"who\" type=\"text\" value=\"me\">\n"
    "<input disabled name=\"ok\" type=\"submit\">\n"
    "</form>\n"
    "</body>\n"
    "</html>\n";

const char kCSSAlone[] =
    "the 'css' grammar reads a style sheet inside a style element; read the sheet as "
    "'<style>...</style>' under 'html' around line 1";

template <class T>
T* First(KrXMLGenericElement* root, const std::string& name) {
    KrXMLGenericElement::GenericList found;
    root->FindGenericElementsByName(name, found, -1);
    return found.empty() ? nullptr : dynamic_cast<T*>(found.front());
}

std::string Load(const std::string& html, KrHTML_Document2& doc) {
    KrDocumentReader reader;
    EXPECT_TRUE(reader.LoadHTMLString(html, &doc)) << html;
    return doc.ToHTMLString();
}

std::string PreText(KrHTML_Document2& doc) {
    auto* pre = First<KrXMLComplexElement>(&doc, "pre");
    if (pre == nullptr) {
        return "";
    }
    std::ostringstream out;
    pre->WriteText(out);
    return out.str();
}

}  // namespace

TEST(KrDocumentReader, ReadsARealPageIntoTheTypedClassesAndWritesItStably) {
    KrHTML_Document2 doc(true);
    std::string first = Load(kPage, doc);

    EXPECT_NE(First<KrHTML_Doctype2>(&doc, "HTMLDoctype"), nullptr);
    EXPECT_NE(First<KrHTML_html2>(&doc, "html"), nullptr);
    EXPECT_NE(First<KrHTML_meta2>(&doc, "meta"), nullptr);
    EXPECT_NE(First<KrHTML_title2>(&doc, "title"), nullptr);
    auto* link = First<KrHTML_link2>(&doc, "link");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->GetAttributeString("href", ""), "site.css");
    auto* style = First<KrHTML_style2>(&doc, "style");
    ASSERT_NE(style, nullptr);
    int rules = 0;
    int queries = 0;
    for (KrXMLComplexElement* child : style->GetChildren()) {
        rules += dynamic_cast<KrCSSRule*>(child) != nullptr;
        queries += dynamic_cast<KrCSSMediaQuery*>(child) != nullptr;
    }
    EXPECT_EQ(rules, 1);
    EXPECT_EQ(queries, 1);
    auto* inner = First<KrHTML_div2>(&doc, "div");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->GetAttributeString("id", ""), "main");
    EXPECT_NE(First<KrHTML_form2>(&doc, "form"), nullptr);
    KrXMLGenericElement::GenericList inputs;
    doc.FindGenericElementsByName("input", inputs, -1);
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_NE(dynamic_cast<KrHTML_input2*>(inputs.front()), nullptr);
    EXPECT_EQ(inputs.back()->GetAttributeString("disabled", ""), "true");
    EXPECT_NE(first.find("again</div>"), std::string::npos) << first;

    KrHTML_Document2 again(true);
    std::string second = Load(first, again);
    EXPECT_EQ(second, first);
}

TEST(KrDocumentReader, VoidElementsAreCompleteWithTheirStartTag) {
    struct Case {
        const char* body;
        const char* written;
    };
    const Case cases[] = {
        {"a<br>b", "<body>a<br />b</body>"},
        {"<br><b>x</b>", "<body>\n<br />\n<b>x</b>\n</body>"},
        {"<img src=\"i.png\"></img>x", "<body>\n<img src=\"i.png\" />x</body>"},
        {"x</br>y", "<body>xy</body>"},
    };
    for (const Case& c : cases) {
        std::string html = std::string("<html><body>") + c.body + "</body></html>";
        KrXMLGenericElement* out = nullptr;
        EXPECT_EQ(KrDocumentReader().ParseHTMLStream(html, &out), "") << c.body;
        std::unique_ptr<KrXMLGenericElement> owned(out);
        ASSERT_NE(out, nullptr);
        auto* body = First<KrHTML_body2>(out, "body");
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(body->ToHTMLString(), c.written) << c.body;
    }
    KrHTML_Document2 doc(true);
    Load("<html><head><meta charset=\"utf-8\"><title>t</title></head></html>", doc);
    auto* title = First<KrHTML_title2>(&doc, "title");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->GetParent()->GetName(), "head");
}

TEST(KrDocumentReader, HTMLResultIsTheHtmlElementNotTheDoctype) {
    KrXMLGenericElement* out = nullptr;
    EXPECT_EQ(KrDocumentReader().ParseHTMLStream(kPage, &out), "");
    std::unique_ptr<KrXMLGenericElement> owned(out);
    ASSERT_NE(dynamic_cast<KrHTML_html2*>(out), nullptr);

    std::string error;
    std::istringstream in("<?xml version=\"1.0\"?>\n<store><x/></store>");
    std::unique_ptr<KrXMLComplexElement> xml(KrDocumentReader().ParseStream(&in, "xml", error));
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(xml->GetName(), "store");
}

TEST(KrDocumentReader, ParseErrorsAreReportedWithTheLine) {
    std::string error;
    std::istringstream in("<a>\n<b>\n</a>");
    EXPECT_EQ(KrDocumentReader().ParseStream(&in, "xml", error), nullptr);
    EXPECT_EQ(error, "wrong closing tag '/a' instead '/b' around line 3");

    std::string empty;
    std::string emptyError;
    EXPECT_EQ(KrDocumentReader().ParseString(empty, 0, nullptr, "xml", emptyError, 0), nullptr);
    EXPECT_EQ(emptyError, "error in stream around line 1");

    std::string onlyText = "just <!-- c --> words";
    std::string textError;
    EXPECT_EQ(KrDocumentReader().ParseString(onlyText, 0, nullptr, "xml", textError, 0), nullptr);
    EXPECT_EQ(textError, "no element in the text read under 'xml' around line 1");
}

TEST(KrDocumentReader, AWholeTextHasOneRootElement) {
    struct Case {
        const char* dtd;
        const char* text;
        const char* root;   // name of the result; null when there is none
        const char* error;  // the error text; "" when accepted
    };
    const Case cases[] = {
        {"xml", "<a/>", "a", ""},
        {"xml", "<?xml version=\"1.0\"?>\n<!-- c -->\n<a><b/><c/></a>\n<!-- d -->\n<?pi x?>\n", "a",
         ""},
        {"xml", "<a/><b/>", nullptr, "second top-level element 'b' after 'a' around line 1"},
        {"xml", "<a>\n</a>\n<!-- c -->\n<b></b>", nullptr,
         "second top-level element 'b' after 'a' around line 4"},
        {"xml", "<a/> trailing words", "a", ""},
        {"xmlhtml", "<div/><p/>", nullptr,
         "second top-level element 'p' after 'div' around line 1"},
        {"html", "<!DOCTYPE html>\n<html><body></body></html>\n", "html", ""},
        {"html", "<html></html>\n<p>x</p>", nullptr,
         "second top-level element 'p' after 'html' around line 2"},
        // A style sheet is a sequence of rules; none of them is a root.
        {"css", "p { color: red; }\ndiv { margin: 0; }\n", nullptr, kCSSAlone},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        std::string error;
        std::unique_ptr<KrXMLComplexElement> fromString(
            KrDocumentReader().ParseString(text, 0, nullptr, c.dtd, error, 0));
        std::string streamError;
        std::istringstream in(text);
        std::unique_ptr<KrXMLComplexElement> fromStream(
            KrDocumentReader().ParseStream(&in, c.dtd, streamError));
        for (const auto* result : {&fromString, &fromStream}) {
            if (c.root == nullptr) {
                EXPECT_EQ(*result, nullptr) << c.text;
            } else {
                ASSERT_NE(*result, nullptr) << c.text << ": " << error;
                EXPECT_EQ((*result)->GetName(), c.root) << c.text;
            }
        }
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_EQ(streamError, c.error) << c.text;
    }
    // One-unit mode reads the first element and leaves the rest unread.
    std::string two = "<a/><b/>";
    std::string error;
    size_t end = 0;
    std::unique_ptr<KrXMLComplexElement> first(
        KrDocumentReader().ParseString(two, 0, &end, "xml", error, 1));
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(end, 4u);
}

TEST(KrDocumentReader, ANullResultAlwaysComesWithItsReason) {
    struct Case {
        const char* dtd;
        const char* text;
        size_t start;
        int stopAfterOne;
        const char* error;  // "": reads a style element; null: the reader's own located error
    };
    const Case cases[] = {
        {"html", "<style>\np { color: red; }\n</style>", 0, 0, ""},
        {"xmlhtml", "<style>@media screen { p { color: red; } }</style>", 0, 0, ""},
        {"css", "@media screen { p { color: red; } }\n/* c */\n", 0, 0, kCSSAlone},
        {"css", "p { color: red; }", 0, 1, kCSSAlone},
        {"cssRule", "color: red;", 0, 0,
         "the 'cssRule' grammar reads the declarations of a rule inside a style element; read "
         "the sheet as '<style>...</style>' under 'html' around line 1"},
        {"html", "<!DOCTYPE html>\n<!-- c -->\n", 0, 0,
         "no element in the text read under 'html' around line 1"},
        {"xmlhtml", "<a/>\nwords", 5, 0,
         "no element in the text read under 'xmlhtml' around line 2"},
        {"xml", "<a/>\n<!-- c -->", 5, 1,
         "the unit read under 'xml' is not an element around line 2"},
        {"css", "", 0, 0, nullptr},
        {"html", "<a/>", 9, 1, nullptr},
        {"css", "<style>p { color: red; }</style>", 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        std::string error;
        std::unique_ptr<KrXMLComplexElement> result(
            KrDocumentReader().ParseString(text, c.start, nullptr, c.dtd, error, c.stopAfterOne));
        if (c.error != nullptr && *c.error == '\0') {
            ASSERT_NE(dynamic_cast<KrHTML_style2*>(result.get()), nullptr)
                << c.text << ": " << error;
            int sheetParts = 0;
            for (KrXMLComplexElement* child : result->GetChildren()) {
                sheetParts += dynamic_cast<KrCSSRule*>(child) != nullptr ||
                              dynamic_cast<KrCSSMediaQuery*>(child) != nullptr;
            }
            EXPECT_EQ(sheetParts, 1) << c.text;
            continue;
        }
        EXPECT_EQ(result, nullptr) << c.text;
        if (c.error != nullptr) {
            EXPECT_EQ(error, c.error) << c.text;
        } else {
            EXPECT_NE(error.find(" around line "), std::string::npos) << c.text << ": " << error;
        }
    }
    // An empty stream reads as an empty document, which has no element.
    std::istringstream empty;
    std::string emptyError;
    EXPECT_EQ(KrDocumentReader().ParseStream(&empty, "xml", emptyError), nullptr);
    EXPECT_EQ(emptyError, "no element in the text read under 'xml' around line 1");
}

TEST(KrDocumentReader, OneUnitModeReadsOneImageAndTellsWhereItEnded) {
    std::string page = "x <img src=\"a.png\"/> more";
    std::string error;
    size_t end = 0;
    std::unique_ptr<KrXMLComplexElement> img(
        KrDocumentReader().ParseString(page, 2, &end, "html", error, 1));
    ASSERT_NE(dynamic_cast<KrHTML_img2*>(img.get()), nullptr) << error;
    EXPECT_EQ(end, 20u);
    EXPECT_EQ(static_cast<KrXMLGenericElement*>(img.get())->GetAttributeString("src", ""), "a.png");
}

TEST(KrDocumentReader, LoadReportsFailureInThePageAndInItsResult) {
    KrDocumentReader reader;
    {
        KrHTML_Document2 doc;
        EXPECT_FALSE(reader.LoadHTMLString("<p>no page here</p>", &doc));
        EXPECT_EQ(PreText(doc), "no html element");
    }
    {
        KrHTML_Document2 doc;
        EXPECT_FALSE(reader.LoadHTMLString("<html>\n<body></p></body></html>", &doc));
        EXPECT_EQ(PreText(doc), "wrong closing tag '/p' instead '/body' around line 2");
    }
    {
        KrHTML_Document2 doc;
        EXPECT_FALSE(reader.LoadHTMLFile("/nonexistent/page.html", &doc));
        EXPECT_EQ(PreText(doc), "error in stream around line 1");
        EXPECT_NE(First<KrHTML_meta2>(&doc, "meta"), nullptr);
    }
    {
        KrHTML_Document2 doc;
        EXPECT_TRUE(reader.LoadHTMLString(kPage, &doc));
        EXPECT_EQ(First<KrHTML_pre2>(&doc, "pre"), nullptr);
        EXPECT_EQ(First<KrHTML_meta2>(&doc, "meta")->GetAttributeString("charset", ""), "utf-8");
    }
    EXPECT_FALSE(reader.LoadHTMLString(kPage, nullptr));
}

TEST(KrDocumentReader, ScriptGuardsAreTakenOffOnceWhenRead) {
    KrHTML_Document2 page("t");
    page.AddScript("", "if (a) { go(); }");
    page.AddScript("lib.js", "");
    std::string first = page.ToHTMLString();

    KrHTML_Document2 second;
    std::string secondText = Load(first, second);
    EXPECT_EQ(secondText, first);
    auto* script = First<KrHTML_script2>(&second, "script");
    ASSERT_NE(script, nullptr);
    ASSERT_EQ(script->GetChildren().size(), 1u);
    auto* code = dynamic_cast<KrJavaScriptHandler*>(script->GetChildren()[0]);
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->GetText(), "if (a) { go(); }");

    KrHTML_Document2 third;
    EXPECT_EQ(Load(secondText, third), first);
}

TEST(KrDocumentReader, ScriptWithoutGuardsKeepsItsCodeAndSettles) {
    KrHTML_Document2 doc;
    std::string once = Load("<html><body><script>var a = 1;</script></body></html>", doc);
    KrHTML_Document2 again;
    std::string twice = Load(once, again);
    EXPECT_EQ(twice, once);
    auto* code = dynamic_cast<KrJavaScriptHandler*>(
        First<KrHTML_script2>(&again, "script")->GetChildren().at(0));
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->GetText(), "var a = 1;");
}

TEST(KrDocumentReader, ParseHTMLStringRebuildsTreesInTheTagClasses) {
    KrXMLGenericElement plain("div", true);
    plain.SetAttribute("id", "x");
    plain.AddChild(new KrXMLGenericElement("span", true));
    std::unique_ptr<KrXMLGenericElement> typed(KrDocumentReader().ParseHTMLString(&plain));
    ASSERT_NE(dynamic_cast<KrHTML_div2*>(typed.get()), nullptr);
    EXPECT_EQ(typed->GetAttributeString("id", ""), "x");
    EXPECT_NE(First<KrHTML_span2>(typed.get(), "span"), nullptr);
    EXPECT_EQ(KrDocumentReader().ParseHTMLString(nullptr), nullptr);
}

TEST(KrDocumentReader, FailingAttributeOfATagClassLeavesNoLeak) {
    // The style attribute refuses a declaration with two colons.
    KrXMLGenericElement* out = nullptr;
    std::string error = KrDocumentReader().ParseHTMLStream(
        "<html><body>\n<div style=\"color\"><p>x</p></div></body></html>", &out);
    EXPECT_EQ(out, nullptr);
    EXPECT_NE(error.find("style syntax wrong at: >color< "), std::string::npos) << error;
    EXPECT_NE(error.find("around line 2"), std::string::npos) << error;
}

TEST(KrDocumentReader, RunningOutOfMemoryIsAReadingError) {
    std::string page = "<!DOCTYPE html>\n<html><head><style>p { color: red; }</style></head><body>";
    for (int i = 0; i < 12; ++i) {
        page += "<div class=\"c" + std::to_string(i) + "\"><ul>";
        for (int item = 0; item < 20; ++item) {
            page += "<li>" + std::to_string(item) + "</li>";
        }
        page += "</ul><p>text <b>bold</b>";
    }
    for (int i = 0; i < 12; ++i) {
        page += "</p></div>";
    }
    page += "</body></html>\n";
    // Memory runs out at every point of the reading in turn.
    int failures = 0;
    for (long budget = 0;; ++budget) {
        std::string error;
        std::unique_ptr<KrXMLComplexElement> tree;
        {
            FailingAllocations limit(budget);
            tree.reset(KrDocumentReader().ParseString(page, 0, nullptr, "html", error, 0));
        }
        if (tree) {
            EXPECT_EQ(error, "");
            break;
        }
        ++failures;
        ASSERT_EQ(error, "out of memory") << "budget " << budget;
    }
    EXPECT_GT(failures, 500);
}

namespace {

// A stream buffer whose reading fails with `Failure`, as a file on a
// vanished disk or a network stream can.
template <class Failure>
class FailingBuffer : public std::streambuf {
  public:
    explicit FailingBuffer(Failure failure) : _failure(failure) {}

  protected:
    int_type underflow() override { throw _failure; }

  private:
    Failure _failure;
};

template <class Failure>
std::string ErrorOfFailingStream(Failure failure) {
    FailingBuffer<Failure> buffer(failure);
    std::istream in(&buffer);
    // The stream passes what its buffer threw on to the reader.
    in.exceptions(std::ios::badbit);
    std::string error;
    std::unique_ptr<KrXMLComplexElement> tree(KrDocumentReader().ParseStream(&in, "xml", error));
    EXPECT_EQ(tree, nullptr);
    return error;
}

}  // namespace

TEST(KrDocumentReader, EveryFailureOfTheInputComesBackAsAnErrorText) {
    EXPECT_EQ(ErrorOfFailingStream(std::runtime_error("disk gone")), "disk gone");
    EXPECT_EQ(ErrorOfFailingStream(std::bad_alloc()), "out of memory");
    EXPECT_EQ(ErrorOfFailingStream(42), "catched an error while processing input");
}
