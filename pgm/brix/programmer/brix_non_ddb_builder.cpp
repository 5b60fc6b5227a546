// The programmer databases: the PGM RBA database of a device (its RBA text parsed into block placements), the
// CRAM map database of a family (its text CRAM maps checked against the devices' blocks) and the FID of a
// device (its frame and bit mappings and the EDCRC RMF of its phantom image), each in a container file.
#include "programmer/brix_non_ddb_builder.h"

#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "cli/brix_operations.h"
#include "device/brix_helper.h"
#include "fio.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "pgmdev.h"
#include "records/brix_data_manager.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iostream>

namespace {

// An unsigned decimal number that fits 32 bits; anything else (a sign, other characters, a larger value) is
// not a number.
bool read_u32(const std::string& word, uint32_t& value) {
    const char* end = word.data() + word.size();
    auto result = std::from_chars(word.data(), end, value, 10);
    return !word.empty() && result.ec == std::errc() && result.ptr == end;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The six numbers of an entry, from words[first] on.
bool read_entry_numbers(const std::vector<std::string>& words, size_t first, uint32_t (&numbers)[6]) {
    if (words.size() < first + 6)
        return false;
    for (size_t k = 0; k < 6; ++k)
        if (!read_u32(words[first + k], numbers[k]))
            return false;
    return true;
}

} // namespace

void add_rba_location(BRIX_RBA_BLOCK_LIST& block_list, BRIX_RBA_BLOCK*& current_block,
                      std::string& last_block_name, const std::string& block, uint32_t frame_size,
                      uint32_t bit_size, uint32_t frame_index, uint32_t bit_index, uint32_t frame_mirror,
                      uint32_t bit_mirror) {
    unsigned type = PGM_RBA_INVALID;
    if (last_block_name.empty() || last_block_name != block) {
        std::cout << "      " << block << "\n";
        PGMDEV_MGR::pgm_check_type_name_supported(0, block, type);
        BRIX_CHECK(type > PGM_RBA_INVALID && type < PGM_RBA_MAX,
                   "type > PGM_RBA_INVALID && type < PGM_RBA_MAX");
        for (auto iter = block_list.begin(); iter != block_list.end(); ++iter)
            BRIX_CHECK((*iter)->type != type, "(*iter)->type != type");
        auto created = std::make_unique<BRIX_RBA_BLOCK>();
        created->type = type;
        created->frame_size = frame_size;
        created->bit_size = bit_size;
        current_block = created.get();
        block_list.push_back(std::move(created));
    } else {
        BRIX_CHECK(current_block != nullptr, "(*rba_block) != NULL");
        type = current_block->type;
    }
    BRIX_CHECK(current_block != nullptr, "(*rba_block) != NULL");
    BRIX_CHECK(current_block->type == type, "block->type == type");
    BRIX_CHECK(current_block->frame_size == frame_size, "block->frame_size == frame_size");
    BRIX_CHECK(current_block->bit_size == bit_size, "block->bit_size == bit_size");
    current_block->locations[frame_index].push_back({bit_index, frame_mirror != 0, bit_mirror != 0});
    last_block_name = block;
}

BRIX_RBA_BLOCK_LIST parse_rba_file(const std::string& rba_file, uint32_t version) {
    BRIX_CHECK(version == 0 || version == 1, "version == 0 || version == 1");
    std::string file = rba_file;
    if (PGM_COMMON::check_extension(rba_file, "rbaz")) {
        // Decompressed in-process beside the compressed file, which stays where it is; the line names the
        // command that does the same, as logs know it.
        file = rba_file.substr(0, rba_file.size() - 1);
        std::cout << "   CMD: gunzip -dcSf " << rba_file << " > " << file << "\n\n";
        FIO_FILE_SYSTEM::gunzip_file(rba_file, file);
    }
    std::cout << "   Parsing " << file << " ...\n\n";
    LINE_READER rba(file);
    BRIX_CHECK(rba.is_open(), "rba.good()");

    BRIX_RBA_BLOCK_LIST list;
    BRIX_RBA_BLOCK* current_block = nullptr;
    std::string last_block_name, block;
    bool start = false, stop = false;
    std::string line;
    while (!stop && rba.next(line)) {
        std::vector<std::string> words = LINE_READER::words(line);
        if (words.empty())
            continue; // blank lines are skipped
        const std::string& word = words[0];
        uint32_t n[6];
        if (version == 0) {
            if (!start) {
                start = starts_with(word, "$BLOCK_CRAM");
                continue;
            }
            if (starts_with(word, "$BLOCK_")) {
                stop = true;
                continue;
            }
            block = word;
            BRIX_CHECK(!block.empty(), "!block.empty()");
            BRIX_CHECK(
                read_entry_numbers(words, 2, n),
                "rba >> dummy >> frame_size >> bit_size >> frame_index >> bit_index >> frame_mirror >> "
                "bit_mirror");
        } else {
            if (word != "CRAM")
                continue;
            BRIX_CHECK(
                words.size() >= 4 && read_entry_numbers(words, 4, n),
                "rba >> block >> dummy >> dummy >> frame_size >> bit_size >> frame_index >> bit_index >> "
                "frame_mirror >> bit_mirror");
            block = words[1];
        }
        add_rba_location(list, current_block, last_block_name, block, n[0], n[1], n[2], n[3], n[4], n[5]);
    }
    BRIX_CHECK(!rba.failed(), "rba.good()");
    rba.set_location("end of file");
    if (version == 0)
        BRIX_CHECK(start && stop, "start && stop");
    else
        BRIX_CHECK(!block.empty() && !last_block_name.empty(), "!block.empty() && !block_name.empty()");
    BRIX_CHECK(list.size() > 0, "rba_list.size() > 0");
    std::cout << "\n";
    return list;
}

void build_pgm_rba(const std::string& target, const std::string& rba_file) {
    BRIX_CHECK(
        PGM_COMMON::check_extension(rba_file, "rba") || PGM_COMMON::check_extension(rba_file, "rbaz"),
        "PGM_COMMON::check_extension(rba_file, \"rba\") || PGM_COMMON::check_extension(rba_file, \"rbaz\")");
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(rba_file), "FIO_FILE_SYSTEM::exists(rba_file.c_str())");
    BRIX_CHECK(!PGM_COMMON::check_extension(target, "ddb"), "!PGM_COMMON::check_extension(target, \"ddb\")");

    std::string pcf = BRIX_DATA_SERVER::get_pcf(target, false);
    std::string family = PGMDEV_DEVICE_GRAMMAR_MGR::get_family(target);
    if (pcf.empty() || family.empty()) {
        // The documented condition, and the name that was looked up.
        INPUT_CONTEXT here("device " + INPUT_CONTEXT::excerpt(target) + " in the device table");
        BRIX_REPORT("!pcf.empty() && !family.empty()");
    }
    uint32_t rba_index = find_pgm_family_info(family);
    BRIX_CHECK(rba_index != uint32_t(-1), "rba_index != DWORD(-1)");
    uint32_t version = PGM_FAMILY_INFO_DATABASE[rba_index].rba_version;

    std::cout << "\n"
              << "   Building RBA file ... \n\n"
              << "      PCF: " << pcf << "\n"
              << "      Family: " << family << "\n"
              << "      Version: " << version << "\n\n";

    BRIX_RBA_BLOCK_LIST list = parse_rba_file(rba_file, version);
    std::vector<unsigned char> data;
    pgm_ddb_write(data, list);
    BRIX_CHECK(data.size() > 0, "data.size() > 0");
    BRIX_CHECK(data.size() <= 0xFFFFFFFFu, "data.size() <= 0xFFFFFFFF"); // the header stores a 32-bit size
    BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1, "pgm_rba",
                                              pcf, pcf, gen_get_device_db_fullpath() + "/programmer/fid/");
    BRIX_DATA_SERVER::delete_device_rba(list);
    std::cout << "\n";
}

// ---- CRAM map of a family
// -----------------------------------------------------------------------------------

namespace {

// A zeroed table of rows x ceil(bits / 8) bytes, one owned row each, as the records hold bit rows.
PGM_BYTE_ROWS new_byte_rows(uint32_t rows, uint32_t bits) {
    const size_t row_bytes = (size_t{bits} + 7) / 8;
    PGM_BYTE_ROWS table(new std::unique_ptr<unsigned char[]>[rows]);
    for (uint32_t r = 0; r < rows; ++r)
        table[r].reset(new unsigned char[row_bytes]());
    return table;
}

void set_row_bit(unsigned char* row, uint64_t bit) {
    row[bit / 8] = static_cast<unsigned char>(row[bit / 8] | (1u << (bit % 8)));
}

std::string pgm_db_directory() {
    std::string directory = gen_get_unshipped_data_fullpath();
    if (directory.empty() || directory.back() != '/')
        directory += '/';
    return directory + "pgm_db/";
}

std::string programmer_fid_directory() {
    return gen_get_device_db_fullpath() + "/programmer/fid/";
}

} // namespace

