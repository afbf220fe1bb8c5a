#include "document/KrXMLComplexElement.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "document/KrWidgetManager_base.h"
#include "document/KrXMLGenericElement.h"
#include "document/tests/FailingAllocations.h"
#include "foundation/KrException.h"

namespace {

// Records the hook calls of one element into a shared log and can refuse
// children by name.
class Recorder : public KrXMLGenericElement {
  public:
    Recorder(const std::string& name, std::vector<std::string>* log,
             std::string refuse = std::string())
        : KrXMLGenericElement(name, true), _log(log), _refuse(std::move(refuse)) {}

    void OnChildAdded(KrXMLComplexElement* child) override {
        _log->push_back(GetName() + "+" + child->GetName());
        if (!_refuse.empty() && child->GetName() == _refuse) {
            throw KrException("refused " + child->GetName(), __LINE__, "src");
        }
    }
    void OnChildRemoved(KrXMLComplexElement* child) override {
        _log->push_back(GetName() + "-" + child->GetName());
    }

  private:
    std::vector<std::string>* _log;
    std::string _refuse;
};

// Counts how many of its instances are alive, to prove what was freed.
class Counted : public KrXMLGenericElement {
  public:
    explicit Counted(const std::string& name) : KrXMLGenericElement(name, true) { ++alive; }
    ~Counted() override { --alive; }
    static int alive;
};
int Counted::alive = 0;

std::string names(const KrXMLComplexElement& element) {
    std::string text;
    for (const KrXMLComplexElement* child : element.GetChildren()) {
        text += child->GetName();
        text += child->GetParent() == &element ? "" : "(!)";
        text += ' ';
    }
    return text;
}

std::string writeOf(KrXMLComplexElement& element) {
    std::ostringstream out;
    element.Write(out);
    return out.str();
}

class Manager : public KrWidgetManager_base {
  public:
    void OnElementDestroyed(KrXMLComplexElement* element) override { destroyed.push_back(element); }
    std::vector<KrXMLComplexElement*> destroyed;
};

}  // namespace

TEST(KrXMLComplexElement, EmptyElementIsAlwaysCollapsible) {
    KrXMLComplexElement empty("br", true, false);
    EXPECT_TRUE(empty.IsCollapsible());
    KrXMLComplexElement plain("p", false, false);
    EXPECT_FALSE(plain.IsCollapsible());
    EXPECT_EQ(writeOf(plain), "<p></p>");
    EXPECT_EQ(writeOf(empty), "<br />");
}

TEST(KrXMLComplexElement, AddChildOnEmptyElementThrowsEvenForNull) {
    KrXMLComplexElement br("br", true, false);
    try {
        br.AddChild(nullptr);
        FAIL() << "no exception";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "child elements not allowed for br");
    }
    KrXMLComplexElement p("p", false, true);
    EXPECT_EQ(p.AddChild(nullptr), nullptr);
    EXPECT_TRUE(p.GetChildren().empty());
}

TEST(KrXMLComplexElement, AddAndPrependKeepOrderAndParents) {
    KrXMLGenericElement root("root", true);
    root.AddChild(new KrXMLGenericElement("b", true));
    root.PrependChild(new KrXMLGenericElement("a", true));
    root.AddChild(new KrXMLGenericElement("c", true));
    EXPECT_EQ(names(root), "a b c ");
    KrXMLComplexElement::ElementList list;
    root.ListChildren(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.front()->GetName(), "a");
}

TEST(KrXMLComplexElement, PrependChildIgnoresEmptyElementFlagButWriterDoesNot) {
    KrXMLComplexElement br("br", true, false);
    br.PrependChild(new KrXMLComplexElement("x", false, true));
    EXPECT_EQ(br.GetChildren().size(), 1u);
    EXPECT_EQ(writeOf(br), "<br />");
}

