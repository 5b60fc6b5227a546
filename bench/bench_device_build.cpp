// Building a 28nm device database in normal mode (RBA and RIF unpacked and parsed, maps, database with its
// part files written) against the floor of unpacking the same inputs and writing the same bytes
// (bench_device_support.h). Two sizes of the sample GRANITE family show how the cost grows with
// frames x bits: GRANITE_D1 and GRANITE_D6, the largest sample device, whose RIF fills 8 part files.
#include "bench_device_support.h"

int main(int argc, char** argv) {
    return bench_device::main(argc, argv, "bench_device_build",
                              {{"granite_d1", 3096, 9180}, {"granite_d6", 16384, 16000}});
}
