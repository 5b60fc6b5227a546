#include "compression.h"

#include "byte_codec.h"
#include "large_block.h"
#include "msg_internal_error.h"
#include "thr.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <memory>
#include <new>
#include <vector>
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

// Large streams are written as segments of SEGMENT_SIZE input bytes, each compressed on its own (no match
// reaches into an earlier segment) and ended by an empty stored block, which puts the next segment on a
// byte boundary behind the four bytes 00 00 FF FF. The whole is still one zlib stream that any reader
// takes; this module's reader finds the segments again and decompresses them side by side.
constexpr size_t SEGMENT_SIZE = size_t{4} << 20;
constexpr size_t SEGMENTED_STREAM = ZLIB_SEGMENTED_SIZE; // smaller inputs are one piece
static_assert(SEGMENTED_STREAM >= 2 * SEGMENT_SIZE, "a segmented stream has two segments or more");
const unsigned char SEGMENT_END[4] = {0x00, 0x00, 0xFF, 0xFF};
// What a segment may add behind the compressor's output: a byte for the empty block's header, SEGMENT_END.
constexpr size_t SEGMENT_END_ROOM = 1 + sizeof SEGMENT_END;

std::atomic<unsigned long> g_segmented_reads{0};

size_t segment_count(size_t size) {
    return (size + SEGMENT_SIZE - 1) / SEGMENT_SIZE;
}

// Input bytes of segment k of a stream of `size` input bytes: SEGMENT_SIZE, the last one the rest.
size_t segment_length(size_t size, size_t k) {
    return std::min(SEGMENT_SIZE, size - k * SEGMENT_SIZE);
}

// The Adler-32 of `size` bytes from the Adler-32s of their segments.
uint32_t combine_adlers(const std::vector<uint32_t>& adlers, size_t size) {
    uLong adler = adlers[0];
    for (size_t k = 1; k < adlers.size(); ++k)
        adler = adler32_combine(adler, adlers[k], static_cast<z_off_t>(segment_length(size, k)));
    return static_cast<uint32_t>(adler);
}

// Runs work(segment, slot) for every segment on the calling thread (slot 0) and one worker thread (slot 1),
// which take the segments in order. Stops early and returns false when work fails for a segment. Without a
// worker thread the caller does all of it.
class SEGMENT_JOB {
  public:
    using WORK = std::function<bool(size_t segment, unsigned slot)>;
    static constexpr unsigned SLOTS = 2;
    static bool run(size_t count, const WORK& work) {
        SEGMENT_JOB job(count, work);
        THR_HANDLE worker = thr_thread_create(run_worker, &job, 0);
        job.take(0);
        if (worker != nullptr)
            thr_thread_wait(worker);
        return !job.m_failed.load();
    }

  private:
    SEGMENT_JOB(size_t count, const WORK& work) : m_count(count), m_work(work) {}
    static void* run_worker(void* job) {
        static_cast<SEGMENT_JOB*>(job)->take(1);
        return nullptr;
    }
    void take(unsigned slot) {
        while (!m_failed.load(std::memory_order_relaxed)) {
            const size_t segment = m_next.fetch_add(1);
            if (segment >= m_count)
                return;
            bool ok = false;
            try {
                ok = m_work(segment, slot);
            } catch (const std::bad_alloc&) {
            }
            if (!ok)
                m_failed.store(true);
        }
    }
    const size_t m_count;
    const WORK& m_work;
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_failed{false};
};

// A compressed segment.
struct SEGMENT {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size = 0;
};

// Bit offset into `start` of the next bit zlib's inflate has not used: data_type holds the unused bits of
// the last byte it took.
uint64_t bit_position(const z_stream& zs, const unsigned char* start) {
    return uint64_t(zs.next_in - start) * 8 - uint64_t(zs.data_type & 7);
}