std::string get_cram_map_text_file(const std::string& family_pcf, uint32_t block_type) {
    BRIX_CHECK(block_type != PGM_RBA_INVALID && block_type < PGM_RBA_MAX,
               "block_type != PGM_RBA_INVALID && block_type < PGM_RBA_MAX");
    return pgm_db_directory() + stl_lower(family_pcf + "_" + PGM_RBA_TYPE_NAMES[block_type] + "_cram.map");
}

void read_cram_map_text(const std::string& path, std::vector<std::string>& rows, bool keep_column_order,
                        bool keep_row_order, uint32_t& cram_map_col, uint32_t& cram_map_row) {
    {
        INPUT_CONTEXT in_file(path);
        BRIX_CHECK(FIO_FILE_SYSTEM::exists(path), "Input file does not exist");
    }
    LINE_READER cram_map(path);
    BRIX_CHECK(cram_map.is_open(), "cram_map.good()");

    // Each row with the line it came from, for the report of a row of the wrong length.
    std::vector<std::pair<std::string, uint64_t>> data;
    std::string line;
    while (cram_map.next(line)) {
        if (line.empty())
            continue;
        std::string cleaned = PGM_COMMON::get_rid_white_space_and_comment(line);
        // A line of blanks or a comment alone holds no row.
        if (cleaned.empty())
            continue;
        for (auto iter = cleaned.begin(); iter != cleaned.end(); ++iter)
            BRIX_CHECK(*iter == '0' || *iter == '1', "*iter == '0' || *iter == '1'");
        if (!keep_column_order)
            std::reverse(cleaned.begin(), cleaned.end());
        data.emplace_back(std::move(cleaned), cram_map.line_number());
    }
    BRIX_CHECK(!cram_map.failed(), "cram_map.good()");
    if (!keep_row_order) // the file is drawn bottom-up
        std::reverse(data.begin(), data.end());
    cram_map.set_location("end of file");
    BRIX_CHECK(data.size() > 0, "DWORD(data.size()) > 0");
    BRIX_CHECK(data.at(0).first.size() > 0, "DWORD(data.at(0).size()) > 0");
    BRIX_CHECK(data.size() <= 0xFFFFFFFFu && data.at(0).first.size() <= 0xFFFFFFFFu,
               "DWORD(data.size()) > 0");
    cram_map_row = static_cast<uint32_t>(data.size());
    cram_map_col = static_cast<uint32_t>(data.at(0).first.size());
    rows.clear();
    rows.reserve(data.size());
    for (auto& row : data) {
        cram_map.set_location("line " + std::to_string(row.second));
        BRIX_CHECK(cram_map_col == row.first.size(), "cram_map_col == DWORD((*i).size())");
        rows.push_back(std::move(row.first));
    }
}

PGM_BYTE_ROWS build_cram_map_for_type(uint32_t family_index, uint32_t type, uint32_t frame_size,
                                      uint32_t bit_size, bool col_as_frame) {
    const PGM_CRAM_MAP_FAMILY& family_row = PGM_CRAM_MAP_FAMILY_DATABASE[family_index];
    const std::string family = family_row.family_pcf;
    BRIX_CHECK(!family.empty() && type > PGM_RBA_INVALID && type < PGM_RBA_MAX,
               "!family.empty() && type > PGM_RBA_INVALID && type < PGM_RBA_MAX");
    BRIX_CHECK(frame_size > 0 && bit_size > 0, "frame_size > 0 && bit_size > 0");
    PGM_BYTE_ROWS map = new_byte_rows(frame_size, bit_size);

    // GRANITE draws the RT_VIO_MLAB map in two files.
    const uint32_t type_list[2] = {
        type, family == "GRANITE" && type == PGM_RBA_RT_VIO_MLAB ? PGM_RBA_RT_VIO_M_LAB : 0u};
    BRIX_CHECK(!family.empty() && type_list[0] > PGM_RBA_INVALID && type_list[0] < PGM_RBA_MAX,
               "!family.empty() && type_list[0] > PGM_RBA_INVALID && type_list[0] < PGM_RBA_MAX");
    std::cout << "            " << PGM_RBA_TYPE_NAMES[type_list[0]];
    if (type_list[1] != 0)
        std::cout << " (" << PGM_RBA_TYPE_NAMES[type_list[1]] << ")";
    std::cout << "\n";

    uint64_t frame_index = 0;
    for (uint32_t block_type : type_list) {
        if (block_type == 0)
            continue;
        const std::string path = get_cram_map_text_file(family, block_type);
        std::vector<std::string> rows;
        uint32_t cram_map_col = 0, cram_map_row = 0;
        read_cram_map_text(path, rows, family_row.keep_column_order, family_row.keep_row_order, cram_map_col,
                           cram_map_row);
        INPUT_CONTEXT in_file(path);
        if (!col_as_frame) {
            // Text rows are frames. A second file would start past the frames of the first: refuse it before
            // any of its rows is written.
            BRIX_CHECK(cram_map_row == frame_size, "cram_map_row == frame_size");
            BRIX_CHECK(cram_map_col == bit_size, "cram_map_col == bit_size");
            BRIX_CHECK(frame_index + cram_map_row <= frame_size,
                       "(frame_index + cram_map_row) <= frame_size");
            for (uint32_t r = 0; r < cram_map_row; ++r) {
                uint32_t bit_index = 0;
                for (; bit_index < cram_map_col; ++bit_index)
                    if (rows[r][bit_index] == '1')
                        set_row_bit(map[frame_index + r].get(), bit_index);
                BRIX_CHECK(bit_index == bit_size, "bit_index == bit_size");
            }
            frame_index += cram_map_row;
        } else {
            // Text columns are frames, text rows are bits.
            BRIX_CHECK(frame_index + cram_map_col <= frame_size,
                       "(frame_index + cram_map_col) <= frame_size");
            BRIX_CHECK(cram_map_row == bit_size, "cram_map_row == bit_size");
            for (uint32_t c = 0; c < cram_map_col; ++c) {
                uint32_t bit_index = 0;
                for (; bit_index < cram_map_row; ++bit_index)
                    if (rows[bit_index][c] == '1')
                        set_row_bit(map[frame_index + c].get(), bit_index);
                BRIX_CHECK(bit_index == bit_size, "bit_index == bit_size");
            }
            frame_index += cram_map_col;
        }
    }
    BRIX_CHECK(frame_index == frame_size, "frame_index == frame_size");
    return map;
}

void merge_device_cram_maps(const std::string& device, uint32_t family_index, bool not_first,
                            unsigned char& flags, BRIX_CRAM_MAP_LIST& cram_map_list,
                            uint32_t* frame_count_list, uint32_t* bit_count_list) {
    std::unique_ptr<BRIX_INFO> pcf_info(BRIX_DATA_SERVER::vantrel_get_brix_info(device, false, true, true));
    BRIX_CHECK(pcf_info != nullptr && pcf_info->get_device_info() != nullptr,
               "pcf_info != NULL && pcf_info->get_device_info() != NULL");
    const BRIX_DEVICE_INFO* device_info = pcf_info->get_device_info();

    // The first device decides the layout of the family's maps; every later one must share it. A device
    // database without the parameter is reported with its file.
    bool col_as_frame = (flags & 1) != 0;
    {
        INPUT_CONTEXT here(BRIX_DATA_SERVER::get_pcf(device, true));
        INPUT_CONTEXT parameter("parameter COL_AS_FRAME");
        if (!not_first) {
            col_as_frame = device_info->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME);
            flags = static_cast<unsigned char>((flags & ~1u) | (col_as_frame ? 1u : 0u));
        } else {
            BRIX_CHECK(col_as_frame == device_info->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME),
                       "col_as_frame == device_info->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME)");
        }
    }

    BRIX_RBA_BLOCK_LIST rba_block_list = BRIX_DATA_SERVER::get_device_rba(device);
    BRIX_CHECK(rba_block_list.size() > 0, "rba_block_list.size() > 0");
    bool added = false;
    for (const auto& block : rba_block_list) {
        const uint32_t type = block->type;
        BRIX_CHECK(type > PGM_RBA_INVALID && type < PGM_RBA_MAX,
                   "type > PGM_RBA_INVALID && type < PGM_RBA_MAX");
        if (frame_count_list[type] != 0 || bit_count_list[type] != 0) {
            // An earlier device defined this type's map: the block must have the same size.
            BRIX_CHECK(frame_count_list[type] == block->frame_size,
                       "frame_count_list[type] == (*block)->frame_size");
            BRIX_CHECK(bit_count_list[type] == block->bit_size, "bit_count_list[type] == (*block)->bit_size");
        } else {
            frame_count_list[type] = block->frame_size;
            bit_count_list[type] = block->bit_size;
            PGM_BYTE_ROWS info =
                build_cram_map_for_type(family_index, type, block->frame_size, block->bit_size, col_as_frame);
            for (auto iter = cram_map_list.begin(); iter != cram_map_list.end(); ++iter)
                BRIX_CHECK((*iter)->type != type, "(*iter)->type != type");
            auto map = std::make_unique<BRIX_CRAM_MAP>();
            map->type = type;
            map->frame_size = block->frame_size;
            map->bit_size = block->bit_size;
            map->bit_byte_size = static_cast<uint32_t>((uint64_t{block->bit_size} + 7) / 8);
            map->info = std::move(info);
            cram_map_list.push_back(std::move(map));
            added = true;
        }
        BRIX_CHECK(frame_count_list[type] != 0 && bit_count_list[type] != 0,
                   "frame_count_list[type] != 0 && bit_count_list[type] != 0");
    }
    BRIX_DATA_SERVER::delete_device_rba(rba_block_list);
    if (added)
        std::cout << "\n";
}

