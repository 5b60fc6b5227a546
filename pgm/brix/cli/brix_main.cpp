// Command line, help, argument listing and the dispatch of the one operation of a run.
#include "cli/brix_main.h"

#include "cli/brix_operations.h"
#include "gen.h"
#include "msg_internal_error.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

// Option variables: process-wide, reset by brix_main before each parse.
namespace arg {
bool help = false;
bool unit_test = false;
bool print_argument = false;
bool family_xml = false;
bool device_xml = false;
bool device = false;
bool parse_ob_bcm = false;
bool test = false;
bool debug = false;
bool all_brix = false;
bool all_rba = false;
bool all_cram_map = false;
bool all_fid = false;
bool all_pcf = false;
int32_t phantomless_split_col = -1;
int32_t version = -1;
int32_t debug_level = 0;
std::string rba;
std::string cram_map;
std::string fid;
} // namespace arg

// Every command-line argument that does not begin with "-", in order.
std::vector<std::string> file_paths;
// One bit per table row: whether the option was given.
std::vector<bool> check_list;
// Row being processed by the parser, the listings and the self-test.
size_t m_current_arg_index = 0;

const char* const ARG_TYPE_NAMES[] = {"FLAG", "INTEGER", "STRING"};

void reset_arguments() {
    arg::help = arg::unit_test = arg::print_argument = false;
    arg::family_xml = arg::device_xml = arg::device = arg::parse_ob_bcm = false;
    arg::test = arg::debug = false;
    arg::all_brix = arg::all_rba = arg::all_cram_map = arg::all_fid = arg::all_pcf = false;
    arg::phantomless_split_col = -1;
    arg::version = -1;
    arg::debug_level = 0;
    arg::rba.clear();
    arg::cram_map.clear();
    arg::fid.clear();
    file_paths.clear();
    check_list.clear();
    m_current_arg_index = 0;
}

} // namespace

const BRIX_MAIN_ARG_STRUCT BRIX_MAIN_ARG_STRUCT_LIST[] = {
    {"help", BRIX_MAIN_ARG_FLAG, &arg::help, "This is to print the help menu"},
    {"unit_test", BRIX_MAIN_ARG_FLAG, &arg::unit_test, "This enable the internal unit test"},
    {"print_argument", BRIX_MAIN_ARG_FLAG, &arg::print_argument, "This is to print the argument"},
    {"family_xml", BRIX_MAIN_ARG_FLAG, &arg::family_xml, "This is to generate BRIX from family XML"},
    {"device_xml", BRIX_MAIN_ARG_FLAG, &arg::device_xml, "This is to generate BRIX from deivce XML"},
    {"device", BRIX_MAIN_ARG_FLAG, &arg::device, "This is to generate BRIX from family"},
    {"parse_ob_bcm", BRIX_MAIN_ARG_FLAG, &arg::parse_ob_bcm, "This is to parse Option Bits BCM XML"},
    {"test", BRIX_MAIN_ARG_FLAG, &arg::test, "This is to enter test mode"},
    {"debug", BRIX_MAIN_ARG_FLAG, &arg::debug, "This is to enter debug mode"},
    {"all_brix", BRIX_MAIN_ARG_FLAG, &arg::all_brix, "This is to build all device BRIX"},
    {"all_rba", BRIX_MAIN_ARG_FLAG, &arg::all_rba, "This is to build all device PGM RBA"},
    {"all_cram_map", BRIX_MAIN_ARG_FLAG, &arg::all_cram_map, "This is to build all CRAM map"},
    {"all_fid", BRIX_MAIN_ARG_FLAG, &arg::all_fid, "This is to build all FID"},
    {"all_pcf", BRIX_MAIN_ARG_FLAG, &arg::all_pcf, "This is to build all 28nm device PCF"},
    {"phantomless_split_col", BRIX_MAIN_ARG_INTEGER, &arg::phantomless_split_col,
     "This is to print phantomless info"},
    {"version", BRIX_MAIN_ARG_INTEGER, &arg::version, "This is specify operation version"},
    {"debug_level", BRIX_MAIN_ARG_INTEGER, &arg::debug_level, "This is debug message display level"},
    {"rba", BRIX_MAIN_ARG_STRING, &arg::rba, "This is to build CRAM RBA"},
    {"cram_map", BRIX_MAIN_ARG_STRING, &arg::cram_map, "This is to build family cram map"},
    {"fid", BRIX_MAIN_ARG_STRING, &arg::fid, "This is to build FID"},
    {"", BRIX_MAIN_MAX_ARG, nullptr, ""},
};

