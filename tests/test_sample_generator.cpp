// The sample generator: its files read back through the system's own readers, agree with the device table,
// repeat byte for byte, reproduce the committed sample RBA texts, and refuse a description that disagrees
// with the device table.
#include "brix_common_function.h"
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "dev_db.h"
#include "device/rif_parser.h"
#include "fio.h"
#include "gen.h"
#include "inspect/brix_check_maps.h"
#include "programmer/fid.h"
#include "programmer/pgm_rba.h"
#include "test_support.h"
#include "thr.h"
#include "xml/brix_xml.h"

#include <nlohmann/json.hpp>

#include <bitset>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string DESCRIPTION = BRIX_SOURCE_DIR "/samples/sample_devices.json";

// A copy of the sample installation's device table with an empty rba/ directory beside it.
struct GENERATED {
    TEMP_DIR dir;
    std::string installation = dir.file("vantrel");
    std::string out = dir.file("devices");

    GENERATED() {
        run_command("mkdir -p " + thr_shell_quote(installation + "/devdb") + " " +
                    thr_shell_quote(installation + "/rba") + " && cp " +
                    thr_shell_quote(BRIX_SOURCE_DIR "/samples/vantrel/devdb/device_table.json") + " " +
                    thr_shell_quote(installation + "/devdb/"));
    }
    COMMAND_RESULT run(const std::string& description, const std::vector<std::string>& devices) const {
        std::vector<std::string> words = {BRIX_GEN_EXE, "--description", description, "--installation",
                                          installation, "--out",         out};
        for (const std::string& device : devices) {
            words.push_back("--device");
            words.push_back(device);
        }
        return run_command(thr_shell_command(words));
    }
    std::string device_file(const std::string& device, const std::string& name) const {
        return out + "/" + device + "/" + name;
    }
    // Changes the geometry of devices of the copied device table: name -> {frames, bits}.
    void set_geometry(const std::vector<std::tuple<std::string, unsigned, unsigned>>& devices) const {
        const std::string path = installation + "/devdb/device_table.json";
        nlohmann::json table = nlohmann::json::parse(read_text_file(path));
        for (nlohmann::json& entry : table["devices"])
            for (const auto& [name, frames, bits] : devices)
                if (entry["name"] == name) {
                    entry["cram_columns"] = frames;
                    entry["cram_rows"] = bits;
                }
        write_text_file(path, table.dump(2));
    }
    std::string unpacked(const std::string& gz) const {
        const std::string text = gz + ".txt";
        FIO_FILE_SYSTEM::gunzip_file(gz, text);
        return read_text_file(text);
    }
};

struct G2_LIST_RELEASE {
    void operator()(G2_SII_LIST* list) const { brix_release_list(list); }
};

} // namespace