TEST(KrXMLComplexElement, HooksRunInDocumentedOrder) {
    std::vector<std::string> log;
    Recorder root("r", &log);
    root.AddChild(new KrXMLGenericElement("a", true));
    root.AddChild(new KrXMLGenericElement("b", true));
    log.clear();
    root.SetChild(new KrXMLGenericElement("c", true));
    // Every removal is announced before anything is deleted, then the add.
    EXPECT_EQ(log, (std::vector<std::string>{"r-a", "r-b", "r+c"}));
    EXPECT_EQ(names(root), "c ");

    log.clear();
    KrXMLComplexElement* c = root.GetChildren()[0];
    ASSERT_TRUE(root.ReplaceChild(c, new KrXMLGenericElement("d", true)));
    EXPECT_EQ(log, (std::vector<std::string>{"r-c", "r+d"}));

    log.clear();
    KrXMLComplexElement* d = root.GetChildren()[0];
    ASSERT_TRUE(root.WrapChild(d, new KrXMLGenericElement("w", true)));
    EXPECT_EQ(log, (std::vector<std::string>{"r-d", "r+w"}));
    EXPECT_EQ(names(root), "w ");
    EXPECT_EQ(d->GetParent(), root.GetChildren()[0]);

    log.clear();
    root.AddChild(new KrXMLGenericElement("e", true));
    root.DeleteAllChildren();
    EXPECT_EQ(log, (std::vector<std::string>{"r+e", "r-w", "r-e"}));
    EXPECT_TRUE(root.GetChildren().empty());
}

TEST(KrXMLComplexElement, RemoveChildHandsBackAndClearsParent) {
    std::vector<std::string> log;
    Recorder root("r", &log);
    KrXMLComplexElement* a = root.AddChild(new KrXMLGenericElement("a", true));
    KrXMLGenericElement stranger("s", true);
    log.clear();
    EXPECT_FALSE(root.RemoveChild(&stranger));
    EXPECT_FALSE(root.RemoveChild(nullptr));
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(root.RemoveChild(a));
    EXPECT_EQ(log, (std::vector<std::string>{"r-a"}));
    EXPECT_EQ(a->GetParent(), nullptr);
    // Back in our hands, it can be added elsewhere.
    KrXMLGenericElement other("o", true);
    EXPECT_EQ(other.AddChild(a), a);
}

TEST(KrXMLComplexElement, ElementWithParentIsRefusedAndNothingChanges) {
    KrXMLGenericElement first("first", true);
    KrXMLGenericElement second("second", true);
    KrXMLComplexElement* a = first.AddChild(new KrXMLGenericElement("a", true));
    EXPECT_THROW(second.AddChild(a), KrException);
    EXPECT_THROW(second.PrependChild(a), KrException);
    EXPECT_THROW(first.AddChild(a), KrException);
    EXPECT_THROW(second.SetChild(a), KrException);
    second.AddChild(new KrXMLGenericElement("b", true));
    KrXMLComplexElement* b = second.GetChildren()[0];
    EXPECT_THROW(second.ReplaceChild(b, a), KrException);
    EXPECT_EQ(names(first), "a ");
    EXPECT_EQ(names(second), "b ");
    EXPECT_EQ(a->GetParent(), &first);
}

TEST(KrXMLComplexElement, AddingAnElementUnderItselfIsRefused) {
    auto* root = new KrXMLGenericElement("root", true);
    KrXMLComplexElement* child = root->AddChild(new KrXMLGenericElement("child", true));
    EXPECT_THROW(root->AddChild(root), KrException);
    EXPECT_THROW(child->AddChild(root), KrException);
    EXPECT_EQ(names(*root), "child ");
    EXPECT_TRUE(child->GetChildren().empty());
    delete root;
}

TEST(KrXMLComplexElement, SelfReplacementsChangeNothingAndFreeNothing) {
    Counted::alive = 0;
    KrXMLGenericElement root("root", true);
    KrXMLComplexElement* a = root.AddChild(new Counted("a"));
    KrXMLComplexElement* b = root.AddChild(new Counted("b"));
    EXPECT_EQ(root.SetChild(a), a);
    EXPECT_TRUE(root.ReplaceChild(a, a));
    EXPECT_THROW(root.ReplaceChild(a, b), KrException);
    EXPECT_EQ(names(root), "a b ");
    EXPECT_EQ(Counted::alive, 2);
    EXPECT_EQ(writeOf(root), "<root>\n<a />\n<b />\n</root>");
}

TEST(KrXMLComplexElement, RefusedChildIsTakenOutAndDeleted) {
    Counted::alive = 0;
    std::vector<std::string> log;
    Recorder root("r", &log, "bad");
    root.AddChild(new Counted("good"));
    EXPECT_THROW(root.AddChild(new Counted("bad")), KrException);
    EXPECT_THROW(root.PrependChild(new Counted("bad")), KrException);
    EXPECT_EQ(names(root), "good ");
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_EQ(writeOf(root), "<r>\n<good />\n</r>");

    // A refused replacement leaves the old child in its place.
    KrXMLComplexElement* good = root.GetChildren()[0];
    EXPECT_THROW(root.ReplaceChild(good, new Counted("bad")), KrException);
    EXPECT_EQ(root.GetChildren()[0], good);
    EXPECT_EQ(good->GetParent(), &root);
    EXPECT_EQ(Counted::alive, 1);
}

