// Device builds of the 28nm generation in test mode: small device fixtures built end to end and read back,
// one-defect mutations of the fixture with their condition texts, the bit-map and frame-map edge cases, and
// the driver's own pieces (the generation table, add_argument, overwrite_parameter).
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "device/brix_build_device.h"
#include "device/frame_maps.h"
#include "fio.h"
#include "inspect/brix_check_maps.h"
#include "kestrel/brix_build_ks_device.h"
#include "records/brix_data_manager.h"
#include "talon/brix_build_tl_device.h"
#include "test_support.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// One parameter of the device XML: its values by offset.
struct PARAM {
    std::string name;
    unsigned length;
    std::vector<std::pair<uint32_t, uint32_t>> values; // (offset, value)
    std::string block = "CRAM";
};

// A small 28nm device: 16 frames of 40 bits, 2 error-detection bits, 8 datalines of 6 rows with 1 row
// without data each (8 x 5 = 40 data rows for 38 bits).
struct DEVICE_FIXTURE {
    uint32_t version = 2;
    uint32_t minor = 0;
    std::string device = "GRANITE_D1";
    std::string family = "GRANITE";
    std::vector<std::string> drop; // parameters left out
    uint32_t frames = 16;
    uint32_t bits = 40;
    uint32_t edcrc_bits = 2;
    uint32_t parallel_frame_size = 6;
    uint32_t padding = 1;
    uint32_t g2_padding = 2;
    uint32_t width = 8;
    uint32_t dra = 1;
    bool lowest_segment = true;
    bool lowest_word = true;
    std::vector<uint32_t> lutram_mapping; // empty: no LUTRAM_MAPPING
    uint32_t lutram_mapping_offset = 0;
    std::string rif;            // SUPPORT_RIF value; empty: none
    std::vector<PARAM> extra;   // more parameters (after the ones dropped)
    std::string extra_elements; // more elements below the root (arguments, ob_val)

    std::vector<PARAM> parameters() const {
        std::vector<PARAM> list = {
            {"CRAM_ALGO", 1, {{minor, version}}},
            {"CRAM_FRAME_COUNT", 1, {{0, frames}}},
            {"CRAM_BIT_COUNT", 1, {{0, bits}}},
            {"SOF_CRAM_INCLUDE_EDCRC_BITS", 1, {{0, edcrc_bits}}},
            {"CRAM_PARALLEL_FRAME_SIZE", 1, {{0, parallel_frame_size}}},
            {"CRAM_RBF_PADDING", 1, {{0, padding}}},
            {"CRAM_G2_RBF_PADDING", 1, {{0, g2_padding}}},
            {"BS_CRAM_FILLED_UP_WITH_LOWEST_SEGMENT", 1, {{0, lowest_segment ? 1u : 0u}}},
            {"BS_CRAM_FILLED_UP_WITH_LOWEST_WORD", 1, {{0, lowest_word ? 1u : 0u}}},
            {"LUTRAM_MAPPING_OFFSET", 1, {{0, lutram_mapping_offset}}},
        };
        PARAM dras{"DRAS", width, {}};
        for (uint32_t d = 0; d < width; ++d)
            dras.values.push_back({d, dra});
        list.push_back(dras);
        if (!lutram_mapping.empty()) {
            PARAM mapping{"LUTRAM_MAPPING", uint32_t(lutram_mapping.size()), {}};
            for (uint32_t k = 0; k < lutram_mapping.size(); ++k)
                mapping.values.push_back({k, lutram_mapping[k]});
            list.push_back(mapping);
        }
        std::vector<PARAM> kept;
        for (const PARAM& p : list)
            if (std::find(drop.begin(), drop.end(), p.name) == drop.end())
                kept.push_back(p);
        kept.insert(kept.end(), extra.begin(), extra.end());
        return kept;
    }

    std::string xml() const {
        std::string text = "<device name=\"" + device + "\" family=\"" + family + "\">\n";
        for (const PARAM& p : parameters()) {
            text += "  <parameter name=\"" + p.name + "\" block=\"" + p.block + "\" length=\"" +
                    std::to_string(p.length) + "\">";
            for (const auto& [offset, value] : p.values)
                text += "<const_val offset=\"" + std::to_string(offset) + "\" value=\"" +
                        std::to_string(value) + "\"/>";
            text += "</parameter>\n";
        }
        if (!rif.empty())
            text += "  <parameter name=\"SUPPORT_RIF\" length=\"1\"><const_val value=\"" + rif +
                    "\" offset=\"0\"/></parameter>\n";
        text += extra_elements;
        text += "</device>\n";
        return text;
    }
};

void write_gzip(const std::string& path, const std::string& text) {
    gzFile out = gzopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(gzwrite(out, text.data(), unsigned(text.size())), int(text.size()));
    gzclose(out);
}

std::unique_ptr<BRIX_INFO> read_back(const std::string& base) {
    return std::unique_ptr<BRIX_INFO>(BRIX_DATA_SERVER::get_brix_info(base, false));
}

// The u32 or byte values of an argument's first row.
template <typename T> std::vector<T> arg_values(const BRIX_DEVICE_INFO* device, BRIX_ARGUMENT_TYPE arg_type) {
    const BRIX_ARG* arg = BRIX_MANAGER::search_argument_from_list(arg_type, device->get_argument_list());
    if (arg == nullptr)
        return {};
    unsigned width = 0, unit = 0;
    const unsigned char* data = arg->get_data()->at(0)->get_data(&width, &unit);
    EXPECT_EQ(unit, sizeof(T));
    std::vector<T> values(width);
    std::memcpy(values.data(), data, size_t(width) * sizeof(T));
    return values;
}

// Builds the fixture as <dir>/dev in test mode and returns the database read back.
std::unique_ptr<BRIX_INFO> build(const TEMP_DIR& dir, const DEVICE_FIXTURE& fixture, bool full = false) {
    write_text_file(dir.file("dev.xml"), fixture.xml());
    build_device(BRIX_BUILD_CONTEXT({true, full, false}), dir.file("dev.xml"));
    return read_back(dir.file("dev"));
}