TEST(SampleGenerator, FilesReadBackThroughTheSystemReaders) {
    GENERATED g;
    COMMAND_RESULT r = g.run(DESCRIPTION, {"GRANITE_D1", "SLATE_D1"});
    ASSERT_EQ(0, r.status) << r.err;
    // GRANITE: device XML, RBA (twice), RIF, the family's 7 CRAM map texts and the phantom image.
    EXPECT_EQ("GRANITE_D1: 3096 frames x 9180 bits, 81 columns: 12 files\n"
              "SLATE_D1: 1248 frames x 3354 bits, 31 columns: 4 files\n",
              r.out);

    // Device XML: the device, its family and the geometry of the device table.
    {
        BRIX_DOM dom;
        const xercesc::DOMElement* root = dom.load_document(g.device_file("granite_d1", "granite_d1.xml"));
        EXPECT_EQ("GRANITE_D1", BRIX_DOM::get_attribute_string_from_dom_node(root, "name"));
        EXPECT_EQ("GRANITE", BRIX_DOM::get_attribute_string_from_dom_node(root, "family"));
        std::string values;
        for (const xercesc::DOMElement* parameter : BRIX_DOM::get_elements_by_tag_name(root, "parameter")) {
            const std::string name = BRIX_DOM::get_attribute_string_from_dom_node(parameter, "name");
            if (name != "CRAM_FRAME_COUNT" && name != "CRAM_BIT_COUNT" && name != "CFF_BITS" &&
                name != "SUPPORT_RIF")
                continue;
            const xercesc::DOMElement* constant =
                BRIX_DOM::get_elements_by_tag_name(parameter, "const_val")[0];
            values += name + "=" + BRIX_DOM::get_attribute_string_from_dom_node(constant, "value") + "/" +
                      BRIX_DOM::get_attribute_string_from_dom_node(constant, "offset") + " ";
        }
        EXPECT_EQ("CRAM_FRAME_COUNT=3096/0 CRAM_BIT_COUNT=9180/0 CFF_BITS=32/0 SUPPORT_RIF=granite_d1/1 ",
                  values);
    }

    // RIF: version 1 with one slot per dataline; every frame below the frame count.
    std::unique_ptr<G2_SII_LIST, G2_LIST_RELEASE> g2(
        parse_rif(BRIX_BUILD_CONTEXT({true}), "granite_d1", g.out + "/granite_d1/", 1, 32, 3096, 9180));
    ASSERT_TRUE(g2);
    EXPECT_EQ(3096u, g2->size()) << "the last frames (right IO column) carry G2 bits";
    EXPECT_EQ(nullptr, (*g2)[0]) << "the left IO column has none";
    ASSERT_NE(nullptr, g2->back());
    EXPECT_EQ(32u, g2->back()->get_g2_s2_bit_list_list()->size());

    // RBA: the PGM RBA parser reads the $BLOCK_CRAM section of the device's copy and of the installation's.
    for (const std::string& rbaz :
         {g.device_file("slate_d1", "slate_d1.rbaz"), g.installation + "/rba/slate_d1.rbaz"}) {
        SCOPED_TRACE(rbaz);
        testing::internal::CaptureStdout();
        BRIX_RBA_BLOCK_LIST blocks = parse_rba_file(BRIX_BUILD_CONTEXT(), rbaz, 0);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(6u, blocks.size());
        EXPECT_EQ(20u, blocks[0]->frame_size);
        EXPECT_EQ(172u, blocks[0]->bit_size);
        BRIX_DATA_SERVER::delete_device_rba(blocks);
    }
    const std::string rba = g.unpacked(g.device_file("slate_d1", "slate_d1.rbaz"));
    EXPECT_NE(std::string::npos, rba.find("\n$BLOCK_RAM\n"))
        << "LUTRAM and MRAM lines after the CRAM section";
    EXPECT_NE(std::string::npos, rba.find("\nLUTRAM X3Y0 44 172 108 0 0 0\n"));
    EXPECT_NE(std::string::npos, rba.find("\nMRAM X5Y0 30 344 196 0 0 0\n"));
}

