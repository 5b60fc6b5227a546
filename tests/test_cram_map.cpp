// The family CRAM map builder: text CRAM maps, the map of one block type, and the cram_map operation.
#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "cli/brix_operations.h"
#include "fio.h"
#include "pgm_common.h"
#include "pgm_installation.h"
#include "programmer/cram_map.h"
#include "test_support.h"

namespace {

using ROWS = std::vector<std::string>;
using BYTES = std::vector<unsigned char>;

// The rows of a byte-row table as bytes, one vector per row.
std::vector<BYTES> table_bytes(const PGM_BYTE_ROWS& table, uint32_t rows, uint32_t row_bytes) {
    std::vector<BYTES> out;
    for (uint32_t r = 0; r < rows; ++r)
        out.emplace_back(table[r].get(), table[r].get() + row_bytes);
    return out;
}

const uint32_t GRANITE_ROW = find_pgm_cram_map_family("GRANITE");
const uint32_t BASALT_ROW = find_pgm_cram_map_family("BASALT");

} // namespace

TEST(CramMap, LineCleanerRemovesBlanksAndComments) {
    EXPECT_EQ("1011", PGM_COMMON::get_rid_white_space_and_comment(" 1 0\t1 1\r"));
    EXPECT_EQ("10", PGM_COMMON::get_rid_white_space_and_comment("1 0 // right half # more"));
    EXPECT_EQ("10", PGM_COMMON::get_rid_white_space_and_comment("1 0 # right half // more"));
    EXPECT_EQ("", PGM_COMMON::get_rid_white_space_and_comment("   // only a comment"));
    EXPECT_EQ("1/0", PGM_COMMON::get_rid_white_space_and_comment("1/0")); // one slash is not a comment
}

TEST(CramMap, FamilyTable) {
    ASSERT_NE(uint32_t(-1), GRANITE_ROW);
    ASSERT_NE(uint32_t(-1), BASALT_ROW);
    for (uint32_t i : {GRANITE_ROW, BASALT_ROW}) {
        const PGM_CRAM_MAP_FAMILY& row = PGM_CRAM_MAP_FAMILY_DATABASE[i];
        EXPECT_EQ(std::string(row.family), row.family_pcf);
        EXPECT_FALSE(row.keep_column_order);
        EXPECT_TRUE(row.keep_row_order);
    }
    EXPECT_EQ(uint32_t(-1), find_pgm_cram_map_family("SLATE"));
    EXPECT_EQ(uint32_t(-1), find_pgm_cram_map_family("granite"));
}

// Text maps that are read, each with the two layout flags.
TEST(CramMap, TextMapsAreRead) {
    struct CASE {
        const char* what;
        std::string text;
        bool keep_column_order, keep_row_order;
        ROWS rows;
    };
    const std::vector<CASE> cases = {
        {"blanks, tabs and carriage returns", "1 0\t1\r\n0 1 1\r\n", true, true, {"101", "011"}},
        {"comments and empty lines",
         "# block map\n\n100 // first row\n   \n011 # second\n",
         true,
         true,
         {"100", "011"}},
        {"line written highest bit first", "100\n110\n", false, true, {"001", "011"}},
        {"file read bottom-up", "100\n110\n", true, false, {"110", "100"}},
        {"both reversed", "100\n110\n", false, false, {"011", "001"}},
        {"no final newline", "10\n01", true, true, {"10", "01"}},
    };
    TEMP_DIR dir;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir.file("case_cram.map");
        write_text_file(path, c.text);
        ROWS rows = {"stale"};
        uint32_t cols = 0, row_count = 0;
        read_cram_map_text(path, rows, c.keep_column_order, c.keep_row_order, cols, row_count);
        EXPECT_EQ(c.rows, rows);
        EXPECT_EQ(c.rows.size(), row_count);
        EXPECT_EQ(c.rows[0].size(), cols);
    }
}

