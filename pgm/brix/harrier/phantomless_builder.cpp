// The phantomless CRAM map of the flash-based family, built on bit rows, one per CRAM column (bit k = CRAM
// row k), so rectangles, block maps and column comparisons work on 64-bit words. Every rectangle, block map
// and column range taken from an input is checked against the grid before it is touched; a failing check
// names the input file and line.
#define BRIX_SOURCE_NAME "brix_common_function"

#include "brix_common_function.h"

#include "context/build_context.h"
#include "harrier/phantomless_cells.h"

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

// ---- Phantomless CRAM map ----

namespace {

constexpr size_t WORD_BITS = 64;
constexpr unsigned NO_LISTING = 0xFFFFFFFF;

// Calls f(word index, mask) for the words covering bits [first, first + count).
template <typename F> void for_each_word_span(size_t first, size_t count, F&& f) {
    size_t end = first + count;
    while (first < end) {
        size_t shift = first % WORD_BITS;
        size_t n = std::min(WORD_BITS - shift, end - first);
        uint64_t mask = n == WORD_BITS ? ~uint64_t(0) : ((uint64_t(1) << n) - 1) << shift;
        f(first / WORD_BITS, mask);
        first += n;
    }
}

// The first index after k whose cell differs from cells[k] (size at the end), eight cells at a time.
size_t end_of_run(const unsigned char* cells, size_t k, size_t size) {
    const unsigned char value = cells[k];
    const uint64_t pattern = uint64_t(value) * 0x0101010101010101ull;
    size_t i = k + 1;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, cells + i, sizeof word);
        if (word != pattern)
            break;
    }
    while (i < size && cells[i] == value)
        ++i;
    return i;
}

// Lowest set bit of a non-zero word.
unsigned lowest_bit(uint64_t w) {
    return static_cast<unsigned>(__builtin_ctzll(w));
}

void put_u32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool is_last_column_hioreg(unsigned type) {
    return type == BRIX_RBA_CRAM_HIOR || type == BRIX_RBA_CRAM_HCLKMUX || type == BRIX_RBA_CRAM_PLLINT;
}

// Types whose blocks carry a text CRAM map.
bool has_block_cram_map(unsigned type) {
    return type == BRIX_RBA_CRAM_L || type == BRIX_RBA_CRAM_M || type == BRIX_RBA_CRAM_D ||
           type == BRIX_RBA_CRAM_IH || type == BRIX_RBA_CRAM_IH_RIGHT || type == BRIX_RBA_CRAM_IV;
}

// Types whose blocks are data bits over their whole rectangle.
bool is_solid_block(unsigned type) {
    return type == BRIX_RBA_CRAM_HIOR || type == BRIX_RBA_CRAM_HCLKMUX || type == BRIX_RBA_CRAM_PLLINT ||
           type == BRIX_RBA_CRAM_VIOR || type == BRIX_RBA_CRAM_VCLKMUX || type == BRIX_RBA_CRAM_C ||
           type == BRIX_RBA_CRAM_C_IV;
}

// Bit rows of a cell test over columns of cells: bit k of row j is set when keep(column_cells(j)[k]).
template <typename CELLS, typename KEEP>
BIT_MATRIX bit_rows_where(size_t columns, unsigned rows, CELLS&& column_cells, KEEP&& keep) {
    BIT_MATRIX result(columns, rows);
    for (size_t j = 0; j < columns; ++j) {
        uint64_t* words = result.row_words(j);
        const unsigned char* cells = column_cells(j);
        for (unsigned k = 0; k < rows; ++k)
            if (keep(cells[k]))
                words[k / WORD_BITS] |= uint64_t(1) << (k % WORD_BITS);
    }
    return result;
}

// Bit rows of one cell value over expanded uniquified columns: row j holds the rows k whose cell is value.
BIT_MATRIX cells_equal_to(const BRIX_BYTE_COLUMNS& columns, unsigned rows, unsigned char value) {
    return bit_rows_where(
        columns.size(), rows, [&](size_t j) { return columns[j].data(); },
        [value](unsigned char cell) { return cell == value; });
}

// One uniquified file as read: its columns and their types.
struct UNIQUIFIED_FILE {
    unsigned col = 0;
    unsigned row = 0;
    std::vector<unsigned> types;
    std::vector<unsigned> final_types;
    BRIX_BYTE_COLUMNS cells;
};

// Rows first .. last of a column that hold flash cells (FLASH_IP or FAKE_FLASH_IP).
struct FLASH_SPAN {
    unsigned column;
    unsigned first_row;
    unsigned last_row;
};

struct FLASH_IP {
    unsigned count = 0;
    unsigned start_column = 0;
    unsigned end_column = 0;
    unsigned start_row = 0;
    unsigned end_row = 0;
};

// The state of one phantomless build: the type grid, the working bit rows (one per column) and what the RBA
// pass collects.
class PHANTOMLESS_BUILDER {
  public:
    PHANTOMLESS_BUILDER(unsigned col_size, unsigned row_size, const std::array<uint32_t, 4>& mram_valid_range)
        : m_col_size(col_size), m_row_size(row_size), m_range(mram_valid_range), m_types(col_size, row_size),
          m_bits(col_size, row_size), m_memory_column_listed(col_size, false) {}

