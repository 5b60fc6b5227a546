// The PGM RBA builder: RBA texts of both versions into block lists, and the rba operation.
#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "cli/brix_operations.h"
#include "dev_db.h"
#include "fio.h"
#include "gen.h"
#include "inspect/brix_pgm_dump.h"
#include "pgm_installation.h"
#include "pgmdev.h"
#include "programmer/pgm_rba.h"
#include "test_support.h"
#include "thr.h"

#include <cstdio>
#include <cstdlib>
#include <zlib.h>

namespace {

using BYTES = std::vector<unsigned char>;

BYTES serialise(const BRIX_RBA_BLOCK_LIST& list) {
    BYTES out;
    pgm_ddb_write(out, list);
    return out;
}

// A version 0 text: a preamble, the CRAM section with two blocks (two LA_LAB placements share frame 0), and a
// later section that is never read.
const char* const VERSION0_TEXT = "# sample device\n"
                                  "$BLOCK_IO\n"
                                  "IOE 1 2 3\n"
                                  "$BLOCK_CRAM_SECTION\n"
                                  "LA_LAB  t 44 86 0 0 0 0\n"
                                  "\n"
                                  "LA_LAB  t 44 86 0 86 0 1   trailing words are skipped\n"
                                  "LA_LAB  t 44 86 88 0 1 0\n"
                                  "MM_M20K t 30 172 44 0 0 1\n"
                                  "$BLOCK_END\n"
                                  "not an entry at all\n";

// The same content in version 1: only lines whose first word is exactly CRAM are entries.
const char* const VERSION1_TEXT = "HEADER talon\n"
                                  "CRAM LA_LAB r c 44 86 0 0 0 0\n"
                                  "CRAMX LA_LAB r c 1 1 1 1 1 1\n"
                                  "CRAM LA_LAB r c 44 86 0 86 0 1\n"
                                  "LINE ignored\n"
                                  "CRAM LA_LAB r c 44 86 88 0 1 0\n"
                                  "CRAM MM_M20K r c 30 172 44 0 0 1\n";

// Serialised list of both texts, as the PGM RBA payload stores it.
const BYTES EXPECTED_PAYLOAD = {
    2,  0, 0, 0,                                              // two blocks, in order of first appearance
    12, 0, 0, 0, 44, 0, 0, 0, 86,  0, 0, 0,                   // LA_LAB, 44 frames, 86 bits
    2,  0, 0, 0,                                              // frames 0 and 88
    0,  0, 0, 0, 2,  0, 0, 0,                                 // frame 0: two placements in text order
    0,  0, 0, 0, 0,  0,                                       //   bit 0
    86, 0, 0, 0, 0,  1,                                       //   bit 86, bit mirror
    88, 0, 0, 0, 1,  0, 0, 0, 0,   0, 0, 0, 1, 0,             // frame 88: bit 0, frame mirror
    18, 0, 0, 0, 30, 0, 0, 0, 172, 0, 0, 0,                   // MM_M20K, 30 frames, 172 bits
    1,  0, 0, 0, 44, 0, 0, 0, 1,   0, 0, 0, 0, 0, 0, 0, 0, 1, // frame 44: bit 0, bit mirror
};

void write_gzip(const std::string& path, const std::string& text) {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(static_cast<int>(text.size()), gzwrite(f, text.data(), static_cast<unsigned>(text.size())));
    ASSERT_EQ(Z_OK, gzclose(f));
}

} // namespace

