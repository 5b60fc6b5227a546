// Fuzz target: the RBA text parser, both format versions, plain and compressed.
//
// The first byte chooses: bit 0 the format version; bits 1-2 how the rest reaches the parser: 0 as a ".rba"
// text, 1 gzip-compressed by the target as a ".rbaz" file, 2 as the bytes of a ".rbaz" file (the
// decompressor sees them as they are). A parsed list must survive its byte serialisation unchanged: what the
// parser accepts is what the database holds.
#include "fuzz_support.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"
#include "programmer/pgm_rba.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool same_blocks(const BRIX_RBA_BLOCK_LIST& a, const BRIX_RBA_BLOCK_LIST& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i]->type != b[i]->type || a[i]->frame_size != b[i]->frame_size ||
            a[i]->bit_size != b[i]->bit_size || a[i]->locations != b[i]->locations)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint32_t version = data[0] & 1;
    const unsigned form = (data[0] >> 1) & 3;
    std::string path;
    if (form == 0 || form == 3) {
        path = fuzz_write_input("input.rba", data + 1, size - 1);
    } else if (form == 1) {
        std::vector<unsigned char> packed = fuzz_gzip(data + 1, size - 1);
        path = fuzz_write_input("input.rbaz", packed.data(), packed.size());
    } else {
        path = fuzz_write_input("input.rbaz", data + 1, size - 1);
    }
    fuzz_expect_report_or_success([&] {
        BRIX_RBA_BLOCK_LIST list = parse_rba_file(BRIX_BUILD_CONTEXT(), path, version);
        std::vector<unsigned char> bytes;
        pgm_ddb_write(bytes, list);
        BRIX_RBA_BLOCK_LIST back;
        size_t index = 0;
        pgm_ddb_read(bytes.data(), bytes.size(), index, back);
        if (index != bytes.size() || !same_blocks(list, back))
            std::abort();
    });
    return 0;
}
