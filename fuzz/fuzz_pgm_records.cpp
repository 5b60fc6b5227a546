// Record payloads of the programmer containers: any bytes are either refused with a report or read, never
// read out of bounds or turned into an allocation larger than the input; what is read writes back the same
// bytes (the RBA list may normalise flags and repeated frames, so it is only read).
#include "msg_internal_error.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
template <typename T> void read_and_rewrite(const unsigned char* data, size_t size, bool compare) {
    T value{};
    size_t index = 0;
    try {
        pgm_ddb_read(data, size, index, value);
    } catch (const BRIX_INTERNAL_ERROR&) {
        return;
    }
    if (index > size)
        std::abort();
    std::vector<unsigned char> out;
    pgm_ddb_write(out, value);
    if (compare && (out.size() != index || std::memcmp(out.data(), data, index) != 0))
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    switch (data[0] % 3) {
    case 0:
        read_and_rewrite<BRIX_FID>(data + 1, size - 1, true);
        break;
    case 1:
        read_and_rewrite<BRIX_CRAM_MAP_LIST>(data + 1, size - 1, true);
        break;
    default:
        read_and_rewrite<BRIX_RBA_BLOCK_LIST>(data + 1, size - 1, false);
        break;
    }
    return 0;
}
