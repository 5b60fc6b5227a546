#include "bit_matrix.h"

#include "msg_internal_error.h"

#include <algorithm>
#include <cstring>
#include <limits>

// The transpose's AVX2 path is compiled where the compiler can target it (x86-64, GCC or clang) unless the
// build asks for the portable code alone (BRIX_PORTABLE_TRANSPOSE); it is used only on a processor that has
// AVX2, checked at run time.
#if !defined(BRIX_PORTABLE_TRANSPOSE) && defined(__x86_64__) && defined(__GNUC__)
#define BRIX_TRANSPOSE_AVX2 1
#else
#define BRIX_TRANSPOSE_AVX2 0
#endif
#if BRIX_TRANSPOSE_AVX2 || defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

constexpr size_t WORD_BITS = 64;

size_t words_for(size_t bits) {
    return bits / WORD_BITS + (bits % WORD_BITS != 0 ? 1 : 0);
}

int popcount64(uint64_t w) {
    return __builtin_popcountll(w);
}

// One step of the 64 x 64 transpose: in every 2J x 2J sub-block, swaps the upper-right J x J quarter (high
// bits of the first J words) with the lower-left one (low bits of the next J words).
template <unsigned J, uint64_t M> inline void transpose_step(uint64_t (&a)[64]) {
    for (unsigned base = 0; base < 64; base += 2 * J)
        for (unsigned k = base; k < base + J; ++k) {
            uint64_t t = ((a[k] >> J) ^ a[k + J]) & M;
            a[k] ^= t << J;
            a[k + J] ^= t;
        }
}

// Transposes a 64 x 64 block in place: bit j of a[i] moves to bit i of a[j].
void transpose_64(uint64_t (&a)[64]) {
    transpose_step<32, 0x00000000FFFFFFFFull>(a);
    transpose_step<16, 0x0000FFFF0000FFFFull>(a);
    transpose_step<8, 0x00FF00FF00FF00FFull>(a);
    transpose_step<4, 0x0F0F0F0F0F0F0F0Full>(a);
    transpose_step<2, 0x3333333333333333ull>(a);
    transpose_step<1, 0x5555555555555555ull>(a);
}

// The transpose goes tile by tile: a tile is 16 x 16 blocks of 64 x 64 bits, 1024 rows of 16 words (two
// cache lines each) of the source that become 1024 rows of 16 words of the result. Each source line is read
// once and each result line written once, whole; the blocks meet in small buffers in between. Working on
// whole lines matters because rows a power of two of bytes apart share a handful of cache sets: words picked
// from 64 such rows at a time would keep evicting each other. A large result is written with streaming
// stores, which skip reading each line of it into the cache first; it would not stay there anyway. (Tiles of
// 8 x 8 blocks, a line per row, took about 40 % longer on 16,384 x 16,384 bits; 32 x 32 as long.)
constexpr size_t TILE_WORDS = 16;
constexpr size_t TILE_ROWS = TILE_WORDS * WORD_BITS;
constexpr size_t STREAMED_RESULT = size_t{4} << 20; // bytes

// Where a tile lies: src at its first row and word, dst at its first result row and word.
struct TILE {
    const uint64_t* src;
    size_t src_words; // words per row of the source
    uint64_t* dst;
    size_t dst_words;     // words per row of the result
    size_t n_rows;        // source rows (at most 1024)
    size_t n_wb;          // source words per row (at most 16)
    size_t n_out;         // result rows (at most 1024)
    size_t n_rb;          // result words per row (at most 16)
    bool stream;          // write the result with streaming stores
    const uint64_t* next; // the first row and word of the tile that follows (null for the last one)
};

// Transposes a 64 x 64 block in place (bit j of a[i] to bit i of a[j]).
using BLOCK_KERNEL = void (*)(uint64_t* a);
// Transposes a whole tile (1024 x 1024 bits) on its own.
using TILE_KERNEL = void (*)(const TILE& tile, uint64_t* scratch);

void transpose_block_portable(uint64_t* a) {
    transpose_64(*reinterpret_cast<uint64_t(*)[64]>(a));
}

