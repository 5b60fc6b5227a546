// BRIX_COMMON: the TALON row-stamp reader, the MLAB freeze mask, the flattened RIF table with its listings,
// and the phantomless CRAM map of the flash-based family.
//
// A row stamp lists the column blocks of one CRAM frame. Every block contributes its dataline (SOF bits) to
// the frame and dataline / 4 rows to DRA0; the reader turns the list into the DRA info, one byte per DRA0
// row, telling the bit mappers which rows carry SOF bits and which are phantom or EDCRC rows. Sizes are
// summed in 64 bits and every row the walk marks is checked against DRA0, so no row stamp can make the
// reader write outside its table.
//
// The phantomless map is built on bit rows, one per CRAM column (bit k = CRAM row k), so rectangles, block
// maps and column comparisons work on 64-bit words. Every rectangle, block map and column range taken from
// an input is checked against the grid before it is touched; a failing check names the input file and line.
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

unsigned char* BRIX_COMMON::parse_talon_row_stamp(const std::string& file, unsigned& dra0, unsigned& dra123,
                                                  unsigned& sof_frame_bits, unsigned& n_frame_per_row,
                                                  unsigned** lutram_remap_list, unsigned& lutram_remap_count,
                                                  const std::vector<std::string>& division_block_names,
                                                  bool print) {
    const size_t division_count = division_block_names.size();
    BRIX_CHECK(lutram_remap_list != nullptr && *lutram_remap_list == nullptr && n_frame_per_row == 0 &&
                   division_count > 0,
               "lutram_remap_list != NULL && *lutram_remap_list == NULL && n_frame_per_row == 0 && "
               "division_count > 0");
    std::vector<unsigned> division_blocks(division_count);
    for (size_t i = 0; i < division_count; ++i)
        BRIX_CHECK(convert_talon_row_stamp_block(division_block_names.at(i), division_blocks[i]),
                   "convert_talon_row_stamp_block(division_block_names.at(i), division_blocks[i])");

    const std::vector<ROW_STAMP_LINE> lines = read_row_stamp_lines(file);
    INPUT_CONTEXT in_file(file);

    // First pass: every line names a block of the vocabulary.
    for (const ROW_STAMP_LINE& line : lines) {
        INPUT_CONTEXT here(line_text(line.line));
        unsigned dummy = 0;
        BRIX_CHECK(convert_talon_row_stamp_block(line.fields.at(0), dummy),
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
        BRIX_CHECK(convert_talon_row_stamp_block(svec.at(0), block.block),
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
    const size_t block_count = blocks.size();

    // Sizes: rows per division, SOF bits per frame, MLAB blocks.
    std::vector<uint64_t> division_rows(division_count + 1, 0);
    uint64_t frame_bits = 0;
    unsigned mlab_count = 0;
    {
        size_t division = 0;
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
                ++mlab_count;
            division_rows[division] += b.dataline / 4 + uint64_t(b.type5_count);
            if (is_edge(b.block)) {
                BRIX_CHECK(b.dataline == 32 || b.dataline == 128, "dataline[i] == 32 || dataline[i] == 128");
                BRIX_CHECK(i == block_count - 1, "i == (block_count - 1)");
                BRIX_CHECK(b.type5_start == 0 && b.type5_count == 0,
                           "phantom_bits_type5_start_row[i] == 0 && phantom_bits_type5_count[i] == 0");
                frame_bits += 32;
            } else {
                frame_bits += b.dataline;
            }
        }
    }
    std::vector<unsigned> pads(division_count + 1, 0);
    uint64_t rows_total = 0;
    for (size_t k = 0; k <= division_count; ++k) {
        unsigned rest = unsigned(division_rows[k] % 32);
        pads[k] = rest != 0 ? 32 - rest : 0;
        rows_total += division_rows[k] + pads[k];
    }
    BRIX_CHECK(frame_bits <= ROW_STAMP_SIZE_MAX && rows_total <= ROW_STAMP_SIZE_MAX,
               "Row stamp frame is larger than 2^32 - 33 bits or rows");
    BRIX_CHECK((rows_total % 4) == 0, "(dra0 % 4) == 0");
    BRIX_CHECK(rows_total >= 2 * uint64_t(mlab_count), "dra0 >= 2 * mlab_count");

    // The walk: mark the phantom and EDCRC rows, collect the LUTRAM datalines.
    std::vector<unsigned char> info(size_t(rows_total), BRIX_DRA_INFO_DATA);
    std::vector<unsigned> remap;
    remap.reserve(mlab_count);
    std::vector<unsigned> division_pad_taken(division_count + 1, 0);
    std::vector<bool> division_met_m20k(division_count + 1, false);
    std::vector<std::string> pb3_list, pb3_block_list, pb4_list, pb5_list;
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
            pb3_list.push_back(std::to_string(row) + " and " + std::to_string(row + 1));
            pb3_block_list.push_back(name);
        } else if (is_m20k(b.block)) {
            if (!division_met_m20k[division]) {
                division_met_m20k[division] = true;
                pad_here = pads[division];
                division_pad_taken[division] = pad_here;
                mark(p + 12, pad_here, BRIX_DRA_INFO_PHANTOM4);
                if (pad_here > 0)
                    pb4_list.push_back(std::string(name) + " : " + row_range(p + 12, pad_here));
            }
        } else if (division < division_count && b.block == division_blocks[division]) {
            ++division;
        } else if (is_edge(b.block)) {
            edge = true;
        }
        if (b.type5_count > 0) {
            uint64_t first = p + pad_here + b.type5_start;
            mark(first, b.type5_count, BRIX_DRA_INFO_PHANTOM5);
            pb5_list.push_back(std::string(name) + " : " + row_range(first, b.type5_count));
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
            BRIX_CHECK(pads[k] == 0, "division_block_m20k_phbit[i] == 0");
    }
    BRIX_CHECK(s == frame_bits && remap.size() == mlab_count,
               "dataline_index == sof_frame_bits && lutram_remap_count == mlab_count");

    if (print) {
        BRIX_CHECK(pb3_list.size() == pb3_block_list.size(), "pb3_list.size() == pb3_block_list.size()");
        BRIX_CHECK(pb4_list.size() <= division_count + 1, "pb4_list.size() <= (division_count + 1)");
        std::cout << "Phantom Bit Type 4 division block(s):\n\t";
        for (size_t i = 0; i < division_count; ++i)
            std::cout << (i > 0 ? ", " : "") << division_block_names[i];
        std::cout << "\n\n";
        std::cout << "Phantom Bits Type 3 (Bits that exist in SOF, but need to removed from DRA123):\n\n";
        for (size_t i = 0; i < pb3_list.size(); ++i)
            std::cout << "   " << pb3_block_list[i] << " : " << pb3_list[i] << "\n";
        std::cout << "\nPhantom Bits Type 4 (Bits that we need to auto-inserted in DRA0123,\n   to make the "
                     "left-edge and right-edge always aligned to 32-bits):\n\n";
        for (const std::string& entry : pb4_list)
            std::cout << "   " << entry << "\n";
        std::cout
            << "\nPhantom Bits Type 5 (Bits that we need to auto-inserted in DRA0123.\n   Dummy Quad Bits "
               "that exists in RowStamp):\n\n";
        for (const std::string& entry : pb5_list)
            std::cout << "   " << entry << "\n";
        std::cout << "\n";
    }

    dra0 = unsigned(rows_total);
    dra123 = unsigned(rows_total - 2 * uint64_t(mlab_count));
    sof_frame_bits = unsigned(frame_bits);
    lutram_remap_count = unsigned(remap.size());
    std::unique_ptr<unsigned char[]> dra_info(new unsigned char[info.size()]);
    std::copy(info.begin(), info.end(), dra_info.get());
    std::unique_ptr<unsigned[]> datalines(new unsigned[remap.size()]);
    std::copy(remap.begin(), remap.end(), datalines.get());
    *lutram_remap_list = datalines.release();
    return dra_info.release();
}

// ---- MLAB freeze mask -------------------------------------------------------------------------------------

// Every MLAB row of A frames (A = the LUTRAM address lines per row) is examined at its frame 50: where an
// MLAB's LUTRAM dataline d has bit d + 16 set, the MLAB is used as RAM and the bits d + 16 and d + 19 of
// the frame six before are frozen. Positions outside the image are skipped: an examined frame at or past
// the frame count (a row of fewer than 51 frames at the end of the image), and bits at or past the frame's
// bit count, are neither read nor marked.
unsigned char* BRIX_COMMON::get_mlab_ram_freeze_mask(const std::string& pcf_name,
                                                     const unsigned char* image_bitfield,
                                                     unsigned image_bit_size) {
    BRIX_CHECK(!pcf_name.empty(), "!device_pcf_name.empty()");
    BRIX_CHECK(image_bitfield != nullptr, "image_bitfield != NULL");
    BRIX_CHECK(image_bit_size > 0, "image_bit_size > 0");
    std::string family = PGMDEV_DEVICE_GRAMMAR_MGR::get_pcf_family_pcf(pcf_name);
    BRIX_CHECK(!family.empty(),
               "Not able to get family database file, device database file might be invalid");
    BRIX_CHECK(stl_upper(family) == "TALON_FAMILY", "Unsupported family");

    std::unique_ptr<BRIX_INFO> pcf_info(BRIX_DATA_SERVER::vantrel_get_brix_info(pcf_name, false, true, true));
    BRIX_CHECK(pcf_info != nullptr && pcf_info->get_device_info() != nullptr,
               "pcf_info != NULL && pcf_info->get_device_info() != NULL");
    const BRIX_DEVICE_INFO* device = pcf_info->get_device_info();
    const uint64_t cram_frame = device->get_const_uint(BRIX_PARAMETER_CRAM_FRAME_COUNT);
    const uint64_t cram_bit = device->get_const_uint(BRIX_PARAMETER_CRAM_BIT_COUNT);
    BRIX_CHECK(cram_frame * cram_bit == image_bit_size, "(cram_frame * cram_bit) == image_bit_size");
    const BRIX_ARG_LIST* arg_list = device->get_argument_list();
    BRIX_CHECK(arg_list != nullptr && arg_list->size() > 0, "arg_list != NULL && arg_list->size() > 0");

    const BRIX_ARG* arg =
        BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_LUTRAM_REMAP_ADDRLINES, arg_list);
    BRIX_CHECK(arg != nullptr, "arg != NULL");
    unsigned addrlines_per_row = 0;
    std::vector<uint32_t*> uint_arg_list = BRIX_MANAGER::get_uint_arg_list(arg, addrlines_per_row);
    BRIX_CHECK(addrlines_per_row != 0 && uint_arg_list.size() == 1,
               "addrlines_per_row != 0 && uint_arg_list.size() == 1");
    arg = BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_LUTRAM_DATALINES, arg_list);
    BRIX_CHECK(arg != nullptr, "arg != NULL");
    unsigned lutram_datalines_count = 0;
    uint_arg_list = BRIX_MANAGER::get_uint_arg_list(arg, lutram_datalines_count);
    BRIX_CHECK(lutram_datalines_count != 0 && uint_arg_list.size() == 1,
               "lutram_datalines_count != 0 && uint_arg_list.size() == 1");
    const std::vector<uint32_t> datalines(uint_arg_list[0], uint_arg_list[0] + lutram_datalines_count);

    BIT_MATRIX mask(1, image_bit_size);
    auto image_bit = [&](uint64_t i) { return (image_bitfield[i / 8] >> (i % 8)) & 1; };
    const uint64_t row_count = cram_frame / addrlines_per_row;
    for (uint64_t r = 0; r < row_count; ++r) {
        const uint64_t f = r * addrlines_per_row + 50;
        if (f >= cram_frame)
            break; // rows further on examine frames further out
        for (uint32_t d : datalines) {
            const uint64_t b = uint64_t(d) + 16;
            if (b >= cram_bit || !image_bit(f * cram_bit + b))
                continue;
            mask.set(0, size_t((f - 6) * cram_bit + b));
            if (b + 3 < cram_bit)
                mask.set(0, size_t((f - 6) * cram_bit + b + 3));
        }
    }
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[mask.bytes_per_row()]);
    mask.row_to_bytes(0, bytes.get(), mask.bytes_per_row());
    return bytes.release();
}