TEST(DeviceBuild, ValidFixturesBuildMutuallyInverseMaps) {
    struct CASE {
        const char* what;
        uint32_t width;
        bool lowest_segment, lowest_word;
        std::vector<uint32_t> lutram_mapping;
    };
    const CASE cases[] = {
        {"W 8, lowest first", 8, true, true, {}},
        {"W 8, highest first", 8, false, false, {}},
        {"W 32", 32, true, false, {}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        TEMP_DIR dir;
        DEVICE_FIXTURE fixture;
        fixture.width = c.width;
        fixture.lowest_segment = c.lowest_segment;
        fixture.lowest_word = c.lowest_word;
        if (c.width == 32) {
            fixture.parallel_frame_size = 3;
            fixture.bits = 64; // 32 x 2 data rows
        }
        auto info = build(dir, fixture);
        ASSERT_NE(info, nullptr);
        const BRIX_DEVICE_INFO* device = info->get_device_info();
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->get_family_type(), unsigned(BRIX_FAMILY_GRANITE));
        EXPECT_EQ(device->get_device_type(), unsigned(BRIX_DEVICE_GRANITE_D1));
        const uint32_t N = fixture.bits, S = fixture.edcrc_bits, F = fixture.parallel_frame_size;
        EXPECT_EQ(arg_values<uint32_t>(device, BRIX_ARGUMENT_SOF_TO_RBF_MAP).size(), N);
        EXPECT_EQ(arg_values<uint32_t>(device, BRIX_ARGUMENT_G2_SOF_TO_RBF_MAP).size(), S + (N - S) * 2);
        EXPECT_EQ(arg_values<uint32_t>(device, BRIX_ARGUMENT_RBF_TO_SOF_MAP).size(),
                  (fixture.padding + F) * c.width);
        EXPECT_EQ(arg_values<uint32_t>(device, BRIX_ARGUMENT_G2_RBF_TO_SOF_MAP).size(),
                  (fixture.g2_padding + 2 * F) * c.width);
        std::vector<uint32_t> identity(fixture.frames);
        for (uint32_t f = 0; f < fixture.frames; ++f)
            identity[f] = f;
        EXPECT_EQ(arg_values<uint32_t>(device, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP), identity);
        EXPECT_EQ(arg_values<uint8_t>(device, BRIX_ARGUMENT_MRAM_INFO), std::vector<uint8_t>(2, 0));
        EXPECT_EQ(arg_values<uint8_t>(device, BRIX_ARGUMENT_LUTRAM_INFO), std::vector<uint8_t>(16, 255));
        EXPECT_EQ(arg_values<uint8_t>(device, BRIX_ARGUMENT_DRA_G2_INFO), std::vector<uint8_t>(2, 0));
        BRIX_MAP_CHECK_RESULT check = check_device_maps(device);
        EXPECT_TRUE(check.ok) << check.failure;
        EXPECT_EQ(check.pairs_checked, 3u);
    }
}

// The option-bit list of the device info: absent (null, not an empty list) without any ob_val, and one
// record per ob_val otherwise (length 9: three hex digits in two bytes).
TEST(DeviceBuild, OptionBitListIsNullWithoutObVal) {
    struct CASE {
        const char* what;
        std::string elements;
        size_t count; // 0: no list at all
    };
    const CASE cases[] = {
        {"no ob_val", "", 0},
        {"one ob_val",
         "<ob_val name=\"POF_ID\" bit_index=\"3\" bit_offset=\"5\" length=\"9\" link_block=\"0\" "
         "hex_value=\"1A5\"/>",
         1},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        TEMP_DIR dir;
        DEVICE_FIXTURE fixture;
        fixture.extra_elements = c.elements;
        auto info = build(dir, fixture);
        ASSERT_NE(info, nullptr);
        const BRIX_OB_DATA_LIST* list = info->get_device_info()->get_ob_datas();
        if (c.count == 0) {
            EXPECT_EQ(list, nullptr);
            continue;
        }
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->size(), c.count);
        const BRIX_OB_DATA* ob = list->at(0);
        EXPECT_EQ(ob->get_bit_index(), 3u);
        EXPECT_EQ(ob->get_bit_offset(), 5u);
        unsigned length = 0;
        const unsigned char* bytes = ob->get_data(length);
        EXPECT_EQ(length, 9u);
        ASSERT_EQ(ob->get_data_size(), 2u);
        EXPECT_EQ(unsigned(bytes[0]) | unsigned(bytes[1]) << 8, 0x1A5u);
    }
}

// The bit map of the fixture, entry by entry: with lowest-first filling and one data-less row per dataline,
// SOF bit 2 (the first data bit) goes to row 1 (D = 1) of dataline 0, after one padding row.
TEST(DeviceBuild, BitMapPlacesBitsInFillOrder) {
    TEMP_DIR dir;
    DEVICE_FIXTURE fixture;
    auto info = build(dir, fixture);
    ASSERT_NE(info, nullptr);
    std::vector<uint32_t> map = arg_values<uint32_t>(info->get_device_info(), BRIX_ARGUMENT_SOF_TO_RBF_MAP);
    ASSERT_EQ(map.size(), 40u);
    const uint32_t W = 8, P = 1;
    EXPECT_EQ(map[0], 0xFFFFFFFEu);
    EXPECT_EQ(map[1], 0xFFFFFFFEu);
    EXPECT_EQ(map[2], P * W + 1 * W + 0);  // dataline 0, row 1
    EXPECT_EQ(map[6], P * W + 5 * W + 0);  // dataline 0, its last row
    EXPECT_EQ(map[7], P * W + 1 * W + 1);  // dataline 1, row 1
    EXPECT_EQ(map[39], P * W + 3 * W + 7); // dataline 7, row 3 (its last two rows stay empty)
    std::vector<uint32_t> g2 = arg_values<uint32_t>(info->get_device_info(), BRIX_ARGUMENT_G2_SOF_TO_RBF_MAP);
    ASSERT_EQ(g2.size(), 2u + 38u * 2);
    EXPECT_EQ(g2[2], 2 * W + 2 * 1 * W + 0);   // P2 = 2, row 1 doubled: even row first
    EXPECT_EQ(g2[3], (2 * 1 + 1 + 2) * W + 0); // then the odd row
}

TEST(DeviceBuild, GenerationTable) {
    struct CASE {
        uint32_t version;
        BRIX_DEVICE_BUILDER builder;
        uint32_t skip_bit;
        BRIX_RBA_PARSER rba_parser;
        bool rereads_rba;
        bool ddb_geometry;
        bool needs_cram_geometry;
    };
    const CASE cases[] = {
        {0, &build_tl_device, 1, nullptr, false, false, true},
        {1, &build_hr_device, 0, &parse_hr_rba, true, true, true},
        {2, &build_legacy_device, 4, &parse_legacy_rba, false, true, true},
        {3, &build_ks_device, 0, nullptr, false, false, false},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.version);
        const BRIX_DEVICE_GENERATION* generation = brix_device_generation(c.version);
        ASSERT_NE(generation, nullptr);
        EXPECT_EQ(generation->builder, c.builder);
        EXPECT_EQ(generation->skip_minor_bit, c.skip_bit);
        EXPECT_EQ(generation->rba_parser, c.rba_parser);
        EXPECT_EQ(generation->rereads_rba, c.rereads_rba);
        EXPECT_EQ(generation->ddb_geometry, c.ddb_geometry);
        EXPECT_EQ(generation->needs_cram_geometry, c.needs_cram_geometry);
    }
    EXPECT_EQ(brix_device_generation(4), nullptr);
}

