// The flattened RIF table of a device and its debug listings.
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

// ---- RIF tables -------------------------------------------------------------------------------------------

const std::string& BRIX_RIF_TABLE::cell(unsigned row, unsigned column) const {
    static const std::string empty;
    if (row >= m_rows || column >= m_columns)
        return empty;
    auto it = m_cells.find(uint64_t(row) * m_columns + column);
    return it == m_cells.end() ? empty : it->second;
}

bool BRIX_RIF_TABLE::set_cell(unsigned row, unsigned column, std::string text) {
    if (row >= m_rows || column >= m_columns)
        return false;
    return m_cells.emplace(uint64_t(row) * m_columns + column, std::move(text)).second;
}

std::unique_ptr<BRIX_RIF_TABLE> BRIX_COMMON::flatten_rif(const G2_SII_LIST* list, unsigned count,
                                                         bool transpose, unsigned& rows, unsigned& columns) {
    rows = 0;
    columns = 0;
    if (list == nullptr)
        return nullptr;
    const unsigned frame_bit_count = count;
    const auto list_size = static_cast<unsigned>(list->size());
    const unsigned row_count = transpose ? list_size : count;
    const unsigned col_count = transpose ? count : list_size;
    auto table = std::make_unique<BRIX_RIF_TABLE>(row_count, col_count);
    for (unsigned s2_frame_value = 0; s2_frame_value < list_size; ++s2_frame_value) {
        const G2_SII* entry = (*list)[s2_frame_value];
        if (entry == nullptr || entry->get_g2_s2_bit_list_list() == nullptr)
            continue;
        for (const G2_SII_BIT_LIST* slot : *entry->get_g2_s2_bit_list_list()) {
            if (slot == nullptr)
                continue;
            for (const G2_SII_BIT* g2_bit : *slot) {
                unsigned s2_bit_value = 0;
                const G2_SI_LIST* s1_list = g2_bit->get_data(s2_bit_value);
                BRIX_CHECK(s2_bit_value < frame_bit_count && s1_list != nullptr,
                           "s2_bit_value < frame_bit_count && s1_list != NULL");
                // Each index is checked against its own dimension of the table.
                unsigned row = s2_bit_value;
                unsigned column = s2_frame_value;
                if (transpose) {
                    BRIX_CHECK(s2_frame_value < row_count, "s2_frame_value < row_count");
                    BRIX_CHECK(s2_bit_value < col_count, "s2_bit_value < col_count");
                    std::swap(row, column);
                } else {
                    BRIX_CHECK(s2_bit_value < row_count, "s2_bit_value < row_count");
                    BRIX_CHECK(s2_frame_value < col_count, "s2_frame_value < col_count");
                }
                std::string text = std::to_string(s1_list->size());
                for (const G2_SI* reference : *s1_list) {
                    unsigned frame = 0;
                    unsigned bit = 0;
                    bool dir = false;
                    const unsigned dist = reference->get_data(frame, bit, dir);
                    const unsigned first = transpose ? frame : bit;
                    const unsigned second = transpose ? bit : frame;
                    text += " " + std::to_string(first) + " " + std::to_string(second) + " " +
                            (dir ? "1" : "0") + " " + std::to_string(dist);
                }
                BRIX_CHECK(table->set_cell(row, column, std::move(text)),
                           "RIF table cell [" + std::to_string(row) + "][" + std::to_string(column) +
                               "] is filled twice");
            }
        }
    }
    rows = row_count;
    columns = col_count;
    return table;
}

// ---- Listings of a flattened RIF table --------------------------------------------------------------------

namespace {
// The filled cells of a table that lie inside rows x columns, as (row, column, text), in row-major order.
struct RIF_CELL {
    unsigned row;
    unsigned column;
    const std::string* text;
};
std::vector<RIF_CELL> filled_rif_cells(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns) {
    std::vector<RIF_CELL> cells;
    for (const auto& [key, text] : table->filled_cells()) {
        const auto row = unsigned(key / table->columns());
        const auto column = unsigned(key % table->columns());
        if (row < rows && column < columns && !text.empty())
            cells.push_back({row, column, &text});
    }
    return cells;
}
void print_rif_cell(const RIF_CELL& cell) {
    std::cout << cell.row << " " << cell.column << " " << *cell.text << "\n";
}
} // namespace

// Both listings walk only the filled cells: the table of a large device has hundreds of millions of cells
// and few of them filled.
void BRIX_COMMON::print_rif_debug(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns) {
    if (table == nullptr)
        return;
    BRIX_CHECK(columns != 0 && rows != 0, "col != 0 && row != 0");
    for (const RIF_CELL& cell : filled_rif_cells(table, rows, columns))
        print_rif_cell(cell);
}

void BRIX_COMMON::print_rif_debug(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns,
                                  unsigned dras_count, const BRIX_CONST_DATA_LIST* dras_order_data_list,
                                  bool by_rows, bool reversed) {
    if (table == nullptr)
        return;
    BRIX_CHECK(columns != 0 && rows != 0, "col != 0 && row != 0");
    BRIX_CHECK(dras_order_data_list != nullptr, "dras_order_data_list != NULL");
    BRIX_CHECK(dras_count > 0, "dras_count > 0");
    BRIX_CHECK(dras_order_data_list->size() == dras_count, "dras_order_data_list->size() == dras_count");
    // Order of printing: the outer line (a column, or a row with by_rows; from the last when reversed), then
    // the position in the DRA order of the inner line's DRA, then the inner line. A DRA that the order names
    // twice is listed twice; one it does not name is not listed.
    struct ENTRY {
        uint64_t outer, order, inner;
        RIF_CELL cell;
    };
    std::vector<ENTRY> entries;
    const unsigned outer_count = by_rows ? rows : columns;
    for (const RIF_CELL& cell : filled_rif_cells(table, rows, columns)) {
        const unsigned outer = by_rows ? cell.row : cell.column;
        const unsigned inner = by_rows ? cell.column : cell.row;
        for (size_t k = 0; k < dras_order_data_list->size(); ++k) {
            const BRIX_CONST_DATA* order = (*dras_order_data_list)[k];
            if (order != nullptr && order->get_value() == inner % dras_count)
                entries.push_back({reversed ? outer_count - 1 - outer : outer, k, inner, cell});
        }
    }
    std::sort(entries.begin(), entries.end(), [](const ENTRY& a, const ENTRY& b) {
        return std::tie(a.outer, a.order, a.inner) < std::tie(b.outer, b.order, b.inner);
    });
    for (const ENTRY& entry : entries)
        print_rif_cell(entry.cell);
}
