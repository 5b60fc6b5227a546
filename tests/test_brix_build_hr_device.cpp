// The HARRIER builder: frame maps with MRAM reversal, bit maps over the 8-line bus, the IOCSR leading
// padding, and the HARRIER RBA parser.
#include "brix_owned_list.h"
#include "cli/brix_operations.h"
#include "dev_db.h"
#include "device/brix_build_device.h"
#include "fio.h"
#include "large_block.h"
#include "records/brix_data_manager.h"
#include "test_support.h"
#include "thr.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// A device info owning its parameters, an argument list, and the build state of one HARRIER build.
struct HR_DEVICE {
    HR_DEVICE(uint32_t frames, uint32_t bits) {
        state.m_frame_count = frames;
        state.m_bit_count = bits;
        state.m_context = BRIX_BUILD_CONTEXT({true});
        parameter(BRIX_PARAMETER_BS_CRAM_FILLED_UP_WITH_LOWEST_SEGMENT, {1});
        parameter(BRIX_PARAMETER_BS_CRAM_FILLED_UP_WITH_LOWEST_WORD, {1});
        parameter(BRIX_PARAMETER_IOCSR_CFF, {10, 20, 30, 40, 50, 60, 64, 3}, BRIX_BLOCK_IOCSR);
    }
    ~HR_DEVICE() { brix_release_list(arguments); }

    // Adds or replaces a parameter.
    void parameter(unsigned type, const std::vector<unsigned>& values, unsigned block = BRIX_BLOCK_CRAM) {
        remove(type);
        OWNED_LIST<BRIX_CONST_DATA> constants;
        for (unsigned offset = 0; offset < values.size(); ++offset)
            constants.push_back(std::make_unique<BRIX_CONST_DATA>(values[offset], offset));
        parameters()->push_back(new BRIX_PARAMETER(type, static_cast<unsigned>(values.size()), block,
                                                   brix_hand_over_list(constants)));
    }
    void remove(unsigned type) {
        BRIX_PARAMETER_LIST* list = parameters();
        for (auto it = list->begin(); it != list->end(); ++it)
            if ((*it)->get_parameter_type() == type) {
                delete *it;
                list->erase(it);
                return;
            }
    }
    BRIX_PARAMETER_LIST* parameters() {
        if (info.get_parameter_list() == nullptr)
            info.set_parameter_list(new BRIX_PARAMETER_LIST(), false);
        return info.get_parameter_list();
    }

    void build(std::array<uint32_t, 4> range = {}) {
        BRIX_DEVICE_BUILD_INPUT input;
        input.device_info = &info;
        input.parameter_list = parameters();
        input.argument_list = arguments;
        input.mram_valid_range = range;
        build_hr_device(state, input);
    }

    std::vector<uint32_t> argument(BRIX_ARGUMENT_TYPE type) const {
        BRIX_ARG* arg = BRIX_MANAGER::search_argument_from_list(type, arguments, BRIX_BLOCK_CRAM);
        EXPECT_NE(arg, nullptr) << type;
        if (arg == nullptr)
            return {};
        unsigned width = 0;
        std::vector<uint32_t*> rows = BRIX_MANAGER::get_uint_arg_list(arg, width);
        EXPECT_EQ(1u, rows.size());
        return std::vector<uint32_t>(rows[0], rows[0] + width);
    }

    BRIX_DEVICE_BUILD_STATE state;
    BRIX_DEVICE_INFO info;
    BRIX_ARG_LIST* arguments = new BRIX_ARG_LIST();
};