// Its removal hook deletes the first child when "old" goes, so that the
// old child's slot moves while it is being replaced.
class Pruner : public KrXMLGenericElement {
  public:
    Pruner() : KrXMLGenericElement("p", true) {}
    void OnChildRemoved(KrXMLComplexElement* child) override {
        KrXMLComplexElement* first = GetChildren().front();
        if (child->GetName() == "old" && first != child && RemoveChild(first)) {
            delete first;
        }
    }
};

TEST(KrXMLComplexElement, ReplacingAndWrappingFindTheChildAgainAfterTheRemovalHook) {
    using Put = bool (*)(Pruner&, KrXMLComplexElement*, KrXMLGenericElement*);
    struct Row {
        Put put;
        int alive;  // what is left of "old", "c" and the new element
    };
    const Row rows[] = {
        {[](Pruner& p, KrXMLComplexElement* old, KrXMLGenericElement* by) {
             return p.ReplaceChild(old, by);
         },
         2},
        {[](Pruner& p, KrXMLComplexElement*, KrXMLGenericElement* by) {
             return p.ReplaceElementWhere(by, "key", "k");
         },
         2},
        {[](Pruner& p, KrXMLComplexElement* old, KrXMLGenericElement* by) {
             return p.WrapChild(old, by);
         },
         3},
    };
    for (const Row& row : rows) {
        Counted::alive = 0;
        Pruner parent;
        parent.AddChild(new Counted("a"));
        auto* old = new Counted("old");
        old->SetAttribute("key", "k");
        parent.AddChild(old);
        parent.AddChild(new Counted("c"));
        EXPECT_TRUE(row.put(parent, old, new Counted("new")));
        EXPECT_EQ(names(parent), "new c ");
        EXPECT_EQ(Counted::alive, row.alive);
    }
}

TEST(KrXMLComplexElement, WrapperThatRefusesLeavesTreeAsItWas) {
    std::vector<std::string> log;
    KrXMLGenericElement root("root", true);
    root.AddChild(new KrXMLGenericElement("x", true));
    KrXMLComplexElement* child = root.AddChild(new KrXMLGenericElement("child", true));
    root.AddChild(new KrXMLGenericElement("y", true));
    auto* wrapper = new Recorder("w", &log, "child");
    EXPECT_THROW(root.WrapChild(child, wrapper), KrException);
    EXPECT_EQ(names(root), "x child y ");
    EXPECT_EQ(child->GetParent(), &root);
    EXPECT_TRUE(wrapper->GetChildren().empty());
    EXPECT_EQ(wrapper->GetParent(), nullptr);
    delete wrapper;  // refused by the wrapper itself: still the caller's

    KrXMLComplexElement* voidWrapper = new KrXMLComplexElement("br", true, false);
    EXPECT_THROW(root.WrapChild(child, voidWrapper), KrException);
    EXPECT_EQ(names(root), "x child y ");
    delete voidWrapper;
}

TEST(KrXMLComplexElement, ParentThatRefusesWrapperGetsChildBack) {
    Counted::alive = 0;
    std::vector<std::string> log;
    Recorder root("r", &log, "w");
    KrXMLComplexElement* child = root.AddChild(new KrXMLGenericElement("child", true));
    EXPECT_THROW(root.WrapChild(child, new Counted("w")), KrException);
    EXPECT_EQ(names(root), "child ");
    EXPECT_EQ(child->GetParent(), &root);
    EXPECT_EQ(Counted::alive, 0);
}

TEST(KrXMLComplexElement, WrapWithReportsMissingParentAndForeignStructure) {
    KrXMLGenericElement lonely("lonely", true);
    KrXMLGenericElement wrapper("w", true);
    try {
        lonely.WrapWith(&wrapper);
        FAIL();
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "missing parent.");
    }
    KrXMLGenericElement root("root", true);
    KrXMLComplexElement* a = root.AddChild(new KrXMLGenericElement("a", true));
    // A parent link set by hand that the parent does not back up.
    KrXMLGenericElement orphan("orphan", true);
    orphan.SetParent(&root);
    try {
        orphan.WrapWith(&wrapper);
        FAIL();
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "structure incorrect.");
    }
    orphan.SetParent(nullptr);
    auto* outer = new KrXMLGenericElement("outer", true);
    EXPECT_EQ(a->WrapWith(outer), outer);
    EXPECT_EQ(names(root), "outer ");
    EXPECT_EQ(a->GetParent(), outer);
}