// The payload of docs/pgm_container.md for the same blocks, from either RBA format.
TEST(PgmRba, BothVersionsGiveTheSamePayload) {
    TEMP_DIR dir;
    std::string v0 = dir.file("dev0.rba"), v1 = dir.file("dev1.rba");
    write_text_file(v0, VERSION0_TEXT);
    write_text_file(v1, VERSION1_TEXT);
    testing::internal::CaptureStdout();
    BRIX_RBA_BLOCK_LIST list0 = parse_rba_file(BRIX_BUILD_CONTEXT(), v0, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("   Parsing " + v0 + " ...\n\n      LA_LAB\n      MM_M20K\n\n", out);
    EXPECT_EQ(EXPECTED_PAYLOAD, serialise(list0));
    EXPECT_EQ(EXPECTED_PAYLOAD, serialise(parse_rba_file(BRIX_BUILD_CONTEXT(), v1, 1)));
}

TEST(PgmRba, CompressedTextIsUnpackedBesideIt) {
    TEMP_DIR dir;
    std::string packed = dir.file("dev.rbaz");
    write_gzip(packed, VERSION0_TEXT);
    EXPECT_EQ(EXPECTED_PAYLOAD, serialise(parse_rba_file(BRIX_BUILD_CONTEXT(), packed, 0)));
    EXPECT_EQ(VERSION0_TEXT, read_text_file(dir.file("dev.rba")));
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(packed));
    // A file name with shell syntax in it is only a name.
    std::string odd = dir.file("x; touch pwned $(id).rbaz");
    write_gzip(odd, VERSION0_TEXT);
    EXPECT_EQ(EXPECTED_PAYLOAD, serialise(parse_rba_file(BRIX_BUILD_CONTEXT(), odd, 0)));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists("pwned"));
    // A text that unpacks but does not parse is removed again.
    const std::string refused = dir.file("refused.rbaz");
    write_gzip(refused, "$BLOCK_CRAM\nLA_LAB t 44 86 0 0 0 2\n$BLOCK_END\n");
    EXPECT_BRIX_ERROR(parse_rba_file(BRIX_BUILD_CONTEXT(), refused, 0),
                      "RBA mirror fields 0 2 are not each 0 or 1");
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("refused.rba")));
    // Plain text under the compressed name is refused.
    std::string plain = dir.file("plain.rbaz");
    write_text_file(plain, VERSION0_TEXT);
    EXPECT_THROW(parse_rba_file(BRIX_BUILD_CONTEXT(), plain, 0), BRIX_INTERNAL_ERROR);
}