// Minor bit 2 skips the 28nm maps and the stored CRAM_ALGO loses its minor version.
TEST(DeviceBuild, MinorBitTwoSkipsTheMapsAndIsNotStored) {
    TEMP_DIR dir;
    DEVICE_FIXTURE fixture;
    fixture.minor = 4;
    auto info = build(dir, fixture);
    ASSERT_NE(info, nullptr);
    const BRIX_DEVICE_INFO* device = info->get_device_info();
    EXPECT_TRUE(device->get_argument_list() == nullptr || device->get_argument_list()->empty());
    const BRIX_PARAMETER* algo =
        BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_CRAM_ALGO, device->get_parameter_list());
    ASSERT_NE(algo, nullptr);
    EXPECT_EQ(algo->get_const_value(0), 2u);
    EXPECT_EQ(algo->get_const_offset(0), 0u);
}

// An RBA that places no block (a 0-byte ".rbaz", blanks, only comments, markers and short lines) is refused
// at its end, and no database is written.
TEST(DeviceBuild, RbaWithoutBlockLineIsRefused) {
    const char* const texts[] = {
        "",
        " \n\t\n\r\n",
        "# LAB_RAM x 4 10 8 3 a b\n$BLOCK_RAM x 4 10 8 3 a b\nDEVICE DEV\nOTHER 1 2\n",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        TEMP_DIR dir;
        DEVICE_FIXTURE fixture;
        fixture.minor = 2;
        fixture.extra_elements =
            "  <parameter name=\"RBA_LUTRAM_STRING\" length=\"1\"><const_val value=\"LAB_RAM\" "
            "offset=\"0\"/></parameter>\n";
        write_gzip(dir.file("dev.rbaz"), text);
        const BRIX_INTERNAL_ERROR error = catch_brix_error([&] { build(dir, fixture, true); });
        EXPECT_EQ("RBA file has no block line", error.condition());
        EXPECT_EQ((std::vector<std::string>{dir.file("dev.rba"), "end of file"}), error.context());
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("dev")));
    }
}

// The RBA step (-device in test mode with minor bit 1): LUTRAM and MRAM columns from the unpacked RBA file.
TEST(DeviceBuild, RbaLutramAndMramColumns) {
    TEMP_DIR dir;
    DEVICE_FIXTURE fixture;
    fixture.minor = 2;
    fixture.lutram_mapping = {1, 0}; // frames 1 and 2 of every LUTRAM column swap (offset 1)
    fixture.lutram_mapping_offset = 1;
    fixture.extra = {
        {"LUTRAM_COL_OFFSET", 1, {{0, 1}}},
        {"LUTRAM_REAL_COL_SIZE", 1, {{0, 2}}},
        {"MRAM_COL_OFFSET", 1, {{0, 0}}},
        {"MRAM_REAL_COL_SIZE", 1, {{0, 3}}},
    };
    fixture.extra_elements =
        "  <parameter name=\"RBA_LUTRAM_STRING\" length=\"1\"><const_val value=\"LAB_RAM\" "
        "offset=\"0\"/></parameter>\n"
        "  <parameter name=\"RBA_MRAM_STRING\" length=\"1\"><const_val value=\"M_RAM\" "
        "offset=\"0\"/></parameter>\n";
    const std::string rba = "# positions\n"
                            "LAB_RAM x 4 10 8 3 a b\n"
                            "  M_RAM x 3 20 12 5 a b  \n"
                            "LAB_RAM x 4 10 2 7 a b\n"
                            "OTHER 1 2\n"
                            "\n"
                            "LAB_RAM x 4 10 8 1 a b\n";
    write_gzip(dir.file("dev.rbaz"), rba);
    auto info = build(dir, fixture, true);
    ASSERT_NE(info, nullptr);
    const BRIX_DEVICE_INFO* device = info->get_device_info();
    std::vector<unsigned> col, row;
    device->get_simplified_lutram(col, row);
    EXPECT_EQ(col, (std::vector<unsigned>{2, 8}));
    EXPECT_EQ(row, (std::vector<unsigned>{1, 3, 7}));
    ASSERT_NE(device->get_lutram_info(), nullptr);
    ASSERT_EQ(device->get_lutram_info()->size(), 2u);
    EXPECT_EQ(device->get_lutram_info()->at(1)->get_col(), 8u);
    EXPECT_EQ(device->get_lutram_info()->at(1)->get_rows(), (std::vector<unsigned>{3, 1}));
    EXPECT_EQ(device->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_SIZE), 4u);
    EXPECT_EQ(device->get_const_uint(BRIX_PARAMETER_MRAM_ROW_SIZE), 20u);
    EXPECT_EQ(read_text_file(dir.file("dev.rba")), rba); // unpacked beside the packed file

    std::vector<uint8_t> lutram_info = arg_values<uint8_t>(device, BRIX_ARGUMENT_LUTRAM_INFO);
    std::vector<uint8_t> expected_lutram(16, 255);
    expected_lutram[3] = expected_lutram[4] = 0;  // column 2, offset 1, 2 frames
    expected_lutram[9] = expected_lutram[10] = 1; // column 8
    EXPECT_EQ(lutram_info, expected_lutram);
    EXPECT_EQ(arg_values<uint8_t>(device, BRIX_ARGUMENT_MRAM_INFO), (std::vector<uint8_t>{0x00, 0x70}));
    std::vector<uint32_t> frame_map =
        arg_values<uint32_t>(device, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP);
    EXPECT_EQ(frame_map[3], 4u);
    EXPECT_EQ(frame_map[4], 3u);
    EXPECT_EQ(frame_map[9], 10u);
    EXPECT_EQ(frame_map[10], 9u);
    EXPECT_TRUE(check_device_maps(device).ok) << check_device_maps(device).failure;
    // In test mode the CFF bits parameter is stored from the (unset) device database value.
    EXPECT_EQ(device->get_const_uint(BRIX_PARAMETER_CFF_BITS), 0u);
}

// Parameters, arguments and option bits spelled out in XML, for the mutations.
std::string parameter_xml(const std::string& name, const std::string& attributes, const std::string& values) {
    return "  <parameter name=\"" + name + "\" " + attributes + ">" + values + "</parameter>\n";
}