// Text maps that are refused, with the line the report names (0: none).
TEST(CramMap, TextMapsThatAreRefused) {
    struct CASE {
        const char* what;
        std::string text;
        bool keep_row_order;
        std::string condition;
        int line;
    };
    const std::vector<CASE> cases = {
        {"a digit 2", "101\n121\n", true, "*iter == '0' || *iter == '1'", 2},
        {"a letter", "10x\n", true, "*iter == '0' || *iter == '1'", 1},
        {"shorter second row", "101\n11\n", true, "cram_map_col == DWORD((*i).size())", 2},
        {"longer row, read bottom-up", "101\n\n1011\n101\n", false, "cram_map_col == DWORD((*i).size())", 3},
        {"no rows", "\n\n", true, "DWORD(data.size()) > 0", 0},
        {"comments only", "# nothing drawn yet\n", true, "DWORD(data.size()) > 0", 0},
    };
    TEMP_DIR dir;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir.file("case_cram.map");
        write_text_file(path, c.text);
        ROWS rows;
        uint32_t cols = 0, row_count = 0;
        BRIX_INTERNAL_ERROR e = catch_brix_error(
            [&] { read_cram_map_text(path, rows, true, c.keep_row_order, cols, row_count); });
        EXPECT_EQ(c.condition, e.condition());
        std::string where = c.line > 0 ? "line " + std::to_string(c.line) : "end of file";
        EXPECT_EQ((std::vector<std::string>{path, where}), e.context());
    }
    ROWS rows;
    uint32_t cols = 0, row_count = 0;
    EXPECT_BRIX_ERROR(read_cram_map_text(dir.file("missing_cram.map"), rows, true, true, cols, row_count),
                      "Input file does not exist");
}