// ---- RIF tables -------------------------------------------------------------------------------------------

const std::string& BRIX_RIF_TABLE::cell(unsigned row, unsigned column) const {
    static const std::string empty;
    if (row >= m_rows || column >= m_columns)
        return empty;
    auto it = m_cells.find(uint64_t(row) * m_columns + column);
    return it == m_cells.end() ? empty : it->second;
}

bool BRIX_RIF_TABLE::set_cell(unsigned row, unsigned column, std::string text) {
    if (row >= m_rows || column >= m_columns)
        return false;
    return m_cells.emplace(uint64_t(row) * m_columns + column, std::move(text)).second;
}

std::unique_ptr<BRIX_RIF_TABLE> BRIX_COMMON::flatten_rif(const G2_SII_LIST* list, unsigned count,
                                                         bool transpose, unsigned& rows, unsigned& columns) {
    rows = 0;
    columns = 0;
    if (list == nullptr)
        return nullptr;
    const unsigned frame_bit_count = count;
    const auto list_size = static_cast<unsigned>(list->size());
    const unsigned row_count = transpose ? list_size : count;
    const unsigned col_count = transpose ? count : list_size;
    auto table = std::make_unique<BRIX_RIF_TABLE>(row_count, col_count);
    for (unsigned s2_frame_value = 0; s2_frame_value < list_size; ++s2_frame_value) {
        const G2_SII* entry = (*list)[s2_frame_value];
        if (entry == nullptr || entry->get_g2_s2_bit_list_list() == nullptr)
            continue;
        for (const G2_SII_BIT_LIST* slot : *entry->get_g2_s2_bit_list_list()) {
            if (slot == nullptr)
                continue;
            for (const G2_SII_BIT* g2_bit : *slot) {
                unsigned s2_bit_value = 0;
                const G2_SI_LIST* s1_list = g2_bit->get_data(s2_bit_value);
                BRIX_CHECK(s2_bit_value < frame_bit_count && s1_list != nullptr,
                           "s2_bit_value < frame_bit_count && s1_list != NULL");
                // Each index is checked against its own dimension of the table.
                unsigned row = s2_bit_value;
                unsigned column = s2_frame_value;
                if (transpose) {
                    BRIX_CHECK(s2_frame_value < row_count, "s2_frame_value < row_count");
                    BRIX_CHECK(s2_bit_value < col_count, "s2_bit_value < col_count");
                    std::swap(row, column);
                } else {
                    BRIX_CHECK(s2_bit_value < row_count, "s2_bit_value < row_count");
                    BRIX_CHECK(s2_frame_value < col_count, "s2_frame_value < col_count");
                }
                std::string text = std::to_string(s1_list->size());
                for (const G2_SI* reference : *s1_list) {
                    unsigned frame = 0;
                    unsigned bit = 0;
                    bool dir = false;
                    const unsigned dist = reference->get_data(frame, bit, dir);
                    const unsigned first = transpose ? frame : bit;
                    const unsigned second = transpose ? bit : frame;
                    text += " " + std::to_string(first) + " " + std::to_string(second) + " " +
                            (dir ? "1" : "0") + " " + std::to_string(dist);
                }
                BRIX_CHECK(table->set_cell(row, column, std::move(text)),
                           "RIF table cell [" + std::to_string(row) + "][" + std::to_string(column) +
                               "] is filled twice");
            }
        }
    }
    rows = row_count;
    columns = col_count;
    return table;
}

// ---- Listings of a flattened RIF table --------------------------------------------------------------------

namespace {
// The filled cells of a table that lie inside rows x columns, as (row, column, text), in row-major order.
struct RIF_CELL {
    unsigned row;
    unsigned column;
    const std::string* text;
};
std::vector<RIF_CELL> filled_rif_cells(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns) {
    std::vector<RIF_CELL> cells;
    for (const auto& [key, text] : table->filled_cells()) {
        const auto row = unsigned(key / table->columns());
        const auto column = unsigned(key % table->columns());
        if (row < rows && column < columns && !text.empty())
            cells.push_back({row, column, &text});
    }
    return cells;
}
void print_rif_cell(const RIF_CELL& cell) {
    std::cout << cell.row << " " << cell.column << " " << *cell.text << "\n";
}
} // namespace

// Both listings walk only the filled cells: the table of a large device has hundreds of millions of cells
// and few of them filled.
void BRIX_COMMON::print_rif_debug(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns) {
    if (table == nullptr)
        return;
    BRIX_CHECK(columns != 0 && rows != 0, "col != 0 && row != 0");
    for (const RIF_CELL& cell : filled_rif_cells(table, rows, columns))
        print_rif_cell(cell);
}

