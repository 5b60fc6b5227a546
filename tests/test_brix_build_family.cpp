// Family XML builder: a valid family read back through the database server, the checks of the reader (one
// mutation of the valid fixture per check), where a failure points in the file, and the file-name rules.
#include "brix_data_export.h"
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "fio.h"
#include "test_support.h"

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// Line numbers matter: the failure-location cases name them.
const std::string FAMILY =                                                                 // line
    "<family name=\"GRANITE\" config_data_width=\"32\">\n"                                 // 1
    "  <bt_format>\n"                                                                      // 2
    "    <block name=\"CB_HEADER1\" type=\"Static\"/>\n"                                   // 3
    "    <block name=\"OPTION_BITS\"/>\n"                                                  // 4
    "    <block name=\"CRAM\"/>\n"                                                         // 5
    "  </bt_format>\n"                                                                     // 6
    "  <block_info name=\"CB_HEADER1\" length=\"2\" init=\"1\">\n"                         // 7
    "    <const_val offset=\"1\" value=\"0xFFFFFFFF\"/>\n"                                 // 8
    "    <const_val offset=\"0\" value=\"106\"/>\n"                                        // 9
    "  </block_info>\n"                                                                    // 10
    "  <block_info name=\"option_bits\" length=\"2\" has_crc=\"1\">\n"                     // 11
    "    <dyn_val name=\"OPTION_BITS\" word_offset=\"0\" bit_offset=\"0\" length=\"48\"\n" // 12
    "             mask=\"0xFFFFFFFF\" xflip=\"1\">\n"                                      // 13
    "      <ob_val name=\"STARTUP_CLOCK\" bit_index=\"0\" bit_offset=\"40\" length=\"2\" hex_value=\"1\"/>\n" // 14
    "      <ob_val name=\"POF_ID\" bit_index=\"4\" bit_offset=\"40\" length=\"9\" link_block=\"37\" "
    "hex_value=\"1A5\"/>\n" // 15
    "    </dyn_val>\n"      // 16
    "    <dyn_val name=\"JTAG_ID\" word_offset=\"1\" bit_offset=\"16\" length=\"16\" mask=\"0xFFFF0000\" "
    "end_padding=\"1\"/>\n" // 17
    "    <frame name=\"DYN_OB_PAD\" size=\"2\" header_size=\"0\" core_size=\"1\" edcrc_size=\"0\" "
    "crc_size=\"1\" "
    "crc_mask=\"0xFFFF\" end_padding_bits=\"3\"/>\n" // 18
    "  </block_info>\n"                              // 19
    "  <block_info name=\"CRAM\" has_crc=\"1\">\n"   // 20
    "    <frame name=\"CRAM\" size=\"44\" header_size=\"2\" core_size=\"40\" edcrc_size=\"1\" crc_size=\"1\" "
    "crc_mask=\"0x8005\" end_padding_bits=\"8\" crc_include_header=\"0\"/>\n" // 21
    "    <instruction name=\"FIRST_FRAME\" opcode=\"0x10\" has_flc=\"1\" core_size=\"40\" padding_size=\"2\" "
    "padding_default_zero=\"1\"/>\n" // 22
    "    <instruction name=\"LAST_FRAME\" opcode=\"0x12\" core_size=\"40\" core_default_zero=\"1\" "
    "padding_size=\"2\"/>\n" // 23
    "  </block_info>\n"      // 24
    "</family>\n";           // 25

using EDITS = std::vector<std::pair<std::string, std::string>>;

// The fixture with each edit applied to the first occurrence of its text.
std::string mutate(const EDITS& edits) {
    std::string text = FAMILY;
    for (const auto& edit : edits) {
        size_t at = text.find(edit.first);
        if (at == std::string::npos) {
            ADD_FAILURE() << "fixture has no " << edit.first;
            continue;
        }
        text.replace(at, edit.first.size(), edit.second);
    }
    return text;
}

struct OUTCOME {
    std::string out;
    bool failed = false;
    BRIX_INTERNAL_ERROR error{"", "", "", 0, {}};
};

