#include "document/KrXMLGenericElement.h"

#include <gtest/gtest.h>

#include <string>

#include "document/KrXMLNumericKrAttributes.h"
#include "document/KrXML_Document2.h"

namespace {

KrXMLGenericElement* add(KrXMLComplexElement* parent, const std::string& name,
                         const std::string& key = std::string(),
                         const std::string& value = std::string()) {
    auto* e = new KrXMLGenericElement(name, true);
    if (!key.empty()) {
        e->SetAttribute(key, value);
    }
    parent->AddChild(e);
    return e;
}

std::string labels(const KrXMLGenericElement::GenericList& list) {
    std::string text;
    for (KrXMLGenericElement* e : list) {
        text += e->GetAttributeString("id", e->GetName()) + " ";
    }
    return text;
}

class Weighted : public KrXMLGenericElement {
  public:
    Weighted() : KrXMLGenericElement("w", true) { RegisterAttribute("weight", &weight); }
    KrXMLDoubleKrAttribute weight;
};

// xmldocument
//   project id=p1
//     stringvariables
//       stringvariable id=v1 name=x
//       stringvariable id=v2 name="a b"
//   project id=p2 hidden
//     stringvariables
//       stringvariable id=v3 name=x
class FindTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KrXMLGenericElement* p1 = add(&doc, "project", "id", "p1");
        KrXMLGenericElement* s1 = add(p1, "stringvariables");
        add(s1, "stringvariable", "id", "v1")->SetAttribute("name", "x");
        add(s1, "stringvariable", "id", "v2")->SetAttribute("name", "a b");
        KrXMLGenericElement* p2 = add(&doc, "project", "id", "p2");
        p2->AdoptAttribute("hidden", nullptr);
        KrXMLGenericElement* s2 = add(p2, "stringvariables");
        add(s2, "stringvariable", "id", "v3")->SetAttribute("name", "x");
    }
    KrXML_Document2 doc{"xmldocument"};
};

}  // namespace

TEST_F(FindTest, DottedPathWalksEveryBranchInDocumentOrder) {
    EXPECT_EQ(labels(doc.Find("project.stringvariables.stringvariable")), "v1 v2 v3 ");
    EXPECT_EQ(labels(doc.Find("project")), "p1 p2 ");
    EXPECT_EQ(labels(doc.Find("xmldocument.project")), "p1 p2 ");
}

TEST_F(FindTest, FiltersByValueQuotedValueAndPresence) {
    struct Row {
        const char* path;
        const char* expected;
    };
    const Row rows[] = {
        {"project[id=p2].stringvariables.stringvariable", "v3 "},
        {"project[id=\"p2\"].stringvariables.stringvariable", "v3 "},
        {"project.stringvariables.stringvariable[name=x]", "v1 v3 "},
        {"project.stringvariables.stringvariable[name=\"a b\"]", "v2 "},
        {"project[hidden]", "p2 "},
        {"project[hidden=]", "p2 "},
        {"project[hidden=\"\"]", "p2 "},
        {"project[id=p1", "p1 "},                                // unclosed at the end
        {"project[id=p1]xstringvariables", "stringvariables "},  // any character after ]
        {"project[]", ""},
        {"project[=p1]", ""},
        {"project[", ""},
        {"project.", ""},
        {".project", ""},
        {"", ""},
        {"nothing.project", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(labels(doc.Find(row.path)), row.expected) << row.path;
    }
}

TEST(KrXMLGenericElementFind, StepMatchesTheElementItselfAndSameNamedChild) {
    KrXMLGenericElement a("a", true);
    a.SetAttribute("id", "outer");
    add(&a, "a", "id", "inner");
    add(&a, "b", "id", "b");
    EXPECT_EQ(labels(a.Find("a")), "outer inner ");
    // Both a's lead to the inner a's children and to themselves: the inner
    // one is reached twice.
    EXPECT_EQ(labels(a.Find("a.a")), "outer inner inner ");
}

TEST(KrXMLGenericElementFind, BackslashesAndQuotesInsideFilter) {
    KrXMLGenericElement root("r", true);
    add(&root, "e", "v", "a\\b")->SetAttribute("id", "slash");
    add(&root, "e", "v", "a]b")->SetAttribute("id", "bracket");
    EXPECT_EQ(labels(root.Find("e[v=\"a\\\\b\"]")), "slash ");
    // A bracket inside quotes is dropped, so such a value cannot be matched.
    EXPECT_EQ(labels(root.Find("e[v=\"a]b\"]")), "");
}

TEST(KrXMLGenericElementFind, TypedAttributesCompareInWrittenForm) {
    KrXMLGenericElement root("r", true);
    auto* w = new Weighted;
    w->weight.Set(0.5);
    root.AddChild(w);
    EXPECT_EQ(root.Find("w[weight=0.5]").size(), 1u);
    EXPECT_EQ(root.Find("w[weight=0.50]").size(), 0u);
}