// Writes n words to dst, bypassing the cache when stream says so and the processor can.
inline void write_words(uint64_t* dst, const uint64_t* src, size_t n, bool stream) {
#if defined(__SSE2__)
    if (stream) {
        for (size_t k = 0; k < n; ++k)
            _mm_stream_si64(reinterpret_cast<long long*>(dst + k), static_cast<long long>(src[k]));
        return;
    }
#else
    (void)stream;
#endif
    std::memcpy(dst, src, n * sizeof(uint64_t));
}

// Any tile, block by block through kernel; scratch holds 16 blocks of 64 words and a tile of 1024 x 16 words.
// Source rows past the end load as zero, so the result's padding bits stay clear; result rows past its end
// (the transposed padding of the source) are not written.
void transpose_tile(const TILE& t, uint64_t* scratch, BLOCK_KERNEL kernel) {
    uint64_t* const in = scratch;                           // the blocks of one block row, 64 words each
    uint64_t* const out = scratch + TILE_WORDS * WORD_BITS; // result row j of the tile at word 16j
    for (size_t rb = 0; rb < t.n_rb; ++rb) {
        const size_t first_row = rb * WORD_BITS;
        const size_t n_rows = std::min(WORD_BITS, t.n_rows - first_row);
        for (size_t i = 0; i < n_rows; ++i) {
            const uint64_t* line = t.src + (first_row + i) * t.src_words;
            for (size_t w = 0; w < t.n_wb; ++w)
                in[w * WORD_BITS + i] = line[w];
        }
        for (size_t w = 0; w < t.n_wb; ++w) {
            uint64_t* block = in + w * WORD_BITS;
            std::fill(block + n_rows, block + WORD_BITS, 0);
            kernel(block);
            for (size_t j = 0; j < WORD_BITS; ++j)
                out[(w * WORD_BITS + j) * TILE_WORDS + rb] = block[j];
        }
    }
    for (size_t j = 0; j < t.n_out; ++j)
        write_words(t.dst + j * t.dst_words, out + j * TILE_WORDS, t.n_rb, t.stream);
}

#if BRIX_TRANSPOSE_AVX2

// The same with AVX2. A block is 16 vectors of four words. In layout A vector q holds words 4q..4q+3; the
// steps with J >= 4 pair whole vectors there. Transposing each group of four vectors as a 4 x 4 matrix of
// words gives layout B, where vector 4g + l holds words 16g + l, 16g + 4 + l, 16g + 8 + l, 16g + 12 + l, so
// that the steps with J = 2 and 1 pair whole vectors too.
#define BRIX_AVX2 __attribute__((target("avx2")))

template <int J> BRIX_AVX2 inline void avx2_pair_step(__m256i& a, __m256i& b, __m256i m) {
    __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(a, J), b), m);
    a = _mm256_xor_si256(a, _mm256_slli_epi64(t, J));
    b = _mm256_xor_si256(b, t);
}

// Transposes four vectors as a 4 x 4 matrix of words: word m of c[k] becomes word k of c[m].
BRIX_AVX2 inline void avx2_transpose_4x4(__m256i* c) {
    const __m256i t0 = _mm256_unpacklo_epi64(c[0], c[1]);
    const __m256i t1 = _mm256_unpackhi_epi64(c[0], c[1]);
    const __m256i t2 = _mm256_unpacklo_epi64(c[2], c[3]);
    const __m256i t3 = _mm256_unpackhi_epi64(c[2], c[3]);
    c[0] = _mm256_permute2x128_si256(t0, t2, 0x20);
    c[1] = _mm256_permute2x128_si256(t1, t3, 0x20);
    c[2] = _mm256_permute2x128_si256(t0, t2, 0x31);
    c[3] = _mm256_permute2x128_si256(t1, t3, 0x31);
}