// The largest sample device is as large as the largest real ones, and its G2 list fills all 8 part files.
TEST(SampleGenerator, LargestGraniteDeviceSplitsItsG2ListEightWays) {
    GENERATED g;
    COMMAND_RESULT r = g.run(DESCRIPTION, {"GRANITE_D6"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("GRANITE_D6: 16384 frames x 16000 bits, ")) << r.out;
    auto device = std::make_unique<BRIX_DEVICE_INFO>();
    device->set_g2_s2_list(
        parse_rif(BRIX_BUILD_CONTEXT({true}), "granite_d6", g.out + "/granite_d6/", 1, 32, 16384, 16000),
        true, true);
    EXPECT_EQ(16384u, device->get_g2_s2_list_size());
    EXPECT_EQ(8u, device->get_g2_s2_thread_size());
}

// The committed sample RBA texts are the generator's own: building the device (which unpacks the ".rbaz" over
// them) leaves them as they are, and the whole chain reads one geometry.
TEST(SampleGenerator, RepeatsByteForByteAndMatchesTheCommittedSamples) {
    GENERATED first, second;
    const std::vector<std::string> devices = {"GRANITE_D1", "BASALT_D1", "SLATE_D1", "HARRIER_D1",
                                              "TALON_D0"};
    ASSERT_EQ(0, first.run(DESCRIPTION, devices).status);
    ASSERT_EQ(0, second.run(DESCRIPTION, devices).status);
    for (const std::string device : {"granite_d1", "basalt_d1", "slate_d1", "harrier_d1", "talon_d0"}) {
        SCOPED_TRACE(device);
        for (const std::string& name : {device + ".xml", device + ".rbaz"})
            EXPECT_EQ(read_text_file(first.device_file(device, name)),
                      read_text_file(second.device_file(device, name)));
        EXPECT_EQ(read_text_file(first.device_file(device, device + ".rbaz")),
                  read_text_file(first.installation + "/rba/" + device + ".rbaz"));
        EXPECT_EQ(read_text_file(BRIX_SOURCE_DIR "/samples/vantrel/rba/" + device + ".rba"),
                  first.unpacked(first.device_file(device, device + ".rbaz")));
    }
    EXPECT_EQ(read_text_file(first.device_file("granite_d1", "granite_d1_rif")),
              read_text_file(second.device_file("granite_d1", "granite_d1_rif")));
}

TEST(SampleGenerator, RefusesDescriptionsThatDisagree) {
    struct CASE {
        const char* what;
        std::string description;
        std::string message;
    };
    const std::string family = R"("GRANITE": {"generation": "28nm", "config_data_width": 32, "edcrc_bits": 32,
        "rbf_padding": 4, "g2_rbf_padding": 8, "lowest_segment": true, "lowest_word": true,
        "blocks": {"IO": {"frames": 20, "bits": 172}, "LA_LAB": {"frames": 44, "bits": 172}},
        "io_columns": {"left": "IO", "right": "IO"}, "column_pattern": ["LA_LAB"]})";
    const std::vector<CASE> cases = {
        {"frames against the device table",
         R"({"seed": 1, "families": {)" + family +
             R"(}, "devices": [{"name": "GRANITE_D1", "frames": 3000}]})",
         "Invalid sample description: \"frames\" disagrees with the device table (3096)"},
        {"a device outside the vocabulary",
         R"({"seed": 1, "families": {)" + family +
             R"(}, "devices": [{"name": "GRANITE_D9", "family": "GRANITE"}]})",
         "Invalid sample description: device GRANITE_D9 is not a device of the vocabulary"},
        {"a mapping that is no permutation",
         R"({"seed": 1, "families": {)" + family +
             R"(}, "devices": [{"name": "GRANITE_D1", "lutram": {"block": "LA_LAB", "rba_string": "LUTRAM",
             "col_offset": 0, "real_col_size": 44}, "lutram_mapping": {"offset": 0, "order": [0, 0]}}]})",
         "Invalid sample description: \"order\" must be a permutation of 0 .. length - 1"},
        {"spare rows past the frames",
         R"({"seed": 1, "families": {)" + family +
             R"(}, "devices": [{"name": "GRANITE_D1", "spare_rows": [[3090, 7]]}]})",
         "Invalid sample description: spare rows must be ascending, non-overlapping, non-empty and inside "
         "the "
         "frames"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        GENERATED g;
        const std::string path = g.dir.file("description.json");
        write_text_file(path, c.description);
        COMMAND_RESULT r = g.run(path, {});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(0u, r.err.find("Internal error: " + c.message + "\n")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("while reading devices[0]")) << r.err;
    }
}

