// BRIX_COMMON: public operations over finished device data, beside the builders: the TALON row-stamp reader,
// the MLAB freeze mask, and the flattened RIF table with its listings. Static operations only.
#pragma once

#include "bit_matrix.h"
#include "brix_data_export.h"
#include "brix_owned_list.h"
#include "large_block.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A rows x columns table of texts in which every cell starts empty. Only the filled cells are stored: a G2
// list of a large device fills a few cells of a table of hundreds of millions.
class BRIX_RIF_TABLE {
  public:
    BRIX_RIF_TABLE(unsigned rows, unsigned columns) : m_rows(rows), m_columns(columns) {}

    unsigned rows() const { return m_rows; }
    unsigned columns() const { return m_columns; }
    // The text of the cell; empty when the cell was never filled or lies outside the table.
    const std::string& cell(unsigned row, unsigned column) const;
    // Fills a cell inside the table; false (and nothing changed) when it is already filled.
    bool set_cell(unsigned row, unsigned column, std::string text);
    // The filled cells in row-major order, keyed by row * columns + column.
    const std::map<uint64_t, std::string>& filled_cells() const { return m_cells; }

  private:
    unsigned m_rows;
    unsigned m_columns;
    std::map<uint64_t, std::string> m_cells;
};

// Values of the DRA info: one byte per row of DRA0.
enum BRIX_DRA_INFO_VALUE : unsigned char {
    BRIX_DRA_INFO_DATA = 0,     // a SOF bit on every DRA
    BRIX_DRA_INFO_PHANTOM3 = 3, // in the SOF, but only DRA0 carries it (MLAB rows)
    BRIX_DRA_INFO_PHANTOM4 = 4, // inserted on every DRA to align a division to 32 rows
    BRIX_DRA_INFO_PHANTOM5 = 5, // dummy bits the row stamp lists
    BRIX_DRA_INFO_EDCRC = 253,  // error-detection bit
};

// ---- Phantomless CRAM map of the flash-based family
// ----------------------------------------------------------
//
// The chip's CRAM is described by a full-chip RBA file (block rectangles on a column x row grid), per block
// type by a small text CRAM map, and per family by two "uniquified" files listing the distinct column kinds
// with one cell per row. The phantomless map combines them: one row per CRAM column holding a 16-byte header
// (final column type, flags, data-bit count) followed by the column's data bits.

// Cells of the uniquified files.
enum : unsigned char { SOF_BIT_IS_PB = 0, SOF_BIT_IS_DATA = 1, SOF_BIT_IS_FLASH = 2 };

// A uniquified column is five row segments; the full chip repeats segments 1 and 3.
inline constexpr unsigned UNIQUIFIED_SEGMENT_COUNT = 5;
inline constexpr unsigned UNIQUIFIED_ROW_COUNT[UNIQUIFIED_SEGMENT_COUNT] = {26, 70, 70, 70, 26};

// Header flags in byte 3 of a phantomless row.
inline constexpr unsigned char PHANTOMLESS_FLAG_FLASH = 0x80;
inline constexpr unsigned char PHANTOMLESS_FLAG_SWITCH = 0x40;
inline constexpr unsigned char PHANTOMLESS_FLAG_MEMORY = 0x20;
inline constexpr unsigned PHANTOMLESS_HEADER_SIZE = 16;

// Columns of byte cells: columns[c][r] is row r of column c.
using BRIX_BYTE_COLUMNS = std::vector<std::vector<unsigned char>>;
// The phantomless map: one byte row per CRAM column, each owned until a BRIX_ARG_DATA takes it.
using BRIX_PHANTOMLESS_MAP = std::vector<BRIX_ROW_BUFFER>;

