// TALON row stamps: a row stamp lists the column blocks of one CRAM frame. Every block contributes its
// dataline (SOF bits) to the frame and dataline / 4 rows to DRA0; the reader turns the list into the DRA
// info, one byte per DRA0 row, telling the bit mappers which rows carry SOF bits and which are phantom or
// EDCRC rows. Sizes are summed in 64 bits and every row the walk marks is checked against DRA0, so no row
// stamp can make the reader write outside its table.
#define BRIX_SOURCE_NAME "brix_common_function"

#include "brix_common_function.h"

#include "bit_matrix.h"
#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "fio.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "pgmdev.h"
#include "qtl_tokenizer.h"
#include "records/brix_data_manager.h"
#include "thr.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace {

const char* const ROW_STAMP_BLOCKS[] = {
    "DR_MLAB",
    "DR_MLABL",
    "DR_MLABR",
    "DR_MLABS",
    "DR_MLAB_N_LABR",
    "DR_MLABR_N_LABLS",
    "DR_MLABS_HPS_TL1",
    "DR_MLABL_HPS",
    "DR_LAB",
    "DR_LABS",
    "DR_LABL",
    "DR_LAB_N_LABR",
    "DR_LABS_N_LABL",
    "DR_LABS_N_LABR",
    "DR_LAB_N_LABRS",
    "DR_LABS_HPS",
    "DR_LAB_HPS_NO_NEG_ALL",
    "DR_LAB_HPS_TL1",
    "DR_M20KS",
    "DR_M20KS_24",
    "DR_M20KS_HPS_NO_NEG",
    "DR_M20KS_HPS",
    "DR_M20KS_10",
    "DR_HIOL",
    "DR_HIOR",
    "DR_CS_T",
    "DR_CS_S",
    "DR_CS_G",
    "DR_CS_T_L",
    "DR_CS_T_R",
    "DR_CS_S_L",
    "DR_CS_S_R",
    "DR_CS_T_L1",
    "DR_CS_T_L2",
    "DR_CS_T_R1",
    "DR_CS_T_R2",
    "DR_CS_T_R2_HPS",
    "DR_BUF_L",
    "DR_BUF_R",
    "DR_BUF_L_AR",
    "DR_BUF_R_AR",
    "DR_BUF_L_L",
    "DR_BUF_L_R",
    "DR_BUF_R_L",
    "DR_BUF_R_R",
    "DR_BUF_L_R_AR",
    "DR_BUF_R_L_AR",
    "DR_BUF_L_R_NOTL5",
    "DR_REDL",
    "DR_REDR",
    "DR_REDL_FILLER",
    "DR_REDR_FILLER",
    "DR_REDRHPS",
    "DR_REDRHPS_FILLER",
    "DR_REDRHPS_NOTL5",
    "DR_REDRHPS_MISR",
    "DR_REDL_IO",
    "DR_ALB_L",
    "DR_ALD_L",
    "DR_ALB_R",
    "DR_ALD_R",
    "DR_ALD_AR",
    "DR_ALZ_L",
    "DR_ALZ_R",
    "DR_ALDZ_L",
    "DR_IO48DDR",
    "DR_IO48LVDS",
    "DR_DIST_CLK_MUX",
    "DR_DIST_CLK_MUX_L",
    "DR_DIST_CLK_MUX_R",
    "DR_DIST_CLK_MUX_NOTL5",
    "DR_PWR_MUX",
    "DR_PWR_MUX_L",
    "DR_PWR_MUX_R",
    "DR_PWR_MUX_L_NOTL5",
    "DR_CLK_REBUFFER",
    "DR_DSPS",
    "DR_DSPS_HPS",
    "DR_UIB",
    "DR_ODC",
    "DR_TR_G2_AR",
    "DR_ALIENR_FILL",
    "AR_DR_CENTER",
    "DR_HPS_FILLER",
    "DR_BF_RIGHT_HPS_EXT_FILLER",
};
static_assert(std::size(ROW_STAMP_BLOCKS) == BRIX_COMMON::TALON_ROW_STAMP_BLOCK_COUNT,
              "one name per row-stamp block");