    // The blocks of the RBA text (rba_file as unpacked; given: by the caller, whose file may still be on its
    // way).
    void read_rba(const std::string& rba_file, std::string_view text, bool given);
    void fake_flash_ip();
    void check_last_column(bool verbose);
    void check_exclusive_columns();
    BRIX_PHANTOMLESS_MAP build_rows(const UNIQUIFIED_FILE& unmask, const UNIQUIFIED_FILE& mask);
    void print_mapping(unsigned print_split_col) const;
    void check_block_maps() const;

  private:
    void add_block(std::string_view line);
    // The block type named by a block line's first token; false for a block without CRAM of its own.
    bool block_type(std::string_view name, unsigned& type);
    void fill_types(unsigned start_column, unsigned end_column, unsigned start_row, unsigned end_row,
                    unsigned char type, const char* condition);
    bool column_matches(unsigned i, unsigned j, const uint64_t* column_flash, const BIT_MATRIX& unmask_data,
                        const BIT_MATRIX& unmask_flash) const;

    unsigned m_col_size;
    unsigned m_row_size;
    std::array<uint32_t, 4> m_range;
    BRIX_RBA_TYPE_MAP m_types;
    BIT_MATRIX m_bits;
    // Width and height of the first block of each type (0 before it), and its block CRAM map, plain and
    // bottom-up, once loaded.
    unsigned m_block_width[BRIX_RBA_CRAM_MAX] = {};
    unsigned m_block_height[BRIX_RBA_CRAM_MAX] = {};
    bool m_block_map_loaded[BRIX_RBA_CRAM_MAX] = {};
    BIT_MATRIX m_block_map[BRIX_RBA_CRAM_MAX];
    BIT_MATRIX m_block_map_reversed[BRIX_RBA_CRAM_MAX];
    FLASH_IP m_flash;
    // Where the grid has flash cells: they only ever enter it through fill_types, so the flash rows of a
    // column are known without a scan of the grid.
    std::vector<FLASH_SPAN> m_flash_spans;
    std::vector<uint64_t> m_memory_block_start_col;
    // The block lines' tokens, and the block names looked up so far with their results: an RBA names a
    // handful of block kinds over 100,000s of lines, so each name is looked up once.
    struct NAMED_BLOCK {
        std::string name;
        bool has_type;
        unsigned type;
    };
    std::vector<std::string_view> m_tokens;
    std::vector<NAMED_BLOCK> m_named_blocks;
    size_t m_last_named = 0;
    // Types whose name has been checked, and the memory columns already listed.
    bool m_type_named[BRIX_RBA_CRAM_MAX] = {};
    std::vector<bool> m_memory_column_listed;
    unsigned m_t2 = 0;
    unsigned m_t4 = 0;
};

void PHANTOMLESS_BUILDER::read_rba(const std::string& rba_file, std::string_view text, bool given) {
    BRIX_CHECK(given || FIO_FILE_SYSTEM::exists(rba_file), "RBA source file does not exist");
    LINE_READER reader(text, rba_file);
    std::string_view line;
    bool found_block = false;
    while (reader.next(line)) {
        if (LINE_READER::trim_view(line) == "$BLOCKS") {
            found_block = true;
            break;
        }
    }
    BRIX_CHECK(found_block, "found_block");
    while (reader.next(line)) {
        const std::string_view block = LINE_READER::trim_view(line);
        if (!block.empty() && block[0] == '$')
            break;
        if (!block.empty())
            add_block(block);
    }
}

void PHANTOMLESS_BUILDER::fill_types(unsigned start_column, unsigned end_column, unsigned start_row,
                                     unsigned end_row, unsigned char type, const char* condition) {
    BRIX_CHECK(end_column < m_col_size && end_row < m_row_size, condition);
    for (unsigned i = start_column; i <= end_column; ++i) {
        unsigned char* cells = m_types.column(i);
        // Every cell of the range still unknown: one run of unknown cells, checked eight at a time.
        BRIX_CHECK(cells[start_row] == BRIX_RBA_CRAM_UNKNOWN &&
                       end_of_run(cells, start_row, size_t(end_row) + 1) == size_t(end_row) + 1,
                   condition);
        std::memset(cells + start_row, type, size_t(end_row) - start_row + 1);
        if (BRIX_COMMON::is_flash_ip(type))
            m_flash_spans.push_back({i, start_row, end_row});
    }
}

bool PHANTOMLESS_BUILDER::block_type(std::string_view name, unsigned& type) {
    // The lines of one kind come in runs: the name of the previous line first.
    if (m_last_named < m_named_blocks.size() && m_named_blocks[m_last_named].name == name) {
        type = m_named_blocks[m_last_named].type;
        return m_named_blocks[m_last_named].has_type;
    }
    for (size_t i = 0; i < m_named_blocks.size(); ++i)
        if (m_named_blocks[i].name == name) {
            m_last_named = i;
            type = m_named_blocks[i].type;
            return m_named_blocks[i].has_type;
        }
    const std::string text(name);
    unsigned found = 0;
    const bool has_type = BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_RBA_CRAM, text, &found);
    // Blocks of the configuration-flash-file vocabulary have no CRAM of their own.
    if (!has_type)
        BRIX_CHECK(BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_CFF, text),
                   "Unrecognized block for HR RBA");
    m_last_named = m_named_blocks.size();
    m_named_blocks.push_back({text, has_type, found});
    type = found;
    return has_type;
}

