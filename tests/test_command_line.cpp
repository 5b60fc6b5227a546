// The build_brix command line: parsing errors, help, listing and the choice of the operation, checked on the
// built executable (standard output and exit status byte for byte).
#include "batch/brix_batch.h"
#include "cli/brix_main.h"
#include "test_support.h"
#include "thr.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string FORMAT = "\n\n"
                           "Format:\n"
                           "   1) FLAG: --flag\n"
                           "   2) INTEGER: --integer=123\n"
                           "   3) STRING: --string=abc or --string=\"abc\"\n";

// The argument listing with every option at its default.
const std::string DEFAULT_LISTING = "\n\n*********** Updated Arguments ***********\n\n"
                                    "List of FLAG arguments:\n"
                                    "   0) help (FALSE) : This is to print the help menu\n"
                                    "   1) unit_test (FALSE) : This enable the internal unit test\n"
                                    "   2) print_argument (FALSE) : This is to print the argument\n"
                                    "   3) family_xml (FALSE) : This is to generate BRIX from family XML\n"
                                    "   4) device_xml (FALSE) : This is to generate BRIX from deivce XML\n"
                                    "   5) device (FALSE) : This is to generate BRIX from family\n"
                                    "   6) parse_ob_bcm (FALSE) : This is to parse Option Bits BCM XML\n"
                                    "   7) test (FALSE) : This is to enter test mode\n"
                                    "   8) debug (FALSE) : This is to enter debug mode\n"
                                    "   9) all_brix (FALSE) : This is to build all device BRIX\n"
                                    "   10) all_rba (FALSE) : This is to build all device PGM RBA\n"
                                    "   11) all_cram_map (FALSE) : This is to build all CRAM map\n"
                                    "   12) all_fid (FALSE) : This is to build all FID\n"
                                    "   13) all_pcf (FALSE) : This is to build all 28nm device PCF\n"
                                    "\n"
                                    "List of INTEGER arguments:\n"
                                    "   0) phantomless_split_col (-1) : This is to print phantomless info\n"
                                    "   1) version (-1) : This is specify operation version\n"
                                    "   2) debug_level (0) : This is debug message display level\n"
                                    "\n"
                                    "List of STRING arguments:\n"
                                    "   0) rba () : This is to build CRAM RBA\n"
                                    "   1) cram_map () : This is to build family cram map\n"
                                    "   2) fid () : This is to build FID\n"
                                    "\n";

const std::string USAGE = "\n\n*********** Usage ***********\n\n"
                          "Usage:  \n"
                          "\t 1) To build family XML\n\n"
                          "\t      build_brix -family_xml <xmls>\n\n"
                          "\t 2) To build device XML\n\n"
                          "\t      build_brix -device_xml <xmls>\n\n"
                          "\t 3) To build device (RBA, RIF, XML)\n\n"
                          "\t      build_brix -device <device name>\n\n"
                          "\t 4) To parse Option Bits BCM XML\n\n"
                          "\t      build_brix -parse_ob_bcm <input.bcm.xml>\n\n"
                          "\t 5) To parse Programmer CRAM RBA\n\n"
                          "\t      build_brix -rba<PCF name> <input.rba>\n\n"
                          "\t 6) To parse Programmer CRAM MAP\n\n"
                          "\t      build_brix -cram_map=<family>\n\n"
                          "\t 7) To build FID\n\n"
                          "\t      build_brix -fid=<device>\n\n"
                          "\t 8) To build all supported files\n\n"
                          "\t      build_brix -all_brix\n"
                          "\t      build_brix -all_rba\n"
                          "\t      build_brix -all_cram_map\n"
                          "\t      build_brix -all_fid\n"
                          "\t      build_brix -all_pcf\n";

const std::string MISSING_OPERATION = "\nMissing valid operation\n\n" + FORMAT + DEFAULT_LISTING + USAGE;

// The default listing with some lines replaced ("from" -> "to").
std::string listing_with(const std::vector<std::pair<std::string, std::string>>& changes) {
    std::string text = DEFAULT_LISTING;
    for (const auto& change : changes) {
        size_t at = text.find(change.first);
        EXPECT_NE(std::string::npos, at) << change.first;
        if (at != std::string::npos)
            text.replace(at, change.first.size(), change.second);
    }
    return text;
}

// The full help as printed with some options set.
std::string help_with(const std::vector<std::pair<std::string, std::string>>& changes) {
    return FORMAT + listing_with(changes) + USAGE;
}