// Every failure of the parser, each on a small text. `line` is the line the report names (0: none).
TEST(PgmRba, TextsThatAreRefused) {
    const std::string v0_entry =
        "rba >> dummy >> frame_size >> bit_size >> frame_index >> bit_index >> frame_mirror >> bit_mirror";
    const std::string v1_entry = "rba >> block >> dummy >> dummy >> frame_size >> bit_size >> frame_index >> "
                                 "bit_index >> frame_mirror >> bit_mirror";
    struct CASE {
        const char* what;
        uint32_t version;
        std::string text;
        std::string condition;
        int line;
    };
    const std::vector<CASE> cases = {
        {"no CRAM section", 0, "$BLOCK_IO\nLA_LAB t 1 1 0 0 0 0\n", "start && stop", 0},
        {"CRAM section never ends", 0, "$BLOCK_CRAM\nLA_LAB t 1 1 0 0 0 0\n", "start && stop", 0},
        {"empty CRAM section", 0, "$BLOCK_CRAM\n$BLOCK_END\n", "rba_list.size() > 0", 0},
        {"entry missing its last field", 0, "$BLOCK_CRAM\nLA_LAB t 1 1 0 0 0\n$BLOCK_END\n", v0_entry, 2},
        // The fields of an entry are on its own line: the next line does not complete it.
        {"entry continued on the next line", 0, "$BLOCK_CRAM\nLA_LAB t 1 1 0 0\n0 0\n$BLOCK_END\n", v0_entry,
         2},
        {"number beyond 32 bits", 0, "$BLOCK_CRAM\nLA_LAB t 1 1 4294967296 0 0 0\n$BLOCK_END\n", v0_entry, 2},
        {"negative number", 0, "$BLOCK_CRAM\nLA_LAB t 1 1 -1 0 0 0\n$BLOCK_END\n", v0_entry, 2},
        {"number with letters", 0, "$BLOCK_CRAM\nLA_LAB t 1 1 12ab 0 0 0\n$BLOCK_END\n", v0_entry, 2},
        {"unknown block name", 0, "$BLOCK_CRAM\nLA_LABX t 1 1 0 0 0 0\n$BLOCK_END\n",
         "type > PGM_RBA_INVALID && type < PGM_RBA_MAX", 2},
        {"block name used for two runs", 0,
         "$BLOCK_CRAM\nLA_LAB t 1 1 0 0 0 0\nDS_DSP t 1 1 0 0 0 0\nLA_LAB t 1 1 5 0 0 0\n$BLOCK_END\n",
         "(*iter)->type != type", 4},
        {"frame_size differs within a block", 0,
         "$BLOCK_CRAM\nLA_LAB t 1 1 0 0 0 0\nLA_LAB t 2 1 4 0 0 0\n$BLOCK_END\n",
         "block->frame_size == frame_size", 3},
        {"bit_size differs within a block", 0,
         "$BLOCK_CRAM\nLA_LAB t 1 1 0 0 0 0\nLA_LAB t 1 2 4 0 0 0\n$BLOCK_END\n",
         "block->bit_size == bit_size", 3},
        {"version 1 without CRAM lines", 1, "CRAMX LA_LAB r c 1 1 0 0 0 0\nHEADER\n",
         "!block.empty() && !block_name.empty()", 0},
        {"version 1 entry too short", 1, "CRAM LA_LAB r c 1 1 0 0 0\n", v1_entry, 1},
        {"version 1 number beyond 32 bits", 1, "CRAM LA_LAB r c 1 99999999999 0 0 0 0\n", v1_entry, 1},
        {"version 1 unknown block", 1, "CRAM NOT_A_BLOCK r c 1 1 0 0 0 0\n",
         "type > PGM_RBA_INVALID && type < PGM_RBA_MAX", 1},
        {"unknown format version", 2, "CRAM LA_LAB r c 1 1 0 0 0 0\n", "version == 0 || version == 1", 0},
        {"mirror field beyond a flag", 0, "$BLOCK_CRAM\nLA_LAB t 1 1 0 0 0 2\n$BLOCK_END\n",
         "RBA mirror fields 0 2 are not each 0 or 1", 2},
        {"version 1 mirror field beyond a flag", 1, "CRAM LA_LAB r c 1 1 0 0 4294967295 0\n",
         "RBA mirror fields 4294967295 0 are not each 0 or 1", 1},
    };
    TEMP_DIR dir;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir.file("case.rba");
        write_text_file(path, c.text);
        testing::internal::CaptureStdout();
        BRIX_INTERNAL_ERROR e =
            catch_brix_error([&] { parse_rba_file(BRIX_BUILD_CONTEXT(), path, c.version); });
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.condition, e.condition());
        if (c.line > 0) {
            EXPECT_EQ((std::vector<std::string>{path, "line " + std::to_string(c.line)}), e.context());
        }
    }
    EXPECT_BRIX_ERROR(parse_rba_file(BRIX_BUILD_CONTEXT(), dir.file("missing.rba"), 0), "rba.good()");
}