// The map of one block type in both layouts; GRANITE's RT_VIO_MLAB map is drawn in two files.
TEST(CramMap, MapOfOneBlockType) {
    PGM_INSTALLATION install;
    EXPECT_EQ(install.pgm_db_dir() + "granite_la_lab_cram.map",
              get_cram_map_text_file("GRANITE", PGM_RBA_LA_LAB));
    EXPECT_BRIX_ERROR(get_cram_map_text_file("GRANITE", PGM_RBA_MAX),
                      "block_type != PGM_RBA_INVALID && block_type < PGM_RBA_MAX");
    // GRANITE lines are written highest bit first: "100" is bit 2, "011" bits 0 and 1.
    write_text_file(install.pgm_db_dir() + "granite_la_lab_cram.map", "100\n011\n");
    testing::internal::CaptureStdout();
    // Text rows are frames: 2 frames of 3 bits.
    PGM_BYTE_ROWS by_row = build_cram_map_for_type(BRIX_PROGRESS(), GRANITE_ROW, PGM_RBA_LA_LAB, 2, 3, false);
    // Text columns are frames, text rows bits: 3 frames of 2 bits; frame c takes character c of each
    // (reversed) row, so frame 0 is the last character of each line.
    PGM_BYTE_ROWS by_column =
        build_cram_map_for_type(BRIX_PROGRESS(), GRANITE_ROW, PGM_RBA_LA_LAB, 3, 2, true);
    EXPECT_EQ("            LA_LAB\n            LA_LAB\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ((std::vector<BYTES>{{0x04}, {0x03}}), table_bytes(by_row, 2, 1));
    EXPECT_EQ((std::vector<BYTES>{{0x02}, {0x02}, {0x01}}), table_bytes(by_column, 3, 1));

    // Two files, the second's frames after the first's: 2 + 2 columns of 2 bits.
    write_text_file(install.pgm_db_dir() + "granite_rt_vio_mlab_cram.map", "10\n01\n");
    write_text_file(install.pgm_db_dir() + "granite_rt_vio_m_lab_cram.map", "11\n10\n");
    testing::internal::CaptureStdout();
    PGM_BYTE_ROWS two =
        build_cram_map_for_type(BRIX_PROGRESS(), GRANITE_ROW, PGM_RBA_RT_VIO_MLAB, 4, 2, true);
    EXPECT_EQ("            RT_VIO_MLAB (RT_VIO_M_LAB)\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ((std::vector<BYTES>{{0x02}, {0x01}, {0x01}, {0x03}}), table_bytes(two, 4, 1));
    // With rows as frames both files hold all frames: the second is refused before it is written past the
    // map.
    testing::internal::CaptureStdout();
    EXPECT_BRIX_ERROR(build_cram_map_for_type(BRIX_PROGRESS(), GRANITE_ROW, PGM_RBA_RT_VIO_MLAB, 2, 2, false),
                      "(frame_index + cram_map_row) <= frame_size");
    // BASALT has one file for the type.
    write_text_file(install.pgm_db_dir() + "basalt_rt_vio_mlab_cram.map", "10\n01\n");
    PGM_BYTE_ROWS basalt =
        build_cram_map_for_type(BRIX_PROGRESS(), BASALT_ROW, PGM_RBA_RT_VIO_MLAB, 2, 2, true);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ((std::vector<BYTES>{{0x02}, {0x01}}), table_bytes(basalt, 2, 1));
}

TEST(CramMap, MapsThatDoNotFitTheirBlock) {
    PGM_INSTALLATION install;
    write_text_file(install.pgm_db_dir() + "granite_la_lab_cram.map", "100\n011\n");
    struct CASE {
        uint32_t type, frame_size, bit_size;
        bool col_as_frame;
        std::string condition;
    };
    const std::vector<CASE> cases = {
        {PGM_RBA_LA_LAB, 3, 3, false, "cram_map_row == frame_size"},
        {PGM_RBA_LA_LAB, 2, 4, false, "cram_map_col == bit_size"},
        {PGM_RBA_LA_LAB, 2, 2, true, "(frame_index + cram_map_col) <= frame_size"},
        {PGM_RBA_LA_LAB, 3, 3, true, "cram_map_row == bit_size"},
        {PGM_RBA_LA_LAB, 4, 2, true, "frame_index == frame_size"},
        {PGM_RBA_LA_LAB, 0, 2, true, "frame_size > 0 && bit_size > 0"},
        {PGM_RBA_INVALID, 3, 2, true, "!family.empty() && type > PGM_RBA_INVALID && type < PGM_RBA_MAX"},
        {PGM_RBA_MM_M20K, 3, 2, true, "Input file does not exist"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.condition);
        testing::internal::CaptureStdout();
        EXPECT_BRIX_ERROR(build_cram_map_for_type(BRIX_PROGRESS(), GRANITE_ROW, c.type, c.frame_size,
                                                  c.bit_size, c.col_as_frame),
                          c.condition);
        testing::internal::GetCapturedStdout();
    }
}

namespace {

// A GRANITE installation: device databases with COL_AS_FRAME, PGM RBA databases and text maps. D1 uses
// LA_LAB (3 x 2) and MM_M20K (1 x 2); D2 uses LA_LAB again and DS_DSP (2 x 2).
void write_device(const PGM_INSTALLATION& install, const std::string& device, unsigned col_as_frame) {
    auto* info = new BRIX_DEVICE_INFO;
    info->set_parameter_list(
        new BRIX_PARAMETER_LIST{make_parameter(BRIX_PARAMETER_COL_AS_FRAME, col_as_frame)}, false);
    install.write_device(device, info);
}

void write_granite(const PGM_INSTALLATION& install, unsigned d2_col_as_frame = 1,
                   uint32_t d2_lab_frames = 3) {
    write_device(install, "GRANITE_D1", 1);
    write_device(install, "GRANITE_D2", d2_col_as_frame);
    BRIX_RBA_BLOCK_LIST d1, d2;
    d1.push_back(make_rba_block(PGM_RBA_LA_LAB, 3, 2, {{0, 0, false, false}, {3, 0, true, false}}));
    d1.push_back(make_rba_block(PGM_RBA_MM_M20K, 1, 2, {{6, 0, false, false}}));
    d2.push_back(make_rba_block(PGM_RBA_DS_DSP, 2, 2, {{0, 0, false, false}}));
    d2.push_back(make_rba_block(PGM_RBA_LA_LAB, d2_lab_frames, 2, {{2, 0, false, false}}));
    install.write_rba("GRANITE_D1", d1);
    install.write_rba("GRANITE_D2", d2);
    write_text_file(install.pgm_db_dir() + "granite_la_lab_cram.map", "100\n011\n");
    write_text_file(install.pgm_db_dir() + "granite_mm_m20k_cram.map", "1\n1\n");
    write_text_file(install.pgm_db_dir() + "granite_ds_dsp_cram.map", "01 // DSP\n11\n");
}

} // namespace

TEST(CramMap, OperationMergesTheFamilysDevices) {
    PGM_INSTALLATION install;
    write_granite(install);
    testing::internal::CaptureStdout();
    build_family_cram_map(BRIX_BUILD_CONTEXT(), "granite");
    std::string out = testing::internal::GetCapturedStdout();
    const std::string file = install.fid_dir() + "GRANITE.cram_map";
    EXPECT_EQ("\n   Building CRAM Map file ... \n\n   Checking PCF ... \n\n"
              "      GRANITE_D1\n\n            LA_LAB\n            MM_M20K\n\n"
              "      GRANITE_D2\n\n            DS_DSP\n\n"
              "      GRANITE_D3_ES -> not exist\n      GRANITE_D3 -> not exist\n"
              "      GRANITE_D4_ES -> not exist\n      GRANITE_D4 -> not exist\n"
              "      GRANITE_D5 -> not exist\n      GRANITE_D6 -> not exist\n"
              "\n   Generating PGM Database file: " +
                  file + " ...\n\n      CMD: unlink " + file + "\n\n\n",
              out);
    unsigned char flags = 0;
    BRIX_CRAM_MAP_LIST maps = BRIX_DATA_SERVER::get_family_cram_map("GRANITE", flags);
    EXPECT_EQ(5, flags); // COL_AS_FRAME and keep_row_order
    ASSERT_EQ(3u, maps.size());
    struct EXPECTED {
        uint32_t type, frame_size;
        std::vector<BYTES> rows;
    };
    const EXPECTED expected[] = {{PGM_RBA_LA_LAB, 3, {{0x02}, {0x02}, {0x01}}},
                                 {PGM_RBA_MM_M20K, 1, {{0x03}}},
                                 {PGM_RBA_DS_DSP, 2, {{0x03}, {0x02}}}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].type, maps[i]->type);
        EXPECT_EQ(expected[i].frame_size, maps[i]->frame_size);
        EXPECT_EQ(2u, maps[i]->bit_size);
        EXPECT_EQ(1u, maps[i]->bit_byte_size);
        EXPECT_EQ(expected[i].rows, table_bytes(maps[i]->info, maps[i]->frame_size, 1));
    }
}