OUTCOME build(const std::string& file, bool test) {
    OUTCOME outcome;
    testing::internal::CaptureStdout();
    try {
        build_family_xml(BRIX_BUILD_CONTEXT({test}), file);
    } catch (const BRIX_INTERNAL_ERROR& e) {
        outcome.failed = true;
        outcome.error = e;
    }
    outcome.out = testing::internal::GetCapturedStdout();
    return outcome;
}

// Innermost element frame of a report ("element <tag> ..."), or empty.
std::string innermost_element(const BRIX_INTERNAL_ERROR& e) {
    for (auto it = e.context().rbegin(); it != e.context().rend(); ++it)
        if (it->rfind("element ", 0) == 0)
            return *it;
    return "";
}

const char* const WIDTH = "config_data_width > 0 && (config_data_width % 8) == 0 && config_data_width <= 32";
const char* const OB_RANGE = "(length > 0) && (bit_index < total_bit) && ((bit_index + length) <= total_bit)";
const char* const SIZE_SUM = "size == (header_size + core_size + edcrc_size + crc_size)";

} // namespace

TEST(FamilyBuilder, EachCheckRefusesItsMutationAndSaysWhere) {
    struct CASE {
        EDITS edits;
        std::string condition;
        std::string where; // innermost element frame; empty: not checked
    };
    const std::string dyn_cram = "<block_info name=\"CRAM\" has_crc=\"1\">\n";
    const CASE cases[] = {
        // Family and width.
        {{{"name=\"GRANITE\"", "name=\"GRANIT\""}},
         "Unrecognized family name",
         "element family name=\"GRANIT\", line 1"},
        {{{"name=\"GRANITE\"", "name=\"\""}}, "Unrecognized family name", ""},
        {{{"config_data_width=\"32\"", ""}}, WIDTH, ""},
        {{{"config_data_width=\"32\"", "config_data_width=\"12\""}}, WIDTH, ""},
        {{{"config_data_width=\"32\"", "config_data_width=\"40\""}}, WIDTH, ""},
        {{{"config_data_width=\"32\"", "config_data_width=\"0x2x\""}},
         "Invalid string to integer conversion",
         ""},
        // Block order.
        {{{"</bt_format>", "</bt_format><bt_format/>"}}, "bt_format is empty or defined multiple times", ""},
        {{{"<bt_format>", "<bt_formats>"}, {"</bt_format>", "</bt_formats>"}},
         "bt_format is empty or defined multiple times",
         ""},
        {{{"<block name=\"CB_HEADER1\" type=\"Static\"/>\n    <block name=\"OPTION_BITS\"/>\n    "
           "<block name=\"CRAM\"/>",
           ""}},
         "No BLOCK element defined",
         "element bt_format, line 2"},
        {{{"<block name=\"CRAM\"/>", "<block type=\"Static\"/>"}},
         "BLOCK element must associate with a name",
         "element block, line 5"},
        {{{"type=\"Static\"", "type=\"Dynamic\""}},
         "Unrecognized block type",
         "element block name=\"CB_HEADER1\", line 3"},
        {{{"<block name=\"CRAM\"/>", "<block name=\"CRAMS\"/>"}}, "Unrecognized block name", ""},
        {{{"<block name=\"CRAM\"/>", "<block name=\"cram\"/><block name=\"CRAM\"/>"}},
         "Block is already defined",
         "element block name=\"CRAM\", line 5"},
        // block_info.
        {{{"name=\"CRAM\" has_crc", "name=\"CRAMS\" has_crc"}}, "Unrecognized block name", ""},
        {{{"name=\"CRAM\" has_crc", "name=\"ERAM\" has_crc"}},
         "Cannot match block_info with bt_format",
         "element block_info name=\"ERAM\", line 20"},
        {{{"name=\"CB_HEADER1\" length=\"2\"", "name=\"CB_HEADER1\""}}, "block_length > 0", ""},
        {{{"</dyn_val>", "</dyn_val><const_val offset=\"1\" value=\"0\"/>"}},
         "(const_values->getLength() == 0 && dyn_values->getLength() > 0) || (const_values->getLength() > 0 "
         "&& "
         "dyn_values->getLength() == 0) || (const_values->getLength() == 0 && dyn_values->getLength() == 0)",
         ""},
        // Constants.
        {{{"<const_val offset=\"0\" value=\"106\"/>",
           "<const_val offset=\"0\" value=\"106\"/><const_val offset=\"0\" value=\"1\"/>"}},
         "const_value_size <= MAX_COUNT",
         ""},
        {{{"offset=\"1\" value", "offset=\"2\" value"}},
         "Offset exceeds maximum length",
         "element const_val, line 8"},
        {{{"offset=\"1\" value", "offset=\"0\" value"}},
         "Found a duplicate constant value",
         "element const_val, line 9"},
        {{{"config_data_width=\"32\"", "config_data_width=\"8\""}},
         "Constant value exceeds configuration data width",
         "element const_val, line 8"},
        {{{"value=\"106\"", ""}}, "!no_empty || !string.empty()", "element const_val, line 9"},
        {{{"value=\"106\"", "value=\"10x6\""}}, "Invalid string to integer conversion", ""},
        // Dynamic fields.
        {{{"<dyn_val name=\"JTAG_ID\"", "<dyn_val name=\"JTAG\""}},
         "Unrecognized dynamic data name",
         "element dyn_val name=\"JTAG\", line 17"},
        {{{"<dyn_val name=\"JTAG_ID\"", "<dyn_val"}}, "Unrecognized dynamic data name", ""},
        {{{"<dyn_val name=\"JTAG_ID\"", "<dyn_val name=\"option_bits\""}},
         "Dynamic Data is already defined",
         ""},
        {{{"length=\"48\"", "length=\"65\""}},
         "bit_length <= total_bit",
         "element dyn_val name=\"OPTION_BITS\", line 13"},
        {{{dyn_cram,
           dyn_cram +
               "<dyn_val name=\"IOCSR\" word_offset=\"5\" bit_offset=\"0\" length=\"1\" mask=\"0\"/>"}},
         "bit_length == 0",
         ""},
        {{{"word_offset=\"1\"", "word_offset=\"2\""}}, "Word offset exceeds block length", ""},
        {{{"bit_offset=\"16\"", "bit_offset=\"32\""}}, "Bit offset exceeds configuration data width", ""},
        {{{"config_data_width=\"32\"", "config_data_width=\"16\""},
          {"0xFFFFFFFF\"/>", "0xFFFF\"/>"},
          {"length=\"2\" has_crc", "length=\"4\" has_crc"}},
         "Dynamic mask exceeds configuration data width",
         "element dyn_val name=\"OPTION_BITS\", line 13"},
        {{{"mask=\"0xFFFF0000\"", ""}}, "!no_empty || !string.empty()", ""},
        // Option-bit fields.
        {{{"name=\"POF_ID\"", "name=\"POF\""}},
         "Unrecognized Option Bit data name: POF",
         "element ob_val name=\"POF\", line 15"},
        {{{"bit_index=\"4\"", "bit_index=\"40\""}}, OB_RANGE, ""},
        {{{"bit_index=\"4\"", "bit_index=\"48\""}}, OB_RANGE, ""},
        {{{"length=\"9\"", "length=\"0\""}}, OB_RANGE, ""},
        // bit_index + length wraps to 3 in 32 bits, inside the field: still refused.
        {{{"length=\"9\"", "length=\"4294967295\""}}, OB_RANGE, "element ob_val name=\"POF_ID\", line 15"},
        {{{"hex_value=\"1A5\"", "hex_value=\"01A5\""}}, "hex_value.size() <= expected_hex_length", ""},
        {{{"bit_index=\"4\"", "bit_index=\"1\""}}, "!checked[k]", "element ob_val name=\"POF_ID\", line 15"},
        {{{"bit_index=\"0\"", "bit_index=\"12\""}}, "!checked[k]", "element ob_val name=\"POF_ID\", line 15"},
        {{{"hex_value=\"1\"", "hex_value=\"\""}}, "!no_empty || !hex_string.empty()", ""},
        {{{"hex_value=\"1A5\"", "hex_value=\"1a5\""}}, "Invalid hex string to BYTE array conversion", ""},
        {{{dyn_cram, dyn_cram + "<dyn_val name=\"IOCSR\" word_offset=\"0\" bit_offset=\"0\" length=\"0\" "
                                "mask=\"0\"><ob_val name=\"POF_ID\" bit_index=\"0\" bit_offset=\"0\" "
                                "length=\"1\" hex_value=\"1\"/></dyn_val>"}},
         "ob_data_size > 0 && total_bit > 0",
         ""},
        // Frames.
        {{{"</block_info>\n</family>", "<frame name=\"CRAM\"/></block_info>\n</family>"}},
         "block != NULL && frames != NULL && frames->getLength() == 1",
         ""},
        {{{"<frame name=\"CRAM\"", "<frame name=\"CRAMX\""}},
         "Unrecognized frame name",
         "element frame name=\"CRAMX\", line 21"},
        {{{"edcrc_size=\"1\" crc_size=\"1\"", "edcrc_size=\"1\" crc_size=\"0\""}}, "crc_size == 1", ""},
        {{{"name=\"CRAM\" has_crc=\"1\"", "name=\"CRAM\""}}, "crc_size == 0", ""},
        {{{"edcrc_size=\"1\"", "edcrc_size=\"2\""}}, "edcrc_size == 0 || edcrc_size == 1", ""},
        {{{"size=\"44\"", "size=\"45\""}}, SIZE_SUM, "element frame name=\"CRAM\", line 21"},
        // header_size + core_size + edcrc_size + crc_size is 2^32 + 44, which wraps to 44 in 32 bits.
        {{{"header_size=\"2\" core_size=\"40\"", "header_size=\"4294967295\" core_size=\"43\""}},
         SIZE_SUM,
         ""},
        {{{"size=\"44\"", "size=\"0\""}}, "core_size == 0", ""},
        {{{"crc_mask=\"0x8005\"", "crc_mask=\"0\""}}, "crc_mask != 0", ""},
        {{{"name=\"CRAM\" has_crc=\"1\"", "name=\"CRAM\""},
          {"edcrc_size=\"1\" crc_size=\"1\"", "edcrc_size=\"1\" crc_size=\"0\""},
          {"size=\"44\"", "size=\"43\""}},
         "crc_mask == 0",
         ""},
        {{{"end_padding_bits=\"8\"", ""}}, "!no_empty || !string.empty()", ""},
        // Instructions.
        {{{"name=\"LAST_FRAME\"", "name=\"LAST\""}},
         "Unrecognized instruction name",
         "element instruction name=\"LAST\", line 23"},
        {{{"name=\"LAST_FRAME\"", "name=\"first_frame\""}}, "Instruction is already defined", ""},
        {{{"opcode=\"0x12\"", ""}},
         "!no_empty || !string.empty()",
         "element instruction name=\"LAST_FRAME\", line 23"},
    };
    TEMP_DIR dir;
    std::string file = dir.file("granite.xml");
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.condition + " <- " + c.edits[0].first + " => " + c.edits[0].second);
        write_text_file(file, mutate(c.edits));
        OUTCOME outcome = build(file, true);
        ASSERT_TRUE(outcome.failed);
        EXPECT_EQ(c.condition, outcome.error.condition());
        ASSERT_FALSE(outcome.error.context().empty());
        EXPECT_EQ(file, outcome.error.context()[0]); // the file is always named
        if (!c.where.empty()) {
            EXPECT_EQ(c.where, innermost_element(outcome.error));
        }
        EXPECT_EQ("", outcome.out);                                     // test mode prints nothing
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("granite.ddb"))); // nothing written
    }
}