// Transposes a block given in layout A; the result is in layout B.
BRIX_AVX2 inline void avx2_transpose_64(__m256i (&v)[16]) {
    const __m256i m32 = _mm256_set1_epi64x(0x00000000FFFFFFFFll);
    for (int q = 0; q < 8; ++q)
        avx2_pair_step<32>(v[q], v[q + 8], m32);
    const __m256i m16 = _mm256_set1_epi64x(0x0000FFFF0000FFFFll);
    for (int base = 0; base < 16; base += 8)
        for (int q = base; q < base + 4; ++q)
            avx2_pair_step<16>(v[q], v[q + 4], m16);
    const __m256i m8 = _mm256_set1_epi64x(0x00FF00FF00FF00FFll);
    for (int base = 0; base < 16; base += 4)
        for (int q = base; q < base + 2; ++q)
            avx2_pair_step<8>(v[q], v[q + 2], m8);
    const __m256i m4 = _mm256_set1_epi64x(0x0F0F0F0F0F0F0F0Fll);
    for (int q = 0; q < 16; q += 2)
        avx2_pair_step<4>(v[q], v[q + 1], m4);
    const __m256i m2 = _mm256_set1_epi64x(0x3333333333333333ll);
    const __m256i m1 = _mm256_set1_epi64x(0x5555555555555555ll);
    for (int g = 0; g < 16; g += 4) {
        avx2_transpose_4x4(v + g);
        avx2_pair_step<2>(v[g], v[g + 2], m2);
        avx2_pair_step<2>(v[g + 1], v[g + 3], m2);
        avx2_pair_step<1>(v[g], v[g + 1], m1);
        avx2_pair_step<1>(v[g + 2], v[g + 3], m1);
    }
}

BRIX_AVX2 void transpose_block_avx2(uint64_t* a) {
    __m256i v[16];
    for (int q = 0; q < 16; ++q)
        v[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 4 * q));
    avx2_transpose_64(v);
    for (int g = 0; g < 16; g += 4)
        avx2_transpose_4x4(v + g); // back to layout A
    for (int q = 0; q < 16; ++q)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + 4 * q), v[q]);
}

// A whole tile: four rows of four words are read at a time and transposed as 4 x 4 words, which gives one
// vector (layout A) of each of four blocks; the transposed blocks (layout B) meet in scratch, 256 blocks of
// 16 vectors, and are written out four result rows of four words at a time the same way.
BRIX_AVX2 void transpose_tile_avx2(const TILE& t, uint64_t* scratch) {
    __m256i* const done = reinterpret_cast<__m256i*>(scratch); // block (rb, w) at vector 16 (16w + rb)
    for (size_t rb = 0; rb < TILE_WORDS; ++rb) {
        __m256i blocks[TILE_WORDS][16];
        for (size_t q = 0; q < 16; ++q) {
            const uint64_t* row = t.src + (rb * WORD_BITS + 4 * q) * t.src_words;
            // The lines of the same four rows of the next block row, or of the next tile's first one, are
            // fetched ahead: the hardware prefetchers do not follow rows this far apart.
            const uint64_t* ahead = rb + 1 < TILE_WORDS ? row + WORD_BITS * t.src_words
                                    : t.next != nullptr ? t.next + 4 * q * t.src_words
                                                        : nullptr;
            if (ahead != nullptr)
                for (size_t k = 0; k < 4; ++k)
                    for (size_t line = 0; line < TILE_WORDS; line += 8)
                        _mm_prefetch(reinterpret_cast<const char*>(ahead + k * t.src_words + line),
                                     _MM_HINT_T0);
            for (size_t h = 0; h < TILE_WORDS; h += 4) {
                __m256i c[4];
                for (size_t k = 0; k < 4; ++k)
                    c[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + k * t.src_words + h));
                avx2_transpose_4x4(c);
                for (size_t k = 0; k < 4; ++k)
                    blocks[h + k][q] = c[k];
            }
        }
        for (size_t w = 0; w < TILE_WORDS; ++w) {
            avx2_transpose_64(blocks[w]);
            for (size_t q = 0; q < 16; ++q)
                _mm256_storeu_si256(done + 16 * (TILE_WORDS * w + rb) + q, blocks[w][q]);
        }
    }
    for (size_t w = 0; w < TILE_WORDS; ++w)
        for (size_t q = 0; q < 16; ++q)
            for (size_t h = 0; h < TILE_WORDS; h += 4) {
                __m256i c[4];
                for (size_t k = 0; k < 4; ++k)
                    c[k] = _mm256_loadu_si256(done + 16 * (TILE_WORDS * w + h + k) + q);
                avx2_transpose_4x4(c);
                // Vector q = 4g + l of layout B holds words 16g + 4m + l.
                for (size_t m = 0; m < 4; ++m) {
                    const size_t row = w * WORD_BITS + 16 * (q / 4) + 4 * m + q % 4;
                    __m256i* to = reinterpret_cast<__m256i*>(t.dst + row * t.dst_words + h);
                    if (t.stream)
                        _mm256_stream_si256(to, c[m]);
                    else
                        _mm256_storeu_si256(to, c[m]);
                }
            }
}

