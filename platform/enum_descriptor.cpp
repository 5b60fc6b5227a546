#include "enum_descriptor.h"

#include "gen.h"

unsigned brix_find_enum_name(const BRIX_ENUM_DESCRIPTOR& table, const std::string& name) {
    for (unsigned i = 0; i < table.count; ++i)
        if (gen_stricmp(name, table.names[i]) == 0)
            return i;
    return table.count;
}