void BRIX_COMMON::print_rif_debug(const BRIX_RIF_TABLE* table, unsigned rows, unsigned columns,
                                  unsigned dras_count, const BRIX_CONST_DATA_LIST* dras_order_data_list,
                                  bool by_rows, bool reversed) {
    if (table == nullptr)
        return;
    BRIX_CHECK(columns != 0 && rows != 0, "col != 0 && row != 0");
    BRIX_CHECK(dras_order_data_list != nullptr, "dras_order_data_list != NULL");
    BRIX_CHECK(dras_count > 0, "dras_count > 0");
    BRIX_CHECK(dras_order_data_list->size() == dras_count, "dras_order_data_list->size() == dras_count");
    // Order of printing: the outer line (a column, or a row with by_rows; from the last when reversed), then
    // the position in the DRA order of the inner line's DRA, then the inner line. A DRA that the order names
    // twice is listed twice; one it does not name is not listed.
    struct ENTRY {
        uint64_t outer, order, inner;
        RIF_CELL cell;
    };
    std::vector<ENTRY> entries;
    const unsigned outer_count = by_rows ? rows : columns;
    for (const RIF_CELL& cell : filled_rif_cells(table, rows, columns)) {
        const unsigned outer = by_rows ? cell.row : cell.column;
        const unsigned inner = by_rows ? cell.column : cell.row;
        for (size_t k = 0; k < dras_order_data_list->size(); ++k) {
            const BRIX_CONST_DATA* order = (*dras_order_data_list)[k];
            if (order != nullptr && order->get_value() == inner % dras_count)
                entries.push_back({reversed ? outer_count - 1 - outer : outer, k, inner, cell});
        }
    }
    std::sort(entries.begin(), entries.end(), [](const ENTRY& a, const ENTRY& b) {
        return std::tie(a.outer, a.order, a.inner) < std::tie(b.outer, b.order, b.inner);
    });
    for (const ENTRY& entry : entries)
        print_rif_cell(entry.cell);
}

// ---- Phantomless CRAM map ----

namespace {

constexpr size_t WORD_BITS = 64;
constexpr unsigned NO_LISTING = 0xFFFFFFFF;

BRIX_COMMON::WAIT_FUNCTION g_wait = nullptr;

void wait_milliseconds(unsigned milliseconds) {
    if (g_wait != nullptr)
        g_wait(milliseconds);
    else
        thr_msleep(milliseconds);
}

// Calls f(word index, mask) for the words covering bits [first, first + count).
template <typename F> void for_each_word_span(size_t first, size_t count, F&& f) {
    size_t end = first + count;
    while (first < end) {
        size_t shift = first % WORD_BITS;
        size_t n = std::min(WORD_BITS - shift, end - first);
        uint64_t mask = n == WORD_BITS ? ~uint64_t(0) : ((uint64_t(1) << n) - 1) << shift;
        f(first / WORD_BITS, mask);
        first += n;
    }
}

// Calls f(word index, bits) for the source words shifted up by offset bits (zero parts skipped).
template <typename F>
void for_each_shifted_word(const uint64_t* src, size_t src_words, size_t offset, F&& f) {
    size_t base = offset / WORD_BITS;
    unsigned shift = offset % WORD_BITS;
    for (size_t w = 0; w < src_words; ++w) {
        if (src[w] == 0)
            continue;
        uint64_t low = src[w] << shift;
        if (low != 0)
            f(base + w, low);
        if (shift != 0 && (src[w] >> (WORD_BITS - shift)) != 0)
            f(base + w + 1, src[w] >> (WORD_BITS - shift));
    }
}

// The first index after k whose cell differs from cells[k] (size at the end), eight cells at a time.
size_t end_of_run(const unsigned char* cells, size_t k, size_t size) {
    const unsigned char value = cells[k];
    const uint64_t pattern = uint64_t(value) * 0x0101010101010101ull;
    size_t i = k + 1;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, cells + i, sizeof word);
        if (word != pattern)
            break;
    }
    while (i < size && cells[i] == value)
        ++i;
    return i;
}

bool rows_equal(const BIT_MATRIX& a, size_t a_row, const BIT_MATRIX& b, size_t b_row) {
    return std::memcmp(a.row_words(a_row), b.row_words(b_row), a.words_per_row() * sizeof(uint64_t)) == 0;
}

// Lowest set bit of a non-zero word.
unsigned lowest_bit(uint64_t w) {
    return static_cast<unsigned>(__builtin_ctzll(w));
}

void put_u32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool is_last_column_hioreg(unsigned type) {
    return type == BRIX_RBA_CRAM_HIOR || type == BRIX_RBA_CRAM_HCLKMUX || type == BRIX_RBA_CRAM_PLLINT;
}

// Types whose blocks carry a text CRAM map.
bool has_block_cram_map(unsigned type) {
    return type == BRIX_RBA_CRAM_L || type == BRIX_RBA_CRAM_M || type == BRIX_RBA_CRAM_D ||
           type == BRIX_RBA_CRAM_IH || type == BRIX_RBA_CRAM_IH_RIGHT || type == BRIX_RBA_CRAM_IV;
}

// Types whose blocks are data bits over their whole rectangle.
bool is_solid_block(unsigned type) {
    return type == BRIX_RBA_CRAM_HIOR || type == BRIX_RBA_CRAM_HCLKMUX || type == BRIX_RBA_CRAM_PLLINT ||
           type == BRIX_RBA_CRAM_VIOR || type == BRIX_RBA_CRAM_VCLKMUX || type == BRIX_RBA_CRAM_C ||
           type == BRIX_RBA_CRAM_C_IV;
}

// Bit rows of a cell test over columns of cells: bit k of row j is set when keep(column_cells(j)[k]).
template <typename CELLS, typename KEEP>
BIT_MATRIX bit_rows_where(size_t columns, unsigned rows, CELLS&& column_cells, KEEP&& keep) {
    BIT_MATRIX result(columns, rows);
    for (size_t j = 0; j < columns; ++j) {
        uint64_t* words = result.row_words(j);
        const unsigned char* cells = column_cells(j);
        for (unsigned k = 0; k < rows; ++k)
            if (keep(cells[k]))
                words[k / WORD_BITS] |= uint64_t(1) << (k % WORD_BITS);
    }
    return result;
}

// Bit rows of one cell value over expanded uniquified columns: row j holds the rows k whose cell is value.
BIT_MATRIX cells_equal_to(const BRIX_BYTE_COLUMNS& columns, unsigned rows, unsigned char value) {
    return bit_rows_where(
        columns.size(), rows, [&](size_t j) { return columns[j].data(); },
        [value](unsigned char cell) { return cell == value; });
}

// One uniquified file as read: its columns and their types.
struct UNIQUIFIED_FILE {
    unsigned col = 0;
    unsigned row = 0;
    std::vector<unsigned> types;
    std::vector<unsigned> final_types;
    BRIX_BYTE_COLUMNS cells;
};

// Rows first .. last of a column that hold flash cells (FLASH_IP or FAKE_FLASH_IP).
struct FLASH_SPAN {
    unsigned column;
    unsigned first_row;
    unsigned last_row;
};

struct FLASH_IP {
    unsigned count = 0;
    unsigned start_column = 0;
    unsigned end_column = 0;
    unsigned start_row = 0;
    unsigned end_row = 0;
};

// The state of one phantomless build: the type grid, the working bit rows (one per column) and what the RBA
// pass collects.
class PHANTOMLESS_BUILDER {
  public:
    PHANTOMLESS_BUILDER(unsigned col_size, unsigned row_size, const std::array<uint32_t, 4>& mram_valid_range)
        : m_col_size(col_size), m_row_size(row_size), m_range(mram_valid_range), m_types(col_size, row_size),
          m_bits(col_size, row_size), m_memory_column_listed(col_size, false) {}

    // The blocks of the RBA text (rba_file as unpacked; given: by the caller, whose file may still be on its
    // way).
    void read_rba(const std::string& rba_file, std::string_view text, bool given);
    void fake_flash_ip();
    void check_last_column(bool verbose);
    void check_exclusive_columns();
    BRIX_PHANTOMLESS_MAP build_rows(const UNIQUIFIED_FILE& unmask, const UNIQUIFIED_FILE& mask);
    void print_mapping(unsigned print_split_col) const;
    void check_block_maps() const;

  private:
    void add_block(std::string_view line);
    // The block type named by a block line's first token; false for a block without CRAM of its own.
    bool block_type(std::string_view name, unsigned& type);
    void fill_types(unsigned start_column, unsigned end_column, unsigned start_row, unsigned end_row,
                    unsigned char type, const char* condition);
    bool column_matches(unsigned i, unsigned j, const uint64_t* column_flash, const BIT_MATRIX& unmask_data,
                        const BIT_MATRIX& unmask_flash) const;

