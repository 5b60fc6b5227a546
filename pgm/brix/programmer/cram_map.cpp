// The CRAM map database of a family: its text CRAM maps, checked against the blocks of its devices.
#define BRIX_SOURCE_NAME "brix_non_ddb_builder"

#include "programmer/cram_map.h"

#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "cli/brix_operations.h"
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

} // namespace

std::string get_cram_map_text_file(const std::string& family_pcf, uint32_t block_type) {
    BRIX_CHECK(block_type != PGM_RBA_INVALID && block_type < PGM_RBA_MAX,
               "block_type != PGM_RBA_INVALID && block_type < PGM_RBA_MAX");
    return BRIX_BUILD_CONTEXT::pgm_db_directory() +
           stl_lower(family_pcf + "_" + PGM_RBA_TYPE_NAMES[block_type] + "_cram.map");
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

PGM_BYTE_ROWS build_cram_map_for_type(const BRIX_PROGRESS& progress, uint32_t family_index, uint32_t type,
                                      uint32_t frame_size, uint32_t bit_size, bool col_as_frame) {
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
    // One level deeper than a sub-step: the block types under a device of the family.
    std::string names = PGM_RBA_TYPE_NAMES[type_list[0]];
    if (type_list[1] != 0)
        names += std::string(" (") + PGM_RBA_TYPE_NAMES[type_list[1]] + ")";
    progress.text("            " + names + "\n");

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

void merge_device_cram_maps(const BRIX_PROGRESS& progress, const std::string& device, uint32_t family_index,
                            bool not_first, unsigned char& flags, BRIX_CRAM_MAP_LIST& cram_map_list,
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
            PGM_BYTE_ROWS info = build_cram_map_for_type(progress, family_index, type, block->frame_size,
                                                         block->bit_size, col_as_frame);
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
        progress.text("\n");
}

void build_family_cram_map(const BRIX_BUILD_CONTEXT& context, const std::string& target) {
    const BRIX_PROGRESS& progress = context.progress();
    unsigned family_type = 0;
    BRIX_CHECK(BRIX_DATA_SERVER::check_is_family_pcf_supported(target, family_type),
               "BRIX_DATA_SERVER::check_is_family_pcf_supported(target, family_type)");
    progress.text("\n");
    progress.step("Building CRAM Map file ... \n\n");
    progress.step("Checking PCF ... \n\n");
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
        progress.detail(name);
        std::string pcf;
        if (FIO_FILE_SYSTEM::exists(BRIX_DATA_SERVER::get_device_rba_file(name, pcf))) {
            progress.text("\n\n");
            merge_device_cram_maps(progress, name, cram_map_index, hit, flags, cram_map_list,
                                   frame_count_list, bit_count_list);
            hit = true;
        } else {
            progress.text(" -> not exist\n");
        }
    }
    if (!hit) {
        progress.step("None of the PGM RBA is ready\n");
        BRIX_CHECK(cram_map_list.size() == 0, "cram_map_list.size() == 0");
    } else {
        BRIX_CHECK(!hit || cram_map_list.size() > 0, "!hit || cram_map_list.size() > 0");
        std::vector<unsigned char> data(1, flags);
        pgm_ddb_write(data, cram_map_list);
        context.write_container("cram_map", family, data);
        BRIX_DATA_SERVER::delete_family_cram_map(cram_map_list);
    }
    progress.text("\n");
}