#undef BRIX_AVX2

#endif

struct KERNELS {
    BLOCK_KERNEL block;
    TILE_KERNEL tile; // null: whole tiles also go block by block
};

KERNELS kernels(BIT_MATRIX::TRANSPOSE_PATH path) {
#if BRIX_TRANSPOSE_AVX2
    if (path == BIT_MATRIX::TRANSPOSE_PATH::BEST && BIT_MATRIX::vector_transpose_available())
        return {transpose_block_avx2, transpose_tile_avx2};
#else
    (void)path;
#endif
    return {transpose_block_portable, nullptr};
}

void transpose_words(const uint64_t* src, size_t rows, size_t src_words, uint64_t* dst, size_t dst_words,
                     size_t dst_rows, BIT_MATRIX::TRANSPOSE_PATH path) {
    const KERNELS k = kernels(path);
    // Room for either kind of tile: a block row and a tile of words, or the 256 transposed blocks.
    std::vector<uint64_t> scratch(TILE_WORDS * WORD_BITS + TILE_ROWS * TILE_WORDS);
    const bool stream = dst_rows * dst_words * sizeof(uint64_t) >= STREAMED_RESULT;
    // Whole lines of 32 bytes for the vector path's streaming stores.
    const bool aligned = reinterpret_cast<uintptr_t>(dst) % 32 == 0 && dst_words % 4 == 0;
    for (size_t rb0 = 0; rb0 < dst_words; rb0 += TILE_WORDS)
        for (size_t wb0 = 0; wb0 < src_words; wb0 += TILE_WORDS) {
            TILE t;
            t.src = src + rb0 * WORD_BITS * src_words + wb0;
            t.src_words = src_words;
            t.dst = dst + wb0 * WORD_BITS * dst_words + rb0;
            t.dst_words = dst_words;
            t.n_rows = std::min(TILE_ROWS, rows - rb0 * WORD_BITS);
            t.n_wb = std::min(TILE_WORDS, src_words - wb0);
            t.n_out = std::min(TILE_ROWS, dst_rows - wb0 * WORD_BITS);
            t.n_rb = std::min(TILE_WORDS, dst_words - rb0);
            t.stream = stream;
            t.next = wb0 + TILE_WORDS < src_words   ? t.src + TILE_WORDS
                     : rb0 + TILE_WORDS < dst_words ? src + (rb0 + TILE_WORDS) * WORD_BITS * src_words
                                                    : nullptr;
            if (k.tile != nullptr && t.n_rows == TILE_ROWS && t.n_out == TILE_ROWS) {
                t.stream = stream && aligned;
                k.tile(t, scratch.data());
            } else {
                transpose_tile(t, scratch.data(), k.block);
            }
        }
#if defined(__SSE2__)
    if (stream)
        _mm_sfence(); // the streamed lines are in memory before anything else reads them
#endif
}

// Loads up to 8 bytes as the low bytes of a word, byte i at bits 8i..8i+7.
uint64_t load_bytes(const unsigned char* p, size_t n) {
    uint64_t w = 0;
    for (size_t i = 0; i < n; ++i)
        w |= uint64_t(p[i]) << (8 * i);
    return w;
}

void store_bytes(uint64_t w, unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<unsigned char>(w >> (8 * i));
}

} // namespace

BIT_MATRIX::BIT_MATRIX(size_t rows, size_t bits)
    : m_rows(rows), m_bits(bits), m_words_per_row(words_for(bits)) {
    BRIX_CHECK(m_words_per_row == 0 || rows <= std::numeric_limits<size_t>::max() / 8 / m_words_per_row,
               "bit matrix size fits the address space");
    m_words.assign(rows * m_words_per_row, 0);
}

void BIT_MATRIX::check_row(size_t row) const {
    BRIX_CHECK(row < m_rows, "row < rows");
}

void BIT_MATRIX::check_same_width(const BIT_MATRIX& other) const {
    BRIX_CHECK(other.m_bits == m_bits, "bit matrices of the same width");
}

