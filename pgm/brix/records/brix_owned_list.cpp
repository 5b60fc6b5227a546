#include "brix_owned_list.h"

#include "msg_internal_error.h"

BRIX_ROW_BUFFER::BRIX_ROW_BUFFER(unsigned data_size, unsigned unit_size)
    : m_data_size(data_size), m_unit_size(unit_size) {
    BRIX_CHECK(data_size > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4),
               "data_size > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4)");
    m_bytes.reset(new unsigned char[size()]());
}

std::unique_ptr<BRIX_ARG_DATA> BRIX_ROW_BUFFER::hand_over() {
    BRIX_CHECK(m_bytes != nullptr, "row buffer not yet handed over");
    // The record is created first so that the bytes stay owned here if that allocation fails.
    std::unique_ptr<BRIX_ARG_DATA> record(new BRIX_ARG_DATA(m_bytes.get(), m_data_size, m_unit_size));
    m_bytes.release();
    m_data_size = 0;
    m_unit_size = 0;
    return record;
}