void PHANTOMLESS_BUILDER::add_block(std::string_view line) {
    static const QTL_TOKENIZER tokenizer(" \t");
    std::vector<std::string_view>& tokens = m_tokens;
    tokenizer.tokenize(line, tokens);
    BRIX_CHECK(tokens.size() >= 7, "svec.size() >= 7");
    unsigned type = 0;
    if (!block_type(tokens[0], type))
        return;
    BRIX_CHECK(type < BRIX_RBA_CRAM_MAX, "brix_type < BRIX_RBA_CRAM_MAX");
    unsigned start_row = BRIX_MANAGER::convert_string_to_value(tokens[3], true);
    unsigned end_row = BRIX_MANAGER::convert_string_to_value(tokens[4], true);
    unsigned start_column = BRIX_MANAGER::convert_string_to_value(tokens[5], true);
    unsigned end_column = BRIX_MANAGER::convert_string_to_value(tokens[6], true);
    BRIX_CHECK(start_column <= end_column && start_row <= end_row,
               "start_column <= end_column && start_row <= end_row");
    if (type == BRIX_RBA_CRAM_IH && end_column - start_column == 18)
        type = BRIX_RBA_CRAM_IH_RIGHT;
    else if (type == BRIX_RBA_CRAM_C && end_row - start_row == 21)
        type = BRIX_RBA_CRAM_C_IV;

    // Sizes in 64 bits: a rectangle as wide as the whole 32-bit range must not wrap to 0.
    uint64_t width = uint64_t(end_column) - start_column + 1;
    uint64_t height = uint64_t(end_row) - start_row + 1;
    if (m_block_width[type] == 0) {
        BRIX_CHECK(m_block_height[type] == 0, "block_size[2 * brix_type + 1] == 0");
        m_block_width[type] = static_cast<unsigned>(width);
        m_block_height[type] = static_cast<unsigned>(height);
    } else {
        BRIX_CHECK(
            m_block_width[type] == width && m_block_height[type] == height,
            "block_size[2 * brix_type] == (end_column - start_column + 1) && block_size[2 * brix_type + 1] "
            "== (end_row - start_row + 1)");
    }
    fill_types(start_column, end_column, start_row, end_row, static_cast<unsigned char>(type),
               "i < col_size && j < row_size && map[i][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)");
    if (!m_type_named[type]) {
        std::string name;
        BRIX_CHECK(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_RBA_CRAM, type, &name),
                   "BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_RBA_CRAM, brix_type, &string)");
        m_type_named[type] = true;
    }

    if (has_block_cram_map(type)) {
        if (!m_block_map_loaded[type]) {
            bool memory = type == BRIX_RBA_CRAM_M;
            BRIX_COMMON::get_cram_map(BRIX_MANAGER::get_vantrel_cram_map_path(
                                          BRIX_FAMILY_HARRIER, static_cast<BRIX_RBA_CRAM_TYPE>(type)),
                                      m_block_width[type], m_block_height[type], m_block_map[type], memory,
                                      m_range[0], m_range[1], m_range[2], m_range[3]);
            m_block_map_loaded[type] = true;
        }
        BRIX_CHECK(m_block_map_loaded[type], "block_map[brix_type] != NULL");
        bool reverse = type == BRIX_RBA_CRAM_IV && m_row_size >= 26 && start_row == m_row_size - 26;
        BRIX_COMMON::copy_cram_map(m_bits, m_block_map[type], start_column, start_row, m_block_width[type],
                                   m_block_height[type], reverse);
    } else if (type == BRIX_RBA_CRAM_FLASH_IP) {
        m_flash.count += 1;
        m_flash.start_column = start_column;
        m_flash.end_column = end_column;
        m_flash.start_row = start_row;
        m_flash.end_row = end_row;
    } else if (is_solid_block(type)) {
        for (unsigned i = start_column; i <= end_column; ++i) {
            uint64_t* words = m_bits.row_words(i);
            bool clear = true;
            for_each_word_span(start_row, size_t(end_row) - start_row + 1,
                               [&](size_t w, uint64_t mask) { clear = clear && (words[w] & mask) == 0; });
            BRIX_CHECK(clear, "(col_map[row_index >> 3] & (1 << (row_index & 7))) == 0");
            for_each_word_span(start_row, size_t(end_row) - start_row + 1,
                               [&](size_t w, uint64_t mask) { words[w] |= mask; });
        }
    } else {
        BRIX_REPORT("Unprocessed block " + std::string(line));
    }
    if (type == BRIX_RBA_CRAM_M) {
        // start_column lies inside the grid (checked above): one flag per grid column says whether its
        // memory column is listed already.
        uint64_t column = uint64_t(m_range[0]) + start_column;
        if (!m_memory_column_listed[start_column]) {
            m_memory_column_listed[start_column] = true;
            m_memory_block_start_col.push_back(column);
        }
    }
}