void BIT_MATRIX::check_same_shape(const BIT_MATRIX& other) const {
    BRIX_CHECK(other.m_rows == m_rows && other.m_bits == m_bits, "bit matrices of the same shape");
}

uint64_t BIT_MATRIX::last_word_mask() const {
    size_t used = m_bits % WORD_BITS;
    return used == 0 ? ~uint64_t(0) : (uint64_t(1) << used) - 1;
}

bool BIT_MATRIX::get(size_t row, size_t bit) const {
    BRIX_CHECK(row < m_rows && bit < m_bits, "row < rows && bit < bits");
    return (m_words[row * m_words_per_row + bit / WORD_BITS] >> (bit % WORD_BITS)) & 1;
}

void BIT_MATRIX::set(size_t row, size_t bit, bool value) {
    BRIX_CHECK(row < m_rows && bit < m_bits, "row < rows && bit < bits");
    uint64_t& w = m_words[row * m_words_per_row + bit / WORD_BITS];
    uint64_t b = uint64_t(1) << (bit % WORD_BITS);
    w = value ? (w | b) : (w & ~b);
}

void BIT_MATRIX::reset() {
    std::fill(m_words.begin(), m_words.end(), 0);
}

uint64_t* BIT_MATRIX::row_words(size_t row) {
    check_row(row);
    return m_words.data() + row * m_words_per_row;
}

const uint64_t* BIT_MATRIX::row_words(size_t row) const {
    check_row(row);
    return m_words.data() + row * m_words_per_row;
}

void BIT_MATRIX::or_row(size_t row, const BIT_MATRIX& other, size_t other_row) {
    check_same_width(other);
    const uint64_t* src = other.row_words(other_row);
    uint64_t* dst = row_words(row);
    for (size_t i = 0; i < m_words_per_row; ++i)
        dst[i] |= src[i];
}

void BIT_MATRIX::and_row(size_t row, const BIT_MATRIX& other, size_t other_row) {
    check_same_width(other);
    const uint64_t* src = other.row_words(other_row);
    uint64_t* dst = row_words(row);
    for (size_t i = 0; i < m_words_per_row; ++i)
        dst[i] &= src[i];
}

void BIT_MATRIX::and_not_row(size_t row, const BIT_MATRIX& other, size_t other_row) {
    check_same_width(other);
    const uint64_t* src = other.row_words(other_row);
    uint64_t* dst = row_words(row);
    for (size_t i = 0; i < m_words_per_row; ++i)
        dst[i] &= ~src[i];
}

void BIT_MATRIX::or_with(const BIT_MATRIX& other) {
    check_same_shape(other);
    for (size_t i = 0; i < m_words.size(); ++i)
        m_words[i] |= other.m_words[i];
}

void BIT_MATRIX::and_with(const BIT_MATRIX& other) {
    check_same_shape(other);
    for (size_t i = 0; i < m_words.size(); ++i)
        m_words[i] &= other.m_words[i];
}

void BIT_MATRIX::and_not_with(const BIT_MATRIX& other) {
    check_same_shape(other);
    for (size_t i = 0; i < m_words.size(); ++i)
        m_words[i] &= ~other.m_words[i];
}

bool BIT_MATRIX::row_equal_under_mask(size_t row, const BIT_MATRIX& other, size_t other_row,
                                      const BIT_MATRIX& mask, size_t mask_row) const {
    check_same_width(other);
    check_same_width(mask);
    const uint64_t* a = row_words(row);
    const uint64_t* b = other.row_words(other_row);
    const uint64_t* m = mask.row_words(mask_row);
    for (size_t i = 0; i < m_words_per_row; ++i)
        if (((a[i] ^ b[i]) & m[i]) != 0)
            return false;
    return true;
}

bool BIT_MATRIX::equal_under_mask(const BIT_MATRIX& other, const BIT_MATRIX& mask) const {
    check_same_shape(other);
    check_same_shape(mask);
    for (size_t i = 0; i < m_words.size(); ++i)
        if (((m_words[i] ^ other.m_words[i]) & mask.m_words[i]) != 0)
            return false;
    return true;
}

bool BIT_MATRIX::operator==(const BIT_MATRIX& other) const {
    return m_rows == other.m_rows && m_bits == other.m_bits && m_words == other.m_words;
}