// Turns a complete deflate stream into a segment that the next one follows: clears the final-block flag of
// its last block and appends an empty stored block. zlib's inflate, stopping at every block boundary, finds
// where the last block starts and where the data ends; the output goes to `scratch` (SEGMENT_SIZE bytes).
bool continue_segment(SEGMENT& segment, unsigned char* scratch) {
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return false;
    unsigned char* const bytes = segment.bytes.get();
    zs.next_in = bytes;
    zs.avail_in = static_cast<uInt>(segment.size);
    // At a block boundary data_type has 128 set, and 64 once the final block is behind it.
    uint64_t last_block = 0, end = 0;
    int rc = Z_OK;
    do {
        zs.next_out = scratch;
        zs.avail_out = static_cast<uInt>(SEGMENT_SIZE);
        rc = inflate(&zs, Z_BLOCK);
        if (rc == Z_OK && (zs.data_type & 128) != 0)
            ((zs.data_type & 64) != 0 ? end : last_block) = bit_position(zs, bytes);
    } while (rc == Z_OK);
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || end == 0 || (end + 7) / 8 != segment.size)
        return false;
    bytes[last_block / 8] &= static_cast<unsigned char>(~(1u << (last_block % 8)));
    // The empty stored block: three zero header bits, zero padding to the byte boundary, then its length
    // and the length's complement. The header fits in the last byte when five or more of its bits are free.
    const unsigned used = static_cast<unsigned>(end % 8);
    if (used != 0)
        bytes[segment.size - 1] &= static_cast<unsigned char>((1u << used) - 1);
    if (used == 0 || used > 5)
        bytes[segment.size++] = 0;
    std::memcpy(bytes + segment.size, SEGMENT_END, sizeof SEGMENT_END);
    segment.size += sizeof SEGMENT_END;
    return true;
}

// The zlib header libdeflate writes for `level`: deflate with a 32 KiB window and the level's hint.
void put_zlib_header(unsigned char* out, int level) {
    const unsigned hint = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    unsigned header = 0x7800 | hint << 6;
    header |= 31 - header % 31;
    out[0] = static_cast<unsigned char>(header >> 8);
    out[1] = static_cast<unsigned char>(header);
}

int compress_segmented(unsigned char* destination, unsigned long* destination_size,
                       const unsigned char* source, size_t source_size, int level) {
    const size_t count = segment_count(source_size);
    std::vector<SEGMENT> segments(count);
    std::vector<uint32_t> adlers(count); // of each segment's input
    COMPRESSOR compressors[SEGMENT_JOB::SLOTS];
    std::unique_ptr<unsigned char[]> scratch[SEGMENT_JOB::SLOTS];
    const bool ok = SEGMENT_JOB::run(count, [&](size_t k, unsigned slot) {
        const unsigned char* in = source + k * SEGMENT_SIZE;
        const size_t n = segment_length(source_size, k);
        if (!compressors[slot])
            compressors[slot].reset(libdeflate_alloc_compressor(level));
        if (!compressors[slot])
            return false;
        SEGMENT& segment = segments[k];
        const size_t bound = libdeflate_deflate_compress_bound(compressors[slot].get(), n);
        segment.bytes.reset(new unsigned char[bound + SEGMENT_END_ROOM]);
        segment.size =
            libdeflate_deflate_compress(compressors[slot].get(), in, n, segment.bytes.get(), bound);
        if (segment.size == 0)
            return false;
        if (k + 1 < count) {
            if (!scratch[slot])
                scratch[slot].reset(new unsigned char[SEGMENT_SIZE]);
            if (!continue_segment(segment, scratch[slot].get()))
                return false;
        }
        adlers[k] = libdeflate_adler32(1, in, n);
        return true;
    });
    if (!ok)
        return ZLIB_MEM_ERROR;
    size_t total = 2 + 4;
    for (const SEGMENT& segment : segments)
        total += segment.size;
    if (total > *destination_size)
        return ZLIB_BUF_ERROR;
    put_zlib_header(destination, level);
    unsigned char* out = destination + 2;
    for (const SEGMENT& segment : segments) {
        std::memcpy(out, segment.bytes.get(), segment.size);
        out += segment.size;
    }
    put_be32(out, combine_adlers(adlers, source_size));
    *destination_size = total;
    return ZLIB_OK;
}

