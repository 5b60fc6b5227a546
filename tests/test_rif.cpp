// RIF files: the parser's G2 lists (slots, null entries, versions, bounds), its files and progress lines, the
// stored form of null slots, and the flattened table.
#include "brix_common_function.h"
#include "brix_data_server.h"
#include "database_render.h"
#include "device/rif_parser.h"
#include "fio.h"
#include "test_support.h"
#include "thr.h"

#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct G2_LIST_RELEASE {
    void operator()(G2_SII_LIST* list) const { brix_release_list(list); }
};
using OWNED_G2_LIST = std::unique_ptr<G2_SII_LIST, G2_LIST_RELEASE>;

void write_gzip_file(const std::string& path, const std::string& text) {
    gzFile out = gzopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, out) << path;
    ASSERT_EQ(int(text.size()), gzwrite(out, text.data(), unsigned(text.size())));
    ASSERT_EQ(Z_OK, gzclose(out));
}

// The G2 list in one line: per entry "-" (null) or the slots in brackets, a slot "." (null) or its bits
// "bit(frame,bit,dir,dist)..." separated by "/"; entries separated by blanks.
std::string g2_text(const G2_SII_LIST* list) {
    if (list == nullptr)
        return "null";
    std::string text;
    for (const G2_SII* entry : *list) {
        if (!text.empty())
            text += " ";
        if (entry == nullptr) {
            text += "-";
            continue;
        }
        text += "[";
        bool first_slot = true;
        for (const G2_SII_BIT_LIST* slot : *entry->get_g2_s2_bit_list_list()) {
            text += first_slot ? "" : "|";
            first_slot = false;
            if (slot == nullptr) {
                text += ".";
                continue;
            }
            bool first_bit = true;
            for (const G2_SII_BIT* bit_record : *slot) {
                text += first_bit ? "" : "/";
                first_bit = false;
                unsigned bit = 0;
                const G2_SI_LIST* references = bit_record->get_data(bit);
                text += std::to_string(bit);
                for (const G2_SI* reference : *references) {
                    unsigned frame = 0, ref_bit = 0;
                    bool dir = false;
                    unsigned dist = reference->get_data(frame, ref_bit, dir);
                    text += "(" + std::to_string(frame) + "," + std::to_string(ref_bit) + "," +
                            (dir ? "1" : "0") + "," + std::to_string(dist) + ")";
                }
            }
        }
        text += "]";
    }
    return text;
}

// A device directory holding <name>_rif with the given text.
struct RIF_FIXTURE {
    TEMP_DIR dir;
    std::string prefix = dir.path() + "/";
    explicit RIF_FIXTURE(const std::string& text, const std::string& name = "dev") {
        write_gzip_file(prefix + name + "_rif", text);
    }
    OWNED_G2_LIST parse(unsigned version, unsigned dra_count, unsigned frame_count = 0,
                        const std::string& name = "dev", unsigned bit_count = 0) {
        return OWNED_G2_LIST(
            parse_rif(BRIX_BUILD_CONTEXT({true}), name, prefix, version, dra_count, frame_count, bit_count));
    }
};

std::string repeat(const std::string& text, unsigned times) {
    std::string out;
    for (unsigned i = 0; i < times; ++i)
        out += text;
    return out;
}

std::string long_line(unsigned references) {
    std::string line = "2 5 " + std::to_string(references);
    for (unsigned k = 0; k < references; ++k)
        line += " " + std::to_string(k) + " 7 1 " + std::to_string(k % 256);
    return line + "\n";
}

} // namespace

