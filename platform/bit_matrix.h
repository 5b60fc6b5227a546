// A rectangular matrix of bits (rows x bits) stored as rows of 64-bit words.
//
// Bit b of a row lives in word b / 64 at position b % 64. The bits past the last column of each row are
// always zero, so whole-word operations (population count, equality, transpose) need no masking. Every
// access is bounds-checked through the internal-error report.
//
// The records store such matrices as rows of bytes: bit b of a row in byte b / 8 at position b % 8, each row
// starting row_stride bytes after the previous one. The byte conversions below are meant for the record
// boundary only; the builders work on the words.
#pragma once

#include "large_block.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class BIT_MATRIX {
  public:
    BIT_MATRIX() = default;
    // All bits clear. Reports when rows x bits cannot be addressed.
    BIT_MATRIX(size_t rows, size_t bits);

    size_t rows() const { return m_rows; }
    size_t bits() const { return m_bits; }
    size_t words_per_row() const { return m_words_per_row; }
    // Bytes a row needs in the records' byte form: ceil(bits / 8).
    size_t bytes_per_row() const { return (m_bits + 7) / 8; }

    bool get(size_t row, size_t bit) const;
    void set(size_t row, size_t bit, bool value = true);
    void clear(size_t row, size_t bit) { set(row, bit, false); }
    // Clears every bit.
    void reset();

    // The words of a row (words_per_row() of them). Writers must leave the bits past bits() clear.
    uint64_t* row_words(size_t row);
    const uint64_t* row_words(size_t row) const;

    // Row operations with a row of another matrix of the same width (the other matrix may be this one).
    void or_row(size_t row, const BIT_MATRIX& other, size_t other_row);
    void and_row(size_t row, const BIT_MATRIX& other, size_t other_row);
    void and_not_row(size_t row, const BIT_MATRIX& other, size_t other_row);
    // The same over every row of a matrix of the same shape.
    void or_with(const BIT_MATRIX& other);
    void and_with(const BIT_MATRIX& other);
    void and_not_with(const BIT_MATRIX& other);

    // True when the two rows agree on every bit set in the mask row (all three of the same width).
    bool row_equal_under_mask(size_t row, const BIT_MATRIX& other, size_t other_row, const BIT_MATRIX& mask,
                              size_t mask_row) const;
    // True when the two matrices agree on every bit set in the mask (all three of the same shape).
    bool equal_under_mask(const BIT_MATRIX& other, const BIT_MATRIX& mask) const;
    bool operator==(const BIT_MATRIX& other) const;
    bool operator!=(const BIT_MATRIX& other) const { return !(*this == other); }

    // Number of set bits in a row, in the whole matrix.
    size_t count_row(size_t row) const;
    size_t count() const;
    bool row_empty(size_t row) const;

    // The transpose: bits() rows of rows() bits, bit (r, b) of this matrix at (b, r). Works on 64 x 64 blocks
    // of words, with AVX2 where the processor has it (vector_transpose_available()); the result is the same
    // on either path.
    BIT_MATRIX transposed() const;
    // Which code transposes: the fastest the processor runs, or the portable code alone (to compare them).
    enum class TRANSPOSE_PATH { BEST, PORTABLE };
    // The same into result (not this matrix), reusing its storage when it already has the transposed shape.
    void transpose_into(BIT_MATRIX& result, TRANSPOSE_PATH path = TRANSPOSE_PATH::BEST) const;
    // True when the transpose has a vector path on this processor (built in and supported at run time).
    static bool vector_transpose_available();

    // From rows of bytes: rows rows of bits bits, row r starting at data + r * row_stride. row_stride must be
    // at least ceil(bits / 8) and size at least the bytes the rows cover; bits past bits() are ignored.
    static BIT_MATRIX from_bytes(const unsigned char* data, size_t size, size_t rows, size_t bits,
                                 size_t row_stride);
    // To rows of bytes: row r at out + r * row_stride, padding bytes between rows zero. out_size must be at
    // least rows() * row_stride and row_stride at least bytes_per_row(). Writes exactly rows() * row_stride
    // bytes.
    void to_bytes(unsigned char* out, size_t out_size, size_t row_stride) const;
    std::vector<unsigned char> to_bytes(size_t row_stride) const;
    // One row to or from its byte form (size at least bytes_per_row(); only those bytes are read or written).
    void row_from_bytes(size_t row, const unsigned char* data, size_t size);
    void row_to_bytes(size_t row, unsigned char* out, size_t size) const;

  private:
    void check_row(size_t row) const;
    void check_same_width(const BIT_MATRIX& other) const;
    void check_same_shape(const BIT_MATRIX& other) const;
    uint64_t last_word_mask() const;

    size_t m_rows = 0;
    size_t m_bits = 0;
    size_t m_words_per_row = 0;
    // A matrix of megabytes (a device's CRAM columns) is filled right after it is made: see large_block.h.
    std::vector<uint64_t, LARGE_BLOCK_ALLOCATOR<uint64_t>> m_words;
};