TEST(FamilyBuilder, NumberErrorsNameTheAttribute) {
    TEMP_DIR dir;
    std::string file = dir.file("granite.xml");
    write_text_file(file, mutate({{"bit_offset=\"16\"", "bit_offset=\"1_6\""}}));
    OUTCOME outcome = build(file, true);
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ("Invalid string to integer conversion", outcome.error.condition());
    std::vector<std::string> expected = {
        file, "element family name=\"GRANITE\", line 1", "element block_info name=\"option_bits\", line 11",
        "element dyn_val name=\"JTAG_ID\", line 17", "attribute bit_offset=\"1_6\""};
    EXPECT_EQ(expected, outcome.error.context());
}

// Input values are echoed in reports up to 100 characters, with a note of their full length.
TEST(FamilyBuilder, LongValuesAreShortenedInReports) {
    TEMP_DIR dir;
    std::string file = dir.file("granite.xml");
    write_text_file(file,
                    mutate({{"family name=\"GRANITE\"", "family name=\"" + std::string(1000, 'N') + "\""}}));
    OUTCOME outcome = build(file, true);
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ("Unrecognized family name", outcome.error.condition());
    EXPECT_EQ((std::vector<std::string>{file, "element family name=\"" + std::string(100, 'N') +
                                                  "... (1000 characters)\", line 1"}),
              outcome.error.context());

    write_text_file(file, mutate({{"bit_offset=\"16\"", "bit_offset=\"" + std::string(300, '7') + "\""}}));
    outcome = build(file, true);
    ASSERT_TRUE(outcome.failed);
    ASSERT_FALSE(outcome.error.context().empty());
    EXPECT_EQ("attribute bit_offset=\"" + std::string(100, '7') + "... (300 characters)\"",
              outcome.error.context().back());
    // A cut never splits a UTF-8 character: 99 ASCII bytes and a two-byte character make 101 bytes.
    EXPECT_EQ(std::string(99, 'a') + "... (103 characters)",
              INPUT_CONTEXT::excerpt(std::string(99, 'a') + "\xc3\xbc" + "bc"));
    EXPECT_EQ(std::string(100, 'a'), INPUT_CONTEXT::excerpt(std::string(100, 'a')));
}

