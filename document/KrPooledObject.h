#pragma once
// Base of the classes whose objects make up trees (elements, attributes):
// their objects, and those of every class derived from them, come from the
// node pool (KrNodePool), since a tree is made of many small nodes. A
// polymorphic class's virtual destructor hands the size of the most derived
// class to operator delete, which the pool needs to find the slot's size
// class.

#include <cstddef>
#include <new>

#include "document/KrNodePool.h"

class KrPooledObject {
  public:
    static void* operator new(size_t size) { return KrNodePool::Allocate(size); }
    static void operator delete(void* p, size_t size) noexcept { KrNodePool::Free(p, size); }
    // A subclass aligned beyond 16 bytes comes from the general allocator.
    static void* operator new(size_t size, std::align_val_t alignment) {
        return ::operator new(size, alignment);
    }
    static void operator delete(void* p, size_t /*size*/, std::align_val_t alignment) noexcept {
        // The unsized form: clang declares the sized one only with
        // -fsized-deallocation.
        ::operator delete(p, alignment);
    }
    // Declaring the forms above hides the global placement form.
    static void* operator new(size_t /*size*/, void* where) noexcept { return where; }
    static void operator delete(void* /*p*/, void* /*where*/) noexcept {}

  protected:
    KrPooledObject() = default;
    ~KrPooledObject() = default;
};
