#include "large_block.h"

#include <cstdint>
#include <sys/mman.h>

namespace {
constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
constexpr size_t SMALLEST_ADVISED = size_t{4} << 20;
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