TEST(FamilyBuilder, FileNameRules) {
    TEMP_DIR dir;
    // Without test: at least 12 characters, "_family.xml" in exact case, an existing file. The checks that
    // come after the name (the family name against the base name) show which names passed.
    struct CASE {
        std::string path;
        std::string condition;
        std::string building; // the progress line that shows the base name
    };
    write_text_file(dir.file("x_family.xml"), FAMILY);
    write_text_file(dir.file("_family.xml"), FAMILY);
    write_text_file(dir.file("y_Family.xml"), FAMILY);
    write_text_file(
        dir.file("sub\\granite_family.xml"),
        mutate({{"GRANITE", "granite"}, {"config_data_width=\"32\"", "config_data_width=\"12\""}}));
    const CASE cases[] = {
        {"x_family.xml", "Cannot match XML family name", "x"},
        {"_family.xml", "Invalid family XML naming or file does not exist", ""},
        {"y_Family.xml", "Invalid family XML naming or file does not exist", ""},
        {"z_family.xml", "Invalid family XML naming or file does not exist", ""},
        {dir.file("x_family.xml"), "Cannot match XML family name", "x"},
        // No "/" after the last "\": the base name starts after the "\".
        {"sub\\granite_family.xml", WIDTH, "granite"},
    };
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.path);
        OUTCOME outcome = build(c.path, false);
        EXPECT_TRUE(outcome.failed);
        EXPECT_EQ(c.condition, outcome.error.condition());
        std::string expected_out;
        if (!c.building.empty())
            expected_out = "\n   Family XML file: " + c.path + "\n\n      building " + c.building +
                           " family PCF ...\n\n";
        EXPECT_EQ(expected_out, outcome.out);
    }
    // With test: longer than 4 characters, ending in ".xml", an existing file. Where the name is right, the
    // file frame says why there is no file.
    write_text_file(".xml", FAMILY);
    write_text_file("f.XML", FAMILY);
    const std::string long_path = std::string(5000, 'd') + ".xml";
    const std::pair<std::string, std::string> test_cases[] = {
        {".xml", ".xml"},
        {"f.XML", "f.XML"},
        {"g.xml", "g.xml: the file does not exist"},
        {long_path, long_path + ": the path is too long (5004 characters)"},
    };
    for (const auto& c : test_cases) {
        SCOPED_TRACE(c.first.substr(0, 20));
        OUTCOME outcome = build(c.first, true);
        EXPECT_TRUE(outcome.failed);
        EXPECT_EQ("Invalid XML extension", outcome.error.condition());
        EXPECT_EQ(std::vector<std::string>{c.second}, outcome.error.context());
    }
    ASSERT_EQ(0, chdir(cwd));
}