void build_family_cram_map(const std::string& target) {
    unsigned family_type = 0;
    BRIX_CHECK(BRIX_DATA_SERVER::check_is_family_pcf_supported(target, family_type),
               "BRIX_DATA_SERVER::check_is_family_pcf_supported(target, family_type)");
    std::cout << "\n"
              << "   Building CRAM Map file ... \n\n"
              << "   Checking PCF ... \n\n";
    const std::string family = stl_upper(target);
    const uint32_t cram_map_index = find_pgm_cram_map_family(family);
    BRIX_CHECK(cram_map_index != uint32_t(-1), "cram_map_index != DWORD(-1)");
    const PGM_CRAM_MAP_FAMILY& row = PGM_CRAM_MAP_FAMILY_DATABASE[cram_map_index];
    unsigned char flags =
        static_cast<unsigned char>((row.keep_column_order ? 2 : 0) | (row.keep_row_order ? 4 : 0));

    uint32_t frame_count_list[PGM_RBA_MAX] = {};
    uint32_t bit_count_list[PGM_RBA_MAX] = {};
    BRIX_CRAM_MAP_LIST cram_map_list;
    bool hit = false;
    for (unsigned device_type = 0; device_type < BRIX_DEVICE_MAX; ++device_type) {
        const std::string name = BRIX_DEVICE_TYPE_NAMES[device_type];
        if (BRIX_DATA_SERVER::get_family_pcf(name, false) != family)
            continue;
        std::cout << "      " << name;
        std::string pcf;
        if (FIO_FILE_SYSTEM::exists(BRIX_DATA_SERVER::get_device_rba_file(name, pcf))) {
            std::cout << "\n\n";
            merge_device_cram_maps(name, cram_map_index, hit, flags, cram_map_list, frame_count_list,
                                   bit_count_list);
            hit = true;
        } else {
            std::cout << " -> not exist\n";
        }
    }
    if (!hit) {
        std::cout << "   None of the PGM RBA is ready\n";
        BRIX_CHECK(cram_map_list.size() == 0, "cram_map_list.size() == 0");
    } else {
        BRIX_CHECK(!hit || cram_map_list.size() > 0, "!hit || cram_map_list.size() > 0");
        std::vector<unsigned char> data(1, flags);
        pgm_ddb_write(data, cram_map_list);
        BRIX_CHECK(data.size() <= 0xFFFFFFFFu,
                   "data.size() <= 0xFFFFFFFF"); // the header stores a 32-bit size
        BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1,
                                                  "cram_map", family, family, programmer_fid_directory());
        BRIX_DATA_SERVER::delete_family_cram_map(cram_map_list);
    }
    std::cout << "\n";
}

// ---- FID of a device
// ---------------------------------------------------------------------------------------

namespace {

// Markers of SOF_TO_RBF_MAP entries.
constexpr uint32_t SOF_TO_RBF_INVALID = 0xFFFFFFFD;       // not filled
constexpr uint32_t SOF_TO_RBF_NO_BS_BIT = 0xFFFFFFFE;     // SOF bit without bitstream position
constexpr uint32_t SOF_TO_RBF_SKIP_CONV_PB3 = 0xFFFFFFFF; // no counterpart
// Bits at the head of every 28nm bitstream frame that the EDCRC does not cover.
constexpr uint32_t EDCRC_HEAD_BITS = 192;

// Phantom image layout.
constexpr size_t SIGNATURE_SIZE = 40;
constexpr size_t TAG_SIZE = 30;
constexpr size_t DEVICE_VERSION_SIZE = 5;
constexpr uint32_t PHANTOM_FILE_VERSION = 4;

const char* const PHANTOM_PARSE_TEXT = "ptag_index == 0 && file_version == 4";

// Sets bits [first, first + count) of a row, a word at a time.
void set_bit_range(BIT_MATRIX& matrix, size_t row, size_t first, size_t count) {
    if (count == 0)
        return;
    uint64_t* words = matrix.row_words(row);
    size_t last = first + count - 1;
    size_t w0 = first / 64, w1 = last / 64;
    uint64_t head = ~uint64_t{0} << (first % 64);
    uint64_t tail = ~uint64_t{0} >> (63 - last % 64);
    if (w0 == w1) {
        words[w0] |= head & tail;
        return;
    }
    words[w0] |= head;
    for (size_t w = w0 + 1; w < w1; ++w)
        words[w] = ~uint64_t{0};
    words[w1] |= tail;
}

// ORs row src_row of src into row `row` of dst starting at bit `offset`; the source bits must fit.
void or_row_at(BIT_MATRIX& dst, size_t row, size_t offset, const BIT_MATRIX& src, size_t src_row) {
    uint64_t* out = dst.row_words(row);
    const uint64_t* in = src.row_words(src_row);
    const size_t out_words = dst.words_per_row();
    const size_t shift = offset % 64;
    size_t w = offset / 64;
    for (size_t k = 0; k < src.words_per_row(); ++k, ++w) {
        uint64_t v = in[k];
        if (v == 0)
            continue;
        out[w] |= v << shift;
        if (shift != 0 && w + 1 < out_words)
            out[w + 1] |= v >> (64 - shift);
    }
}

// The block pattern of a CRAM map, mirrored along frames and/or bits.
BIT_MATRIX cram_map_pattern(const BRIX_CRAM_MAP& map, bool frame_mirror, bool bit_mirror) {
    BIT_MATRIX pattern(map.frame_size, map.bit_size);
    for (uint32_t i = 0; i < map.frame_size; ++i) {
        const unsigned char* row = map.info[frame_mirror ? map.frame_size - 1 - i : i].get();
        if (!bit_mirror) {
            pattern.row_from_bytes(i, row, map.bit_byte_size);
            continue;
        }
        for (uint32_t k = 0; k < map.bit_size; ++k) {
            uint32_t b = map.bit_size - 1 - k;
            if ((row[b / 8] >> (b % 8)) & 1)
                pattern.set(i, k);
        }
    }
    return pattern;
}

// Checks that a placement lies inside the CRAM, naming the block and placement when it does not.
void check_placement(const BRIX_RBA_BLOCK& block, uint32_t frame_index, uint32_t bit_index,
                     uint32_t cram_frame, uint32_t cram_bit) {
    if (block.frame_size == 0)
        return;
    INPUT_CONTEXT here(std::string("RBA block ") +
                       PGM_RBA_TYPE_NAMES[block.type < PGM_RBA_MAX ? block.type : 0] + " at frame " +
                       std::to_string(frame_index) + ", bit " + std::to_string(bit_index));
    BRIX_CHECK(uint64_t{frame_index} + block.frame_size <= cram_frame, "j >= 0 && j < cram_frame");
    if (block.bit_size != 0)
        BRIX_CHECK(uint64_t{bit_index} + block.bit_size <= cram_bit, "y >= 0 && y < cram_bit");
}

// Row `row` of a matrix, bits [first, first + count), as '0'/'1' text, masked by the same bits of a mask row.
std::string masked_row_text(const BIT_MATRIX& matrix, size_t row, size_t first, const BIT_MATRIX& mask,
                            size_t mask_row, size_t mask_first, size_t count) {
    std::string text(count, '0');
    for (size_t k = 0; k < count; ++k)
        if (matrix.get(row, first + k) && mask.get(mask_row, mask_first + k))
            text[k] = '1';
    return text;
}

// Prints one placement's rows when they differ: the image region against the RBA rows.
void print_placement_difference(const std::string& type_name, uint32_t frame_index, uint32_t bit_index,
                                const std::vector<std::string>& img, const std::vector<std::string>& rba,
                                const char* size_text) {
    BRIX_CHECK(img.size() == rba.size(), size_text);
    bool differ = false;
    for (auto is = img.begin(), rs = rba.begin(); is != img.end(); ++is, ++rs) {
        BRIX_CHECK((*is).size() == (*rs).size(), "(*is).size() == (*rs).size()");
        differ |= *is != *rs;
    }
    if (!differ)
        return;
    std::cout << "   Failing at " << type_name << " : " << frame_index << " " << bit_index
              << " (IMG vs RBA)\n";
    for (size_t i = 0; i < img.size(); ++i)
        std::cout << "      " << img[i] << " vs " << rba[i] << "\n";
}

// Removes a file when it goes out of scope, so a failed build leaves no unpacked copy behind.
class REMOVE_ON_EXIT {
  public:
    explicit REMOVE_ON_EXIT(std::string path) : m_path(std::move(path)) {}
    ~REMOVE_ON_EXIT() {
        if (!m_path.empty())
            FIO_FILE_SYSTEM::remove_file(m_path);
    }
    REMOVE_ON_EXIT(const REMOVE_ON_EXIT&) = delete;
    REMOVE_ON_EXIT& operator=(const REMOVE_ON_EXIT&) = delete;
    // Removes the file now; true when it is gone.
    bool remove() {
        bool gone = FIO_FILE_SYSTEM::remove_file(m_path);
        m_path.clear();
        return gone;
    }