    unsigned m_col_size;
    unsigned m_row_size;
    std::array<uint32_t, 4> m_range;
    BRIX_RBA_TYPE_MAP m_types;
    BIT_MATRIX m_bits;
    // Width and height of the first block of each type (0 before it), and its block CRAM map, plain and
    // bottom-up, once loaded.
    unsigned m_block_width[BRIX_RBA_CRAM_MAX] = {};
    unsigned m_block_height[BRIX_RBA_CRAM_MAX] = {};
    bool m_block_map_loaded[BRIX_RBA_CRAM_MAX] = {};
    BIT_MATRIX m_block_map[BRIX_RBA_CRAM_MAX];
    BIT_MATRIX m_block_map_reversed[BRIX_RBA_CRAM_MAX];
    FLASH_IP m_flash;
    // Where the grid has flash cells: they only ever enter it through fill_types, so the flash rows of a
    // column are known without a scan of the grid.
    std::vector<FLASH_SPAN> m_flash_spans;
    std::vector<uint64_t> m_memory_block_start_col;
    // The block lines' tokens, and the block names looked up so far with their results: an RBA names a
    // handful of block kinds over 100,000s of lines, so each name is looked up once.
    struct NAMED_BLOCK {
        std::string name;
        bool has_type;
        unsigned type;
    };
    std::vector<std::string_view> m_tokens;
    std::vector<NAMED_BLOCK> m_named_blocks;
    size_t m_last_named = 0;
    // Types whose name has been checked, and the memory columns already listed.
    bool m_type_named[BRIX_RBA_CRAM_MAX] = {};
    std::vector<bool> m_memory_column_listed;
    unsigned m_t2 = 0;
    unsigned m_t4 = 0;
};

void PHANTOMLESS_BUILDER::read_rba(const std::string& rba_file, std::string_view text, bool given) {
    BRIX_CHECK(given || FIO_FILE_SYSTEM::exists(rba_file), "RBA source file does not exist");
    LINE_READER reader(text, rba_file);
    std::string_view line;
    bool found_block = false;
    while (reader.next(line)) {
        if (LINE_READER::trim_view(line) == "$BLOCKS") {
            found_block = true;
            break;
        }
    }
    BRIX_CHECK(found_block, "found_block");
    while (reader.next(line)) {
        const std::string_view block = LINE_READER::trim_view(line);
        if (!block.empty() && block[0] == '$')
            break;
        if (!block.empty())
            add_block(block);
    }
}

void PHANTOMLESS_BUILDER::fill_types(unsigned start_column, unsigned end_column, unsigned start_row,
                                     unsigned end_row, unsigned char type, const char* condition) {
    BRIX_CHECK(end_column < m_col_size && end_row < m_row_size, condition);
    for (unsigned i = start_column; i <= end_column; ++i) {
        unsigned char* cells = m_types.column(i);
        // Every cell of the range still unknown: one run of unknown cells, checked eight at a time.
        BRIX_CHECK(cells[start_row] == BRIX_RBA_CRAM_UNKNOWN &&
                       end_of_run(cells, start_row, size_t(end_row) + 1) == size_t(end_row) + 1,
                   condition);
        std::memset(cells + start_row, type, size_t(end_row) - start_row + 1);
        if (BRIX_COMMON::is_flash_ip(type))
            m_flash_spans.push_back({i, start_row, end_row});
    }
}

bool PHANTOMLESS_BUILDER::block_type(std::string_view name, unsigned& type) {
    // The lines of one kind come in runs: the name of the previous line first.
    if (m_last_named < m_named_blocks.size() && m_named_blocks[m_last_named].name == name) {
        type = m_named_blocks[m_last_named].type;
        return m_named_blocks[m_last_named].has_type;
    }
    for (size_t i = 0; i < m_named_blocks.size(); ++i)
        if (m_named_blocks[i].name == name) {
            m_last_named = i;
            type = m_named_blocks[i].type;
            return m_named_blocks[i].has_type;
        }
    const std::string text(name);
    unsigned found = 0;
    const bool has_type = BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_RBA_CRAM, text, &found);
    // Blocks of the configuration-flash-file vocabulary have no CRAM of their own.
    if (!has_type)
        BRIX_CHECK(BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_CFF, text),
                   "Unrecognized block for HR RBA");
    m_last_named = m_named_blocks.size();
    m_named_blocks.push_back({text, has_type, found});
    type = found;
    return has_type;
}

void PHANTOMLESS_BUILDER::add_block(std::string_view line) {
    static const QTL_TOKENIZER tokenizer(" \t");
    std::vector<std::string_view>& tokens = m_tokens;
    tokenizer.tokenize(line, tokens);
    BRIX_CHECK(tokens.size() >= 7, "svec.size() >= 7");
    unsigned type = 0;
    if (!block_type(tokens[0], type))
        return;
    BRIX_CHECK(type < BRIX_RBA_CRAM_MAX, "brix_type < BRIX_RBA_CRAM_MAX");
    unsigned start_row = BRIX_MANAGER::convert_string_to_value(tokens[3], true);
    unsigned end_row = BRIX_MANAGER::convert_string_to_value(tokens[4], true);
    unsigned start_column = BRIX_MANAGER::convert_string_to_value(tokens[5], true);
    unsigned end_column = BRIX_MANAGER::convert_string_to_value(tokens[6], true);
    BRIX_CHECK(start_column <= end_column && start_row <= end_row,
               "start_column <= end_column && start_row <= end_row");
    if (type == BRIX_RBA_CRAM_IH && end_column - start_column == 18)
        type = BRIX_RBA_CRAM_IH_RIGHT;
    else if (type == BRIX_RBA_CRAM_C && end_row - start_row == 21)
        type = BRIX_RBA_CRAM_C_IV;

    // Sizes in 64 bits: a rectangle as wide as the whole 32-bit range must not wrap to 0.
    uint64_t width = uint64_t(end_column) - start_column + 1;
    uint64_t height = uint64_t(end_row) - start_row + 1;
    if (m_block_width[type] == 0) {
        BRIX_CHECK(m_block_height[type] == 0, "block_size[2 * brix_type + 1] == 0");
        m_block_width[type] = static_cast<unsigned>(width);
        m_block_height[type] = static_cast<unsigned>(height);
    } else {
        BRIX_CHECK(
            m_block_width[type] == width && m_block_height[type] == height,
            "block_size[2 * brix_type] == (end_column - start_column + 1) && block_size[2 * brix_type + 1] "
            "== (end_row - start_row + 1)");
    }
    fill_types(start_column, end_column, start_row, end_row, static_cast<unsigned char>(type),
               "i < col_size && j < row_size && map[i][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)");
    if (!m_type_named[type]) {
        std::string name;
        BRIX_CHECK(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_RBA_CRAM, type, &name),
                   "BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_RBA_CRAM, brix_type, &string)");
        m_type_named[type] = true;
    }

    if (has_block_cram_map(type)) {
        if (!m_block_map_loaded[type]) {
            bool memory = type == BRIX_RBA_CRAM_M;
            BRIX_COMMON::get_cram_map(BRIX_MANAGER::get_vantrel_cram_map_path(
                                          BRIX_FAMILY_HARRIER, static_cast<BRIX_RBA_CRAM_TYPE>(type)),
                                      m_block_width[type], m_block_height[type], m_block_map[type], memory,
                                      m_range[0], m_range[1], m_range[2], m_range[3]);
            m_block_map_loaded[type] = true;
        }
        BRIX_CHECK(m_block_map_loaded[type], "block_map[brix_type] != NULL");
        bool reverse = type == BRIX_RBA_CRAM_IV && m_row_size >= 26 && start_row == m_row_size - 26;
        BRIX_COMMON::copy_cram_map(m_bits, m_block_map[type], start_column, start_row, m_block_width[type],
                                   m_block_height[type], reverse);
    } else if (type == BRIX_RBA_CRAM_FLASH_IP) {
        m_flash.count += 1;
        m_flash.start_column = start_column;
        m_flash.end_column = end_column;
        m_flash.start_row = start_row;
        m_flash.end_row = end_row;
    } else if (is_solid_block(type)) {
        for (unsigned i = start_column; i <= end_column; ++i) {
            uint64_t* words = m_bits.row_words(i);
            bool clear = true;
            for_each_word_span(start_row, size_t(end_row) - start_row + 1,
                               [&](size_t w, uint64_t mask) { clear = clear && (words[w] & mask) == 0; });
            BRIX_CHECK(clear, "(col_map[row_index >> 3] & (1 << (row_index & 7))) == 0");
            for_each_word_span(start_row, size_t(end_row) - start_row + 1,
                               [&](size_t w, uint64_t mask) { words[w] |= mask; });
        }
    } else {
        BRIX_REPORT("Unprocessed block " + std::string(line));
    }
    if (type == BRIX_RBA_CRAM_M) {
        // start_column lies inside the grid (checked above): one flag per grid column says whether its
        // memory column is listed already.
        uint64_t column = uint64_t(m_range[0]) + start_column;
        if (!m_memory_column_listed[start_column]) {
            m_memory_column_listed[start_column] = true;
            m_memory_block_start_col.push_back(column);
        }
    }
}