namespace {

std::vector<unsigned char> ob_bytes(const BRIX_OB_DATA* ob) {
    unsigned length = 0;
    const unsigned char* data = ob->get_data(length);
    return std::vector<unsigned char>(data, data + ob->get_data_size());
}

} // namespace

TEST(FamilyBuilder, TestModeBuildReadsBackFieldByField) {
    TEMP_DIR dir;
    std::string file = dir.file("granite.xml");
    write_text_file(file, FAMILY);
    OUTCOME outcome = build(file, true);
    ASSERT_FALSE(outcome.failed) << outcome.error.report_text();
    EXPECT_EQ("", outcome.out);

    // The database lands beside the XML, named after it without ".xml".
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(dir.file("granite"), false));
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(nullptr, info->get_device_info());
    const BRIX_FAMILY_INFO* family = info->get_family_info();
    ASSERT_NE(nullptr, family);
    EXPECT_EQ(unsigned(BRIX_FAMILY_GRANITE), family->get_family_type());
    EXPECT_EQ(32u, family->get_config_data_width());
    const BRIX_BLOCK_LIST* blocks = family->get_block_info_list();
    ASSERT_NE(nullptr, blocks);
    ASSERT_EQ(3u, blocks->size());

    // Static block with constants, in document order.
    const BRIX_BLOCK* header = (*blocks)[0];
    EXPECT_EQ(unsigned(BRIX_BLOCK_CB_HEADER1), header->get_block_type());
    EXPECT_TRUE(header->get_static());
    EXPECT_EQ(2u, header->get_length());
    EXPECT_FALSE(header->get_has_crc());
    EXPECT_TRUE(header->get_one_init());
    ASSERT_NE(nullptr, header->get_const_values());
    ASSERT_EQ(2u, header->get_const_values()->size());
    EXPECT_EQ(0xFFFFFFFFu, (*header->get_const_values())[0]->get_value());
    EXPECT_EQ(1u, (*header->get_const_values())[0]->get_offset());
    EXPECT_EQ(106u, (*header->get_const_values())[1]->get_value());
    EXPECT_EQ(0u, (*header->get_const_values())[1]->get_offset());
    EXPECT_EQ(nullptr, header->get_dyn_values());
    EXPECT_EQ(nullptr, header->get_frame());
    EXPECT_EQ(nullptr, header->get_instructions());

    // Dynamic fields with option bits, and a frame whose crc_include_header defaults to true.
    const BRIX_BLOCK* options = (*blocks)[1];
    EXPECT_EQ(unsigned(BRIX_BLOCK_OPTION_BITS), options->get_block_type());
    EXPECT_FALSE(options->get_static());
    EXPECT_EQ(2u, options->get_length());
    EXPECT_TRUE(options->get_has_crc());
    EXPECT_FALSE(options->get_one_init());
    EXPECT_EQ(nullptr, options->get_const_values());
    ASSERT_NE(nullptr, options->get_dyn_values());
    ASSERT_EQ(2u, options->get_dyn_values()->size());
    const BRIX_DYN_DATA* ob_field = (*options->get_dyn_values())[0];
    EXPECT_EQ(unsigned(BRIX_DYN_DATA_OPTION_BITS), ob_field->get_dyn_data_type());
    EXPECT_EQ(0u, ob_field->get_word_offset());
    EXPECT_EQ(0u, ob_field->get_bit_offset());
    EXPECT_EQ(48u, ob_field->get_length());
    EXPECT_EQ(0xFFFFFFFFu, ob_field->get_mask());
    EXPECT_TRUE(ob_field->get_xflip());
    EXPECT_FALSE(ob_field->get_end_padding());
    ASSERT_NE(nullptr, ob_field->get_ob_datas());
    ASSERT_EQ(2u, ob_field->get_ob_datas()->size());
    const BRIX_OB_DATA* clock = (*ob_field->get_ob_datas())[0];
    EXPECT_EQ(unsigned(BRIX_OB_DATA_STARTUP_CLOCK), clock->get_ob_data_type());
    EXPECT_EQ(0u, clock->get_bit_index());
    EXPECT_EQ(40u, clock->get_bit_offset());
    EXPECT_EQ(2u, clock->get_data_length());
    EXPECT_EQ(0u, clock->get_link_block());
    EXPECT_EQ(std::vector<unsigned char>({0x01}), ob_bytes(clock));
    const BRIX_OB_DATA* pof = (*ob_field->get_ob_datas())[1];
    EXPECT_EQ(unsigned(BRIX_OB_DATA_POF_ID), pof->get_ob_data_type());
    EXPECT_EQ(4u, pof->get_bit_index());
    EXPECT_EQ(40u, pof->get_bit_offset());
    EXPECT_EQ(9u, pof->get_data_length());
    EXPECT_EQ(2u, pof->get_data_size());
    EXPECT_EQ(37u, pof->get_link_block());
    EXPECT_EQ(std::vector<unsigned char>({0xA5, 0x01}), ob_bytes(pof)); // little-endian bytes of 1A5
    const BRIX_DYN_DATA* jtag = (*options->get_dyn_values())[1];
    EXPECT_EQ(unsigned(BRIX_DYN_DATA_JTAG_ID), jtag->get_dyn_data_type());
    EXPECT_EQ(1u, jtag->get_word_offset());
    EXPECT_EQ(16u, jtag->get_bit_offset());
    EXPECT_EQ(16u, jtag->get_length());
    EXPECT_EQ(0xFFFF0000u, jtag->get_mask());
    EXPECT_FALSE(jtag->get_xflip());
    EXPECT_TRUE(jtag->get_end_padding());
    EXPECT_EQ(nullptr, jtag->get_ob_datas());
    const BRIX_FRAME* pad = options->get_frame();
    ASSERT_NE(nullptr, pad);
    EXPECT_EQ(unsigned(BRIX_FRAME_DYN_OB_PAD), pad->get_frame_type());
    EXPECT_EQ(2u, pad->get_size());
    EXPECT_EQ(0u, pad->get_header_size());
    EXPECT_EQ(1u, pad->get_core_size());
    EXPECT_EQ(0u, pad->get_edcrc_size());
    EXPECT_EQ(1u, pad->get_crc_size());
    EXPECT_EQ(0xFFFFu, pad->get_crc_mask());
    EXPECT_EQ(3u, pad->get_end_padding_bits());
    EXPECT_TRUE(pad->get_crc_include_header());
    EXPECT_EQ(nullptr, options->get_instructions());

    // A block without length: frame and instructions only.
    const BRIX_BLOCK* cram = (*blocks)[2];
    EXPECT_EQ(unsigned(BRIX_BLOCK_CRAM), cram->get_block_type());
    EXPECT_FALSE(cram->get_static());
    EXPECT_EQ(0u, cram->get_length());
    EXPECT_TRUE(cram->get_has_crc());
    EXPECT_EQ(nullptr, cram->get_const_values());
    EXPECT_EQ(nullptr, cram->get_dyn_values());
    const BRIX_FRAME* frame = cram->get_frame();
    ASSERT_NE(nullptr, frame);
    EXPECT_EQ(unsigned(BRIX_FRAME_CRAM), frame->get_frame_type());
    EXPECT_EQ(44u, frame->get_size());
    EXPECT_EQ(2u, frame->get_header_size());
    EXPECT_EQ(40u, frame->get_core_size());
    EXPECT_EQ(1u, frame->get_edcrc_size());
    EXPECT_EQ(1u, frame->get_crc_size());
    EXPECT_EQ(0x8005u, frame->get_crc_mask());
    EXPECT_EQ(8u, frame->get_end_padding_bits());
    EXPECT_FALSE(frame->get_crc_include_header());
    ASSERT_NE(nullptr, cram->get_instructions());
    ASSERT_EQ(2u, cram->get_instructions()->size());
    const BRIX_INSTRUCTION* first = (*cram->get_instructions())[0];
    EXPECT_EQ(unsigned(BRIX_INSTRUCTION_FIRST_FRAME), first->get_instruction_type());
    EXPECT_EQ(0x10u, first->get_opcode());
    EXPECT_TRUE(first->get_has_flc());
    EXPECT_EQ(40u, first->get_core_size());
    EXPECT_FALSE(first->get_core_default_zero());
    EXPECT_EQ(2u, first->get_padding_size());
    EXPECT_TRUE(first->get_padding_default_zero());
    const BRIX_INSTRUCTION* last = (*cram->get_instructions())[1];
    EXPECT_EQ(unsigned(BRIX_INSTRUCTION_LAST_FRAME), last->get_instruction_type());
    EXPECT_EQ(0x12u, last->get_opcode());
    EXPECT_FALSE(last->get_has_flc());
    EXPECT_EQ(40u, last->get_core_size());
    EXPECT_TRUE(last->get_core_default_zero());
    EXPECT_EQ(2u, last->get_padding_size());
    EXPECT_FALSE(last->get_padding_default_zero());
}

