// BRIX_COMMON: public operations over finished device data, beside the builders. Static operations only.
#pragma once

#include "brix_data_export.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

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

class BRIX_COMMON {
  public:
    BRIX_COMMON() = delete;

    // The G2 list as a table of texts. With transpose: one row per list entry (frame f) and count columns
    // (bit b), cell [f][b]; without: count rows and one column per list entry, cell [b][f]. A cell holds the
    // number of references of its G2_SII_BIT, then per reference " frame bit dir dist" (bit before frame
    // without transpose). rows and columns receive the table's size. Null (and 0 x 0) for a null list.
    static std::unique_ptr<BRIX_RIF_TABLE> flatten_rif(const G2_SII_LIST* list, unsigned count,
                                                       bool transpose, unsigned& rows, unsigned& columns);
};
