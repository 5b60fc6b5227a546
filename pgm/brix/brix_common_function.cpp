// Public operations over finished device data (BRIX_COMMON).
#include "brix_common_function.h"

#include "msg_internal_error.h"

#include <string>
#include <utility>

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
