#include "document/KrSharedText.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "document/KrXMLGenericElement.h"
#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"

// Texts are shared between trees: deleting one tree must leave the texts of
// every other tree intact, whichever goes first; a text too long to be
// shared is the node's own copy.
TEST(KrSharedText, TextSharedByTwoTreesSurvivesDeletingEither) {
    const std::string longText(300, 't');
    for (bool firstGoesFirst : {true, false}) {
        SCOPED_TRACE(firstGoesFirst);
        auto makeTree = [&] {
            auto root = std::make_unique<KrXMLGenericElement>("r", false);
            root->AddChild(new KrXMLGenericText("word"));
            root->AddChild(new KrXMLGenericWhitespace("\n  "));
            root->AddChild(new KrXMLGenericText(longText));
            return root;
        };
        auto first = makeTree();
        auto second = makeTree();
        auto text = [](const std::unique_ptr<KrXMLGenericElement>& tree, size_t index) {
            return &dynamic_cast<const KrXMLGenericText&>(*tree->GetChildren()[index]).GetText();
        };
        EXPECT_EQ(text(first, 0), text(second, 0));
        EXPECT_NE(text(first, 2), text(second, 2));
        (firstGoesFirst ? first : second).reset();
        const auto& kept = firstGoesFirst ? second : first;
        EXPECT_EQ(kept->ToXMLString(), "<r>word\n  " + longText + "</r>");
    }
}

TEST(KrSharedText, OwnCopiesASharedTextBeforeItChanges) {
    KrSharedText a("same", KrSharedText::Kind::kText);
    KrSharedText b("same", KrSharedText::Kind::kText);
    EXPECT_EQ(&a.str(), &b.str());
    a.Own() += "!";
    EXPECT_EQ(a.str(), "same!");
    EXPECT_EQ(b.str(), "same");
    std::string& own = a.Own();
    EXPECT_EQ(&own, &a.Own());

    KrSharedText moved(std::move(a));
    EXPECT_EQ(moved.str(), "same!");
    b = std::move(moved);
    EXPECT_EQ(b.str(), "same!");
}