TEST(CramMap, OperationRefusals) {
    {
        // Without any PGM RBA database nothing is written.
        PGM_INSTALLATION install;
        testing::internal::CaptureStdout();
        build_family_cram_map(BRIX_BUILD_CONTEXT(), "BASALT");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos,
                  out.find("      BASALT_D5 -> not exist\n   None of the PGM RBA is ready\n\n"))
            << out;
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(install.fid_dir() + "BASALT.cram_map"));
    }
    struct CASE {
        const char* what;
        unsigned d2_col_as_frame;
        uint32_t d2_lab_frames;
        std::string condition;
    };
    const std::vector<CASE> cases = {
        {"devices disagree on COL_AS_FRAME", 0, 3,
         "col_as_frame == device_info->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME)"},
        {"one block type, two sizes", 1, 4, "frame_count_list[type] == (*block)->frame_size"},
        // A device database built from a device XML without a boolean COL_AS_FRAME.
        {"COL_AS_FRAME not a boolean", 2, 3, "support != NULL || is_supported"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        PGM_INSTALLATION install;
        write_granite(install, c.d2_col_as_frame, c.d2_lab_frames);
        testing::internal::CaptureStdout();
        EXPECT_BRIX_ERROR(build_family_cram_map(BRIX_BUILD_CONTEXT(), "GRANITE"), c.condition);
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(install.fid_dir() + "GRANITE.cram_map"));
    }
    {
        // The report names the device database and the parameter.
        PGM_INSTALLATION install;
        write_granite(install, 2);
        testing::internal::CaptureStdout();
        const std::string report =
            catch_brix_error([] { build_family_cram_map(BRIX_BUILD_CONTEXT(), "GRANITE"); }).report_text();
        testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, report.find("granite_d2_brix.ddb")) << report;
        EXPECT_NE(std::string::npos, report.find("parameter COL_AS_FRAME")) << report;
    }
    PGM_INSTALLATION install;
    testing::internal::CaptureStdout();
    EXPECT_BRIX_ERROR(build_family_cram_map(BRIX_BUILD_CONTEXT(), "NOT_A_FAMILY"),
                      "BRIX_DATA_SERVER::check_is_family_pcf_supported(target, family_type)");
    EXPECT_BRIX_ERROR(build_family_cram_map(BRIX_BUILD_CONTEXT(), "SLATE"), "cram_map_index != DWORD(-1)");
    testing::internal::GetCapturedStdout();
}
