// TALON generation: the row-stamp reader and its DRA info, the bit maps of one CRAM frame, the EDCRC maps,
// the DRA G2 masks and the LUTRAM address-line wiring.
#include "brix_common_function.h"
#include "brix_data_server.h"
#include "cli/brix_operations.h"
#include "fio.h"
#include "inspect/brix_check_maps.h"
#include "records/brix_data_manager.h"
#include "talon/brix_build_tl_device.h"
#include "test_support.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct STAMP_LINE {
    std::string block;
    unsigned frames;
    unsigned dataline;
    unsigned type5_start;
    unsigned type5_count;
};

std::string stamp_text(const std::vector<STAMP_LINE>& lines) {
    std::string text = "# row stamp\n";
    for (const STAMP_LINE& l : lines)
        text += l.block + " " + std::to_string(l.frames) + " " + std::to_string(l.dataline) + " " +
                std::to_string(l.type5_start) + " " + std::to_string(l.type5_count) + "\n";
    return text;
}

// Two divisions split at DR_CS_T. Division 0: a LAB (16 rows), an MLAB (10 rows, type-3 rows 23 and 24) and
// an M20K (20 rows) that takes the division's pad of 18 rows at rows 38 .. 55. Division 1: a LAB with two
// type-5 rows (68, 69) and the 128-bit edge block, whose 32 rows (96 .. 127) are EDCRC rows.
const std::vector<STAMP_LINE> BASE = {
    {"DR_LAB", 60, 64, 0, 0}, {"DR_MLAB", 60, 40, 0, 0}, {"DR_M20KS", 60, 80, 0, 0},
    {"DR_CS_T", 60, 0, 0, 0}, {"DR_LAB", 60, 120, 4, 2}, {"DR_REDR", 60, 128, 0, 0},
};
const std::vector<std::string> DIVISIONS = {"DR_CS_T"};

struct ROW_STAMP {
    std::vector<unsigned char> dra_info;
    unsigned dra0 = 0, dra123 = 0, sof_frame_bits = 0, n_frame_per_row = 0;
    std::vector<unsigned> datalines;
    std::string out;
};

ROW_STAMP parse(const std::string& text, const std::vector<std::string>& divisions = DIVISIONS,
                bool print = false, unsigned bit_count = 0) {
    TEMP_DIR dir;
    std::string file = dir.file("device_row_stamp.def");
    write_text_file(file, text);
    ROW_STAMP r;
    testing::internal::CaptureStdout();
    BRIX_TALON_ROW_STAMP parsed;
    try {
        parsed = BRIX_COMMON::parse_talon_row_stamp(file, divisions, print, bit_count);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    r.out = testing::internal::GetCapturedStdout();
    r.dra0 = parsed.dra0;
    r.dra123 = parsed.dra123;
    r.sof_frame_bits = parsed.sof_frame_bits;
    r.n_frame_per_row = parsed.n_frame_per_row;
    r.dra_info = parsed.dra_info;
    r.datalines.assign(parsed.lutram_remap_datalines.begin(), parsed.lutram_remap_datalines.end());
    return r;
}

std::vector<unsigned char> rows_of(unsigned dra0,
                                   std::vector<std::pair<std::pair<unsigned, unsigned>, int>> runs) {
    std::vector<unsigned char> info(dra0, 0);
    for (auto& run : runs)
        for (unsigned r = run.first.first; r <= run.first.second; ++r)
            info[r] = static_cast<unsigned char>(run.second);
    return info;
}

} // namespace

TEST(TalonRowStamp, BaseFixtureGivesTheDraInfo) {
    ROW_STAMP r = parse(stamp_text(BASE));
    EXPECT_EQ(128u, r.dra0);
    EXPECT_EQ(126u, r.dra123);
    EXPECT_EQ(64u + 40 + 80 + 120 + 32, r.sof_frame_bits);
    EXPECT_EQ(60u, r.n_frame_per_row);
    EXPECT_EQ(std::vector<unsigned>({64 + 20}), r.datalines);
    EXPECT_EQ(rows_of(128, {{{23, 24}, 3}, {{38, 55}, 4}, {{68, 69}, 5}, {{96, 127}, 253}}), r.dra_info);
    EXPECT_EQ("", r.out);
}

TEST(TalonRowStamp, BlockKindsAndEdges) {
    // The low MLABs keep their rows at p + 9, p + 10 and their dataline at s + 28; an edge of 32 bits adds 32
    // SOF bits and 8 data rows and no EDCRC row; a row stamp without an edge block is accepted.
    ROW_STAMP low = parse(stamp_text({{"dr_mlabs", 8, 64, 0, 0},
                                      {"DR_MLAB_N_LABR", 8, 64, 0, 0},
                                      {"DR_CS_T", 8, 0, 0, 0},
                                      {"DR_LAB", 8, 96, 0, 0},
                                      {"DR_REDRHPS_MISR", 8, 32, 0, 0}}));
    EXPECT_EQ(64u, low.dra0);
    EXPECT_EQ(60u, low.dra123);
    EXPECT_EQ(std::vector<unsigned>({28, 64 + 20}), low.datalines);
    EXPECT_EQ(rows_of(64, {{{9, 10}, 3}, {{16 + 7, 16 + 8}, 3}}), low.dra_info);
    EXPECT_EQ(64u + 64 + 96 + 32, low.sof_frame_bits);

    ROW_STAMP no_edge = parse(stamp_text({{"DR_LAB", 4, 128, 0, 0}, {"DR_CS_T", 4, 0, 0, 0}}));
    EXPECT_EQ(32u, no_edge.dra0);
    EXPECT_EQ(128u, no_edge.sof_frame_bits);
    EXPECT_EQ(std::vector<unsigned char>(32, 0), no_edge.dra_info);
}