// Long lines are read whole: a long tail after an entry is skipped and the next line is the next entry.
TEST(PgmRba, LongLinesAreNotSplit) {
    TEMP_DIR dir;
    std::string path = dir.file("long.rba");
    std::string tail(100000, 'x');
    write_text_file(path, "$BLOCK_CRAM\nLA_LAB t 44 86 0 0 0 0 " + tail +
                              " 7 7 7\nLA_LAB t 44 86 0 86 0 1\n" + "$BLOCK_END\n");
    testing::internal::CaptureStdout();
    BRIX_RBA_BLOCK_LIST list = parse_rba_file(BRIX_BUILD_CONTEXT(), path, 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ((std::vector<BRIX_RBA_LOCATION>{{0, false, false}, {86, false, true}}),
              list[0]->locations.at(0));
}

TEST(PgmRba, BlockNamesAndFamilyTable) {
    unsigned type = 99;
    EXPECT_TRUE(PGMDEV_MGR::pgm_check_type_name_supported(0, "TR_G2_AR", type));
    EXPECT_EQ(75u, type);
    EXPECT_TRUE(PGMDEV_MGR::pgm_check_type_name_supported(0, "cc_cs_0", type));
    EXPECT_EQ(1u, type);
    EXPECT_FALSE(PGMDEV_MGR::pgm_check_type_name_supported(0, "TR_G2_ARX", type));
    EXPECT_EQ(0u, type);
    EXPECT_FALSE(PGMDEV_MGR::pgm_check_type_name_supported(1, "LA_LAB", type));

    struct ROW {
        const char* family;
        uint32_t rba_version, fid_version, c1, c2, lutram_offset, c3, lutram_size, c4;
    };
    const ROW rows[] = {{"GRANITE", 0, 0, 2, 41, 3, 0, 16, 86},
                        {"BASALT", 0, 1, 42, 43, 7, 0, 32, 86},
                        {"SLATE", 0, 1, 42, 43, 7, 0, 32, 86},
                        {"HARRIER", 0, 0, 0, 0, 0, 0, 0, 0},
                        {"TALON", 1, 2, 50, 16, 0, 0, 92, 16}};
    for (const ROW& r : rows) {
        SCOPED_TRACE(r.family);
        uint32_t i = find_pgm_family_info(r.family);
        ASSERT_NE(uint32_t(-1), i);
        const PGM_FAMILY_INFO& f = PGM_FAMILY_INFO_DATABASE[i];
        EXPECT_EQ((std::vector<uint32_t>{r.rba_version, r.fid_version, r.c1, r.c2, r.lutram_offset, r.c3,
                                         r.lutram_size, r.c4}),
                  (std::vector<uint32_t>{f.rba_version, f.fid_version, f.family_constant_1,
                                         f.family_constant_2, f.lutram_frame_offset, f.family_constant_3,
                                         f.lutram_frame_size, f.family_constant_4}));
    }
    EXPECT_EQ(uint32_t(-1), find_pgm_family_info("KESTREL"));
    EXPECT_EQ(uint32_t(-1), find_pgm_family_info("granite")); // exact names only
    EXPECT_EQ(uint32_t(-1), find_pgm_family_info(""));
}

TEST(PgmRba, OperationChecksItsArgumentsFirst) {
    TEMP_DIR dir;
    std::string rba = dir.file("dev.rba");
    write_text_file(rba, VERSION0_TEXT);
    EXPECT_BRIX_ERROR(
        build_pgm_rba(BRIX_BUILD_CONTEXT(), "GRANITE_D1", dir.file("dev.txt")),
        "PGM_COMMON::check_extension(rba_file, \"rba\") || PGM_COMMON::check_extension(rba_file, "
        "\"rbaz\")");
    EXPECT_BRIX_ERROR(build_pgm_rba(BRIX_BUILD_CONTEXT(), "GRANITE_D1", dir.file("missing.rba")),
                      "FIO_FILE_SYSTEM::exists(rba_file.c_str())");
    EXPECT_BRIX_ERROR(build_pgm_rba(BRIX_BUILD_CONTEXT(), "granite_d1_brix.ddb", rba),
                      "!PGM_COMMON::check_extension(target, \"ddb\")");
}

// The sample installation's RBA texts: each parses in its family's format and every tile lies inside the
// device's CRAM (frames along the columns, bits along the rows).
TEST(PgmRba, SampleTextsFitTheirDevices) {
    for (const char* name : {"GRANITE_D1", "BASALT_D1", "SLATE_D1", "HARRIER_D1", "TALON_D0"}) {
        SCOPED_TRACE(name);
        const DEV_TABLE_DEVICE* device = DEV_TABLE::get()->find_device_by_name(name);
        ASSERT_NE(nullptr, device);
        ASSERT_TRUE(device->has_rba_file && device->has_cram_rows && device->has_cram_columns);
        uint32_t family = find_pgm_family_info(PGMDEV_DEVICE_GRAMMAR_MGR::get_family(name));
        ASSERT_NE(uint32_t(-1), family);
        testing::internal::CaptureStdout();
        BRIX_RBA_BLOCK_LIST list = parse_rba_file(BRIX_BUILD_CONTEXT(), device->rba_file,
                                                  PGM_FAMILY_INFO_DATABASE[family].rba_version);
        testing::internal::GetCapturedStdout();
        ASSERT_FALSE(list.empty());
        bool has_mlab = false;
        for (const auto& block : list) {
            has_mlab |= block->type == PGM_RBA_LA_MLAB;
            for (const auto& entry : block->locations)
                for (const BRIX_RBA_LOCATION& l : entry.second) {
                    EXPECT_LE(uint64_t{entry.first} + block->frame_size, device->cram_columns);
                    EXPECT_LE(uint64_t{l.bit_index} + block->bit_size, device->cram_rows);
                }
        }
        EXPECT_TRUE(has_mlab); // the FID builder needs the LUTRAM columns of the older families
    }
}

namespace {
// A private installation: the sample device table and an empty programmer directory.
using RBA_INSTALLATION = PGM_INSTALLATION;
} // namespace

TEST(PgmRba, OperationWritesTheDeviceDatabase) {
    RBA_INSTALLATION install;
    std::string rba = install.path() + "/granite.rba";
    write_text_file(rba, VERSION0_TEXT);
    testing::internal::CaptureStdout();
    build_pgm_rba(BRIX_BUILD_CONTEXT(), "granite_d1", rba);
    std::string out = testing::internal::GetCapturedStdout();
    std::string file = install.fid_dir() + "GRANITE_D1.pgm_rba";
    EXPECT_EQ(
        "\n   Building RBA file ... \n\n      PCF: GRANITE_D1\n      Family: GRANITE\n      Version: 0\n\n"
        "   Parsing " +
            rba +
            " ...\n\n      LA_LAB\n      MM_M20K\n\n"
            "\n   Generating PGM Database file: " +
            file + " ...\n\n      CMD: unlink " + file + "\n\n\n",
        out);
    uint32_t version = 0, raw_size = 0;
    std::string extension, name;
    auto payload = BRIX_DATA_SERVER::read_pgm_database_file(file, version, extension, name, raw_size);
    EXPECT_EQ(1u, version);
    EXPECT_EQ("PGM_RBA", extension);
    EXPECT_EQ("GRANITE_D1", name);
    EXPECT_EQ(EXPECTED_PAYLOAD, BYTES(payload.get(), payload.get() + raw_size));
    // The device name finds the file; the header must name the device.
    EXPECT_EQ(EXPECTED_PAYLOAD, serialise(BRIX_DATA_SERVER::get_device_rba("GRANITE_D1")));
    std::string other = install.fid_dir() + "BASALT_D1.pgm_rba";
    ASSERT_EQ(0, std::rename(file.c_str(), other.c_str()));
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_device_rba("BASALT_D1"), "device_name == pcf || pcf == \"\"");

    std::string talon = install.path() + "/talon.rba";
    write_text_file(talon, VERSION1_TEXT);
    testing::internal::CaptureStdout();
    build_pgm_rba(BRIX_BUILD_CONTEXT(), "TALON_D0", talon);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("      Version: 1\n")) << out;
    EXPECT_EQ(EXPECTED_PAYLOAD, serialise(BRIX_DATA_SERVER::get_device_rba("TALON_D0")));

    EXPECT_BRIX_ERROR(build_pgm_rba(BRIX_BUILD_CONTEXT(), "KESTREL_D1", rba), "rba_index != DWORD(-1)");
    EXPECT_BRIX_ERROR(build_pgm_rba(BRIX_BUILD_CONTEXT(), "NO_SUCH_DEVICE", rba),
                      "!pcf.empty() && !family.empty()");
    // The report names the device that was looked up.
    EXPECT_EQ(
        std::vector<std::string>{"device NO_SUCH_DEVICE in the device table"},
        catch_brix_error([&] { build_pgm_rba(BRIX_BUILD_CONTEXT(), "NO_SUCH_DEVICE", rba); }).context());
    std::string pcf;
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_device_fid_file("NO_SUCH_DEVICE", pcf), "!pcf.empty()");
    EXPECT_EQ(install.fid_dir() + "GRANITE_D1.fid", BRIX_DATA_SERVER::get_device_fid_file("granite_d1", pcf));
    EXPECT_EQ("GRANITE_D1", pcf);
}

