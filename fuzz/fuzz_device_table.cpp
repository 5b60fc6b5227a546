// Fuzz target: the device table reader (a JSON file of families, devices and parts).
//
// The input is the table file. A table that loads must answer its own look-ups: every device it lists is
// found by its name and by its value, and every part names a device of the table.
#include "dev_db.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_input("device_table.json", data, size);
    fuzz_expect_report_or_success([&] {
        std::shared_ptr<const DEV_TABLE_DATA> table = DEV_TABLE::load_file(path, fuzz_scratch_dir());
        if (!table)
            std::abort();
        for (const DEV_TABLE_DEVICE& device : table->devices)
            if (table->find_device_by_name(device.name) == nullptr ||
                table->find_device(device.value) == nullptr)
                std::abort();
    });
    return 0;
}