size_t BIT_MATRIX::count_row(size_t row) const {
    const uint64_t* w = row_words(row);
    size_t n = 0;
    for (size_t i = 0; i < m_words_per_row; ++i)
        n += static_cast<size_t>(popcount64(w[i]));
    return n;
}

size_t BIT_MATRIX::count() const {
    size_t n = 0;
    for (uint64_t w : m_words)
        n += static_cast<size_t>(popcount64(w));
    return n;
}

bool BIT_MATRIX::row_empty(size_t row) const {
    const uint64_t* w = row_words(row);
    for (size_t i = 0; i < m_words_per_row; ++i)
        if (w[i] != 0)
            return false;
    return true;
}

BIT_MATRIX BIT_MATRIX::transposed() const {
    BIT_MATRIX result;
    transpose_into(result);
    return result;
}

bool BIT_MATRIX::vector_transpose_available() {
#if BRIX_TRANSPOSE_AVX2
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    return false;
#endif
}

void BIT_MATRIX::transpose_into(BIT_MATRIX& result, TRANSPOSE_PATH path) const {
    BRIX_CHECK(&result != this, "transpose into another matrix");
    if (result.m_rows != m_bits || result.m_bits != m_rows)
        result = BIT_MATRIX(m_bits, m_rows);
    // Every word of the result is written, so a reused result needs no clearing.
    transpose_words(m_words.data(), m_rows, m_words_per_row, result.m_words.data(), result.m_words_per_row,
                    result.m_rows, path);
}

void BIT_MATRIX::row_from_bytes(size_t row, const unsigned char* data, size_t size) {
    BRIX_CHECK(size >= bytes_per_row(), "row bytes cover the row");
    uint64_t* w = row_words(row);
    size_t bytes = bytes_per_row();
    for (size_t i = 0; i < m_words_per_row; ++i) {
        size_t first = i * 8;
        w[i] = load_bytes(data + first, std::min<size_t>(8, bytes - first));
    }
    if (m_words_per_row > 0)
        w[m_words_per_row - 1] &= last_word_mask();
}

void BIT_MATRIX::row_to_bytes(size_t row, unsigned char* out, size_t size) const {
    BRIX_CHECK(size >= bytes_per_row(), "row bytes cover the row");
    const uint64_t* w = row_words(row);
    size_t bytes = bytes_per_row();
    for (size_t i = 0; i < m_words_per_row; ++i) {
        size_t first = i * 8;
        store_bytes(w[i], out + first, std::min<size_t>(8, bytes - first));
    }
}

BIT_MATRIX BIT_MATRIX::from_bytes(const unsigned char* data, size_t size, size_t rows, size_t bits,
                                  size_t row_stride) {
    BIT_MATRIX m(rows, bits);
    size_t row_bytes = m.bytes_per_row();
    BRIX_CHECK(row_stride >= row_bytes, "row_stride >= bytes per row");
    // The last row needs only its own bytes, not a whole stride.
    BRIX_CHECK(rows == 0 || row_bytes == 0 ||
                   (size >= row_bytes && (size - row_bytes) / row_stride >= rows - 1),
               "byte rows fit the data");
    for (size_t r = 0; r < rows; ++r)
        m.row_from_bytes(r, data + r * row_stride, row_bytes);
    return m;
}

void BIT_MATRIX::to_bytes(unsigned char* out, size_t out_size, size_t row_stride) const {
    size_t row_bytes = bytes_per_row();
    BRIX_CHECK(row_stride >= row_bytes, "row_stride >= bytes per row");
    BRIX_CHECK(m_rows == 0 || out_size / m_rows >= row_stride, "byte rows fit the data");
    for (size_t r = 0; r < m_rows; ++r) {
        unsigned char* p = out + r * row_stride;
        row_to_bytes(r, p, row_bytes);
        std::fill(p + row_bytes, p + row_stride, 0);
    }
}

std::vector<unsigned char> BIT_MATRIX::to_bytes(size_t row_stride) const {
    BRIX_CHECK(m_rows == 0 || row_stride <= std::numeric_limits<size_t>::max() / m_rows,
               "byte rows fit the address space");
    std::vector<unsigned char> out(m_rows * row_stride);
    to_bytes(out.data(), out.size(), row_stride);
    return out;
}
