#pragma once
// Memory for the element nodes of every tree. A tree holds one node per word
// and per whitespace run, and the general allocator spent more time on them
// (per-chunk headers, consolidating its bins after a large tree was freed)
// than the reader spent reading. Nodes of up to kMaxSize bytes come from
// slabs of one size class each: allocating takes a free slot of the class's
// current slab, freeing puts the slot back on its own slab, found from the
// address alone. Slabs are cut from larger mappings, and a mapping whose
// slabs are all empty goes back to the system once 64 MiB of empty ones are
// kept for the next tree, so freeing a tree node by node or in bulk returns
// its memory beyond that.
// Thread-safe: each size class has its own lock; a node may be freed on
// another thread than the one that made it.
// In AddressSanitizer builds every node comes from the general allocator, so
// that the sanitizer keeps seeing each node's use after free.

#include <cstddef>
#include <new>

class KrNodePool {
  public:
    static constexpr size_t kMaxSize = 512;

    // size bytes, aligned for any node; throws std::bad_alloc.
    static void* Allocate(size_t size);
    // size must be what Allocate was given for p.
    static void Free(void* p, size_t size) noexcept;

    // Bytes of the pool's mappings that hold nodes now (like the allocator's
    // count of bytes in use, it leaves out the empty mappings kept for reuse).
    static size_t BytesHeld();
    // Bytes of all the pool's mappings, the empty ones kept for reuse too.
    static size_t BytesMapped();
    // Bytes of the slots handed out and not freed (like the allocator's
    // count of bytes in use, it leaves out the free room of partly used
    // slabs and mappings). 0 where every node comes from the general
    // allocator.
    static size_t BytesInUse();
    // False where every node comes from the general allocator.
    static bool Enabled();
};

// Standard allocator over the pool, for containers a node holds (its child
// list): their buffers then sit in slabs beside the nodes instead of in the
// general heap, where a freed large tree leaves them scattered and slow to
// walk and to free. Buffers above kMaxSize come from the general allocator.
template <typename T>
struct KrNodePoolAllocator {
    using value_type = T;

    KrNodePoolAllocator() noexcept = default;
    template <typename U>
    KrNodePoolAllocator(const KrNodePoolAllocator<U>& /*other*/) noexcept {}

    T* allocate(size_t count) {
        if (count > static_cast<size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(KrNodePool::Allocate(count * sizeof(T)));
    }
    void deallocate(T* p, size_t count) noexcept { KrNodePool::Free(p, count * sizeof(T)); }

    template <typename U>
    bool operator==(const KrNodePoolAllocator<U>& /*other*/) const noexcept {
        return true;
    }
};