// Block classes by vocabulary index.
bool is_mlab(unsigned block) {
    return block <= 7;
}
// MLAB blocks 3 and 6 (DR_MLABS, DR_MLABS_HPS_TL1) keep their LUTRAM rows two rows further down.
bool is_low_mlab(unsigned block) {
    return block == 3 || block == 6;
}
bool is_m20k(unsigned block) {
    return block >= 18 && block <= 22;
}
bool is_edge(unsigned block) {
    return block == 49 || block == 55;
}

// The largest SOF frame and DRA0 a row stamp may describe: room for the LUTRAM offsets past the last bit.
constexpr uint64_t ROW_STAMP_SIZE_MAX = UINT32_MAX - 32;

struct ROW_STAMP_LINE {
    uint64_t line = 0;
    std::vector<std::string> fields;
};

// The non-empty lines of a row stamp, comments and surrounding white space removed, split into fields.
std::vector<ROW_STAMP_LINE> read_row_stamp_lines(const std::string& file) {
    LINE_READER reader(file);
    BRIX_CHECK(reader.is_open(), "row_stamp_infile.good()");
    std::vector<ROW_STAMP_LINE> lines;
    std::string text;
    while (reader.next(text)) {
        std::string clean = PGM_COMMON::get_rid_header_and_trailer_white_space_and_comment(text);
        if (clean.empty())
            continue;
        ROW_STAMP_LINE line;
        line.line = reader.line_number();
        line.fields = LINE_READER::words(clean);
        if (!line.fields.empty())
            lines.push_back(std::move(line));
    }
    BRIX_CHECK(!reader.failed(), "row_stamp_infile.good()");
    return lines;
}

unsigned row_stamp_number(const std::string& text) {
    uint32_t value = 0;
    BRIX_CHECK(PGM_COMMON::convert_string_to_dword(text, value), "Row stamp field is not a number");
    return value;
}

// One block of the row stamp.
struct ROW_STAMP_BLOCK {
    uint64_t line = 0;
    unsigned block = 0;
    unsigned dataline = 0;
    unsigned type5_start = 0;
    unsigned type5_count = 0;
};

std::string line_text(uint64_t line) {
    return "line " + std::to_string(line);
}

// A row range of the listing: "first - last", or one row.
std::string row_range(uint64_t first, uint64_t count) {
    if (count == 1)
        return std::to_string(first);
    return std::to_string(first) + " - " + std::to_string(first + count - 1);
}

} // namespace

const char* BRIX_COMMON::talon_row_stamp_block_name(unsigned index) {
    return index < TALON_ROW_STAMP_BLOCK_COUNT ? ROW_STAMP_BLOCKS[index] : nullptr;
}

bool BRIX_COMMON::convert_talon_row_stamp_block(const std::string& name, unsigned& index) {
    for (unsigned i = 0; i < TALON_ROW_STAMP_BLOCK_COUNT; ++i) {
        if (PGM_COMMON::compare_string(name, ROW_STAMP_BLOCKS[i], false)) {
            index = i;
            return true;
        }
    }
    std::cout << "Cannot find " << name << "\n";
    return false;
}

