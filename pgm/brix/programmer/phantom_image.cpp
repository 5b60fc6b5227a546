// Phantom images: the reader, the image RMF, and its comparison with the CRAM rebuilt from the RBA
// placements and the family's CRAM maps.
#define BRIX_SOURCE_NAME "brix_non_ddb_builder"

#include "programmer/phantom_image.h"

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
#include <iostream>

namespace {

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
void print_placement_difference(const BRIX_PROGRESS& progress, const std::string& type_name,
                                uint32_t frame_index, uint32_t bit_index, const std::vector<std::string>& img,
                                const std::vector<std::string>& rba, const char* size_text) {
    BRIX_CHECK(img.size() == rba.size(), size_text);
    bool differ = false;
    for (auto is = img.begin(), rs = rba.begin(); is != img.end(); ++is, ++rs) {
        BRIX_CHECK((*is).size() == (*rs).size(), "(*is).size() == (*rs).size()");
        differ |= *is != *rs;
    }
    if (!differ)
        return;
    progress.step("Failing at " + type_name + " : " + std::to_string(frame_index) + " " +
                  std::to_string(bit_index) + " (IMG vs RBA)\n");
    for (size_t i = 0; i < img.size(); ++i)
        progress.detail(img[i] + " vs " + rba[i] + "\n");
}

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

} // namespace

PHANTOM_IMAGE parse_phantom_image(const BRIX_PROGRESS& progress, const std::string& file) {
    INPUT_CONTEXT in_file(file);
    FIO_STATUS stat_info;
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(file) && FIO_FILE_SYSTEM::status(file, stat_info),
               "FIO_FILE_SYSTEM::exists(file.c_str()) && FIO_FILE_SYSTEM::status(file.c_str(), &stat_info)");
    progress.step("Parsing Phantom Image: " + file + " ... \n\n");
    PHANTOM_IMAGE image;
    BRIX_CHECK(FIO_FILE_SYSTEM::read_file(file, image.data), "input.good()");
    const std::vector<unsigned char>& data = image.data;

    // The field where the parse stopped: a field cut short by the end of the file, a file version other than
    // 4, or block 0's rows not ending before the end of the file. It is reported after the closing "\n".
    const char* stopped_at = nullptr;
    size_t at = 0;
    uint32_t row0 = 0, col0 = 0, width0 = 0;
    uint64_t row_stride = 0;
    [&] {
        std::string signature, tag, device_version;
        uint32_t file_version = 0, block_count = 0;
        if (!read_image_text(data, 0, SIGNATURE_SIZE, signature)) {
            stopped_at = "signature";
            return;
        }
        at = SIGNATURE_SIZE;
        if (!read_image_u32(data, at, file_version) || file_version != PHANTOM_FILE_VERSION) {
            stopped_at = "file version";
            return;
        }
        at += 4;
        if (!read_image_text(data, at, TAG_SIZE, tag)) {
            stopped_at = "tag";
            return;
        }
        at += TAG_SIZE;
        if (!read_image_text(data, at, DEVICE_VERSION_SIZE, device_version)) {
            stopped_at = "device version";
            return;
        }
        at += DEVICE_VERSION_SIZE;
        if (!read_image_u32(data, at, block_count)) {
            stopped_at = "block count";
            return;
        }
        at += 4;
        progress.detail("Signature: " + signature + "\n");
        progress.detail("File version: " + std::to_string(file_version) + "\n");
        progress.detail("Tag: " + tag + "\n");
        progress.detail("Device version: " + device_version + "\n");
        progress.detail("Block count: " + std::to_string(block_count) + "\n");

        uint32_t block_index = 0;
        for (; block_index < block_count; ++block_index, at += 12) {
            uint32_t row = 0, col = 0, width = 0;
            if (!read_image_u32(data, at, row) || !read_image_u32(data, at + 4, col) ||
                !read_image_u32(data, at + 8, width))
                break;
            progress.sub("Block #" + std::to_string(block_index) + ": " + "Row => " +
                         PGM_COMMON::convert_dword_to_string(row, 0xFFFFFFFF, true) + " " + "Col => " +
                         PGM_COMMON::convert_dword_to_string(col, 0xFFFFFFFF, true) + " " + "Width => " +
                         std::to_string(width) + "\n");
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
        row_stride = uint64_t{width0} * 4;
        {
            INPUT_CONTEXT field("block 0 width");
            BRIX_CHECK(row_stride >= row_bytes, "block_width[0] * 4 >= (block_col[0] + 7) / 8");
        }
        at += 1; // one byte between the block list and the rows
        // Block 0's rows must end before the end of the file.
        if (at > data.size() || uint64_t{row0} * row_stride >= data.size() - at)
            stopped_at = "block 0 rows";
    }();
    progress.text("\n");
    if (stopped_at != nullptr)
        phantom_parse_error(stopped_at);
    image.first_row = at;
    image.row_stride = static_cast<size_t>(row_stride);
    image.img_cram_col = col0;
    image.img_cram_row = row0;
    return image;
}