// The HARRIER chips of two devices with other repeat counts read back through the phantomless builder with
// the family's uniquified files and block CRAM maps: every column matches a uniquified column, the flash
// columns are the last ones, and the memory columns are flagged.
TEST(SampleGenerator, HarrierChipsPassThePhantomlessFlow) {
    GENERATED g;
    COMMAND_RESULT r = g.run(DESCRIPTION, {"HARRIER_D1", "HARRIER_D4"});
    ASSERT_EQ(0, r.status) << r.err;
    VANTREL_PATH_GUARD installation(g.installation + "/");
    struct CASE {
        const char* device;
        unsigned frames, bits;
    };
    for (const CASE& c : {CASE{"harrier_d1", 432, 1662}, CASE{"harrier_d4", 1060, 4042}}) {
        SCOPED_TRACE(c.device);
        BRIX_PHANTOMLESS_MAP rows;
        testing::internal::CaptureStdout();
        try {
            rows = BRIX_COMMON::build_hr_phantomless_database(
                BRIX_FAMILY_HARRIER, g.device_file(c.device, std::string(c.device) + ".rba"), c.frames,
                c.bits, {0, 1, 8, 61}, 0xFFFFFFFF, false);
        } catch (const BRIX_INTERNAL_ERROR& error) {
            ADD_FAILURE() << error.report_text();
        }
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(c.frames, rows.size());
        unsigned flash = 0, switches = 0, memory = 0;
        for (unsigned i = 0; i < c.frames; ++i) {
            flash += (rows[i][3] & PHANTOMLESS_FLAG_FLASH) != 0;
            switches += (rows[i][3] & PHANTOMLESS_FLAG_SWITCH) != 0;
            memory += (rows[i][3] & PHANTOMLESS_FLAG_MEMORY) != 0;
        }
        EXPECT_EQ(25u, flash); // 24 flash IP columns and the faked last column
        EXPECT_NE(0, rows[c.frames - 1][3] & PHANTOMLESS_FLAG_FLASH);
        EXPECT_EQ(2u, switches);
        EXPECT_GT(memory, 0u);
        EXPECT_EQ(0u, memory % 2) << "M blocks are two columns wide";
    }
}

// Generated TALON and KESTREL devices build in test mode (row stamp, RIF and spare rows read back through the
// builders) and their maps agree with their reverses.
TEST(SampleGenerator, TalonAndKestrelDevicesBuild) {
    GENERATED g;
    const std::vector<std::string> devices = {"talon_d0", "talon_d1", "talon_d2", "kestrel_aib_d1",
                                              "kestrel_sector_d10"};
    COMMAND_RESULT r = g.run(DESCRIPTION, devices);
    ASSERT_EQ(0, r.status) << r.err;
    for (const std::string& device : devices) {
        SCOPED_TRACE(device);
        const std::string xml = g.device_file(device, device + ".xml");
        try {
            build_device(BRIX_BUILD_CONTEXT({true, false, false}), xml);
        } catch (const BRIX_INTERNAL_ERROR& error) {
            ADD_FAILURE() << error.report_text();
            continue;
        }
        std::unique_ptr<BRIX_INFO> info(
            BRIX_DATA_SERVER::get_brix_info(g.device_file(device, device), false));
        ASSERT_NE(nullptr, info);
        BRIX_MAP_CHECK_RESULT check = check_device_maps(info->get_device_info());
        EXPECT_TRUE(check.ok) << check.failure;
        EXPECT_GE(check.pairs_checked, 3u);
        if (device.rfind("talon", 0) != 0)
            continue;
        // The TALON RBA (format version 1) reads back through the PGM RBA parser whole (a placement per
        // "CRAM" line), and every tile lies inside the device's CRAM, as the FID build's masking requires.
        const unsigned frames = info->get_device_info()->get_const_uint(BRIX_PARAMETER_CRAM_FRAME_COUNT);
        const unsigned bits = info->get_device_info()->get_const_uint(BRIX_PARAMETER_CRAM_BIT_COUNT);
        const std::string rbaz = g.device_file(device, device + ".rbaz");
        const std::string text = g.unpacked(rbaz);
        size_t lines = 0;
        for (size_t at = text.find("\nCRAM "); at != std::string::npos; at = text.find("\nCRAM ", at + 1))
            ++lines;
        testing::internal::CaptureStdout();
        BRIX_RBA_BLOCK_LIST blocks = parse_rba_file(BRIX_BUILD_CONTEXT(), rbaz, 1);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(4u, blocks.size()); // RT_HIOL, LA_LAB, LA_MLAB, RT_HIOR
        size_t tiles = 0;
        for (const auto& block : blocks)
            for (const auto& [frame, placements] : block->locations)
                for (const BRIX_RBA_LOCATION& placement : placements) {
                    EXPECT_LE(frame + block->frame_size, frames);
                    EXPECT_LE(placement.bit_index + block->bit_size, bits);
                    ++tiles;
                }
        EXPECT_EQ(lines, tiles);
        EXPECT_EQ((2 + (frames - 16) / 32) * (bits / 256), tiles)
            << "both IO columns and every LAB and MLAB column, whole tile rows";
        BRIX_DATA_SERVER::delete_device_rba(blocks);
    }
}