void PHANTOMLESS_BUILDER::fake_flash_ip() {
    BRIX_CHECK(m_flash.count == 1, "flash_ip_count == 1");
    BRIX_CHECK(m_flash.start_row == 0, "flash_ip_start_row == 0");
    BRIX_CHECK(m_flash.end_row != 0 && m_flash.end_row < (m_row_size - 1),
               "flash_ip_end_row != 0 && flash_ip_end_row < (row_size - 1)");
    BRIX_CHECK(m_flash.end_column <= (m_col_size - 1), "flash_ip_end_column <= (col_size - 1)");
    const char* const unknown = "map[i][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)";
    if (m_flash.end_column != m_col_size - 1) {
        std::cout << "\n      Faking the Flash IP from column " << (m_flash.end_column + 1) << " till "
                  << (m_col_size - 1) << "\n";
        fill_types(m_flash.end_column + 1, m_col_size - 1, 0, m_flash.end_row, BRIX_RBA_CRAM_FAKE_FLASH_IP,
                   unknown);
    }
    BRIX_CHECK(m_flash.start_column > 0 && m_flash.start_column < m_flash.end_column,
               "flash_ip_start_column > 0 && flash_ip_start_column < flash_ip_end_column");
    for (unsigned column = m_flash.start_column - 1; column >= 1; --column) {
        if (m_types.column(column)[m_flash.end_row] != BRIX_RBA_CRAM_UNKNOWN)
            break;
        std::cout << "      Front faking the Flash IP at column " << column << "\n";
        fill_types(column, column, 0, m_flash.end_row, BRIX_RBA_CRAM_FAKE_FLASH_IP,
                   "map[flash_ip_start_column][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)");
    }
}

// The last column, from row 0 down: flash cells, 70 unknown rows, the I/O register rows, 26 unknown rows.
void PHANTOMLESS_BUILDER::check_last_column(bool verbose) {
    const unsigned char* cells = m_types.column(m_col_size - 1);
    unsigned flash_count = 0, t2_zero_count = 0, hioreg_count = 0, t5_zero_count = 0;
    for (unsigned k = 0; k < m_row_size; ++k) {
        unsigned type = cells[k];
        if (BRIX_COMMON::is_flash_ip(type)) {
            BRIX_CHECK(t2_zero_count == 0 && hioreg_count == 0 && t5_zero_count == 0,
                       "t2_zero_count == 0 && hioreg_count == 0 && t5_zero_count == 0");
            ++flash_count;
        } else if (type == BRIX_RBA_CRAM_UNKNOWN && hioreg_count == 0) {
            BRIX_CHECK(flash_count != 0 && hioreg_count == 0 && t5_zero_count == 0,
                       "flash_count != 0 && hioreg_count == 0 && t5_zero_count == 0");
            ++t2_zero_count;
        } else if (type == BRIX_RBA_CRAM_UNKNOWN) {
            BRIX_CHECK(flash_count != 0 && t2_zero_count != 0 && hioreg_count != 0,
                       "flash_count != 0 && t2_zero_count != 0 && hioreg_count != 0");
            ++t5_zero_count;
        } else if (is_last_column_hioreg(type)) {
            BRIX_CHECK(flash_count != 0 && t2_zero_count != 0 && t5_zero_count == 0,
                       "flash_count != 0 && t2_zero_count != 0 && t5_zero_count == 0");
            ++hioreg_count;
        } else {
            BRIX_REPORT("Unexpected RBA block for the last column");
        }
    }
    // flash_count below 26 would wrap in the subtraction; it is refused with the same condition.
    BRIX_CHECK(flash_count >= 26 && ((flash_count - 26) % 70 == 0) && ((flash_count - 26) / 70 > 0),
               "((flash_count - 26) % 70 == 0) && ((flash_count - 26) / 70 > 0)");
    BRIX_CHECK(t2_zero_count == 70, "t2_zero_count == 70");
    BRIX_CHECK((hioreg_count % 70 == 0) && (hioreg_count / 70 > 0),
               "(hioreg_count % 70 == 0) && (hioreg_count / 70 > 0)");
    BRIX_CHECK(t5_zero_count == 26, "t5_zero_count == 26");
    m_t2 = (flash_count - 26) / 70;
    m_t4 = hioreg_count / 70;
    if (verbose)
        std::cout << "\n      RBA duplicated row info: \n"
                  << "\n         T2: " << m_t2 << "\n         T4: " << m_t4 << "\n";
}

void PHANTOMLESS_BUILDER::check_exclusive_columns() {
    const unsigned hior_companions[] = {BRIX_RBA_CRAM_HCLKMUX, BRIX_RBA_CRAM_PLLINT};
    BRIX_CHECK(BRIX_COMMON::rba_phantomless_exclusive_column(m_types, m_col_size, m_row_size,
                                                             BRIX_RBA_CRAM_HIOR, 2, hior_companions),
               "HIOR Block violates exclusive-check rules");
    const unsigned c_companions[] = {BRIX_RBA_CRAM_C_IV};
    BRIX_CHECK(BRIX_COMMON::rba_phantomless_exclusive_column(m_types, m_col_size, m_row_size, BRIX_RBA_CRAM_C,
                                                             1, c_companions),
               "C Block violates exclusive-check rules");
}