// The installation's own output directories are created when missing; the installation itself never is.
TEST(PgmRba, MissingOutputDirectoriesOfTheInstallationAreCreated) {
    RBA_INSTALLATION install;
    std::string rba = install.path() + "/granite.rba";
    write_text_file(rba, VERSION0_TEXT);
    ASSERT_EQ(0, run_command("rm -rf '" + install.path() + "/devdb/programmer'").status);
    testing::internal::CaptureStdout();
    build_pgm_rba(BRIX_BUILD_CONTEXT(), "granite_d1", rba);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(EXPECTED_PAYLOAD, serialise(BRIX_DATA_SERVER::get_device_rba("GRANITE_D1")));

    // An installation that is not there stays absent: the write reports the file it cannot create.
    std::string missing = install.path() + "/no_such_installation/";
    BYTES payload = EXPECTED_PAYLOAD;
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] {
        VANTREL_PATH_GUARD gone(missing);
        testing::internal::CaptureStdout();
        try {
            BRIX_DATA_SERVER::write_pgm_database_file(payload.data(), uint32_t(payload.size()), 1, "pgm_rba",
                                                      "granite_d1", "granite_d1",
                                                      gen_get_device_db_fullpath() + "/programmer/fid/");
        } catch (...) {
            testing::internal::GetCapturedStdout();
            throw;
        }
        testing::internal::GetCapturedStdout();
    });
    EXPECT_EQ(0u,
              e.condition().find("Unable to write " + missing + "devdb/programmer/fid/GRANITE_D1.pgm_rba"))
        << e.condition();
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(missing));
}