TEST(TalonRowStamp, PadsEveryDivisionThatHasAnM20k) {
    // Division 0: 16 + 15 rows, its first M20K takes the pad of 1 (row 12), the second none. Division 1: 20
    // rows and a pad of 12 at rows 44 .. 55. Division 2: 32 rows, no M20K, no pad.
    ROW_STAMP r = parse(stamp_text({{"DR_M20KS_24", 2, 64, 0, 0},
                                    {"DR_M20KS", 2, 60, 0, 0},
                                    {"DR_HIOL", 2, 0, 0, 0},
                                    {"DR_M20KS_10", 2, 80, 0, 0},
                                    {"DR_HIOR", 2, 0, 0, 0},
                                    {"DR_LAB", 2, 128, 0, 0}}),
                        {"DR_HIOL", "DR_HIOR"});
    EXPECT_EQ(96u, r.dra0);
    EXPECT_EQ(96u, r.dra123);
    EXPECT_EQ(rows_of(96, {{{12, 12}, 4}, {{44, 55}, 4}}), r.dra_info);
    EXPECT_TRUE(r.datalines.empty());
}

TEST(TalonRowStamp, ListsThePhantomBits) {
    ROW_STAMP r = parse(stamp_text(BASE), DIVISIONS, true);
    EXPECT_EQ("Phantom Bit Type 4 division block(s):\n\tDR_CS_T\n\n"
              "Phantom Bits Type 3 (Bits that exist in SOF, but need to removed from DRA123):\n\n"
              "   DR_MLAB : 23 and 24\n\n"
              "Phantom Bits Type 4 (Bits that we need to auto-inserted in DRA0123,\n"
              "   to make the left-edge and right-edge always aligned to 32-bits):\n\n"
              "   DR_M20KS : 38 - 55\n\n"
              "Phantom Bits Type 5 (Bits that we need to auto-inserted in DRA0123.\n"
              "   Dummy Quad Bits that exists in RowStamp):\n\n"
              "   DR_LAB : 68 - 69\n\n",
              r.out);
}

namespace {
std::vector<STAMP_LINE> with(std::vector<STAMP_LINE> lines, size_t index, STAMP_LINE line) {
    lines[index] = line;
    return lines;
}
std::vector<STAMP_LINE> inserted(std::vector<STAMP_LINE> lines, size_t index, STAMP_LINE line) {
    lines.insert(lines.begin() + std::ptrdiff_t(index), line);
    return lines;
}
} // namespace

