// BRIX_MANAGER: vocabulary lookups over the enumeration descriptor table.
#include "brix_data_manager.h"

#include "gen.h"
#include "msg_internal_error.h"

#include <iostream>

namespace {
const BRIX_ENUM_DESCRIPTOR& descriptor(unsigned brix_type) {
    BRIX_CHECK(brix_type < BRIX_ENUM_TYPE_MAX, "brix_type < BRIX_ENUM_TYPE_MAX");
    return BRIX_ENUM_DESCRIPTORS[brix_type];
}
} // namespace

bool BRIX_MANAGER::check_type_enum_supported(unsigned brix_type, unsigned value, std::string* name,
                                             bool* seen) {
    const BRIX_ENUM_DESCRIPTOR& table = descriptor(brix_type);
    if (value >= table.count)
        return false;
    if (name != nullptr)
        *name = table.names[value];
    if (seen != nullptr) {
        if (seen[value])
            BRIX_REPORT(table.names[value]);
        seen[value] = true;
    }
    return true;
}

bool BRIX_MANAGER::check_type_name_supported(unsigned brix_type, const std::string& name, unsigned* value,
                                             bool* seen) {
    const BRIX_ENUM_DESCRIPTOR& table = descriptor(brix_type);
    for (unsigned i = 0; i < table.count; ++i) {
        if (!compare_string(name, table.names[i], false))
            continue;
        if (value != nullptr)
            *value = i;
        if (seen != nullptr) {
            if (seen[i])
                BRIX_REPORT(name);
            seen[i] = true;
        }
        return true;
    }
    return false;
}

bool BRIX_MANAGER::compare_string(const std::string& a, const std::string& b, bool case_sensitive) {
    return (case_sensitive ? gen_strcmp(a, b) : gen_stricmp(a, b)) == 0;
}

bool BRIX_MANAGER::utst_print_missing_enum(unsigned brix_type, const bool* seen) {
    const BRIX_ENUM_DESCRIPTOR& table = descriptor(brix_type);
    bool complete = true;
    for (unsigned i = 0; i < table.count; ++i) {
        if (seen[i])
            continue;
        std::cout << "\nMissing " << table.names[i];
        complete = false;
    }
    if (!complete)
        std::cout << "\n";
    return complete;
}