// One defect per case, each refused with its condition text, and no database written.
TEST(DeviceBuild, OneDefectMutations) {
    struct CASE {
        const char* what;
        void (*mutate)(DEVICE_FIXTURE&);
        const char* condition;
    };
    const CASE cases[] = {
        {"minor version bit 4", [](DEVICE_FIXTURE& f) { f.minor = 16; },
         "( cram_algo_version == 0 || cram_algo_version == 1 || cram_algo_version == 2 || cram_algo_version "
         "== 3 "
         ") && ( ((sub_cram_algo_version & ~BRIX_CRAM_SUPPORTED_MINOR_VERSION) == 0) )"},
        {"no CRAM_ALGO", [](DEVICE_FIXTURE& f) { f.drop = {"CRAM_ALGO"}; },
         "param != NULL && param->get_length() == 1 && param->get_const_values()->at(0) != NULL"},
        {"width 16", [](DEVICE_FIXTURE& f) { f.width = 16; },
         "dras != NULL && (config_data_width == 8 || config_data_width == 32)"},
        {"no DRAS", [](DEVICE_FIXTURE& f) { f.drop = {"DRAS"}; },
         "dras != NULL && (config_data_width == 8 || config_data_width == 32)"},
        {"boolean missing", [](DEVICE_FIXTURE& f) { f.drop = {"BS_CRAM_FILLED_UP_WITH_LOWEST_WORD"}; },
         "support"},
        {"padding missing", [](DEVICE_FIXTURE& f) { f.drop = {"CRAM_RBF_PADDING"}; },
         "support != NULL || is_supported"},
        {"no frames", [](DEVICE_FIXTURE& f) { f.frames = 0; }, "m_frame_count > 0 && m_bit_count > 0"},
        {"every row without data", [](DEVICE_FIXTURE& f) { f.dra = 6; }, "SOF to Bitstream conversion error"},
        {"one bit too many", [](DEVICE_FIXTURE& f) { f.bits = 43; }, "SOF to Bitstream conversion error"},
        {"DRA above the frame size", [](DEVICE_FIXTURE& f) { f.dra = 7; }, "dras[d] <= parallel_frame_size"},
        {"more error-detection bits than bits", [](DEVICE_FIXTURE& f) { f.edcrc_bits = 41; },
         "edcrc_bits <= bit_count"},
        // Sizes that would drive the allocations are bounded by the device's frame and bit counts first.
        {"parallel frame size of 65,536,000", [](DEVICE_FIXTURE& f) { f.parallel_frame_size = 65536000; },
         "CRAM_PARALLEL_FRAME_SIZE <= CRAM_BIT_COUNT"},
        {"padding of 65,536,000", [](DEVICE_FIXTURE& f) { f.padding = 65536000; },
         "CRAM_RBF_PADDING <= CRAM_BIT_COUNT"},
        {"G2 padding of 65,536,000", [](DEVICE_FIXTURE& f) { f.g2_padding = 65536000; },
         "CRAM_G2_RBF_PADDING <= CRAM_BIT_COUNT"},
        {"LUTRAM_MAPPING length of 65,536,000",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"LUTRAM_MAPPING", 65536000, {{0, 0}}}};
         },
         "LUTRAM_MAPPING length <= CRAM_FRAME_COUNT"},
        {"DRAS length of 65,536,000",
         [](DEVICE_FIXTURE& f) {
             f.drop = {"DRAS"};
             f.extra = {{"DRAS", 65536000, {{0, 1}}}};
         },
         "dras != NULL && (config_data_width == 8 || config_data_width == 32)"},
        {"DRAS length of 65,536,000 as the RIF slot count",
         [](DEVICE_FIXTURE& f) {
             f.drop = {"DRAS"};
             f.extra = {{"DRAS", 65536000, {{0, 1}}}};
             f.extra_elements = "  <parameter name=\"SUPPORT_RIF\" length=\"1\"><const_val value=\"dev\" "
                                "offset=\"1\"/></parameter>\n";
         },
         "DRAS length <= CRAM_BIT_COUNT"},
        {"frame count at offset 1",
         [](DEVICE_FIXTURE& f) {
             f.drop = {"CRAM_FRAME_COUNT"};
             f.extra = {{"CRAM_FRAME_COUNT", 2, {{1, 16}}}};
         },
         "parameter->get_length() == 1 && parameter->get_const_values()->at(0) != NULL && "
         "parameter->get_const_values()->at(0)->get_offset() == 0"},
        {"offset equal to the length",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"LUTRAM_MAPPING", 2, {{2, 1}}}};
         },
         "Offset exceeds maximum length"},
        {"duplicate offset",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"LUTRAM_MAPPING", 2, {{1, 1}, {1, 0}}}};
         },
         "Found a duplicate constant value"},
        {"more values than the length",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"LUTRAM_MAPPING", 1, {{0, 1}, {1, 0}}}};
         },
         "const_value_size <= MAX_COUNT"},
        {"parameter without values",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"LUTRAM_MAPPING", 1, {}}};
         },
         "const_value_size > 0"},
        {"duplicate parameter",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"CRAM_RBF_PADDING", 1, {{0, 1}}}};
         },
         "BRIX_MANAGER::search_parameter_from_list(parameter_type, parameter_list, block_type) == NULL"},
        {"unknown parameter",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"NO_SUCH_PARAMETER", 1, {{0, 1}}}};
         },
         "Unrecognized parameter name"},
        {"unknown block",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"ENABLE_FBGEN", 1, {{0, 1}}, "NO_BLOCK"}};
         },
         "Unrecognized block name"},
        {"zero length",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"ENABLE_FBGEN", 0, {{0, 1}}}};
         },
         "parameter_length > 0"},
        {"unknown device", [](DEVICE_FIXTURE& f) { f.device = "GRANITE_D99"; }, "Unrecognized device name"},
        // Empty names are refused, although each vocabulary spells its value 0 as "".
        {"empty device name", [](DEVICE_FIXTURE& f) { f.device = ""; }, "Unrecognized device name"},
        {"empty family name", [](DEVICE_FIXTURE& f) { f.family = ""; }, "Unrecognized family name"},
        {"empty parameter name",
         [](DEVICE_FIXTURE& f) {
             f.extra = {{"", 1, {{0, 1}}}};
         },
         "Unrecognized parameter name"},
        {"empty argument block",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = "<uint_argument name=\"SOF_TO_RBF_MAP\" block=\"\" width=\"1\">"
                                "<arg_data v0=\"1\"/></uint_argument>";
         },
         "Unrecognized Block name"},
        {"unknown family", [](DEVICE_FIXTURE& f) { f.family = "MARBLE"; }, "Unrecognized family name"},
        {"two RIF values",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = parameter_xml("SUPPORT_RIF", "length=\"2\"",
                                              "<const_val value=\"x\" offset=\"0\"/><const_val value=\"y\" "
                                              "offset=\"1\"/>");
         },
         "const_values->getLength() == 1"},
        {"RIF version 3",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements =
                 parameter_xml("SUPPORT_RIF", "length=\"1\"", "<const_val value=\"x\" offset=\"3\"/>");
         },
         "m_rif_version <= 2"},
        {"phantomless algorithm 2",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements =
                 parameter_xml("PHANTOMLESS_ALGO", "length=\"1\"", "<const_val value=\"2\" offset=\"0\"/>");
         },
         "m_phantomless_algo == 0 || m_phantomless_algo == 1"},
        {"division block offsets out of order",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = parameter_xml("PHANTOM_BIT_TYPE4_DIVISION_BLOCK", "length=\"2\"",
                                              "<const_val value=\"A\" offset=\"1\"/><const_val value=\"B\" "
                                              "offset=\"0\"/>");
         },
         "BRIX_MANAGER::convert_string_to_value(get_attribute_string_from_dom_node(const_values->item(j), "
         "\"offset\"), true) == j"},
        {"byte value 256",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = "<byte_argument name=\"LUTRAM_DATALINES\" block=\"CRAM\" width=\"2\">"
                                "<arg_data v0=\"1\" v1=\"256\"/></byte_argument>";
         },
         "(temp & mask) == 0"},
        {"word argument twice in two blocks",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = "<word_argument name=\"LUTRAM_DATALINES\" block=\"CRAM\" width=\"1\">"
                                "<arg_data v0=\"1\"/></word_argument>"
                                "<word_argument name=\"LUTRAM_DATALINES\" block=\"IOCSR\" width=\"1\">"
                                "<arg_data v0=\"1\"/></word_argument>";
         },
         "BRIX_MANAGER::search_argument_from_list(type, arg_list) == NULL"},
        {"unknown argument",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = "<uint_argument name=\"NOPE\" block=\"CRAM\" width=\"1\">"
                                "<arg_data v0=\"1\"/></uint_argument>";
         },
         "Unrecognized Argu name"},
        {"argument without rows",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = "<uint_argument name=\"LUTRAM_DATALINES\" block=\"CRAM\" width=\"1\"/>";
         },
         "width > 0 && arg_data_infos != NULL && arg_data_infos->getLength() > 0 && (unit_size == 1 || "
         "unit_size == 2 || unit_size == 4)"},
        {"row shorter than a huge width",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements =
                 "<uint_argument name=\"LUTRAM_DATALINES\" block=\"CRAM\" width=\"4000000000\">"
                 "<arg_data v0=\"1\"/></uint_argument>";
         },
         "!no_empty || !string.empty()"},
        {"MRAM valid range of width 3",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements = "<uint_argument name=\"MRAM_VALID_RANGE\" block=\"CRAM\" width=\"3\">"
                                "<arg_data v0=\"1\" v1=\"2\" v2=\"3\"/></uint_argument>";
         },
         "mram_arg_width == 4 && uint_arg_list.size() == 1"},
        {"ob_val with too many digits",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements =
                 "<ob_val name=\"POF_ID\" bit_index=\"0\" bit_offset=\"0\" length=\"4\" hex_value=\"1F\"/>";
         },
         "hex_value.size() <= expected_hex_length"},
        {"ob_val of length 0",
         [](DEVICE_FIXTURE& f) {
             f.extra_elements =
                 "<ob_val name=\"POF_ID\" bit_index=\"0\" bit_offset=\"0\" length=\"0\" hex_value=\"\"/>";
         },
         "length > 0"},
        {"unknown ob_val",
         [](DEVICE_FIXTURE& f) { f.extra_elements = "<ob_val name=\"NOPE\" length=\"4\"/>"; },
         "Unrecognized Option Bit data name: NOPE"},
        {"TALON device without its row stamp", [](DEVICE_FIXTURE& f) { f.version = 0; },
         "FIO_FILE_SYSTEM::exists(row_stamp_file)"},
        // The 28nm fixture has no IOCSR_CFF, which the HARRIER builder needs.
        {"HARRIER device without IOCSR_CFF", [](DEVICE_FIXTURE& f) { f.version = 1; }, "iocsr != NULL"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        TEMP_DIR dir;
        DEVICE_FIXTURE fixture;
        c.mutate(fixture);
        write_text_file(dir.file("dev.xml"), fixture.xml());
        EXPECT_BRIX_ERROR(build_device(BRIX_BUILD_CONTEXT({true, false, false}), dir.file("dev.xml")),
                          c.condition);
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("dev.ddb")));
    }
}

} // namespace