namespace {

// Reads an INTEGER option value: optional leading "-", then "0x" + hexadecimal digits or decimal digits.
// Digits accumulate modulo 2^32; an empty digit string is 0. False when any other character appears.
bool convert_integer_value(const std::string& value, int32_t& result) {
    size_t pos = 0;
    bool negative = false;
    if (pos < value.size() && value[pos] == '-') {
        negative = true;
        ++pos;
    }
    uint32_t base = 10;
    if (value.compare(pos, 2, "0x") == 0) {
        base = 16;
        pos += 2;
    }
    uint32_t number = 0;
    for (; pos < value.size(); ++pos) {
        char c = value[pos];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else
            return false;
        number = number * base + digit;
    }
    if (negative)
        number = 0u - number;
    result = static_cast<int32_t>(number);
    return true;
}

// Handles one option (its text without the leading dashes); returns 0 or the exit status of its error.
int parse_option(const std::string& text) {
    size_t equal = text.find('=');
    bool has_value = equal != std::string::npos;
    std::string name = has_value ? text.substr(0, equal) : text;
    std::string value = has_value ? text.substr(equal + 1) : std::string();

    std::string upper_name = stl_upper(name);
    const BRIX_MAIN_ARG_STRUCT* row = nullptr;
    for (m_current_arg_index = 0; m_current_arg_index < check_list.size(); ++m_current_arg_index) {
        if (stl_upper(BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].name) == upper_name) {
            row = &BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index];
            break;
        }
    }
    if (row == nullptr) {
        std::cout << "Argument: " << name << " (" << text << ") is not supported\n";
        return 2;
    }
    if (check_list[m_current_arg_index]) {
        std::cout << "Duplication " << ARG_TYPE_NAMES[row->type] << " argument: " << name << "\n";
        return 3;
    }
    check_list[m_current_arg_index] = true;

    if (row->type == BRIX_MAIN_ARG_FLAG) {
        if (has_value) {
            std::cout << "FLAG argument shouldn't have \"=\" sign and any value: " << name << " (" << text
                      << ")\n";
            return 4;
        }
        bool* flag = static_cast<bool*>(row->ptr);
        *flag = !*flag;
        return 0;
    }
    if (!has_value) {
        std::cout << "INT and STR argument expected to have \"=\" between argument and value: " << name
                  << "\n";
        return 4;
    }
    if (value.empty()) {
        std::cout << "INT and STR argument's value cannot be empty string: " << name << " (" << text << ")\n";
        return 4;
    }
    if (row->type == BRIX_MAIN_ARG_STRING) {
        *static_cast<std::string*>(row->ptr) = value;
        return 0;
    }
    int32_t number = 0;
    if (!convert_integer_value(value, number)) {
        std::cout << "Unable to convert the argument's value to integer: " << row->name << "\n";
        return 5;
    }
    *static_cast<int32_t*>(row->ptr) = number;
    return 0;
}

int parse_command_line(int argc, char** argv) {
    check_list.clear();
    for (size_t i = 0; BRIX_MAIN_ARG_STRUCT_LIST[i].name[0] != '\0'; ++i)
        check_list.push_back(false);
    BRIX_CHECK(check_list.size() > 0, "check_list.size() > 0");
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-') {
            file_paths.push_back(arg);
            continue;
        }
        // All leading dashes go: -device, --device and ---device are the same option.
        size_t dashes = arg.find_first_not_of('-');
        int status = parse_option(dashes == std::string::npos ? std::string() : arg.substr(dashes));
        if (status != 0)
            return status;
    }
    return 0;
}

std::string current_value(const BRIX_MAIN_ARG_STRUCT& row) {
    switch (row.type) {
    case BRIX_MAIN_ARG_FLAG:
        return *static_cast<const bool*>(row.ptr) ? "TRUE" : "FALSE";
    case BRIX_MAIN_ARG_INTEGER:
        return std::to_string(*static_cast<const int32_t*>(row.ptr));
    case BRIX_MAIN_ARG_STRING:
        return *static_cast<const std::string*>(row.ptr);
    default:
        BRIX_REPORT("Unsupported ARG type");
    }
}

void print_usage() {
    std::cout << "\n\n*********** Usage ***********\n\n"
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
}

// kind 0: full help (format, listing, usage); kind 1: listing with the file paths, then usage.
void print_help(int kind) {
    if (kind == 0) {
        std::cout << "\n\n"
                  << "Format:\n"
                  << "   1) FLAG: --flag\n"
                  << "   2) INTEGER: --integer=123\n"
                  << "   3) STRING: --string=abc or --string=\"abc\"\n";
    }
    std::cout << "\n\n*********** Updated Arguments ***********\n\n";
    static const char* const headings[] = {"List of FLAG arguments:\n", "List of INTEGER arguments:\n",
                                           "List of STRING arguments:\n"};
    for (int32_t type = BRIX_MAIN_ARG_FLAG; type < BRIX_MAIN_MAX_ARG; ++type) {
        std::cout << headings[type];
        unsigned counter = 0;
        for (m_current_arg_index = 0; BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].name[0] != '\0';
             ++m_current_arg_index) {
            const BRIX_MAIN_ARG_STRUCT& row = BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index];
            if (row.type != type)
                continue;
            std::cout << "   " << counter++ << ") " << row.name << " (" << current_value(row)
                      << ") : " << row.comment << "\n";
        }
        std::cout << "\n";
    }
    if (kind == 1 && !file_paths.empty()) {
        std::cout << "\nList of filepaths:\n";
        for (size_t i = 0; i < file_paths.size(); ++i)
            std::cout << "   " << i << ") " << file_paths[i] << "\n";
        std::cout << "\n";
    }
    print_usage();
}

