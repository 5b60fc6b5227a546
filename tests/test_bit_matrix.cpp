// The bit matrix: access, row and whole-matrix operations, transpose and the records' byte rows.
#include "bit_matrix.h"
#include "test_support.h"

#include <cstdint>
#include <vector>

namespace {

// A matrix with a reproducible pseudo-random pattern (about one bit in three set).
BIT_MATRIX random_matrix(size_t rows, size_t bits, uint32_t seed) {
    BIT_MATRIX m(rows, bits);
    uint32_t x = seed;
    for (size_t r = 0; r < rows; ++r)
        for (size_t b = 0; b < bits; ++b) {
            x = x * 1664525u + 1013904223u;
            if ((x >> 24) < 85)
                m.set(r, b);
        }
    return m;
}

// Shapes around the word boundaries.
const std::pair<size_t, size_t> SHAPES[] = {{0, 0}, {1, 1}, {3, 200}, {64, 64}, {65, 129}, {130, 7}, {2, 63}};

} // namespace

TEST(BitMatrix, SetGetClearAndBounds) {
    BIT_MATRIX m(3, 70);
    EXPECT_EQ(2u, m.words_per_row());
    EXPECT_EQ(9u, m.bytes_per_row());
    m.set(0, 0);
    m.set(1, 63);
    m.set(1, 64);
    m.set(2, 69);
    EXPECT_TRUE(m.get(0, 0) && m.get(1, 63) && m.get(1, 64) && m.get(2, 69));
    EXPECT_FALSE(m.get(0, 1) || m.get(2, 68));
    EXPECT_EQ(4u, m.count());
    EXPECT_EQ(2u, m.count_row(1));
    m.clear(1, 63);
    m.set(1, 64, false);
    EXPECT_TRUE(m.row_empty(1));
    EXPECT_EQ(2u, m.count());
    m.reset();
    EXPECT_EQ(0u, m.count());

    struct {
        size_t row, bit;
    } const outside[] = {{3, 0}, {0, 70}, {size_t(-1), 0}, {0, size_t(-1)}};
    for (const auto& c : outside) {
        EXPECT_BRIX_ERROR(m.get(c.row, c.bit), "row < rows && bit < bits");
        EXPECT_BRIX_ERROR(m.set(c.row, c.bit), "row < rows && bit < bits");
    }
    EXPECT_BRIX_ERROR(m.row_words(3), "row < rows");
    EXPECT_BRIX_ERROR(BIT_MATRIX(size_t(1) << 62, 64 * 64), "bit matrix size fits the address space");
}

TEST(BitMatrix, RowAndWholeOperationsMatchBitwise) {
    for (auto shape : SHAPES) {
        SCOPED_TRACE(std::to_string(shape.first) + " x " + std::to_string(shape.second));
        const size_t rows = shape.first, bits = shape.second;
        BIT_MATRIX a = random_matrix(rows, bits, 1), b = random_matrix(rows, bits, 2);
        BIT_MATRIX o = a, n = a, d = a;
        o.or_with(b);
        n.and_with(b);
        d.and_not_with(b);
        size_t ones = 0;
        for (size_t r = 0; r < rows; ++r)
            for (size_t k = 0; k < bits; ++k) {
                ASSERT_EQ(a.get(r, k) || b.get(r, k), o.get(r, k));
                ASSERT_EQ(a.get(r, k) && b.get(r, k), n.get(r, k));
                ASSERT_EQ(a.get(r, k) && !b.get(r, k), d.get(r, k));
                ones += a.get(r, k);
            }
        EXPECT_EQ(ones, a.count());
        // Row forms give the same rows, including a row combined with another row of the same matrix.
        if (rows > 1) {
            BIT_MATRIX x = a;
            x.or_row(0, b, rows - 1);
            x.and_not_row(rows - 1, x, 0);
            for (size_t k = 0; k < bits; ++k) {
                bool row0 = a.get(0, k) || b.get(rows - 1, k);
                ASSERT_EQ(row0, x.get(0, k));
                ASSERT_EQ(a.get(rows - 1, k) && !row0, x.get(rows - 1, k));
            }
            BIT_MATRIX y = a;
            y.and_row(0, b, 0);
            for (size_t k = 0; k < bits; ++k)
                ASSERT_EQ(n.get(0, k), y.get(0, k));
        }
    }
}

