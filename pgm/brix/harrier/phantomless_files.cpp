// The input files of the phantomless CRAM map: the uniquified column files, the full-chip uniquified table
// and the block CRAM maps.
#define BRIX_SOURCE_NAME "brix_common_function"

#include "brix_common_function.h"

#include "bit_matrix.h"
#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "fio.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "pgmdev.h"
#include "qtl_tokenizer.h"
#include "records/brix_data_manager.h"
#include "thr.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr size_t WORD_BITS = 64;

BRIX_COMMON::WAIT_FUNCTION g_wait = nullptr;

void wait_milliseconds(unsigned milliseconds) {
    if (g_wait != nullptr)
        g_wait(milliseconds);
    else
        thr_msleep(milliseconds);
}

// Calls f(word index, bits) for the source words shifted up by offset bits (zero parts skipped).
template <typename F>
void for_each_shifted_word(const uint64_t* src, size_t src_words, size_t offset, F&& f) {
    size_t base = offset / WORD_BITS;
    unsigned shift = offset % WORD_BITS;
    for (size_t w = 0; w < src_words; ++w) {
        if (src[w] == 0)
            continue;
        uint64_t low = src[w] << shift;
        if (low != 0)
            f(base + w, low);
        if (shift != 0 && (src[w] >> (WORD_BITS - shift)) != 0)
            f(base + w + 1, src[w] >> (WORD_BITS - shift));
    }
}

} // namespace

void BRIX_COMMON::set_wait_function_for_testing(WAIT_FUNCTION wait) {
    g_wait = wait;
}

void BRIX_COMMON::parse_phantomless_uniquified_file(const std::string& path, unsigned& col, unsigned& row,
                                                    std::vector<unsigned>& types,
                                                    std::vector<unsigned>& final_types,
                                                    BRIX_BYTE_COLUMNS& cells) {
    BRIX_CHECK(col == 0 && row == 0 && types.size() == 0 && final_types.size() == 0,
               "col == 0 && row == 0 && types.size() == 0 && final_types.size() == 0");
    // The file may still be on its way from another process: look again every 2 seconds, 20 times.
    for (unsigned n = 0; n < 20 && !FIO_FILE_SYSTEM::exists(path); ++n) {
        std::cout << "Couldn't find input file: " << path << ", sleep for 2seconds - retry " << n << " ...\n"
                  << std::flush;
        wait_milliseconds(2000);
    }
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(path), "FIO_FILE_SYSTEM::exists(input.c_str())");

    std::string line;
    // First pass: the shape. Every line has as many tokens as the first.
    {
        LINE_READER reader(path);
        BRIX_CHECK(reader.is_open(), "infile.good()");
        unsigned lines = 0;
        while (reader.next(line)) {
            std::vector<std::string> tokens = LINE_READER::words(line);
            if (tokens.empty())
                continue;
            if (lines == 0)
                col = static_cast<unsigned>(std::min<size_t>(tokens.size(), 0xFFFFFFFFu));
            else
                BRIX_CHECK(tokens.size() == col, "DWORD(svec.size()) == col");
            if (lines >= 2)
                ++row;
            ++lines;
        }
        BRIX_CHECK(!reader.failed(), "infile.good()");
    }
    cells.assign(col, std::vector<unsigned char>(row, 0xFF));
    // Second pass: the values.
    LINE_READER reader(path);
    BRIX_CHECK(reader.is_open(), "infile.good()");
    unsigned lines = 0;
    while (reader.next(line)) {
        std::vector<std::string> tokens = LINE_READER::words(line);
        if (tokens.empty())
            continue;
        BRIX_CHECK(tokens.size() == col, "DWORD(svec.size()) == col");
        if (lines == 0) {
            for (const std::string& token : tokens)
                types.push_back(BRIX_MANAGER::convert_string_to_value(token, true));
        } else if (lines == 1) {
            for (const std::string& token : tokens) {
                BRIX_CHECK(token.size() >= 2 && token.find("FT") == 0,
                           "ft.size() >= 2 && ft.find(\"FT\") == 0");
                final_types.push_back(BRIX_MANAGER::convert_string_to_value(token.substr(2), true));
            }
        } else {
            unsigned r = lines - 2;
            BRIX_CHECK(r < row, "DWORD(svec.size()) == col");
            for (unsigned c = 0; c < col; ++c) {
                const std::string& token = tokens[c];
                unsigned char value;
                if (token == "0")
                    value = SOF_BIT_IS_PB;
                else if (token == "1")
                    value = SOF_BIT_IS_DATA;
                else if (token == "X" || token == "x")
                    value = SOF_BIT_IS_FLASH;
                else
                    BRIX_REPORT("Unrecognized SOF bit type");
                cells[c][r] = value;
            }
        }
        ++lines;
    }
    BRIX_CHECK(!reader.failed(), "infile.good()");
    BRIX_CHECK(col == types.size() && col == final_types.size(),
               "col == DWORD(types.size()) && col == DWORD(final_types.size())");
}