  private:
    std::string m_path;
};

// A little-endian u32 of the phantom image at offset, or false when the file ends first.
bool read_image_u32(const std::vector<unsigned char>& data, size_t offset, uint32_t& value) {
    if (offset > data.size() || data.size() - offset < 4)
        return false;
    const unsigned char* p = data.data() + offset;
    value = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    return true;
}

// A text field of the phantom image up to its first zero byte, or false when the file ends first.
bool read_image_text(const std::vector<unsigned char>& data, size_t offset, size_t size, std::string& text) {
    if (offset > data.size() || data.size() - offset < size)
        return false;
    const char* p = reinterpret_cast<const char*>(data.data() + offset);
    text.assign(p, strnlen(p, size));
    return true;
}

[[noreturn]] void phantom_parse_error(const std::string& field) {
    INPUT_CONTEXT here(field);
    BRIX_REPORT(PHANTOM_PARSE_TEXT);
}

// One u32 argument of the device copied into a new array: it must hold exactly one non-empty row.
void copy_uint_arg(const BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE type, std::unique_ptr<uint32_t[]>& data,
                   uint32_t& size) {
    INPUT_CONTEXT here(std::string("argument ") + BRIX_ARGUMENT_TYPE_NAMES[type]);
    const BRIX_ARG* arg = BRIX_MANAGER::search_argument_from_list(type, arg_list);
    BRIX_CHECK(arg != nullptr && data == nullptr, "arg_list != NULL && (*data) == NULL");
    unsigned width = 0;
    std::vector<uint32_t*> uint_arg_list = BRIX_MANAGER::get_uint_arg_list(arg, width);
    BRIX_CHECK(uint_arg_list.size() == 1 && width > 0, "uint_arg_list.size() == 1 && size > 0");
    data.reset(new uint32_t[width]);
    std::copy(uint_arg_list[0], uint_arg_list[0] + width, data.get());
    size = width;
}

void copy_uint_array(const std::unique_ptr<uint32_t[]>& src_data, uint32_t src_size,
                     std::unique_ptr<uint32_t[]>& dest_data) {
    BRIX_CHECK(src_size > 0 && src_data != nullptr && dest_data == nullptr,
               "src_size > 0 && src_data != NULL && (*dest_data) == NULL");
    dest_data.reset(new uint32_t[src_size]);
    std::copy(src_data.get(), src_data.get() + src_size, dest_data.get());
}

std::unique_ptr<uint32_t[]> filled_array(uint32_t size, uint32_t value) {
    std::unique_ptr<uint32_t[]> a(new uint32_t[size]);
    std::fill(a.get(), a.get() + size, value);
    return a;
}

} // namespace

PHANTOM_IMAGE parse_phantom_image(const std::string& file, bool quiet) {
    INPUT_CONTEXT in_file(file);
    std::ostream discard(nullptr); // a stream without a buffer drops what it is given
    std::ostream& log = quiet ? discard : std::cout;
    FIO_STATUS stat_info;
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(file) && FIO_FILE_SYSTEM::status(file, stat_info),
               "FIO_FILE_SYSTEM::exists(file.c_str()) && FIO_FILE_SYSTEM::status(file.c_str(), &stat_info)");
    log << "   Parsing Phantom Image: " << file << " ... \n\n";
    PHANTOM_IMAGE image;
    BRIX_CHECK(FIO_FILE_SYSTEM::read_file(file, image.data), "input.good()");
    const std::vector<unsigned char>& data = image.data;

    std::string signature, tag, device_version;
    uint32_t file_version = 0, block_count = 0;
    if (!read_image_text(data, 0, SIGNATURE_SIZE, signature))
        phantom_parse_error("signature");
    size_t at = SIGNATURE_SIZE;
    if (!read_image_u32(data, at, file_version))
        phantom_parse_error("file version");
    at += 4;
    if (file_version != PHANTOM_FILE_VERSION)
        phantom_parse_error("file version");
    if (!read_image_text(data, at, TAG_SIZE, tag))
        phantom_parse_error("tag");
    at += TAG_SIZE;
    if (!read_image_text(data, at, DEVICE_VERSION_SIZE, device_version))
        phantom_parse_error("device version");
    at += DEVICE_VERSION_SIZE;
    if (!read_image_u32(data, at, block_count))
        phantom_parse_error("block count");
    at += 4;
    log << "      Signature: " << signature << "\n"
        << "      File version: " << file_version << "\n"
        << "      Tag: " << tag << "\n"
        << "      Device version: " << device_version << "\n"
        << "      Block count: " << block_count << "\n";

    uint32_t block_index = 0;
    uint32_t row0 = 0, col0 = 0, width0 = 0;
    for (; block_index < block_count; ++block_index, at += 12) {
        uint32_t row = 0, col = 0, width = 0;
        if (!read_image_u32(data, at, row) || !read_image_u32(data, at + 4, col) ||
            !read_image_u32(data, at + 8, width))
            break;
        log << "         Block #" << block_index << ": "
            << "Row => " << PGM_COMMON::convert_dword_to_string(row, 0xFFFFFFFF, true) << " "
            << "Col => " << PGM_COMMON::convert_dword_to_string(col, 0xFFFFFFFF, true) << " "
            << "Width => " << width << "\n";
        INPUT_CONTEXT block_field("block " + std::to_string(block_index));
        BRIX_CHECK(
            row > 0 && col > 0 && width > 0,
            "block_row[block_index] > 0 && block_col[block_index] > 0 && block_width[block_index] > 0");
        if (block_index == 0) {
            row0 = row;
            col0 = col;
            width0 = width;
        }
    }
    {
        INPUT_CONTEXT field("block list");
        BRIX_CHECK(block_index == block_count, "block_index == block_count");
    }
    // Only block 0 is read: there must be one, and its rows must be wide enough for its columns.
    {
        INPUT_CONTEXT field("block count");
        BRIX_CHECK(block_count > 0, "block_count > 0");
    }
    const uint64_t row_bytes = (uint64_t{col0} + 7) / 8;
    const uint64_t row_stride = uint64_t{width0} * 4;
    {
        INPUT_CONTEXT field("block 0 width");
        BRIX_CHECK(row_stride >= row_bytes, "block_width[0] * 4 >= (block_col[0] + 7) / 8");
    }
    at += 1; // one byte between the block list and the rows
    // Block 0's rows must end before the end of the file.
    if (at > data.size() || uint64_t{row0} * row_stride >= data.size() - at)
        phantom_parse_error("block 0 rows");
    log << "\n";
    image.first_row = at;
    image.row_stride = static_cast<size_t>(row_stride);
    image.img_cram_col = col0;
    image.img_cram_row = row0;
    return image;
}

