// A vocabulary's name table, and the one name look-up every vocabulary uses.
#pragma once

#include <string>

// One enumeration: its number of values and its name table indexed by value (value 0 has the empty name).
struct BRIX_ENUM_DESCRIPTOR {
    const char* enum_name;
    unsigned count;
    const char* const* names;
};

// The first value whose name equals name, case ignored; table.count when there is none. The empty name
// finds value 0.
unsigned brix_find_enum_name(const BRIX_ENUM_DESCRIPTOR& table, const std::string& name);