void PHANTOMLESS_BUILDER::fake_flash_ip() {
    BRIX_CHECK(m_flash.count == 1, "flash_ip_count == 1");
    BRIX_CHECK(m_flash.start_row == 0, "flash_ip_start_row == 0");
    BRIX_CHECK(m_flash.end_row != 0 && m_flash.end_row < (m_row_size - 1),
               "flash_ip_end_row != 0 && flash_ip_end_row < (row_size - 1)");
    BRIX_CHECK(m_flash.end_column <= (m_col_size - 1), "flash_ip_end_column <= (col_size - 1)");
    const char* const unknown = "map[i][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)";
    if (m_flash.end_column != m_col_size - 1) {
        std::cout << "\n      Faking the Flash IP from column " << (m_flash.end_column + 1) << " till "
                  << (m_col_size - 1) << "\n";
        fill_types(m_flash.end_column + 1, m_col_size - 1, 0, m_flash.end_row, BRIX_RBA_CRAM_FAKE_FLASH_IP,
                   unknown);
    }
    BRIX_CHECK(m_flash.start_column > 0 && m_flash.start_column < m_flash.end_column,
               "flash_ip_start_column > 0 && flash_ip_start_column < flash_ip_end_column");
    for (unsigned column = m_flash.start_column - 1; column >= 1; --column) {
        if (m_types.column(column)[m_flash.end_row] != BRIX_RBA_CRAM_UNKNOWN)
            break;
        std::cout << "      Front faking the Flash IP at column " << column << "\n";
        fill_types(column, column, 0, m_flash.end_row, BRIX_RBA_CRAM_FAKE_FLASH_IP,
                   "map[flash_ip_start_column][j] == BYTE(BRIX_RBA_CRAM_UNKNOWN)");
    }
}

// The last column, from row 0 down: flash cells, 70 unknown rows, the I/O register rows, 26 unknown rows.
void PHANTOMLESS_BUILDER::check_last_column(bool verbose) {
    const unsigned char* cells = m_types.column(m_col_size - 1);
    unsigned flash_count = 0, t2_zero_count = 0, hioreg_count = 0, t5_zero_count = 0;
    for (unsigned k = 0; k < m_row_size; ++k) {
        unsigned type = cells[k];
        if (BRIX_COMMON::is_flash_ip(type)) {
            BRIX_CHECK(t2_zero_count == 0 && hioreg_count == 0 && t5_zero_count == 0,
                       "t2_zero_count == 0 && hioreg_count == 0 && t5_zero_count == 0");
            ++flash_count;
        } else if (type == BRIX_RBA_CRAM_UNKNOWN && hioreg_count == 0) {
            BRIX_CHECK(flash_count != 0 && hioreg_count == 0 && t5_zero_count == 0,
                       "flash_count != 0 && hioreg_count == 0 && t5_zero_count == 0");
            ++t2_zero_count;
        } else if (type == BRIX_RBA_CRAM_UNKNOWN) {
            BRIX_CHECK(flash_count != 0 && t2_zero_count != 0 && hioreg_count != 0,
                       "flash_count != 0 && t2_zero_count != 0 && hioreg_count != 0");
            ++t5_zero_count;
        } else if (is_last_column_hioreg(type)) {
            BRIX_CHECK(flash_count != 0 && t2_zero_count != 0 && t5_zero_count == 0,
                       "flash_count != 0 && t2_zero_count != 0 && t5_zero_count == 0");
            ++hioreg_count;
        } else {
            BRIX_REPORT("Unexpected RBA block for the last column");
        }
    }
    // flash_count below 26 would wrap in the subtraction; it is refused with the same condition.
    BRIX_CHECK(flash_count >= 26 && ((flash_count - 26) % 70 == 0) && ((flash_count - 26) / 70 > 0),
               "((flash_count - 26) % 70 == 0) && ((flash_count - 26) / 70 > 0)");
    BRIX_CHECK(t2_zero_count == 70, "t2_zero_count == 70");
    BRIX_CHECK((hioreg_count % 70 == 0) && (hioreg_count / 70 > 0),
               "(hioreg_count % 70 == 0) && (hioreg_count / 70 > 0)");
    BRIX_CHECK(t5_zero_count == 26, "t5_zero_count == 26");
    m_t2 = (flash_count - 26) / 70;
    m_t4 = hioreg_count / 70;
    if (verbose)
        std::cout << "\n      RBA duplicated row info: \n"
                  << "\n         T2: " << m_t2 << "\n         T4: " << m_t4 << "\n";
}

void PHANTOMLESS_BUILDER::check_exclusive_columns() {
    const unsigned hior_companions[] = {BRIX_RBA_CRAM_HCLKMUX, BRIX_RBA_CRAM_PLLINT};
    BRIX_CHECK(BRIX_COMMON::rba_phantomless_exclusive_column(m_types, m_col_size, m_row_size,
                                                             BRIX_RBA_CRAM_HIOR, 2, hior_companions),
               "HIOR Block violates exclusive-check rules");
    const unsigned c_companions[] = {BRIX_RBA_CRAM_C_IV};
    BRIX_CHECK(BRIX_COMMON::rba_phantomless_exclusive_column(m_types, m_col_size, m_row_size, BRIX_RBA_CRAM_C,
                                                             1, c_companions),
               "C Block violates exclusive-check rules");
}

bool PHANTOMLESS_BUILDER::column_matches(unsigned i, unsigned j, const uint64_t* column_flash,
                                         const BIT_MATRIX& unmask_data,
                                         const BIT_MATRIX& unmask_flash) const {
    // A row matches when it is a flash row on both sides, or a data bit exactly where the uniquified column
    // has a data cell. Flash rows carry no data bits, so the two comparisons cover every row.
    return std::memcmp(column_flash, unmask_flash.row_words(j),
                       unmask_flash.words_per_row() * sizeof(uint64_t)) == 0 &&
           rows_equal(m_bits, i, unmask_data, j);
}

