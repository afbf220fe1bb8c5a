#include "document/KrNodePool.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define QUIVO_NODE_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUIVO_NODE_POOL 0
#endif
#endif
#ifndef QUIVO_NODE_POOL
#define QUIVO_NODE_POOL 1
#endif

namespace {

// Slot sizes step by 8 bytes. A type aligned to 16 has a size that is a
// multiple of 16, so its slots, cut from a slab start aligned to 16, are too.
constexpr size_t kGranule = 8;
constexpr size_t kClasses = KrNodePool::kMaxSize / kGranule;
// A slab is aligned to its size, so a node's slab is its address rounded down.
constexpr size_t kSlabBytes = size_t{64} << 10;
// Slabs are cut from mappings of this size, aligned to it and backed by
// huge pages where the system offers them: a fresh page costs a fault, and
// faults were the larger part of building a big tree. Unmapping costs a
// flush of the TLB per call, whatever the length, so memory goes back to
// the system a whole mapping at a time, once all of its slabs are empty.
constexpr size_t kRegionBytes = size_t{2} << 20;
constexpr size_t kSlabsPerRegion = kRegionBytes / kSlabBytes;
// Empty mappings kept for the next tree instead of being unmapped: up to
// 64 MiB, about what the C library's allocator may keep of its own freed
// heap. A fresh mapping costs a fault and the zeroing of each huge page (on
// a virtual machine whose host took the memory back, a host fault as well),
// and a tree built again and again, as pages and stored documents are, no
// longer pays that each time; beyond this, freed trees go back to the system.
constexpr size_t kKeptRegions = 32;

struct FreeSlot {
    FreeSlot* next;
};

struct Pool;
struct Region;

// The head of a slab; the slots follow it.
struct alignas(16) Slab {
    Pool* pool = nullptr;
    Region* region = nullptr;
    FreeSlot* free = nullptr;
    char* bump = nullptr;
    char* end = nullptr;
    size_t live = 0;
    // Links in the pool's list of slabs with room (not the current one), or
    // in the region's list of empty slabs.
    Slab* prev = nullptr;
    Slab* next = nullptr;
    bool listed = false;
};

struct Pool {
    // Guards every slab of this class: their slots, counts and links.
    std::mutex mutex;
    size_t slotSize = 0;
    Slab* current = nullptr;
    Slab* withRoom = nullptr;
    // Bytes of this class's slots in use.
    size_t bytesInUse = 0;
};

// One mapping of kSlabsPerRegion slabs, described outside of it.
struct Region {
    char* base = nullptr;
    size_t carved = 0;  // slabs handed out at least once
    size_t inUse = 0;   // slabs a pool holds now
    Slab* emptySlabs = nullptr;
    Region* prev = nullptr;
    Region* next = nullptr;
};

Pool g_pools[kClasses];

// Guards the regions and their empty slabs.
std::mutex g_supplyMutex;
// Regions with a slab to hand out, most recently mapped first.
Region* g_regions = nullptr;
size_t g_emptyRegions = 0;
std::atomic<size_t> g_bytesHeld{0};
std::atomic<size_t> g_bytesMapped{0};

void unlinkRegion(Region* region) {
    if (region->prev != nullptr) {
        region->prev->next = region->next;
    } else {
        g_regions = region->next;
    }
    if (region->next != nullptr) {
        region->next->prev = region->prev;
    }
    region->prev = region->next = nullptr;
}

Region* mapRegion() {
    // Over-map and trim, so that the mapping is aligned to its size.
    const size_t length = 2 * kRegionBytes;
    void* mapped =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    auto start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + kRegionBytes - 1) & ~(kRegionBytes - 1);
    if (aligned > start) {
        munmap(mapped, aligned - start);
    }
    uintptr_t tail = aligned + kRegionBytes;
    if (start + length > tail) {
        munmap(reinterpret_cast<void*>(tail), start + length - tail);
    }
    // Advice only: without huge pages the mapping works the same.
    madvise(reinterpret_cast<void*>(aligned), kRegionBytes, MADV_HUGEPAGE);
    Region* region;
    try {
        region = new Region;
    } catch (...) {
        munmap(reinterpret_cast<void*>(aligned), kRegionBytes);
        throw;
    }
    region->base = reinterpret_cast<char*>(aligned);
    g_bytesMapped.fetch_add(kRegionBytes, std::memory_order_relaxed);
    return region;
}

Slab* takeSlab() {
    std::lock_guard<std::mutex> lock(g_supplyMutex);
    Region* region = g_regions;
    if (region == nullptr) {
        region = mapRegion();
        g_regions = region;
    }
    if (region->inUse == 0) {
        if (region->carved > 0) {
            --g_emptyRegions;
        }
        // Resident as a whole once touched, with huge pages.
        g_bytesHeld.fetch_add(kRegionBytes, std::memory_order_relaxed);
    }
    void* memory;
    if (region->emptySlabs != nullptr) {
        memory = region->emptySlabs;
        region->emptySlabs = region->emptySlabs->next;
    } else {
        memory = region->base + region->carved * kSlabBytes;
        ++region->carved;
    }
    ++region->inUse;
    if (region->inUse == kSlabsPerRegion) {
        unlinkRegion(region);
    }
    auto* slab = new (memory) Slab;
    slab->region = region;
    return slab;
}