bool PHANTOMLESS_BUILDER::column_matches(unsigned i, unsigned j, const uint64_t* column_flash,
                                         const BIT_MATRIX& unmask_data,
                                         const BIT_MATRIX& unmask_flash) const {
    // A row matches when it is a flash row on both sides, or a data bit exactly where the uniquified column
    // has a data cell. The bits of the chip's flash rows are left to the flash rule of the cell checks; the
    // uniquified column has no data cell on its flash rows.
    const size_t words = unmask_flash.words_per_row();
    if (std::memcmp(column_flash, unmask_flash.row_words(j), words * sizeof(uint64_t)) != 0)
        return false;
    const uint64_t* bits = m_bits.row_words(i);
    const uint64_t* data = unmask_data.row_words(j);
    for (size_t w = 0; w < words; ++w)
        if ((bits[w] & ~column_flash[w]) != data[w])
            return false;
    return true;
}

} // namespace

void check_phantomless_cells(const PHANTOMLESS_CELL_ROWS& rows, size_t words) {
    for (size_t w = 0; w < words; ++w) {
        uint64_t bad_data = rows.mask_data[w] & rows.unmask_flash[w];
        uint64_t bad_flash =
            rows.mask_flash[w] & ~(rows.unmask_flash[w] & rows.chip_flash[w] & ~rows.chip_bits[w]);
        uint64_t bad_pb = rows.mask_pb[w] & ~rows.unmask_pb[w];
        uint64_t bad = bad_data | bad_flash | bad_pb;
        if (bad == 0)
            continue;
        uint64_t first = uint64_t(1) << lowest_bit(bad);
        BRIX_CHECK((bad_data & first) == 0, "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_PB || "
                                            "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_DATA");
        BRIX_CHECK((bad_flash & first) == 0,
                   "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_FLASH && "
                   "is_flash_ip(BRIX_RBA_CRAM_TYPE(map[i][k])) && (bin_col_map[k >> 3] "
                   "& (1 << (k & 7))) == 0");
        BRIX_REPORT("fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_PB");
    }
}