BRIX_PHANTOMLESS_MAP PHANTOMLESS_BUILDER::build_rows(const UNIQUIFIED_FILE& unmask,
                                                     const UNIQUIFIED_FILE& mask) {
    uint64_t expected_rows = UNIQUIFIED_ROW_COUNT[0] + uint64_t(m_t2) * UNIQUIFIED_ROW_COUNT[1] +
                             UNIQUIFIED_ROW_COUNT[2] + uint64_t(m_t4) * UNIQUIFIED_ROW_COUNT[3] +
                             UNIQUIFIED_ROW_COUNT[4];
    BRIX_CHECK(
        m_row_size == expected_rows && unmask.col <= m_col_size,
        "row_size == (UNIQUIFIED_ROW_COUNT[0] + T2_count * UNIQUIFIED_ROW_COUNT[1] + UNIQUIFIED_ROW_COUNT[2] "
        "+ T4_count * UNIQUIFIED_ROW_COUNT[3] + UNIQUIFIED_ROW_COUNT[4]) && unmask_uniquified_col <= "
        "col_size");
    const unsigned repeats[UNIQUIFIED_SEGMENT_COUNT] = {1, m_t2, 1, m_t4, 1};
    BRIX_BYTE_COLUMNS full_unmask, full_mask;
    BRIX_COMMON::build_fullchip_uniquified(unmask.cells, unmask.col, unmask.row, m_row_size,
                                           UNIQUIFIED_SEGMENT_COUNT, UNIQUIFIED_ROW_COUNT, repeats,
                                           full_unmask);
    BRIX_COMMON::build_fullchip_uniquified(mask.cells, mask.col, mask.row, m_row_size,
                                           UNIQUIFIED_SEGMENT_COUNT, UNIQUIFIED_ROW_COUNT, repeats,
                                           full_mask);

    // Word-wide views: per uniquified column, the rows holding each cell value.
    BIT_MATRIX unmask_data = cells_equal_to(full_unmask, m_row_size, SOF_BIT_IS_DATA);
    BIT_MATRIX unmask_flash = cells_equal_to(full_unmask, m_row_size, SOF_BIT_IS_FLASH);
    BIT_MATRIX unmask_pb = cells_equal_to(full_unmask, m_row_size, SOF_BIT_IS_PB);
    BIT_MATRIX mask_data = cells_equal_to(full_mask, m_row_size, SOF_BIT_IS_DATA);
    BIT_MATRIX mask_flash = cells_equal_to(full_mask, m_row_size, SOF_BIT_IS_FLASH);
    BIT_MATRIX mask_pb = cells_equal_to(full_mask, m_row_size, SOF_BIT_IS_PB);
    // The flash spans in column order, for the flash rows of one column at a time.
    std::stable_sort(m_flash_spans.begin(), m_flash_spans.end(),
                     [](const FLASH_SPAN& a, const FLASH_SPAN& b) { return a.column < b.column; });
    auto next_span = m_flash_spans.begin();

    const size_t words = m_bits.words_per_row();
    const size_t row_bytes = PHANTOMLESS_HEADER_SIZE + m_bits.bytes_per_row();
    // The checks of a column depend only on the uniquified column it matches: each is checked once.
    std::vector<bool> checked(unmask.col, false);
    BRIX_PHANTOMLESS_MAP rows;
    rows.reserve(m_col_size);
    bool found_switch_region = false;
    bool previous_flash = false;
    std::vector<uint64_t> column_flash(words);
    for (unsigned i = 0; i < m_col_size; ++i) {
        std::fill(column_flash.begin(), column_flash.end(), 0);
        for (; next_span != m_flash_spans.end() && next_span->column == i; ++next_span)
            for_each_word_span(next_span->first_row, size_t(next_span->last_row) - next_span->first_row + 1,
                               [&](size_t w, uint64_t mask) { column_flash[w] |= mask; });
        unsigned j = 0;
        while (j < unmask.col && !column_matches(i, j, column_flash.data(), unmask_data, unmask_flash))
            ++j;
        if (j == unmask.col) {
            std::string message;
            BRIX_REPORT(stl_sprintf(
                message, "Unable to match Fullchip column %d with any of the Uniquified column", int(i)));
        }
        BRIX_CHECK(j < unmask.col, "j < unmask_uniquified_col");
        if (!checked[j]) {
            unsigned final_type = mask.final_types[j];
            auto found = std::find(unmask.types.begin(), unmask.types.end(), final_type);
            BRIX_CHECK(found != unmask.types.end(), "found_final_type");
            size_t final_col = size_t(found - unmask.types.begin());
            BRIX_CHECK(full_mask[j] == full_mask[final_col],
                       "fullchip_mask_uniquified[j][k] == fullchip_mask_uniquified[final_col][k]");
            BRIX_CHECK((final_type >> 24) == 0, "(phantomless_map[i][3] & 0xFF) == 0");
            // The first row that breaks one of the three cell rules decides which one is reported.
            const uint64_t* md = mask_data.row_words(j);
            const uint64_t* mf = mask_flash.row_words(j);
            const uint64_t* mp = mask_pb.row_words(j);
            const uint64_t* uf = unmask_flash.row_words(j);
            const uint64_t* up = unmask_pb.row_words(j);
            const uint64_t* cf = column_flash.data();
            const uint64_t* cb = m_bits.row_words(i);
            for (size_t w = 0; w < words; ++w) {
                uint64_t bad_data = md[w] & uf[w];
                uint64_t bad_flash = mf[w] & ~(uf[w] & cf[w] & ~cb[w]);
                uint64_t bad_pb = mp[w] & ~up[w];
                uint64_t bad = bad_data | bad_flash | bad_pb;
                if (bad == 0)
                    continue;
                uint64_t first = uint64_t(1) << lowest_bit(bad);
                BRIX_CHECK((bad_data & first) == 0, "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_PB || "
                                                    "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_DATA");
                BRIX_CHECK((bad_flash & first) == 0,
                           "fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_FLASH && "
                           "is_flash_ip(BRIX_RBA_CRAM_TYPE(map[i][k])) && (bin_col_map[k >> 3] & (1 << (k & "
                           "7))) == 0");
                BRIX_REPORT("fullchip_unmask_uniquified[j][k] == SOF_BIT_IS_PB");
            }
            checked[j] = true;
        }

        rows.emplace_back(static_cast<unsigned>(row_bytes), 1);
        unsigned char* row = rows.back().data();
        put_u32(row, mask.final_types[j]);
        bool column_flash = full_mask[j][0] == SOF_BIT_IS_FLASH;
        if (column_flash)
            row[3] = PHANTOMLESS_FLAG_FLASH;
        if (i > 0 && column_flash != previous_flash) {
            BRIX_CHECK(!found_switch_region, "!found_switch_region");
            found_switch_region = true;
            rows[i - 1][3] |= PHANTOMLESS_FLAG_SWITCH;
            row[3] |= PHANTOMLESS_FLAG_SWITCH;
        }
        previous_flash = column_flash;
        // The column's data bits are the mask's data cells: its flash rows stay clear, its phantom rows are
        // cleared.
        std::memcpy(m_bits.row_words(i), mask_data.row_words(j), words * sizeof(uint64_t));
        put_u32(row + 4, static_cast<uint32_t>(m_bits.count_row(i)));
        m_bits.row_to_bytes(i, row + PHANTOMLESS_HEADER_SIZE, m_bits.bytes_per_row());
    }

    BRIX_CHECK(found_switch_region, "found_switch_region");
    BRIX_CHECK(!m_memory_block_start_col.empty(), "memory_block_start_col.size() > 0");
    // A range whose end lies below its start would wrap to a span of billions of columns.
    BRIX_CHECK(m_range[0] <= m_range[1], "mram_valid_range[0] <= mram_valid_range[1]");
    uint64_t span = uint64_t(m_range[1]) - m_range[0];
    for (uint64_t start : m_memory_block_start_col) {
        INPUT_CONTEXT here("memory columns " + std::to_string(start) + " to " + std::to_string(start + span) +
                           " of " + std::to_string(m_col_size));
        BRIX_CHECK(start + span < m_col_size, "memory_block_start_col + mram_valid_range span < col_size");
        for (uint64_t c = start; c <= start + span; ++c)
            rows[c][3] |= PHANTOMLESS_FLAG_MEMORY;
    }
    return rows;
}

void PHANTOMLESS_BUILDER::print_mapping(unsigned print_split_col) const {
    BRIX_CHECK(print_split_col <= m_col_size, "print_split_col <= col_size");
    std::string text = "\nPhantomLess Mapping\n\n";
    text += "\t? : Unknown, x : Flash,   # : Fake Flash, L : LAB,      M : Memory,   D : DSP,    C : Clock\n";
    text += "\t1 : C_IV,    2 : HCLKMUX, 3 : IH,         4 : IH_RIGHT, 5 : IV,       6 : HIOR\n";
    text += "\t7 : VIOR,    8 : PLLINT,  9 : VCLKMUX\n\n";
    std::cout << text;
    std::string line;
    for (unsigned k = 0; k < m_row_size; ++k) {
        line.clear();
        for (unsigned i = 0; i < m_col_size; ++i) {
            if (i == print_split_col && print_split_col != 0)
                line += '\t';
            line += BRIX_COMMON::convert_hr_rba_type_to_char(m_types.column(i)[k]);
        }
        if (print_split_col == m_col_size && print_split_col != 0)
            line += '\t';
        line += '\n';
        std::cout << line;
    }
    std::cout << "\n";
}

void PHANTOMLESS_BUILDER::check_block_maps() const {
    for (unsigned i = 0; i < BRIX_RBA_CRAM_MAX; ++i)
        if (m_block_map_loaded[i])
            BRIX_CHECK(m_block_width[i] > 0 && m_block_height[i] > 0,
                       "block_size[2 * i] > 0 && block_size[2 * i + 1] > 0");
}

UNIQUIFIED_FILE read_uniquified(const std::string& path) {
    UNIQUIFIED_FILE file;
    BRIX_COMMON::parse_phantomless_uniquified_file(path, file.col, file.row, file.types, file.final_types,
                                                   file.cells);
    return file;
}

} // namespace