TEST(RifParser, EdgeCases) {
    struct CASE {
        const char* what;
        std::string text;
        unsigned version;
        unsigned dra_count;
        unsigned frame_count;
        unsigned bit_count;
        std::string expected; // the G2 list, or the condition text of the report
        bool fails;
    };
    const std::string long_expected = [] {
        std::string refs;
        for (unsigned k = 0; k < 600; ++k)
            refs += "(" + std::to_string(k) + ",7,1," + std::to_string(k % 256) + ")";
        return "- - [5" + refs + "]";
    }();
    const std::vector<CASE> cases = {
        {"header with trailing blanks", "$RIF \t \n3 9 1 3 9 0 5\n", 0, 1, 0, 0, "- - - [9(3,9,0,5)]", false},
        {"header with CR LF line ends", "$RIF\r\n3 9 1 3 9 0 5\r\n", 0, 1, 0, 0, "- - - [9(3,9,0,5)]", false},
        {"more text after the header", "$RIF 2\n3 9 1 3 9 0 5\n", 0, 1, 0, 0,
         "First line of a RIF file must be $RIF", true},
        {"no header", "3 9 1 3 9 0 5\n", 0, 1, 0, 0, "First line of a RIF file must be $RIF", true},
        {"empty file", "", 0, 1, 0, 0, "First line of a RIF file must be $RIF", true},
        {"header only gives an empty list", "$RIF\n", 0, 1, 0, 0, "", false},
        {"version 1 names bit before frame", "$RIF\n3 9 1 3 9 0 5\n", 1, 1, 0, 0,
         "- - - - - - - - - [3(9,3,0,5)]", false},
        {"version 2 like version 1", "$RIF\n1 0 1 4 2 1 0\n", 2, 1, 0, 0, "[1(2,4,1,0)]", false},
        {"bits 4 and 7 with two DRAs go to slots 0 and 1", "$RIF\n0 4 1 0 4 0 0\n0 7 1 0 7 0 0\n", 0, 2, 0, 0,
         "[4(0,4,0,0)|7(0,7,0,0)]", false},
        {"a slot no bit reached stays null", "$RIF\n1 6 1 1 6 0 0\n", 0, 4, 0, 0, "- [.|.|6(1,6,0,0)|.]",
         false},
        {"frame 5 first gives six entries", "$RIF\n5 0 1 5 0 0 0\n", 0, 1, 0, 0, "- - - - - [0(5,0,0,0)]",
         false},
        {"two bits of one slot keep file order", "$RIF\n0 2 1 1 1 0 0\n0 4 1 3 3 1 9\n", 0, 2, 0, 0,
         "[2(1,1,0,0)/4(3,3,1,9)|.]", false},
        {"same frame and bit twice", "$RIF\n0 2 1 1 1 0 0\n0 2 1 3 3 1 9\n", 0, 2, 0, 0,
         "RIF frame 0 bit 2 is given twice", true},
        {"same pair twice in version 1 order", "$RIF\n2 0 1 1 1 0 0\n\n2 0 1 1 1 0 0\n", 1, 1, 0, 0,
         "RIF frame 0 bit 2 is given twice", true},
        {"distance 255 fits its byte", "$RIF\n0 0 1 0 0 1 255\n", 0, 1, 0, 0, "[0(0,0,1,255)]", false},
        {"distance 256 does not", "$RIF\n0 0 1 0 0 1 256\n", 0, 1, 0, 0,
         "RIF distance 256 does not fit its 8-bit field", true},
        {"distance 2^32 - 1", "$RIF\n0 0 1 0 0 1 4294967295\n", 0, 1, 0, 0,
         "RIF distance 4294967295 does not fit its 8-bit field", true},
        {"direction 0 and 1", "$RIF\n0 0 2 0 0 0 1 0 0 1 2\n", 0, 1, 0, 0, "[0(0,0,0,1)(0,0,1,2)]", false},
        {"direction 7", "$RIF\n0 0 1 0 0 7 1\n", 0, 1, 0, 0, "RIF direction 7 is neither 0 nor 1", true},
        {"direction 01", "$RIF\n0 0 2 0 0 1 1 0 0 01 2\n", 0, 1, 0, 0, "RIF direction 01 is neither 0 nor 1",
         true},
        {"direction as a word", "$RIF\n0 0 1 0 0 yes 1\n", 0, 1, 0, 0, "RIF direction yes is neither 0 nor 1",
         true},
        {"blank lines are skipped, fields split at tabs", "$RIF\n\n   \n0\t1 1 0 1\t1 0\n\n", 0, 1, 0, 0,
         "[1(0,1,1,0)]", false},
        {"n = 2 with 11 fields", "$RIF\n0 0 2 1 1 0 0 2 2 0 0\n", 0, 1, 0, 0, "[0(1,1,0,0)(2,2,0,0)]", false},
        {"n = 2 with 10 fields", "$RIF\n0 0 2 1 1 0 0 2 2 0\n", 0, 1, 0, 0,
         "DWORD(svec.size()) == ((temp * 4) + 3)", true},
        {"a count whose 4n + 3 wraps to 7", "$RIF\n0 0 1073741825 1 1 0 0\n", 0, 1, 0, 0,
         "DWORD(svec.size()) == ((temp * 4) + 3)", true},
        {"n = 0", "$RIF\n0 0 0 1 1 0 0\n", 0, 1, 0, 0, "temp > 0", true},
        {"six fields", "$RIF\n0 0 1 1 1 0\n", 0, 1, 0, 0, "svec.size() >= 7", true},
        {"version 3 at the first data line", "$RIF\n0 0 1 1 1 0 0\n", 3, 1, 0, 0,
         "Unsupported RIF parsing version", true},
        {"version 3 without data lines", "$RIF\n\n", 3, 1, 0, 0, "", false},
        {"a field that is no number", "$RIF\n0 x 1 1 1 0 0\n", 0, 1, 0, 0,
         "Invalid string to integer conversion", true},
        {"frame below the frame count", "$RIF\n63 0 1 0 0 0 0\n", 0, 1, 64, 0,
         repeat("- ", 63) + "[0(0,0,0,0)]", false},
        {"frame at the frame count", "$RIF\n64 0 1 0 0 0 0\n", 0, 1, 64, 0,
         "RIF frame 64 is not below the frame count 64", true},
        {"a frame near 2^32 in version 1", "$RIF\n0 4294967295 1 0 0 0 0\n", 1, 1, 16, 0,
         "RIF frame 4294967295 is not below the frame count 16", true},
        {"a frame past the limit without a frame count", "$RIF\n1073741825 0 1 0 0 0 0\n", 0, 1, 0, 0,
         "RIF frame 1073741825 is not below the frame limit 1048576", true},
        {"bit and references just inside the device", "$RIF\n15 99 1 15 99 0 0\n", 0, 1, 16, 100,
         repeat("- ", 15) + "[99(15,99,0,0)]", false},
        {"bit at the bit count", "$RIF\n0 100 1 0 0 0 0\n", 0, 1, 16, 100,
         "RIF bit 100 is not below the bit count 100", true},
        {"bit 2^32 - 1 in version 1", "$RIF\n4294967295 0 1 0 0 0 0\n", 1, 1, 16, 100,
         "RIF bit 4294967295 is not below the bit count 100", true},
        {"a bit past the limit without a bit count", "$RIF\n0 16777216 1 0 0 0 0\n", 0, 1, 0, 0,
         "RIF bit 16777216 is not below the bit limit 16777216", true},
        {"reference frame at the frame count", "$RIF\n0 0 2 0 0 0 0 16 0 0 0\n", 0, 1, 16, 100,
         "RIF reference frame 16 is not below the frame count 16", true},
        {"reference frame 2^32 - 1 without a frame count", "$RIF\n0 0 1 4294967295 0 0 0\n", 0, 1, 0, 0,
         "RIF reference frame 4294967295 is not below the frame limit 1048576", true},
        {"reference bit at the bit count in version 1", "$RIF\n0 0 1 100 0 0 0\n", 1, 1, 16, 100,
         "RIF reference bit 100 is not below the bit count 100", true},
        {"reference bit 2^32 - 1", "$RIF\n0 0 1 0 4294967295 0 0\n", 0, 1, 16, 100,
         "RIF reference bit 4294967295 is not below the bit count 100", true},
        {"more slots than the device has bits", "$RIF\n0 0 1 0 0 0 0\n", 1, 65536000, 16, 100,
         "RIF slot count 65536000 passes the bit count 100", true},
        {"more slots than the bit limit", "$RIF\n", 1, 16777217, 0, 0,
         "RIF slot count 16777217 passes the bit limit 16777216", true},
        {"a line longer than any fixed buffer is read whole", "$RIF\n" + long_line(600), 0, 1, 0, 0,
         long_expected, false},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        RIF_FIXTURE fixture(c.text);
        if (c.fails) {
            EXPECT_BRIX_ERROR(fixture.parse(c.version, c.dra_count, c.frame_count, "dev", c.bit_count),
                              c.expected);
        } else {
            OWNED_G2_LIST list = fixture.parse(c.version, c.dra_count, c.frame_count, "dev", c.bit_count);
            EXPECT_EQ(c.expected, g2_text(list.get()));
        }
    }
}