struct CLI_CASE {
    const char* what;
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string err_part; // text expected in standard error; empty: standard error must be empty
};

const std::string NOT_A_WRIK_TREE = "directory.rfind(\"/wrik/vantrel/\") == (directory.size() - 14)";

std::string command_line(const std::vector<std::string>& args) {
    std::string line = std::string("'") + BRIX_EXE + "'";
    for (const std::string& arg : args)
        line += " '" + arg + "'";
    return line;
}

} // namespace

TEST(CommandLine, OutputAndExitStatusOfTheExecutable) {
    const std::string CRAM_MAP_START = "\n   Building CRAM Map file ... \n\n   Checking PCF ... \n\n";
    // Integer values in decimal and hexadecimal, with and without sign.
    const std::vector<std::pair<std::string, std::string>> NUMBERS_SET = {
        {"print_argument (FALSE)", "print_argument (TRUE)"},
        {"phantomless_split_col (-1)", "phantomless_split_col (-12)"},
        {"version (-1)", "version (31)"},
        {"debug_level (0)", "debug_level (-16)"}};
    const std::vector<CLI_CASE> cases = {
        // Help and informational options.
        {"upper-case help", {"--HELP"}, help_with({{"help (FALSE)", "help (TRUE)"}}), 0, ""},
        {"help wins over an operation",
         {"-help", "--family_xml", "a.xml"},
         help_with({{"help (FALSE)", "help (TRUE)"}, {"family_xml (FALSE)", "family_xml (TRUE)"}}),
         0,
         ""},
        {"no arguments", {}, MISSING_OPERATION, 8, ""},
        {"self-test", {"--unit_test"}, "", 0, ""},
        {"self-test with count",
         {"--unit_test", "--debug_level=1"},
         "Total of supported argument count: 20\n",
         0,
         ""},
        // Parse errors: the first bad argument decides; later ones are not examined.
        {"duplicate flag, name as typed", {"--help", "--Help"}, "Duplication FLAG argument: Help\n", 3, ""},
        {"duplicate integer",
         {"--debug_level=1", "--DEBUG_LEVEL=2"},
         "Duplication INTEGER argument: DEBUG_LEVEL\n",
         3,
         ""},
        {"only dashes", {"---"}, "Argument:  () is not supported\n", 2, ""},
        {"unknown option stops the parse",
         {"--bogus=1", "--help", "--help"},
         "Argument: bogus (bogus=1) is not supported\n",
         2,
         ""},
        {"flag with value",
         {"--test=1"},
         "FLAG argument shouldn't have \"=\" sign and any value: test (test=1)\n",
         4,
         ""},
        {"string without =",
         {"--rba"},
         "INT and STR argument expected to have \"=\" between argument and value: rba\n",
         4,
         ""},
        {"string with empty value",
         {"--rba="},
         "INT and STR argument's value cannot be empty string: rba (rba=)\n",
         4,
         ""},
        {"upper-case hex prefix",
         {"--version=0X1F"},
         "Unable to convert the argument's value to integer: version\n",
         5,
         ""},
        {"hex digits without prefix",
         {"--Version=1f"},
         "Unable to convert the argument's value to integer: version\n",
         5,
         ""},
        {"error after a valid option",
         {"--device", "--version=12a"},
         "Unable to convert the argument's value to integer: version\n",
         5,
         ""},
        // Listing of the values; the chosen operation still runs afterwards.
        {"listing then missing operation",
         {"--print_argument", "--version=0x1f", "--phantomless_split_col=-12", "--debug_level=-0x10"},
         listing_with(NUMBERS_SET) + USAGE + "\nMissing valid operation\n\n" + help_with(NUMBERS_SET),
         8,
         ""},
        {"listing with file paths then the device build",
         {"--print_argument", "--device", "--rba=a=b", "a-b.xml", "granite_d1"},
         listing_with({{"print_argument (FALSE)", "print_argument (TRUE)"},
                       {") device (FALSE)", ") device (TRUE)"},
                       {"rba ()", "rba (a=b)"}}) +
             "\nList of filepaths:\n   0) a-b.xml\n   1) granite_d1\n\n" + USAGE,
         1,
         "Internal error: Device is not valid in DEV database"},
        // Dispatch order: the first operation set runs. The tests' installation is not in a "wrik" tree, so
        // the batches that fetch sources stop at the source-tree check; unbuilt operations end with their
        // report.
        {"all_brix before all_rba", {"--all_rba", "--all_brix"}, "", 1, NOT_A_WRIK_TREE},
        {"all_rba before all_cram_map", {"--all_cram_map", "--all_rba"}, "", 1, NOT_A_WRIK_TREE},
        {"all_pcf before single builds", {"--family_xml", "--all_pcf", "a.xml"}, "", 1, NOT_A_WRIK_TREE},
        {"family_xml before device_xml",
         {"--device_xml", "--family_xml", "a.xml"},
         "",
         1,
         "Internal error: Invalid family XML naming or file does not exist"},
        {"device_xml before device",
         {"--device", "--device_xml", "a.xml"},
         "",
         1,
         "Internal error: Device is not valid in DEV database"},
        {"device before parse_ob_bcm",
         {"--parse_ob_bcm", "--device", "a"},
         "",
         1,
         "Internal error: Device is not valid in DEV database"},
        {"parse_ob_bcm",
         {"--parse_ob_bcm", "a", "b", "c"},
         "\nInvalid file extension (.bcm.xml) or file does not exist\n\n",
         1,
         "Internal error: Option-bit BCM conversion failed\n   module BRIX, source brix_helper, line"},
        {"file operation without files", {"--device"}, "\nMissing any input files\n\n", 6, ""},
        {"file operation beats strings",
         {"--cram_map=GRANITE", "--parse_ob_bcm"},
         "\nMissing any input files\n\n",
         6,
         ""},
        {"rba needs a file path",
         {"--rba=GRANITE_D1"},
         "\nMissing valid operation\n\n" + help_with({{"rba ()", "rba (GRANITE_D1)"}}),
         8,
         ""},
        {"rba before cram_map",
         {"--cram_map=GRANITE", "--rba=GRANITE_D1", "in.rba"},
         "",
         1,
         "FIO_FILE_SYSTEM::exists(rba_file.c_str())"}, // the rba builder runs and finds no in.rba
        // SLATE has no CRAM map texts: the cram_map builder runs and stops at its family check.
        {"rba without path falls to cram_map",
         {"--rba=GRANITE_D1", "--cram_map=SLATE"},
         CRAM_MAP_START,
         1,
         "cram_map_index != DWORD(-1)"},
        {"cram_map before fid",
         {"--fid=GRANITE_D1", "--cram_map=SLATE"},
         CRAM_MAP_START,
         1,
         "cram_map_index != DWORD(-1)"},
        {"fid", {"--fid=KESTREL_D1"}, "", 1, "fid_index != DWORD(-1)"}, // the fid builder runs
    };
    for (const CLI_CASE& c : cases) {
        SCOPED_TRACE(c.what);
        COMMAND_RESULT r = run_command(command_line(c.args));
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.out, r.out);
        if (c.err_part.empty())
            EXPECT_EQ("", r.err);
        else
            EXPECT_NE(std::string::npos, r.err.find(c.err_part)) << r.err;
    }
    // all_cram_map before all_fid: the CRAM map batch runs (in an installation with only the device table,
    // so there are no PGM RBA databases, it writes nothing and its rows fail) and the FID batch does not.
    TEMP_DIR installation;
    std::filesystem::create_directories(installation.file("devdb"));
    std::filesystem::copy_file(std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/devdb/device_table.json",
                               installation.file("devdb/device_table.json"));
    COMMAND_RESULT r = run_command("BRIX_VANTREL_PATH=" + thr_shell_quote(installation.path() + "/") + " " +
                                   command_line({"--all_fid", "--all_cram_map"}));
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("\n   Building CRAM Map file ... \n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Batch report all_cram_map: 0 Pass, 2 Fail\n"));
    EXPECT_EQ(std::string::npos, r.out.find("all_fid"));

    // all_fid before all_pcf, in the same installation (the sample one gets phantom images from the sample
    // generator): the first FID of the batch has no phantom image.
    r = run_command("BRIX_VANTREL_PATH=" + thr_shell_quote(installation.path() + "/") + " " +
                    command_line({"--all_pcf", "--all_fid"}));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("thr_system(cmd.c_str()) == 0")) << r.err;
}

