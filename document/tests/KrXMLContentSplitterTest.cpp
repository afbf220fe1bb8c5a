#include "document/KrXMLContentSplitter.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "document/KrDTDElementReadXML.h"
#include "document/KrDTDElementReaderStream.h"
#include "document/KrDTDElementReaderString.h"
#include "document/KrReadCursor.h"
#include "document/KrXMLDTD.h"
#include "document/KrXMLGenericElement.h"
#include "document/KrXMLNumericKrAttributes.h"
#include "foundation/KrException.h"

namespace {

// Every top-level node as "name:written form".
std::vector<std::string> Nodes(KrXMLComplexElement* top) {
    std::vector<std::string> nodes;
    for (KrXMLComplexElement* child : top->GetChildren()) {
        std::ostringstream out;
        child->Write(out);
        nodes.push_back(child->GetName() + ":" + out.str());
    }
    return nodes;
}

std::string ErrorOf(const std::string& text, const std::string& dtd = "xml") {
    KrDTDElementReaderString reader(&text, 0);
    try {
        reader.Split(dtd, 0);
    } catch (const KrException& e) {
        return e.what();
    }
    return "";
}

std::string Written(const std::string& text) {
    KrDTDElementReaderString reader(&text, 0);
    KrXMLComplexElement* top = reader.Split("xml", 0);
    std::ostringstream out;
    for (KrXMLComplexElement* child : top->GetChildren()) {
        child->Write(out);
    }
    return out.str();
}

}  // namespace

TEST(KrXMLContentSplitter, ReadsWordsAndBlanksAsSeparateNodes) {
    std::string text = "hello world";
    KrDTDElementReaderString reader(&text, 0);
    EXPECT_EQ(Nodes(reader.Split("xml", 0)),
              (std::vector<std::string>{"xmltext:hello", "xmlwhitespace: ", "xmltext:world"}));
}

TEST(KrXMLContentSplitter, ReadsCommentsProcessingInstructionsAndNestedElements) {
    std::string text = "<?xml version=\"1.0\"?><!-- a --><r x='1'><c/>t</r><!--x--->";
    KrDTDElementReaderString reader(&text, 0);
    EXPECT_EQ(Nodes(reader.Split("xml", 0)),
              (std::vector<std::string>{"procinst:<?xml version=\"1.0\"?>", "comment:<!-- a -->",
                                        "r:<r x=\"1\">\n<c />t</r>", "comment:<!--x--->"}));
}

TEST(KrXMLContentSplitter, AppliesAttributesInOrderLaterWinningValuelessTrue) {
    std::string text = "<input a=\"1\" disabled a='2' q='say \"hi\"'/>";
    KrDTDElementReaderString reader(&text, 0);
    auto* input = dynamic_cast<KrXMLGenericElement*>(reader.Split("xml", 0)->GetChildren()[0]);
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->GetAttributeString("a", "-"), "2");
    EXPECT_EQ(input->GetAttributeString("disabled", "-"), "true");
    EXPECT_EQ(input->GetAttributeString("q", "-"), "say \"hi\"");
}

TEST(KrXMLContentSplitter, WritesBackWhatItRead) {
    const std::string text = "<a b=\"c\">\n<d>x y</d>\n<e />\n</a>";
    EXPECT_EQ(Written(text), text);
}

// Attribute storage grows with the count: every size up to a tree's worth
// comes back in name order with its values, written and read again.
TEST(KrXMLContentSplitter, AttributeCountsRoundTripThroughWriteAndRead) {
    for (int count = 0; count <= 64; ++count) {
        SCOPED_TRACE(count);
        KrXMLGenericElement element("e", false);
        std::map<std::string, std::string> expected;
        for (int i = 0; i < count; ++i) {
            // Scrambled arrival, values long enough to live outside the name.
            const std::string name = "k" + std::to_string((i * 37) % 65);
            element.SetAttribute(name, std::string(static_cast<size_t>(i % 20), 'v') + name);
            expected[name] = std::string(static_cast<size_t>(i % 20), 'v') + name;
        }
        const std::string text = element.ToXMLString();
        KrDTDElementReaderString reader(&text, 0);
        KrXMLComplexElement* top = reader.Split("xml", 0);
        ASSERT_EQ(top->GetChildren().size(), 1u);
        auto* read = dynamic_cast<KrXMLGenericElement*>(top->GetChildren()[0]);
        ASSERT_NE(read, nullptr);
        ASSERT_EQ(read->GetAttributes().size(), expected.size());
        auto want = expected.begin();
        for (const auto& [name, attribute] : read->GetAttributes()) {
            EXPECT_EQ(name, want->first);
            EXPECT_EQ(read->GetAttributeString(name, "-"), want->second);
            ++want;
        }
        EXPECT_EQ(read->ToXMLString(), text);
    }
}

