// Block kinds of the programmer's RBA description (PGM_RBA_TYPE) and their names. The programmer's records
// store the values; the RBA reader looks the names up (PGMDEV_MGR::pgm_check_type_name_supported).
#pragma once

#include "enum_descriptor.h"

#include <iterator>

enum PGM_RBA_TYPE : unsigned {
    PGM_RBA_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) PGM_RBA_##name,
#include "pgm_enum_rba.def"
#undef BRIX_ENUM_ENTRY
    PGM_RBA_MAX
};

inline constexpr const char* PGM_RBA_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "pgm_enum_rba.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(PGM_RBA_TYPE_NAMES) == PGM_RBA_MAX, "one name per value");

inline constexpr BRIX_ENUM_DESCRIPTOR PGM_RBA_DESCRIPTOR = {"PGM_RBA_TYPE", PGM_RBA_MAX, PGM_RBA_TYPE_NAMES};