BIT_MATRIX build_phantom_image_rmf(const std::string& file, bool col_as_frame, uint32_t frame_size,
                                   uint32_t bit_size, const PGM_SPARE_ROW& spare_row) {
    BRIX_CHECK(spare_row.region_count <= 4, "spare_row.region_count <= 4");
    const uint64_t total_spare_row = uint64_t{spare_row.region_count} * spare_row.rows_per_region;
    PHANTOM_IMAGE image = parse_phantom_image(file);
    INPUT_CONTEXT in_file(file);
    const uint32_t img_cram_col = image.img_cram_col, img_cram_row = image.img_cram_row;
    if (col_as_frame) {
        BRIX_CHECK(frame_size == img_cram_col, "frame_size == img_cram_col");
        BRIX_CHECK((bit_size + total_spare_row) == img_cram_row,
                   "(bit_size + total_spare_row) == img_cram_row");
    } else {
        BRIX_CHECK(bit_size == img_cram_col, "bit_size == img_cram_col");
        BRIX_CHECK((frame_size + total_spare_row) == img_cram_row,
                   "(frame_size + total_spare_row) == img_cram_row");
    }

    // Mark the spare rows (-1) and number the others in order.
    std::vector<int64_t> row_map(img_cram_row, 0);
    for (uint32_t k = 0; k < spare_row.region_count; ++k) {
        INPUT_CONTEXT field("spare row region " + std::to_string(k));
        int64_t start = spare_row.count_from_end ? int64_t{img_cram_row} - spare_row.region_rows[k] -
                                                       int64_t{spare_row.rows_per_region}
                                                 : int64_t{spare_row.region_rows[k]};
        start += spare_row.row_offset;
        // The region must lie inside the image.
        BRIX_CHECK(start >= 0 && start + spare_row.rows_per_region <= img_cram_row,
                   "start >= 0 && (start + rows_per_region) <= img_cram_row");
        for (uint32_t r = 0; r < spare_row.rows_per_region; ++r)
            row_map[static_cast<size_t>(start) + r] = -1;
    }
    int64_t next = 0;
    for (int64_t& entry : row_map)
        if (entry == 0)
            entry = next++;

    const uint64_t effective_rows = img_cram_row - total_spare_row;
    BIT_MATRIX effective(effective_rows, img_cram_col);
    uint64_t effective_row_count = effective_rows;
    const size_t row_bytes = effective.bytes_per_row();
    for (uint32_t row = 0; row < img_cram_row; ++row) {
        if (row_map[row] < 0)
            continue;
        if (!(row_map[row] >= 0 && uint64_t(row_map[row]) < effective_rows)) {
            INPUT_CONTEXT here("row " + std::to_string(row));
            BRIX_REPORT("row_map[row] >= 0 && (row_map[row] < (img_cram_row - total_spare_row))");
        }
        effective.row_from_bytes(static_cast<size_t>(row_map[row]),
                                 image.data.data() + image.first_row + size_t{row} * image.row_stride,
                                 row_bytes);
        --effective_row_count;
    }
    BRIX_CHECK(effective_row_count == 0, "effective_row_count == 0");
    image.data = std::vector<unsigned char>(); // the file image is no longer needed
    // Image rows are bits when columns are frames.
    return col_as_frame ? effective.transposed() : effective;
}

void mask_undefined_rba_region(BIT_MATRIX& rmf, const BRIX_RBA_BLOCK_LIST& blocks, uint32_t cram_frame,
                               uint32_t cram_bit) {
    std::cout << "   Mask off undefined RBA region and inversed phantom bit ...\n\n";
    BIT_MATRIX defined(cram_frame, cram_bit);
    for (const auto& block : blocks)
        for (const auto& entry : block->locations)
            for (const BRIX_RBA_LOCATION& placement : entry.second) {
                check_placement(*block, entry.first, placement.bit_index, cram_frame, cram_bit);
                for (uint32_t i = 0; i < block->frame_size; ++i)
                    set_bit_range(defined, size_t{entry.first} + i, placement.bit_index, block->bit_size);
            }
    // Inside the blocks a phantom bit of 0 marks a configuration bit; outside them nothing is.
    defined.and_not_with(rmf);
    rmf = std::move(defined);
}

BIT_MATRIX build_rba_cram_map_rmf(const BRIX_RBA_BLOCK_LIST& blocks, const BRIX_CRAM_MAP_LIST& cram_maps,
                                  uint32_t cram_frame, uint32_t cram_bit) {
    std::cout << "   Generate RBA CRAM Map version of RMF ...\n\n";
    BIT_MATRIX rmf(cram_frame, cram_bit);
    for (const auto& block : blocks) {
        INPUT_CONTEXT here(std::string("RBA block ") +
                           PGM_RBA_TYPE_NAMES[block->type < PGM_RBA_MAX ? block->type : 0]);
        const BRIX_CRAM_MAP* map = BRIX_DATA_SERVER::get_cram_map(cram_maps, block->type);
        BRIX_CHECK(map != nullptr, "map != NULL");
        BRIX_CHECK(map->frame_size == block->frame_size && map->bit_size == block->bit_size,
                   "map->frame_size == block_frame_size && map->bit_size == block_bit_size");
        BIT_MATRIX pattern;
        bool have_pattern = false, frame_mirror = false, bit_mirror = false;
        for (const auto& entry : block->locations)
            for (const BRIX_RBA_LOCATION& placement : entry.second) {
                check_placement(*block, entry.first, placement.bit_index, cram_frame, cram_bit);
                if (!have_pattern || placement.frame_mirror != frame_mirror ||
                    placement.bit_mirror != bit_mirror) {
                    frame_mirror = placement.frame_mirror;
                    bit_mirror = placement.bit_mirror;
                    pattern = cram_map_pattern(*map, frame_mirror, bit_mirror);
                    have_pattern = true;
                }
                for (uint32_t i = 0; i < block->frame_size; ++i)
                    or_row_at(rmf, size_t{entry.first} + i, placement.bit_index, pattern, i);
            }
    }
    return rmf;
}

BIT_MATRIX build_memory_mask(const BRIX_RBA_BLOCK_LIST& blocks, bool col_as_frame, uint32_t cram_frame,
                             uint32_t cram_bit, uint32_t lutram_col_offset, uint32_t lutram_real_col_size,
                             uint32_t mram_col_offset, uint32_t mram_real_col_size) {
    std::cout << "   Generate memory masking ...\n\n";
    const uint32_t col = col_as_frame ? cram_frame : cram_bit;
    const uint32_t other = col_as_frame ? cram_bit : cram_frame;
    BIT_MATRIX columns(col, other);
    for (uint32_t c = 0; c < col; ++c)
        set_bit_range(columns, c, 0, other);
    for (const auto& block : blocks) {
        uint32_t offset = 0, size = 0;
        if (block->type == PGM_RBA_MM_M20K || block->type == PGM_RBA_MM_M10K) {
            offset = mram_col_offset;
            size = mram_real_col_size;
        } else if (block->type == PGM_RBA_LA_MLAB) {
            offset = lutram_col_offset;
            size = lutram_real_col_size;
        }
        if (size == 0)
            continue;
        std::vector<uint32_t> origins;
        for (const auto& entry : block->locations) {
            if (col_as_frame)
                origins.push_back(entry.first);
            else
                for (const BRIX_RBA_LOCATION& placement : entry.second)
                    origins.push_back(placement.bit_index);
        }
        for (uint32_t origin : origins)
            for (uint32_t k = 0; k < size; ++k) {
                const uint64_t j = uint64_t{origin} + offset + k;
                BRIX_CHECK(j < col, "j < col");
                uint64_t* words = columns.row_words(static_cast<size_t>(j));
                std::fill(words, words + columns.words_per_row(), uint64_t{0});
            }
    }
    return col_as_frame ? columns : columns.transposed();
}

bool check_phantom_image_against_rba_rmf(const BIT_MATRIX& rba_rmf, const BIT_MATRIX& image_rmf,
                                         const BIT_MATRIX& mask, uint32_t cram_frame, uint32_t cram_bit) {
    std::cout << "   Check Phantom Image against RBA CRAM Map version of RMF ...\n\n";
    if (cram_frame == 0 || cram_bit == 0)
        return true;
    return rba_rmf.equal_under_mask(image_rmf, mask);
}

void print_phantom_image_differences(const BRIX_RBA_BLOCK_LIST& blocks, const BRIX_CRAM_MAP_LIST& cram_maps,
                                     const BIT_MATRIX& rba_rmf, const BIT_MATRIX& image_rmf,
                                     const BIT_MATRIX& mask) {
    // Each placement's region of the image, under the mask, as text rows.
    auto image_rows = [&](const BRIX_RBA_BLOCK& block, uint32_t j0, uint32_t y0) {
        std::vector<std::string> rows;
        for (uint32_t i = 0; i < block.frame_size; ++i)
            rows.push_back(
                masked_row_text(image_rmf, size_t{j0} + i, y0, mask, size_t{j0} + i, y0, block.bit_size));
        return rows;
    };
    std::cout << "   Difference of Phantom Image against each RBA block ...\n\n";
    for (const auto& block : blocks) {
        const BRIX_CRAM_MAP* map = BRIX_DATA_SERVER::get_cram_map(cram_maps, block->type);
        BRIX_CHECK(map != nullptr, "map != NULL");
        const std::string type_name = PGM_RBA_TYPE_NAMES[block->type];
        for (const auto& entry : block->locations)
            for (const BRIX_RBA_LOCATION& placement : entry.second) {
                BIT_MATRIX pattern = cram_map_pattern(*map, placement.frame_mirror, placement.bit_mirror);
                std::vector<std::string> img = image_rows(*block, entry.first, placement.bit_index);
                std::vector<std::string> pgm;
                for (uint32_t i = 0; i < block->frame_size; ++i)
                    pgm.push_back(masked_row_text(pattern, i, 0, mask, size_t{entry.first} + i,
                                                  placement.bit_index, block->bit_size));
                print_placement_difference(type_name, entry.first, placement.bit_index, img, pgm,
                                           "img.size() == pgm.size()");
            }
    }
    std::cout << "   Difference of Phantom Image against RBA CRAM Map version of RMF...\n\n";
    for (const auto& block : blocks) {
        const std::string type_name = PGM_RBA_TYPE_NAMES[block->type];
        for (const auto& entry : block->locations)
            for (const BRIX_RBA_LOCATION& placement : entry.second) {
                std::vector<std::string> img = image_rows(*block, entry.first, placement.bit_index);
                std::vector<std::string> rba;
                for (uint32_t i = 0; i < block->frame_size; ++i)
                    rba.push_back(masked_row_text(rba_rmf, size_t{entry.first} + i, placement.bit_index, mask,
                                                  size_t{entry.first} + i, placement.bit_index,
                                                  block->bit_size));
                print_placement_difference(type_name, entry.first, placement.bit_index, img, rba,
                                           "img.size() == rba.size()");
            }
    }
}

