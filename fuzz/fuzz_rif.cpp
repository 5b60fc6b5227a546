// Fuzz target: the RIF parser and the flattened table of what it read.
//
// The first byte chooses: bits 0-1 the RIF version (3 is refused at the first data line), bits 2-6 the DRA
// count minus 1, bit 7 whether a frame count of 64 bounds the frames. The rest is the RIF text, gzip'd by the
// target. A parsed list must keep its shape: one entry per frame up to the last one named, every entry with
// exactly DRA-count slots, a slot null or holding bits of its own residue, each bit with at least one
// reference; and the table must show every bit of it.
#include "brix_common_function.h"
#include "device/rif_parser.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct G2_LIST_RELEASE {
    void operator()(G2_SII_LIST* list) const { brix_release_list(list); }
};

// The number of bits in the list, aborting on a list whose shape breaks the parser's promises.
size_t checked_bits(const G2_SII_LIST& list, unsigned dra_count, unsigned frame_count) {
    if (!list.empty() && (list.back() == nullptr || (frame_count != 0 && list.size() > frame_count)))
        std::abort();
    size_t bits = 0;
    for (const G2_SII* entry : list) {
        if (entry == nullptr)
            continue;
        const G2_SII_BIT_LIST_LIST* slots = entry->get_g2_s2_bit_list_list();
        if (slots == nullptr || slots->size() != dra_count)
            std::abort();
        for (size_t s = 0; s < slots->size(); ++s) {
            const G2_SII_BIT_LIST* slot = (*slots)[s];
            if (slot == nullptr)
                continue;
            if (slot->empty())
                std::abort();
            for (const G2_SII_BIT* g2_bit : *slot) {
                unsigned bit = 0;
                const G2_SI_LIST* references = g2_bit->get_data(bit);
                if (bit % dra_count != s || references == nullptr || references->empty())
                    std::abort();
                ++bits;
            }
        }
    }
    return bits;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const unsigned version = data[0] & 3;
    const unsigned dra_count = ((data[0] >> 2) & 31) + 1;
    const unsigned frame_count = (data[0] & 0x80) ? 64 : 0;
    const unsigned bit_count = (data[0] & 0x80) ? 4096 : 0;
    std::vector<unsigned char> packed = fuzz_gzip(data + 1, size - 1);
    fuzz_write_input("dev_rif", packed.data(), packed.size());
    fuzz_expect_report_or_success([&] {
        std::unique_ptr<G2_SII_LIST, G2_LIST_RELEASE> list(parse_rif(BRIX_BUILD_CONTEXT({true}), "dev",
                                                                     fuzz_scratch_dir() + "/", version,
                                                                     dra_count, frame_count, bit_count));
        const size_t bits = checked_bits(*list, dra_count, frame_count);
        unsigned rows = 0, columns = 0;
        // The parser refuses a frame/bit pair given twice, so every bit record fills a cell of its own.
        std::unique_ptr<BRIX_RIF_TABLE> table =
            BRIX_COMMON::flatten_rif(list.get(), 0xFFFFFFFFu, true, rows, columns);
        if (!table || rows != list->size() || table->filled_cells().size() != bits)
            std::abort();
    });
    return 0;
}