// The tool builds the PGM RBA database of each sample device; brix_dump verifies each one and prints it.
TEST(PgmRba, ToolBuildsTheSampleDatabases) {
    const std::string dump = BRIX_DUMP_EXE;
    ASSERT_FALSE(dump.empty());
    RBA_INSTALLATION install;
    for (const char* device : {"GRANITE_D1", "BASALT_D1", "SLATE_D1", "HARRIER_D1", "TALON_D0"}) {
        SCOPED_TRACE(device);
        std::string rba = std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/rba/" + stl_lower(device) + ".rba";
        COMMAND_RESULT r = run_command("BRIX_VANTREL_PATH=" + thr_shell_quote(install.path()) + " " +
                                       thr_shell_command({BRIX_EXE, std::string("-rba=") + device, rba}));
        ASSERT_EQ(0, r.status) << r.err;
        std::string file = install.fid_dir() + device + ".pgm_rba";
        COMMAND_RESULT verified = run_command(thr_shell_command({dump, "--verify", file}));
        EXPECT_EQ(0, verified.status);
        EXPECT_EQ(0u, verified.out.find("OK: " + file + ": PGM_RBA " + device + ", version 1: "))
            << verified.out;
        COMMAND_RESULT printed = run_command(thr_shell_command({dump, file}));
        ASSERT_EQ(0, printed.status) << printed.err;
        nlohmann::json j = nlohmann::json::parse(printed.out);
        EXPECT_EQ(device, j["header"]["name"].get<std::string>());
        EXPECT_EQ("RT_HIOL", j["pgm_rba"][0]["type_name"].get<std::string>());
    }
    // A damaged file fails verification with the check that found it.
    std::string file = install.fid_dir() + "SLATE_D1.pgm_rba";
    std::string bytes = read_text_file(file);
    bytes[97] = static_cast<char>(bytes[97] ^ 0x40);
    write_text_file(file, bytes);
    COMMAND_RESULT damaged = run_command(thr_shell_command({dump, "--verify", file}));
    EXPECT_EQ(1, damaged.status);
    EXPECT_EQ(0u, damaged.out.find("FAIL: file_data[file_size - ")) << damaged.out;
}
