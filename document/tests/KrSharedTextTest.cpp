#include "document/KrSharedText.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// Trees on several threads share the text table and the table of rarely
// used element data; each thread's trees keep their own content.
TEST(KrSharedText, TreesOnSeveralThreadsKeepTheirTexts) {
    constexpr int kThreads = 8;
    std::vector<std::string> written(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &written] {
            std::string result;
            for (int round = 0; round < 200; ++round) {
                KrXMLGenericElement root("r", false);
                root.AddChild(new KrXMLGenericText("common"));
                root.AddChild(new KrXMLGenericWhitespace(" "));
                root.AddChild(new KrXMLGenericText("t" + std::to_string(t * 1000 + round % 7)));
                root.SetError("thread " + std::to_string(t));
                if (round == 199) {
                    result = root.ToXMLString() + " " + root.GetErrorText();
                }
            }
            written[t] = result;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(written[t], "<r>common t" + std::to_string(t * 1000 + 199 % 7) + "</r> thread " +
                                  std::to_string(t));
    }
}
