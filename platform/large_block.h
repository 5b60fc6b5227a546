// Large blocks that are filled right after they are allocated (decompressed payloads, archive byte blocks,
// whole files read into memory).
#pragma once

#include <cstddef>
#include <memory>

// Filling fresh memory costs one page fault per 4 KB page, and on some machines a fault costs more than
// copying the page. Asks the system to back the 2 MB-aligned interior of a block of at least 4 MB with huge
// pages, one fault per 2 MB. Only a hint: the block's contents and ownership stay as they are, and a
// system without huge pages ignores it.
void advise_large_block(void* data, size_t size);

// An uninitialised block of size bytes (new[]), advised as above.
std::unique_ptr<unsigned char[]> new_large_block(size_t size);
