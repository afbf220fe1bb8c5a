#include "document/KrNodePool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "document/KrXMLGenericElement.h"
#include "document/KrXMLGenericText.h"

namespace {

struct Block {
    void* p;
    size_t size;
};

// Fills a block with a pattern of its own, so that two blocks sharing bytes
// show up when either is checked.
void fill(const Block& block, unsigned seed) {
    auto* bytes = static_cast<unsigned char*>(block.p);
    for (size_t i = 0; i < block.size; ++i) {
        bytes[i] = static_cast<unsigned char>(seed + i);
    }
}

bool holds(const Block& block, unsigned seed) {
    const auto* bytes = static_cast<const unsigned char*>(block.p);
    for (size_t i = 0; i < block.size; ++i) {
        if (bytes[i] != static_cast<unsigned char>(seed + i)) {
            return false;
        }
    }
    return true;
}

TEST(KrNodePoolTest, BlocksOfEverySizeAreDistinctAlignedAndKeepTheirBytes) {
    std::vector<Block> blocks;
    for (int round = 0; round < 3; ++round) {
        for (size_t size = 1; size <= KrNodePool::kMaxSize + 64; size += 7) {
            blocks.push_back({KrNodePool::Allocate(size), size});
        }
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        const auto address = reinterpret_cast<uintptr_t>(blocks[i].p);
        EXPECT_EQ(address % 8, 0u) << blocks[i].size;
        if (blocks[i].size % 16 == 0) {
            EXPECT_EQ(address % 16, 0u) << blocks[i].size;
        }
        fill(blocks[i], static_cast<unsigned>(i));
    }
    // Free every other block and refill the holes: the survivors stay intact.
    for (size_t i = 0; i < blocks.size(); i += 2) {
        KrNodePool::Free(blocks[i].p, blocks[i].size);
        blocks[i].p = KrNodePool::Allocate(blocks[i].size);
        fill(blocks[i], static_cast<unsigned>(i) * 3);
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_TRUE(holds(blocks[i], static_cast<unsigned>(i) * (i % 2 == 0 ? 3 : 1))) << i;
        KrNodePool::Free(blocks[i].p, blocks[i].size);
    }
}

TEST(KrNodePoolTest, NodesMadeOnOneThreadAreFreedOnOthers) {
    constexpr int kThreads = 4;
    constexpr int kNodes = 20000;
    std::vector<std::vector<KrXMLComplexElement*>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&made, t] {
            for (int i = 0; i < kNodes; ++i) {
                made[t].push_back(i % 2 == 0 ? static_cast<KrXMLComplexElement*>(
                                                   new KrXMLGenericText(std::to_string(i)))
                                             : new KrXMLGenericElement("e", true));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    threads.clear();
    for (int t = 0; t < kThreads; ++t) {
        // Each thread frees the nodes another one made, while the others
        // make and free nodes of their own.
        threads.emplace_back([&made, t] {
            for (KrXMLComplexElement* node : made[(t + 1) % kThreads]) {
                delete new KrXMLGenericText("x");
                delete node;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

TEST(KrNodePoolTest, FreeingABigTreeGivesItsMemoryBack) {
    if (!KrNodePool::Enabled()) {
        GTEST_SKIP() << "nodes come from the general allocator in this build";
    }
    // Mappings that already hold nodes count in `before` and may take part
    // of the tree, so the tree is made large against a mapping.
    constexpr size_t kNodes = 400000;
    const size_t before = KrNodePool::BytesHeld();
    const size_t inUseBefore = KrNodePool::BytesInUse();
    auto* root = new KrXMLGenericElement("root", true);
    for (size_t i = 0; i < kNodes; ++i) {
        root->AddChild(new KrXMLGenericText("word"));
    }
    const size_t held = KrNodePool::BytesHeld();
    ASSERT_GE(held, before + kNodes * sizeof(KrXMLGenericText) / 2);
    // Every node and the child list, to the slot.
    EXPECT_GE(KrNodePool::BytesInUse(), inUseBefore + kNodes * sizeof(KrXMLGenericText));
    EXPECT_LE(KrNodePool::BytesInUse(), held);
    delete root;
    EXPECT_EQ(KrNodePool::BytesInUse(), inUseBefore);
    // The slab each size class allocates from stays, whatever else is freed.
    EXPECT_LT(KrNodePool::BytesHeld(), before + (held - before) / 4);
}

TEST(KrNodePoolTest, EmptyMappingsBeyondTheKeptOnesGoBackToTheSystem) {
    if (!KrNodePool::Enabled()) {
        GTEST_SKIP() << "nodes come from the general allocator in this build";
    }
    // Twice what the pool keeps of its empty mappings for the next tree.
    constexpr size_t kKept = size_t{64} << 20;
    constexpr size_t kSlots = 2 * kKept / KrNodePool::kMaxSize;
    std::vector<void*> slots;
    slots.reserve(kSlots);
    for (size_t i = 0; i < kSlots; ++i) {
        slots.push_back(KrNodePool::Allocate(KrNodePool::kMaxSize));
    }
    ASSERT_GE(KrNodePool::BytesMapped(), 2 * kKept);
    for (void* slot : slots) {
        KrNodePool::Free(slot, KrNodePool::kMaxSize);
    }
    EXPECT_LE(KrNodePool::BytesMapped(), KrNodePool::BytesHeld() + kKept);
    // What is kept is reused: the same amount again maps at most the rest.
    const size_t mapped = KrNodePool::BytesMapped();
    for (void*& slot : slots) {
        slot = KrNodePool::Allocate(KrNodePool::kMaxSize);
    }
    EXPECT_LE(KrNodePool::BytesMapped() - mapped, 2 * kKept - kKept / 2);
    for (void* slot : slots) {
        KrNodePool::Free(slot, KrNodePool::kMaxSize);
    }
}

TEST(KrNodePoolTest, AnEmptiedSlabHandsItsSlotsOutAgainInAddressOrder) {
    if (!KrNodePool::Enabled()) {
        GTEST_SKIP() << "nodes come from the general allocator in this build";
    }
    // A size no node of this process uses, so that one slab holds them all.
    constexpr size_t kSize = 496;
    constexpr size_t kCount = 64;
    std::vector<void*> first;
    for (size_t i = 0; i < kCount; ++i) {
        first.push_back(KrNodePool::Allocate(kSize));
    }
    // Freed out of order: odd slots last to first, then even ones.
    for (size_t i = kCount; i-- > 0;) {
        if (i % 2 == 1) {
            KrNodePool::Free(first[i], kSize);
        }
    }
    for (size_t i = 0; i < kCount; i += 2) {
        KrNodePool::Free(first[i], kSize);
    }
    for (size_t i = 0; i < kCount; ++i) {
        void* again = KrNodePool::Allocate(kSize);
        EXPECT_EQ(again, first[i]) << "slot " << i;
        first[i] = again;
    }
    for (void* p : first) {
        KrNodePool::Free(p, kSize);
    }
}

TEST(KrNodePoolTest, ChildListsOfEveryLengthKeepTheirOrder) {
    // Child lists grow from pool slots into general-allocator buffers.
    KrXMLGenericElement root("root", true);
    std::vector<KrXMLComplexElement*> added;
    for (int i = 0; i < 300; ++i) {
        added.push_back(root.AddChild(new KrXMLGenericText(std::to_string(i))));
    }
    ASSERT_EQ(root.GetChildren().size(), added.size());
    EXPECT_TRUE(std::equal(added.begin(), added.end(), root.GetChildren().begin()));
    for (int i = 299; i >= 0; i -= 3) {
        EXPECT_TRUE(root.RemoveChild(added[static_cast<size_t>(i)]));
        delete added[static_cast<size_t>(i)];
        added.erase(added.begin() + i);
    }
    ASSERT_EQ(root.GetChildren().size(), added.size());
    EXPECT_TRUE(std::equal(added.begin(), added.end(), root.GetChildren().begin()));
}

TEST(KrNodePoolTest, AnElementCanStillBeBuiltInMemoryOfTheCallers) {
    alignas(KrXMLGenericText) unsigned char memory[sizeof(KrXMLGenericText)];
    auto* text = new (memory) KrXMLGenericText("placed");
    EXPECT_EQ(text->GetText(), "placed");
    EXPECT_EQ(static_cast<void*>(text), static_cast<void*>(memory));
    text->~KrXMLGenericText();
}

}  // namespace
