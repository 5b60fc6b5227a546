#include "byte_codec.h"

#include "msg_internal_error.h"

void BYTE_READER::fail_at(size_t offset, const std::string& text) const {
    INPUT_CONTEXT here(std::string(m_location) + " " + std::to_string(offset));
    BRIX_REPORT(text);
}
