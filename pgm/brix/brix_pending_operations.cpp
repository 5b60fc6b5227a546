// Operations whose builders have not landed yet: each reports that it is not available.
// A builder that lands removes its line here.
#include "brix_build_device.h"
#include "brix_operations.h"
#include "msg_internal_error.h"