TEST(KrXMLComplexElement, AppendChildrenOfMovesAllAndLeavesNoDoubleParent) {
    std::vector<std::string> log;
    Recorder target("t", &log);
    Recorder source("s", &log);
    source.AddChild(new KrXMLGenericElement("a", true));
    source.AddChild(new KrXMLGenericElement("b", true));
    log.clear();
    target.AppendChildrenOf(&source);
    EXPECT_EQ(log, (std::vector<std::string>{"t+a", "t+b"}));
    EXPECT_EQ(names(target), "a b ");
    EXPECT_TRUE(source.GetChildren().empty());
    target.AppendChildrenOf(nullptr);
    EXPECT_EQ(names(target), "a b ");
}

TEST(KrXMLComplexElement, FailingAppendChildrenOfKeepsTheRestWithTheSource) {
    Counted::alive = 0;
    std::vector<std::string> log;
    Recorder target("t", &log, "bad");
    KrXMLGenericElement source("s", true);
    source.AddChild(new Counted("a"));
    source.AddChild(new Counted("bad"));
    source.AddChild(new Counted("c"));
    EXPECT_THROW(target.AppendChildrenOf(&source), KrException);
    EXPECT_EQ(names(target), "a ");
    EXPECT_EQ(names(source), "c ");
    EXPECT_EQ(Counted::alive, 2);

    KrXMLComplexElement br("br", true, false);
    EXPECT_THROW(br.AppendChildrenOf(&source), KrException);
    EXPECT_EQ(names(source), "c ");
}

TEST(KrXMLComplexElement, AppendChildrenOfOwnAncestorIsRefused) {
    KrXMLGenericElement top("top", true);
    KrXMLComplexElement* mid = top.AddChild(new KrXMLGenericElement("mid", true));
    top.AddChild(new KrXMLGenericElement("other", true));
    EXPECT_THROW(mid->AppendChildrenOf(&top), KrException);
    EXPECT_EQ(names(top), "mid other ");
    EXPECT_EQ(mid->GetParent(), &top);
}

TEST(KrXMLComplexElement, DeepTreeIsDeletedWithoutRecursion) {
    Counted::alive = 0;
    auto* root = new Counted("level");
    KrXMLComplexElement* current = root;
    for (int i = 0; i < 100000; ++i) {
        current = current->AddChild(new Counted("level"));
    }
    EXPECT_EQ(Counted::alive, 100001);
    delete root;
    EXPECT_EQ(Counted::alive, 0);
}

TEST(KrXMLComplexElement, TreeIsDeletedWhileNoMemoryIsLeft) {
    // A failed allocation unwinds through the deletion of a half-read tree;
    // the deletion itself must then not need memory.
    Counted::alive = 0;
    auto* root = new Counted("root");
    for (int branch = 0; branch < 4; ++branch) {
        KrXMLComplexElement* current = root->AddChild(new Counted("branch"));
        for (int depth = 0; depth < 10; ++depth) {
            for (int leaf = 0; leaf < 40; ++leaf) {
                current->AddChild(new Counted("leaf"));
            }
            current = current->AddChild(new Counted("level"));
        }
    }
    ASSERT_EQ(Counted::alive, 1 + 4 * (1 + 10 * 41));
    {
        FailingAllocations none(0);
        delete root;
    }
    EXPECT_EQ(Counted::alive, 0);
}

TEST(KrXMLComplexElement, DestructionTellsManagerInPreOrder) {
    Manager manager;
    auto* root = new KrXMLGenericElement("root", true);
    KrXMLComplexElement* a = root->AddChild(new KrXMLGenericElement("a", true));
    KrXMLComplexElement* a1 = a->AddChild(new KrXMLGenericElement("a1", true));
    KrXMLComplexElement* b = root->AddChild(new KrXMLGenericElement("b", true));
    for (KrXMLComplexElement* e : {static_cast<KrXMLComplexElement*>(root), a, a1, b}) {
        e->SetUserPointer(&manager);
    }
    KrXMLComplexElement* expected[] = {root, a, a1, b};
    delete root;
    ASSERT_EQ(manager.destroyed.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(manager.destroyed[i], expected[i]) << i;
    }
}

TEST(KrXMLComplexElement, DeletingAChildDirectlyUnlinksIt) {
    KrXMLGenericElement root("root", true);
    KrXMLComplexElement* a = root.AddChild(new KrXMLGenericElement("a", true));
    root.AddChild(new KrXMLGenericElement("b", true));
    delete a;
    EXPECT_EQ(names(root), "b ");
}

