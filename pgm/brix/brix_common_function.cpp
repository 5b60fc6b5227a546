// BRIX_COMMON: the TALON row-stamp reader, the MLAB freeze mask and the flattened RIF table with its
// listings.
//
// A row stamp lists the column blocks of one CRAM frame. Every block contributes its dataline (SOF bits) to
// the frame and dataline / 4 rows to DRA0; the reader turns the list into the DRA info, one byte per DRA0
// row, telling the bit mappers which rows carry SOF bits and which are phantom or EDCRC rows. Sizes are
// summed in 64 bits and every row the walk marks is checked against DRA0, so no row stamp can make the
// reader write outside its table.
#include "brix_common_function.h"

#include "bit_matrix.h"
#include "brix_data_manager.h"
#include "brix_data_server.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "pgmdev.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

const char* const k_row_stamp_blocks[] = {
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
static_assert(std::size(k_row_stamp_blocks) == BRIX_COMMON::TALON_ROW_STAMP_BLOCK_COUNT,
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
constexpr uint64_t k_row_stamp_size_max = UINT32_MAX - 32;

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
    return index < TALON_ROW_STAMP_BLOCK_COUNT ? k_row_stamp_blocks[index] : nullptr;
}

bool BRIX_COMMON::convert_talon_row_stamp_block(const std::string& name, unsigned& index) {
    for (unsigned i = 0; i < TALON_ROW_STAMP_BLOCK_COUNT; ++i) {
        if (PGM_COMMON::compare_string(name, k_row_stamp_blocks[i], false)) {
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
    BRIX_CHECK(frame_bits <= k_row_stamp_size_max && rows_total <= k_row_stamp_size_max,
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
        const char* name = k_row_stamp_blocks[b.block];
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

// ---- MLAB freeze mask
// --------------------------------------------------------------------------------------

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

// ---- RIF tables
// ---------------------------------------------------------------------------------------------

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

// ---- Listings of a flattened RIF table
// ---------------------------------------------------------------------

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
