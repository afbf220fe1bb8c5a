#include "html/KrHTMLDTDs.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "html/KrCSSHTMLComment.h"
#include "html/KrCSSMediaQuery.h"
#include "html/KrCSSProperty.h"
#include "html/KrCSSRule.h"
#include "html/KrDocumentReader.h"
#include "html/KrHTMLTagClasses.h"

namespace {

// Each child of the style element read from `sheet`, as "name:written".
std::vector<std::string> Sheet(const std::string& sheet, std::string* error = nullptr) {
    std::string html = "<html><style>" + sheet + "</style></html>";
    std::string message;
    std::unique_ptr<KrXMLComplexElement> root(
        KrDocumentReader().ParseString(html, 0, nullptr, "html", message, 0));
    if (error != nullptr) {
        *error = message;
    }
    std::vector<std::string> nodes;
    if (!root) {
        return nodes;
    }
    KrXMLComplexElement* style = root->GetChildren().at(0);
    for (KrXMLComplexElement* child : style->GetChildren()) {
        std::ostringstream out;
        child->Write(out);
        nodes.push_back(child->GetName() + ":" + out.str());
    }
    return nodes;
}

std::string SheetError(const std::string& sheet) {
    std::string error;
    Sheet(sheet, &error);
    return error;
}

}  // namespace

TEST(KrHTMLDTDs, GrammarsHoldTheirRecognisersInTryingOrder) {
    EXPECT_EQ(KrHTMLDTDs().Names(),
              (std::vector<std::string>{"css", "cssRule", "html", "xml", "xmlhtml"}));
    EXPECT_EQ(KrHTMLDTDs().Find("html")->ReadNames(),
              (std::vector<std::string>{"htmldoctype", "xmlcomment", "xmlelement", "xmlprocinst",
                                        "xmltext", "xmlwhitespace"}));
    EXPECT_EQ(KrHTMLDTDs().Find("cssRule")->ReadNames(),
              (std::vector<std::string>{"css_a_whitespace", "css_b_closer", "css_c_comment",
                                        "css_f_property"}));
}

TEST(KrHTMLDTDs, ReadsARuleWithItsDeclarations) {
    std::string html = "<html><style>p.x { color: red; margin: 0 }</style></html>";
    std::string error;
    std::unique_ptr<KrXMLComplexElement> root(
        KrDocumentReader().ParseString(html, 0, nullptr, "html", error, 0));
    ASSERT_NE(root, nullptr) << error;
    KrXMLComplexElement* style = root->GetChildren().at(0);
    ASSERT_NE(dynamic_cast<KrHTML_style2*>(style), nullptr);
    ASSERT_EQ(style->GetChildren().size(), 1u);
    auto* rule = dynamic_cast<KrCSSRule*>(style->GetChildren()[0]);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->GetSelector(), "p.x ");
    std::vector<std::string> kinds;
    for (KrXMLComplexElement* child : rule->GetChildren()) {
        kinds.push_back(child->GetName());
    }
    // The blank before "}" is given back by the last declaration and read
    // once as its own whitespace node.
    EXPECT_EQ(kinds, (std::vector<std::string>{"xmlwhitespace", "cssproperty", "xmlwhitespace",
                                               "cssproperty", "xmlwhitespace"}));
    EXPECT_EQ(dynamic_cast<KrCSSProperty*>(rule->GetChildren()[3])->GetValue(), "0");
    std::ostringstream out;
    rule->Write(out);
    EXPECT_EQ(out.str(), "p.x { color: red; margin: 0; }");
}

TEST(KrHTMLDTDs, AtRulesEndingInSemicolonStandAloneAndOpenNoLevel) {
    EXPECT_EQ(
        Sheet("@charset \"utf-8\";@import url(a;b.css);\np{a:b}"),
        (std::vector<std::string>{"xmltext:@charset \"utf-8\";", "xmltext:@import url(a;b.css);",
                                  "xmlwhitespace:\n", "cssrule:p{a: b;}"}));
    EXPECT_EQ(Sheet("@media screen {p{a:b}}"),
              (std::vector<std::string>{"cssmediaquery:@media screen {p{a: b;}}"}));
}

TEST(KrHTMLDTDs, SemicolonAndBraceInsideQuotesOrParenthesesBelongToTheValue) {
    EXPECT_EQ(Sheet("p{content:\"a;}\";background:url(x;y}.png)}"),
              (std::vector<std::string>{"cssrule:p{content: \"a;}\";background: url(x;y}.png);}"}));
}

TEST(KrHTMLDTDs, CommentsAndHTMLCommentWrapperAreKept) {
    EXPECT_EQ(Sheet("/* c */<!-- /*x*/ -->"),
              (std::vector<std::string>{"xmltext:/* c */", "csshtmlcomment:<!-- /*x*/ -->"}));
    EXPECT_EQ(Sheet("p{a:b}/*z*/"),
              (std::vector<std::string>{"cssrule:p{a: b;}", "xmltext:/*z*/"}));
}

TEST(KrHTMLDTDs, StyleSheetWrappedInAnHTMLCommentIsHeldAsText) {
    EXPECT_EQ(Sheet("<!-- p { color: red; } -->"),
              (std::vector<std::string>{"csshtmlcomment:<!-- p { color: red; } -->"}));
    EXPECT_EQ(Sheet("\n<!--\np{a:b}\n@media print { q{c:d} }\n-->\n<!---->"),
              (std::vector<std::string>{"xmlwhitespace:\n",
                                        "csshtmlcomment:<!--\np{a:b}\n@media print { q{c:d} }\n-->",
                                        "xmlwhitespace:\n", "csshtmlcomment:<!---->"}));
    // A whole page with such a style sheet reads and writes back unchanged.
    const std::string page =
        "<html>\n<head>\n<style type=\"text/css\"><!-- p { color: red; } --></style>\n</head>\n"
        "</html>";
    std::string error;
    std::unique_ptr<KrXMLComplexElement> root(
        KrDocumentReader().ParseString(page, 0, nullptr, "html", error, 0));
    ASSERT_TRUE(root) << error;
    std::ostringstream out;
    root->Write(out);
    EXPECT_EQ(out.str(), page);
}

TEST(KrHTMLDTDs, MalformedStyleSheetsGiveReadingErrors) {
    EXPECT_EQ(SheetError("{a:b}"), "reading error  around line 1");
    EXPECT_EQ(SheetError("p{\n.q{a:b}}"), "reading error  around line 2");
    // A stray "}" closes no HTML element.
    EXPECT_EQ(SheetError("p{a:b}\n}"), "wrong closing tag '}' instead '/style' around line 2");
    EXPECT_EQ(SheetError("@media print {-->}"),
              "wrong closing tag '-->' instead '/cssmediaquery' around line 1");
    // A wrapper must end before its style element does.
    EXPECT_EQ(SheetError("<!-- p{a:b}"), "reading error  around line 1");
    EXPECT_EQ(SheetError("<!-- p{a:b}</style><!-- -->"), "reading error  around line 1");
    EXPECT_EQ(SheetError("p{color red}"),
              "CSS property not well formed (missing ':'). around line 1");
    EXPECT_EQ(SheetError("p{a:b"), "reading error  around line 1");
    EXPECT_EQ(SheetError("<-"), "reading error  around line 1");
}
