// zlib wrappers: compress2 at the given level and uncompress; 0 (Z_OK) on success.
#pragma once

#include <cstddef>

int zlib_compress2(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                   unsigned long source_size, int level);
int zlib_uncompress(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                    unsigned long source_size);
// Upper bound of the compressed size of source_size bytes.
unsigned long zlib_compress_bound(unsigned long source_size);
