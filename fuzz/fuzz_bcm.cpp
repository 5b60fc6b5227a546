// Fuzz target: the option-bit BCM converter. The input is the BCM XML document, read from a temporary file
// (the converter takes a path ending in ".bcm.xml").
#include "cli/brix_operations.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz_write_input("input.bcm.xml", data, size);
    fuzz_expect_report_or_success([&] { parse_ob_bcm(BRIX_BUILD_CONTEXT(), path); });
    return 0;
}