TEST(KrXMLContentSplitter, ByteFFIsTextNotEndOfInput) {
    std::string text = "<a>x\xFFy z</a>";
    KrDTDElementReaderString reader(&text, 0);
    KrXMLComplexElement* a = reader.Split("xml", 0)->GetChildren().at(0);
    ASSERT_EQ(a->GetChildren().size(), 3u);
    std::ostringstream out;
    a->GetChildren()[0]->Write(out);
    EXPECT_EQ(out.str(), "x\xFFy");
}

TEST(KrXMLContentSplitter, ReportsMalformedInputWithItsLine) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"<a><b></a>", "wrong closing tag '/a' instead '/b' around line 1"},
        {"<a><b>\n\n</a>", "wrong closing tag '/a' instead '/b' around line 3"},
        {"</a>", "wrong closing tag '/a' instead '/KrXMLContentSplitter::TOP' around line 1"},
        {"<a:b>", "incomplete tag 'a' around line 1"},
        {"x\n<a=b>", "incomplete tag 'a' around line 2"},
        {"<a\n", "reading error  around line 1"},
        {"</a >", "incomplete tag '/a' around line 1"},
        {"<a", "incomplete tag 'a' around line 1"},
        {"<a x= \"1\">", "reading error  around line 1"},
        {"<a x=\"1>", "reading error  around line 1"},
        {"a\nb\n<!-- never closed", "reading error  around line 3"},
        {"<!doctype html>", "reading error  around line 1"},
        {"", "error in stream around line 1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.text), c.message) << c.text;
    }
}

TEST(KrXMLContentSplitter, StartPastTheEndIsAnErrorInStream) {
    std::string text = "<a/>";
    KrDTDElementReaderString reader(&text, 4);
    EXPECT_THROW(reader.Split("xml", 0), KrException);
}

TEST(KrXMLContentSplitter, UnknownOrEmptyGrammarIsRefused) {
    EXPECT_EQ(ErrorOf("<a/>", "nope"), "DTD 'nope' not defined around line 1");
    EXPECT_EQ(ErrorOf("<a/>", ""), "DTD can't be empty");
}

TEST(KrXMLContentSplitter, UnclosedElementStaysAsRead) {
    std::string text = "<a><b>x";
    KrDTDElementReaderString reader(&text, 0);
    KrXMLComplexElement* top = reader.Split("xml", 0);
    ASSERT_EQ(top->GetChildren().size(), 1u);
    EXPECT_EQ(top->GetChildren()[0]->GetChildren()[0]->GetName(), "b");
    EXPECT_EQ(reader.Splitter().Current()->GetName(), "b");
}

TEST(KrXMLContentSplitter, NestingIsLimitedToAThousandLevels) {
    std::string ok;
    for (size_t i = 0; i < KrXMLContentSplitter::kMaxDepth; ++i) {
        ok += "<d>";
    }
    EXPECT_EQ(ErrorOf(ok + "x"), "");
    std::string deep = "\n" + ok + "<d>";
    EXPECT_EQ(ErrorOf(deep), "nesting too deep around line 2");
}

TEST(KrXMLContentSplitter, OneUnitModeStopsAfterOneUnitAndReportsTheIndex) {
    std::string text = "x <img src=\"a.png\"/> rest";
    KrDTDElementReaderString reader(&text, 2);
    KrXMLComplexElement* top = reader.Split("xml", 1);
    ASSERT_EQ(top->GetChildren().size(), 1u);
    EXPECT_EQ(top->GetChildren()[0]->GetName(), "img");
    EXPECT_EQ(reader.Index(), 20u);
}