namespace {

BRIX_ROW_BUFFER row_of(std::vector<uint32_t> values) {
    BRIX_ROW_BUFFER row(static_cast<unsigned>(values.size()), 4);
    std::memcpy(row.data(), values.data(), row.size());
    return row;
}

TEST(DeviceBuildPieces, AddArgumentRefusesADuplicateTypeAndBlock) {
    BRIX_DEVICE_BUILD_STATE state;
    state.m_context = BRIX_BUILD_CONTEXT({true});
    BRIX_DEVICE_INFO owner;
    owner.set_argument_list(new BRIX_ARG_LIST(), false);
    BRIX_ARG_LIST* list = owner.get_argument_list();
    add_argument(state, list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM, row_of({1, 2, 3}));
    std::vector<BRIX_ROW_BUFFER> rows;
    rows.push_back(row_of({7, 8}));
    rows.push_back(row_of({9, 10}));
    add_argument_rows(state, list, BRIX_ARGUMENT_CRAM_SPARE_ROWS, BRIX_BLOCK_CRAM, std::move(rows));
    // The same type in another block is a different argument.
    add_argument(state, list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_IOCSR, row_of({4}));
    ASSERT_EQ(list->size(), 3u);
    unsigned width = 0;
    std::vector<uint32_t*> spare = BRIX_MANAGER::get_uint_arg_list(list->at(1), width);
    ASSERT_EQ(spare.size(), 2u);
    EXPECT_EQ(width, 2u);
    EXPECT_EQ(spare[1][1], 10u);
    // The refused row is released, not leaked (the sanitizer build checks).
    EXPECT_BRIX_ERROR(add_argument(state, list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM, row_of({5})),
                      "BRIX_MANAGER::search_argument_from_list(arg_type, arg_list, block_type) == NULL");
    EXPECT_EQ(list->size(), 3u);
}

TEST(DeviceBuildPieces, GroupRbaPositionsSortsColumnsAndKeepsFileOrderPerColumn) {
    struct CASE {
        std::vector<uint32_t> cols, rows;
        std::vector<uint32_t> simplified_col, simplified_row;
        std::vector<std::vector<uint32_t>> rows_per_col;
    };
    const CASE cases[] = {
        {{}, {}, {}, {}, {}},
        {{7}, {3}, {7}, {3}, {{3}}},
        {{9, 2, 9, 2, 5}, {4, 8, 1, 4, 8}, {2, 5, 9}, {1, 4, 8}, {{8, 4}, {8}, {4, 1}}},
    };
    for (const CASE& c : cases) {
        std::vector<uint32_t> simplified_col{99}, simplified_row{99};
        std::vector<std::unique_ptr<LUTRAM_MRAM_INFO>> info;
        info.push_back(std::make_unique<LUTRAM_MRAM_INFO>(99));
        group_rba_positions(c.cols, c.rows, simplified_col, simplified_row, info);
        EXPECT_EQ(c.simplified_col, simplified_col);
        EXPECT_EQ(c.simplified_row, simplified_row);
        ASSERT_EQ(c.rows_per_col.size(), info.size());
        for (size_t i = 0; i < info.size(); ++i) {
            EXPECT_EQ(c.simplified_col[i], info[i]->get_col());
            EXPECT_EQ(c.rows_per_col[i], info[i]->get_rows());
        }
    }
    std::vector<uint32_t> col, row;
    std::vector<std::unique_ptr<LUTRAM_MRAM_INFO>> info;
    EXPECT_BRIX_ERROR(group_rba_positions({1, 2}, {1}, col, row, info), "cols.size() == rows.size()");
}

TEST(DeviceBuildPieces, OverwriteParameter) {
    BRIX_DEVICE_BUILD_STATE state;
    BRIX_DEVICE_INFO owner;
    owner.set_parameter_list(new BRIX_PARAMETER_LIST(), false);
    BRIX_PARAMETER_LIST* list = owner.get_parameter_list();
    // Absent: appended silently with one value in the given block.
    testing::internal::CaptureStdout();
    overwrite_parameter(state, BRIX_PARAMETER_CFF_BITS, list, 32, BRIX_BLOCK_IOCSR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(list->at(0)->get_block_type(), unsigned(BRIX_BLOCK_IOCSR));
    EXPECT_EQ(list->at(0)->get_length(), 1u);
    // Present: the change is printed (not in test mode) and made.
    testing::internal::CaptureStdout();
    overwrite_parameter(state, BRIX_PARAMETER_CFF_BITS, list, 0x1234, BRIX_BLOCK_IOCSR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "         Overwrite parameter CFF_BITS from 0x00000020 to 0x00001234\n");
    EXPECT_EQ(list->at(0)->get_const_value(0), 0x1234u);
    state.m_context = BRIX_BUILD_CONTEXT({true});
    testing::internal::CaptureStdout();
    overwrite_parameter(state, BRIX_PARAMETER_CFF_BITS, list, 7, BRIX_BLOCK_IOCSR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_BRIX_ERROR(overwrite_parameter(state, BRIX_PARAMETER_CFF_BITS, list, 7, BRIX_BLOCK_CRAM),
                      "param->get_block_type() == block_type");
}

// The bit-map edge cases on build_sof_rbf_maps directly.
TEST(DeviceBuildPieces, SofRbfMapEdgeCases) {
    BRIX_DEVICE_BUILD_STATE state;
    struct CASE {
        const char* what;
        uint32_t N, P, P2, S, W, F;
        std::vector<uint32_t> D;
        bool lowest_segment, lowest_word, drop_dra_offset;
        const char* condition;            // null: builds
        std::vector<uint32_t> first_bits; // expected SOF-to-RBF entries from 0
    };
    const std::vector<uint32_t> zeros(8, 0);
    const CASE cases[] = {
        {"S 2, N 10, W 8, F 2",
         10,
         0,
         0,
         2,
         8,
         2,
         zeros,
         true,
         true,
         false,
         nullptr,
         {0xFFFFFFFEu, 0xFFFFFFFEu, 0, 8, 1, 9, 2}},
        {"highest dataline and row first",
         4,
         0,
         0,
         0,
         8,
         2,
         zeros,
         false,
         false,
         false,
         nullptr,
         {15, 7, 14, 6}},
        {"DRA offset dropped",
         3,
         0,
         0,
         0,
         8,
         3,
         std::vector<uint32_t>(8, 1),
         true,
         true,
         true,
         nullptr,
         {0, 8, 1}},
        {"DRA offset kept",
         3,
         0,
         0,
         0,
         8,
         3,
         std::vector<uint32_t>(8, 1),
         true,
         true,
         false,
         nullptr,
         {8, 16, 9}},
        {"no data row at all",
         10,
         0,
         0,
         2,
         8,
         2,
         std::vector<uint32_t>(8, 2),
         true,
         true,
         false,
         "SOF to Bitstream conversion error",
         {}},
        {"S above N", 4, 0, 0, 5, 8, 2, zeros, true, true, false, "edcrc_bits <= bit_count", {}},
        {"D above F",
         4,
         0,
         0,
         0,
         8,
         2,
         std::vector<uint32_t>(8, 3),
         true,
         true,
         false,
         "dras[d] <= parallel_frame_size",
         {}},
        {"bitstream frame past 32 bits",
         0x80000000u,
         0x7FFFFFF0u,
         0,
         0,
         8,
         2,
         zeros,
         true,
         true,
         false,
         "map sizes < SOF_TO_RBF_INVALID",
         {}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        BRIX_SOF_RBF_MAPS maps;
        auto run = [&] {
            build_sof_rbf_maps(state, maps, c.N, c.P, c.P2, c.S, c.W, c.F, c.D, c.lowest_segment,
                               c.lowest_word, c.drop_dra_offset);
        };
        if (c.condition != nullptr) {
            EXPECT_BRIX_ERROR(run(), c.condition);
            continue;
        }
        run();
        ASSERT_EQ(maps.sof_to_rbf.size(), c.N);
        EXPECT_EQ(maps.g2_sof_to_rbf.size(), c.S + (c.N - c.S) * 2);
        EXPECT_EQ(maps.rbf_to_sof.size(), (c.P + c.F) * c.W);
        EXPECT_EQ(
            std::vector<uint32_t>(maps.sof_to_rbf.begin(), maps.sof_to_rbf.begin() + c.first_bits.size()),
            c.first_bits);
        for (uint32_t i = 0; i < c.N; ++i)
            if (maps.sof_to_rbf[i] != 0xFFFFFFFEu) {
                EXPECT_EQ(maps.rbf_to_sof[maps.sof_to_rbf[i]], i);
            }
    }
}

// Frame maps: spare rows, reverse numbering and the inverse.
TEST(DeviceBuildPieces, FrameMapEdgeCases) {
    const uint32_t X = SOF_FRAME_IS_SPARE_FRAME;
    struct CASE {
        const char* what;
        std::vector<std::vector<uint32_t>> spare_rows; // (start, count) rows; none: no argument
        uint32_t frames;
        bool reverse;
        const char* condition;
        std::vector<uint32_t> map;
    };
    const CASE cases[] = {
        {"identity", {}, 4, false, nullptr, {0, 1, 2, 3}},
        {"spare rows", {{1, 2}}, 5, false, nullptr, {0, X, X, 1, 2}},
        {"reverse with two spare ranges", {{0, 1}, {3, 1}}, 5, true, nullptr, {X, 2, 1, X, 0}},
        {"spare range past the frames", {{3, 2}}, 4, false, "spare_start + spare_count <= frame_count", {}},
        {"spare range wrapping 32 bits",
         {{3, 0xFFFFFFFFu}},
         4,
         false,
         "spare_start + spare_count <= frame_count",
         {}},
        {"overlapping spare ranges", {{0, 2}, {1, 2}}, 4, true, "spare rows do not overlap", {}},
        {"spare rows of width 3", {{0, 1, 0}}, 4, false, "width == 2", {}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<BRIX_ARG> spare;
        if (!c.spare_rows.empty()) {
            OWNED_LIST<BRIX_ARG_DATA> data;
            for (const auto& row : c.spare_rows)
                data.push_back(row_of(row).hand_over());
            spare = std::make_unique<BRIX_ARG>(BRIX_ARGUMENT_CRAM_SPARE_ROWS, BRIX_BLOCK_CRAM,
                                               brix_hand_over_list(data));
        }
        if (c.condition != nullptr) {
            EXPECT_BRIX_ERROR(build_sof_frame_map(spare.get(), c.frames, c.reverse), c.condition);
            continue;
        }
        std::vector<uint32_t> map = build_sof_frame_map(spare.get(), c.frames, c.reverse);
        EXPECT_EQ(map, c.map);
        uint32_t spare_count = 0;
        for (uint32_t v : map)
            spare_count += v == X;
        std::vector<uint32_t> inverse = invert_frame_map(map, c.frames - spare_count);
        for (uint32_t i = 0; i < map.size(); ++i)
            if (map[i] != X) {
                EXPECT_EQ(inverse[map[i]], i);
            }
    }
    EXPECT_BRIX_ERROR(invert_frame_map({0, 5}, 2), "map[i] < size");
    EXPECT_BRIX_ERROR(invert_frame_map({1, 1}, 2), "!checked[map[i]]");
    EXPECT_BRIX_ERROR(invert_frame_map({0, X}, 2), "checked[i]");
}

// The executable: a test-mode build prints nothing and exits 0; a failure is reported with the file.
TEST(DeviceBuildPieces, ExecutableInTestMode) {
    TEMP_DIR dir;
    write_text_file(dir.file("dev.xml"), DEVICE_FIXTURE().xml());
    COMMAND_RESULT ok = run_command(std::string(BRIX_EXE) + " -device_xml -test " + dir.file("dev.xml"));
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "");
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(dir.file("dev.ddb")));
    DEVICE_FIXTURE broken;
    broken.dra = 6;
    write_text_file(dir.file("bad.xml"), broken.xml());
    COMMAND_RESULT bad = run_command(std::string(BRIX_EXE) + " -device_xml -test " + dir.file("bad.xml"));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("SOF to Bitstream conversion error"), std::string::npos) << bad.err;
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("bad.ddb")));
}

} // namespace

