// Option-bit BCM converter: printed ob_val lines, the missing-name report, and its failures.
#include "cli/brix_operations.h"
#include "test_support.h"

#include <string>

namespace {

std::string attr(const std::string& name, const std::string& default_setting) {
    return "<ATTRIBUTE><AttrName>" + name + "</AttrName><AttrDefault>" + default_setting +
           "</AttrDefault></ATTRIBUTE>\n";
}
std::string conf(const std::string& id, const std::string& name, const std::string& setting) {
    return "<CONFIGURATION><ConfID>" + id + "</ConfID><AttrName>" + name + "</AttrName><AttrSetting>" +
           setting + "</AttrSetting></CONFIGURATION>\n";
}
std::string value(const std::string& id, const std::string& sub_name, const std::string& setting) {
    return "<ConfValue><ConfID>" + id + "</ConfID><SubAttrAssign><SubAttrName>" + sub_name +
           "</SubAttrName><SubAttrSetting>" + setting + "</SubAttrSetting></SubAttrAssign></ConfValue>\n";
}
std::string bcm(const std::string& body) {
    return "<BCM>\n" + body + "</BCM>\n";
}

const std::string HEAD = "\n\nParse Option Bits BCM XML ...\n\n";
const std::string NO_MISSING = "\nMissing OB database name:\n";
const char* const FAILED = "Option-bit BCM conversion failed";

std::string utst_lines(const std::string& upper, int times) {
    std::string enum_to_string;
    std::string string_to_enum;
    for (int i = 0; i < times; ++i) {
        enum_to_string +=
            "UTST_ASSERT(BRIX_MANAGER::check_type_enum_supported(tested_brix_type, BRIX_OB_DATA_" + upper +
            ", &name, checked_list));\nUTST_ASSERT(BRIX_MANAGER::compare_string(name, \"" + upper +
            "\", true));\nchecked_num++;\n\n";
        string_to_enum += "UTST_ASSERT(BRIX_MANAGER::check_type_name_supported(tested_brix_type, \"" + upper +
                          "\", &type, checked_list));\nUTST_ASSERT(type == BRIX_OB_DATA_" + upper +
                          ");\nchecked_num++;\n\n";
    }
    return "\nOB UTST Enum to String:\n\n" + enum_to_string + "OB UTST String to Enum:\n\n" + string_to_enum;
}

struct RUN {
    std::string out;
    std::string condition; // empty: the conversion ended without a report
};

RUN convert(const std::string& path) {
    RUN run;
    testing::internal::CaptureStdout();
    try {
        parse_ob_bcm(BRIX_BUILD_CONTEXT(), path);
    } catch (const BRIX_INTERNAL_ERROR& e) {
        run.condition = e.condition();
    }
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

} // namespace

TEST(BcmConverter, PrintsObValLinesAndMissingNames) {
    struct CASE {
        const char* what;
        std::string document;
        std::string out;
        std::string condition;
    };
    const std::string osc_line_hi =
        "<ob_val name=\"OSC_TRIM\" bit_index=\"8\" bit_offset=\"40\" length=\"8\" hex_value=\"A5\"/>\n";
    const CASE cases[] = {
        {"numeric default: first configuration of the name whatever its setting, every line carries the "
         "default",
         bcm(attr("Pof_Id", "8'h3C") + conf("1", "Pof_Id", "X") + conf("2", "Pof_Id", "8'h3C") +
             value("2", "op_bit[3:0]", "'h5") + value("1", "op_bit[15:8]", "'hFF") +
             value("1", "op_bit[7]", "0")),
         HEAD +
             "<ob_val name=\"POF_ID\" bit_index=\"8\" bit_offset=\"40\" length=\"8\" hex_value=\"3C\"/>\n" +
             "<ob_val name=\"POF_ID\" bit_index=\"7\" bit_offset=\"40\" length=\"1\" hex_value=\"C\"/>\n" +
             NO_MISSING,
         ""},
        {"symbolic default: the configuration whose setting is the default; plain digits are binary",
         bcm(attr("Startup_Clock", "INT_OSC") + conf("1", "Startup_Clock", "EXT") +
             conf("2", "Startup_Clock", "INT_OSC") + value("1", "op_bit[1:0]", "11") +
             value("2", "op_bit[1:0]", "10") + value("2", "op_bit[0x13:0x10]", "4'd9")),
         HEAD +
             "<ob_val name=\"STARTUP_CLOCK\" bit_index=\"0\" bit_offset=\"40\" length=\"2\" "
             "hex_value=\"2\"/>\n" +
             "<ob_val name=\"STARTUP_CLOCK\" bit_index=\"16\" bit_offset=\"40\" length=\"4\" "
             "hex_value=\"9\"/>\n" +
             NO_MISSING,
         ""},
        {"unknown mixed-case name printing three lines: listed three times with three sets of unit-test "
         "lines",
         bcm(attr("Osc_Trim", "FAST") + conf("7", "Osc_Trim", "FAST") + value("7", "op_bit[15:8]", "'hA5") +
             value("7", "op_bit[7]", "1") + value("7", "op_bit[70:0]", "'h1")),
         HEAD + osc_line_hi +
             "<ob_val name=\"OSC_TRIM\" bit_index=\"7\" bit_offset=\"40\" length=\"1\" hex_value=\"1\"/>\n" +
             "<ob_val name=\"OSC_TRIM\" bit_index=\"0\" bit_offset=\"40\" length=\"71\" "
             "hex_value=\"000000000000000001\"/>\n" +
             NO_MISSING + "   osc_trim\n   osc_trim\n   osc_trim\n" + utst_lines("OSC_TRIM", 3),
         ""},
        {"sub-names outside the op_bit[...] form print nothing and are no error",
         bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "INT") + value("1", "op_bit[]", "1") +
             value("1", "opbit[3]", "1") + value("1", "op_bit[3", "1") + value("1", "op_bits[3]", "1")),
         HEAD, ""},
        {"no configuration value with the default's ConfID: nothing printed",
         bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "INT") + value("2", "op_bit[3:0]", "1")), HEAD, ""},
        {"no configuration matches the symbolic default: nothing printed",
         bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "EXT") + value("1", "op_bit[3:0]", "1")), HEAD, ""},
        {"reversed range",
         bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "INT") + value("1", "op_bit[3:5]", "1")), HEAD,
         "Option-bit range op_bit[3:5] has its high bit below its low bit"},
        {"range of 2^32 bits",
         bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "INT") + value("1", "op_bit[0xFFFFFFFF:0]", "1")),
         HEAD, "Option-bit range op_bit[0xFFFFFFFF:0] is longer than 2^32 - 1 bits"},
        {"invalid bit number",
         bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "INT") + value("1", "op_bit[x:0]", "1")), HEAD,
         "Invalid string to integer conversion"},
        {"unparsable setting",
         bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "INT") + value("1", "op_bit[3:0]", "12")), HEAD,
         "INT or 'b12. Last failure: invalid binary digit '2' in \"'b12\""},
        {"no CONFIGURATION", bcm(attr("Pof_Id", "INT") + value("1", "op_bit[3:0]", "1")),
         HEAD + "   ATTRIBUTE, CONFIGURATION and/or ConfValue is NULL\n\n", FAILED},
        {"ATTRIBUTE with two AttrName: stops the walk, the earlier lines still get the name report",
         bcm(attr("Osc_Trim", "A") +
             "<ATTRIBUTE><AttrName>X</AttrName><AttrName>Y</AttrName>"
             "<AttrDefault>A</AttrDefault></ATTRIBUTE>\n" +
             attr("Pof_Id", "A") + conf("1", "Osc_Trim", "A") + conf("2", "Pof_Id", "A") +
             value("1", "op_bit[7]", "1") + value("2", "op_bit[8]", "1")),
         HEAD +
             "<ob_val name=\"OSC_TRIM\" bit_index=\"7\" bit_offset=\"40\" length=\"1\" hex_value=\"1\"/>\n" +
             "   AttrName and AttrDefault size within ATTRIBUTE must be 1\n\n" + NO_MISSING +
             "   osc_trim\n" + utst_lines("OSC_TRIM", 1),
         FAILED},
        {"CONFIGURATION without AttrSetting: no name report",
         bcm(attr("Osc_Trim", "A") + attr("Pof_Id", "A") + conf("1", "Osc_Trim", "A") +
             "<CONFIGURATION><ConfID>2</ConfID><AttrName>Pof_Id</AttrName></CONFIGURATION>\n" +
             value("1", "op_bit[7]", "1")),
         HEAD +
             "<ob_val name=\"OSC_TRIM\" bit_index=\"7\" bit_offset=\"40\" length=\"1\" hex_value=\"1\"/>\n" +
             "   AttrName and ConfID size within CONFIGURATION must be 1\n\n",
         FAILED},
        {"ConfValue without SubAttrAssign",
         bcm(attr("Pof_Id", "A") + conf("1", "Pof_Id", "A") + "<ConfValue><ConfID>1</ConfID></ConfValue>\n"),
         HEAD + "   ConfID and SubAttrAssign size within ConfValue must be 1\n\n" +
             "   SubAttrName and SubAttrSetting size within SubAttrAssign must be 1\n\n",
         FAILED},
        {"text is trimmed of blanks",
         bcm(attr(" Pof_Id ", " 4'h9 ") + conf(" 1 ", "Pof_Id", "x") + value("1", " op_bit[3:0] ", "1")),
         HEAD + "<ob_val name=\"POF_ID\" bit_index=\"0\" bit_offset=\"40\" length=\"4\" hex_value=\"9\"/>\n" +
             NO_MISSING,
         ""},
    };
    TEMP_DIR dir;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string file = dir.file("case.bcm.xml");
        write_text_file(file, c.document);
        RUN run = convert(file);
        EXPECT_EQ(c.out, run.out);
        EXPECT_EQ(c.condition, run.condition);
    }
}

