// Fixed-size blocks for the records a device build makes by the hundred thousand (the G2 bit and reference
// records of a RIF file). Ownership does not change: the owner still deletes each record. The record class's
// operator new takes a block from the pool's free list and its operator delete puts the block back, so making
// and releasing a record costs a list operation instead of a heap allocation, and a record takes its own size
// instead of a heap chunk. Blocks are carved from slabs that stay with the pool for reuse, so the pool holds
// at most as much as the most records alive at one time needed. A slab is a 2 MB mapping of its own on a
// huge page (HUGE_PAGE_BLOCK): filling it costs one page fault instead of 512, and the address space of a
// slab that is never filled costs nothing.
//
// Under AddressSanitizer the records come from the heap, so that its checks see every record.
//
//     static void* operator new(size_t size) { return BRIX_RECORD_POOL<sizeof(T),
//     alignof(T)>::allocate(size); } static void operator delete(void* p, size_t size) noexcept {
//         BRIX_RECORD_POOL<sizeof(T), alignof(T)>::release(p, size);
//     }
#pragma once

#include "large_block.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define BRIX_RECORD_POOL_USES_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRIX_RECORD_POOL_USES_HEAP 1
#endif
#endif

template <size_t SIZE, size_t ALIGN> class BRIX_RECORD_POOL {
  public:
    // A block for a record of SIZE bytes; any other size (a derived class) comes from the heap.
    static void* allocate(size_t size) {
#ifdef BRIX_RECORD_POOL_USES_HEAP
        return ::operator new(size);
#else
        if (size != SIZE)
            return ::operator new(size);
        STATE& s = state();
        LOCK lock(s);
        if (s.free != nullptr) {
            FREE_BLOCK* block = s.free;
            s.free = block->next;
            return block;
        }
        if (s.next == s.end) {
            s.slabs.emplace_back(SLAB_BYTES);
            s.next = reinterpret_cast<char*>(s.slabs.back().get());
            s.end = s.next + SLAB_BYTES / BLOCK_BYTES * BLOCK_BYTES;
        }
        void* block = s.next;
        s.next += BLOCK_BYTES;
        return block;
#endif
    }

    static void release(void* p, size_t size) noexcept {
#ifdef BRIX_RECORD_POOL_USES_HEAP
        ::operator delete(p);
        (void)size;
#else
        if (p == nullptr)
            return;
        if (size != SIZE) {
            ::operator delete(p);
            return;
        }
        STATE& s = state();
        LOCK lock(s);
        s.free = new (p) FREE_BLOCK{s.free};
#endif
    }

  private:
    struct FREE_BLOCK {
        FREE_BLOCK* next;
    };
    static constexpr size_t BLOCK_ALIGN = ALIGN > alignof(FREE_BLOCK) ? ALIGN : alignof(FREE_BLOCK);
    static constexpr size_t BLOCK_BYTES_MIN = SIZE > sizeof(FREE_BLOCK) ? SIZE : sizeof(FREE_BLOCK);
    static constexpr size_t BLOCK_BYTES = (BLOCK_BYTES_MIN + BLOCK_ALIGN - 1) / BLOCK_ALIGN * BLOCK_ALIGN;
    static constexpr size_t SLAB_BYTES = size_t{2} << 20;
    static_assert(BLOCK_ALIGN <= alignof(std::max_align_t) && BLOCK_BYTES <= SLAB_BYTES,
                  "slabs are aligned at least as malloc aligns");

    struct STATE {
        std::atomic_flag busy = ATOMIC_FLAG_INIT;
        FREE_BLOCK* free = nullptr;
        char* next = nullptr;
        char* end = nullptr;
        std::vector<HUGE_PAGE_BLOCK> slabs;
    };
    // A list operation holds the pool for a few instructions: a spin lock costs less than a mutex here.
    class LOCK {
      public:
        explicit LOCK(STATE& s) : m_state(s) {
            while (m_state.busy.test_and_set(std::memory_order_acquire))
                std::this_thread::yield();
        }
        ~LOCK() { m_state.busy.clear(std::memory_order_release); }
        LOCK(const LOCK&) = delete;
        LOCK& operator=(const LOCK&) = delete;

      private:
        STATE& m_state;
    };
    // Never destroyed: a record may be released during the destruction of static objects.
    static STATE& state() {
        static STATE* s = new STATE();
        return *s;
    }
};

// An allocator for the element buffers of record lists: a buffer of up to 256 bytes comes from the pool of
// its size class (16, 32, 64, 128 or 256 bytes), a larger one from the heap.
template <class T> class BRIX_RECORD_ALLOCATOR {
  public:
    using value_type = T;
    BRIX_RECORD_ALLOCATOR() = default;
    template <class U> BRIX_RECORD_ALLOCATOR(const BRIX_RECORD_ALLOCATOR<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > size_t(-1) / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(dispatch(n * sizeof(T), nullptr));
    }
    void deallocate(T* p, size_t n) noexcept { dispatch(n * sizeof(T), p); }

    template <class U> bool operator==(const BRIX_RECORD_ALLOCATOR<U>&) const noexcept { return true; }
    template <class U> bool operator!=(const BRIX_RECORD_ALLOCATOR<U>&) const noexcept { return false; }

  private:
    static_assert(alignof(T) <= alignof(std::max_align_t), "pool blocks are aligned as malloc aligns");
    // Allocates a block of bytes (p null) or releases p, a block of bytes.
    template <size_t CLASS> static void* in_class(T* p) {
        using POOL = BRIX_RECORD_POOL<CLASS, alignof(std::max_align_t)>;
        if (p == nullptr)
            return POOL::allocate(CLASS);
        POOL::release(p, CLASS);
        return nullptr;
    }
    static void* dispatch(size_t bytes, T* p) {
        if (bytes <= 16)
            return in_class<16>(p);
        if (bytes <= 32)
            return in_class<32>(p);
        if (bytes <= 64)
            return in_class<64>(p);
        if (bytes <= 128)
            return in_class<128>(p);
        if (bytes <= 256)
            return in_class<256>(p);
        if (p == nullptr)
            return ::operator new(bytes);
        ::operator delete(p);
        return nullptr;
    }
};

// A list of records that a RIF file makes by the hundred thousand (a bit's references, a slot's bits): the
// list object and its element buffer come from the record pools. In every other respect it is a std::vector
// of record pointers; its owner deletes it (and its records) as before.
template <class T> class BRIX_RECORD_LIST : public std::vector<T*, BRIX_RECORD_ALLOCATOR<T*>> {
  public:
    using std::vector<T*, BRIX_RECORD_ALLOCATOR<T*>>::vector;

    static void* operator new(size_t size) {
        return BRIX_RECORD_POOL<sizeof(BRIX_RECORD_LIST), alignof(BRIX_RECORD_LIST)>::allocate(size);
    }
    static void operator delete(void* p, size_t size) noexcept {
        BRIX_RECORD_POOL<sizeof(BRIX_RECORD_LIST), alignof(BRIX_RECORD_LIST)>::release(p, size);
    }
};