namespace {

// Small families of the three FID kinds: GRANITE (spare rows in the image, its RT_VIO_MLAB map in two files),
// BASALT (two devices sharing the family's maps) and TALON (frames are the image's rows, no CRAM maps).
const char* const SMALL_FAMILIES = R"({"seed": 7, "families": {
  "GRANITE": {"generation": "28nm", "config_data_width": 32, "edcrc_bits": 32, "extra_rows": 1,
    "rbf_padding": 6, "g2_rbf_padding": 8, "lowest_segment": true, "lowest_word": true,
    "blocks": {"RT_HIOL": {"frames": 8, "bits": 172}, "RT_HIOR": {"frames": 8, "bits": 172, "frame_mirror": "1"},
      "LA_MLAB": {"frames": 24, "bits": 172, "frame_mirror": "alternate"},
      "MM_M10K": {"frames": 30, "bits": 344, "bit_mirror": "alternate"},
      "RT_VIO_MLAB": {"frames": 10, "bits": 172, "frame_mirror": "1", "bit_mirror": "alternate"}},
    "io_columns": {"left": "RT_HIOL", "right": "RT_HIOR"}, "column_pattern": ["LA_MLAB", "MM_M10K", "RT_VIO_MLAB"],
    "lutram": {"block": "LA_MLAB", "rba_string": "LUTRAM", "col_offset": 3, "real_col_size": 16},
    "mram": {"block": "MM_M10K", "rba_string": "MRAM", "col_offset": 2, "real_col_size": 24}},
  "BASALT": {"generation": "28nm", "config_data_width": 8, "edcrc_bits": 16, "extra_rows": 1,
    "rbf_padding": 24, "g2_rbf_padding": 24, "lowest_segment": false, "lowest_word": false,
    "blocks": {"RT_HIOL": {"frames": 6, "bits": 100}, "LA_MLAB": {"frames": 40, "bits": 100, "bit_mirror": "1"},
      "MM_M20K": {"frames": 12, "bits": 200, "frame_mirror": "alternate"}},
    "io_columns": {"left": "RT_HIOL", "right": "RT_HIOL"}, "column_pattern": ["MM_M20K", "LA_MLAB"],
    "lutram": {"block": "LA_MLAB", "rba_string": "LUTRAM", "col_offset": 7, "real_col_size": 32},
    "mram": {"block": "MM_M20K", "rba_string": "MRAM", "col_offset": 1, "real_col_size": 10}},
  "TALON": {"generation": "talon", "dras_order": [0, 1, 2, 3],
    "blocks": {"RT_HIOL": {"frames": 8, "bits": 64}, "LA_LAB": {"frames": 32, "bits": 64, "frame_mirror": "alternate"}},
    "io_columns": {"left": "RT_HIOL", "right": "RT_HIOL"}, "column_pattern": ["LA_LAB"]}},
  "devices": [{"name": "GRANITE_D1"}, {"name": "BASALT_D1"}, {"name": "BASALT_D2"}, {"name": "TALON_D0"}]})";

// The programmer chain of one generated installation, in-process: PGM RBA and device database of every
// device, the family CRAM maps, then the FIDs (their exit statuses).
std::vector<int> run_programmer_chain(const GENERATED& g, const std::vector<std::string>& devices) {
    std::vector<int> statuses;
    testing::internal::CaptureStdout();
    try {
        for (const std::string& device : devices) {
            build_pgm_rba(BRIX_BUILD_CONTEXT(), device, g.installation + "/rba/" + device + ".rbaz");
            const std::filesystem::path old = std::filesystem::current_path();
            std::filesystem::current_path(g.out + "/" + device); // the device build reads its inputs here
            build_device(BRIX_BUILD_CONTEXT({false, true, false}), device);
            std::filesystem::current_path(old);
        }
        build_family_cram_map(BRIX_BUILD_CONTEXT(), "GRANITE");
        build_family_cram_map(BRIX_BUILD_CONTEXT(), "BASALT");
        std::filesystem::current_path(g.dir.path()); // the FID build unpacks its image here
        for (const std::string& device : devices)
            statuses.push_back(build_device_fid(BRIX_BUILD_CONTEXT(), device));
    } catch (const BRIX_INTERNAL_ERROR& error) {
        ADD_FAILURE() << error.report_text();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    std::filesystem::current_path(BRIX_SOURCE_DIR);
    EXPECT_EQ(std::string::npos, out.find("Failing at")) << "only the mismatch case prints differences";
    return statuses;
}

} // namespace