TEST(RifParser, FilesAndProgressLines) {
    RIF_FIXTURE fixture("$RIF\n0 1 1 0 1 1 3\n", "sub_dev");
    testing::internal::CaptureStdout();
    OWNED_G2_LIST list(parse_rif(BRIX_BUILD_CONTEXT({false}), "sub_dev", fixture.prefix, 0, 1, 0, 0));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string src = fixture.prefix + "sub_dev_rif";
    const std::string text = fixture.prefix + "sub_dev.rif";
    EXPECT_EQ("      RIF file: " + src + " (" + text + ")\n\n         Running CMD: gunzip -dcSf " + src +
                  " > " + text + "\n\n         Parsing RIF file ... \n\n",
              out);
    EXPECT_EQ("[1(0,1,1,3)]", g2_text(list.get()));
    EXPECT_EQ("$RIF\n0 1 1 0 1 1 3\n", read_text_file(text)) << "the unpacked text stays on disk";

    // Not verbose: silent.
    testing::internal::CaptureStdout();
    fixture.parse(0, 1, 0, "sub_dev");
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(RifParser, FileFailures) {
    RIF_FIXTURE fixture("$RIF\n");
    EXPECT_BRIX_ERROR(fixture.parse(0, 1, 0, "other"), "FIO_FILE_SYSTEM::exists(rif_src.c_str())");
    EXPECT_BRIX_ERROR(fixture.parse(0, 0), "!rif_file.empty() && dra_count > 0");
    EXPECT_BRIX_ERROR(fixture.parse(0, 1, 0, ""), "!rif_file.empty() && dra_count > 0");

    // A file that is not gzip data fails as the unpacking command would, naming the file.
    write_text_file(fixture.prefix + "plain_rif", "$RIF\n0 0 1 0 0 0 0\n");
    BRIX_INTERNAL_ERROR error = catch_brix_error([&] { fixture.parse(0, 1, 0, "plain"); });
    EXPECT_EQ("thr_system(cmd.c_str()) == 0", error.condition());
    EXPECT_EQ("brix_helper", error.source());
    ASSERT_FALSE(error.context().empty());
    EXPECT_NE(std::string::npos, error.context().back().find(fixture.prefix + "plain_rif"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(fixture.prefix + "plain.rif")) << "no half-unpacked text";
}

// The unpacked text is written on a worker thread while it is parsed. A failed write is the unpacking
// command's failure, also when the parse fails too; it leaves no text file and no records behind. Without a
// worker thread the text is written first, with the same result.
TEST(RifParser, TextWriteOverlapsTheParse) {
    struct CASE {
        const char* name;
        const char* text;
        long long fail_after;  // bytes written before the text write fails; -1: it does not
        int failing_creates;   // thread starts refused
        const char* condition; // empty: parses
    };
    const CASE cases[] = {
        {"write fails", "$RIF\n0 1 1 0 1 1 3\n", 5, 0, "thr_system(cmd.c_str()) == 0"},
        {"write and parse fail", "$RIF\n0 1 2 0 1 1 3\n", 5, 0, "thr_system(cmd.c_str()) == 0"},
        {"parse fails", "$RIF\n0 1 2 0 1 1 3\n", -1, 0, "DWORD(svec.size()) == ((temp * 4) + 3)"},
        {"no thread", "$RIF\n0 1 1 0 1 1 3\n", -1, 1, ""},
        {"no thread, write fails", "$RIF\n0 1 1 0 1 1 3\n", 5, 1, "thr_system(cmd.c_str()) == 0"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        RIF_FIXTURE fixture(c.text);
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(c.fail_after);
        thr_fail_next_thread_creates_for_testing(c.failing_creates);
        if (*c.condition == '\0') {
            EXPECT_EQ("[1(0,1,1,3)]", g2_text(fixture.parse(0, 1).get()));
        } else {
            BRIX_INTERNAL_ERROR error = catch_brix_error([&] { fixture.parse(0, 1); });
            EXPECT_EQ(c.condition, error.condition());
            if (c.fail_after >= 0) {
                ASSERT_FALSE(error.context().empty());
                EXPECT_NE(std::string::npos, error.context().back().find("Unable to write"))
                    << error.context().back();
            }
        }
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
        thr_fail_next_thread_creates_for_testing(0);
        EXPECT_EQ(c.fail_after < 0, FIO_FILE_SYSTEM::exists(fixture.prefix + "dev.rif"));
        if (c.fail_after < 0) {
            EXPECT_EQ(c.text, read_text_file(fixture.prefix + "dev.rif"));
        }
    }
}

TEST(RifParser, ReportNamesFileAndLine) {
    RIF_FIXTURE fixture("$RIF\n0 0 1 0 0 0 0\n\n0 0 2 0 0 0 0\n");
    BRIX_INTERNAL_ERROR error = catch_brix_error([&] { fixture.parse(0, 1); });
    EXPECT_EQ("DWORD(svec.size()) == ((temp * 4) + 3)", error.condition());
    EXPECT_EQ("brix_helper", error.source());
    ASSERT_EQ(2u, error.context().size());
    EXPECT_EQ(fixture.prefix + "dev.rif", error.context()[0]);
    EXPECT_EQ("line 4", error.context()[1]);

    // The device bounds and the pair check name the line too.
    RIF_FIXTURE twice("$RIF\n0 0 1 0 0 0 0\n1 0 1 0 0 0 0\n0 0 1 0 0 1 0\n");
    error = catch_brix_error([&] { twice.parse(0, 1); });
    EXPECT_EQ("RIF frame 0 bit 0 is given twice", error.condition());
    ASSERT_EQ(2u, error.context().size());
    EXPECT_EQ(twice.prefix + "dev.rif", error.context()[0]);
    EXPECT_EQ("line 4", error.context()[1]);

    RIF_FIXTURE bad_header("$RIF1\n");
    error = catch_brix_error([&] { bad_header.parse(0, 1); });
    EXPECT_EQ("First line of a RIF file must be $RIF", error.condition());
    ASSERT_EQ(2u, error.context().size());
    EXPECT_EQ("line 1", error.context()[1]);
}

// Null entries and null slots are stored as null and read back as null, also through the part files of a
// split G2 list.
TEST(RifParser, NullEntriesAndSlotsSurviveTheDatabase) {
    std::string text = "$RIF\n";
    for (unsigned frame = 1; frame < 4100; frame += 3) // null entries between, 3 part files
        text += std::to_string(frame) + " " + std::to_string(frame % 7) + " 1 " + std::to_string(frame) +
                " 2 1 " + std::to_string(frame % 256) + "\n";
    RIF_FIXTURE fixture(text);
    G2_SII_LIST* list = parse_rif(BRIX_BUILD_CONTEXT({true}), "dev", fixture.prefix, 0, 4, 4100, 7);
    auto* device = new BRIX_DEVICE_INFO;
    device->set_g2_s2_list(list, true, true);
    ASSERT_EQ(3u, device->get_g2_s2_thread_size());
    const std::string before = g2_text(list);
    auto info = std::make_unique<BRIX_INFO>();
    info->set_device_info(device);
    const std::string path = fixture.dir.file("dev_brix");
    BRIX_DATA_SERVER::write_brix_info(path, info.get(), true);

    std::unique_ptr<BRIX_INFO> back(BRIX_DATA_SERVER::get_brix_info(path, false));
    ASSERT_TRUE(back);
    const G2_SII_LIST* read = back->get_device_info()->get_g2_s2_list();
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(before, g2_text(read));
    ASSERT_EQ(nullptr, (*read)[0]);
    const G2_SII_BIT_LIST_LIST* slots = (*read)[1]->get_g2_s2_bit_list_list();
    ASSERT_EQ(4u, slots->size());
    EXPECT_EQ(nullptr, (*slots)[0]);
    EXPECT_NE(nullptr, (*slots)[1]);
}

TEST(RifTable, FlattensInBothOrientations) {
    RIF_FIXTURE fixture("$RIF\n0 1 1 0 1 1 3\n2 5 2 2 5 0 7 1 1 1 44\n");
    OWNED_G2_LIST list = fixture.parse(0, 2);
    unsigned rows = 9, columns = 9;
    std::unique_ptr<BRIX_RIF_TABLE> table = BRIX_COMMON::flatten_rif(list.get(), 8, true, rows, columns);
    ASSERT_TRUE(table);
    EXPECT_EQ(3u, rows) << "one row per entry";
    EXPECT_EQ(8u, columns);
    EXPECT_EQ("1 0 1 1 3", table->cell(0, 1));
    EXPECT_EQ("2 2 5 0 7 1 1 1 44", table->cell(2, 5));
    EXPECT_EQ("", table->cell(1, 1));
    EXPECT_EQ(2u, table->filled_cells().size());

    table = BRIX_COMMON::flatten_rif(list.get(), 8, false, rows, columns);
    EXPECT_EQ(8u, rows);
    EXPECT_EQ(3u, columns) << "one column per entry";
    EXPECT_EQ("1 1 0 1 3", table->cell(1, 0)) << "bit before frame";
    EXPECT_EQ("2 5 2 0 7 1 1 1 44", table->cell(5, 2));

    EXPECT_EQ(nullptr, BRIX_COMMON::flatten_rif(nullptr, 8, true, rows, columns));
    EXPECT_EQ(0u, rows);
    EXPECT_EQ(0u, columns);
}

TEST(RifTable, Failures) {
    // A bit beyond the list length but inside the table: each index is checked against its own dimension.
    RIF_FIXTURE fixture("$RIF\n0 6 1 0 6 0 0\n");
    OWNED_G2_LIST list = fixture.parse(0, 1);
    unsigned rows = 0, columns = 0;
    EXPECT_EQ("1 0 6 0 0", BRIX_COMMON::flatten_rif(list.get(), 7, true, rows, columns)->cell(0, 6));
    EXPECT_EQ("1 6 0 0 0", BRIX_COMMON::flatten_rif(list.get(), 7, false, rows, columns)->cell(6, 0));

    BRIX_INTERNAL_ERROR error =
        catch_brix_error([&] { BRIX_COMMON::flatten_rif(list.get(), 6, true, rows, columns); });
    EXPECT_EQ("s2_bit_value < frame_bit_count && s1_list != NULL", error.condition());
    EXPECT_EQ("brix_common_function", error.source());

    // Two records of one frame and bit (possible in a stored database, never from the parser).
    auto bit_two = [] {
        auto* record = new G2_SII_BIT(2);
        record->set_g2_s1_list(new G2_SI_LIST{new G2_SI(0, 0, false, 0)});
        return record;
    };
    OWNED_G2_LIST doubled(new G2_SII_LIST{nullptr, new G2_SII});
    (*doubled)[1]->set_g2_s2_bit_list_list(
        new G2_SII_BIT_LIST_LIST{new G2_SII_BIT_LIST{bit_two(), bit_two()}});
    EXPECT_BRIX_ERROR(BRIX_COMMON::flatten_rif(doubled.get(), 4, true, rows, columns),
                      "RIF table cell [1][2] is filled twice");
    EXPECT_BRIX_ERROR(BRIX_COMMON::flatten_rif(doubled.get(), 4, false, rows, columns),
                      "RIF table cell [2][1] is filled twice");

    // A bit record without references (possible in a stored database, never from the parser).
    OWNED_G2_LIST bare(new G2_SII_LIST{new G2_SII});
    (*bare)[0]->set_g2_s2_bit_list_list(new G2_SII_BIT_LIST_LIST{new G2_SII_BIT_LIST{new G2_SII_BIT(0)}});
    EXPECT_BRIX_ERROR(BRIX_COMMON::flatten_rif(bare.get(), 4, true, rows, columns),
                      "s2_bit_value < frame_bit_count && s1_list != NULL");
}