TEST(FamilyBuilder, AcceptedEdgeCases) {
    struct CASE {
        const char* what;
        EDITS edits;
    };
    const CASE cases[] = {
        {"type compared ignoring case", {{"type=\"Static\"", "type=\"sTaTiC\""}}},
        {"hex_value of 3 digits for 9 bits", {{"hex_value=\"1A5\"", "hex_value=\"1FF\""}}},
        {"width 32 takes any constant and mask", {{"value=\"106\"", "value=\"0xFFFFFFFF\""}}},
        // 2^27 words of 32 bits: 2^32 bits, which is 0 in 32-bit arithmetic and would demand length 0.
        {"block of 2^32 bits", {{"length=\"2\" has_crc", "length=\"134217728\" has_crc"}}},
        {"dynamic field of length 0 in a block without length",
         {{"<block_info name=\"CRAM\" has_crc=\"1\">\n", "<block_info name=\"CRAM\" has_crc=\"1\">\n<dyn_val "
                                                         "name=\"IOCSR\" word_offset=\"9\" bit_offset=\"0\" "
                                                         "length=\"0\" mask=\"0\"/>"}}},
    };
    TEMP_DIR dir;
    std::string file = dir.file("granite.xml");
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        write_text_file(file, mutate(c.edits));
        OUTCOME outcome = build(file, true);
        EXPECT_FALSE(outcome.failed) << outcome.error.report_text();
        EXPECT_TRUE(FIO_FILE_SYSTEM::remove_file(dir.file("granite.ddb")));
    }
}