void build_fid_mappings(BRIX_FID& fid, const BRIX_DEVICE_INFO* device) {
    BRIX_CHECK(device != nullptr, "pcf != NULL");
    const BRIX_ARG_LIST* arg_list = device->get_argument_list();
    BRIX_CHECK(arg_list != nullptr, "arg_list != NULL");
    copy_uint_arg(arg_list, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, fid.img_to_bs_frame_mapping,
                  fid.img_frame_size);
    copy_uint_arg(arg_list, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, fid.bs_to_img_frame_mapping,
                  fid.bs_frame_size);
    copy_uint_arg(arg_list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, fid.img_to_bs_bit_mapping, fid.img_bit_size);
    copy_uint_arg(arg_list, BRIX_ARGUMENT_RBF_TO_SOF_MAP, fid.bs_to_img_bit_mapping, fid.bs_bit_size);

    if (fid.fid_version == 2) {
        // The EDCRC frames are the bitstream frames; the EDCRC bit maps come with the device.
        copy_uint_array(fid.img_to_bs_frame_mapping, fid.img_frame_size, fid.img_to_edcrc_frame_mapping);
        copy_uint_array(fid.bs_to_img_frame_mapping, fid.bs_frame_size, fid.edcrc_to_img_frame_mapping);
        fid.edcrc_frame_size = fid.bs_frame_size;
        uint32_t temp = 0;
        copy_uint_arg(arg_list, BRIX_ARGUMENT_SOF_TO_EDCRC_MAP, fid.img_to_edcrc_bit_mapping, temp);
        BRIX_CHECK(fid.img_bit_size == temp, "fid.img_bit_size == temp");
        copy_uint_arg(arg_list, BRIX_ARGUMENT_EDCRC_TO_SOF_MAP, fid.edcrc_to_img_bit_mapping,
                      fid.edcrc_bit_size);
        BRIX_CHECK(fid.bs_bit_size == fid.edcrc_bit_size, "fid.bs_bit_size == fid.edcrc_bit_size");
        return;
    }
    BRIX_CHECK(fid.fid_version < 2, "Unsupported family");

    // 28nm rules: the EDCRC space is the bitstream space without the MRAM frames and without the first 192
    // bits of every frame.
    bool supported = false;
    BRIX_CHECK(device->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME, &supported),
               "pcf->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME)");
    const uint32_t eram_col_offset = device->get_const_uint(BRIX_PARAMETER_MRAM_COL_OFFSET, &supported);
    const uint32_t eram_col_size = device->get_const_uint(BRIX_PARAMETER_MRAM_REAL_COL_SIZE, &supported);
    if (device->get_parameter(BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER) != nullptr) {
        bool frame_forward_order = !device->get_const_boolean(BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER);
        BRIX_CHECK(frame_forward_order, "frame_forward_order");
    }
    std::vector<unsigned> mram_col, mram_row;
    device->get_simplified_mram(mram_col, mram_row);

    // a. Image frames of MRAM columns have no EDCRC frame.
    BRIX_CHECK(fid.img_to_edcrc_frame_mapping == nullptr, "fid.img_to_edcrc_frame_mapping == NULL");
    fid.img_to_edcrc_frame_mapping = filled_array(fid.img_frame_size, 0);
    // MRAM columns without a column size would remove nothing and divide by zero below.
    BRIX_CHECK(mram_col.empty() || eram_col_size > 0, "mram_col.empty() || eram_col_size > 0");
    for (auto iter = mram_col.begin(); iter != mram_col.end(); ++iter) {
        // The column's frames may end on the last image frame.
        BRIX_CHECK(
            *iter < fid.img_frame_size &&
                uint64_t{*iter} + eram_col_offset + eram_col_size <= fid.img_frame_size,
            "*iter < fid.img_frame_size && (*iter + eram_col_offset + eram_col_size) < fid.img_frame_size");
        for (uint32_t k = 0; k < eram_col_size; ++k)
            fid.img_to_edcrc_frame_mapping[*iter + eram_col_offset + k] = 0xFFFFFFFF;
    }
    // b. The EDCRC frames: every image frame that is not an MRAM frame.
    const uint64_t removed = uint64_t{mram_col.size()} * eram_col_size;
    BRIX_CHECK(removed <= fid.img_frame_size, "(mram_col.size() * eram_col_size) <= fid.img_frame_size");
    fid.edcrc_frame_size = static_cast<uint32_t>(fid.img_frame_size - removed);
    fid.edcrc_to_img_frame_mapping = filled_array(fid.edcrc_frame_size, 0xFFFFFFFF);
    // c. An EDCRC frame is the bitstream frame less the MRAM frames before it.
    uint32_t minus_value = 0;
    for (uint32_t i = 0; i < fid.img_frame_size; ++i) {
        if (fid.img_to_edcrc_frame_mapping[i] == 0xFFFFFFFF) {
            ++minus_value;
            continue;
        }
        INPUT_CONTEXT here("image frame " + std::to_string(i));
        if (eram_col_size > 0)
            BRIX_CHECK((minus_value % eram_col_size) == 0, "(minus_value % eram_col_size) == 0");
        BRIX_CHECK(fid.img_to_bs_frame_mapping[i] >= minus_value,
                   "fid.img_to_bs_frame_mapping[i] >= minus_value");
        BRIX_CHECK(fid.img_to_edcrc_frame_mapping[i] == 0, "fid.img_to_edcrc_frame_mapping[i] == 0");
        const uint32_t e = fid.img_to_bs_frame_mapping[i] - minus_value;
        BRIX_CHECK(e < fid.edcrc_frame_size,
                   "(fid.img_to_bs_frame_mapping[i] - minus_value) < fid.edcrc_frame_size");
        BRIX_CHECK(
            fid.edcrc_to_img_frame_mapping[e] == 0xFFFFFFFF,
            "fid.edcrc_to_img_frame_mapping[fid.img_to_bs_frame_mapping[i] - minus_value] == DWORD(-1)");
        fid.img_to_edcrc_frame_mapping[i] = e;
        fid.edcrc_to_img_frame_mapping[e] = i;
    }
    for (uint32_t i = 0; i < fid.edcrc_frame_size; ++i)
        if (fid.edcrc_to_img_frame_mapping[i] == 0xFFFFFFFF) {
            INPUT_CONTEXT here("EDCRC frame " + std::to_string(i));
            BRIX_REPORT("fid.edcrc_to_img_frame_mapping[i] != DWORD(-1)");
        }

    // d. Image bits: the bitstream bit less the 192 head bits. A frame shorter than the head has no EDCRC
    // bits.
    BRIX_CHECK(fid.bs_bit_size > EDCRC_HEAD_BITS, "fid.bs_bit_size > 192");
    fid.edcrc_bit_size = fid.bs_bit_size - EDCRC_HEAD_BITS;
    BRIX_CHECK(fid.img_to_edcrc_bit_mapping == nullptr, "fid.img_to_edcrc_bit_mapping == NULL");
    fid.img_to_edcrc_bit_mapping.reset(new uint32_t[fid.img_bit_size]);
    for (uint32_t i = 0; i < fid.img_bit_size; ++i) {
        const uint32_t b = fid.img_to_bs_bit_mapping[i];
        INPUT_CONTEXT here("image bit " + std::to_string(i));
        BRIX_CHECK(b != SOF_TO_RBF_INVALID && b != SOF_TO_RBF_SKIP_CONV_PB3,
                   "fid.img_to_bs_bit_mapping[i] != SOF_TO_RBF_INVALID && fid.img_to_bs_bit_mapping[i] != "
                   "SOF_TO_RBF_SKIP_CONV_PB3");
        if (b == SOF_TO_RBF_NO_BS_BIT) {
            fid.img_to_edcrc_bit_mapping[i] = SOF_TO_RBF_NO_BS_BIT;
            continue;
        }
        BRIX_CHECK(b >= EDCRC_HEAD_BITS, "fid.img_to_edcrc_bit_mapping[i] < (fid.edcrc_bit_size - 192)");
        fid.img_to_edcrc_bit_mapping[i] = b - EDCRC_HEAD_BITS;
    }
    // e. The reverse bit map.
    fid.edcrc_to_img_bit_mapping = filled_array(fid.edcrc_bit_size, 0xFFFFFFFF);
    for (uint32_t i = 0; i < fid.img_bit_size; ++i) {
        const uint32_t b = fid.img_to_bs_bit_mapping[i];
        if (b == SOF_TO_RBF_NO_BS_BIT)
            continue;
        INPUT_CONTEXT here("image bit " + std::to_string(i));
        BRIX_CHECK((b - EDCRC_HEAD_BITS) < fid.edcrc_bit_size,
                   "(fid.img_to_bs_bit_mapping[i] - 192) < fid.edcrc_bit_size");
        fid.edcrc_to_img_bit_mapping[b - EDCRC_HEAD_BITS] = i;
    }
    // f. It must agree with the device's bitstream-to-image map.
    for (uint32_t i = 0; i < fid.edcrc_bit_size; ++i)
        if (fid.edcrc_to_img_bit_mapping[i] != fid.bs_to_img_bit_mapping[i + EDCRC_HEAD_BITS]) {
            INPUT_CONTEXT here("EDCRC bit " + std::to_string(i));
            BRIX_REPORT("fid.edcrc_to_img_bit_mapping[i] == fid.bs_to_img_bit_mapping[i + 192]");
        }
}