namespace {

// The blocks of a row stamp, checked field by field; the frames per row go to n_frame_per_row.
std::vector<ROW_STAMP_BLOCK> read_row_stamp_blocks(const std::vector<ROW_STAMP_LINE>& lines,
                                                   unsigned& n_frame_per_row) {
    // First pass: every line names a block of the vocabulary.
    for (const ROW_STAMP_LINE& line : lines) {
        INPUT_CONTEXT here(line_text(line.line));
        unsigned dummy = 0;
        BRIX_CHECK(BRIX_COMMON::convert_talon_row_stamp_block(line.fields.at(0), dummy),
                   "convert_talon_row_stamp_block(svec.at(0), dummy)");
    }
    // Second pass: the five fields of every line.
    std::vector<ROW_STAMP_BLOCK> blocks;
    blocks.reserve(lines.size());
    for (const ROW_STAMP_LINE& line : lines) {
        INPUT_CONTEXT here(line_text(line.line));
        const std::vector<std::string>& svec = line.fields;
        BRIX_CHECK(svec.size() == 5, "svec.size() == 5");
        ROW_STAMP_BLOCK block;
        block.line = line.line;
        BRIX_CHECK(BRIX_COMMON::convert_talon_row_stamp_block(svec.at(0), block.block),
                   "convert_talon_row_stamp_block(svec.at(0), blocks[block_count])");
        unsigned frames = row_stamp_number(svec.at(1));
        if (n_frame_per_row == 0) {
            n_frame_per_row = frames;
            BRIX_CHECK(n_frame_per_row > 0, "n_frame_per_row > 0");
        } else {
            BRIX_CHECK(frames == n_frame_per_row,
                       "PGM_COMMON::convert_string_to_dword(svec.at(1)) == n_frame_per_row");
        }
        block.dataline = row_stamp_number(svec.at(2));
        block.type5_start = row_stamp_number(svec.at(3));
        block.type5_count = row_stamp_number(svec.at(4));
        // Four SOF bits make one DRA row; a remainder would be lost between the bit and the row counts.
        BRIX_CHECK((block.dataline % 4) == 0, "(dataline[i] % 4) == 0");
        blocks.push_back(block);
    }
    return blocks;
}

// The sizes of a row stamp: SOF bits per frame, MLAB blocks, and per division its rows and the padding that
// brings them to a multiple of 32.
struct ROW_STAMP_SIZES {
    uint64_t frame_bits = 0;
    unsigned mlab_count = 0;
    std::vector<unsigned> pads;
    uint64_t rows_total = 0;
};

ROW_STAMP_SIZES row_stamp_sizes(const std::vector<ROW_STAMP_BLOCK>& blocks,
                                const std::vector<unsigned>& division_blocks, unsigned bit_count) {
    const size_t division_count = division_blocks.size();
    const size_t block_count = blocks.size();
    ROW_STAMP_SIZES sizes;
    std::vector<uint64_t> division_rows(division_count + 1, 0);
    size_t division = 0;
    uint64_t rows = 0; // over all divisions so far
    for (size_t i = 0; i < block_count; ++i) {
        const ROW_STAMP_BLOCK& b = blocks[i];
        INPUT_CONTEXT here(line_text(b.line));
        if (division < division_count && b.block == division_blocks[division]) {
            BRIX_CHECK(b.dataline == 0 && b.type5_start == 0 && b.type5_count == 0,
                       "dataline[i] == 0 && phantom_bits_type5_start_row[i] == 0 && "
                       "phantom_bits_type5_count[i] == 0");
            ++division;
        }
        if (is_mlab(b.block))
            ++sizes.mlab_count;
        division_rows[division] += b.dataline / 4 + uint64_t(b.type5_count);
        if (is_edge(b.block)) {
            BRIX_CHECK(b.dataline == 32 || b.dataline == 128, "dataline[i] == 32 || dataline[i] == 128");
            BRIX_CHECK(i == block_count - 1, "i == (block_count - 1)");
            BRIX_CHECK(b.type5_start == 0 && b.type5_count == 0,
                       "phantom_bits_type5_start_row[i] == 0 && phantom_bits_type5_count[i] == 0");
            sizes.frame_bits += 32;
        } else {
            sizes.frame_bits += b.dataline;
        }
        // The DRA rows are sized from these sums: a line that takes them past the device's frame (its bits;
        // the rows are quads of bits plus a few phantom rows) is refused before anything is allocated.
        if (bit_count != 0) {
            BRIX_CHECK(sizes.frame_bits <= bit_count,
                       "Row stamp frame bits " + std::to_string(sizes.frame_bits) +
                           " pass the device's bit count " + std::to_string(bit_count));
            rows += b.dataline / 4 + uint64_t(b.type5_count);
            BRIX_CHECK(rows <= bit_count, "Row stamp rows " + std::to_string(rows) +
                                              " pass the device's bit count " + std::to_string(bit_count));
        }
    }
    sizes.pads.assign(division_count + 1, 0);
    for (size_t k = 0; k <= division_count; ++k) {
        unsigned rest = unsigned(division_rows[k] % 32);
        sizes.pads[k] = rest != 0 ? 32 - rest : 0;
        sizes.rows_total += division_rows[k] + sizes.pads[k];
    }
    BRIX_CHECK(sizes.frame_bits <= ROW_STAMP_SIZE_MAX && sizes.rows_total <= ROW_STAMP_SIZE_MAX,
               "Row stamp frame is larger than 2^32 - 33 bits or rows");
    BRIX_CHECK((sizes.rows_total % 4) == 0, "(dra0 % 4) == 0");
    BRIX_CHECK(sizes.rows_total >= 2 * uint64_t(sizes.mlab_count), "dra0 >= 2 * mlab_count");
    return sizes;
}

// The phantom bits the walk found, as the listing names them.
struct PHANTOM_BIT_LISTING {
    std::vector<std::string> pb3_list, pb3_block_list, pb4_list, pb5_list;
};

void print_phantom_bits(const PHANTOM_BIT_LISTING& listing,
                        const std::vector<std::string>& division_block_names) {
    BRIX_CHECK(listing.pb3_list.size() == listing.pb3_block_list.size(),
               "pb3_list.size() == pb3_block_list.size()");
    BRIX_CHECK(listing.pb4_list.size() <= division_block_names.size() + 1,
               "pb4_list.size() <= (division_count + 1)");
    std::cout << "Phantom Bit Type 4 division block(s):\n\t";
    for (size_t i = 0; i < division_block_names.size(); ++i)
        std::cout << (i > 0 ? ", " : "") << division_block_names[i];
    std::cout << "\n\n";
    std::cout << "Phantom Bits Type 3 (Bits that exist in SOF, but need to removed from DRA123):\n\n";
    for (size_t i = 0; i < listing.pb3_list.size(); ++i)
        std::cout << "   " << listing.pb3_block_list[i] << " : " << listing.pb3_list[i] << "\n";
    std::cout << "\nPhantom Bits Type 4 (Bits that we need to auto-inserted in DRA0123,\n   to make the "
                 "left-edge and right-edge always aligned to 32-bits):\n\n";
    for (const std::string& entry : listing.pb4_list)
        std::cout << "   " << entry << "\n";
    std::cout << "\nPhantom Bits Type 5 (Bits that we need to auto-inserted in DRA0123.\n   Dummy Quad Bits "
                 "that exists in RowStamp):\n\n";
    for (const std::string& entry : listing.pb5_list)
        std::cout << "   " << entry << "\n";
    std::cout << "\n";
}

} // namespace