// The tile-kind grid of a full-chip RBA: one BRIX_RBA_CRAM_TYPE byte per (column, row), columns contiguous.
class BRIX_RBA_TYPE_MAP {
  public:
    BRIX_RBA_TYPE_MAP(unsigned col_size, unsigned row_size);
    unsigned col_size() const { return m_col_size; }
    unsigned row_size() const { return m_row_size; }
    unsigned char* column(unsigned col) { return m_cells.get() + size_t(col) * m_row_size; }
    const unsigned char* column(unsigned col) const { return m_cells.get() + size_t(col) * m_row_size; }

  private:
    unsigned m_col_size;
    unsigned m_row_size;
    // Megabytes on the largest devices, filled at once: in huge pages where the system has them.
    HUGE_PAGE_BLOCK m_cells;
};

// A TALON row stamp read by BRIX_COMMON::parse_talon_row_stamp.
struct BRIX_TALON_ROW_STAMP {
    std::vector<unsigned char> dra_info; // one BRIX_DRA_INFO_* byte per DRA0 row
    unsigned dra0 = 0;                   // rows of DRA0
    unsigned dra123 = 0;                 // rows of DRA1..3
    unsigned sof_frame_bits = 0;         // SOF bits of one frame
    unsigned n_frame_per_row = 0;
    std::vector<unsigned> lutram_remap_datalines; // SOF bit offsets of the MLAB blocks' LUTRAM datalines
};

class BRIX_COMMON {
  public:
    BRIX_COMMON() = delete;

    // ---- TALON row stamps ------------------------------------------------------------------------------

    // Number of names in the row-stamp block vocabulary, and the name of an index (null past the end).
    static constexpr unsigned TALON_ROW_STAMP_BLOCK_COUNT = 85;
    static const char* talon_row_stamp_block_name(unsigned index);
    // Index of a row-stamp block name (case ignored). An unknown name prints "Cannot find <name>" and
    // returns false.
    static bool convert_talon_row_stamp_block(const std::string& name, unsigned& index);

    // Reads a row-stamp file: the column blocks that make up one CRAM frame, in order, into the DRA info
    // (one byte per DRA0 row), dra0, dra123 (rows of DRA1..3), the SOF bits of one frame, n_frame_per_row and
    // the SOF bit offsets of the MLAB blocks' LUTRAM datalines. The division block names split the blocks
    // into divisions, each padded to a multiple of 32 rows by its first M20K block. print lists the phantom
    // bits on standard output. bit_count, when not 0, is the device's SOF frame size: the frame's bits and
    // its DRA rows may not pass it (checked line by line, before the rows are allocated).
    static BRIX_TALON_ROW_STAMP parse_talon_row_stamp(const std::string& file,
                                                      const std::vector<std::string>& division_block_names,
                                                      bool print, unsigned bit_count = 0);

    // ---- MLAB freeze mask ------------------------------------------------------------------------------

    // The bits of a TALON SOF image that must be frozen for the MLAB blocks used as RAM: a new bit array of
    // ceil(image_bit_size / 8) bytes (new[], owned by the caller), bit i in byte i / 8 at position i % 8.
    // Reads the device's database by PCF name.
    static unsigned char* get_mlab_ram_freeze_mask(const std::string& pcf_name,
                                                   const unsigned char* image_bitfield,
                                                   unsigned image_bit_size);

    // ---- RIF tables ------------------------------------------------------------------------------------

    // The G2 list as a table of texts. With transpose: one row per list entry (frame f) and count columns
    // (bit b), cell [f][b]; without: count rows and one column per list entry, cell [b][f]. A cell holds the
    // number of references of its G2_SII_BIT, then per reference " frame bit dir dist" (bit before frame
    // without transpose). rows and columns receive the table's size. Null (and 0 x 0) for a null list.
    static std::unique_ptr<BRIX_RIF_TABLE> flatten_rif(const G2_SII_LIST* list, unsigned count,
                                                       bool transpose, unsigned& rows, unsigned& columns);