TEST(KrXMLComplexElement, FindElementsByNameHonoursDepth) {
    KrXMLGenericElement a("a", true);
    KrXMLComplexElement* child = a.AddChild(new KrXMLGenericElement("a", true));
    KrXMLComplexElement* grandchild = child->AddChild(new KrXMLGenericElement("a", true));
    a.AddChild(new KrXMLGenericElement("b", true));
    struct Row {
        long depth;
        std::vector<KrXMLComplexElement*> expected;
    };
    const Row rows[] = {
        {0, {&a}},  {1, {&a, child}}, {2, {&a, child, grandchild}}, {-1, {&a, child, grandchild}},
        {-2, {&a}},
    };
    for (const Row& row : rows) {
        KrXMLComplexElement::ElementList list;
        list.push_back(nullptr);  // what the caller had stays
        a.FindElementsByName("a", list, row.depth);
        std::vector<KrXMLComplexElement*> found(std::next(list.begin()), list.end());
        EXPECT_EQ(found, row.expected) << "depth " << row.depth;
        EXPECT_EQ(list.front(), nullptr);
    }
}

TEST(KrXMLComplexElement, NthElementChildSkipsInstructionsCommentsAndOptionallyText) {
    KrXMLGenericElement root("root", true);
    root.AddChild(new KrXMLGenericElement("comment", false));
    KrXMLComplexElement* ws = root.AddChild(new KrXMLGenericElement("xmlwhitespace", false));
    KrXMLComplexElement* text = root.AddChild(new KrXMLGenericElement("xmltext", false));
    root.AddChild(new KrXMLGenericElement("procinst", false));
    KrXMLComplexElement* element = root.AddChild(new KrXMLGenericElement("e", true));
    EXPECT_EQ(root.FirstElementChild(true), ws);
    EXPECT_EQ(root.SecondElementChild(true), element);
    EXPECT_EQ(root.ThirdElementChild(true), nullptr);
    EXPECT_EQ(root.SecondElementChild(false), text);
    EXPECT_EQ(root.ThirdElementChild(false), element);
}

TEST(KrXMLComplexElement, ChildDTDRemembersTheLastNonEmptyName) {
    KrXMLComplexElement e("e", false, true);
    EXPECT_EQ(e.ChildDTD(""), "");
    EXPECT_EQ(e.ChildDTD("html"), "html");
    EXPECT_EQ(e.ChildDTD(""), "html");
}

TEST(KrXMLComplexElement, ThrowNullInitAndErrorFlag) {
    int value = 0;
    EXPECT_NO_THROW(KrXMLComplexElement::ThrowNullInit(&value));
    try {
        KrXMLComplexElement::ThrowNullInit(nullptr);
        FAIL();
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "can't initialize from nullptr");
    }
    KrXMLComplexElement e("e", false, true);
    EXPECT_FALSE(e.HasError());
    e.SetError("broken");
    EXPECT_TRUE(e.HasError());
    EXPECT_EQ(e.GetErrorText(), "broken");
}

// Names are shared between trees: deleting one tree must leave the names of
// every other tree intact, whichever goes first, and a name too long to be
// shared is the element's own copy.
TEST(KrXMLComplexElement, NameSharedByTwoTreesSurvivesDeletingEither) {
    const std::string longName(300, 'n');
    for (bool firstGoesFirst : {true, false}) {
        SCOPED_TRACE(firstGoesFirst);
        auto first = std::make_unique<KrXMLComplexElement>("shared", false, true);
        auto second = std::make_unique<KrXMLComplexElement>("shared", false, true);
        first->AddChild(new KrXMLComplexElement(longName, false, true));
        second->AddChild(new KrXMLComplexElement(longName, false, true));
        EXPECT_EQ(&first->GetName(), &second->GetName());
        EXPECT_NE(&first->GetChildren()[0]->GetName(), &second->GetChildren()[0]->GetName());
        (firstGoesFirst ? first : second).reset();
        KrXMLComplexElement& kept = firstGoesFirst ? *second : *first;
        EXPECT_EQ(kept.GetName(), "shared");
        EXPECT_EQ(kept.ToXMLString(), "<shared><" + longName + " /></shared>");
        kept.SetName(longName);
        kept.GetChildren()[0]->SetName("shared");
        EXPECT_EQ(kept.ToXMLString(), "<" + longName + "><shared /></" + longName + ">");
    }
}