BRIX_RBA_TYPE_MAP::BRIX_RBA_TYPE_MAP(unsigned col_size, unsigned row_size)
    : m_col_size(col_size), m_row_size(row_size), m_cells(size_t(col_size) * row_size) {
    std::memset(m_cells.get(), BRIX_RBA_CRAM_UNKNOWN, m_cells.size());
}

void BRIX_COMMON::set_wait_function_for_testing(WAIT_FUNCTION wait) {
    g_wait = wait;
}

BRIX_PHANTOMLESS_MAP
BRIX_COMMON::build_hr_phantomless_database(unsigned family, const std::string& rba_file, unsigned col_size,
                                           unsigned row_size, const std::array<uint32_t, 4>& mram_valid_range,
                                           unsigned print_split_col, bool verbose,
                                           const LARGE_TEXT* unpacked) {
    BRIX_CHECK(family == BRIX_FAMILY_HARRIER,
               "Harrier Phantomless algo does not support the specified family");
    // A row count below 52 would wrap in the subtraction; it is refused with the same condition.
    BRIX_CHECK(row_size >= 2 * 26 && ((row_size - 2 * 26) % 70) == 0 && ((row_size - 2 * 26) / 70) > 2,
               "((row_size - 2 * 26) % 70) == 0 && ((row_size - 2 * 26) / 70) > 2");
    BRIX_CHECK(!rba_file.empty() && col_size > 0 && row_size > 0,
               "!rba_file.empty() && col_size > 0 && row_size > 0");
    BRIX_CHECK(mram_valid_range[0] != mram_valid_range[1] && mram_valid_range[2] != mram_valid_range[3],
               "mram_valid_range[0] != mram_valid_range[1] && mram_valid_range[2] != mram_valid_range[3]");

    const std::string zipped = rba_file + "z";
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(zipped), "Harrier RBA source file does not exist");
    // The documented command line; the work is done in-process.
    const std::string command = "gunzip -dcSf " + zipped + " > " + rba_file;
    if (verbose)
        std::cout << "\n      Running CMD: " << command << "\n";
    // A text the caller unpacked may still be on its way to the file: the caller waits for that write.
    const bool given = unpacked != nullptr;
    LARGE_TEXT own_text;
    if (unpacked == nullptr) {
        FIO_FILE_SYSTEM::gunzip_file(zipped, rba_file, &own_text);
        unpacked = &own_text;
    }
    BRIX_CHECK(given || FIO_FILE_SYSTEM::exists(rba_file), "FIO_FILE_SYSTEM::exists(rba_file.c_str())");

    if (verbose)
        std::cout << "\n      Building PhantomLess Database using HarRier flow\n"
                  << "\n         Column: " << col_size << "\n         Row: " << row_size << "\n";

    UNIQUIFIED_FILE unmask = read_uniquified(
        BRIX_MANAGER::get_vantrel_phantomless_path(static_cast<BRIX_FAMILY_TYPE>(family), "unmask", "txt"));
    UNIQUIFIED_FILE mask = read_uniquified(
        BRIX_MANAGER::get_vantrel_phantomless_path(static_cast<BRIX_FAMILY_TYPE>(family), "mask", "txt"));
    BRIX_CHECK(unmask.col > 0 && unmask.row > 0 && unmask.col == unmask.types.size(),
               "unmask_uniquified_col > 0 && unmask_uniquified_row > 0 && unmask_uniquified_col == "
               "DWORD(unmask_uniquified_type.size())");
    BRIX_CHECK(mask.col > 0 && mask.row > 0 && mask.col == mask.types.size(),
               "mask_uniquified_col > 0 && mask_uniquified_row > 0 && mask_uniquified_col == "
               "DWORD(mask_uniquified_type.size())");
    BRIX_CHECK(
        unmask.col == mask.col && unmask.row == mask.row,
        "unmask_uniquified_col == mask_uniquified_col && unmask_uniquified_row == mask_uniquified_row");
    for (unsigned i = 0; i < unmask.col; ++i) {
        BRIX_CHECK(unmask.types.at(i) == mask.types.at(i),
                   "unmask_uniquified_type.at(i) == mask_uniquified_type.at(i)");
        BRIX_CHECK(unmask.final_types.at(i) == mask.final_types.at(i),
                   "unmask_final_uniquified_type.at(i) == mask_final_uniquified_type.at(i)");
    }
    if (verbose)
        std::cout << "\n      Uniquified Info: \n"
                  << "\n         Column: " << unmask.col << "\n         Row: " << unmask.row << "\n";

    PHANTOMLESS_BUILDER builder(col_size, row_size, mram_valid_range);
    BRIX_PHANTOMLESS_MAP rows;
    builder.read_rba(rba_file, unpacked->view(), given);
    {
        INPUT_CONTEXT here(rba_file);
        builder.fake_flash_ip();
        builder.check_last_column(verbose);
        builder.check_exclusive_columns();
        rows = builder.build_rows(unmask, mask);
    }
    if (print_split_col != NO_LISTING)
        builder.print_mapping(print_split_col);
    builder.check_block_maps();
    return rows;
}

void BRIX_COMMON::parse_phantomless_uniquified_file(const std::string& path, unsigned& col, unsigned& row,
                                                    std::vector<unsigned>& types,
                                                    std::vector<unsigned>& final_types,
                                                    BRIX_BYTE_COLUMNS& cells) {
    BRIX_CHECK(col == 0 && row == 0 && types.size() == 0 && final_types.size() == 0,
               "col == 0 && row == 0 && types.size() == 0 && final_types.size() == 0");
    // The file may still be on its way from another process: look again every 2 seconds, 20 times.
    for (unsigned n = 0; n < 20 && !FIO_FILE_SYSTEM::exists(path); ++n) {
        std::cout << "Couldn't find input file: " << path << ", sleep for 2seconds - retry " << n << " ...\n"
                  << std::flush;
        wait_milliseconds(2000);
    }
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(path), "FIO_FILE_SYSTEM::exists(input.c_str())");

    std::string line;
    // First pass: the shape. Every line has as many tokens as the first.
    {
        LINE_READER reader(path);
        BRIX_CHECK(reader.is_open(), "infile.good()");
        unsigned lines = 0;
        while (reader.next(line)) {
            std::vector<std::string> tokens = LINE_READER::words(line);
            if (tokens.empty())
                continue;
            if (lines == 0)
                col = static_cast<unsigned>(std::min<size_t>(tokens.size(), 0xFFFFFFFFu));
            else
                BRIX_CHECK(tokens.size() == col, "DWORD(svec.size()) == col");
            if (lines >= 2)
                ++row;
            ++lines;
        }
        BRIX_CHECK(!reader.failed(), "infile.good()");
    }
    cells.assign(col, std::vector<unsigned char>(row, 0xFF));
    // Second pass: the values.
    LINE_READER reader(path);
    BRIX_CHECK(reader.is_open(), "infile.good()");
    unsigned lines = 0;
    while (reader.next(line)) {
        std::vector<std::string> tokens = LINE_READER::words(line);
        if (tokens.empty())
            continue;
        BRIX_CHECK(tokens.size() == col, "DWORD(svec.size()) == col");
        if (lines == 0) {
            for (const std::string& token : tokens)
                types.push_back(BRIX_MANAGER::convert_string_to_value(token, true));
        } else if (lines == 1) {
            for (const std::string& token : tokens) {
                BRIX_CHECK(token.size() >= 2 && token.find("FT") == 0,
                           "ft.size() >= 2 && ft.find(\"FT\") == 0");
                final_types.push_back(BRIX_MANAGER::convert_string_to_value(token.substr(2), true));
            }
        } else {
            unsigned r = lines - 2;
            BRIX_CHECK(r < row, "DWORD(svec.size()) == col");
            for (unsigned c = 0; c < col; ++c) {
                const std::string& token = tokens[c];
                unsigned char value;
                if (token == "0")
                    value = SOF_BIT_IS_PB;
                else if (token == "1")
                    value = SOF_BIT_IS_DATA;
                else if (token == "X" || token == "x")
                    value = SOF_BIT_IS_FLASH;
                else
                    BRIX_REPORT("Unrecognized SOF bit type");
                cells[c][r] = value;
            }
        }
        ++lines;
    }
    BRIX_CHECK(!reader.failed(), "infile.good()");
    BRIX_CHECK(col == types.size() && col == final_types.size(),
               "col == DWORD(types.size()) && col == DWORD(final_types.size())");
}

