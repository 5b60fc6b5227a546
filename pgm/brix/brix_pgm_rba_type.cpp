// Block names of the programmer's RBA description to their PGM_RBA_TYPE values.
#include "brix_vocabulary.h"
#include "pgmdev.h"

#include <strings.h>

bool PGMDEV_MGR::pgm_check_type_name_supported(unsigned selector, const std::string& name, unsigned& value) {
    value = PGM_RBA_INVALID;
    if (selector != 0)
        return false;
    // Case is ignored, as in every other vocabulary look-up.
    for (unsigned v = 0; v < PGM_RBA_MAX; ++v)
        if (::strcasecmp(name.c_str(), PGM_RBA_TYPE_NAMES[v]) == 0) {
            value = v;
            return true;
        }
    return false;
}