    // Listings of such a table (rows x columns cells; null prints nothing). The short form prints every
    // non-empty cell as "r c text", rows in order, columns in order within a row.
    static void print_rif_debug(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns);
    // The same cells grouped by DRA: without by_rows the columns are walked (from the last when reversed),
    // and within a column the rows of each DRA in the order of the DRA order values (the DRAS_ORDER
    // parameter's constants; row r belongs to DRA r % dras_count); with by_rows the roles of rows and
    // columns are exchanged.
    static void print_rif_debug(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns,
                                unsigned dras_count, const BRIX_CONST_DATA_LIST* dras_order_data_list,
                                bool by_rows, bool reversed);

    // ---- Phantomless CRAM map ----------------------------------------------------------------------------

    // The phantomless map of a device: col_size rows of PHANTOMLESS_HEADER_SIZE + (row_size + 7) / 8 bytes.
    // rba_file is the decompressed full-chip RBA; it is unpacked in-process from rba_file + "z" first.
    // mram_valid_range: first and last memory column offset, first and last memory row. print_split_col
    // 0xFFFFFFFF prints no mapping listing; verbose prints the progress lines. unpacked, when given, is the
    // text the caller has just unpacked into rba_file from the same ".rbaz" in this operation: the command
    // line is still printed, the file is not unpacked again and that text is read instead of the file.
    static BRIX_PHANTOMLESS_MAP build_hr_phantomless_database(unsigned family, const std::string& rba_file,
                                                              unsigned col_size, unsigned row_size,
                                                              const std::array<uint32_t, 4>& mram_valid_range,
                                                              unsigned print_split_col, bool verbose,
                                                              const LARGE_TEXT* unpacked = nullptr);

    // Reads a uniquified file into col columns of row cells, the column types and the final types. Waits
    // 20 x 2 seconds for a file that does not exist yet. The outputs must be empty on entry.
    static void parse_phantomless_uniquified_file(const std::string& path, unsigned& col, unsigned& row,
                                                  std::vector<unsigned>& types,
                                                  std::vector<unsigned>& final_types,
                                                  BRIX_BYTE_COLUMNS& cells);
    // Expands uniquified columns to the full chip height: segment s (row_counts[s] rows) repeated repeats[s]
    // times.
    static void build_fullchip_uniquified(const BRIX_BYTE_COLUMNS& uniquified, unsigned col,
                                          unsigned uniquified_row, unsigned fullchip_row,
                                          unsigned segment_count, const unsigned* row_counts,
                                          const unsigned* repeats, BRIX_BYTE_COLUMNS& fullchip);
    // Reads a block CRAM map text into width rows (block columns) of height bits (block rows). With
    // force_range, the cells whose column lies in [column_low, column_high] and row in [row_low, row_high]
    // are data bits whatever the text says.
    static void get_cram_map(const std::string& path, unsigned width, unsigned height, BIT_MATRIX& block_map,
                             bool force_range, unsigned column_low, unsigned column_high, unsigned row_low,
                             unsigned row_high);
    // Sets bit start_row + r of phantomless column start_column + i for every set cell (i, r) of the block
    // map (rows taken bottom-up with reverse). Every bit set must have been clear.
    static void copy_cram_map(BIT_MATRIX& phantomless_map, const BIT_MATRIX& block_map, unsigned start_column,
                              unsigned start_row, unsigned width, unsigned height, bool reverse);
    static bool is_flash_ip(unsigned type);
    // True when no column of the map holds a cell of another kind above a companion cell.
    static bool rba_phantomless_exclusive_column(const BRIX_RBA_TYPE_MAP& type_map, unsigned col_size,
                                                 unsigned row_size, unsigned type, unsigned companion_count,
                                                 const unsigned* companions);
    // The legend character of an RBA CRAM type in the mapping listing.
    static char convert_hr_rba_type_to_char(unsigned type);

    // The wait between two looks for a missing uniquified file (thr_msleep unless a test replaces it; null
    // restores it).
    using WAIT_FUNCTION = void (*)(unsigned milliseconds);
    static void set_wait_function_for_testing(WAIT_FUNCTION wait);
};
