// Operations whose builders have not landed yet: each reports that it is not available.
// A builder that lands removes its line here.
#include "brix_build_device.h"
#include "brix_operations.h"
#include "msg_internal_error.h"

std::vector<BRIX_ROW> build_phantomless_cram_rows(BRIX_DEVICE_BUILD_STATE&, unsigned, const std::string&,
                                                  uint32_t, uint32_t, const std::array<uint32_t, 4>&,
                                                  uint32_t, bool) {
    BRIX_REPORT("phantomless map is not available yet");
}
void build_device_fid(const std::string&) {
    BRIX_REPORT("fid is not available yet");
}