BRIX_TALON_ROW_STAMP BRIX_COMMON::parse_talon_row_stamp(const std::string& file,
                                                        const std::vector<std::string>& division_block_names,
                                                        bool print, unsigned bit_count) {
    const size_t division_count = division_block_names.size();
    BRIX_CHECK(division_count > 0, "lutram_remap_list != NULL && *lutram_remap_list == NULL && "
                                   "n_frame_per_row == 0 && division_count > 0");
    std::vector<unsigned> division_blocks(division_count);
    for (size_t i = 0; i < division_count; ++i)
        BRIX_CHECK(convert_talon_row_stamp_block(division_block_names.at(i), division_blocks[i]),
                   "convert_talon_row_stamp_block(division_block_names.at(i), division_blocks[i])");

    const std::vector<ROW_STAMP_LINE> lines = read_row_stamp_lines(file);
    INPUT_CONTEXT in_file(file);
    BRIX_TALON_ROW_STAMP result;
    const std::vector<ROW_STAMP_BLOCK> blocks = read_row_stamp_blocks(lines, result.n_frame_per_row);
    const ROW_STAMP_SIZES sizes = row_stamp_sizes(blocks, division_blocks, bit_count);
    const uint64_t rows_total = sizes.rows_total;

    // The walk: mark the phantom and EDCRC rows, collect the LUTRAM datalines.
    std::vector<unsigned char>& info = result.dra_info;
    info.assign(size_t(rows_total), BRIX_DRA_INFO_DATA);
    std::vector<unsigned>& remap = result.lutram_remap_datalines;
    remap.reserve(sizes.mlab_count);
    std::vector<unsigned> division_pad_taken(division_count + 1, 0);
    std::vector<bool> division_met_m20k(division_count + 1, false);
    PHANTOM_BIT_LISTING listing;
    uint64_t p = 0;
    uint64_t s = 0;
    size_t division = 0;
    bool edge = false;
    auto mark = [&](uint64_t first, uint64_t count, unsigned char value) {
        if (first + count > rows_total) {
            // The row range goes into the report's context; the line is already there.
            INPUT_CONTEXT rows("DRA0 rows " + row_range(first, count) + " of " + std::to_string(rows_total));
            BRIX_REPORT("Row stamp marks a DRA row outside DRA0");
        }
        std::fill(info.begin() + std::ptrdiff_t(first), info.begin() + std::ptrdiff_t(first + count), value);
    };
    for (const ROW_STAMP_BLOCK& b : blocks) {
        INPUT_CONTEXT here(line_text(b.line));
        const char* name = ROW_STAMP_BLOCKS[b.block];
        unsigned pad_here = 0;
        if (is_mlab(b.block)) {
            uint64_t row = p + (is_low_mlab(b.block) ? 9 : 7);
            mark(row, 2, BRIX_DRA_INFO_PHANTOM3);
            remap.push_back(unsigned(s + (is_low_mlab(b.block) ? 28 : 20)));
            listing.pb3_list.push_back(std::to_string(row) + " and " + std::to_string(row + 1));
            listing.pb3_block_list.push_back(name);
        } else if (is_m20k(b.block)) {
            if (!division_met_m20k[division]) {
                division_met_m20k[division] = true;
                pad_here = sizes.pads[division];
                division_pad_taken[division] = pad_here;
                mark(p + 12, pad_here, BRIX_DRA_INFO_PHANTOM4);
                if (pad_here > 0)
                    listing.pb4_list.push_back(std::string(name) + " : " + row_range(p + 12, pad_here));
            }
        } else if (division < division_count && b.block == division_blocks[division]) {
            ++division;
        } else if (is_edge(b.block)) {
            edge = true;
        }
        if (b.type5_count > 0) {
            uint64_t first = p + pad_here + b.type5_start;
            mark(first, b.type5_count, BRIX_DRA_INFO_PHANTOM5);
            listing.pb5_list.push_back(std::string(name) + " : " + row_range(first, b.type5_count));
        }
        if (!(edge && b.dataline == 128)) {
            p += b.dataline / 4 + uint64_t(pad_here) + b.type5_count;
            s += b.dataline;
        } else {
            mark(p, 32, BRIX_DRA_INFO_EDCRC);
            s += 32;
        }
    }
    for (size_t k = 0; k <= division_count; ++k) {
        INPUT_CONTEXT here("division " + std::to_string(k));
        if (division_met_m20k[k])
            BRIX_CHECK(division_pad_taken[k] > 0 && division_pad_taken[k] < 32,
                       "division_block_m20k_phbit[i] > 0 && division_block_m20k_phbit[i] < 32");
        else
            BRIX_CHECK(sizes.pads[k] == 0, "division_block_m20k_phbit[i] == 0");
    }
    BRIX_CHECK(s == sizes.frame_bits && remap.size() == sizes.mlab_count,
               "dataline_index == sof_frame_bits && lutram_remap_count == mlab_count");
    if (print)
        print_phantom_bits(listing, division_block_names);

    result.dra0 = unsigned(rows_total);
    result.dra123 = unsigned(rows_total - 2 * uint64_t(sizes.mlab_count));
    result.sof_frame_bits = unsigned(sizes.frame_bits);
    return result;
}

// ---- MLAB freeze mask -------------------------------------------------------------------------------------