void generate_edcrc_rmf(BRIX_FID& fid, const BIT_MATRIX& image_rmf) {
    std::cout << "   Generate EDCRC RMF ...\n\n";
    BRIX_CHECK(fid.edcrc_rmf == nullptr && fid.edcrc_bit_byte_size == 0,
               "fid.edcrc_rmf == NULL && fid.edcrc_bit_byte_size == 0");
    BRIX_CHECK(image_rmf.rows() > 0 || image_rmf.bits() > 0, "img_rmf != NULL");
    BRIX_CHECK(fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 &&
                   fid.edcrc_bit_size > 0,
               "fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 && "
               "fid.edcrc_bit_size > 0");
    BRIX_CHECK(image_rmf.rows() == fid.img_frame_size && image_rmf.bits() == fid.img_bit_size,
               "img_rmf.rows() == fid.img_frame_size && img_rmf.bits() == fid.img_bit_size");
    fid.edcrc_bit_byte_size = (fid.edcrc_bit_size + 7) / 8;

    // For each EDCRC bit, the image bit it reads (word and position), or none.
    std::vector<uint32_t> source(fid.edcrc_bit_size, 0xFFFFFFFF);
    for (uint32_t k = 0; k < fid.edcrc_bit_size; ++k)
        if (fid.edcrc_to_img_bit_mapping[k] < fid.img_bit_size)
            source[k] = fid.edcrc_to_img_bit_mapping[k];

    // Each EDCRC row is gathered into one row of words and stored as bytes at once, so the RMF exists once.
    BIT_MATRIX row(1, fid.edcrc_bit_size);
    uint64_t* out = row.row_words(0);
    fid.edcrc_rmf.reset(new std::unique_ptr<unsigned char[]>[fid.edcrc_frame_size]);
    for (uint32_t e = 0; e < fid.edcrc_frame_size; ++e) {
        const uint32_t img_frame = fid.edcrc_to_img_frame_mapping[e];
        if (img_frame >= fid.img_frame_size) {
            INPUT_CONTEXT here("EDCRC frame " + std::to_string(e));
            BRIX_REPORT("img_frame < fid.img_frame_size");
        }
        const uint64_t* in = image_rmf.row_words(img_frame);
        // Gather a word of EDCRC bits at a time.
        for (uint32_t k0 = 0; k0 < fid.edcrc_bit_size; k0 += 64) {
            const uint32_t n = std::min<uint32_t>(64, fid.edcrc_bit_size - k0);
            uint64_t word = 0;
            for (uint32_t k = 0; k < n; ++k) {
                const uint32_t ib = source[k0 + k];
                if (ib != 0xFFFFFFFF)
                    word |= ((in[ib / 64] >> (ib % 64)) & 1) << k;
            }
            out[k0 / 64] = word;
        }
        fid.edcrc_rmf[e].reset(new unsigned char[fid.edcrc_bit_byte_size]);
        row.row_to_bytes(0, fid.edcrc_rmf[e].get(), fid.edcrc_bit_byte_size);
    }
}

void finalize_fid(BRIX_FID& fid, const unsigned char* g2_info, size_t g2_info_size,
                  const BRIX_RBA_BLOCK* lutram_block, uint32_t lutram_frame_offset,
                  uint32_t lutram_frame_size, uint32_t edcrc_detectable_frame_count) {
    std::cout << "   Finalize FID ...\n\n";
    BRIX_CHECK(fid.edcrc_frame_types == nullptr, "fid.edcrc_frame_types == NULL");
    BRIX_CHECK(g2_info != nullptr, "g2_info != NULL");
    BRIX_CHECK(fid.edcrc_rmf != nullptr && fid.edcrc_bit_byte_size > 0,
               "fid.edcrc_rmf != NULL && fid.edcrc_bit_byte_size > 0");
    BRIX_CHECK(fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 &&
                   fid.edcrc_bit_size > 0,
               "fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 && "
               "fid.edcrc_bit_size > 0");
    BRIX_CHECK(fid.img_to_edcrc_frame_mapping != nullptr, "fid.img_to_edcrc_frame_mapping != NULL");
    BRIX_CHECK(fid.edcrc_to_img_frame_mapping != nullptr, "fid.edcrc_to_img_frame_mapping != NULL");
    // The G2 info must cover every image frame.
    const uint64_t g2_needed =
        fid.fid_version >= 2 ? uint64_t{fid.img_frame_size} : (uint64_t{fid.img_frame_size} + 7) / 8;
    BRIX_CHECK(g2_info_size >= g2_needed, "g2_info_size >= g2_needed");
    fid.edcrc_frame_types = filled_array(fid.edcrc_frame_size, 0);

    // 1. The frames of the LUTRAM (MLAB) columns.
    if (lutram_block != nullptr)
        for (const auto& entry : lutram_block->locations)
            for (uint32_t k = 0; k < lutram_frame_size; ++k) {
                const uint64_t frame = uint64_t{entry.first} + lutram_frame_offset + k;
                INPUT_CONTEXT here("LA_MLAB at frame " + std::to_string(entry.first));
                BRIX_CHECK(frame < fid.img_frame_size, "frame < fid.img_frame_size");
                const uint32_t e = fid.img_to_edcrc_frame_mapping[frame];
                BRIX_CHECK(e < fid.edcrc_frame_size,
                           "fid.img_to_edcrc_frame_mapping[frame] < fid.edcrc_frame_size");
                fid.edcrc_frame_types[e] |= 1;
            }
    // 2. Frames without an RMF bit, and the G2 info of their image frame.
    for (uint32_t e = 0; e < fid.edcrc_frame_size; ++e) {
        const uint32_t img_frame = fid.edcrc_to_img_frame_mapping[e];
        if (img_frame >= fid.img_frame_size) {
            INPUT_CONTEXT here("EDCRC frame " + std::to_string(e));
            BRIX_REPORT("img_frame < fid.img_frame_size");
        }
        const unsigned char* row = fid.edcrc_rmf[e].get();
        if (std::all_of(row, row + fid.edcrc_bit_byte_size, [](unsigned char b) { return b == 0; }))
            fid.edcrc_frame_types[e] |= 2;
        if (fid.fid_version >= 2)
            fid.edcrc_frame_types[e] |= uint32_t{g2_info[img_frame]} * 16;
        else if ((g2_info[img_frame / 8] >> (img_frame % 8)) & 1)
            fid.edcrc_frame_types[e] |= 16;
    }
    // 3. Frames beyond what the EDCRC can detect.
    if (edcrc_detectable_frame_count != 0 && edcrc_detectable_frame_count != fid.edcrc_frame_size) {
        BRIX_CHECK(edcrc_detectable_frame_count < fid.edcrc_frame_size,
                   "edcrc_detectable_frame_count < fid.edcrc_frame_size");
        for (uint32_t e = edcrc_detectable_frame_count; e < fid.edcrc_frame_size; ++e)
            fid.edcrc_frame_types[e] |= 4;
    }
}