namespace {

BRIX_PHANTOMLESS_MAP PHANTOMLESS_BUILDER::build_rows(const UNIQUIFIED_FILE& unmask,
                                                     const UNIQUIFIED_FILE& mask) {
    uint64_t expected_rows = UNIQUIFIED_ROW_COUNT[0] + uint64_t(m_t2) * UNIQUIFIED_ROW_COUNT[1] +
                             UNIQUIFIED_ROW_COUNT[2] + uint64_t(m_t4) * UNIQUIFIED_ROW_COUNT[3] +
                             UNIQUIFIED_ROW_COUNT[4];
    BRIX_CHECK(
        m_row_size == expected_rows && unmask.col <= m_col_size,
        "row_size == (UNIQUIFIED_ROW_COUNT[0] + T2_count * UNIQUIFIED_ROW_COUNT[1] + UNIQUIFIED_ROW_COUNT[2] "
        "+ T4_count * UNIQUIFIED_ROW_COUNT[3] + UNIQUIFIED_ROW_COUNT[4]) && unmask_uniquified_col <= "
        "col_size");
    const unsigned repeats[UNIQUIFIED_SEGMENT_COUNT] = {1, m_t2, 1, m_t4, 1};
    BRIX_BYTE_COLUMNS full_unmask, full_mask;
    BRIX_COMMON::build_fullchip_uniquified(unmask.cells, unmask.col, unmask.row, m_row_size,
                                           UNIQUIFIED_SEGMENT_COUNT, UNIQUIFIED_ROW_COUNT, repeats,
                                           full_unmask);
    BRIX_COMMON::build_fullchip_uniquified(mask.cells, mask.col, mask.row, m_row_size,
                                           UNIQUIFIED_SEGMENT_COUNT, UNIQUIFIED_ROW_COUNT, repeats,
                                           full_mask);

    // Word-wide views: per uniquified column, the rows holding each cell value.
    BIT_MATRIX unmask_data = cells_equal_to(full_unmask, m_row_size, SOF_BIT_IS_DATA);
    BIT_MATRIX unmask_flash = cells_equal_to(full_unmask, m_row_size, SOF_BIT_IS_FLASH);
    BIT_MATRIX unmask_pb = cells_equal_to(full_unmask, m_row_size, SOF_BIT_IS_PB);
    BIT_MATRIX mask_data = cells_equal_to(full_mask, m_row_size, SOF_BIT_IS_DATA);
    BIT_MATRIX mask_flash = cells_equal_to(full_mask, m_row_size, SOF_BIT_IS_FLASH);
    BIT_MATRIX mask_pb = cells_equal_to(full_mask, m_row_size, SOF_BIT_IS_PB);
    // The flash spans in column order, for the flash rows of one column at a time.
    std::stable_sort(m_flash_spans.begin(), m_flash_spans.end(),
                     [](const FLASH_SPAN& a, const FLASH_SPAN& b) { return a.column < b.column; });
    auto next_span = m_flash_spans.begin();

    const size_t words = m_bits.words_per_row();
    const size_t row_bytes = PHANTOMLESS_HEADER_SIZE + m_bits.bytes_per_row();
    // The final-type checks depend only on the uniquified column a column matches: each is checked once.
    std::vector<bool> final_type_checked(unmask.col, false);
    BRIX_PHANTOMLESS_MAP rows;
    rows.reserve(m_col_size);
    bool found_switch_region = false;
    bool previous_flash = false;
    std::vector<uint64_t> column_flash(words);
    for (unsigned i = 0; i < m_col_size; ++i) {
        std::fill(column_flash.begin(), column_flash.end(), 0);
        for (; next_span != m_flash_spans.end() && next_span->column == i; ++next_span)
            for_each_word_span(next_span->first_row, size_t(next_span->last_row) - next_span->first_row + 1,
                               [&](size_t w, uint64_t mask) { column_flash[w] |= mask; });
        // The first uniquified column that matches.
        unsigned j = 0;
        while (j < unmask.col && !column_matches(i, j, column_flash.data(), unmask_data, unmask_flash))
            ++j;
        if (j == unmask.col) {
            std::string message;
            BRIX_REPORT(stl_sprintf(
                message, "Unable to match Fullchip column %d with any of the Uniquified column", int(i)));
        }
        BRIX_CHECK(j < unmask.col, "j < unmask_uniquified_col");
        // Its final type, which names a uniquified column with the same mask cells.
        if (!final_type_checked[j]) {
            unsigned final_type = mask.final_types[j];
            auto found = std::find(unmask.types.begin(), unmask.types.end(), final_type);
            BRIX_CHECK(found != unmask.types.end(), "found_final_type");
            size_t final_col = size_t(found - unmask.types.begin());
            BRIX_CHECK(full_mask[j] == full_mask[final_col],
                       "fullchip_mask_uniquified[j][k] == fullchip_mask_uniquified[final_col][k]");
            BRIX_CHECK((final_type >> 24) == 0, "(phantomless_map[i][3] & 0xFF) == 0");
            final_type_checked[j] = true;
        }
        // The header: the final type and the flash flag.
        rows.emplace_back(static_cast<unsigned>(row_bytes), 1);
        unsigned char* row = rows.back().data();
        put_u32(row, mask.final_types[j]);
        const bool flash_column = full_mask[j][0] == SOF_BIT_IS_FLASH;
        if (flash_column)
            row[3] = PHANTOMLESS_FLAG_FLASH;
        // The one switch between non-flash and flash columns.
        if (i > 0 && flash_column != previous_flash) {
            BRIX_CHECK(!found_switch_region, "!found_switch_region");
            found_switch_region = true;
            rows[i - 1][3] |= PHANTOMLESS_FLAG_SWITCH;
            row[3] |= PHANTOMLESS_FLAG_SWITCH;
        }
        // The cells, with this chip column's own flash cells and bits.
        check_phantomless_cells({mask_data.row_words(j), mask_flash.row_words(j), mask_pb.row_words(j),
                                 unmask_flash.row_words(j), unmask_pb.row_words(j), column_flash.data(),
                                 m_bits.row_words(i)},
                                words);
        previous_flash = flash_column;
        // The column's data bits are the mask's data cells: its flash rows stay clear, its phantom rows are
        // cleared.
        std::memcpy(m_bits.row_words(i), mask_data.row_words(j), words * sizeof(uint64_t));
        put_u32(row + 4, static_cast<uint32_t>(m_bits.count_row(i)));
        m_bits.row_to_bytes(i, row + PHANTOMLESS_HEADER_SIZE, m_bits.bytes_per_row());
    }

    BRIX_CHECK(found_switch_region, "found_switch_region");
    BRIX_CHECK(!m_memory_block_start_col.empty(), "memory_block_start_col.size() > 0");
    // A range whose end lies below its start would wrap to a span of billions of columns.
    BRIX_CHECK(m_range[0] <= m_range[1], "mram_valid_range[0] <= mram_valid_range[1]");
    uint64_t span = uint64_t(m_range[1]) - m_range[0];
    for (uint64_t start : m_memory_block_start_col) {
        INPUT_CONTEXT here("memory columns " + std::to_string(start) + " to " + std::to_string(start + span) +
                           " of " + std::to_string(m_col_size));
        BRIX_CHECK(start + span < m_col_size, "memory_block_start_col + mram_valid_range span < col_size");
        for (uint64_t c = start; c <= start + span; ++c)
            rows[c][3] |= PHANTOMLESS_FLAG_MEMORY;
    }
    return rows;
}

void PHANTOMLESS_BUILDER::print_mapping(unsigned print_split_col) const {
    BRIX_CHECK(print_split_col <= m_col_size, "print_split_col <= col_size");
    std::string text = "\nPhantomLess Mapping\n\n";
    text += "\t? : Unknown, x : Flash,   # : Fake Flash, L : LAB,      M : Memory,   D : DSP,    C : Clock\n";
    text += "\t1 : C_IV,    2 : HCLKMUX, 3 : IH,         4 : IH_RIGHT, 5 : IV,       6 : HIOR\n";
    text += "\t7 : VIOR,    8 : PLLINT,  9 : VCLKMUX\n\n";
    std::cout << text;
    std::string line;
    for (unsigned k = 0; k < m_row_size; ++k) {
        line.clear();
        for (unsigned i = 0; i < m_col_size; ++i) {
            if (i == print_split_col && print_split_col != 0)
                line += '\t';
            line += BRIX_COMMON::convert_hr_rba_type_to_char(m_types.column(i)[k]);
        }
        if (print_split_col == m_col_size && print_split_col != 0)
            line += '\t';
        line += '\n';
        std::cout << line;
    }
    std::cout << "\n";
}

void PHANTOMLESS_BUILDER::check_block_maps() const {
    for (unsigned i = 0; i < BRIX_RBA_CRAM_MAX; ++i)
        if (m_block_map_loaded[i])
            BRIX_CHECK(m_block_width[i] > 0 && m_block_height[i] > 0,
                       "block_size[2 * i] > 0 && block_size[2 * i + 1] > 0");
}

UNIQUIFIED_FILE read_uniquified(const std::string& path) {
    UNIQUIFIED_FILE file;
    BRIX_COMMON::parse_phantomless_uniquified_file(path, file.col, file.row, file.types, file.final_types,
                                                   file.cells);
    return file;
}

} // namespace

