// The phantomless CRAM map of the flash-based family, on the smallest chip the row rules allow (262 rows):
// a full build checked row by row, one-defect mutations of its inputs, and the readers on their own.
#include "brix_common_function.h"
#include "brix_vocabulary.h"
#include "fio.h"
#include "harrier/phantomless_cells.h"
#include "test_support.h"

#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---- The chip -------------------------------------------------------------------------------------------
//
// 27 columns x 262 rows (T2 = T4 = 1):
//   col 0      L (rows 0..130, 2 wide with col 1), C (rows 131..261)
//   col 1      L, VIOR (rows 131..261)
//   cols 2-3   M (rows 0..261); memory range columns 0..1, rows 10..20 forced to data bits
//   cols 4-22  IH 19 wide (rows 0..69, taken as IH_RIGHT), VCLKMUX (rows 70..235), IV (rows 236..261, the
//              bottom rows, so its map is taken bottom-up)
//   cols 23-25 FLASH_IP (rows 0..95), D (rows 96..261)
//   col 26     faked flash (rows 0..95), 70 unknown rows, HIOR (rows 166..235), 26 unknown rows
constexpr unsigned COLS = 27;
constexpr unsigned ROWS = 262;

// Block CRAM map patterns: bit of block column c, block row r.
bool l_bit(unsigned c, unsigned r) {
    return c == 0 ? r % 2 == 0 : r % 3 == 0;
}
bool m_bit(unsigned c, unsigned r) {
    return c == 0 ? r % 4 == 0 : r % 5 == 0;
}
bool ih_right_bit(unsigned c, unsigned r) {
    return (r + c) % 7 == 0;
}
bool iv_bit(unsigned, unsigned r) {
    return r < 3;
}
bool d_bit(unsigned c, unsigned r) {
    return (r * 3 + c) % 5 == 0;
}

bool chip_flash(unsigned i, unsigned k) {
    return i >= 23 && k <= 95;
}

// The data bits the RBA pass finds, derived by hand from the layout above.
bool chip_bit(unsigned i, unsigned k) {
    if (i <= 1)
        return k <= 130 ? l_bit(i, k) : true;
    if (i <= 3)
        return m_bit(i - 2, k) || (k >= 10 && k <= 20);
    if (i <= 22) {
        if (k < 70)
            return ih_right_bit(i - 4, k);
        if (k <= 235)
            return true;
        return k >= 259; // IV block rows 0..2, bottom-up: chip rows 261, 260, 259
    }
    if (i <= 25)
        return k > 95 && d_bit(i - 23, k - 96);
    return k >= 166 && k <= 235;
}

// The mask file turns the phantom bits (2, 1) and (26, 100) into data bits.
bool final_bit(unsigned i, unsigned k) {
    if ((i == 2 && k == 1) || (i == 26 && k == 100))
        return true;
    return chip_bit(i, k);
}

unsigned expected_final_type(unsigned i) {
    if (i <= 3)
        return 10 + i;
    if (i <= 22)
        return 14 + (i - 4) % 7;
    return 21 + (i - 23);
}

unsigned char expected_flags(unsigned i) {
    unsigned char flags = 0;
    if (i >= 23)
        flags |= PHANTOMLESS_FLAG_FLASH;
    if (i == 22 || i == 23)
        flags |= PHANTOMLESS_FLAG_SWITCH;
    if (i == 2 || i == 3)
        flags |= PHANTOMLESS_FLAG_MEMORY;
    return flags;
}

std::string map_text(unsigned width, unsigned height, const std::function<bool(unsigned, unsigned)>& bit) {
    std::string text;
    for (unsigned r = 0; r < height; ++r) {
        for (unsigned c = width; c-- > 0;) // the last character is column 0
            text += bit(c, r) ? '1' : '0';
        text += '\n';
    }
    return text;
}

// One uniquified column: the chip column whose pattern it lists, its type and final type.
struct UNIQUIFIED_COLUMN {
    unsigned chip_col;
    unsigned type;
    unsigned final_type;
};

const std::vector<UNIQUIFIED_COLUMN> UNIQUIFIED = {
    {0, 10, 10},
    {1, 11, 11},
    {2, 12, 12},
    {3, 13, 13},
    // Listed before the column it copies, so chip column 4 matches it first; its final type is the next
    // one's.
    {4, 40, 14},
    {4, 14, 14},
    {5, 15, 15},
    {6, 16, 16},
    {7, 17, 17},
    {8, 18, 18},
    {9, 19, 19},
    {10, 20, 20},
    {23, 21, 21},
    {24, 22, 22},
    {25, 23, 23},
    {26, 24, 24},
};

