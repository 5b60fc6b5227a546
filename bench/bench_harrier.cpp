// Building a HARRIER device database with its phantomless map in normal mode (RBA unpacked and parsed, frame
// and bit maps, the phantomless map from the RBA's blocks, the family's uniquified files and block CRAM maps,
// database written) against the floor of unpacking the same RBA and writing the same bytes
// (bench_device_support.h): HARRIER_D1 and HARRIER_D5, the largest sample device of the family.
#include "bench_device_support.h"

int main(int argc, char** argv) {
    return bench_device::main(argc, argv, "bench_harrier",
                              {{"harrier_d1", 432, 1662}, {"harrier_d5", 1432, 5442}});
}