// Standard output of f; the capture ends also when f fails.
template <typename F> std::string captured_stdout(F&& f) {
    testing::internal::CaptureStdout();
    try {
        f();
    } catch (...) {
        std::cerr << testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

TEST(HarrierBuilder, BitMapsOverTheEightLineBus) {
    struct CASE {
        uint32_t bits;
        uint32_t rows;    // F
        uint32_t padding; // datalines with one padding row
    };
    const CASE cases[] = {{100, 13, 4}, {96, 12, 0}, {1, 1, 7}, {8, 1, 0}};
    for (const CASE& c : cases) {
        SCOPED_TRACE("bits " + std::to_string(c.bits));
        HR_DEVICE device(4, c.bits);
        device.build();
        std::vector<uint32_t> sof_to_rbf = device.argument(BRIX_ARGUMENT_SOF_TO_RBF_MAP);
        std::vector<uint32_t> rbf_to_sof = device.argument(BRIX_ARGUMENT_RBF_TO_SOF_MAP);
        ASSERT_EQ(c.bits, sof_to_rbf.size());
        ASSERT_EQ(c.rows * 8, rbf_to_sof.size());
        // Lowest dataline and lowest row first: datalines 0 .. 7 - padding hold F rows, the last `padding`
        // datalines F - 1 rows from row 1 on (their DRA count of 1 leaves row 0 empty).
        uint32_t sof = 0;
        for (uint32_t d = 0; d < 8; ++d) {
            bool padded = d >= 8 - c.padding;
            EXPECT_EQ(padded ? 0xFFFFFFFFu : (c.rows == 0 ? 0 : sof), rbf_to_sof[0 * 8 + d])
                << "dataline " << d;
            for (uint32_t r = padded ? 1 : 0; r < c.rows; ++r, ++sof)
                ASSERT_EQ(r * 8 + d, sof_to_rbf[sof]) << "SOF bit " << sof;
        }
        EXPECT_EQ(c.bits, sof);
        // No G2 maps for this generation.
        EXPECT_EQ(nullptr,
                  BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_G2_SOF_TO_RBF_MAP, device.arguments));
    }
}

TEST(HarrierBuilder, FrameMapsWithMramReversal) {
    struct CASE {
        const char* name;
        bool reverse_mram;
        bool reverse_order;
        std::array<uint32_t, 4> range;
        std::vector<std::pair<uint32_t, uint32_t>> exchanged; // frame pairs whose entries are exchanged
    };
    // MRAM columns at frames 2 and 10, MRAM_COL_SIZE 6, 20 frames.
    const CASE cases[] = {
        {"whole columns", true, false, {0, 0, 0, 0}, {{2, 7}, {3, 6}, {4, 5}, {10, 15}, {11, 14}, {12, 13}}},
        {"frames 2 and 4", true, false, {2, 4, 0, 0}, {{4, 6}, {12, 14}}},
        {"frames 1 to 4", true, false, {1, 4, 0, 0}, {{3, 6}, {4, 5}, {11, 14}, {12, 13}}},
        {"flag clear", false, false, {2, 4, 0, 0}, {}},
        {"reversed order", false, true, {0, 0, 0, 0}, {}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        HR_DEVICE device(20, 16);
        device.state.m_harrier.reverse_mram = c.reverse_mram;
        device.info.set_simplified_mram({2, 10}, {0, 5});
        device.parameter(BRIX_PARAMETER_MRAM_COL_SIZE, {6});
        if (c.reverse_order)
            device.parameter(BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER, {1});
        device.build(c.range);
        std::vector<uint32_t> expected(20);
        for (uint32_t i = 0; i < 20; ++i)
            expected[i] = c.reverse_order ? 19 - i : i;
        for (auto [a, b] : c.exchanged)
            std::swap(expected[a], expected[b]);
        EXPECT_EQ(expected, device.argument(BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP));
        std::vector<uint32_t> inverse(20);
        for (uint32_t i = 0; i < 20; ++i)
            inverse[expected[i]] = i;
        EXPECT_EQ(inverse, device.argument(BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP));
    }
}

TEST(HarrierBuilder, IocsrLeadingPadding) {
    struct CASE {
        unsigned largest;
        bool in_xml;       // the device XML already has the parameter (value 7)
        unsigned expected; // value of IOCSR_LEADING_PADDING_COUNT, 0 for none
        const char* printed;
    };
    const char* line = "      Insert IOCSR Leading Padding count: 1\n";
    const CASE cases[] = {
        {65, false, 1, line}, {64, false, 0, ""}, {66, false, 0, ""}, {129, false, 1, line},
        {1, false, 1, line},  {65, true, 7, ""}, // kept as the XML gives it, not added twice
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE("largest " + std::to_string(c.largest) + (c.in_xml ? " in XML" : ""));
        HR_DEVICE device(4, 16);
        device.parameter(BRIX_PARAMETER_IOCSR_CFF, {0, c.largest, 0, 0, 0, 0, 0, 1}, BRIX_BLOCK_IOCSR);
        if (c.in_xml)
            device.parameter(BRIX_PARAMETER_IOCSR_LEADING_PADDING_COUNT, {7}, BRIX_BLOCK_IOCSR);
        EXPECT_EQ(c.printed, captured_stdout([&] { device.build(); }));
        unsigned count = 0;
        const BRIX_PARAMETER* found = nullptr;
        for (const BRIX_PARAMETER* p : *device.parameters())
            if (p->get_parameter_type() == BRIX_PARAMETER_IOCSR_LEADING_PADDING_COUNT) {
                ++count;
                found = p;
            }
        EXPECT_EQ(c.expected == 0 ? 0u : 1u, count);
        if (found != nullptr) {
            EXPECT_EQ(BRIX_BLOCK_IOCSR, found->get_block_type());
            ASSERT_EQ(1u, found->get_const_values()->size());
            EXPECT_EQ(c.expected, found->get_const_values()->at(0)->get_value());
        }
    }
}

TEST(HarrierBuilder, RefusesBadInputs) {
    struct CASE {
        const char* name;
        std::function<void(HR_DEVICE&)> setup;
        std::array<uint32_t, 4> range;
        const char* condition;
    };
    auto mram = [](std::vector<unsigned> cols, unsigned col_size) {
        return [cols, col_size](HR_DEVICE& device) {
            device.state.m_harrier.reverse_mram = true;
            device.info.set_simplified_mram(cols, {0});
            device.parameter(BRIX_PARAMETER_MRAM_COL_SIZE, {col_size});
        };
    };
    const CASE cases[] = {
        {"no IOCSR_CFF",
         [](HR_DEVICE& device) { device.remove(BRIX_PARAMETER_IOCSR_CFF); },
         {},
         "iocsr != NULL"},
        {"IOCSR_CFF of 7 values",
         [](HR_DEVICE& device) {
             device.parameter(BRIX_PARAMETER_IOCSR_CFF, {1, 2, 3, 4, 5, 6, 7});
         },
         {},
         "iocsr->get_length() == 8"},
        {"no fill flag",
         [](HR_DEVICE& device) { device.remove(BRIX_PARAMETER_BS_CRAM_FILLED_UP_WITH_LOWEST_WORD); },
         {},
         "support"},
        // Column 16 + 6 frames runs past the 20 frames.
        {"MRAM column past the frames",
         mram({2, 16}, 6),
         {0, 0, 0, 0},
         "mram_col + offset + span <= m_frame_count"},
        {"range beyond the column",
         mram({2}, 6),
         {2, 6, 0, 0},
         "mram_col_size > 0 && mram_valid_range[0] < mram_col_size && mram_valid_range[1] < mram_col_size"},
        {"range end below its start",
         mram({2}, 6),
         {4, 2, 0, 0},
         "(mram_valid_range[1] - mram_valid_range[0]) < mram_col_size"},
        {"MRAM columns without rows",
         [](HR_DEVICE& device) {
             device.state.m_harrier.reverse_mram = true;
             device.info.set_simplified_mram({2}, {});
         },
         {},
         "rows.size() > 0"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        HR_DEVICE device(20, 16);
        c.setup(device);
        EXPECT_BRIX_ERROR(device.build(c.range), c.condition);
    }
    // The IOCSR report names the parameter.
    HR_DEVICE device(20, 16);
    device.remove(BRIX_PARAMETER_IOCSR_CFF);
    BRIX_INTERNAL_ERROR error = catch_brix_error([&] { device.build(); });
    EXPECT_EQ((std::vector<std::string>{"parameter IOCSR_CFF"}), error.context());
}

TEST(HarrierRbaParser, CollectsMramPositions) {
    TEMP_DIR dir;
    const std::string path = dir.file("hr.rba");
    // field 0 kind, 1-2 unused, 3-4 start and end row, 5-6 start and end column, 7-8 unused.
    // Only a line whose first word is the MRAM string counts: not a longer word that begins with it, not
    // the string inside or after another word. The last line may lack its end.
    write_text_file(path, "$BLOCK_HEADER\n"
                          "  MRAM X8Y1 0 70 139 8 9 0 0\n"
                          "L X0Y0 1 0 69 0 0\n"
                          "MRAMX X1Y0 0 0 69 1 1 0 0\n"
                          "xMRAM X1Y0 0 0 69 1 1 0 0\n"
                          "L MRAM 0 0 69 1 1 0 0\n"
                          "MRAM X3Y0 0 0 69 3 4 0 0\r\n"
                          "\n"
                          "\tMRAM\tX8Y0 0 0 69 8 9 0 0");
    BRIX_DEVICE_BUILD_STATE state;
    state.m_rba_mram_string = "MRAM";
    BRIX_RBA_INFO info;
    parse_hr_rba(state, path, info);
    EXPECT_EQ(2u, info.mram_col_size);
    EXPECT_EQ(70u, info.mram_row_size);
    EXPECT_EQ((std::vector<uint32_t>{3, 8}), state.m_simplified_mram_col);
    EXPECT_EQ((std::vector<uint32_t>{0, 70}), info.simplified_mram_row);
    ASSERT_EQ(2u, info.mram_info.size());
    EXPECT_EQ(3u, info.mram_info[0]->get_col());
    EXPECT_EQ((std::vector<unsigned>{0}), info.mram_info[0]->get_rows());
    EXPECT_EQ(8u, info.mram_info[1]->get_col());
    EXPECT_EQ((std::vector<unsigned>{70, 0}), info.mram_info[1]->get_rows()); // file order
    EXPECT_TRUE(info.lutram_info.empty());

    struct CASE {
        const char* text;
        const char* condition;
    };
    const CASE cases[] = {
        {"MRAM X0 0 0 69 3 4 0\n", "svec.size() == 9"},
        {"MRAM X0 0 0 69 3 4 0 0\nMRAM X0 0 0 69 5 7 0 0\n",
         "mram_col_size == (end_column - start_column + 1)"},
        {"MRAM X0 0 0 69 3 4 0 0\nMRAM X0 0 70 130 5 6 0 0\n", "mram_row_size == (end_row - start_row + 1)"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.text);
        write_text_file(path, c.text);
        BRIX_RBA_INFO bad;
        EXPECT_BRIX_ERROR(parse_hr_rba(state, path, bad), c.condition);
    }
    // A text that places no block (empty, blank, or only comments, markers and short lines) is refused at its
    // end.
    for (const char* text :
         {"", "\n \t\n", "# MRAM X0 0 0 69 3 4 0 0\n$BLOCKS 0 0 69 3 4 0 0\nMRAM X0 1\n"}) {
        SCOPED_TRACE(text);
        write_text_file(path, text);
        BRIX_RBA_INFO bad;
        const BRIX_INTERNAL_ERROR error = catch_brix_error([&] { parse_hr_rba(state, path, bad); });
        EXPECT_EQ("RBA file has no block line", error.condition());
        EXPECT_EQ((std::vector<std::string>{path, "end of file"}), error.context());
    }
    // The report names the file and the MRAM line, counted over every line before it.
    write_text_file(path, "L X0 1 0 69 0 0\n\nM MRAM\nMRAM X0 0 0 69 3 4 0 0\nMRAM X0 0 0 69 3 4 0\n");
    BRIX_RBA_INFO bad;
    const BRIX_INTERNAL_ERROR error = catch_brix_error([&] { parse_hr_rba(state, path, bad); });
    EXPECT_EQ("svec.size() == 9", error.condition());
    EXPECT_EQ((std::vector<std::string>{path, "line 5"}), error.context());
    BRIX_RBA_INFO none;
    EXPECT_BRIX_ERROR(parse_hr_rba(state, dir.file("missing.rba"), none), "rba_infile.good()");
    state.m_rba_mram_string.clear();
    EXPECT_BRIX_ERROR(parse_hr_rba(state, path, none), "!mram_string.empty()");
}

} // namespace

namespace {

// The generated inputs of the sample device HARRIER_D1 in a private installation.
struct SAMPLE_HARRIER {
    SAMPLE_HARRIER() {
        const int made =
            run_command("mkdir -p " + thr_shell_quote(installation + "devdb/programmer") + " " +
                        thr_shell_quote(installation + "rba") + " && cp " +
                        thr_shell_quote(BRIX_SOURCE_DIR "/samples/vantrel/devdb/device_table.json") + " " +
                        thr_shell_quote(installation + "devdb/"))
                .status;
        generated = run_command(
            thr_shell_command({BRIX_GEN_EXE, "--description", BRIX_SOURCE_DIR "/samples/sample_devices.json",
                               "--installation", installation, "--out", out, "--device", "HARRIER_D1"}));
        if (made != 0)
            generated.status = made;
    }
    TEMP_DIR dir;
    const std::string installation = dir.file("vantrel") + "/";
    const std::string out = dir.file("devices");
    const std::string device_dir = out + "/harrier_d1";
    COMMAND_RESULT generated;
};

} // namespace

// A generated sample HARRIER device builds through the tool in test mode and in normal mode, each database
// with the HARRIER maps and one phantomless row per frame.
TEST(HarrierDeviceBuild, SampleDeviceInTestAndNormalMode) {
    SAMPLE_HARRIER sample;
    ASSERT_EQ(0, sample.generated.status) << sample.generated.err;
    const std::string& installation = sample.installation;
    const std::string env = "BRIX_VANTREL_PATH=" + thr_shell_quote(installation) + " ";
    const std::string& device_dir = sample.device_dir;
    COMMAND_RESULT test_mode =
        run_command(env + thr_shell_command({BRIX_EXE, "-device", "-test", device_dir + "/harrier_d1.xml"}));
    ASSERT_EQ(0, test_mode.status) << test_mode.err;
    EXPECT_EQ(
        "      Insert IOCSR Leading Padding count: 1\n\n      Faking the Flash IP from column 431 till 431\n",
        test_mode.out);
    COMMAND_RESULT normal = run_command("cd " + thr_shell_quote(device_dir) + " && " + env +
                                        thr_shell_command({BRIX_EXE, "-device", "harrier_d1"}));
    ASSERT_EQ(0, normal.status) << normal.err;
    EXPECT_NE(std::string::npos,
              normal.out.find("\n      Building PhantomLess Database using HarRier flow\n"));

    for (const std::string& database :
         {device_dir + "/harrier_d1.ddb", installation + "devdb/programmer/harrier_d1_brix.ddb"}) {
        SCOPED_TRACE(database);
        COMMAND_RESULT dump = run_command(thr_shell_command({BRIX_DUMP_EXE, database}));
        ASSERT_EQ(0, dump.status) << dump.err;
        nlohmann::json info = nlohmann::json::parse(dump.out)["BRIX_INFO"]["m_device_info"];
        std::map<std::string, size_t> rows;
        for (const auto& argument : info["m_arguments"])
            rows[argument["m_arg_type"]["name"].get<std::string>()] = argument["m_data"].size();
        EXPECT_EQ(432u, rows["PHANTOMLESS_MAP"]);
        for (const char* name : {"CRAM_SOF_FRAME_TO_BS_FRAME_MAP", "CRAM_BS_FRAME_TO_SOF_FRAME_MAP",
                                 "SOF_TO_RBF_MAP", "RBF_TO_SOF_MAP"})
            EXPECT_EQ(1u, rows[name]) << name;
        std::set<std::string> parameters;
        for (const auto& parameter : info["m_parameters"])
            parameters.insert(parameter["m_parameter_type"]["name"].get<std::string>());
        for (const char* name : {"MRAM_COL_SIZE", "MRAM_ROW_SIZE", "IOCSR_LEADING_PADDING_COUNT"})
            EXPECT_TRUE(parameters.count(name)) << name;
    }
}

// The unpacked RBA text is read from memory while its file is written beside the build. When that write
// fails, the build fails as the unpacking command would (the packed file and the reason named), also when a
// later step fails too, and before any database is written: the previous RBA file stays and nothing else is
// left. When only the later step fails, the RBA file landed whole and goes with the failed build.
TEST(HarrierDeviceBuild, RbaFileWrittenBesideTheBuildFailsAsTheUnpacking) {
    SAMPLE_HARRIER sample;
    ASSERT_EQ(0, sample.generated.status) << sample.generated.err;
    VANTREL_PATH_GUARD installation(sample.installation);
    const std::string xml = sample.device_dir + "/harrier_d1.xml";
    const std::string rba = sample.device_dir + "/harrier_d1.rba";
    const std::string block_map = sample.installation + "unshipped/pgm_db/harrier_l_cram.map";
    auto build = [&] {
        testing::internal::CaptureStdout();
        BRIX_INTERNAL_ERROR error = catch_brix_error([&] {
            build_device(BRIX_BUILD_CONTEXT({true, true, false}), xml);
        });
        testing::internal::GetCapturedStdout();
        return error;
    };
    auto listing = [&] { return run_command("ls " + thr_shell_quote(sample.device_dir)).out; };

    testing::internal::CaptureStdout();
    build_device(BRIX_BUILD_CONTEXT({true, true, false}), xml);
    testing::internal::GetCapturedStdout();
    LARGE_TEXT unpacked;
    FIO_FILE_SYSTEM::gunzip_to_memory(rba + "z", unpacked);
    const std::string text(unpacked.view());
    EXPECT_EQ(text, read_text_file(rba));
    EXPECT_EQ("harrier_d1.ddb\nharrier_d1.rba\nharrier_d1.rbaz\nharrier_d1.xml\n", listing());

    struct CASE {
        const char* what;
        bool write_fails;
        bool block_map_missing;
    };
    const CASE cases[] = {{"write fails", true, false},
                          {"write and a later step fail", true, true},
                          {"a later step fails", false, true}};
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(FIO_FILE_SYSTEM::remove_file(sample.device_dir + "/harrier_d1.ddb"));
        write_text_file(rba, "previous\n");
        if (c.block_map_missing) {
            ASSERT_EQ(0, std::rename(block_map.c_str(), (block_map + ".away").c_str()));
        }
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(c.write_fails ? 1000 : -1);
        const BRIX_INTERNAL_ERROR error = build();
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
        if (c.block_map_missing) {
            ASSERT_EQ(0, std::rename((block_map + ".away").c_str(), block_map.c_str()));
        }
        if (c.write_fails) {
            EXPECT_EQ("thr_system(cmd.c_str()) == 0", error.condition());
            EXPECT_EQ((std::vector<std::string>{rba + "z: Unable to write " + rba +
                                                ": write (No space left on device)"}),
                      error.context());
            EXPECT_EQ("previous\n", read_text_file(rba));
        } else {
            // The text this failed build wrote goes with it.
            EXPECT_EQ(block_map + " file does not exist", error.condition());
        }
        EXPECT_EQ(c.write_fails ? "harrier_d1.rba\nharrier_d1.rbaz\nharrier_d1.xml\n"
                                : "harrier_d1.rbaz\nharrier_d1.xml\n",
                  listing());
    }
}
