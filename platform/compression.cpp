#include "compression.h"

#include <zlib.h>

int zlib_compress2(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                   unsigned long source_size, int level) {
    uLongf size = *destination_size;
    int rc = compress2(destination, &size, source, source_size, level);
    *destination_size = size;
    return rc;
}

int zlib_uncompress(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                    unsigned long source_size) {
    uLongf size = *destination_size;
    int rc = uncompress(destination, &size, source, source_size);
    *destination_size = size;
    return rc;
}

unsigned long zlib_compress_bound(unsigned long source_size) {
    return compressBound(source_size);
}