TEST(BcmConverter, FileNameRules) {
    TEMP_DIR dir;
    const std::string message = "\nInvalid file extension (.bcm.xml) or file does not exist\n\n";
    write_text_file(dir.file("a.xml"), bcm(""));
    write_text_file(dir.file(".bcm.xml"), bcm(""));
    for (const std::string& path :
         {dir.file("a.xml"), dir.file("missing.bcm.xml"), std::string(".bcm.xml")}) {
        SCOPED_TRACE(path);
        RUN run = convert(path);
        EXPECT_EQ(message, run.out);
        EXPECT_EQ(FAILED, run.condition);
    }
    // A not-well-formed document stops in the loader.
    write_text_file(dir.file("bad.bcm.xml"), "<BCM><ATTRIBUTE></BCM>");
    testing::internal::CaptureStderr();
    RUN run = convert(dir.file("bad.bcm.xml"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("Error during XML parsing", run.condition);
    EXPECT_EQ("", run.out);
}

TEST(BcmConverter, ExitStatusOfTheTool) {
    TEMP_DIR dir;
    const std::string exe = BRIX_EXE;
    COMMAND_RESULT good =
        run_command(exe + " -parse_ob_bcm " + BRIX_SOURCE_DIR + "/samples/vantrel/xml/sample.bcm.xml");
    EXPECT_EQ(0, good.status) << good.out << good.err;
    EXPECT_NE(std::string::npos,
              good.out.find("<ob_val name=\"SOFTWARE_ID\" bit_index=\"16\" bit_offset=\"40\" length=\"32\" "
                            "hex_value=\"FFFFFFFF\"/>\n"));
    // The converter's own failures keep their message and end the run with status 1.
    COMMAND_RESULT bad = run_command(exe + " -parse_ob_bcm " + dir.file("none.bcm.xml"));
    EXPECT_EQ(1, bad.status);
    EXPECT_EQ("\nInvalid file extension (.bcm.xml) or file does not exist\n\n", bad.out);
    write_text_file(dir.file("empty.bcm.xml"), "<BCM/>");
    COMMAND_RESULT empty = run_command(exe + " -parse_ob_bcm " + dir.file("empty.bcm.xml"));
    EXPECT_EQ(1, empty.status);
    EXPECT_EQ(HEAD + "   ATTRIBUTE, CONFIGURATION and/or ConfValue is NULL\n\n", empty.out);
}

TEST(BcmConverter, FailuresNameFileAndElement) {
    TEMP_DIR dir;
    std::string file = dir.file("where.bcm.xml");
    write_text_file(file, bcm(attr("Pof_Id", "INT") + conf("1", "Pof_Id", "INT") +
                              value("1", "op_bit[3:0]", "1") + value("1", "op_bit[2:9]", "1")));
    testing::internal::CaptureStdout();
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] { parse_ob_bcm(BRIX_BUILD_CONTEXT(), file); });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("Option-bit range op_bit[2:9] has its high bit below its low bit", e.condition());
    std::vector<std::string> expected = {file, "element BCM, line 1", "element ATTRIBUTE, line 2",
                                         "element ConfValue, line 5"};
    EXPECT_EQ(expected, e.context());
}