BRIX_RBA_TYPE_MAP::BRIX_RBA_TYPE_MAP(unsigned col_size, unsigned row_size)
    : m_col_size(col_size), m_row_size(row_size), m_cells(size_t(col_size) * row_size) {
    std::memset(m_cells.get(), BRIX_RBA_CRAM_UNKNOWN, m_cells.size());
}

BRIX_PHANTOMLESS_MAP
BRIX_COMMON::build_hr_phantomless_database(unsigned family, const std::string& rba_file, unsigned col_size,
                                           unsigned row_size, const std::array<uint32_t, 4>& mram_valid_range,
                                           unsigned print_split_col, bool verbose,
                                           const LARGE_TEXT* unpacked) {
    BRIX_CHECK(family == BRIX_FAMILY_HARRIER,
               "Harrier Phantomless algo does not support the specified family");
    // A row count below 52 would wrap in the subtraction; it is refused with the same condition.
    BRIX_CHECK(row_size >= 2 * 26 && ((row_size - 2 * 26) % 70) == 0 && ((row_size - 2 * 26) / 70) > 2,
               "((row_size - 2 * 26) % 70) == 0 && ((row_size - 2 * 26) / 70) > 2");
    BRIX_CHECK(!rba_file.empty() && col_size > 0 && row_size > 0,
               "!rba_file.empty() && col_size > 0 && row_size > 0");
    BRIX_CHECK(mram_valid_range[0] != mram_valid_range[1] && mram_valid_range[2] != mram_valid_range[3],
               "mram_valid_range[0] != mram_valid_range[1] && mram_valid_range[2] != mram_valid_range[3]");

    const std::string zipped = rba_file + "z";
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(zipped), "Harrier RBA source file does not exist");
    // The command line the progress text names (logs know the step by it); the work is done in-process.
    const std::string command = BRIX_BUILD_CONTEXT::gunzip_command(zipped, rba_file);
    if (verbose)
        std::cout << "\n      Running CMD: " << command << "\n";
    // A text the caller unpacked may still be on its way to the file: the caller waits for that write.
    const bool given = unpacked != nullptr;
    LARGE_TEXT own_text;
    if (unpacked == nullptr) {
        BRIX_BUILD_CONTEXT::unpack(zipped, rba_file,
                                   BRIX_BUILD_CONTEXT::text_unpack_limit(col_size, row_size), &own_text);
        unpacked = &own_text;
    }
    BRIX_CHECK(given || FIO_FILE_SYSTEM::exists(rba_file), "FIO_FILE_SYSTEM::exists(rba_file.c_str())");

    if (verbose)
        std::cout << "\n      Building PhantomLess Database using HarRier flow\n"
                  << "\n         Column: " << col_size << "\n         Row: " << row_size << "\n";

    UNIQUIFIED_FILE unmask = read_uniquified(
        BRIX_MANAGER::get_vantrel_phantomless_path(static_cast<BRIX_FAMILY_TYPE>(family), "unmask", "txt"));
    UNIQUIFIED_FILE mask = read_uniquified(
        BRIX_MANAGER::get_vantrel_phantomless_path(static_cast<BRIX_FAMILY_TYPE>(family), "mask", "txt"));
    BRIX_CHECK(unmask.col > 0 && unmask.row > 0 && unmask.col == unmask.types.size(),
               "unmask_uniquified_col > 0 && unmask_uniquified_row > 0 && unmask_uniquified_col == "
               "DWORD(unmask_uniquified_type.size())");
    BRIX_CHECK(mask.col > 0 && mask.row > 0 && mask.col == mask.types.size(),
               "mask_uniquified_col > 0 && mask_uniquified_row > 0 && mask_uniquified_col == "
               "DWORD(mask_uniquified_type.size())");
    BRIX_CHECK(
        unmask.col == mask.col && unmask.row == mask.row,
        "unmask_uniquified_col == mask_uniquified_col && unmask_uniquified_row == mask_uniquified_row");
    for (unsigned i = 0; i < unmask.col; ++i) {
        BRIX_CHECK(unmask.types.at(i) == mask.types.at(i),
                   "unmask_uniquified_type.at(i) == mask_uniquified_type.at(i)");
        BRIX_CHECK(unmask.final_types.at(i) == mask.final_types.at(i),
                   "unmask_final_uniquified_type.at(i) == mask_final_uniquified_type.at(i)");
    }
    if (verbose)
        std::cout << "\n      Uniquified Info: \n"
                  << "\n         Column: " << unmask.col << "\n         Row: " << unmask.row << "\n";

    PHANTOMLESS_BUILDER builder(col_size, row_size, mram_valid_range);
    BRIX_PHANTOMLESS_MAP rows;
    builder.read_rba(rba_file, unpacked->view(), given);
    {
        INPUT_CONTEXT here(rba_file);
        builder.fake_flash_ip();
        builder.check_last_column(verbose);
        builder.check_exclusive_columns();
        rows = builder.build_rows(unmask, mask);
    }
    if (print_split_col != NO_LISTING)
        builder.print_mapping(print_split_col);
    builder.check_block_maps();
    return rows;
}

