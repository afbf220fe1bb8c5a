#include "document/KrXMLGenericElement.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "document/KrXMLNumericKrAttributes.h"
#include "document/KrXMLStringKrAttribute.h"
#include "foundation/KrException.h"

namespace {

// An element subclass with typed members, registered the way the HTML
// elements do it.
class Typed : public KrXMLGenericElement {
  public:
    Typed() : KrXMLGenericElement("typed", true) {
        RegisterAttribute("id", &id);
        RegisterAttribute("count", &count);
    }
    KrXMLStringKrAttribute id;
    KrXMLInt64_tKrAttribute count;
};

// Frees nothing but records that it was freed.
class Tracked : public KrXMLGenericAttribute {
  public:
    explicit Tracked(bool* freed) : KrXMLGenericAttribute("t"), _freed(freed) {}
    ~Tracked() override { *_freed = true; }

  private:
    bool* _freed;
};

KrXMLGenericElement* withAttribute(const std::string& name, const std::string& key,
                                   const std::string& value) {
    auto* e = new KrXMLGenericElement(name, true);
    e->SetAttribute(key, value);
    return e;
}

}  // namespace

TEST(KrXMLGenericElement, AttributeStringDistinguishesAbsentBareAndUnset) {
    Typed e;
    e.AdoptAttribute("hidden", nullptr);
    e.SetAttribute("title", "t");
    EXPECT_EQ(e.GetAttributeString("missing", "dflt"), "dflt");
    EXPECT_EQ(e.GetAttributeString("hidden", "dflt"), "");
    EXPECT_EQ(e.GetAttributeString("id", "dflt"), "");
    EXPECT_EQ(e.GetAttributeString("title", "dflt"), "t");
    EXPECT_TRUE(e.HasAttribute("hidden"));
    EXPECT_FALSE(e.AttributeEquals("hidden", ""));
    EXPECT_TRUE(e.AttributeEquals("title", "t"));
    EXPECT_FALSE(e.AttributeEquals("missing", ""));
}

TEST(KrXMLGenericElement, SetAttributeReachesRegisteredMembers) {
    Typed e;
    EXPECT_TRUE(e.SetAttribute("count", "42xyz"));
    EXPECT_EQ(e.count.Get(), 42);
    EXPECT_TRUE(e.AttributeEquals("count", "42"));
    EXPECT_THROW(e.SetAttribute("count", "xyz"), std::invalid_argument);
    EXPECT_EQ(e.count.Get(), 42);
    e.SetAttribute("id", "main");
    EXPECT_EQ(e.id.Get(), "main");
}

TEST(KrXMLGenericElement, SetAttributeOnBareEntryGivesItAValue) {
    KrXMLGenericElement e("e", true);
    e.AdoptAttribute("flag", nullptr);
    e.SetAttribute("flag", "on");
    EXPECT_EQ(e.GetAttributeString("flag", ""), "on");
}

TEST(KrXMLGenericElement, RegisteringANameTwiceThrowsTwoAndKeepsTheMap) {
    Typed e;
    KrXMLStringKrAttribute other("x");
    try {
        e.RegisterAttribute("id", &other);
        FAIL();
    } catch (int code) {
        EXPECT_EQ(code, 2);
    }
    e.id.Set("mine");
    EXPECT_EQ(e.GetAttributeString("id", ""), "mine");
}

TEST(KrXMLGenericElement, AdoptAttributeFreesItsArgumentOnDuplicate) {
    KrXMLGenericElement e("e", true);
    bool firstFreed = false;
    bool secondFreed = false;
    e.AdoptAttribute("a", new Tracked(&firstFreed));
    try {
        e.AdoptAttribute("a", new Tracked(&secondFreed));
        FAIL();
    } catch (int code) {
        EXPECT_EQ(code, 2);
    }
    EXPECT_TRUE(secondFreed);
    EXPECT_FALSE(firstFreed);
    EXPECT_TRUE(e.RemoveAttribute("a"));
    EXPECT_TRUE(firstFreed);
    EXPECT_FALSE(e.RemoveAttribute("a"));
}

TEST(KrXMLGenericElement, GetOrCreateAttributeCreatesOnceAndAppendToAttributeExtends) {
    KrXMLGenericElement e("e", true);
    KrXMLComplexAttribute2* created = e.GetOrCreateAttribute("class");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(e.GetOrCreateAttribute("class"), created);
    EXPECT_TRUE(e.AttributeEquals("class", ""));
    e.AppendToAttribute("class", "a");
    e.AppendToAttribute("class", " b");
    EXPECT_EQ(e.GetAttributeString("class", ""), "a b");
}

