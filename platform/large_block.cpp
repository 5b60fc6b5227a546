#include "large_block.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace {
constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
constexpr size_t SMALLEST_ADVISED = size_t{4} << 20;
constexpr size_t SMALLEST_HUGE_PAGE_BLOCK = size_t{1} << 20;
} // namespace

void advise_large_block(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
    if (size < SMALLEST_ADVISED)
        return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(HUGE_PAGE - 1);
    if (begin < end)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

std::unique_ptr<unsigned char[]> new_large_block(size_t size) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[size]);
    advise_large_block(block.get(), size);
    return block;
}

HUGE_PAGE_BLOCK::HUGE_PAGE_BLOCK(size_t size) : m_size(size) {
    if (size == 0)
        return;
    void* data = nullptr;
    if (size >= SMALLEST_HUGE_PAGE_BLOCK && size <= SIZE_MAX - HUGE_PAGE) {
        const size_t rounded = (size + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        data = std::aligned_alloc(HUGE_PAGE, rounded);
#ifdef MADV_HUGEPAGE
        if (data != nullptr)
            ::madvise(data, rounded, MADV_HUGEPAGE);
#endif
    } else {
        data = std::malloc(size);
    }
    if (data == nullptr)
        throw std::bad_alloc();
    m_data.reset(static_cast<unsigned char*>(data));
}

void HUGE_PAGE_BLOCK::RELEASE::operator()(unsigned char* data) const {
    std::free(data);
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
