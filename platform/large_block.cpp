#include "large_block.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace {
constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
constexpr size_t SMALLEST_ADVISED = size_t{4} << 20;
constexpr size_t SMALLEST_HUGE_PAGE_BLOCK = size_t{1} << 20;
// Containers from half a megabyte on: one huge page, cleared by the system at once, costs less than the
// 128 or more small-page faults of filling them.
constexpr size_t SMALLEST_HUGE_PAGE_STORAGE = size_t{1} << 19;
constexpr size_t SMALLEST_PREFAULTED = size_t{256} << 10;

uintptr_t page_size() {
    static const uintptr_t size = [] {
        long n = ::sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<uintptr_t>(n) : uintptr_t{4096};
    }();
    return size;
}

// The whole pages a block touches: [first, end).
struct PAGE_SPAN {
    uintptr_t first;
    uintptr_t end;
};
PAGE_SPAN page_span(const void* data, size_t size) {
    const uintptr_t page = page_size();
    const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
    return {begin & ~(page - 1), (begin + size + page - 1) & ~(page - 1)};
}
// Whether the first and the last page of a block are mapped: memory the process has used before (reused
// from its heap) is mapped whole, fresh memory not at all.
bool large_block_is_mapped(const void* data, size_t size) {
    if (size == 0)
        return true;
    const PAGE_SPAN pages = page_span(data, size);
    const uintptr_t page = page_size();
    unsigned char first = 0;
    unsigned char last = 0;
    return ::mincore(reinterpret_cast<void*>(pages.first), page, &first) == 0 &&
           ::mincore(reinterpret_cast<void*>(pages.end - page), page, &last) == 0 && (first & last & 1);
}
} // namespace

void advise_large_block(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
    if (size < SMALLEST_ADVISED)
        return;
    const PAGE_SPAN pages = page_span(data, size);
    const uintptr_t begin = (pages.first + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = pages.end & ~(HUGE_PAGE - 1);
    if (begin < end)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

void prefault_large_block(void* data, size_t size) {
    advise_large_block(data, size);
#ifdef MADV_POPULATE_WRITE
    // A kernel without the request refuses it, harmlessly: the pages then fault one by one as before.
    if (size < SMALLEST_PREFAULTED)
        return;
    // Memory the process has had before (reused from its heap) is mapped already, and asking again would
    // walk its page tables for nothing.
    if (large_block_is_mapped(data, size))
        return;
    const PAGE_SPAN pages = page_span(data, size);
    ::madvise(reinterpret_cast<void*>(pages.first), pages.end - pages.first, MADV_POPULATE_WRITE);
#endif
}

std::unique_ptr<unsigned char[]> new_large_block(size_t size) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[size]);
    advise_large_block(block.get(), size);
    return block;
}

namespace {

bool mapped_on_huge_pages(size_t size, size_t smallest = SMALLEST_HUGE_PAGE_BLOCK) {
    return size >= smallest && size <= SIZE_MAX - 2 * HUGE_PAGE;
}

size_t rounded_to_huge_pages(size_t size) {
    return (size + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

// A zero-filled mapping of the size rounded up to whole huge pages, 2 MB-aligned and advised; null when the
// system refuses it.
unsigned char* map_huge_pages(size_t size) {
    const size_t rounded = rounded_to_huge_pages(size);
    // Mapped with one huge page to spare, then trimmed to its 2 MB-aligned part.
    void* raw =
        ::mmap(nullptr, rounded + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = begin + rounded + HUGE_PAGE;
    if (aligned > begin)
        ::munmap(raw, aligned - begin);
    if (end > aligned + rounded)
        ::munmap(reinterpret_cast<void*>(aligned + rounded), end - (aligned + rounded));
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<unsigned char*>(aligned);
}

} // namespace

void* allocate_large_storage(size_t size) {
    if (mapped_on_huge_pages(size, SMALLEST_HUGE_PAGE_STORAGE)) {
        // The size alone tells release_large_storage how the block was made, so a refused mapping is a
        // failure here rather than a fallback to the heap.
        if (unsigned char* data = map_huge_pages(size))
            return data;
        throw std::bad_alloc();
    }
    void* data = std::malloc(size > 0 ? size : 1);
    if (data == nullptr)
        throw std::bad_alloc();
    return data;
}

void release_large_storage(void* data, size_t size) noexcept {
    if (data == nullptr)
        return;
    if (mapped_on_huge_pages(size, SMALLEST_HUGE_PAGE_STORAGE))
        ::munmap(data, rounded_to_huge_pages(size));
    else
        std::free(data);
}

HUGE_PAGE_BLOCK::HUGE_PAGE_BLOCK(size_t size) : m_size(size) {
    if (size == 0)
        return;
    if (mapped_on_huge_pages(size)) {
        if ((m_data = map_huge_pages(size)) != nullptr) {
            m_mapped = rounded_to_huge_pages(size);
            return;
        }
    }
    m_data = static_cast<unsigned char*>(std::malloc(size));
    if (m_data == nullptr) {
        m_size = 0;
        throw std::bad_alloc();
    }
}

void HUGE_PAGE_BLOCK::release() {
    if (m_mapped != 0)
        ::munmap(m_data, m_mapped);
    else
        std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    m_mapped = 0;
}

void LARGE_TEXT::append(const unsigned char* data, size_t size) {
    if (size == 0)
        return;
    if (size > SIZE_MAX / 2 - m_size)
        throw std::bad_alloc();
    if (m_size + size > m_block.size()) {
        HUGE_PAGE_BLOCK grown(std::max(m_size + size, 2 * m_block.size()));
        if (m_size > 0)
            std::memcpy(grown.get(), m_block.get(), m_size);
        m_block = std::move(grown);
    }
    std::memcpy(m_block.get() + m_size, data, size);
    m_size += size;
}
