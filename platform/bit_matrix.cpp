#include "bit_matrix.h"

#include "msg_internal_error.h"

#include <algorithm>
#include <limits>

namespace {

constexpr size_t WORD_BITS = 64;

size_t words_for(size_t bits) {
    return bits / WORD_BITS + (bits % WORD_BITS != 0 ? 1 : 0);
}

int popcount64(uint64_t w) {
    return __builtin_popcountll(w);
}

// One step of the 64 x 64 transpose: in every 2J x 2J sub-block, swaps the upper-right J x J quarter (high
// bits of the first J words) with the lower-left one (low bits of the next J words). Contiguous inner loops
// with constant shifts let the compiler vectorise.
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

void BIT_MATRIX::transpose_into(BIT_MATRIX& result) const {
    BRIX_CHECK(&result != this, "transpose into another matrix");
    if (result.m_rows != m_bits || result.m_bits != m_rows)
        result = BIT_MATRIX(m_bits, m_rows);
    // Every word of the result is written below, so a reused result needs no clearing.
    uint64_t block[64];
    // Block (rb, wb) covers rows 64rb.. of this matrix and word wb of each; it becomes word rb of rows
    // 64wb.. of the result. Rows past the end load as zero, so the result's padding bits stay clear. Eight
    // row blocks are done per word so that each result row gets a whole cache line of words at a time while
    // the 512 source rows stay in cache.
    const size_t group = 8;
    for (size_t rb0 = 0; rb0 < result.m_words_per_row; rb0 += group) {
        const size_t rb_end = std::min(result.m_words_per_row, rb0 + group);
        for (size_t wb = 0; wb < m_words_per_row; ++wb) {
            const size_t first_out = wb * WORD_BITS;
            const size_t n_out = std::min(WORD_BITS, m_bits - first_out);
            for (size_t rb = rb0; rb < rb_end; ++rb) {
                const size_t first_row = rb * WORD_BITS;
                const size_t n_rows = std::min(WORD_BITS, m_rows - first_row);
                const uint64_t* src = m_words.data() + first_row * m_words_per_row + wb;
                for (size_t i = 0; i < n_rows; ++i)
                    block[i] = src[i * m_words_per_row];
                std::fill(block + n_rows, block + 64, 0);
                transpose_64(block);
                uint64_t* dst = result.m_words.data() + first_out * result.m_words_per_row + rb;
                for (size_t j = 0; j < n_out; ++j)
                    dst[j * result.m_words_per_row] = block[j];
            }
        }
    }
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