TEST(KrXMLGenericElement, AssignAttributeTable) {
    struct Row {
        const char* text;
        bool present;
        const char* value;
        bool error;
    };
    const Row rows[] = {
        {"name=\"value\"", true, "value", false},
        {"name='value'", true, "value", false},
        {"name=value", true, "value", false},        // unquoted keeps every character
        {"name=\"value'", true, "\"value'", false},  // quotes that do not match stay
        {"name=\"\"", true, "", false},
        {"name=x", true, "x", false},
        {"name=", false, "", true},
        {"=\"v\"", false, "", true},
        {"name", false, "", false},
        {"name=\"a=b\"", true, "a=b", false},
    };
    for (const Row& row : rows) {
        KrXMLGenericElement e("e", true);
        e.AssignAttribute(row.text);
        EXPECT_EQ(e.HasAttribute("name"), row.present) << row.text;
        EXPECT_EQ(e.GetAttributeString("name", ""), row.value) << row.text;
        EXPECT_EQ(e.HasError(), row.error) << row.text;
        if (row.error) {
            EXPECT_EQ(e.GetErrorText(), "error catched while assigning attritutes");
        }
    }
}

TEST(KrXMLGenericElement, AssignAttributeCatchesTypedRefusal) {
    Typed e;
    e.count.Set(7);
    e.AssignAttribute("count=\"abc\"");
    EXPECT_TRUE(e.HasError());
    EXPECT_EQ(e.count.Get(), 7);
}

TEST(KrXMLGenericElement, ReplaceElementWherePrefersDirectChildOverEarlierGrandchild) {
    KrXMLGenericElement root("root", true);
    KrXMLComplexElement* first = root.AddChild(new KrXMLGenericElement("first", true));
    first->AddChild(withAttribute("deep", "key", "k"));
    root.AddChild(withAttribute("direct", "key", "k"));
    auto* replacement = new KrXMLGenericElement("new", true);
    EXPECT_TRUE(root.ReplaceElementWhere(replacement, "key", "k"));
    ASSERT_EQ(root.GetChildren().size(), 2u);
    EXPECT_EQ(root.GetChildren()[1], replacement);
    EXPECT_EQ(replacement->GetParent(), &root);
    EXPECT_TRUE(replacement->AttributeEquals("key", "k"));
    EXPECT_EQ(first->GetChildren()[0]->GetName(), "deep");

    // Once no direct child matches, the search goes down.
    root.RemoveChildWhere("key", "k");
    auto* second = new KrXMLGenericElement("new2", true);
    EXPECT_TRUE(root.ReplaceElementWhere(second, "key", "k"));
    EXPECT_EQ(first->GetChildren()[0], second);
    EXPECT_EQ(second->GetParent(), first);
    auto* none = new KrXMLGenericElement("none", true);
    EXPECT_FALSE(root.ReplaceElementWhere(none, "key", "absent"));
    delete none;
}

TEST(KrXMLGenericElement, ReplaceOrAddElementWhereAppendsWithAttribute) {
    KrXMLGenericElement root("root", true);
    EXPECT_FALSE(root.ReplaceOrAddElementWhere(nullptr, "k", "v"));
    auto* added = new KrXMLGenericElement("item", true);
    EXPECT_FALSE(root.ReplaceOrAddElementWhere(added, "k", "v"));
    EXPECT_EQ(root.GetChildren().back(), added);
    EXPECT_TRUE(added->AttributeEquals("k", "v"));
    auto* replacing = new KrXMLGenericElement("item2", true);
    EXPECT_TRUE(root.ReplaceOrAddElementWhere(replacing, "k", "v"));
    EXPECT_EQ(root.GetChildren().size(), 1u);
    EXPECT_EQ(root.GetChildren()[0], replacing);
}

TEST(KrXMLGenericElement, ReplaceElementWhereRefusesAnElementAlreadyInATree) {
    KrXMLGenericElement root("root", true);
    root.AddChild(withAttribute("a", "k", "v"));
    KrXMLGenericElement* inTree = root.AddChildElement(new KrXMLGenericElement("b", true));
    EXPECT_THROW(root.ReplaceElementWhere(inTree, "k", "v"), KrException);
    EXPECT_EQ(root.GetChildren().size(), 2u);
    EXPECT_EQ(root.GetChildren()[0]->GetName(), "a");
}

TEST(KrXMLGenericElement, RemoveChildWhereRemovesOnlyTheFirstDirectMatch) {
    KrXMLGenericElement root("root", true);
    KrXMLComplexElement* holder = root.AddChild(new KrXMLGenericElement("holder", true));
    holder->AddChild(withAttribute("deep", "k", "v"));
    root.AddChild(withAttribute("one", "k", "v"));
    root.AddChild(withAttribute("two", "k", "v"));
    root.RemoveChildWhere("k", "v");
    ASSERT_EQ(root.GetChildren().size(), 2u);
    EXPECT_EQ(root.GetChildren()[1]->GetName(), "two");
    EXPECT_EQ(holder->GetChildren().size(), 1u);
}

