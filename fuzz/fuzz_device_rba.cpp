// Fuzz target: the device build's RBA readers (28nm LUTRAM/MRAM lines, HARRIER MRAM lines).
//
// The first byte chooses the reader: bit 0 clear the 28nm reader (LUTRAM string "LUTRAM", MRAM string
// "MRAM"), set the HARRIER reader (MRAM string "MRAM"). What reads must be grouped consistently: one record
// per distinct column, the distinct columns ascending.
#include "device/brix_build_device.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

bool ascending(const std::vector<uint32_t>& values) {
    return std::adjacent_find(values.begin(), values.end(), std::greater_equal<uint32_t>()) == values.end();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const bool harrier = data[0] & 1;
    const std::string path = fuzz_write_input("dev.rba", data + 1, size - 1);
    fuzz_expect_report_or_success([&] {
        BRIX_DEVICE_BUILD_STATE state;
        state.m_rba_mram_string = "MRAM";
        if (!harrier)
            state.m_rba_lutram_string = "LUTRAM";
        BRIX_RBA_INFO info;
        if (harrier)
            parse_hr_rba(state, path, info);
        else
            parse_legacy_rba(state, path, info);
        if (!ascending(state.m_simplified_mram_col) || !ascending(state.m_simplified_lutram_col) ||
            info.mram_info.size() != state.m_simplified_mram_col.size() ||
            info.lutram_info.size() != state.m_simplified_lutram_col.size())
            std::abort();
    });
    return 0;
}
