// KESTREL generation: the word-reversing bit map of one frame, and whole devices in test mode.
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "fio.h"
#include "inspect/brix_check_maps.h"
#include "kestrel/brix_build_ks_device.h"
#include "records/brix_data_manager.h"
#include "test_support.h"

#include <zlib.h>

#include <initializer_list>
#include <memory>
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

// ---- Whole KESTREL devices in test mode -------------------------------------------------------------------

namespace {

struct KESTREL_CASE {
    const char* what;
    std::string cram_bits; // CRAM_BIT_COUNT; empty: none
    bool cram_spare;       // CRAM_SPARE_ROWS (frames 1 and 2) and a RIF with a bit in frame 3
    bool eram;             // ERAM_ROW_COUNT 4 with ERAM_SPARE_ROWS (frame 3)
};

std::string kestrel_xml(const KESTREL_CASE& c) {
    std::string text = "<device name=\"KESTREL_D1\" family=\"KESTREL\">\n"
                       "  <parameter name=\"CRAM_ALGO\" block=\"CRAM\" length=\"1\"><const_val offset=\"0\" "
                       "value=\"3\"/></parameter>\n"
                       "  <parameter name=\"CRAM_FRAME_COUNT\" block=\"CRAM\" length=\"1\"><const_val "
                       "offset=\"0\" value=\"8\"/></parameter>\n";
    if (!c.cram_bits.empty())
        text += "  <parameter name=\"CRAM_BIT_COUNT\" block=\"CRAM\" length=\"1\"><const_val offset=\"0\" "
                "value=\"" +
                c.cram_bits + "\"/></parameter>\n";
    if (c.cram_spare)
        text += "  <parameter name=\"SUPPORT_RIF\" length=\"1\"><const_val value=\"dev\" offset=\"0\"/>"
                "</parameter>\n"
                "  <uint_argument name=\"CRAM_SPARE_ROWS\" block=\"CRAM\" width=\"2\"><arg_data v0=\"1\" "
                "v1=\"2\"/></uint_argument>\n";
    if (c.eram)
        text += "  <parameter name=\"ERAM_ROW_COUNT\" block=\"ERAM\" length=\"1\"><const_val offset=\"0\" "
                "value=\"4\"/></parameter>\n"
                "  <uint_argument name=\"ERAM_SPARE_ROWS\" block=\"ERAM\" width=\"2\"><arg_data v0=\"3\" "
                "v1=\"1\"/></uint_argument>\n";
    return text + "</device>\n";
}

void build_kestrel(const TEMP_DIR& dir, const KESTREL_CASE& c) {
    write_text_file(dir.file("dev.xml"), kestrel_xml(c));
    gzFile out = gzopen(dir.file("dev_rif").c_str(), "wb");
    const std::string rif = "$RIF\n3 9 1 3 9 0 5\n"; // version 0: frame 3, bit 9
    gzwrite(out, rif.data(), unsigned(rif.size()));
    gzclose(out);
    build_device(BRIX_BUILD_CONTEXT({true, false, false}), dir.file("dev.xml"));
}

} // namespace

TEST(KestrelDevice, TablesFollowWhatTheDeviceHas) {
    using ORDER = std::vector<std::pair<unsigned, unsigned>>;
    const ORDER eram = {{BRIX_ARGUMENT_ERAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_ERAM},
                        {BRIX_ARGUMENT_ERAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_ERAM}};
    const ORDER cram = {{BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM},
                        {BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM_HIPI},
                        {BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM},
                        {BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM_HIPI},
                        {BRIX_ARGUMENT_DRA_G2_INFO, BRIX_BLOCK_CRAM}};
    const ORDER bits = {{BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM},
                        {BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM_HIPI},
                        {BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM},
                        {BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM_HIPI}};
    struct CASE {
        KESTREL_CASE device;
        const char* condition; // empty: builds
        ORDER built;           // the arguments the builder appends, after the XML's own
    };
    auto join = [](std::initializer_list<ORDER> parts) {
        ORDER all;
        for (const ORDER& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const std::vector<CASE> cases = {
        {{"N 64, spare rows, ERAM", "64", true, true}, "", join({eram, cram, bits})},
        {{"no spare rows, no ERAM", "64", false, false}, "", bits},
        {{"no bit count", "", true, false}, "", cram},
        {{"N 48", "48", false, false},
         "sof_frame_bits > 0 && ((sof_frame_bits % 32) == 0) && (*sof_to_rbf) == NULL && (*rbf_to_sof) == "
         "NULL",
         {}},
        {{"N 0", "0", false, false}, "sof_frame_bit_count > 0", {}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.device.what);
        TEMP_DIR dir;
        if (*c.condition != '\0') {
            EXPECT_BRIX_ERROR(build_kestrel(dir, c.device), c.condition);
            EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("dev.ddb")));
            continue;
        }
        build_kestrel(dir, c.device);
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(dir.file("dev"), false));
        ASSERT_NE(nullptr, info);
        const BRIX_DEVICE_INFO* device = info->get_device_info();
        ORDER built;
        for (const BRIX_ARG* arg : *device->get_argument_list())
            if (arg->get_arg_type() != BRIX_ARGUMENT_CRAM_SPARE_ROWS &&
                arg->get_arg_type() != BRIX_ARGUMENT_ERAM_SPARE_ROWS)
                built.push_back({arg->get_arg_type(), arg->get_block_type()});
        EXPECT_EQ(c.built, built);
        BRIX_MAP_CHECK_RESULT check = check_device_maps(device);
        EXPECT_TRUE(check.ok) << check.failure;
        if (c.device.cram_spare) {
            // Frame 3 holds the RIF's bit; frames 1 and 2 are spare.
            const BRIX_ARG* g2 = BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_DRA_G2_INFO,
                                                                         device->get_argument_list());
            unsigned width = 0;
            const unsigned char* mask = g2->get_data()->at(0)->get_data(&width, nullptr);
            EXPECT_EQ((std::vector<unsigned char>{0, 0, 0, 1, 0, 0, 0, 0}),
                      std::vector<unsigned char>(mask, mask + width));
        }
    }
}