void BRIX_COMMON::build_fullchip_uniquified(const BRIX_BYTE_COLUMNS& uniquified, unsigned col,
                                            unsigned uniquified_row, unsigned fullchip_row,
                                            unsigned segment_count, const unsigned* row_counts,
                                            const unsigned* repeats, BRIX_BYTE_COLUMNS& fullchip) {
    // The segment sizes are checked against both heights before any row is copied.
    uint64_t src_index = 0, dest_index = 0;
    for (unsigned s = 0; s < segment_count; ++s) {
        src_index += row_counts[s];
        dest_index += uint64_t(row_counts[s]) * repeats[s];
    }
    BRIX_CHECK(dest_index == fullchip_row && src_index == uniquified_row,
               "dest_index == fullchip_row && src_index == uniquified_row");
    BRIX_CHECK(uniquified.size() >= col, "col <= uniquified.size()");
    fullchip.assign(col, std::vector<unsigned char>());
    for (unsigned c = 0; c < col; ++c) {
        const std::vector<unsigned char>& source = uniquified[c];
        BRIX_CHECK(source.size() == uniquified_row,
                   "dest_index == fullchip_row && src_index == uniquified_row");
        std::vector<unsigned char>& dest = fullchip[c];
        dest.reserve(fullchip_row);
        size_t from = 0;
        for (unsigned s = 0; s < segment_count; ++s) {
            for (unsigned r = 0; r < repeats[s]; ++r)
                dest.insert(dest.end(), source.begin() + from, source.begin() + from + row_counts[s]);
            from += row_counts[s];
        }
    }
}

void BRIX_COMMON::get_cram_map(const std::string& path, unsigned width, unsigned height,
                               BIT_MATRIX& block_map, bool force_range, unsigned column_low,
                               unsigned column_high, unsigned row_low, unsigned row_high) {
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(path), path + " file does not exist");
    block_map = BIT_MATRIX(width, height);
    BRIX_CHECK(block_map.rows() == width, "map != NULL");
    LINE_READER reader(path);
    BRIX_CHECK(reader.is_open(), path + " file does not exist");
    std::string line;
    unsigned r = 0;
    while (reader.next(line)) {
        std::string text = LINE_READER::trim(line);
        if (text.empty())
            continue;
        BRIX_CHECK(text.size() == width, "DWORD(string.size()) == col_size");
        // A text with more rows than the block is high has no place for them in the map.
        if (r >= height) {
            INPUT_CONTEXT here("block height " + std::to_string(height));
            BRIX_REPORT("row < height");
        }
        for (unsigned i = 0; i < width; ++i) {
            // The last character is column 0.
            char cell = text[width - 1 - i];
            bool forced = force_range && i >= column_low && i <= column_high && r >= row_low && r <= row_high;
            if (forced)
                cell = '1';
            BRIX_CHECK(cell == '0' || cell == '1', "Unregconized bit in CRAM Map");
            if (cell == '1')
                block_map.set(i, r);
        }
        ++r;
    }
    BRIX_CHECK(!reader.failed(), path + " file does not exist");
    // Forced cells apply to every row of the range, also to rows the text leaves out.
    if (force_range)
        for (unsigned i = column_low; i <= column_high && i < width; ++i)
            for (unsigned k = std::max(r, row_low); k <= row_high && k < height; ++k)
                block_map.set(i, k);
}

void BRIX_COMMON::copy_cram_map(BIT_MATRIX& phantomless_map, const BIT_MATRIX& block_map,
                                unsigned start_column, unsigned start_row, unsigned width, unsigned height,
                                bool reverse) {
    BRIX_CHECK(block_map.rows() == width && block_map.bits() == height && phantomless_map.rows() >= width &&
                   start_column <= phantomless_map.rows() - width && phantomless_map.bits() >= height &&
                   start_row <= phantomless_map.bits() - height,
               "col_map != NULL && cram_map[i] != NULL");
    BIT_MATRIX reversed;
    const BIT_MATRIX* source = &block_map;
    if (reverse) {
        reversed = BIT_MATRIX(width, height);
        for (unsigned i = 0; i < width; ++i)
            for (unsigned r = 0; r < height; ++r)
                if (block_map.get(i, r))
                    reversed.set(i, height - 1 - r);
        source = &reversed;
    }
    const size_t dest_words = phantomless_map.words_per_row();
    for (unsigned i = 0; i < width; ++i) {
        uint64_t* dest = phantomless_map.row_words(start_column + i);
        const uint64_t* src = source->row_words(i);
        bool clear = true;
        for_each_shifted_word(src, source->words_per_row(), start_row, [&](size_t w, uint64_t bits) {
            clear = clear && w < dest_words && (dest[w] & bits) == 0;
        });
        BRIX_CHECK(clear, "(col_map[row_index >> 3] & (1 << (row_index & 7))) == 0");
        for_each_shifted_word(src, source->words_per_row(), start_row,
                              [&](size_t w, uint64_t bits) { dest[w] |= bits; });
    }
}

bool BRIX_COMMON::is_flash_ip(unsigned type) {
    return type == BRIX_RBA_CRAM_FLASH_IP || type == BRIX_RBA_CRAM_FAKE_FLASH_IP;
}

bool BRIX_COMMON::rba_phantomless_exclusive_column(const BRIX_RBA_TYPE_MAP& type_map, unsigned col_size,
                                                   unsigned row_size, unsigned type, unsigned companion_count,
                                                   const unsigned* companions) {
    BRIX_CHECK(col_size <= type_map.col_size() && row_size <= type_map.row_size(), "map != NULL");
    bool is_companion[BRIX_RBA_CRAM_UNKNOWN + 1] = {};
    for (unsigned c = 0; c < companion_count; ++c)
        if (companions[c] <= BRIX_RBA_CRAM_UNKNOWN)
            is_companion[companions[c]] = true;
    bool passed = true;
    for (unsigned i = 0; i < col_size && passed; ++i) {
        const unsigned char* cells = type_map.column(i);
        bool found_type = false, found_other = false, found_companion = false;
        // Blocks fill whole row ranges, so a column is runs of one type. A cell equal to the one before it
        // passes the same checks and changes no flag, so each run is looked at once.
        for (unsigned k = 0; k < row_size; k = static_cast<unsigned>(end_of_run(cells, k, row_size))) {
            unsigned cell = cells[k];
            BRIX_CHECK(cell != BRIX_RBA_CRAM_DUMMY1 && cell != BRIX_RBA_CRAM_DUMMY2 &&
                           cell != BRIX_RBA_CRAM_DUMMY3,
                       "type != BRIX_RBA_CRAM_DUMMY1 && type != BRIX_RBA_CRAM_DUMMY2 && type != "
                       "BRIX_RBA_CRAM_DUMMY3");
            BRIX_CHECK(cell <= BRIX_RBA_CRAM_UNKNOWN, "type <= BRIX_RBA_CRAM_UNKNOWN");
            if (cell == BRIX_RBA_CRAM_UNKNOWN || is_flash_ip(cell))
                continue;
            if ((is_companion[cell] || found_companion) && found_other)
                passed = false;
            if (is_companion[cell])
                found_companion = true;
            else if (cell == type)
                found_type = true;
            else if (!found_companion)
                found_other = true;
        }
        BRIX_CHECK(found_type || found_other, "Unable to find any RBA Block");
    }
    return passed;
}

char BRIX_COMMON::convert_hr_rba_type_to_char(unsigned type) {
    switch (type) {
    case BRIX_RBA_CRAM_L:
        return 'L';
    case BRIX_RBA_CRAM_M:
        return 'M';
    case BRIX_RBA_CRAM_D:
        return 'D';
    case BRIX_RBA_CRAM_C:
        return 'C';
    case BRIX_RBA_CRAM_C_IV:
        return '1';
    case BRIX_RBA_CRAM_HCLKMUX:
        return '2';
    case BRIX_RBA_CRAM_IH:
        return '3';
    case BRIX_RBA_CRAM_IH_RIGHT:
        return '4';
    case BRIX_RBA_CRAM_IV:
        return '5';
    case BRIX_RBA_CRAM_HIOR:
        return '6';
    case BRIX_RBA_CRAM_VIOR:
        return '7';
    case BRIX_RBA_CRAM_PLLINT:
        return '8';
    case BRIX_RBA_CRAM_VCLKMUX:
        return '9';
    case BRIX_RBA_CRAM_FLASH_IP:
        return 'x';
    case BRIX_RBA_CRAM_FAKE_FLASH_IP:
        return '#';
    case BRIX_RBA_CRAM_UNKNOWN:
        return '?';
    default:
        BRIX_REPORT("Unsupport HR RBA CRAM Block type");
    }
}
