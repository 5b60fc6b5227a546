// Fuzz target: the phantom image reader (a binary picture of a device's CRAM).
//
// The input is the image file. An image that reads must hold its block 0: every row of it lies inside the
// data that was read.
#include "fuzz_support.h"
#include "programmer/phantom_image.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_input("dev_phantom.img", data, size);
    fuzz_expect_report_or_success([&] {
        const PHANTOM_IMAGE image = parse_phantom_image(BRIX_PROGRESS(true), path);
        const uint64_t row_bytes = (uint64_t(image.img_cram_col) + 7) / 8;
        if (image.img_cram_row > 0 &&
            image.first_row + uint64_t(image.img_cram_row - 1) * image.row_stride + row_bytes >
                image.data.size())
            std::abort();
    });
    return 0;
}