TEST(BitMatrix, EqualityUnderMask) {
    BIT_MATRIX a = random_matrix(5, 100, 3), b = a, mask(5, 100);
    b.set(2, 99, !a.get(2, 99));
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a.equal_under_mask(b, mask));
    EXPECT_TRUE(a.row_equal_under_mask(2, b, 2, mask, 2));
    mask.set(2, 98);
    EXPECT_TRUE(a.equal_under_mask(b, mask));
    mask.set(2, 99);
    EXPECT_FALSE(a.equal_under_mask(b, mask));
    EXPECT_FALSE(a.row_equal_under_mask(2, b, 2, mask, 2));
    EXPECT_TRUE(a.row_equal_under_mask(1, b, 1, mask, 2));

    BIT_MATRIX narrow(5, 99), short_(4, 100);
    EXPECT_BRIX_ERROR(a.equal_under_mask(narrow, mask), "bit matrices of the same shape");
    EXPECT_BRIX_ERROR(a.equal_under_mask(b, short_), "bit matrices of the same shape");
    EXPECT_BRIX_ERROR(a.or_with(short_), "bit matrices of the same shape");
    EXPECT_BRIX_ERROR(a.or_row(0, narrow, 0), "bit matrices of the same width");
    EXPECT_BRIX_ERROR(a.and_row(0, short_, 4), "row < rows");
    EXPECT_BRIX_ERROR(a.row_equal_under_mask(0, b, 0, narrow, 0), "bit matrices of the same width");
}

TEST(BitMatrix, TransposeMatchesBitwiseAndRoundTrips) {
    for (auto shape : SHAPES) {
        SCOPED_TRACE(std::to_string(shape.first) + " x " + std::to_string(shape.second));
        BIT_MATRIX a = random_matrix(shape.first, shape.second, 4);
        BIT_MATRIX t = a.transposed();
        ASSERT_EQ(a.bits(), t.rows());
        ASSERT_EQ(a.rows(), t.bits());
        for (size_t r = 0; r < a.rows(); ++r)
            for (size_t k = 0; k < a.bits(); ++k)
                ASSERT_EQ(a.get(r, k), t.get(k, r)) << r << ", " << k;
        // No stray bits past the width: the counts and the round trip agree word for word.
        EXPECT_EQ(a.count(), t.count());
        EXPECT_TRUE(a == t.transposed());
        // A reused result of the right shape is overwritten whole, whatever it held.
        BIT_MATRIX reused = random_matrix(shape.second, shape.first, 6);
        a.transpose_into(reused);
        EXPECT_TRUE(t == reused);
    }
    BIT_MATRIX a = random_matrix(3, 5, 7);
    EXPECT_BRIX_ERROR(a.transpose_into(a), "transpose into another matrix");
}

// The vector path and the portable path of the transpose against a bit-by-bit reference, on shapes around
// the block (64) and tile (1024) edges, single rows and columns and empty matrices. Without a vector path on
// this processor both calls take the portable code and the test checks that alone.
TEST(BitMatrix, TransposePathsAgreeWithReference) {
    const std::pair<size_t, size_t> shapes[] = {
        {0, 0},      {0, 9},      {9, 0},       {1, 1},       {1, 1000},   {1000, 1}, {7, 9},
        {63, 65},    {64, 64},    {65, 63},     {511, 513},   {512, 512},  {513, 70}, {70, 513},
        {600, 1030}, {1031, 129}, {1024, 1024}, {1023, 1025}, {2100, 1090}};
    for (auto shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.first) + " x " + std::to_string(shape.second));
        const BIT_MATRIX a = random_matrix(shape.first, shape.second, 11);
        BIT_MATRIX reference(shape.second, shape.first);
        for (size_t r = 0; r < a.rows(); ++r)
            for (size_t k = 0; k < a.bits(); ++k)
                if (a.get(r, k))
                    reference.set(k, r);
        // Results that start with other bits show that every word, padding included, is written.
        BIT_MATRIX best = random_matrix(shape.second, shape.first, 12);
        BIT_MATRIX portable = random_matrix(shape.second, shape.first, 13);
        a.transpose_into(best, BIT_MATRIX::TRANSPOSE_PATH::BEST);
        a.transpose_into(portable, BIT_MATRIX::TRANSPOSE_PATH::PORTABLE);
        EXPECT_TRUE(reference == portable);
        EXPECT_TRUE(reference == best);
    }
}