bool BRIX_COMMON::is_flash_ip(unsigned type) {
    return type == BRIX_RBA_CRAM_FLASH_IP || type == BRIX_RBA_CRAM_FAKE_FLASH_IP;
}

bool BRIX_COMMON::rba_phantomless_exclusive_column(const BRIX_RBA_TYPE_MAP& type_map, unsigned col_size,
                                                   unsigned row_size, unsigned type, unsigned companion_count,
                                                   const unsigned* companions) {
    BRIX_CHECK(col_size <= type_map.col_size() && row_size <= type_map.row_size(), "map != NULL");
    bool is_companion[BRIX_RBA_CRAM_UNKNOWN + 1] = {};
    for (unsigned c = 0; c < companion_count; ++c)
        if (companions[c] <= BRIX_RBA_CRAM_UNKNOWN)
            is_companion[companions[c]] = true;
    bool passed = true;
    for (unsigned i = 0; i < col_size && passed; ++i) {
        const unsigned char* cells = type_map.column(i);
        bool found_type = false, found_other = false, found_companion = false;
        // Blocks fill whole row ranges, so a column is runs of one type. A cell equal to the one before it
        // passes the same checks and changes no flag, so each run is looked at once.
        for (unsigned k = 0; k < row_size; k = static_cast<unsigned>(end_of_run(cells, k, row_size))) {
            unsigned cell = cells[k];
            BRIX_CHECK(cell != BRIX_RBA_CRAM_DUMMY1 && cell != BRIX_RBA_CRAM_DUMMY2 &&
                           cell != BRIX_RBA_CRAM_DUMMY3,
                       "type != BRIX_RBA_CRAM_DUMMY1 && type != BRIX_RBA_CRAM_DUMMY2 && type != "
                       "BRIX_RBA_CRAM_DUMMY3");
            BRIX_CHECK(cell <= BRIX_RBA_CRAM_UNKNOWN, "type <= BRIX_RBA_CRAM_UNKNOWN");
            if (cell == BRIX_RBA_CRAM_UNKNOWN || is_flash_ip(cell))
                continue;
            if ((is_companion[cell] || found_companion) && found_other)
                passed = false;
            if (is_companion[cell])
                found_companion = true;
            else if (cell == type)
                found_type = true;
            else if (!found_companion)
                found_other = true;
        }
        BRIX_CHECK(found_type || found_other, "Unable to find any RBA Block");
    }
    return passed;
}

char BRIX_COMMON::convert_hr_rba_type_to_char(unsigned type) {
    switch (type) {
    case BRIX_RBA_CRAM_L:
        return 'L';
    case BRIX_RBA_CRAM_M:
        return 'M';
    case BRIX_RBA_CRAM_D:
        return 'D';
    case BRIX_RBA_CRAM_C:
        return 'C';
    case BRIX_RBA_CRAM_C_IV:
        return '1';
    case BRIX_RBA_CRAM_HCLKMUX:
        return '2';
    case BRIX_RBA_CRAM_IH:
        return '3';
    case BRIX_RBA_CRAM_IH_RIGHT:
        return '4';
    case BRIX_RBA_CRAM_IV:
        return '5';
    case BRIX_RBA_CRAM_HIOR:
        return '6';
    case BRIX_RBA_CRAM_VIOR:
        return '7';
    case BRIX_RBA_CRAM_PLLINT:
        return '8';
    case BRIX_RBA_CRAM_VCLKMUX:
        return '9';
    case BRIX_RBA_CRAM_FLASH_IP:
        return 'x';
    case BRIX_RBA_CRAM_FAKE_FLASH_IP:
        return '#';
    case BRIX_RBA_CRAM_UNKNOWN:
        return '?';
    default:
        BRIX_REPORT("Unsupport HR RBA CRAM Block type");
    }
}