TEST(KrXMLContentSplitter, StreamReaderReadsWholeStreamAndEmptyStreamIsEmpty) {
    std::istringstream in("<a>\n<b/>\n</a>");
    KrDTDElementReaderStream reader(&in);
    EXPECT_EQ(reader.Split("xml", 0)->GetChildren().size(), 1u);

    std::istringstream empty("");
    KrDTDElementReaderStream emptyReader(&empty);
    EXPECT_TRUE(emptyReader.Split("xml", 0)->GetChildren().empty());

    KrDTDElementReaderStream nullReader(nullptr);
    EXPECT_THROW(nullReader.Split("xml", 0), KrException);
}

TEST(KrXMLContentSplitter, FailedTryLeavesTheReaderWhereItWas) {
    // The comment recogniser reads "<!" and fails; the element recogniser
    // then sees the same characters and refuses them too.
    std::string text = "<!x>";
    KrDTDElementReaderString reader(&text, 0);
    KrReadUnit unit;
    EXPECT_FALSE(KrDTDElementRead_Comment().TryRead(reader, unit));
    EXPECT_EQ(reader.Position(), 0u);
    EXPECT_FALSE(KrDTDElementRead_Element().TryRead(reader, unit));
    EXPECT_EQ(reader.Position(), 0u);
}

TEST(KrXMLContentSplitter, GivingBackMoreThanReadThrows) {
    std::string text = "abc";
    KrDTDElementReaderString reader(&text, 0);
    KrReadCursor cursor(reader);
    cursor.Get();
    cursor.Get();
    cursor.GiveBack(1);
    EXPECT_THROW(cursor.GiveBack(2), KrException);
    cursor.Release();
    EXPECT_EQ(reader.Position(), 1u);
    EXPECT_THROW(reader.PushBack("xy"), KrException);
}

TEST(KrXMLContentSplitter, DuplicateRecogniserNameIsRefused) {
    KrDTD dtd = KrMakeXMLDTD("x");
    try {
        dtd.AddRead(new KrDTDElementRead_Text());
        FAIL() << "no exception";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "name can't be twice");
    }
    EXPECT_EQ(dtd.AddRead(nullptr), "");
    EXPECT_EQ(dtd.ReadNames().size(), 5u);
}

TEST(KrXMLContentSplitter, FactoryFailuresBecomeGrammarErrorsWithoutLeaks) {
    std::string text = "<a n=\"not a number\"/>";
    auto run = [&](KrDTD::Factory factory) {
        KrDTD dtd = KrMakeXMLDTD("t");
        dtd.AddFactory("xmlelement", std::move(factory));
        KrDTDElementReaderString reader(&text, 0);
        reader.SetDTD(dtd);
        try {
            reader.Split("t", 0);
        } catch (const KrException& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(run([](const std::string&, const KrDTD&) -> KrXMLComplexElement* { return nullptr; }),
              "problem in DTD with 'xmlelement' around line 1");
    EXPECT_EQ(run(nullptr), "element type 'xmlelement' not defined in DTD around line 1");
    // A typed member refuses the attribute's text after the element was made.
    struct Typed : KrXMLGenericElement {
        Typed() : KrXMLGenericElement("a", true) { RegisterAttribute("n", &number); }
        KrXMLDoubleKrAttribute number;
    };
    std::string message =
        run([](const std::string&, const KrDTD&) -> KrXMLComplexElement* { return new Typed(); });
    EXPECT_NE(message.find("around line 1"), std::string::npos) << message;
}

TEST(KrXMLContentSplitter, RefusedChildLeavesNoLeakAndNamesTheLine) {
    struct Picky : KrXMLGenericElement {
        Picky() : KrXMLGenericElement("p", true) {}
        void OnChildAdded(KrXMLComplexElement*) override {
            throw KrException("no childs possible", __LINE__, "src");
        }
    };
    KrDTD dtd = KrMakeXMLDTD("t");
    dtd.AddFactory("xmlelement", [](const std::string& name, const KrDTD&) -> KrXMLComplexElement* {
        if (name == "p") {
            return new Picky();
        }
        return new KrXMLGenericElement(name, true);
    });
    std::string text = "<p><q/>\n</p>";
    KrDTDElementReaderString reader(&text, 0);
    reader.SetDTD(dtd);
    try {
        reader.Split("t", 0);
        FAIL() << "no exception";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "no childs possible around line 1");
    }
}