// One zlib stream decompressed by ISA-L's inflate in one piece: on the literal-heavy payloads of bit maps it
// runs about a quarter faster than libdeflate's. It checks the zlib header and the Adler-32; its state is
// large, so it lives on the heap.
int uncompress_whole(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                     unsigned long source_size) {
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

// Starts of the segments of a stream of `count` segments: after its two-byte header, and after each
// SEGMENT_END. Empty when the stream has any other number of them (it was not written in segments, or
// the bytes also occur inside a segment), so that the stream is read in one piece.
std::vector<size_t> find_segments(const unsigned char* source, size_t source_size, size_t count) {
    std::vector<size_t> starts{2};
    // The search goes from one FF byte to the next (memchr is the fastest scan there is; they are rare in
    // deflate data) and looks at the bytes around it.
    const unsigned char* at = source + 2 + 2;
    const unsigned char* const end = source + source_size - 1;
    while (at < end) {
        const auto* hit = static_cast<const unsigned char*>(std::memchr(at, 0xFF, size_t(end - at)));
        if (hit == nullptr)
            break;
        if (hit[1] == 0xFF && hit[-1] == 0 && hit[-2] == 0) {
            starts.push_back(size_t(hit + 2 - source));
            if (starts.size() > count)
                return {};
            at = hit + 2 + 2;
        } else {
            at = hit + 1;
        }
    }
    if (starts.size() != count)
        return {};
    return starts;
}

// Decompresses a stream written in segments, each on its own, side by side. Every segment must yield
// exactly SEGMENT_SIZE bytes (the last one the rest) from exactly its bytes, end on a block boundary and
// need nothing from the segments before it; then the pieces are what reading the stream in one piece gives.
// Returns false whenever that does not hold, and the caller reads the stream in one piece.
bool uncompress_segments(unsigned char* destination, unsigned long* destination_size,
                         const unsigned char* source, size_t source_size) {
    if (*destination_size < SEGMENTED_STREAM || source_size < 2 + 4 || *destination_size > UINT32_MAX)
        return false;
    // A plain zlib header: deflate, a window of at most 32 KiB, its check, no preset dictionary.
    const unsigned header = unsigned{source[0]} << 8 | source[1];
    if ((source[0] & 0x0F) != 8 || (source[0] >> 4) > 7 || header % 31 != 0 || (source[1] & 0x20) != 0)
        return false;
    const size_t count = segment_count(*destination_size);
    const std::vector<size_t> starts = find_segments(source, source_size, count);
    if (starts.empty())
        return false;
    std::vector<uint32_t> adlers(count);
    size_t last_size = 0, trailer = 0;
    std::unique_ptr<inflate_state> states[SEGMENT_JOB::SLOTS];
    const bool ok = SEGMENT_JOB::run(count, [&](size_t k, unsigned slot) {
        if (!states[slot])
            states[slot].reset(new inflate_state);
        inflate_state& s = *states[slot];
        isal_inflate_init(&s);
        s.crc_flag = ISAL_DEFLATE;
        const bool last = k + 1 == count;
        const size_t in_end = last ? source_size : starts[k + 1];
        s.next_in = const_cast<unsigned char*>(source + starts[k]);
        s.avail_in = static_cast<uint32_t>(std::min<size_t>(in_end - starts[k], UINT32_MAX));
        unsigned char* out = destination + k * SEGMENT_SIZE;
        const size_t room = last ? *destination_size - k * SEGMENT_SIZE : SEGMENT_SIZE;
        s.next_out = out;
        s.avail_out = static_cast<uint32_t>(room);
        if (isal_inflate(&s) != ISAL_DECOMP_OK || (!last && s.avail_out != 0))
            return false;
        const uint32_t produced = s.total_out;
        if (s.avail_out == 0) {
            // The room is full; what is left of the segment's bytes (the end of its last block, and the
            // empty block behind it) must yield nothing more.
            unsigned char spare[64];
            s.next_out = spare;
            s.avail_out = sizeof spare;
            if (isal_inflate(&s) != ISAL_DECOMP_OK || s.avail_out != sizeof spare)
                return false;
        }
        if (last) {
            if (s.block_state != ISAL_BLOCK_FINISH)
                return false;
            last_size = produced;
            // Whole bytes still in the bit buffer belong to the trailer.
            trailer = size_t(s.next_in - source) - size_t(s.read_in_length / 8);
        } else if (s.avail_in != 0 ||
                   (s.block_state != ISAL_BLOCK_NEW_HDR && s.block_state != ISAL_BLOCK_HDR) ||
                   s.read_in_length != 0 || s.tmp_in_size != 0 || s.bfinal != 0) {
            // The inflater must wait for the next block's header with every byte used and no bit of the
            // header read: the next segment starts on a block boundary.
            return false;
        }
        adlers[k] = libdeflate_adler32(1, out, produced);
        return true;
    });
    if (!ok || trailer + 4 > source_size)
        return false;
    const size_t produced = (count - 1) * SEGMENT_SIZE + last_size;
    if (get_be32(source + trailer) != combine_adlers(adlers, produced))
        return false;
    *destination_size = produced;
    g_segmented_reads.fetch_add(1);
    return true;
}

} // namespace