TEST(KrXMLGenericElement, AttributeSearchesWalkGenericSubtreeInPreOrder) {
    KrXMLGenericElement root("root", true);
    root.SetAttribute("k", "v");
    KrXMLComplexElement* a = root.AddChild(withAttribute("a", "k", "v"));
    a->AddChild(withAttribute("a1", "k", "v"));
    // Below a non-generic element nothing is searched.
    KrXMLComplexElement* plain = root.AddChild(new KrXMLComplexElement("plain", false, true));
    plain->AddChild(withAttribute("hidden", "k", "v"));
    root.AddChild(withAttribute("b", "k", "w"));
    KrXMLGenericElement::GenericList list;
    root.FindElementsByAttribute("k", "v", list);
    std::string order;
    for (auto* e : list) {
        order += e->GetName() + " ";
    }
    EXPECT_EQ(order, "root a a1 ");
    list.clear();
    root.FindElementsWithAttribute(list, "k");
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(root.FindElementByAttribute("k", "w")->GetName(), "b");
    EXPECT_EQ(root.FindElementByAttribute("k", "v"), &root);
    EXPECT_EQ(root.FindElementByAttribute("k", "none"), nullptr);
}

TEST(KrXMLGenericElement, GenericListingsSkipOtherClasses) {
    KrXMLGenericElement root("root", true);
    root.AddChild(new KrXMLComplexElement("x", false, true));
    root.AddChild(new KrXMLGenericElement("x", true));
    KrXMLGenericElement::GenericList list;
    root.ListGenericChildren(list);
    EXPECT_EQ(list.size(), 1u);
    list.clear();
    root.FindGenericElementsByName("x", list, 1);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(root.AddChildElement(new KrXMLComplexElement("c", false, true)), nullptr);
    EXPECT_EQ(root.AddChildElement(nullptr), nullptr);
}

// Plain attributes share room inside the element: values must survive
// neighbours coming and going, removed ones must free their room for new
// ones, and more attributes than that room must still work.
TEST(KrXMLGenericElement, ManyPlainAttributesKeepTheirValuesThroughRemovals) {
    KrXMLGenericElement element("e", false);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 7; ++i) {
            element.SetAttribute("a" + std::to_string(i),
                                 std::string(i * 9, 'x') + std::to_string(round));
        }
        KrXMLComplexAttribute2* kept = element.GetAttribute("a3");
        ASSERT_NE(kept, nullptr);
        for (int i = 0; i < 7; i += 2) {
            EXPECT_TRUE(element.RemoveAttribute("a" + std::to_string(i)));
        }
        element.SetAttribute("b", "new");
        EXPECT_EQ(element.GetAttribute("a3"), kept);
        for (int i = 0; i < 7; ++i) {
            const std::string name = "a" + std::to_string(i);
            EXPECT_EQ(element.GetAttributeString(name, "-"),
                      i % 2 == 0 ? "-" : std::string(i * 9, 'x') + std::to_string(round));
        }
        EXPECT_EQ(element.GetAttributeString("b", "-"), "new");
        EXPECT_TRUE(element.RemoveAttribute("b"));
    }
    EXPECT_EQ(element.GetAttributes().size(), 3u);
    EXPECT_EQ(element.ToXMLString(), "<e a1=\"xxxxxxxxx2\" a3=\"" + std::string(27, 'x') +
                                         "2\" a5=\"" + std::string(45, 'x') + "2\" />");
}

TEST(KrXMLGenericElement, AttributesStaySortedAndFindableAtEverySize) {
    for (int count : {5, 31, 32, 33, 300}) {
        SCOPED_TRACE(count);
        Typed element;
        std::map<std::string, std::string> expected{{"count", ""}, {"id", ""}};
        // Names arrive scrambled, and one of them bare.
        for (int i = 0; i < count; ++i) {
            const std::string name = "n" + std::to_string((i * 7919) % count);
            element.SetAttribute(name, "v" + name);
            expected[name] = "v" + name;
        }
        element.AdoptAttribute("bare", nullptr);
        expected["bare"] = "";
        element.SetAttribute("id", "x");
        expected["id"] = "x";
        for (int i = 0; i < count; i += 3) {
            const std::string name = "n" + std::to_string(i);
            EXPECT_TRUE(element.RemoveAttribute(name));
            expected.erase(name);
        }
        EXPECT_FALSE(element.RemoveAttribute("n0"));
        EXPECT_THROW(element.AdoptAttribute("n1", nullptr), int);
        ASSERT_EQ(element.GetAttributes().size(), expected.size());
        auto want = expected.begin();
        for (const auto& [name, attribute] : element.GetAttributes()) {
            EXPECT_EQ(name, want->first);
            EXPECT_EQ(element.GetAttributeString(name, "-"), want->second);
            ++want;
        }
        EXPECT_EQ(element.id.Get(), "x");
        EXPECT_EQ(element.GetAttributeString("n0", "-"), "-");
        EXPECT_NE(element.GetOrCreateAttribute("added"), nullptr);
        EXPECT_TRUE(element.HasAttribute("added"));
    }
}
