// BRIX_MANAGER: the vocabulary lookups shared by every builder and by the readers of a database.
#pragma once

#include "brix_data_export.h"

#include <string>

class BRIX_MANAGER {
  public:
    BRIX_MANAGER() = delete;

    // ---- Vocabulary lookups --------------------------------------------------------------------------
    // A seen list is a bool array with one entry per value of the selected enumeration: a lookup given one
    // marks the value it finds, and finding a value already marked is an internal error (each value may be
    // taken at most once).

    // True when value exists for the selector; then fills name and marks seen when given. Otherwise touches
    // nothing.
    static bool check_type_enum_supported(unsigned brix_type, unsigned value, std::string* name, bool* seen);
    // True when name (case ignored) is in the selector's table; then fills value and marks seen when given.
    static bool check_type_name_supported(unsigned brix_type, const std::string& name, unsigned* value,
                                          bool* seen);
    static bool compare_string(const std::string& a, const std::string& b, bool case_sensitive);
    // True when every value of the selector is marked; otherwise prints "\nMissing <name>" for each unmarked
    // value, then "\n", and returns false.
    static bool utst_print_missing_enum(unsigned brix_type, const bool* seen);
};