void BRIX_COMMON::build_fullchip_uniquified(const BRIX_BYTE_COLUMNS& uniquified, unsigned col,
                                            unsigned uniquified_row, unsigned fullchip_row,
                                            unsigned segment_count, const unsigned* row_counts,
                                            const unsigned* repeats, BRIX_BYTE_COLUMNS& fullchip) {
    // The segment sizes are checked against both heights before any row is copied.
    uint64_t src_index = 0, dest_index = 0;
    for (unsigned s = 0; s < segment_count; ++s) {
        src_index += row_counts[s];
        dest_index += uint64_t(row_counts[s]) * repeats[s];
    }
    BRIX_CHECK(dest_index == fullchip_row && src_index == uniquified_row,
               "dest_index == fullchip_row && src_index == uniquified_row");
    BRIX_CHECK(uniquified.size() >= col, "col <= uniquified.size()");
    fullchip.assign(col, std::vector<unsigned char>());
    for (unsigned c = 0; c < col; ++c) {
        const std::vector<unsigned char>& source = uniquified[c];
        BRIX_CHECK(source.size() == uniquified_row,
                   "dest_index == fullchip_row && src_index == uniquified_row");
        std::vector<unsigned char>& dest = fullchip[c];
        dest.reserve(fullchip_row);
        size_t from = 0;
        for (unsigned s = 0; s < segment_count; ++s) {
            for (unsigned r = 0; r < repeats[s]; ++r)
                dest.insert(dest.end(), source.begin() + from, source.begin() + from + row_counts[s]);
            from += row_counts[s];
        }
    }
}

void BRIX_COMMON::get_cram_map(const std::string& path, unsigned width, unsigned height,
                               BIT_MATRIX& block_map, bool force_range, unsigned column_low,
                               unsigned column_high, unsigned row_low, unsigned row_high) {
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(path), path + " file does not exist");
    block_map = BIT_MATRIX(width, height);
    BRIX_CHECK(block_map.rows() == width, "map != NULL");
    LINE_READER reader(path);
    BRIX_CHECK(reader.is_open(), path + " file does not exist");
    std::string line;
    unsigned r = 0;
    while (reader.next(line)) {
        std::string text = LINE_READER::trim(line);
        if (text.empty())
            continue;
        BRIX_CHECK(text.size() == width, "DWORD(string.size()) == col_size");
        // A text with more rows than the block is high has no place for them in the map.
        if (r >= height) {
            INPUT_CONTEXT here("block height " + std::to_string(height));
            BRIX_REPORT("row < height");
        }
        for (unsigned i = 0; i < width; ++i) {
            // The last character is column 0.
            char cell = text[width - 1 - i];
            bool forced = force_range && i >= column_low && i <= column_high && r >= row_low && r <= row_high;
            if (forced)
                cell = '1';
            BRIX_CHECK(cell == '0' || cell == '1', "Unregconized bit in CRAM Map");
            if (cell == '1')
                block_map.set(i, r);
        }
        ++r;
    }
    BRIX_CHECK(!reader.failed(), path + " file does not exist");
    // Forced cells apply to every row of the range, also to rows the text leaves out.
    if (force_range)
        for (unsigned i = column_low; i <= column_high && i < width; ++i)
            for (unsigned k = std::max(r, row_low); k <= row_high && k < height; ++k)
                block_map.set(i, k);
}

void BRIX_COMMON::copy_cram_map(BIT_MATRIX& phantomless_map, const BIT_MATRIX& block_map,
                                unsigned start_column, unsigned start_row, unsigned width, unsigned height,
                                bool reverse) {
    BRIX_CHECK(block_map.rows() == width && block_map.bits() == height && phantomless_map.rows() >= width &&
                   start_column <= phantomless_map.rows() - width && phantomless_map.bits() >= height &&
                   start_row <= phantomless_map.bits() - height,
               "col_map != NULL && cram_map[i] != NULL");
    BIT_MATRIX reversed;
    const BIT_MATRIX* source = &block_map;
    if (reverse) {
        reversed = BIT_MATRIX(width, height);
        for (unsigned i = 0; i < width; ++i)
            for (unsigned r = 0; r < height; ++r)
                if (block_map.get(i, r))
                    reversed.set(i, height - 1 - r);
        source = &reversed;
    }
    const size_t dest_words = phantomless_map.words_per_row();
    for (unsigned i = 0; i < width; ++i) {
        uint64_t* dest = phantomless_map.row_words(start_column + i);
        const uint64_t* src = source->row_words(i);
        bool clear = true;
        for_each_shifted_word(src, source->words_per_row(), start_row, [&](size_t w, uint64_t bits) {
            clear = clear && w < dest_words && (dest[w] & bits) == 0;
        });
        BRIX_CHECK(clear, "(col_map[row_index >> 3] & (1 << (row_index & 7))) == 0");
        for_each_shifted_word(src, source->words_per_row(), start_row,
                              [&](size_t w, uint64_t bits) { dest[w] |= bits; });
    }
}