BIT_MATRIX build_phantom_image_rmf(const BRIX_PROGRESS& progress, const std::string& file, bool col_as_frame,
                                   uint32_t frame_size, uint32_t bit_size, const PGM_SPARE_ROW& spare_row) {
    BRIX_CHECK(spare_row.region_count <= 4, "spare_row.region_count <= 4");
    const uint64_t total_spare_row = uint64_t{spare_row.region_count} * spare_row.rows_per_region;
    PHANTOM_IMAGE image = parse_phantom_image(progress, file);
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

void mask_undefined_rba_region(const BRIX_PROGRESS& progress, BIT_MATRIX& rmf,
                               const BRIX_RBA_BLOCK_LIST& blocks, uint32_t cram_frame, uint32_t cram_bit) {
    progress.step("Mask off undefined RBA region and inversed phantom bit ...\n\n");
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

BIT_MATRIX build_rba_cram_map_rmf(const BRIX_PROGRESS& progress, const BRIX_RBA_BLOCK_LIST& blocks,
                                  const BRIX_CRAM_MAP_LIST& cram_maps, uint32_t cram_frame,
                                  uint32_t cram_bit) {
    progress.step("Generate RBA CRAM Map version of RMF ...\n\n");
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

BIT_MATRIX build_memory_mask(const BRIX_PROGRESS& progress, const BRIX_RBA_BLOCK_LIST& blocks,
                             bool col_as_frame, uint32_t cram_frame, uint32_t cram_bit,
                             uint32_t lutram_col_offset, uint32_t lutram_real_col_size,
                             uint32_t mram_col_offset, uint32_t mram_real_col_size) {
    progress.step("Generate memory masking ...\n\n");
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

bool check_phantom_image_against_rba_rmf(const BRIX_PROGRESS& progress, const BIT_MATRIX& rba_rmf,
                                         const BIT_MATRIX& image_rmf, const BIT_MATRIX& mask,
                                         uint32_t cram_frame, uint32_t cram_bit) {
    progress.step("Check Phantom Image against RBA CRAM Map version of RMF ...\n\n");
    if (cram_frame == 0 || cram_bit == 0)
        return true;
    return rba_rmf.equal_under_mask(image_rmf, mask);
}

void print_phantom_image_differences(const BRIX_PROGRESS& progress, const BRIX_RBA_BLOCK_LIST& blocks,
                                     const BRIX_CRAM_MAP_LIST& cram_maps, const BIT_MATRIX& rba_rmf,
                                     const BIT_MATRIX& image_rmf, const BIT_MATRIX& mask) {
    // Each placement's region of the image, under the mask, as text rows.
    auto image_rows = [&](const BRIX_RBA_BLOCK& block, uint32_t j0, uint32_t y0) {
        std::vector<std::string> rows;
        for (uint32_t i = 0; i < block.frame_size; ++i)
            rows.push_back(
                masked_row_text(image_rmf, size_t{j0} + i, y0, mask, size_t{j0} + i, y0, block.bit_size));
        return rows;
    };
    progress.step("Difference of Phantom Image against each RBA block ...\n\n");
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
                print_placement_difference(progress, type_name, entry.first, placement.bit_index, img, pgm,
                                           "img.size() == pgm.size()");
            }
    }
    progress.step("Difference of Phantom Image against RBA CRAM Map version of RMF...\n\n");
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
                print_placement_difference(progress, type_name, entry.first, placement.bit_index, img, rba,
                                           "img.size() == rba.size()");
            }
    }
}