std::string uniquified_text(bool mask) {
    std::string text;
    for (const UNIQUIFIED_COLUMN& u : UNIQUIFIED)
        text += std::to_string(u.type) + " ";
    text += "\n";
    for (const UNIQUIFIED_COLUMN& u : UNIQUIFIED)
        text += "FT" + std::to_string(u.final_type) + "\t";
    text += "\n";
    for (unsigned k = 0; k < ROWS; ++k) {
        for (const UNIQUIFIED_COLUMN& u : UNIQUIFIED) {
            bool data = mask ? final_bit(u.chip_col, k) : chip_bit(u.chip_col, k);
            text += chip_flash(u.chip_col, k) ? "X " : data ? "1 " : "0 ";
        }
        text += "\n";
    }
    return text;
}

std::vector<std::string> base_blocks() {
    return {
        "L X0Y0 1 0 130 0 1",         "C X0Y1 1 131 261 0 0",        "VIOR X1Y1 1 131 261 1 1",
        "M X2Y0 1 0 261 2 3",         "IH X4Y0 1 0 69 4 22",         "VCLKMUX X4Y1 1 70 235 4 22",
        "IV X4Y2 1 236 261 4 22",     "FLASH_IP X23Y0 1 0 95 23 25", "D X23Y1 1 96 261 23 25",
        "HIOR X26Y0 1 166 235 26 26", "IOCFF X26Y1 1 0 0 0 0", // a configuration-flash block: no CRAM
    };
}

void write_gzip(const std::string& path, const std::string& text) {
    gzFile out = gzopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(static_cast<int>(text.size()), gzwrite(out, text.data(), static_cast<unsigned>(text.size())));
    ASSERT_EQ(Z_OK, gzclose(out));
}

// The installation of the chip in a temporary directory, with BRIX_VANTREL_PATH pointing at it while it
// lives.
class CHIP_FIXTURE {
  public:
    CHIP_FIXTURE() {
        m_path = std::make_unique<VANTREL_PATH_GUARD>(m_dir.path() + "/");
        std::filesystem::create_directories(m_dir.path() + "/unshipped/pgm_db");
        blocks = base_blocks();
        maps["l"] = map_text(2, 131, l_bit);
        maps["m"] = map_text(2, 262, m_bit);
        maps["ih_right"] = map_text(19, 70, ih_right_bit);
        maps["iv"] = map_text(19, 26, iv_bit);
        maps["d"] = map_text(3, 166, d_bit);
        unmask = uniquified_text(false);
        mask = uniquified_text(true);
    }

    std::string pgm_db(const std::string& name) const { return m_dir.path() + "/unshipped/pgm_db/" + name; }
    std::string rba_file() const { return m_dir.file("chip.rba"); }

    // Writes every input as it now stands.
    void write() {
        std::string rba = "$BLOCK_HEADER\nDEVICE HR_TEST\n" + section + "\n";
        for (const std::string& block : blocks)
            rba += block + "\n";
        rba += "$END\n";
        write_gzip(rba_file() + "z", rba);
        for (const auto& [type, text] : maps)
            write_text_file(pgm_db("harrier_" + type + "_cram.map"), text);
        write_text_file(pgm_db("harrier_phantomless_unmask.txt"), unmask);
        write_text_file(pgm_db("harrier_phantomless_mask.txt"), mask);
    }

    BRIX_PHANTOMLESS_MAP build(unsigned print_split_col = 0xFFFFFFFF) {
        write();
        return BRIX_COMMON::build_hr_phantomless_database(BRIX_FAMILY_HARRIER, rba_file(), cols, rows, range,
                                                          print_split_col, false);
    }

    std::string section = "$BLOCKS";
    std::vector<std::string> blocks;
    std::map<std::string, std::string> maps;
    std::string unmask;
    std::string mask;
    unsigned cols = COLS;
    unsigned rows = ROWS;
    std::array<uint32_t, 4> range = {0, 1, 10, 20};