namespace {

// The u32 entries of a map argument, writable in place.
uint32_t* map_entries(BRIX_DEVICE_INFO* device, BRIX_ARGUMENT_TYPE arg_type) {
    BRIX_ARG* arg = BRIX_MANAGER::search_argument_from_list(arg_type, device->get_argument_list());
    return arg == nullptr ? nullptr
                          : reinterpret_cast<uint32_t*>(arg->get_data()->at(0)->get_data(nullptr, nullptr));
}

// brix_dump --check-maps: every valid fixture passes; each broken map is reported with its indices.
TEST(DeviceBuildPieces, CheckMapsFindsTheFirstDisagreement) {
    const std::string dump = BRIX_DUMP_EXE;
    ASSERT_FALSE(dump.empty());
    struct CASE {
        const char* what;
        void (*breakage)(BRIX_DEVICE_INFO*);
        const char* out; // after "<file>: "
    };
    const CASE cases[] = {
        {"valid", [](BRIX_DEVICE_INFO*) {}, "OK: %s: 3 map pairs agree\n"},
        {"two SOF bits swapped",
         [](BRIX_DEVICE_INFO* d) {
             std::swap(map_entries(d, BRIX_ARGUMENT_SOF_TO_RBF_MAP)[2],
                       map_entries(d, BRIX_ARGUMENT_SOF_TO_RBF_MAP)[3]);
         },
         "FAIL: %s: SOF_TO_RBF_MAP (block CRAM)[2] = 24 but RBF_TO_SOF_MAP (block CRAM)[24] = 3\n"},
        {"bitstream index outside the reverse map",
         [](BRIX_DEVICE_INFO* d) { map_entries(d, BRIX_ARGUMENT_G2_SOF_TO_RBF_MAP)[5] = 1000; },
         "FAIL: %s: G2_SOF_TO_RBF_MAP (block CRAM)[5] = 1000 lies outside G2_RBF_TO_SOF_MAP (block CRAM) "
         "(112 "
         "entries)\n"},
        {"inverse frame map disagrees",
         [](BRIX_DEVICE_INFO* d) { map_entries(d, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP)[0] = 1; },
         "FAIL: %s: CRAM_SOF_FRAME_TO_BS_FRAME_MAP (block CRAM)[0] = 0 but CRAM_BS_FRAME_TO_SOF_FRAME_MAP "
         "(block CRAM)[0] = 1\n"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        TEMP_DIR dir;
        std::unique_ptr<BRIX_INFO> info = build(dir, DEVICE_FIXTURE());
        ASSERT_NE(info, nullptr);
        c.breakage(info->get_device_info());
        // A read database carries its signature; the device goes into a fresh root to be written again.
        auto fresh = std::make_unique<BRIX_INFO>();
        fresh->set_device_info(info->get_device_info());
        info->set_device_info(nullptr);
        BRIX_DATA_SERVER::write_brix_info(dir.file("broken"), fresh.get(), true);
        const std::string file = dir.file("broken.ddb");
        COMMAND_RESULT r = run_command("'" + dump + "' --check-maps '" + file + "'");
        char expected[512];
        std::snprintf(expected, sizeof expected, c.out, file.c_str());
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.status, std::string(c.what) == "valid" ? 0 : 1);
    }
}

} // namespace