void giveBackSlab(Slab* slab) {
    std::lock_guard<std::mutex> lock(g_supplyMutex);
    Region* region = slab->region;
    if (region->inUse == kSlabsPerRegion) {
        region->next = g_regions;
        if (g_regions != nullptr) {
            g_regions->prev = region;
        }
        g_regions = region;
    }
    slab->next = region->emptySlabs;
    region->emptySlabs = slab;
    if (--region->inUse > 0) {
        return;
    }
    g_bytesHeld.fetch_sub(kRegionBytes, std::memory_order_relaxed);
    if (g_emptyRegions < kKeptRegions) {
        ++g_emptyRegions;
        return;
    }
    unlinkRegion(region);
    munmap(region->base, kRegionBytes);
    g_bytesMapped.fetch_sub(kRegionBytes, std::memory_order_relaxed);
    delete region;
}

void unlink(Pool& pool, Slab* slab) {
    if (slab->prev != nullptr) {
        slab->prev->next = slab->next;
    } else {
        pool.withRoom = slab->next;
    }
    if (slab->next != nullptr) {
        slab->next->prev = slab->prev;
    }
    slab->prev = slab->next = nullptr;
    slab->listed = false;
}

void link(Pool& pool, Slab* slab) {
    slab->prev = nullptr;
    slab->next = pool.withRoom;
    if (pool.withRoom != nullptr) {
        pool.withRoom->prev = slab;
    }
    pool.withRoom = slab;
    slab->listed = true;
}

// A slab of the pool's class with a free slot, made current.
Slab* slabWithRoom(Pool& pool) {
    if (pool.withRoom != nullptr) {
        Slab* slab = pool.withRoom;
        unlink(pool, slab);
        return slab;
    }
    Slab* slab = takeSlab();
    slab->pool = &pool;
    slab->bump = reinterpret_cast<char*>(slab + 1);
    slab->end = reinterpret_cast<char*>(slab) + kSlabBytes;
    return slab;
}

}  // namespace

bool KrNodePool::Enabled() {
    return QUIVO_NODE_POOL != 0;
}

void* KrNodePool::Allocate(size_t size) {
    if (!QUIVO_NODE_POOL || size > kMaxSize || size == 0) {
        return ::operator new(size);
    }
    Pool& pool = g_pools[(size - 1) / kGranule];
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.slotSize == 0) {
        pool.slotSize = ((size - 1) / kGranule + 1) * kGranule;
    }
    Slab* slab = pool.current;
    if (slab == nullptr || (slab->free == nullptr && slab->bump + pool.slotSize > slab->end)) {
        // The current slab is full: it is found again through its nodes
        // when one of them is freed.
        slab = slabWithRoom(pool);
        pool.current = slab;
    }
    void* slot;
    if (slab->free != nullptr) {
        slot = slab->free;
        slab->free = slab->free->next;
    } else {
        slot = slab->bump;
        slab->bump += pool.slotSize;
    }
    ++slab->live;
    pool.bytesInUse += pool.slotSize;
    return slot;
}

void KrNodePool::Free(void* p, size_t size) noexcept {
    if (p == nullptr) {
        return;
    }
    if (!QUIVO_NODE_POOL || size > kMaxSize || size == 0) {
        ::operator delete(p);
        return;
    }
    auto* slab = reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(p) & ~(kSlabBytes - 1));
    Pool& pool = *slab->pool;
    Slab* empty = nullptr;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        auto* slot = static_cast<FreeSlot*>(p);
        slot->next = slab->free;
        slab->free = slot;
        --slab->live;
        pool.bytesInUse -= pool.slotSize;
        if (slab == pool.current) {
            if (slab->live == 0) {
                // Start the emptied slab over in address order: its free
                // list runs in the order the nodes were freed, and the next
                // tree would be laid out along it, scattered over the slab.
                slab->free = nullptr;
                slab->bump = reinterpret_cast<char*>(slab + 1);
            }
        } else {
            if (slab->live == 0) {
                if (slab->listed) {
                    unlink(pool, slab);
                }
                empty = slab;
            } else if (!slab->listed) {
                link(pool, slab);
            }
        }
    }
    if (empty != nullptr) {
        giveBackSlab(empty);
    }
}

size_t KrNodePool::BytesHeld() {
    return g_bytesHeld.load(std::memory_order_relaxed);
}

size_t KrNodePool::BytesMapped() {
    return g_bytesMapped.load(std::memory_order_relaxed);
}

size_t KrNodePool::BytesInUse() {
    size_t bytes = 0;
    for (Pool& pool : g_pools) {
        std::lock_guard<std::mutex> lock(pool.mutex);
        bytes += pool.bytesInUse;
    }
    return bytes;
}