TEST(CommandLine, CallableTwiceInOneProcess) {
    // Option variables start from their defaults on every call: a flag given in the first call is not seen
    // (nor reported as a duplicate) in the second.
    std::vector<std::string> first = {"build_brix", "--unit_test"};
    std::vector<std::string> second = {"build_brix", "--unit_test", "--print_argument"};
    for (auto* args : {&first, &second}) {
        std::vector<char*> argv;
        for (std::string& arg : *args)
            argv.push_back(&arg[0]);
        testing::internal::CaptureStdout();
        int status = brix_main(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ(0, status);
    }
}

TEST(CommandLine, SelfTestFindsTableDefects) {
    bool flag = false;
    struct TABLE_CASE {
        const char* what;
        std::vector<BRIX_MAIN_ARG_STRUCT> rows;
        std::string condition;
    };
    const std::vector<TABLE_CASE> cases = {
        {"duplicate ignoring case",
         {{"alpha", BRIX_MAIN_ARG_FLAG, &flag, "a"},
          {"beta", BRIX_MAIN_ARG_FLAG, &flag, "b"},
          {"BETA", BRIX_MAIN_ARG_FLAG, &flag, "c"},
          {"", BRIX_MAIN_MAX_ARG, nullptr, ""}},
         "Found duplicated argument beta"},
        {"kind out of range",
         {{"alpha", BRIX_MAIN_MAX_ARG, &flag, "a"}, {"", BRIX_MAIN_MAX_ARG, nullptr, ""}},
         "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].type < BRIX_MAIN_MAX_ARG"},
        {"negative kind",
         {{"alpha", -1, &flag, "a"}, {"", BRIX_MAIN_MAX_ARG, nullptr, ""}},
         "Unsupported ARG type"},
        {"no variable",
         {{"alpha", BRIX_MAIN_ARG_FLAG, nullptr, "a"}, {"", BRIX_MAIN_MAX_ARG, nullptr, ""}},
         "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].ptr != NULL"},
        {"terminator with a kind",
         {{"alpha", BRIX_MAIN_ARG_FLAG, &flag, "a"}, {"", BRIX_MAIN_ARG_FLAG, nullptr, ""}},
         "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].type == BRIX_MAIN_MAX_ARG"},
        {"terminator with a variable",
         {{"alpha", BRIX_MAIN_ARG_FLAG, &flag, "a"}, {"", BRIX_MAIN_MAX_ARG, &flag, ""}},
         "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].ptr == NULL"},
        {"terminator with a comment",
         {{"alpha", BRIX_MAIN_ARG_FLAG, &flag, "a"}, {"", BRIX_MAIN_MAX_ARG, nullptr, "x"}},
         "std::string(BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].comment) == \"\""},
    };
    for (const TABLE_CASE& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_BRIX_ERROR(brix_main_check_arg_table(c.rows.data()), c.condition);
    }
    // A table without a terminator is caught after 500 rows.
    std::vector<std::string> names;
    for (int i = 0; i < 501; ++i)
        names.push_back("option" + std::to_string(i));
    std::vector<BRIX_MAIN_ARG_STRUCT> long_table;
    for (const std::string& name : names)
        long_table.push_back({name.c_str(), BRIX_MAIN_ARG_FLAG, &flag, "x"});
    long_table.push_back({"", BRIX_MAIN_MAX_ARG, nullptr, ""});
    EXPECT_BRIX_ERROR(
        brix_main_check_arg_table(long_table.data()),
        "So suspicious... FLAG group has more than 500 args, do you forget to terminate the list?");
    // The program's own table passes.
    brix_main_check_arg_table(BRIX_MAIN_ARG_STRUCT_LIST);
}

TEST(CommandLine, ParseOnlyNeitherPrintsHelpNorDispatches) {
    struct PARSE_CASE {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    // Operations that would fail or print when dispatched come back as status 0 with no output; the
    // parse errors keep their message and status.
    const std::vector<PARSE_CASE> cases = {
        {{"build_brix", "--family_xml", "missing_family.xml"}, 0, ""},
        {{"build_brix", "--help", "--print_argument"}, 0, ""},
        {{"build_brix"}, 0, ""},
        {{"build_brix", "--fid=X", "--rba"},
         4,
         "INT and STR argument expected to have \"=\" between argument and value: rba\n"},
        {{"build_brix", "--device", "--DEVICE"}, 3, "Duplication FLAG argument: DEVICE\n"},
    };
    for (PARSE_CASE c : cases) {
        std::vector<char*> argv;
        for (std::string& arg : c.args)
            argv.push_back(&arg[0]);
        testing::internal::CaptureStdout();
        int status = -1;
        EXPECT_NO_THROW(status = brix_main_parse(static_cast<int>(argv.size()), argv.data()));
        EXPECT_EQ(c.out, testing::internal::GetCapturedStdout()) << c.args[1];
        EXPECT_EQ(c.status, status);
    }
}