  private:
    TEMP_DIR m_dir;
    std::unique_ptr<VANTREL_PATH_GUARD> m_path; // released before the directory
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

uint32_t u32_at(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

TEST(Phantomless, SmallestChipRowByRow) {
    CHIP_FIXTURE chip;
    BRIX_PHANTOMLESS_MAP rows;
    std::string out = captured_stdout([&] { rows = chip.build(); });
    // The flash IP stops one column short of the last: that column is faked; column 22 has a block in the
    // flash IP's last row, so nothing is faked in front.
    EXPECT_EQ("\n      Faking the Flash IP from column 26 till 26\n", out);

    ASSERT_EQ(COLS, rows.size());
    for (unsigned i = 0; i < COLS; ++i) {
        SCOPED_TRACE("column " + std::to_string(i));
        const unsigned char* row = rows[i].data();
        EXPECT_EQ(expected_final_type(i), u32_at(row) & 0xFFFFFF);
        EXPECT_EQ(expected_flags(i), row[3]);
        unsigned count = 0;
        for (unsigned k = 0; k < ROWS; ++k) {
            bool bit = (row[PHANTOMLESS_HEADER_SIZE + k / 8] >> (k % 8)) & 1;
            ASSERT_EQ(final_bit(i, k), bit) << "row " << k;
            count += final_bit(i, k);
        }
        EXPECT_EQ(count, u32_at(row + 4));
        for (unsigned b = 8; b < 16; ++b)
            EXPECT_EQ(0, row[b]);
        // Row 262 of the last byte is padding.
        EXPECT_EQ(0, row[PHANTOMLESS_HEADER_SIZE + 32] >> 6);
    }
}

TEST(Phantomless, MappingListing) {
    struct CASE {
        unsigned split;
        std::string row0;
        std::string row131;
    };
    const std::string ih19(19, '4'), vclk19(19, '9');
    const CASE cases[] = {
        {0, "LLMM" + ih19 + "xxx#", "C7MM" + vclk19 + "DDD?"},
        {2, "LL\tMM" + ih19 + "xxx#", "C7\tMM" + vclk19 + "DDD?"},
        {COLS, "LLMM" + ih19 + "xxx#\t", "C7MM" + vclk19 + "DDD?\t"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE("split " + std::to_string(c.split));
        CHIP_FIXTURE chip;
        std::string out = captured_stdout([&] { chip.build(c.split); });
        std::string head =
            "\nPhantomLess Mapping\n\n"
            "\t? : Unknown, x : Flash,   # : Fake Flash, L : LAB,      M : Memory,   D : DSP,    C : "
            "Clock\n"
            "\t1 : C_IV,    2 : HCLKMUX, 3 : IH,         4 : IH_RIGHT, 5 : IV,       6 : HIOR\n"
            "\t7 : VIOR,    8 : PLLINT,  9 : VCLKMUX\n\n";
        size_t at = out.find(head);
        ASSERT_NE(std::string::npos, at);
        std::vector<std::string> lines;
        size_t pos = at + head.size();
        for (unsigned k = 0; k < ROWS; ++k) {
            size_t end = out.find('\n', pos);
            ASSERT_NE(std::string::npos, end);
            lines.push_back(out.substr(pos, end - pos));
            pos = end + 1;
        }
        EXPECT_EQ("\n", out.substr(pos));
        EXPECT_EQ(c.row0, lines[0]);
        EXPECT_EQ(c.row131, lines[131]);
    }
}

// Each case changes one thing of the coherent chip and names the report it must end with.
TEST(Phantomless, OneDefectMutations) {
    struct CASE {
        const char* name;
        std::function<void(CHIP_FIXTURE&)> mutate;
        std::function<std::string(const CHIP_FIXTURE&)> condition;
    };
    auto text = [](const char* t) { return [t](const CHIP_FIXTURE&) { return std::string(t); }; };
    auto replace_block = [](unsigned index, const char* line) {
        return [index, line](CHIP_FIXTURE& chip) { chip.blocks[index] = line; };
    };
    auto add_block = [](const char* line) {
        return [line](CHIP_FIXTURE& chip) { chip.blocks.push_back(line); };
    };
    const CASE cases[] = {
        {"overlapping blocks", add_block("L X9Y9 1 131 261 0 1"),
         text("i < col_size && j < row_size && map[i][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)")},
        {"block outside the grid", add_block("HCLKMUX X30Y0 1 0 3 27 27"),
         text("i < col_size && j < row_size && map[i][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)")},
        // 18 columns wide it stays IH, whose map the installation does not have.
        {"IH 18 wide", replace_block(4, "IH X4Y0 1 0 69 4 21"),
         [](const CHIP_FIXTURE& chip) {
             return chip.pgm_db("harrier_ih_cram.map") + " file does not exist";
         }},
        // 22 rows high it becomes C_IV: the L cells above it break column 0's clock rule.
        {"C 22 high", replace_block(1, "C X0Y1 1 131 152 0 0"),
         text("C Block violates exclusive-check rules")},
        {"unknown block", add_block("NOSUCH X0Y0 1 0 0 0 0"), text("Unrecognized block for HR RBA")},
        {"second block of another size", add_block("VIOR X1Y9 1 0 0 26 26"),
         text("block_size[2 * brix_type] == (end_column - start_column + 1) && block_size[2 * brix_type + 1] "
              "== "
              "(end_row - start_row + 1)")},
        {"flash IP one column wide", replace_block(7, "FLASH_IP X23Y0 1 0 95 23 23"),
         text("flash_ip_start_column > 0 && flash_ip_start_column < flash_ip_end_column")},
        {"last column short of 70 unknown rows", replace_block(9, "HIOR X26Y0 1 160 229 26 26"),
         text("t2_zero_count == 70")},
        {"no $BLOCKS section", [](CHIP_FIXTURE& chip) { chip.section = "$BLOCK"; }, text("found_block")},
        {"block with a type of its own", add_block("DUMMY2 X26Y0 1 0 0 26 26"),
         text("Unprocessed block DUMMY2 X26Y0 1 0 0 26 26")},
        {"unexpected bit in a block map", [](CHIP_FIXTURE& chip) { chip.maps["d"][0] = '2'; },
         text("Unregconized bit in CRAM Map")},
        {"block map differs from the uniquified column", [](CHIP_FIXTURE& chip) { chip.maps["l"][1] = '0'; },
         text("Unable to match Fullchip column 0 with any of the Uniquified column")},
        {"mask data where the unmask has flash",
         [](CHIP_FIXTURE& chip) {
             size_t at = chip.mask.find("X ");
             chip.mask.replace(at, 2, "1 ");
         },
         text("fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_PB || fullchip_unmask_uniquified[j][k] == "
              "SOF_BIT_IS_DATA")},
        // Row 0 of the last column's mask turned from flash to data: the column leaves the flash columns (a
        // second switch region) and its mask has data where the unmask has flash. The switch is checked
        // first.
        {"second switch region on a column that also breaks a cell rule",
         [](CHIP_FIXTURE& chip) {
             size_t row0 = chip.mask.find('\n', chip.mask.find('\n') + 1) + 1;
             size_t at = chip.mask.rfind("X ", chip.mask.find('\n', row0));
             chip.mask.replace(at, 2, "1 ");
         },
         text("!found_switch_region")},
        {"rows that are not 52 plus a multiple of 70", [](CHIP_FIXTURE& chip) { chip.rows = 263; },
         text("((row_size - 2 * 26) % 70) == 0 && ((row_size - 2 * 26) / 70) > 2")},
        {"rows below 52", [](CHIP_FIXTURE& chip) { chip.rows = 2; },
         text("((row_size - 2 * 26) % 70) == 0 && ((row_size - 2 * 26) / 70) > 2")},
        // The memory columns 2 + 0 .. 2 + 30 run past the last column.
        {"memory range past the last column",
         [](CHIP_FIXTURE& chip) {
             chip.range = {0, 30, 10, 20};
         },
         text("memory_block_start_col + mram_valid_range span < col_size")},
        // A range whose end lies below its start; the M map lists the forced bits itself.
        {"memory range end below its start",
         [](CHIP_FIXTURE& chip) {
             chip.range = {1, 0, 10, 20};
             chip.maps["m"] =
                 map_text(2, 262, [](unsigned c, unsigned r) { return m_bit(c, r) || (r >= 10 && r <= 20); });
         },
         text("mram_valid_range[0] <= mram_valid_range[1]")},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        CHIP_FIXTURE chip;
        c.mutate(chip);
        BRIX_INTERNAL_ERROR error("", "", "", 0, {});
        captured_stdout([&] { error = catch_brix_error([&] { chip.build(); }); });
        EXPECT_EQ(c.condition(chip), error.condition());
    }
}

// The cell rules of one column on 64-bit rows: each rule on its own, the flash rule with the chip column's
// own flash cells and bits, and the lowest failing row deciding the report.
TEST(Phantomless, CellRulesOfOneColumn) {
    const char* const data_rule = "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_PB || "
                                  "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_DATA";
    const char* const flash_rule =
        "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_FLASH && "
        "is_flash_ip(BRIX_RBA_CRAM_TYPE(map[i][k])) && (bin_col_map[k >> 3] & (1 << "
        "(k & 7))) == 0";
    const char* const pb_rule = "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_PB";
    // Two words (rows 0..127); a coherent column: rows 0..3 flash, row 70 data, every other row a phantom
    // bit, the same in both files.
    struct ROWS {
        uint64_t mask_data[2] = {0, 1u << 6};
        uint64_t mask_flash[2] = {0xF, 0};
        uint64_t mask_pb[2] = {~uint64_t(0xF), ~uint64_t(1u << 6)};
        uint64_t unmask_flash[2] = {0xF, 0};
        uint64_t unmask_pb[2] = {~uint64_t(0xF), ~uint64_t(1u << 6)};
        uint64_t chip_flash[2] = {0xF, 0};
        uint64_t chip_bits[2] = {0, 1u << 6};
    };
    struct CASE {
        const char* what;
        std::function<void(ROWS&)> change;
        const char* condition; // null: accepted
    };
    const CASE cases[] = {
        {"coherent column", [](ROWS&) {}, nullptr},
        {"mask data on an unmask phantom bit",
         [](ROWS& r) {
             r.mask_data[1] |= 1u << 7;
             r.mask_pb[1] &= ~uint64_t(1u << 7);
         },
         nullptr},
        {"mask data on an unmask flash row",
         [](ROWS& r) {
             r.mask_flash[0] = 0xE;
             r.mask_data[0] = 1;
         },
         data_rule},
        {"bit set on a flash cell of the chip column", [](ROWS& r) { r.chip_bits[0] = 0x4; }, flash_rule},
        {"flash mask row on a cell of the chip column that is not flash",
         [](ROWS& r) { r.chip_flash[0] = 0x7; }, flash_rule},
        {"mask phantom bit on an unmask data row",
         [](ROWS& r) {
             r.mask_data[1] = 0;
             r.mask_pb[1] = ~uint64_t(0);
         },
         pb_rule},
        {"the lowest failing row decides",
         [](ROWS& r) {
             r.unmask_pb[0] = ~uint64_t(0x1F); // row 4
             r.chip_bits[0] = 0x8;             // row 3
         },
         flash_rule},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        ROWS r;
        c.change(r);
        const PHANTOMLESS_CELL_ROWS rows{r.mask_data, r.mask_flash, r.mask_pb,  r.unmask_flash,
                                         r.unmask_pb, r.chip_flash, r.chip_bits};
        if (c.condition == nullptr)
            EXPECT_NO_THROW(check_phantomless_cells(rows, 2));
        else
            EXPECT_BRIX_ERROR(check_phantomless_cells(rows, 2), c.condition);
    }
}

TEST(Phantomless, ReportsNameTheInput) {
    CHIP_FIXTURE chip;
    chip.blocks.push_back("L X9Y9 1 131 261 0 1");
    BRIX_INTERNAL_ERROR error = catch_brix_error([&] { chip.build(); });
    std::vector<std::string> expected = {chip.rba_file(), "line 15"};
    EXPECT_EQ(expected, error.context());
}

TEST(Phantomless, ArgumentChecks) {
    CHIP_FIXTURE chip;
    chip.write();
    auto build = [&](unsigned family, const std::string& rba, std::array<uint32_t, 4> range) {
        BRIX_COMMON::build_hr_phantomless_database(family, rba, COLS, ROWS, range, 0xFFFFFFFF, false);
    };
    EXPECT_BRIX_ERROR(build(BRIX_FAMILY_GRANITE, chip.rba_file(), chip.range),
                      "Harrier Phantomless algo does not support the specified family");
    EXPECT_BRIX_ERROR(
        build(BRIX_FAMILY_HARRIER, chip.rba_file(), {3, 3, 10, 20}),
        "mram_valid_range[0] != mram_valid_range[1] && mram_valid_range[2] != mram_valid_range[3]");
    EXPECT_BRIX_ERROR(build(BRIX_FAMILY_HARRIER, chip.rba_file() + "_missing", chip.range),
                      "Harrier RBA source file does not exist");
}

// ---- The readers on their own ---------------------------------------------------------------------------

unsigned g_waits = 0;
void count_wait(unsigned milliseconds) {
    EXPECT_EQ(2000u, milliseconds);
    ++g_waits;
}

TEST(PhantomlessUniquified, MissingFileIsWaitedForTwentyTimes) {
    TEMP_DIR dir;
    std::string path = dir.file("harrier_phantomless_unmask.txt");
    g_waits = 0;
    BRIX_COMMON::set_wait_function_for_testing(count_wait);
    unsigned col = 0, row = 0;
    std::vector<unsigned> types, final_types;
    BRIX_BYTE_COLUMNS cells;
    std::string out = captured_stdout([&] {
        EXPECT_BRIX_ERROR(
            BRIX_COMMON::parse_phantomless_uniquified_file(path, col, row, types, final_types, cells),
            "FIO_FILE_SYSTEM::exists(input.c_str())");
    });
    BRIX_COMMON::set_wait_function_for_testing(nullptr);
    EXPECT_EQ(20u, g_waits);
    std::string first = "Couldn't find input file: " + path + ", sleep for 2seconds - retry 0 ...\n";
    std::string last = "Couldn't find input file: " + path + ", sleep for 2seconds - retry 19 ...\n";
    EXPECT_EQ(0u, out.find(first));
    EXPECT_EQ(out.size() - last.size(), out.find(last));
}

TEST(PhantomlessUniquified, ReadsColumnsAndRefusesBadFiles) {
    TEMP_DIR dir;
    std::string path = dir.file("u.txt");
    auto parse = [&](const std::string& text) {
        write_text_file(path, text);
        unsigned col = 0, row = 0;
        std::vector<unsigned> types, final_types;
        BRIX_BYTE_COLUMNS cells;
        BRIX_COMMON::parse_phantomless_uniquified_file(path, col, row, types, final_types, cells);
        EXPECT_EQ(col, cells.size());
        return std::make_tuple(col, row, types, final_types, cells);
    };
    auto [col, row, types, final_types, cells] = parse("  7 0x10 \n\nFT3 FT0x20\n0 X\r\n1 x\n\t1\t0\n");
    EXPECT_EQ(2u, col);
    EXPECT_EQ(3u, row);
    EXPECT_EQ((std::vector<unsigned>{7, 16}), types);
    EXPECT_EQ((std::vector<unsigned>{3, 32}), final_types);
    EXPECT_EQ((std::vector<unsigned char>{SOF_BIT_IS_PB, SOF_BIT_IS_DATA, SOF_BIT_IS_DATA}), cells[0]);
    EXPECT_EQ((std::vector<unsigned char>{SOF_BIT_IS_FLASH, SOF_BIT_IS_FLASH, SOF_BIT_IS_PB}), cells[1]);

    struct CASE {
        const char* text;
        const char* condition;
    };
    const CASE cases[] = {
        {"1 2\nFT1 FT2\n0 1 1\n", "DWORD(svec.size()) == col"},
        {"1 2\nFT1 XT2\n0 1\n", "ft.size() >= 2 && ft.find(\"FT\") == 0"},
        {"1 2\nFT1 F\n0 1\n", "ft.size() >= 2 && ft.find(\"FT\") == 0"},
        {"1 2\nFT1 FT2\n0 2\n", "Unrecognized SOF bit type"},
        {"1 z\nFT1 FT2\n0 1\n", "Invalid string to integer conversion"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_BRIX_ERROR(parse(c.text), c.condition);
    }
    // The report names the file and the line.
    write_text_file(path, "1 2\nFT1 FT2\n0 1\n1 q\n");
    unsigned c2 = 0, r2 = 0;
    std::vector<unsigned> t2, f2;
    BRIX_BYTE_COLUMNS cells2;
    BRIX_INTERNAL_ERROR error = catch_brix_error(
        [&] { BRIX_COMMON::parse_phantomless_uniquified_file(path, c2, r2, t2, f2, cells2); });
    EXPECT_EQ((std::vector<std::string>{path, "line 4"}), error.context());
}

TEST(PhantomlessUniquified, FullChipExpansionRepeatsSegments) {
    // Two columns of segments 1, 2, 1, 2, 1 rows: the full chip repeats segment 1 twice and segment 3 three
    // times.
    const unsigned counts[] = {1, 2, 1, 2, 1};
    const unsigned repeats[] = {1, 2, 1, 3, 1};
    BRIX_BYTE_COLUMNS source = {{0, 1, 2, 3, 4, 5, 6}, {10, 11, 12, 13, 14, 15, 16}};
    BRIX_BYTE_COLUMNS full;
    BRIX_COMMON::build_fullchip_uniquified(source, 2, 7, 13, 5, counts, repeats, full);
    EXPECT_EQ((std::vector<unsigned char>{0, 1, 2, 1, 2, 3, 4, 5, 4, 5, 4, 5, 6}), full[0]);
    EXPECT_EQ((std::vector<unsigned char>{10, 11, 12, 11, 12, 13, 14, 15, 14, 15, 14, 15, 16}), full[1]);

    const char* condition = "dest_index == fullchip_row && src_index == uniquified_row";
    // Heights that do not add up are refused before a row is read.
    EXPECT_BRIX_ERROR(BRIX_COMMON::build_fullchip_uniquified(source, 2, 7, 14, 5, counts, repeats, full),
                      condition);
    EXPECT_BRIX_ERROR(BRIX_COMMON::build_fullchip_uniquified(source, 2, 8, 13, 5, counts, repeats, full),
                      condition);
    // A column shorter than the uniquified height.
    BRIX_BYTE_COLUMNS short_column = {{0, 1, 2, 3, 4, 5, 6}, {10, 11}};
    EXPECT_BRIX_ERROR(
        BRIX_COMMON::build_fullchip_uniquified(short_column, 2, 7, 13, 5, counts, repeats, full), condition);
}

TEST(PhantomlessBlockMap, ReadsColumnsFromTheRightAndForcesTheMemoryRange) {
    TEMP_DIR dir;
    std::string path = dir.file("m.map");
    write_text_file(path, "\n  001\n100\n\n010  \n");
    BIT_MATRIX map;
    BRIX_COMMON::get_cram_map(path, 3, 3, map, false, 0, 0, 0, 0);
    // Line r, last character = column 0.
    EXPECT_TRUE(map.get(0, 0));
    EXPECT_TRUE(map.get(2, 1));
    EXPECT_TRUE(map.get(1, 2));
    EXPECT_EQ(3u, map.count());
    BRIX_COMMON::get_cram_map(path, 3, 3, map, true, 1, 2, 0, 1);
    EXPECT_EQ(6u, map.count()); // columns 1-2 of rows 0-1 forced on, plus (0, 0) and (1, 2)
    EXPECT_TRUE(map.get(1, 0) && map.get(2, 0) && map.get(1, 1) && map.get(2, 1));

    struct CASE {
        std::string text;
        unsigned height;
        std::string condition;
    };
    const CASE cases[] = {
        {"001\n10\n", 3, "DWORD(string.size()) == col_size"},
        {"001\n1a0\n", 3, "Unregconized bit in CRAM Map"},
        {"001\n100\n010\n111\n", 3, "row < height"}, // a fourth line would land past the block
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.text);
        write_text_file(path, c.text);
        EXPECT_BRIX_ERROR(BRIX_COMMON::get_cram_map(path, 3, c.height, map, false, 0, 0, 0, 0), c.condition);
    }
    EXPECT_BRIX_ERROR(BRIX_COMMON::get_cram_map(dir.file("none.map"), 3, 3, map, false, 0, 0, 0, 0),
                      dir.file("none.map") + " file does not exist");
}

TEST(PhantomlessBlockMap, CopiesAtAnOffsetAndBottomUp) {
    // A 2-column block of 70 rows placed at row 60, across the first word boundary of the columns.
    BIT_MATRIX block(2, 70);
    block.set(0, 0);
    block.set(0, 5);
    block.set(1, 69);
    BIT_MATRIX chip(4, 200);
    BRIX_COMMON::copy_cram_map(chip, block, 1, 60, 2, 70, false);
    EXPECT_TRUE(chip.get(1, 60) && chip.get(1, 65) && chip.get(2, 129));
    EXPECT_EQ(3u, chip.count());
    BIT_MATRIX reversed(4, 200);
    BRIX_COMMON::copy_cram_map(reversed, block, 1, 60, 2, 70, true);
    EXPECT_TRUE(reversed.get(1, 129) && reversed.get(1, 124) && reversed.get(2, 60));
    EXPECT_EQ(3u, reversed.count());
    // Bits already set are refused.
    EXPECT_BRIX_ERROR(BRIX_COMMON::copy_cram_map(chip, block, 1, 60, 2, 70, false),
                      "(col_map[row_index >> 3] & (1 << (row_index & 7))) == 0");
}

TEST(PhantomlessTypes, LegendCharactersAndFlashTypes) {
    const std::pair<unsigned, char> legend[] = {
        {BRIX_RBA_CRAM_L, 'L'},       {BRIX_RBA_CRAM_M, 'M'},        {BRIX_RBA_CRAM_D, 'D'},
        {BRIX_RBA_CRAM_C, 'C'},       {BRIX_RBA_CRAM_C_IV, '1'},     {BRIX_RBA_CRAM_HCLKMUX, '2'},
        {BRIX_RBA_CRAM_IH, '3'},      {BRIX_RBA_CRAM_IH_RIGHT, '4'}, {BRIX_RBA_CRAM_IV, '5'},
        {BRIX_RBA_CRAM_HIOR, '6'},    {BRIX_RBA_CRAM_VIOR, '7'},     {BRIX_RBA_CRAM_PLLINT, '8'},
        {BRIX_RBA_CRAM_VCLKMUX, '9'}, {BRIX_RBA_CRAM_FLASH_IP, 'x'}, {BRIX_RBA_CRAM_FAKE_FLASH_IP, '#'},
        {BRIX_RBA_CRAM_UNKNOWN, '?'},
    };
    for (const auto& [type, character] : legend)
        EXPECT_EQ(character, BRIX_COMMON::convert_hr_rba_type_to_char(type)) << type;
    for (unsigned type : {0u, unsigned(BRIX_RBA_CRAM_DUMMY1), unsigned(BRIX_RBA_CRAM_UNKNOWN) + 1})
        EXPECT_BRIX_ERROR(BRIX_COMMON::convert_hr_rba_type_to_char(type), "Unsupport HR RBA CRAM Block type");
    for (unsigned type = 0; type <= BRIX_RBA_CRAM_UNKNOWN; ++type)
        EXPECT_EQ(type == BRIX_RBA_CRAM_FLASH_IP || type == BRIX_RBA_CRAM_FAKE_FLASH_IP,
                  BRIX_COMMON::is_flash_ip(type));
}

TEST(PhantomlessTypes, ExclusiveColumns) {
    // One column per case, read from row 0 down; companions HCLKMUX and PLLINT of HIOR.
    struct CASE {
        std::vector<unsigned> cells;
        bool passes;
    };
    const unsigned U = BRIX_RBA_CRAM_UNKNOWN, H = BRIX_RBA_CRAM_HIOR, K = BRIX_RBA_CRAM_HCLKMUX,
                   L = BRIX_RBA_CRAM_L, X = BRIX_RBA_CRAM_FLASH_IP;
    const CASE cases[] = {
        {{X, U, H, K, U}, true}, // flash and unknown cells are neutral
        {{K, H, L}, true},       // other cells below the companions are allowed
        {{L, U, K, H}, false},   // an other cell above a companion
        {{L, H, U}, true},       // no companion at all
    };
    const unsigned companions[] = {BRIX_RBA_CRAM_HCLKMUX, BRIX_RBA_CRAM_PLLINT};
    for (const CASE& c : cases) {
        BRIX_RBA_TYPE_MAP map(1, static_cast<unsigned>(c.cells.size()));
        for (size_t k = 0; k < c.cells.size(); ++k)
            map.column(0)[k] = static_cast<unsigned char>(c.cells[k]);
        EXPECT_EQ(c.passes,
                  BRIX_COMMON::rba_phantomless_exclusive_column(map, 1, map.row_size(), H, 2, companions));
    }
    BRIX_RBA_TYPE_MAP empty(1, 3);
    empty.column(0)[1] = static_cast<unsigned char>(K);
    EXPECT_BRIX_ERROR(BRIX_COMMON::rba_phantomless_exclusive_column(empty, 1, 3, H, 2, companions),
                      "Unable to find any RBA Block");
}

} // namespace
