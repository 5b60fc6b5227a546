#include "compression.h"

#include "large_block.h"
#include "msg_internal_error.h"

#include <algorithm>
#include <cstdint>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <memory>
#include <new>
#include <zlib.h>

namespace {

struct COMPRESSOR_DELETER {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DECOMPRESSOR_DELETER {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
using COMPRESSOR = std::unique_ptr<libdeflate_compressor, COMPRESSOR_DELETER>;
using DECOMPRESSOR = std::unique_ptr<libdeflate_decompressor, DECOMPRESSOR_DELETER>;

// Room for a gzip member's output before its true length is known: its stated length, within these limits.
constexpr uint64_t GZIP_MIN_ROOM = 1 << 16;
constexpr uint64_t GZIP_TRUSTED_ROOM = 16 << 20; // stated lengths up to this (or 16 x the input) are trusted

uint32_t get_le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool is_gzip_member(const unsigned char* p, size_t left) {
    return left >= 2 && p[0] == 0x1F && p[1] == 0x8B;
}

// Why a gzip member was refused: zlib's streaming inflate tells a member cut short from a trailer that does
// not match and from damaged data. Runs only on the failure path, so its speed does not matter.
std::string explain_gzip_failure(const unsigned char* data, size_t size, unsigned member) {
    const std::string which = "member " + std::to_string(member);
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK)
        return "out of memory";
    unsigned char sink[1 << 14];
    int rc = Z_OK;
    size_t left = size;
    const unsigned char* next = data;
    do {
        if (zs.avail_in == 0 && left > 0) {
            zs.next_in = const_cast<unsigned char*>(next);
            zs.avail_in = static_cast<uInt>(std::min<size_t>(left, 1u << 30));
            next += zs.avail_in;
            left -= zs.avail_in;
        }
        zs.next_out = sink;
        zs.avail_out = sizeof sink;
        rc = inflate(&zs, Z_NO_FLUSH);
    } while (rc == Z_OK);
    std::string message = zs.msg ? zs.msg : "";
    uint64_t produced = zs.total_out;
    inflateEnd(&zs);
    if (rc == Z_BUF_ERROR)
        return "the file ends inside " + which + " (cut short)";
    if (message == "incorrect length check")
        return "the length in the trailer of " + which + " does not match its data (" +
               std::to_string(produced) + " bytes)";
    if (message == "incorrect data check")
        return "the CRC-32 in the trailer of " + which + " does not match its data";
    if (rc == Z_MEM_ERROR)
        return "out of memory";
    return "damaged data in " + which + (message.empty() ? "" : " (" + message + ")");
}

} // namespace

int zlib_compress2(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                   unsigned long source_size, int level) {
    COMPRESSOR compressor(libdeflate_alloc_compressor(level));
    if (!compressor)
        return ZLIB_MEM_ERROR;
    size_t n =
        libdeflate_zlib_compress(compressor.get(), source, source_size, destination, *destination_size);
    if (n == 0)
        return ZLIB_BUF_ERROR;
    *destination_size = n;
    return ZLIB_OK;
}

int zlib_reference_compress2(unsigned char* destination, unsigned long* destination_size,
                             const unsigned char* source, unsigned long source_size, int level) {
    uLongf size = *destination_size;
    int rc = compress2(destination, &size, source, source_size, level);
    *destination_size = size;
    return rc == Z_OK ? ZLIB_OK : rc;
}

// Either encoder's output fits: libdeflate's bound is the larger of the two.
unsigned long zlib_compress_bound(unsigned long source_size) {
    return std::max<unsigned long>(libdeflate_zlib_compress_bound(nullptr, source_size),
                                   compressBound(source_size));
}

int zlib_uncompress(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                    unsigned long source_size) {
    // ISA-L's inflate: on the literal-heavy payloads of bit maps it runs about a quarter faster than
    // libdeflate's. It checks the zlib header and the Adler-32; its state is large, so it lives on the heap.
    std::unique_ptr<inflate_state> state(new (std::nothrow) inflate_state);
    if (!state)
        return ZLIB_MEM_ERROR;
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_ZLIB;
    state->next_in = const_cast<unsigned char*>(source);
    state->avail_in = static_cast<uint32_t>(std::min<unsigned long>(source_size, UINT32_MAX));
    state->next_out = destination;
    state->avail_out = static_cast<uint32_t>(std::min<unsigned long>(*destination_size, UINT32_MAX));
    const int rc = isal_inflate_stateless(state.get());
    if (rc == ISAL_OUT_OVERFLOW)
        return ZLIB_BUF_ERROR;
    if (rc != ISAL_DECOMP_OK)
        return ZLIB_DATA_ERROR;
    *destination_size = state->total_out;
    return ZLIB_OK;
}

void gzip_unpack(const unsigned char* data, size_t size, const std::string& name,
                 const std::function<void(const unsigned char*, size_t)>& sink) {
    if (!is_gzip_member(data, size))
        BRIX_REPORT("Not a compressed file: " + name);
    const std::string failure = "Unable to decompress " + name + ": ";
    DECOMPRESSOR decompressor(libdeflate_alloc_decompressor());
    if (!decompressor)
        BRIX_REPORT(failure + "out of memory");
    // The last member's stated length, a fair first guess for the members before it too.
    const uint64_t stated = size >= 4 ? get_le32(data + size - 4) : 0;
    // Megabytes for a large member, filled at once: on huge pages where the system has them.
    HUGE_PAGE_BLOCK out;
    uint64_t room = 0;
    size_t at = 0;
    for (unsigned member = 1; at < size; ++member) {
        const unsigned char* in = data + at;
        const size_t left = size - at;
        INPUT_CONTEXT here("member " + std::to_string(member) + " at byte " + std::to_string(at));
        if (!is_gzip_member(in, left))
            BRIX_REPORT(failure + std::to_string(left) + " bytes after member " + std::to_string(member - 1) +
                        " are not gzip data");
        const uint64_t bound = uint64_t{left} * DEFLATE_MAX_RATIO;
        const uint64_t trusted = std::max<uint64_t>(GZIP_TRUSTED_ROOM, uint64_t{left} * 16);
        uint64_t want = std::min(bound, std::max(GZIP_MIN_ROOM, std::min(stated, trusted)));
        size_t used = 0, produced = 0;
        for (;;) {
            if (want > room) {
                out = HUGE_PAGE_BLOCK();
                room = 0;
                try {
                    out = HUGE_PAGE_BLOCK(static_cast<size_t>(want));
                } catch (const std::bad_alloc&) {
                    BRIX_REPORT(failure + "out of memory for " + std::to_string(want) + " bytes");
                }
                room = want;
            }
            libdeflate_result rc = libdeflate_gzip_decompress_ex(decompressor.get(), in, left, out.get(),
                                                                 room, &used, &produced);
            if (rc == LIBDEFLATE_SUCCESS)
                break;
            // The data goes on beyond the room: grow it, up to what the input can yield.
            if (rc == LIBDEFLATE_INSUFFICIENT_SPACE && room < bound) {
                want = std::min(bound, room * 2);
                continue;
            }
            BRIX_REPORT(failure + explain_gzip_failure(in, left, member));
        }
        sink(out.get(), produced);
        at += used;
    }
}
