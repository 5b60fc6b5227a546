// BRIX_COMMON: public operations over finished device data, beside the builders: the TALON row-stamp reader,
// the MLAB freeze mask, and the flattened RIF table with its listings. Static operations only.
#pragma once

#include "brix_data_export.h"

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

    // Reads a row-stamp file: the column blocks that make up one CRAM frame, in order. Returns the DRA info
    // (dra0 bytes, new[], owned by the caller) and fills dra0, dra123 (rows of DRA1..3), the SOF bits of one
    // frame, n_frame_per_row, and the SOF bit offsets of the MLAB blocks' LUTRAM datalines (new[], owned by
    // the caller; *lutram_remap_list must be null and n_frame_per_row 0 on entry). The division block names
    // split the blocks into divisions, each padded to a multiple of 32 rows by its first M20K block. print
    // lists the phantom bits on standard output.
    static unsigned char* parse_talon_row_stamp(const std::string& file, unsigned& dra0, unsigned& dra123,
                                                unsigned& sof_frame_bits, unsigned& n_frame_per_row,
                                                unsigned** lutram_remap_list, unsigned& lutram_remap_count,
                                                const std::vector<std::string>& division_block_names,
                                                bool print);

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
};