int zlib_compress2(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                   unsigned long source_size, int level) {
    if (source_size >= SEGMENTED_STREAM)
        return compress_segmented(destination, destination_size, source, source_size, level);
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
    unsigned long bound = std::max<unsigned long>(libdeflate_zlib_compress_bound(nullptr, source_size),
                                                  compressBound(source_size));
    if (source_size >= SEGMENTED_STREAM) {
        unsigned long segmented = 2 + 4;
        for (size_t k = 0; k < segment_count(source_size); ++k)
            segmented +=
                libdeflate_deflate_compress_bound(nullptr, segment_length(source_size, k)) + SEGMENT_END_ROOM;
        bound = std::max(bound, segmented);
    }
    return bound;
}

int zlib_uncompress(unsigned char* destination, unsigned long* destination_size, const unsigned char* source,
                    unsigned long source_size) {
    if (uncompress_segments(destination, destination_size, source, source_size))
        return ZLIB_OK;
    return uncompress_whole(destination, destination_size, source, source_size);
}

unsigned long zlib_segmented_reads_for_testing() {
    return g_segmented_reads.load();
}

void gzip_unpack(const unsigned char* data, size_t size, const std::string& name,
                 const std::function<void(const unsigned char*, size_t)>& sink, uint64_t limit) {
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
    uint64_t total = 0; // output of the members before this one
    const std::string past_limit =
        failure + "the unpacked data passes the " + std::to_string(limit) + "-byte bound of its reader";
    for (unsigned member = 1; at < size; ++member) {
        const unsigned char* in = data + at;
        const size_t left = size - at;
        INPUT_CONTEXT here("member " + std::to_string(member) + " at byte " + std::to_string(at));
        if (!is_gzip_member(in, left))
            BRIX_REPORT(failure + std::to_string(left) + " bytes after member " + std::to_string(member - 1) +
                        " are not gzip data");
        const uint64_t input_bound = uint64_t{left} * DEFLATE_MAX_RATIO;
        // One byte past what is left of the limit still fits, so output at the limit is told from output past
        // it without ever holding more.
        const uint64_t left_of_limit = limit - total;
        const bool limited = left_of_limit < input_bound;
        const uint64_t bound = limited ? left_of_limit + 1 : input_bound;
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
            if (rc == LIBDEFLATE_INSUFFICIENT_SPACE && limited)
                BRIX_REPORT(past_limit);
            BRIX_REPORT(failure + explain_gzip_failure(in, left, member));
        }
        if (produced > left_of_limit)
            BRIX_REPORT(past_limit);
        total += produced;
        sink(out.get(), produced);
        at += used;
    }
}
