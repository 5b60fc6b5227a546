// Operations whose builders have not landed yet: each reports that it is not available.
// A builder that lands removes its line here.
#include "brix_operations.h"
#include "msg_internal_error.h"

void build_device(void*, const std::string&, bool, bool, bool) {
    BRIX_REPORT("device is not available yet");
}