TEST(TalonRowStamp, OneDefectMutationsAreRefused) {
    struct CASE {
        const char* what;
        std::string text;
        std::vector<std::string> divisions;
        const char* condition;
        const char* context; // the innermost location named by the report
    };
    const std::string base = stamp_text(BASE);
    const std::vector<CASE> cases = {
        {"four fields", base + "DR_LAB 60 4 0\n", DIVISIONS, "svec.size() == 5", "line 8"},
        {"unknown block", base + "DR_NOPE 60 4 0 0\n", DIVISIONS,
         "convert_talon_row_stamp_block(svec.at(0), dummy)", "line 8"},
        {"unknown division block",
         base,
         {"DR_NOPE"},
         "convert_talon_row_stamp_block(division_block_names.at(i), division_blocks[i])",
         ""},
        {"no division block",
         base,
         {},
         "lutram_remap_list != NULL && *lutram_remap_list == NULL && "
         "n_frame_per_row == 0 && division_count > 0",
         ""},
        {"frames per row differ", stamp_text(with(BASE, 1, {"DR_MLAB", 61, 40, 0, 0})), DIVISIONS,
         "PGM_COMMON::convert_string_to_dword(svec.at(1)) == n_frame_per_row", "line 3"},
        {"no frames per row", stamp_text(with(BASE, 0, {"DR_LAB", 0, 64, 0, 0})), DIVISIONS,
         "n_frame_per_row > 0", "line 2"},
        {"not a number", "DR_LAB 60 6x4 0 0\n", DIVISIONS, "Row stamp field is not a number", "line 1"},
        {"dataline not a multiple of 4", stamp_text(with(BASE, 0, {"DR_LAB", 60, 66, 0, 0})), DIVISIONS,
         "(dataline[i] % 4) == 0", "line 2"},
        {"division block with bits", stamp_text(with(BASE, 3, {"DR_CS_T", 60, 0, 0, 1})), DIVISIONS,
         "dataline[i] == 0 && phantom_bits_type5_start_row[i] == 0 && phantom_bits_type5_count[i] == 0",
         "line 5"},
        {"edge of 64 bits", stamp_text(with(BASE, 5, {"DR_REDR", 60, 64, 0, 0})), DIVISIONS,
         "dataline[i] == 32 || dataline[i] == 128", "line 7"},
        {"edge before the last line", stamp_text(inserted(BASE, 5, {"DR_REDRHPS_MISR", 60, 32, 0, 0})),
         DIVISIONS, "i == (block_count - 1)", "line 7"},
        {"edge with type-5 bits", stamp_text(with(BASE, 5, {"DR_REDR", 60, 128, 0, 4})), DIVISIONS,
         "phantom_bits_type5_start_row[i] == 0 && phantom_bits_type5_count[i] == 0", "line 7"},
        {"M20K division already aligned", stamp_text(with(BASE, 2, {"DR_M20KS", 60, 152, 0, 0})), DIVISIONS,
         "division_block_m20k_phbit[i] > 0 && division_block_m20k_phbit[i] < 32", "division 0"},
        {"unaligned division without M20K", stamp_text(with(BASE, 4, {"DR_LAB", 60, 124, 0, 0})), DIVISIONS,
         "division_block_m20k_phbit[i] == 0", "division 1"},
        {"type-5 run past DRA0", stamp_text(with(BASE, 4, {"DR_LAB", 60, 120, 64, 2})), DIVISIONS,
         "Row stamp marks a DRA row outside DRA0", "DRA0 rows 128 - 129 of 128"},
        {"MLAB rows past DRA0",
         stamp_text({{"DR_LAB", 8, 128, 0, 0},
                     {"DR_CS_T", 8, 0, 0, 0},
                     {"DR_LAB", 8, 124, 0, 0},
                     {"DR_MLAB", 8, 4, 0, 0}}),
         DIVISIONS, "Row stamp marks a DRA row outside DRA0", "DRA0 rows 70 - 71 of 64"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        BRIX_INTERNAL_ERROR e = catch_brix_error([&] { parse(c.text, c.divisions); });
        EXPECT_EQ(c.condition, e.condition());
        if (*c.context != '\0') {
            ASSERT_FALSE(e.context().empty());
            EXPECT_EQ(c.context, e.context().back());
        }
    }
}

// With the device's bit count, the frame's bits and its DRA rows are bounded line by line before the rows are
// allocated: one huge dataline or type-5 count is refused at its line. The base fixture's frame has 336 bits.
TEST(TalonRowStamp, SizesAreBoundedByTheDevicesBits) {
    EXPECT_EQ(336u, parse(stamp_text(BASE), DIVISIONS, false, 336).sof_frame_bits);
    struct CASE {
        const char* what;
        std::vector<STAMP_LINE> lines;
        unsigned bit_count;
        std::string condition;
        const char* line;
    };
    const CASE cases[] = {
        {"one bit short: the edge passes it", BASE, 335,
         "Row stamp frame bits 336 pass the device's bit count 335", "line 7"},
        {"a dataline of 2^31", with(BASE, 0, {"DR_LAB", 60, 2147483648u, 0, 0}), 336,
         "Row stamp frame bits 2147483648 pass the device's bit count 336", "line 2"},
        {"a type-5 count of 2^31", with(BASE, 4, {"DR_LAB", 60, 120, 4, 2147483648u}), 336,
         "Row stamp rows 2147483724 pass the device's bit count 336", "line 6"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        BRIX_INTERNAL_ERROR e =
            catch_brix_error([&] { parse(stamp_text(c.lines), DIVISIONS, false, c.bit_count); });
        EXPECT_EQ(c.condition, e.condition());
        ASSERT_FALSE(e.context().empty());
        EXPECT_EQ(c.line, e.context().back());
    }
}

TEST(TalonRowStamp, UnknownNamePrintsCannotFind) {
    unsigned index = 99;
    EXPECT_TRUE(BRIX_COMMON::convert_talon_row_stamp_block("dr_bf_right_hps_ext_filler", index));
    EXPECT_EQ(84u, index);
    EXPECT_TRUE(BRIX_COMMON::convert_talon_row_stamp_block("DR_MLAB", index));
    EXPECT_EQ(0u, index);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(BRIX_COMMON::convert_talon_row_stamp_block("DR_MLAB_", index));
    EXPECT_EQ("Cannot find DR_MLAB_\n", testing::internal::GetCapturedStdout());
}

// ---- Bit maps of one frame
// ------------------------------------------------------------------------------------

namespace {
struct MAPS {
    std::vector<uint32_t> sof_to_rbf, rbf_to_sof;
};
MAPS tl_maps(const ROW_STAMP& r, const std::vector<uint32_t>& order) {
    MAPS m;
    build_tl_sof_rbf_maps(r.dra_info.data(), r.dra0, unsigned(order.size()), order.data(), r.sof_frame_bits,
                          m.sof_to_rbf, m.rbf_to_sof);
    return m;
}
// Each map entry below the markers has its counterpart pointing back.
void expect_inverse(const MAPS& m) {
    for (size_t i = 0; i < m.sof_to_rbf.size(); ++i)
        if (m.sof_to_rbf[i] < BRIX_SOF_BIT_WITHOUT_RBF) {
            ASSERT_EQ(i, m.rbf_to_sof.at(m.sof_to_rbf[i])) << "SOF bit " << i;
        }
    for (size_t j = 0; j < m.rbf_to_sof.size(); ++j)
        if (m.rbf_to_sof[j] != SOF_FRAME_IS_SPARE_FRAME) {
            ASSERT_EQ(j, m.sof_to_rbf.at(m.rbf_to_sof[j])) << "bitstream bit " << j;
        }
}
} // namespace

TEST(TalonSofRbfMaps, FourDras) {
    ROW_STAMP r = parse(stamp_text(BASE));
    MAPS m = tl_maps(r, {0, 1, 2, 3});
    ASSERT_EQ(336u, m.sof_to_rbf.size());
    ASSERT_EQ(512u, m.rbf_to_sof.size());
    expect_inverse(m);
    // Rows 0 .. 22 carry SOF bits 0 .. 91; on row 23 (type 3) only DRA0's bit has a place.
    EXPECT_EQ(22u, m.sof_to_rbf[88]);
    EXPECT_EQ(23u, m.sof_to_rbf[92]);
    EXPECT_EQ(SOF_FRAME_IS_SPARE_FRAME, m.sof_to_rbf[93]);
    EXPECT_EQ(SOF_FRAME_IS_SPARE_FRAME, m.sof_to_rbf[95]);
    EXPECT_EQ(128u + 22, m.sof_to_rbf[89]);
    EXPECT_EQ(128u + 23, m.sof_to_rbf[101]); // DRA1's row 25 fills its 24th position
    // Row 37 is the last before the pad (rows 38 .. 55): the next SOF bits land after it.
    EXPECT_EQ(56u, m.sof_to_rbf[38 * 4]);
    EXPECT_EQ(128u + 56 - 2, m.sof_to_rbf[38 * 4 + 1]);
    // The last 32 SOF bits are the EDCRC bits of the 128-bit edge.
    for (unsigned i = 304; i < 336; ++i)
        EXPECT_EQ(BRIX_SOF_BIT_WITHOUT_RBF, m.sof_to_rbf[i]);
    EXPECT_EQ(303u, m.rbf_to_sof[3 * 128 + 93]);
}

TEST(TalonSofRbfMaps, ReversedOrderAndEightDras) {
    ROW_STAMP r = parse(stamp_text(BASE));
    MAPS reversed = tl_maps(r, {3, 2, 1, 0});
    MAPS plain = tl_maps(r, {0, 1, 2, 3});
    expect_inverse(reversed);
    for (unsigned i = 0; i < 304; ++i) {
        if (plain.sof_to_rbf[i] >= BRIX_SOF_BIT_WITHOUT_RBF) {
            EXPECT_EQ(plain.sof_to_rbf[i], reversed.sof_to_rbf[i]);
            continue;
        }
        unsigned dra = plain.sof_to_rbf[i] / 128;
        EXPECT_EQ((3 - dra) * 128 + plain.sof_to_rbf[i] % 128, reversed.sof_to_rbf[i]) << i;
    }
    MAPS eight = tl_maps(r, {0, 1, 2, 3, 4, 5, 6, 7});
    expect_inverse(eight);
    ASSERT_EQ(1024u, eight.rbf_to_sof.size());
    EXPECT_EQ(0u, eight.sof_to_rbf[0]);
    EXPECT_EQ(7u * 128, eight.sof_to_rbf[7]);
    EXPECT_EQ(1u, eight.sof_to_rbf[8]);
}

TEST(TalonSofRbfMaps, FaultsAreReported) {
    ROW_STAMP r = parse(stamp_text(BASE));
    ROW_STAMP no_edge = parse(stamp_text({{"DR_LAB", 4, 128, 0, 0}, {"DR_CS_T", 4, 0, 0, 0}}));
    std::vector<uint32_t> a, b;
    const uint32_t order[] = {0, 1, 2, 3};
    // Two DRAs run into the EDCRC rows; one DRA without EDCRC rows runs out of rows.
    EXPECT_BRIX_ERROR(tl_maps(r, {0, 1}), "Unsupported DRA INFO");
    EXPECT_BRIX_ERROR(tl_maps(no_edge, {0}), "DRA 0 has no row left for SOF bit 32");
    EXPECT_BRIX_ERROR(tl_maps(r, {0, 1, 1, 3}), "(*rbf_to_sof)[(*sof_to_rbf)[i]] == UINT(-1)");
    EXPECT_BRIX_ERROR(tl_maps(r, {0, 1, 2, 4}), "(*sof_to_rbf)[i] < rbf_bits");
    std::vector<unsigned char> info = r.dra_info;
    info[100] = 0;
    EXPECT_BRIX_ERROR(build_tl_sof_rbf_maps(info.data(), 128, 4, order, 336, a, b),
                      "edcrc == 0 || edcrc == 32");
    EXPECT_BRIX_ERROR(
        build_tl_sof_rbf_maps(r.dra_info.data(), 120, 4, order, 336, a, b),
        "dra_info != NULL && dra0 > 0 && (dra0 % 32) == 0 && dra_count > 0 && dras_order != NULL "
        "&& sof_frame_bits > 0 && (sof_frame_bits % dra_count) == 0");
    a.push_back(1);
    EXPECT_BRIX_ERROR(build_tl_sof_rbf_maps(r.dra_info.data(), 128, 4, order, 336, a, b),
                      "(*sof_to_rbf) == NULL");
}

// ---- EDCRC maps -------------------------------------------------------------------------------------------

TEST(TalonEdcrcMaps, NumbersRunDraByDraInOrder) {
    ROW_STAMP r = parse(stamp_text(BASE));
    for (std::vector<uint32_t> order :
         {std::vector<uint32_t>{0, 1, 2, 3}, std::vector<uint32_t>{3, 2, 1, 0}}) {
        MAPS m = tl_maps(r, order);
        std::vector<uint32_t> sof_to_edcrc, edcrc_to_sof;
        build_tl_edcrc_maps(r.dra_info.data(), r.dra0, 4, order.data(), m.sof_to_rbf, sof_to_edcrc,
                            edcrc_to_sof);
        ASSERT_EQ(336u, sof_to_edcrc.size());
        ASSERT_EQ(512u, edcrc_to_sof.size());
        // Position 0 is DRA 0's first row: first number of the DRA's turn in the order.
        const uint32_t turn0 = order[0] == 0 ? 0 : 3;
        EXPECT_EQ(turn0 * 32, sof_to_edcrc[0]);
        EXPECT_EQ(turn0 * 32 + 1, sof_to_edcrc[4]);             // next row, same DRA
        EXPECT_EQ(SOF_FRAME_IS_SPARE_FRAME, sof_to_edcrc[93]);  // a type-3 bit of DRA1
        EXPECT_EQ(SOF_FRAME_IS_SPARE_FRAME, sof_to_edcrc[335]); // an EDCRC bit
        // SOF bit 152 (row index 38 among the SOF rows) sits on DRA0 row 56, past the pad: group 1, row 24.
        EXPECT_EQ(128 + turn0 * 32 + 24, sof_to_edcrc[152]);
        for (size_t i = 0; i < sof_to_edcrc.size(); ++i)
            if (sof_to_edcrc[i] != SOF_FRAME_IS_SPARE_FRAME) {
                EXPECT_EQ(i, edcrc_to_sof[sof_to_edcrc[i]]);
            }
    }
}

TEST(TalonEdcrcMaps, FaultsAreReported) {
    ROW_STAMP r = parse(stamp_text(BASE));
    MAPS m = tl_maps(r, {0, 1, 2, 3});
    std::vector<uint32_t> a, b;
    const uint32_t order[] = {0, 1, 2, 3};
    const uint32_t bad_order[] = {0, 1, 2, 4};
    const uint32_t twice[] = {0, 1, 1, 3};
    EXPECT_BRIX_ERROR(build_tl_edcrc_maps(r.dra_info.data(), 112, 4, order, m.sof_to_rbf, a, b),
                      "(bs_frame_bits % bits_per_group) == 0");
    EXPECT_BRIX_ERROR(build_tl_edcrc_maps(r.dra_info.data(), 128, 4, bad_order, m.sof_to_rbf, a, b),
                      "dras_order[d] < dra_count");
    EXPECT_BRIX_ERROR(build_tl_edcrc_maps(r.dra_info.data(), 128, 4, twice, m.sof_to_rbf, a, b),
                      "dest_index != UINT(-1)");
    // More SOF bits than rows that hold SOF bits.
    std::vector<uint32_t> long_map(128 * 4 + 4, 0);
    EXPECT_BRIX_ERROR(build_tl_edcrc_maps(r.dra_info.data(), 128, 4, order, long_map, a, b),
                      "dest_index != UINT(-1)");
}

// ---- DRA G2 masks and the LUTRAM wiring
// ---------------------------------------------------------------------

namespace {
// A G2 entry with the given slots; true marks a slot holding one bit, false an empty slot list, and a
// missing slot is null.
G2_SII* g2_entry(const std::vector<int>& slots) {
    auto* list = new G2_SII_BIT_LIST_LIST();
    for (int slot : slots) {
        if (slot < 0) {
            list->push_back(nullptr);
            continue;
        }
        auto* bits = new G2_SII_BIT_LIST();
        if (slot > 0) {
            auto* bit = new G2_SII_BIT(0);
            bit->set_g2_s1_list(new G2_SI_LIST{new G2_SI(0, 0, false, 1)});
            bits->push_back(bit);
        }
        list->push_back(bits);
    }
    auto* entry = new G2_SII();
    entry->set_g2_s2_bit_list_list(list);
    return entry;
}
struct G2_LIST {
    G2_SII_LIST* list = new G2_SII_LIST();
    ~G2_LIST() { brix_release_list(list); }
};
} // namespace

TEST(TalonDraG2Info, MasksAndChecks) {
    const std::vector<uint32_t> identity = {0, 1, 2, 3, 4, 5};
    G2_LIST g2;
    g2.list->assign({nullptr, g2_entry({1, -1, 1, -1}), nullptr, g2_entry({-1, -1, -1, 1})});
    EXPECT_EQ(std::vector<uint8_t>({0, 5, 0, 8, 0, 0}), build_dra_g2_info(g2.list, 4, 6, 6, identity));
    EXPECT_EQ(std::vector<uint8_t>(6, 0), build_dra_g2_info(nullptr, 4, 6, 6, identity));

    // Frame 3 is a spare frame; frame 3 maps past the bitstream frames; entries past the SOF frames.
    EXPECT_BRIX_ERROR(build_dra_g2_info(g2.list, 4, 6, 5, {0, 1, 2, SOF_FRAME_IS_SPARE_FRAME, 3, 4}),
                      "bs_frame != SOF_FRAME_IS_SPARE_FRAME && bs_frame < bs_frame_count");
    EXPECT_BRIX_ERROR(build_dra_g2_info(g2.list, 4, 6, 3, identity),
                      "bs_frame != SOF_FRAME_IS_SPARE_FRAME && bs_frame < bs_frame_count");
    EXPECT_BRIX_ERROR(build_dra_g2_info(g2.list, 4, 3, 3, identity), "sof_frame < sof_frame_count");
    EXPECT_BRIX_ERROR(
        build_dra_g2_info(g2.list, 2, 6, 6, identity),
        "s2_bits_list != NULL && dra_count > 0 && dra_count <= 8 && s2_bits_list->size() == dra_count");
    EXPECT_BRIX_ERROR(build_dra_g2_info(g2.list, 9, 6, 6, identity),
                      "sof_frame_count > 0 && bs_frame_count > 0 && bs_frame_count <= sof_frame_count && "
                      "dra_count > 0 && dra_count <= 8");
    G2_LIST empty_slot;
    empty_slot.list->assign({g2_entry({1, 0})});
    EXPECT_BRIX_ERROR(build_dra_g2_info(empty_slot.list, 2, 6, 6, identity), "dra_s2_bits_list->size() > 0");
}

TEST(TalonLutram, AddressLinesFollowTheWiringTable) {
    const unsigned expected[92] = {
        0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 23, 22, 21, 20, 19, 18, 17,
        16, 39, 38, 37, 36, 35, 34, 33, 32, 24, 25, 26, 27, 28, 29, 30, 31, 40, 41, 42, 43, 44, 45,
        46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 91, 90, 89, 88, 87, 86, 85, 84, 76,
        77, 78, 79, 80, 81, 82, 83, 60, 61, 62, 63, 64, 65, 66, 67, 75, 74, 73, 72, 71, 70, 69, 68,
    };
    for (unsigned a = 0; a < 92; ++a)
        EXPECT_EQ(expected[a], remap_lutram_addrline(a)) << a;
    EXPECT_BRIX_ERROR(remap_lutram_addrline(92), "addrline >= 0 && addrline < 92");
}

TEST(TalonLutram, RemapTableMustBeAPermutation) {
    for (unsigned n : {16u, 24u, 40u, 41u, 59u, 60u, 92u}) {
        std::vector<uint32_t> table = build_lutram_remap_addrlines(n);
        ASSERT_EQ(n, table.size());
        std::vector<uint32_t> sorted = table;
        std::sort(sorted.begin(), sorted.end());
        for (unsigned a = 0; a < n; ++a)
            EXPECT_EQ(a, sorted[a]) << "n_frame_per_row " << n;
    }
    // Lines 16 .. 19 are wired to 23 .. 20, so address lines 16 .. 19 stay unhit.
    BRIX_INTERNAL_ERROR e = catch_brix_error([] { build_lutram_remap_addrlines(20); });
    EXPECT_EQ("addrlines[addr]", e.condition());
    EXPECT_EQ("address line 16", e.context().back());
    EXPECT_BRIX_ERROR(build_lutram_remap_addrlines(93), "addrline >= 0 && addrline < 92");
    EXPECT_BRIX_ERROR(build_lutram_remap_addrlines(0), "n_frame_per_row > 0");
}

// ---- Whole TALON devices in test mode --------------------------------------------------------------------

namespace {

// A TALON device XML around the base row stamp: DRAS_ORDER (and DRAS, the RIF's DRA count) of the given
// order, CRAM spare rows, an ERAM with spare rows, and optionally a RIF.
struct TALON_FIXTURE {
    std::vector<uint32_t> order = {0, 1, 2, 3};
    uint32_t frames = 12;
    std::string cram_spare = "<arg_data v0=\"2\" v1=\"1\"/>"; // frame 2; empty: no CRAM_SPARE_ROWS
    bool cram_reverse = false;
    std::string eram_rows = "6"; // empty: no ERAM_ROW_COUNT
    std::string eram_spare = "<arg_data v0=\"0\" v1=\"2\"/>";
    bool eram_reverse = true;
    std::vector<std::string> divisions = {"DR_CS_T"};
    std::string rif; // RIF lines (version 1: bit, frame); empty: no RIF
    std::vector<STAMP_LINE> stamp = BASE;

    std::string xml() const {
        auto param = [](const std::string& name, const std::vector<uint32_t>& values) {
            std::string text = "  <parameter name=\"" + name + "\" block=\"CRAM\" length=\"" +
                               std::to_string(values.size()) + "\">";
            for (size_t i = 0; i < values.size(); ++i)
                text += "<const_val offset=\"" + std::to_string(i) + "\" value=\"" +
                        std::to_string(values[i]) + "\"/>";
            return text + "</parameter>\n";
        };
        std::string text = "<device name=\"TALON_D0\" family=\"TALON\">\n";
        text += param("CRAM_ALGO", {0});
        text += param("CRAM_FRAME_COUNT", {frames});
        text += param("CRAM_BIT_COUNT", {336});
        if (!order.empty())
            text += param("DRAS_ORDER", order) + param("DRAS", std::vector<uint32_t>(order.size(), 1));
        text += param("CRAM_REVERSE_SOF_FRAME_ORDER", {cram_reverse ? 1u : 0u});
        text += param("ERAM_REVERSE_SOF_FRAME_ORDER", {eram_reverse ? 1u : 0u});
        if (!eram_rows.empty())
            text +=
                "  <parameter name=\"ERAM_ROW_COUNT\" block=\"ERAM\" length=\"1\"><const_val offset=\"0\" "
                "value=\"" +
                eram_rows + "\"/></parameter>\n";
        if (!divisions.empty()) {
            text += "  <parameter name=\"PHANTOM_BIT_TYPE4_DIVISION_BLOCK\" length=\"" +
                    std::to_string(divisions.size()) + "\">";
            for (size_t i = 0; i < divisions.size(); ++i)
                text += "<const_val offset=\"" + std::to_string(i) + "\" value=\"" + divisions[i] + "\"/>";
            text += "</parameter>\n";
        }
        if (!rif.empty())
            text += "  <parameter name=\"SUPPORT_RIF\" length=\"1\"><const_val value=\"dev\" offset=\"1\"/>"
                    "</parameter>\n";
        if (!cram_spare.empty())
            text += "  <uint_argument name=\"CRAM_SPARE_ROWS\" block=\"CRAM\" width=\"2\">" + cram_spare +
                    "</uint_argument>\n";
        if (!eram_spare.empty())
            text += "  <uint_argument name=\"ERAM_SPARE_ROWS\" block=\"ERAM\" width=\"2\">" + eram_spare +
                    "</uint_argument>\n";
        return text + "</device>\n";
    }
};

void write_gzip(const std::string& path, const std::string& text) {
    gzFile out = gzopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(gzwrite(out, text.data(), unsigned(text.size())), int(text.size()));
    gzclose(out);
}

// Writes the fixture's files as <dir>/dev.* and builds it in test mode.
void build_fixture(const TEMP_DIR& dir, const TALON_FIXTURE& f) {
    write_text_file(dir.file("dev.xml"), f.xml());
    write_text_file(dir.file("dev_row_stamp.def"), stamp_text(f.stamp));
    if (!f.rif.empty())
        write_gzip(dir.file("dev_rif"), "$RIF\n" + f.rif);
    build_device(BRIX_BUILD_CONTEXT({true, false, false}), dir.file("dev.xml"));
}

std::unique_ptr<BRIX_INFO> read_back(const std::string& base) {
    return std::unique_ptr<BRIX_INFO>(BRIX_DATA_SERVER::get_brix_info(base, false));
}

// The (type, block) pairs of the arguments, in list order.
std::vector<std::pair<unsigned, unsigned>> argument_order(const BRIX_DEVICE_INFO* device) {
    std::vector<std::pair<unsigned, unsigned>> order;
    for (const BRIX_ARG* arg : *device->get_argument_list())
        order.push_back({arg->get_arg_type(), arg->get_block_type()});
    return order;
}

template <typename T>
std::vector<T> values_of(const BRIX_DEVICE_INFO* device, BRIX_ARGUMENT_TYPE type, BRIX_BLOCK_TYPE block) {
    const BRIX_ARG* arg = BRIX_MANAGER::search_argument_from_list(type, device->get_argument_list(), block);
    if (arg == nullptr)
        return {};
    unsigned width = 0, unit = 0;
    const unsigned char* data = arg->get_data()->at(0)->get_data(&width, &unit);
    EXPECT_EQ(sizeof(T), unit);
    std::vector<T> values(width);
    std::memcpy(values.data(), data, size_t(width) * sizeof(T));
    return values;
}

} // namespace

TEST(TalonDevice, BuildsEveryTableInOrder) {
    TEMP_DIR dir;
    TALON_FIXTURE f;
    // Bits of frames 0, 3 and 11 on DRAs 0 and 2, 1, and 3.
    f.rif = "0 0 1 0 0 1 5\n2 0 1 0 0 1 5\n5 3 1 5 3 0 1\n7 11 1 7 11 0 1\n";
    build_fixture(dir, f);
    auto info = read_back(dir.file("dev"));
    ASSERT_NE(nullptr, info);
    const BRIX_DEVICE_INFO* device = info->get_device_info();
    const std::vector<std::pair<unsigned, unsigned>> expected = {
        {BRIX_ARGUMENT_CRAM_SPARE_ROWS, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_ERAM_SPARE_ROWS, BRIX_BLOCK_ERAM},
        {BRIX_ARGUMENT_DRA_BIT_INFO, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_ERAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_ERAM},
        {BRIX_ARGUMENT_ERAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_ERAM},
        {BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_DRA_G2_INFO, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_LUTRAM_DATALINES, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_LUTRAM_REMAP_ADDRLINES, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_SOF_TO_EDCRC_MAP, BRIX_BLOCK_CRAM},
        {BRIX_ARGUMENT_EDCRC_TO_SOF_MAP, BRIX_BLOCK_CRAM},
    };
    EXPECT_EQ(expected, argument_order(device));
    BRIX_MAP_CHECK_RESULT check = check_device_maps(device);
    EXPECT_TRUE(check.ok) << check.failure;

    EXPECT_EQ(parse(stamp_text(BASE)).dra_info,
              (values_of<uint8_t>(device, BRIX_ARGUMENT_DRA_BIT_INFO, BRIX_BLOCK_CRAM)));
    EXPECT_EQ(336u, (values_of<uint32_t>(device, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM).size()));
    EXPECT_EQ(512u, (values_of<uint32_t>(device, BRIX_ARGUMENT_RBF_TO_SOF_MAP, BRIX_BLOCK_CRAM).size()));
    // ERAM: 6 rows, rows 0 and 1 spare, numbered downwards.
    EXPECT_EQ((std::vector<uint32_t>{SOF_FRAME_IS_SPARE_FRAME, SOF_FRAME_IS_SPARE_FRAME, 3, 2, 1, 0}),
              (values_of<uint32_t>(device, BRIX_ARGUMENT_ERAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_ERAM)));
    EXPECT_EQ((std::vector<uint32_t>{5, 4, 3, 2}),
              (values_of<uint32_t>(device, BRIX_ARGUMENT_ERAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_ERAM)));
    EXPECT_EQ(
        11u,
        (values_of<uint32_t>(device, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, BRIX_BLOCK_CRAM).size()));
    EXPECT_EQ((std::vector<uint8_t>{5, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 8}),
              (values_of<uint8_t>(device, BRIX_ARGUMENT_DRA_G2_INFO, BRIX_BLOCK_CRAM)));
    EXPECT_EQ(std::vector<uint32_t>{84},
              (values_of<uint32_t>(device, BRIX_ARGUMENT_LUTRAM_DATALINES, BRIX_BLOCK_CRAM)));
    EXPECT_EQ(build_lutram_remap_addrlines(60),
              (values_of<uint32_t>(device, BRIX_ARGUMENT_LUTRAM_REMAP_ADDRLINES, BRIX_BLOCK_CRAM)));
    EXPECT_EQ(336u, (values_of<uint32_t>(device, BRIX_ARGUMENT_SOF_TO_EDCRC_MAP, BRIX_BLOCK_CRAM).size()));
    EXPECT_EQ(512u, (values_of<uint32_t>(device, BRIX_ARGUMENT_EDCRC_TO_SOF_MAP, BRIX_BLOCK_CRAM).size()));
}

TEST(TalonDevice, EightDrasReversedFramesNoEram) {
    TEMP_DIR dir;
    TALON_FIXTURE f;
    f.order = {7, 6, 5, 4, 3, 2, 1, 0};
    f.cram_reverse = true;
    f.cram_spare = "";
    f.eram_rows = "";
    build_fixture(dir, f);
    auto info = read_back(dir.file("dev"));
    ASSERT_NE(nullptr, info);
    const BRIX_DEVICE_INFO* device = info->get_device_info();
    EXPECT_TRUE(check_device_maps(device).ok) << check_device_maps(device).failure;
    EXPECT_EQ(nullptr, BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_ERAM_SOF_FRAME_TO_BS_FRAME_MAP,
                                                               device->get_argument_list()));
    std::vector<uint32_t> sof_to_rbf =
        values_of<uint32_t>(device, BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM);
    EXPECT_EQ(7u * 128, sof_to_rbf[0]); // DRA 0 is carried last
    EXPECT_EQ(0u, sof_to_rbf[7]);
    EXPECT_EQ(1024u, (values_of<uint32_t>(device, BRIX_ARGUMENT_EDCRC_TO_SOF_MAP, BRIX_BLOCK_CRAM).size()));
    std::vector<uint32_t> frames =
        values_of<uint32_t>(device, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM);
    ASSERT_EQ(12u, frames.size());
    EXPECT_EQ(11u, frames[0]);
    EXPECT_EQ(0u, frames[11]);
}

TEST(TalonDevice, OneDefectMutationsWriteNothing) {
    struct CASE {
        const char* what;
        std::function<void(TALON_FIXTURE&)> mutate;
        const char* condition;
    };
    const std::vector<CASE> cases = {
        {"no DRAS_ORDER", [](TALON_FIXTURE& f) { f.order.clear(); }, "dras != NULL"},
        {"no division block", [](TALON_FIXTURE& f) { f.divisions.clear(); },
         "lutram_remap_list != NULL && *lutram_remap_list == NULL && n_frame_per_row == 0 && division_count "
         "> 0"},
        {"SOF bits not a multiple of the DRAs",
         [](TALON_FIXTURE& f) {
             f.order = {0, 1, 2, 3, 4};
         },
         "dra_info != NULL && dra0 > 0 && dra123 > 0 && dra0 >= dra123 && sof_frame_bits > 0 && "
         "(sof_frame_bits % dra_count) == 0 && lutram_remap_datalines != NULL && lutram_remap_dataline_count "
         "> 0"},
        {"no MLAB", [](TALON_FIXTURE& f) { f.stamp[1].block = "DR_LAB"; },
         "dra_info != NULL && dra0 > 0 && dra123 > 0 && dra0 >= dra123 && sof_frame_bits > 0 && "
         "(sof_frame_bits % dra_count) == 0 && lutram_remap_datalines != NULL && lutram_remap_dataline_count "
         "> 0"},
        {"two DRAs run past their rows",
         [](TALON_FIXTURE& f) {
             f.order = {0, 1};
         },
         "Unsupported DRA INFO"},
        {"ERAM of no rows", [](TALON_FIXTURE& f) { f.eram_rows = "0"; }, "frame_count > 0"},
        {"20 frames per row",
         [](TALON_FIXTURE& f) {
             for (STAMP_LINE& l : f.stamp)
                 l.frames = 20;
         },
         "addrlines[addr]"},
        {"G2 bit on a spare frame", [](TALON_FIXTURE& f) { f.rif = "0 2 1 0 2 1 5\n"; },
         "bs_frame != SOF_FRAME_IS_SPARE_FRAME && bs_frame < bs_frame_count"},
        {"spare rows past the frames",
         [](TALON_FIXTURE& f) { f.cram_spare = "<arg_data v0=\"11\" v1=\"2\"/>"; },
         "spare_start + spare_count <= frame_count"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        TEMP_DIR dir;
        TALON_FIXTURE f;
        c.mutate(f);
        testing::internal::CaptureStdout();
        EXPECT_BRIX_ERROR(build_fixture(dir, f), c.condition);
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("dev.ddb")));
    }
    // Without its row-stamp file the device is refused before anything is read from it.
    TEMP_DIR dir;
    write_text_file(dir.file("dev.xml"), TALON_FIXTURE().xml());
    EXPECT_BRIX_ERROR(build_device(BRIX_BUILD_CONTEXT({true, false, false}), dir.file("dev.xml")),
                      "FIO_FILE_SYSTEM::exists(row_stamp_file)");
}