// Results of 4 MB or more are written with streaming stores, whole lines of the vector path only when the
// rows are 32-byte multiples (8192 x 4096 bits transposed) and word by word otherwise (8200 x 4100 bits).
// Too large for the bit-by-bit reference: the two paths agree, the round trip gives the source back, and a
// sample of bits sits where it belongs.
TEST(BitMatrix, LargeTransposePathsAgree) {
    const std::pair<size_t, size_t> shapes[] = {{4096, 8192}, {4100, 8200}};
    for (auto shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.first) + " x " + std::to_string(shape.second));
        BIT_MATRIX a(shape.first, shape.second);
        uint64_t x = 3;
        for (size_t r = 0; r < a.rows(); ++r) {
            uint64_t* w = a.row_words(r);
            for (size_t i = 0; i < a.words_per_row(); ++i) {
                x = x * 6364136223846793005ull + 1442695040888963407ull;
                w[i] = x;
            }
            if (a.bits() % 64 != 0) // the bits past the width stay clear
                w[a.words_per_row() - 1] &= (uint64_t(1) << (a.bits() % 64)) - 1;
        }
        BIT_MATRIX best, portable, back;
        a.transpose_into(best, BIT_MATRIX::TRANSPOSE_PATH::BEST);
        a.transpose_into(portable, BIT_MATRIX::TRANSPOSE_PATH::PORTABLE);
        EXPECT_TRUE(best == portable);
        best.transpose_into(back);
        EXPECT_TRUE(back == a);
        for (size_t k = 0; k < 10000; ++k) {
            const size_t r = (k * 7919) % a.rows(), b = (k * 104729) % a.bits();
            ASSERT_EQ(a.get(r, b), best.get(b, r)) << r << ", " << b;
        }
    }
}

TEST(BitMatrix, ByteRowsPlaceBitKInByteKDiv8) {
    BIT_MATRIX m(2, 12);
    m.set(0, 0);
    m.set(0, 9);
    m.set(1, 7);
    m.set(1, 11);
    // Stride 3: each row is 2 bytes of bits and one padding byte, which is written as zero.
    std::vector<unsigned char> bytes = m.to_bytes(3);
    EXPECT_EQ((std::vector<unsigned char>{0x01, 0x02, 0x00, 0x80, 0x08, 0x00}), bytes);

    // Bits past the width in the last byte and the padding bytes are ignored when reading.
    std::vector<unsigned char> in = {0x01, 0xF2, 0xEE, 0x80, 0x08, 0xEE};
    EXPECT_TRUE(m == BIT_MATRIX::from_bytes(in.data(), in.size(), 2, 12, 3));
    // The last row needs only its own bytes.
    EXPECT_TRUE(m == BIT_MATRIX::from_bytes(in.data(), 5, 2, 12, 3));

    // A long row round-trips through its byte form across word boundaries.
    BIT_MATRIX wide = random_matrix(3, 150, 5);
    std::vector<unsigned char> row(wide.bytes_per_row());
    wide.row_to_bytes(1, row.data(), row.size());
    for (size_t k = 0; k < 150; ++k)
        ASSERT_EQ(wide.get(1, k), ((row[k / 8] >> (k % 8)) & 1) != 0) << k;
    BIT_MATRIX back(1, 150);
    back.row_from_bytes(0, row.data(), row.size());
    EXPECT_EQ(wide.count_row(1), back.count());
    EXPECT_TRUE(wide == BIT_MATRIX::from_bytes(wide.to_bytes(20).data(), 60, 3, 150, 20));

    EXPECT_BRIX_ERROR(BIT_MATRIX::from_bytes(in.data(), 4, 2, 12, 3), "byte rows fit the data");
    EXPECT_BRIX_ERROR(BIT_MATRIX::from_bytes(in.data(), in.size(), 2, 12, 1), "row_stride >= bytes per row");
    EXPECT_BRIX_ERROR(m.to_bytes(in.data(), 5, 3), "byte rows fit the data");
    EXPECT_BRIX_ERROR(m.to_bytes(1), "row_stride >= bytes per row");
    EXPECT_BRIX_ERROR(m.row_to_bytes(0, in.data(), 1), "row bytes cover the row");
}