int build_device_fid(const std::string& target) {
    BRIX_CHECK(!PGM_COMMON::check_extension(target, "ddb"), "!PGM_COMMON::check_extension(target, \"ddb\")");
    const std::string pcf = BRIX_DATA_SERVER::get_pcf(target, false);
    const std::string family = PGMDEV_DEVICE_GRAMMAR_MGR::get_family(target);
    const std::string family_pcf = BRIX_DATA_SERVER::get_family_pcf(target, false);
    const std::string src_phantom_img = pgm_db_directory() + stl_lower(pcf + "_phantom.img") + ".gz";
    const std::string dest_phantom_img = stl_lower(pcf + "_phantom.img");
    std::string checked_pcf;
    const std::string pgm_rba = BRIX_DATA_SERVER::get_device_rba_file(target, checked_pcf);
    const std::string cram_map_file = BRIX_DATA_SERVER::get_family_cram_map_file(family_pcf);
    const bool has_cram_map = FIO_FILE_SYSTEM::exists(cram_map_file);
    BRIX_CHECK(pcf == checked_pcf, "pcf == checked_pcf");
    const uint32_t fid_index = find_pgm_family_info(family);
    BRIX_CHECK(fid_index != uint32_t(-1), "fid_index != DWORD(-1)");
    const PGM_FAMILY_INFO& family_row = PGM_FAMILY_INFO_DATABASE[fid_index];

    // The unpacked image goes away however the build ends.
    REMOVE_ON_EXIT unpacked(dest_phantom_img);
    try {
        FIO_FILE_SYSTEM::gunzip_file(src_phantom_img, dest_phantom_img);
    } catch (const BRIX_INTERNAL_ERROR& error) {
        // Reported as the failed unpacking step, naming the image and the reason.
        brix_report_command_failure(src_phantom_img, error);
    }

    std::cout << "\n   Building RMF file ... \n\n"
              << "      PCF: " << pcf << "\n"
              << "      Family: " << family << "\n"
              << "      PCF Family: " << family_pcf << "\n"
              << "      Phantom Img: " << dest_phantom_img << "\n"
              << "      PGM RBA: " << pgm_rba << "\n"
              << "      Family CRAM MAP: " << cram_map_file << " ("
              << (has_cram_map ? "support)\n\n" : "not_support)\n\n");
    BRIX_CHECK(!pcf.empty() && !family.empty(), "!pcf.empty() && !family.empty()");
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(dest_phantom_img),
               "FIO_FILE_SYSTEM::exists(dest_phantom_img.c_str())");
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(pgm_rba), "FIO_FILE_SYSTEM::exists(pgm_rba.c_str())");

    std::cout << "   Reading PCF file ... \n\n";
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::vantrel_get_brix_info(pcf, false, true, true));
    BRIX_CHECK(info != nullptr && info->get_device_info() != nullptr, "pcf != NULL");
    const BRIX_DEVICE_INFO* device = info->get_device_info();
    bool found = false;
    const uint32_t cram_frame = device->get_const_uint(BRIX_PARAMETER_CRAM_FRAME_COUNT, &found);
    const uint32_t cram_bit = device->get_const_uint(BRIX_PARAMETER_CRAM_BIT_COUNT, &found);
    const uint32_t edcrc_detectable_frame_count =
        device->get_const_uint(BRIX_PARAMETER_EDCRC_DETECTABLE_FRAME_COUNT, &found);
    if (found)
        BRIX_CHECK(edcrc_detectable_frame_count != 0, "edcrc_detectable_frame_count != 0");
    else
        BRIX_CHECK(edcrc_detectable_frame_count == 0, "edcrc_detectable_frame_count == 0");
    BRIX_CHECK(cram_frame != 0 && cram_bit != 0, "cram_frame != 0 && cram_bit != 0");

    const bool col_as_frame = device->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME, &found);
    const BRIX_ARG* arg =
        BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_DRA_G2_INFO, device->get_argument_list());
    BRIX_CHECK(arg != nullptr, "arg != NULL");
    unsigned arg_width = 0;
    std::vector<uint8_t*> byte_arg_list = BRIX_MANAGER::get_byte_arg_list(arg, arg_width);
    BRIX_CHECK(byte_arg_list.size() == 1, "byte_arg_list.size() == 1");
    const unsigned char* g2_info = byte_arg_list[0];
    if (family_row.fid_version < 2) {
        BRIX_CHECK((uint64_t{cram_frame} + 7) / 8 == arg_width, "(cram_frame + 7)/8 == arg_width");
    } else {
        BRIX_CHECK(family_row.fid_version == 2, "Invalid FID version");
        BRIX_CHECK(cram_frame == arg_width, "cram_frame == arg_width");
    }

    BRIX_FID fid;
    fid.fid_version = family_row.fid_version;
    fid.family_constant_1 = family_row.family_constant_1;
    fid.family_constant_2 = family_row.family_constant_2;
    fid.lutram_frame_offset = family_row.lutram_frame_offset;
    fid.family_constant_3 = family_row.family_constant_3;
    fid.lutram_frame_size = family_row.lutram_frame_size;
    fid.family_constant_4 = family_row.family_constant_4;
    build_fid_mappings(fid, device);
    BRIX_CHECK(fid.img_frame_size == cram_frame && fid.img_bit_size == cram_bit,
               "fid.img_frame_size == cram_frame && fid.img_bit_size == cram_bit");

    if (col_as_frame)
        std::cout << "      Frame/Column: " << cram_frame << "\n"
                  << "      Bit/Row: " << cram_bit << "\n\n";
    else
        std::cout << "      Frame/Row: " << cram_frame << "\n"
                  << "      Bit/Column: " << cram_bit << "\n\n";

    const PGM_SPARE_ROW& spare_row = find_pgm_spare_row(pcf);
    BRIX_RBA_BLOCK_LIST blocks = BRIX_DATA_SERVER::get_device_rba(pcf);
    BRIX_CRAM_MAP_LIST cram_maps;
    if (has_cram_map) {
        unsigned char flags = 0;
        cram_maps = BRIX_DATA_SERVER::get_family_cram_map(family_pcf, flags);
    }

    BIT_MATRIX image_rmf =
        build_phantom_image_rmf(dest_phantom_img, col_as_frame, cram_frame, cram_bit, spare_row);
    mask_undefined_rba_region(image_rmf, blocks, cram_frame, cram_bit);

    bool image_matches = true;
    if (has_cram_map) {
        BIT_MATRIX rba_rmf = build_rba_cram_map_rmf(blocks, cram_maps, cram_frame, cram_bit);
        BIT_MATRIX mask =
            build_memory_mask(blocks, col_as_frame, cram_frame, cram_bit,
                              device->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET, &found),
                              device->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE, &found),
                              device->get_const_uint(BRIX_PARAMETER_MRAM_COL_OFFSET, &found),
                              device->get_const_uint(BRIX_PARAMETER_MRAM_REAL_COL_SIZE, &found));
        image_matches = check_phantom_image_against_rba_rmf(rba_rmf, image_rmf, mask, cram_frame, cram_bit);
        if (!image_matches)
            print_phantom_image_differences(blocks, cram_maps, rba_rmf, image_rmf, mask);
    }

    generate_edcrc_rmf(fid, image_rmf);
    image_rmf = BIT_MATRIX();

    if (family_row.fid_version < 2) {
        const BRIX_RBA_BLOCK* lutram = nullptr;
        for (const auto& block : blocks)
            if (block->type == PGM_RBA_LA_MLAB) {
                lutram = block.get();
                break;
            }
        BRIX_CHECK(lutram != nullptr, "lutram != NULL");
        BRIX_CHECK(family_row.lutram_frame_offset ==
                           device->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET, &found) &&
                       family_row.lutram_frame_size ==
                           device->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE, &found),
                   "PGM_FAMILY_INFO_DATABASE[fid_index].lutram_frame_offset == "
                   "device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET) && "
                   "PGM_FAMILY_INFO_DATABASE[fid_index].lutram_frame_size == "
                   "device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE)");
        finalize_fid(fid, g2_info, arg_width, lutram, family_row.lutram_frame_offset,
                     family_row.lutram_frame_size, edcrc_detectable_frame_count);
    } else {
        finalize_fid(fid, g2_info, arg_width, nullptr, 0, 0, edcrc_detectable_frame_count);
    }

    std::vector<unsigned char> data;
    pgm_ddb_write(data, fid);
    { BRIX_FID serialised = std::move(fid); } // the payload holds it now: one copy while it is compressed
    BRIX_CHECK(data.size() <= 0xFFFFFFFFu, "data.size() <= 0xFFFFFFFF"); // the header stores a 32-bit size
    BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1, "fid", pcf,
                                              pcf, programmer_fid_directory());
    data = std::vector<unsigned char>();
    BRIX_DATA_SERVER::delete_device_rba(blocks);
    BRIX_DATA_SERVER::delete_family_cram_map(cram_maps);
    BRIX_CHECK(unpacked.remove(), "thr_system(cmd.c_str()) == 0");
    // The FID is written either way; a mismatching image must not look like a clean run.
    return image_matches ? 0 : BRIX_EXIT_PHANTOM_MISMATCH;
}