namespace {

// A RIF file gives the frames with G2 information: DRA_G2_INFO has their bits set, and the G2 list is stored.
TEST(DeviceBuild, RifFramesInDraG2Info) {
    TEMP_DIR dir;
    DEVICE_FIXTURE fixture;
    fixture.rif = "dev";
    write_gzip(dir.file("dev_rif"), "$RIF  \n"
                                    "3 9 1 3 9 0 5\n"
                                    "\n"
                                    "12 4 2 12 4 1 255 11 4 0 7\n"
                                    "3 10 1 3 10 1 1\n");
    auto info = build(dir, fixture);
    ASSERT_NE(info, nullptr);
    const BRIX_DEVICE_INFO* device = info->get_device_info();
    ASSERT_NE(device->get_g2_s2_list(), nullptr);
    EXPECT_EQ(device->get_g2_s2_list()->size(), 13u);
    EXPECT_EQ(arg_values<uint8_t>(device, BRIX_ARGUMENT_DRA_G2_INFO), (std::vector<uint8_t>{0x08, 0x10}));
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(dir.file("dev.rif"))); // the unpacked text stays

    // Frames and bits beyond the device's (16 frames of 40 bits) are refused before the list grows to them.
    write_text_file(dir.file("dev.xml"), fixture.xml());
    const std::pair<const char*, const char*> outside[] = {
        {"$RIF\n16 0 1 16 0 0 1\n", "RIF frame 16 is not below the frame count 16"},
        {"$RIF\n0 40 1 0 0 0 1\n", "RIF bit 40 is not below the bit count 40"},
        {"$RIF\n0 0 1 0 40 0 1\n", "RIF reference bit 40 is not below the bit count 40"},
    };
    for (const auto& [text, condition] : outside) {
        SCOPED_TRACE(text);
        write_gzip(dir.file("dev_rif"), text);
        EXPECT_BRIX_ERROR(build_device(BRIX_BUILD_CONTEXT({true, false, false}), dir.file("dev.xml")),
                          condition);
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("dev.rif")))
            << "a failed build leaves no unpacked text";
    }
}

