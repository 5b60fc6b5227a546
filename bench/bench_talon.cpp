// Building a TALON device database in normal mode (RIF unpacked and parsed, row stamp read, bit, frame,
// LUTRAM and EDCRC maps, database written) against the floor of unpacking the same RIF and writing the same
// bytes (bench_device_support.h): TALON_D0 and TALON_D5, as large as the family's largest device.
#include "bench_device_support.h"

int main(int argc, char** argv) {
    return bench_device::main(argc, argv, "bench_talon",
                              {{"talon_d0", 4096, 6240}, {"talon_d5", 10192, 15288}});
}
