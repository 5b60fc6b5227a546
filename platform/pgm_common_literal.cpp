// Radix-marked literal parsing and fixed-width hex text (filled in with the option-bit converter).
#include "pgm_common.h"

bool PGM_COMMON::convert_scientific_string_to_qword(const std::string&, uint64_t& value, std::string& message) {
    value = 0;
    message = "not implemented";
    return false;
}

std::string PGM_COMMON::convert_qword_to_hex_string(uint64_t, unsigned, bool) { return std::string(); }