// An unpacked RIF text is bounded by the device's CRAM (16 x 40 bits: 640 bytes, plus 1 MiB): a small gzip
// file of newlines that would unpack past it is refused while it unpacks, and leaves no text behind.
TEST(DeviceBuild, RifUnpackingIsBoundedByTheDevice) {
    TEMP_DIR dir;
    DEVICE_FIXTURE fixture;
    fixture.rif = "dev";
    write_text_file(dir.file("dev.xml"), fixture.xml());
    const uint64_t limit = 16 * 40 + (1u << 20);
    const std::string line = "$RIF\n3 9 1 3 9 0 5\n";
    write_gzip(dir.file("dev_rif"), line + std::string(limit - line.size(), '\n'));
    auto info = build(dir, fixture);
    ASSERT_NE(info, nullptr) << "a text at the bound is read";

    write_gzip(dir.file("dev_rif"), line + std::string(limit - line.size() + 1, '\n'));
    FIO_FILE_SYSTEM::remove_file(dir.file("dev.rif"));
    const BRIX_INTERNAL_ERROR error = catch_brix_error([&] {
        build_device(BRIX_BUILD_CONTEXT({true, false, false}), dir.file("dev.xml"));
    });
    EXPECT_EQ("thr_system(cmd.c_str()) == 0", error.condition());
    ASSERT_FALSE(error.context().empty());
    EXPECT_EQ(dir.file("dev_rif") + ": Unable to decompress " + dir.file("dev_rif") +
                  ": the unpacked data passes the " + std::to_string(limit) + "-byte bound of its reader",
              error.context().back());
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("dev.rif")));
}

} // namespace

namespace {

// RBA files with one defect each, read by the -device step in test mode.
TEST(DeviceBuild, RbaDefects) {
    struct CASE {
        const char* what;
        std::string rba;
        const char* condition;
    };
    const CASE cases[] = {
        {"seven fields", "LAB_RAM x 4 10 8 3 a\n", "svec.size() == 8"},
        {"column size in another notation", "LAB_RAM x 4 10 8 3 a b\nLAB_RAM x 0x4 10 2 3 a b\n",
         "lutram_col_size_string == STL_STRING(svec.at(2))"},
        {"MRAM row size changes", "M_RAM x 3 20 12 5 a b\nM_RAM x 3 21 12 6 a b\n",
         "mram_row_size_string == STL_STRING(svec.at(3))"},
        {"LUTRAM column past the frames", "LAB_RAM x 4 10 14 3 a b\n", "LUTRAM_INFO frame < m_frame_count"},
        {"MRAM column past the frames", "M_RAM x 3 20 15 5 a b\n", "MRAM_INFO frame < m_frame_count"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        TEMP_DIR dir;
        DEVICE_FIXTURE fixture;
        fixture.minor = 2;
        fixture.extra = {
            {"LUTRAM_COL_OFFSET", 1, {{0, 1}}},
            {"LUTRAM_REAL_COL_SIZE", 1, {{0, 2}}},
            {"MRAM_COL_OFFSET", 1, {{0, 0}}},
            {"MRAM_REAL_COL_SIZE", 1, {{0, 3}}},
        };
        fixture.extra_elements =
            parameter_xml("RBA_LUTRAM_STRING", "length=\"1\"",
                          "<const_val value=\"LAB_RAM\" offset=\"0\"/>") +
            parameter_xml("RBA_MRAM_STRING", "length=\"1\"", "<const_val value=\"M_RAM\" offset=\"0\"/>");
        write_gzip(dir.file("dev.rbaz"), c.rba);
        write_text_file(dir.file("dev.xml"), fixture.xml());
        EXPECT_BRIX_ERROR(build_device(BRIX_BUILD_CONTEXT({true, true, false}), dir.file("dev.xml")),
                          c.condition);
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("dev.ddb")));
    }
    // A packed RBA that is not gzip data is refused as the unpacking command would refuse it.
    TEMP_DIR dir;
    DEVICE_FIXTURE fixture;
    fixture.minor = 2;
    write_text_file(dir.file("dev.rbaz"), "LAB_RAM x 4 10 8 3 a b\n");
    write_text_file(dir.file("dev.xml"), fixture.xml());
    EXPECT_BRIX_ERROR(build_device(BRIX_BUILD_CONTEXT({true, true, false}), dir.file("dev.xml")),
                      "thr_system(cmd.c_str()) == 0");
}

} // namespace
