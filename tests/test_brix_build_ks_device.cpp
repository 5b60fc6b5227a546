// KESTREL generation: the word-reversing bit map of one frame.
#include "brix_build_ks_device.h"
#include "test_support.h"

#include <string>
#include <vector>

TEST(KestrelSofRbfMaps, ReversesTheWordOrder) {
    struct CASE {
        unsigned bits;
        std::vector<std::pair<unsigned, unsigned>> sof_to_rbf; // (SOF bit, bitstream bit)
    };
    const std::vector<CASE> cases = {
        {32, {{0, 0}, {31, 31}}},
        {64, {{0, 32}, {31, 63}, {32, 0}, {63, 31}}},
        {96, {{0, 64}, {33, 33}, {95, 31}}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.bits);
        std::vector<uint32_t> sof_to_rbf, rbf_to_sof;
        build_ks_sof_rbf_maps(sof_to_rbf, rbf_to_sof, c.bits);
        ASSERT_EQ(c.bits, sof_to_rbf.size());
        ASSERT_EQ(c.bits, rbf_to_sof.size());
        for (auto& pair : c.sof_to_rbf)
            EXPECT_EQ(pair.second, sof_to_rbf[pair.first]) << pair.first;
        for (unsigned i = 0; i < c.bits; ++i)
            EXPECT_EQ(i, rbf_to_sof[sof_to_rbf[i]]);
    }
}

TEST(KestrelSofRbfMaps, RefusesSizesThatAreNotWholeWords) {
    const char* text = "sof_frame_bits > 0 && ((sof_frame_bits % 32) == 0) && (*sof_to_rbf) == NULL && "
                       "(*rbf_to_sof) == NULL";
    for (unsigned bits : {0u, 48u, 33u}) {
        std::vector<uint32_t> a, b;
        EXPECT_BRIX_ERROR(build_ks_sof_rbf_maps(a, b, bits), text);
    }
    std::vector<uint32_t> a{1}, b;
    EXPECT_BRIX_ERROR(build_ks_sof_rbf_maps(a, b, 64), text);
}
