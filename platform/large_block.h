// Large blocks that are filled right after they are allocated (decompressed payloads, archive byte blocks,
// whole files read into memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

// Filling fresh memory costs one page fault per 4 KB page, and on some machines a fault costs more than
// copying the page. Asks the system to back the 2 MB-aligned interior of a block of at least 4 MB with huge
// pages, one fault per 2 MB. The interior is taken from the block's first to its last page: a 2 MB page may
// reach into the partial pages at either end, which belong to the block's own allocation or a neighbour's,
// and whose contents the hint leaves as they are. Only a hint: the block's contents and ownership stay as
// they are, and a system without huge pages ignores it.
void advise_large_block(void* data, size_t size);

// Maps every page of a block that is about to be filled whole, in one call instead of one fault per page
// (the block is advised as above first); a block whose first and last pages are mapped already is left as it
// is. Also only a hint: the contents stay as they are.
void prefault_large_block(void* data, size_t size);

// An uninitialised block of size bytes (new[]), advised as above.
std::unique_ptr<unsigned char[]> new_large_block(size_t size);

// A block for a working table of megabytes that is filled right away (a grid of cells, an unpacked text).
// From 1 MB on it is a mapping of its own (zero-filled), of whole 2 MB-aligned huge pages (the size rounded
// up; the rounding costs address space only until touched), advised as above, so that the fill takes one
// fault per 2 MB: memory reused from the heap would not be backed by huge pages. Smaller blocks are plain,
// uninitialised allocations. Throws std::bad_alloc when the memory is not there.
class HUGE_PAGE_BLOCK {
  public:
    HUGE_PAGE_BLOCK() = default;
    explicit HUGE_PAGE_BLOCK(size_t size);
    ~HUGE_PAGE_BLOCK() { release(); }
    HUGE_PAGE_BLOCK(HUGE_PAGE_BLOCK&& other) noexcept { take(other); }
    HUGE_PAGE_BLOCK& operator=(HUGE_PAGE_BLOCK&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    HUGE_PAGE_BLOCK(const HUGE_PAGE_BLOCK&) = delete;
    HUGE_PAGE_BLOCK& operator=(const HUGE_PAGE_BLOCK&) = delete;

    unsigned char* get() const { return m_data; }
    size_t size() const { return m_size; }

  private:
    void release();
    void take(HUGE_PAGE_BLOCK& other) {
        m_data = other.m_data;
        m_size = other.m_size;
        m_mapped = other.m_mapped;
        other.m_data = nullptr;
        other.m_size = 0;
        other.m_mapped = 0;
    }
    unsigned char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_mapped = 0; // bytes of the block's own mapping; 0 for a plain allocation
};

// The storage of a block of size bytes for a container: from 512 KB on a mapping of its own on huge pages,
// as HUGE_PAGE_BLOCK, else a plain allocation. release_large_storage takes the same size back. Throws
// std::bad_alloc when the memory is not there.
void* allocate_large_storage(size_t size);
void release_large_storage(void* data, size_t size) noexcept;

// An allocator for std::vector of working tables that can reach megabytes (bit matrices, archive buffers): a
// table of 512 KB or more takes one page fault per 2 MB when it is filled, instead of one per 4 KB.
template <typename T> struct LARGE_BLOCK_ALLOCATOR {
    using value_type = T;
    LARGE_BLOCK_ALLOCATOR() = default;
    template <typename U> LARGE_BLOCK_ALLOCATOR(const LARGE_BLOCK_ALLOCATOR<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T*>(allocate_large_storage(n * sizeof(T)));
    }
    void deallocate(T* data, size_t n) noexcept { release_large_storage(data, n * sizeof(T)); }
    template <typename U> bool operator==(const LARGE_BLOCK_ALLOCATOR<U>&) const noexcept { return true; }
    template <typename U> bool operator!=(const LARGE_BLOCK_ALLOCATOR<U>&) const noexcept { return false; }
};

// A text of megabytes held whole in memory (an unpacked input read more than once), in a HUGE_PAGE_BLOCK
// that append() grows by doubling.
class LARGE_TEXT {
  public:
    void append(const unsigned char* data, size_t size);
    std::string_view view() const { return {reinterpret_cast<const char*>(m_block.get()), m_size}; }
    size_t size() const { return m_size; }

  private:
    HUGE_PAGE_BLOCK m_block;
    size_t m_size = 0;
};
