// Fuzz target: the TALON row-stamp reader.
//
// The first byte chooses: bit 0 the division block names (the generated samples' "DR_CS_T", or two names),
// bit 1 whether the device's bit count bounds the frame (4096 bits) or not. A stamp that reads must hold its
// own sizes: one DRA info byte per DRA0 row, DRA1..3 no larger than DRA0, one LUTRAM dataline per MLAB.
#include "brix_common_function.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::vector<std::string> divisions =
        (data[0] & 1) ? std::vector<std::string>{"DR_CS_T", "DR_LABS"} : std::vector<std::string>{"DR_CS_T"};
    // The device build always hands the reader its device's bit count: a small one, or one of a large device.
    const unsigned bit_count = (data[0] & 2) ? 4096 : 1u << 20;
    const std::string path = fuzz_write_input("dev_row_stamp.def", data + 1, size - 1);
    fuzz_expect_report_or_success([&] {
        const BRIX_TALON_ROW_STAMP stamp =
            BRIX_COMMON::parse_talon_row_stamp(path, divisions, false, bit_count);
        if (stamp.dra_info.size() != stamp.dra0 || stamp.dra123 > stamp.dra0 ||
            (bit_count != 0 && (stamp.sof_frame_bits > bit_count || stamp.dra0 > bit_count)))
            std::abort();
    });
    return 0;
}