// The generated RBA texts, CRAM map texts, phantom images and device databases agree: the whole programmer
// chain of small families ends with FIDs whose images match the maps. A map that disagrees with the images is
// caught by the comparison, so the agreement is not a masked one.
TEST(SampleGenerator, SmallFamiliesPassTheProgrammerChain) {
    GENERATED g;
    g.set_geometry({{"GRANITE_D1", 236, 7800},
                    {"BASALT_D1", 150, 700},
                    {"BASALT_D2", 210, 900},
                    {"TALON_D0", 120, 300}});
    const std::string description = g.dir.file("small.json");
    write_text_file(description, SMALL_FAMILIES);
    COMMAND_RESULT r = g.run(description, {});
    ASSERT_EQ(0, r.status) << r.err;
    const std::string pgm_db = g.installation + "/unshipped/pgm_db/";
    for (const char* file :
         {"granite_rt_vio_mlab_cram.map", "granite_rt_vio_m_lab_cram.map", "basalt_mm_m20k_cram.map",
          "granite_d1_phantom.img.gz", "talon_d0_phantom.img.gz"})
        EXPECT_TRUE(FIO_FILE_SYSTEM::exists(pgm_db + file)) << file;
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(pgm_db + "talon_la_lab_cram.map")) << "TALON has no text CRAM maps";

    VANTREL_PATH_GUARD scope(g.installation + "/");
    const std::vector<std::string> devices = {"granite_d1", "basalt_d1", "basalt_d2", "talon_d0"};
    EXPECT_EQ(std::vector<int>({0, 0, 0, 0}), run_programmer_chain(g, devices));
    for (const std::string& device : devices) {
        SCOPED_TRACE(device);
        std::unique_ptr<BRIX_FID> fid = BRIX_DATA_SERVER::get_device_fid(device);
        ASSERT_NE(nullptr, fid);
        EXPECT_EQ(device == "talon_d0" ? 2u : device == "granite_d1" ? 0u : 1u, fid->fid_version);
        size_t set_bits = 0;
        for (uint32_t e = 0; e < fid->edcrc_frame_size; ++e)
            for (uint32_t b = 0; b < fid->edcrc_bit_byte_size; ++b)
                set_bits += std::bitset<8>(fid->edcrc_rmf[e][b]).count();
        EXPECT_GT(set_bits, 0u) << "the configuration bits of the image reach the EDCRC RMF";
    }
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(g.dir.file("granite_d1_phantom.img")))
        << "the unpacked image is removed";

    // One configuration bit of GRANITE's IO map turned off: the rebuilt CRAM disagrees with the image in
    // every tile of that block.
    const std::string map_file = pgm_db + "granite_rt_hiol_cram.map";
    std::string map = read_text_file(map_file);
    const size_t one = map.find('1', map.find('\n'));
    ASSERT_NE(std::string::npos, one);
    map[one] = '0';
    write_text_file(map_file, map);
    testing::internal::CaptureStdout();
    int status = -1;
    try {
        build_family_cram_map(BRIX_BUILD_CONTEXT(), "GRANITE");
        std::filesystem::current_path(g.dir.path());
        status = build_device_fid(BRIX_BUILD_CONTEXT(), "granite_d1");
    } catch (const BRIX_INTERNAL_ERROR& error) {
        ADD_FAILURE() << error.report_text();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    std::filesystem::current_path(BRIX_SOURCE_DIR);
    EXPECT_EQ(BRIX_EXIT_PHANTOM_MISMATCH, status);
    EXPECT_NE(std::string::npos, out.find("   Failing at RT_HIOL : 0 0 (IMG vs RBA)\n"))
        << out.substr(0, 4000);
}
