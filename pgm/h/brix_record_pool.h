// Fixed-size blocks for the records a device build makes by the hundred thousand (the G2 bit and reference
// records of a RIF file). Ownership does not change: the owner still deletes each record. The record class's
// operator new takes a block from a free list and its operator delete puts the block back, so making and
// releasing a record costs a list operation instead of a heap allocation, and a record takes its own size
// instead of a heap chunk. Each thread keeps a few hundred free blocks of its own and trades them with the
// pool a batch at a time, so threads that make records at once do not queue for the pool. Blocks are carved
// from slabs that stay with the pool for reuse, so the pool holds at most as much as the most records alive
// at one time needed, and the threads' caches. A slab is a 2 MB mapping of its own on a huge page
// (HUGE_PAGE_BLOCK): filling it costs one page fault instead of 512, and the address space of a slab that is
// never filled costs nothing.
//
// Under AddressSanitizer the records come from the heap, so that its checks see every record.
//
//     static void* operator new(size_t size) { return BRIX_RECORD_POOL<sizeof(T),
//     alignof(T)>::allocate(size); } static void operator delete(void* p, size_t size) noexcept {
//         BRIX_RECORD_POOL<sizeof(T), alignof(T)>::release(p, size);
//     }
#pragma once

#include "large_block.h"

#include <algorithm>
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
        CACHE& c = t_cache;
        if (c.free != nullptr) {
            FREE_BLOCK* block = c.free;
            c.free = block->next;
            --c.count;
            return block;
        }
        if (c.next != c.end) {
            void* block = c.next;
            c.next += BLOCK_BYTES;
            return block;
        }
        return allocate_from_pool(c);
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
        CACHE& c = t_cache;
        if (c.closed) {
            STATE& s = state();
            LOCK lock(s);
            s.free = new (p) FREE_BLOCK{s.free, nullptr};
            return;
        }
        if (!c.registered)
            register_thread(c); // a thread that only releases records gives them back at its end too
        c.free = new (p) FREE_BLOCK{c.free, nullptr};
        if (++c.count >= 2 * BATCH)
            give_batch(c);
#endif
    }

    // The bytes of the blocks carved from the slabs so far, for tests: they grow only when more records are
    // alive at once than before.
    static size_t carved_bytes() {
        STATE& s = state();
        LOCK lock(s);
        return s.slabs.size() * (SLAB_BYTES / BLOCK_BYTES * BLOCK_BYTES) -
               static_cast<size_t>(s.end - s.next);
    }

  private:
    // A free block; next_batch links whole batches in the pool.
    struct FREE_BLOCK {
        FREE_BLOCK* next;
        FREE_BLOCK* next_batch;
    };
    static constexpr size_t BLOCK_ALIGN = ALIGN > alignof(FREE_BLOCK) ? ALIGN : alignof(FREE_BLOCK);
    static constexpr size_t BLOCK_BYTES_MIN = SIZE > sizeof(FREE_BLOCK) ? SIZE : sizeof(FREE_BLOCK);
    static constexpr size_t BLOCK_BYTES = (BLOCK_BYTES_MIN + BLOCK_ALIGN - 1) / BLOCK_ALIGN * BLOCK_ALIGN;
    static constexpr size_t SLAB_BYTES = size_t{2} << 20;
    static_assert(BLOCK_ALIGN <= alignof(std::max_align_t) && BLOCK_BYTES <= SLAB_BYTES,
                  "slabs are aligned at least as malloc aligns");
    // Blocks move between a thread and the pool a batch at a time.
    static constexpr size_t BATCH = 128;

    struct STATE {
        std::atomic_flag busy = ATOMIC_FLAG_INIT;
        FREE_BLOCK* batches = nullptr; // whole batches of BATCH blocks, linked by next_batch
        FREE_BLOCK* free = nullptr;    // single blocks
        char* next = nullptr;
        char* end = nullptr;
        std::vector<HUGE_PAGE_BLOCK> slabs;
    };
    // Every thread keeps the blocks it released (up to two batches) and a run of blocks carved for it, so
    // that threads making records at once (the part files of a database) take the pool's lock once a batch
    // rather than once a record. Plain data, so that it outlives the thread's other objects: a record may be
    // released while they are destroyed, and then goes straight to the pool (closed).
    struct CACHE {
        FREE_BLOCK* free;
        size_t count; // blocks in free
        char* next;   // the carved run [next, end)
        char* end;
        bool registered; // the thread's end gives the cache back to the pool
        bool closed;
    };
    static inline thread_local CACHE t_cache{};
    struct GIVE_BACK_AT_EXIT {
        ~GIVE_BACK_AT_EXIT() {
            CACHE& c = t_cache;
            STATE& s = state();
            LOCK lock(s);
            if (c.free != nullptr) {
                FREE_BLOCK* last = c.free;
                while (last->next != nullptr)
                    last = last->next;
                last->next = s.free;
                s.free = c.free;
            }
            for (; c.next != c.end; c.next += BLOCK_BYTES)
                s.free = new (c.next) FREE_BLOCK{s.free, nullptr};
            c.free = nullptr;
            c.count = 0;
            c.closed = true;
        }
    };

    static void register_thread(CACHE& c) {
        c.registered = true;
        static thread_local GIVE_BACK_AT_EXIT give_back;
        (void)give_back;
    }

    static void* allocate_from_pool(CACHE& c) {
        if (!c.registered && !c.closed)
            register_thread(c);
        STATE& s = state();
        LOCK lock(s);
        FREE_BLOCK* block = nullptr;
        if (s.batches != nullptr && !c.closed) {
            block = s.batches;
            s.batches = block->next_batch;
            c.free = block->next;
            c.count = BATCH - 1;
            return block;
        }
        if (s.free != nullptr) {
            // Single blocks (given back by threads that ended): up to a batch of them.
            block = s.free;
            FREE_BLOCK* last = block;
            size_t taken = 1;
            for (; taken < BATCH && last->next != nullptr && !c.closed; ++taken)
                last = last->next;
            s.free = last->next;
            last->next = nullptr;
            c.free = block->next;
            c.count = taken - 1;
            return block;
        }
        if (s.next == s.end) {
            s.slabs.emplace_back(SLAB_BYTES);
            s.next = reinterpret_cast<char*>(s.slabs.back().get());
            s.end = s.next + SLAB_BYTES / BLOCK_BYTES * BLOCK_BYTES;
        }
        block = reinterpret_cast<FREE_BLOCK*>(s.next);
        const size_t run = c.closed ? 1 : std::min<size_t>(BATCH, (s.end - s.next) / BLOCK_BYTES);
        s.next += run * BLOCK_BYTES;
        c.next = reinterpret_cast<char*>(block) + BLOCK_BYTES;
        c.end = reinterpret_cast<char*>(block) + run * BLOCK_BYTES;
        return block;
    }

    // Hands the first BATCH blocks of the thread's list to the pool.
    static void give_batch(CACHE& c) noexcept {
        FREE_BLOCK* first = c.free;
        FREE_BLOCK* last = first;
        for (size_t i = 1; i < BATCH; ++i)
            last = last->next;
        c.free = last->next;
        c.count -= BATCH;
        last->next = nullptr;
        STATE& s = state();
        LOCK lock(s);
        first->next_batch = s.batches;
        s.batches = first;
    }

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