int dispatch() {
    const BRIX_BUILD_CONTEXT batch_context;
    if (arg::all_brix)
        return build_all_brix(batch_context, file_paths);
    if (arg::all_rba)
        return build_all_rba(batch_context, file_paths);
    if (arg::all_cram_map)
        return build_all_cram_map(batch_context, file_paths);
    if (arg::all_fid)
        return build_all_fid(batch_context, file_paths);
    if (arg::all_pcf)
        return build_all_pcf(batch_context, file_paths);
    if (!arg::family_xml && !arg::device_xml && !arg::device && !arg::parse_ob_bcm) {
        // The programmer databases have no test mode.
        const BRIX_BUILD_CONTEXT context;
        if (!arg::rba.empty() && !file_paths.empty()) {
            build_pgm_rba(context, arg::rba, file_paths[0]);
            return 0;
        }
        if (!arg::cram_map.empty()) {
            build_family_cram_map(context, arg::cram_map);
            return 0;
        }
        if (!arg::fid.empty()) {
            return build_device_fid(context, arg::fid);
        }
        std::cout << "\nMissing valid operation\n\n";
        print_help(0);
        return 8;
    }
    if (file_paths.empty()) {
        std::cout << "\nMissing any input files\n\n";
        return 6;
    }
    if (arg::family_xml) {
        const BRIX_BUILD_CONTEXT context({arg::test, false, false});
        for (const std::string& path : file_paths)
            build_family_xml(context, path);
    } else if (arg::device_xml) {
        // A device XML alone: without the RBA-derived data and the device database geometry.
        const BRIX_BUILD_CONTEXT context({arg::test, false, false});
        for (const std::string& path : file_paths)
            build_device(context, path);
    } else if (arg::device) {
        const BRIX_BUILD_CONTEXT context({arg::test, true, arg::debug});
        for (const std::string& name : file_paths)
            build_device(context, name);
    } else {
        parse_ob_bcm(BRIX_BUILD_CONTEXT(), file_paths[0]);
    }
    return 0;
}

} // namespace

void brix_main_check_arg_table(const BRIX_MAIN_ARG_STRUCT* list) {
    for (m_current_arg_index = 0;; ++m_current_arg_index) {
        if (m_current_arg_index > 499)
            BRIX_REPORT(
                "So suspicious... FLAG group has more than 500 args, do you forget to terminate the list?");
        const BRIX_MAIN_ARG_STRUCT& row = list[m_current_arg_index];
        if (row.name == nullptr || row.name[0] == '\0')
            break;
        for (size_t earlier = 0; earlier < m_current_arg_index; ++earlier) {
            if (gen_stricmp(list[earlier].name, row.name) == 0)
                BRIX_REPORT(std::string("Found duplicated argument ") + list[earlier].name);
        }
        BRIX_CHECK(row.type < BRIX_MAIN_MAX_ARG,
                   "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].type < BRIX_MAIN_MAX_ARG");
        BRIX_CHECK(row.ptr != nullptr, "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].ptr != NULL");
        if (row.type != BRIX_MAIN_ARG_FLAG && row.type != BRIX_MAIN_ARG_INTEGER &&
            row.type != BRIX_MAIN_ARG_STRING)
            BRIX_REPORT("Unsupported ARG type");
    }
    const BRIX_MAIN_ARG_STRUCT& end = list[m_current_arg_index];
    BRIX_CHECK(end.type == BRIX_MAIN_MAX_ARG,
               "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].type == BRIX_MAIN_MAX_ARG");
    BRIX_CHECK(end.ptr == nullptr, "BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].ptr == NULL");
    BRIX_CHECK(end.comment != nullptr && std::string(end.comment).empty(),
               "std::string(BRIX_MAIN_ARG_STRUCT_LIST[m_current_arg_index].comment) == \"\"");
    if (arg::debug_level > 0)
        std::cout << "Total of supported argument count: " << m_current_arg_index << "\n";
}

int brix_main_parse(int argc, char** argv) {
    reset_arguments();
    return parse_command_line(argc, argv);
}

int brix_main(int argc, char** argv) {
    int status = brix_main_parse(argc, argv);
    if (status != 0)
        return status;
    if (arg::help) {
        print_help(0);
        return 0;
    }
    if (arg::unit_test) {
        brix_main_check_arg_table(BRIX_MAIN_ARG_STRUCT_LIST);
        return 0;
    }
    if (arg::print_argument)
        print_help(1);
    return dispatch();
}