TEST(FamilyBuilder, NormalModeWritesIntoTheDeviceDatabaseDirectory) {
    TEMP_DIR dir;
    std::filesystem::create_directories(dir.file("devdb/programmer"));
    std::filesystem::create_directories(dir.file("xml"));
    std::string file = dir.file("xml/granite_family.xml");
    write_text_file(file, FAMILY);
    COMMAND_RESULT r = run_command("BRIX_VANTREL_PATH=" + dir.path() + "/ " + std::string(BRIX_EXE) +
                                   " -family_xml " + file);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("\n   Family XML file: " + file + "\n\n      building granite family PCF ...\n\n\n", r.out);
    EXPECT_EQ("", r.err);
    std::unique_ptr<BRIX_INFO> info(
        BRIX_DATA_SERVER::get_brix_info(dir.file("devdb/programmer/granite_family_brix"), false));
    ASSERT_NE(nullptr, info);
    ASSERT_NE(nullptr, info->get_family_info());
    EXPECT_EQ(unsigned(BRIX_FAMILY_GRANITE), info->get_family_info()->get_family_type());
    EXPECT_EQ(3u, info->get_family_info()->get_block_info_list()->size());
}

TEST(FamilyBuilder, EverySampleFamilyBuilds) {
    const std::pair<const char*, unsigned> families[] = {
        {"granite", BRIX_FAMILY_GRANITE}, {"basalt", BRIX_FAMILY_BASALT},   {"slate", BRIX_FAMILY_SLATE},
        {"talon", BRIX_FAMILY_TALON},     {"harrier", BRIX_FAMILY_HARRIER}, {"kestrel", BRIX_FAMILY_KESTREL},
    };
    TEMP_DIR dir;
    for (const auto& family : families) {
        SCOPED_TRACE(family.first);
        std::string name = std::string(family.first) + "_family";
        write_text_file(dir.file(name + ".xml"), read_text_file(std::string(BRIX_SOURCE_DIR) +
                                                                "/samples/vantrel/xml/" + name + ".xml"));
        OUTCOME outcome = build(dir.file(name + ".xml"), true);
        ASSERT_FALSE(outcome.failed) << outcome.error.report_text();
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(dir.file(name), false));
        ASSERT_NE(nullptr, info);
        ASSERT_NE(nullptr, info->get_family_info());
        EXPECT_EQ(family.second, info->get_family_info()->get_family_type());
        EXPECT_NE(nullptr, info->get_family_info()->get_block_info_list());
    }
}
