// The FID builder: phantom images, RMFs and masks, the mappings of each fid_version, the frame types and the
// fid operation on small devices built from records.
#include "batch/brix_batch.h"
#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "cli/brix_operations.h"
#include "fio.h"
#include "gen.h"
#include "pgm_installation.h"
#include "programmer/fid.h"
#include "programmer/phantom_image.h"
#include "test_support.h"
#include "thr.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

using BYTES = std::vector<unsigned char>;
using BITS = std::vector<std::vector<bool>>; // [frame][bit]

void put_u32(BYTES& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void put_text(BYTES& out, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; ++i)
        out.push_back(i < text.size() ? static_cast<unsigned char>(text[i]) : 0);
}

// A phantom image: header, the block list, a skipped byte, block 0's rows and one byte after them.
struct IMAGE_LAYOUT {
    uint32_t version = 4;
    uint32_t block_count = 1;
    uint32_t width = 0;       // row stride in words; 0: just enough for the columns
    bool data_to_end = false; // no byte after the rows
};

BYTES phantom_image(uint32_t cols, uint32_t rows, const std::function<bool(uint32_t, uint32_t)>& bit,
                    const IMAGE_LAYOUT& layout = {}) {
    const uint32_t width = layout.width ? layout.width : (cols + 31) / 32;
    BYTES out;
    put_text(out, "TEST PHANTOM", 40);
    put_u32(out, layout.version);
    put_text(out, "TAG", 30);
    put_text(out, "ES2", 5);
    put_u32(out, layout.block_count);
    for (uint32_t b = 0; b < layout.block_count; ++b) {
        put_u32(out, rows);
        put_u32(out, cols);
        put_u32(out, width);
    }
    out.push_back(0xEE); // skipped
    for (uint32_t r = 0; r < rows; ++r) {
        BYTES row(size_t{width} * 4, 0);
        for (uint32_t c = 0; c < cols && c / 8 < row.size(); ++c) // a too narrow stride drops columns
            if (bit(r, c))
                row[c / 8] = static_cast<unsigned char>(row[c / 8] | (1u << (c % 8)));
        out.insert(out.end(), row.begin(), row.end());
    }
    if (!layout.data_to_end)
        out.push_back(0);
    return out;
}

void write_bytes(const std::string& path, const BYTES& bytes) {
    write_text_file(path, std::string(bytes.begin(), bytes.end()));
}

void write_gzip(const std::string& path, const BYTES& bytes) {
    gzFile f = gzopen(path.c_str(), "wb1");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(static_cast<int>(bytes.size()), gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())));
    ASSERT_EQ(Z_OK, gzclose(f));
}

BITS matrix_bits(const BIT_MATRIX& m) {
    BITS out(m.rows(), std::vector<bool>(m.bits()));
    for (size_t r = 0; r < m.rows(); ++r)
        for (size_t b = 0; b < m.bits(); ++b)
            out[r][b] = m.get(r, b);
    return out;
}

// Runs a statement with standard output captured and returns the output.
template <typename F> std::string captured(F&& f) {
    testing::internal::CaptureStdout();
    try {
        f();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

// Works in a directory of its own while it lives: the FID build unpacks the phantom image into the working
// directory.
class WORKING_DIRECTORY {
  public:
    explicit WORKING_DIRECTORY(const std::string& path) {
        char buffer[4096];
        m_old = ::getcwd(buffer, sizeof buffer) ? buffer : ".";
        EXPECT_EQ(0, ::chdir(path.c_str()));
    }
    ~WORKING_DIRECTORY() { EXPECT_EQ(0, ::chdir(m_old.c_str())); }

  private:
    std::string m_old;
};

} // namespace

// ---- Phantom images
// ------------------------------------------------------------------------------------------

TEST(FidPhantomImage, HeaderAndRowsAreRead) {
    TEMP_DIR dir;
    std::string file = dir.file("d_phantom.img");
    IMAGE_LAYOUT layout;
    layout.block_count = 2;
    layout.width = 2; // 8 bytes per row for 10 columns
    write_bytes(file, phantom_image(
                          10, 3, [](uint32_t r, uint32_t c) { return c == r || c == 9; }, layout));
    PHANTOM_IMAGE image;
    std::string out = captured([&] { image = parse_phantom_image(BRIX_PROGRESS(), file); });
    EXPECT_EQ("   Parsing Phantom Image: " + file +
                  " ... \n\n      Signature: TEST PHANTOM\n      File version: 4\n      Tag: TAG\n"
                  "      Device version: ES2\n      Block count: 2\n"
                  "         Block #0: Row => 3 Col => 10 Width => 2\n"
                  "         Block #1: Row => 3 Col => 10 Width => 2\n\n",
              out);
    EXPECT_EQ(10u, image.img_cram_col);
    EXPECT_EQ(3u, image.img_cram_row);
    EXPECT_EQ(8u, image.row_stride);
    EXPECT_EQ(84u + 24, image.first_row);
    EXPECT_EQ(0x02, image.data[image.first_row + 8]);     // row 1: column 1
    EXPECT_EQ(0x02, image.data[image.first_row + 8 + 1]); // and column 9
}

// Images that are refused, each naming the field. A parse error (a field cut short, a version other than 4,
// block 0's rows reaching the end of the file) is reported after the closing "\n"; the other checks stop the
// progress text where they fail.
TEST(FidPhantomImage, ImagesThatAreRefused) {
    auto bit = [](uint32_t, uint32_t) { return true; };
    const std::string parse = "ptag_index == 0 && file_version == 4";
    struct CASE {
        const char* what;
        BYTES bytes;
        std::string condition;
        std::string field;
        std::string output_end; // how the progress text ends
    };
    IMAGE_LAYOUT v3, to_end, no_blocks, narrow;
    v3.version = 3;
    to_end.data_to_end = true;
    no_blocks.block_count = 0;
    narrow.width = 1; // 4 bytes for 40 columns
    BYTES zero_row = phantom_image(8, 1, bit);
    zero_row[83] = 0; // block 0 row count
    BYTES short_list = phantom_image(8, 1, bit);
    short_list[79] = 200; // 200 blocks announced
    const std::vector<CASE> cases = {
        {"version 3", phantom_image(8, 2, bit, v3), parse, "file version", " ... \n\n\n"},
        {"rows end at the end of the file", phantom_image(8, 2, bit, to_end), parse, "block 0 rows",
         "Block count: 1\n         Block #0: Row => 2 Col => 8 Width => 1\n\n"},
        {"header cut short", BYTES(zero_row.begin(), zero_row.begin() + 60), parse, "tag", " ... \n\n\n"},
        {"no block", phantom_image(8, 2, bit, no_blocks), "block_count > 0", "block count",
         "Block count: 0\n"},
        {"rows narrower than their columns", phantom_image(40, 2, bit, narrow),
         "block_width[0] * 4 >= (block_col[0] + 7) / 8", "block 0 width", "Col => 40 Width => 1\n"},
        {"block without rows", zero_row,
         "block_row[block_index] > 0 && block_col[block_index] > 0 && block_width[block_index] > 0",
         "block 0", "Row => 0 Col => 8 Width => 1\n"},
        {"fewer blocks than announced", short_list, "block_index == block_count", "block list",
         "Block #0: Row => 1 Col => 8 Width => 1\n"},
    };
    TEMP_DIR dir;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string file = dir.file("case_phantom.img");
        write_bytes(file, c.bytes);
        testing::internal::CaptureStdout();
        BRIX_INTERNAL_ERROR e = catch_brix_error([&] { parse_phantom_image(BRIX_PROGRESS(), file); });
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.condition, e.condition());
        EXPECT_EQ((std::vector<std::string>{file, c.field}), e.context());
        ASSERT_GE(out.size(), c.output_end.size()) << out;
        EXPECT_EQ(c.output_end, out.substr(out.size() - c.output_end.size())) << out;
    }
    EXPECT_BRIX_ERROR(
        parse_phantom_image(BRIX_PROGRESS(), dir.file("missing.img")),
        "FIO_FILE_SYSTEM::exists(file.c_str()) && FIO_FILE_SYSTEM::status(file.c_str(), &stat_info)");
}

// Spare rows leave the image before it becomes the RMF; columns are frames or rows are.
TEST(FidPhantomImage, RmfWithoutSpareRows) {
    TEMP_DIR dir;
    std::string file = dir.file("d_phantom.img");
    // 4 columns x 10 rows; row r has bit c set when c == r % 4.
    write_bytes(file, phantom_image(4, 10, [](uint32_t r, uint32_t c) { return c == r % 4; }));
    struct CASE {
        const char* what;
        PGM_SPARE_ROW spare;
        std::vector<uint32_t> kept; // image rows in RMF order
    };
    const std::vector<CASE> cases = {
        {"no spare rows", {"", false, 0, 0, 0, {0, 0, 0, 0}}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        // Regions of 2 rows at rows 1 and 6, moved by 1: rows 2, 3, 7, 8 go.
        {"from the start", {"", false, 1, 2, 2, {1, 6, 0, 0}}, {0, 1, 4, 5, 6, 9}},
        // From the end: 10 - 1 - 2 + 1 = 8 and 10 - 5 - 2 + 1 = 4: rows 4, 5, 8, 9 go.
        {"from the end", {"", true, 1, 2, 2, {1, 5, 0, 0}}, {0, 1, 2, 3, 6, 7}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t kept = static_cast<uint32_t>(c.kept.size());
        BIT_MATRIX by_row, by_column;
        captured([&] {
            by_row = build_phantom_image_rmf(BRIX_PROGRESS(), file, false, kept, 4, c.spare);
            by_column = build_phantom_image_rmf(BRIX_PROGRESS(), file, true, 4, kept, c.spare);
        });
        ASSERT_EQ(kept, by_row.rows());
        ASSERT_EQ(4u, by_column.rows());
        for (uint32_t i = 0; i < kept; ++i)
            for (uint32_t b = 0; b < 4; ++b) {
                EXPECT_EQ(b == c.kept[i] % 4, by_row.get(i, b)) << i << " " << b;
                EXPECT_EQ(b == c.kept[i] % 4, by_column.get(b, i)) << i << " " << b;
            }
    }
    // Shapes that do not fit the image, and a region outside it.
    const PGM_SPARE_ROW none = {"", false, 0, 0, 0, {0, 0, 0, 0}};
    const PGM_SPARE_ROW outside = {"", true, 0, 1, 2, {9, 0, 0, 0}};
    captured([&] {
        EXPECT_BRIX_ERROR(build_phantom_image_rmf(BRIX_PROGRESS(), file, true, 5, 10, none),
                          "frame_size == img_cram_col");
        EXPECT_BRIX_ERROR(build_phantom_image_rmf(BRIX_PROGRESS(), file, true, 4, 9, none),
                          "(bit_size + total_spare_row) == img_cram_row");
        EXPECT_BRIX_ERROR(build_phantom_image_rmf(BRIX_PROGRESS(), file, false, 10, 5, none),
                          "bit_size == img_cram_col");
        EXPECT_BRIX_ERROR(build_phantom_image_rmf(BRIX_PROGRESS(), file, false, 11, 4, none),
                          "(frame_size + total_spare_row) == img_cram_row");
        EXPECT_BRIX_ERROR(build_phantom_image_rmf(BRIX_PROGRESS(), file, false, 8, 4, outside),
                          "start >= 0 && (start + rows_per_region) <= img_cram_row");
    });
}

// ---- RMFs and masks
// ------------------------------------------------------------------------------------------

namespace {
// One block of 2 frames x 3 bits with map rows 100 / 011 (bit 0 first), placed plain at (0, 0) and mirrored
// both ways at (2, 4); an MLAB and an M20K block for the memory mask.
BRIX_CRAM_MAP_LIST small_maps() {
    BRIX_CRAM_MAP_LIST maps;
    auto map = std::make_unique<BRIX_CRAM_MAP>();
    map->type = PGM_RBA_LA_LAB;
    map->frame_size = 2;
    map->bit_size = 3;
    map->bit_byte_size = 1;
    map->info.reset(new std::unique_ptr<unsigned char[]>[2]);
    map->info[0].reset(new unsigned char[1]{0x01});
    map->info[1].reset(new unsigned char[1]{0x06});
    maps.push_back(std::move(map));
    return maps;
}

BRIX_RBA_BLOCK_LIST small_blocks() {
    BRIX_RBA_BLOCK_LIST blocks;
    blocks.push_back(make_rba_block(PGM_RBA_LA_LAB, 2, 3, {{0, 0, false, false}, {2, 4, true, true}}));
    return blocks;
}
} // namespace

TEST(FidRmf, RebuiltFromCramMapsAndMasked) {
    BIT_MATRIX rmf;
    captured([&] { rmf = build_rba_cram_map_rmf(BRIX_PROGRESS(), small_blocks(), small_maps(), 5, 8); });
    // Frame 2 takes map row 1 mirrored (110 -> bits 4,5 of 011 reversed), frame 3 map row 0 reversed (001).
    const BITS expected = {{1, 0, 0, 0, 0, 0, 0, 0},
                           {0, 1, 1, 0, 0, 0, 0, 0},
                           {0, 0, 0, 0, 1, 1, 0, 0},
                           {0, 0, 0, 0, 0, 0, 1, 0},
                           {0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(expected, matrix_bits(rmf));

    // An image of all ones except bit (0, 0): inside the blocks it inverts, outside it is cleared.
    BIT_MATRIX image(5, 8);
    for (size_t f = 0; f < 5; ++f)
        for (size_t b = 0; b < 8; ++b)
            image.set(f, b, !(f == 0 && b == 0));
    std::string out =
        captured([&] { mask_undefined_rba_region(BRIX_PROGRESS(), image, small_blocks(), 5, 8); });
    EXPECT_EQ("   Mask off undefined RBA region and inversed phantom bit ...\n\n", out);
    const BITS masked = {{1, 0, 0, 0, 0, 0, 0, 0},
                         {0, 0, 0, 0, 0, 0, 0, 0},
                         {0, 0, 0, 0, 0, 0, 0, 0},
                         {0, 0, 0, 0, 0, 0, 0, 0},
                         {0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(masked, matrix_bits(image));

    // Placements reaching past the CRAM are refused, naming the block.
    BIT_MATRIX small(5, 8);
    captured([&] {
        EXPECT_BRIX_ERROR(mask_undefined_rba_region(BRIX_PROGRESS(), small, small_blocks(), 3, 8),
                          "j >= 0 && j < cram_frame");
        BRIX_INTERNAL_ERROR e = catch_brix_error(
            [&] { mask_undefined_rba_region(BRIX_PROGRESS(), small, small_blocks(), 5, 6); });
        EXPECT_EQ("y >= 0 && y < cram_bit", e.condition());
        EXPECT_EQ((std::vector<std::string>{"RBA block LA_LAB at frame 2, bit 4"}), e.context());
        BRIX_CRAM_MAP_LIST none;
        EXPECT_BRIX_ERROR(build_rba_cram_map_rmf(BRIX_PROGRESS(), small_blocks(), none, 5, 8), "map != NULL");
        BRIX_RBA_BLOCK_LIST other;
        other.push_back(make_rba_block(PGM_RBA_LA_LAB, 2, 4, {{0, 0, false, false}}));
        EXPECT_BRIX_ERROR(build_rba_cram_map_rmf(BRIX_PROGRESS(), other, small_maps(), 5, 8),
                          "map->frame_size == block_frame_size && map->bit_size == block_bit_size");
    });
}

TEST(FidRmf, MemoryMaskClearsMemoryColumns) {
    BRIX_RBA_BLOCK_LIST blocks;
    blocks.push_back(make_rba_block(PGM_RBA_LA_MLAB, 2, 2, {{1, 0, false, false}, {1, 5, false, false}}));
    blocks.push_back(make_rba_block(PGM_RBA_MM_M20K, 2, 2, {{4, 2, false, false}}));
    blocks.push_back(make_rba_block(PGM_RBA_LA_LAB, 2, 2, {{6, 0, false, false}}));
    BIT_MATRIX by_frame, by_bit;
    captured([&] {
        // Columns are frames: MLAB at frame 1 clears frame 1 + 1; M20K at frame 4 clears 4 + 0 and 4 + 1.
        by_frame = build_memory_mask(BRIX_PROGRESS(), blocks, true, 8, 3, 1, 1, 0, 2);
        // Columns are bits: MLAB at bits 0 and 5 clears bits 1 and 6; M20K at bit 2 clears bits 2 and 3.
        by_bit = build_memory_mask(BRIX_PROGRESS(), blocks, false, 3, 8, 1, 1, 0, 2);
    });
    for (uint32_t f = 0; f < 8; ++f)
        for (uint32_t b = 0; b < 3; ++b)
            EXPECT_EQ(!(f == 2 || f == 4 || f == 5), by_frame.get(f, b)) << f;
    for (uint32_t f = 0; f < 3; ++f)
        for (uint32_t b = 0; b < 8; ++b)
            EXPECT_EQ(!(b == 1 || b == 6 || b == 2 || b == 3), by_bit.get(f, b)) << b;
    captured([&] {
        EXPECT_BRIX_ERROR(build_memory_mask(BRIX_PROGRESS(), blocks, true, 5, 3, 1, 1, 0, 2), "j < col");
    });

    // The comparison looks only where the mask is set.
    BIT_MATRIX a(8, 3), b(8, 3);
    b.set(2, 1);
    std::string out = captured([&] {
        EXPECT_TRUE(check_phantom_image_against_rba_rmf(BRIX_PROGRESS(), a, b, by_frame, 8, 3));
        b.set(3, 1);
        EXPECT_FALSE(check_phantom_image_against_rba_rmf(BRIX_PROGRESS(), a, b, by_frame, 8, 3));
    });
    EXPECT_EQ(0u, out.find("   Check Phantom Image against RBA CRAM Map version of RMF ...\n\n"));
}

// ---- Devices built from records --------------------------------------------------------------------------

namespace {

constexpr uint32_t NO_BS_BIT = 0xFFFFFFFE;
constexpr uint32_t NONE = 0xFFFFFFFF;

// A small 28nm device (columns are frames): 64 frames, MRAM column 44 (its frames 45 and 46 have no EDCRC
// frame), image bit 5 without bitstream bit, every other image bit i at bitstream bit i + 192, and the G2
// bits of G2_FRAMES.
struct DEVICE_28NM {
    std::string pcf;
    uint32_t bits;
    uint32_t lutram_offset, lutram_size;
    static constexpr uint32_t frames = 64;
};

// Image frames with their G2 bit: one in the LUTRAM frames of both fixtures, one before the MRAM column and
// one after it, where the image and EDCRC frame numbers differ by 2.
const std::vector<uint32_t> G2_FRAMES = {10, 30, 50};

uint32_t bs_bit_of(uint32_t i) {
    return i == 5 ? NO_BS_BIT : i + 192;
}

BRIX_DEVICE_INFO* device_28nm(const DEVICE_28NM& d, std::vector<uint32_t> sof_to_rbf = {}) {
    auto* info = new BRIX_DEVICE_INFO;
    info->set_parameter_list(
        new BRIX_PARAMETER_LIST{make_parameter(BRIX_PARAMETER_CRAM_FRAME_COUNT, d.frames),
                                make_parameter(BRIX_PARAMETER_CRAM_BIT_COUNT, d.bits),
                                make_parameter(BRIX_PARAMETER_COL_AS_FRAME, 1),
                                make_parameter(BRIX_PARAMETER_MRAM_COL_OFFSET, 1),
                                make_parameter(BRIX_PARAMETER_MRAM_REAL_COL_SIZE, 2),
                                make_parameter(BRIX_PARAMETER_LUTRAM_COL_OFFSET, d.lutram_offset),
                                make_parameter(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE, d.lutram_size),
                                make_parameter(BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER, 0)},
        false);
    std::vector<uint32_t> frames(d.frames), rbf_to_sof(d.bits + 192, NONE);
    for (uint32_t f = 0; f < d.frames; ++f)
        frames[f] = f;
    if (sof_to_rbf.empty())
        for (uint32_t i = 0; i < d.bits; ++i)
            sof_to_rbf.push_back(bs_bit_of(i));
    for (uint32_t i = 0; i < d.bits; ++i)
        if (sof_to_rbf[i] < rbf_to_sof.size())
            rbf_to_sof[sof_to_rbf[i]] = i;
    std::vector<uint8_t> g2((d.frames + 7) / 8, 0);
    for (uint32_t f : G2_FRAMES)
        g2[f / 8] = static_cast<uint8_t>(g2[f / 8] | 1 << (f % 8));
    info->set_argument_list(new BRIX_ARG_LIST{make_arg(BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, frames),
                                              make_arg(BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, frames),
                                              make_arg(BRIX_ARGUMENT_SOF_TO_RBF_MAP, sof_to_rbf),
                                              make_arg(BRIX_ARGUMENT_RBF_TO_SOF_MAP, rbf_to_sof),
                                              make_arg(BRIX_ARGUMENT_DRA_G2_INFO, g2)},
                            false);
    info->set_simplified_mram({44}, {0});
    return info;
}

// The blocks of the fixtures: an MLAB column at frame 0 (two rows of blocks), an M20K column at frame 44 and
// LABs at frame 50, one mirrored along its bits.
BRIX_RBA_BLOCK_LIST blocks_28nm() {
    BRIX_RBA_BLOCK_LIST blocks;
    blocks.push_back(make_rba_block(PGM_RBA_LA_MLAB, 20, 10, {{0, 0, false, false}, {0, 100, false, false}}));
    blocks.push_back(make_rba_block(PGM_RBA_MM_M20K, 4, 10, {{44, 0, false, false}}));
    blocks.push_back(make_rba_block(PGM_RBA_LA_LAB, 5, 8, {{50, 50, false, false}, {50, 200, false, true}}));
    return blocks;
}

// Map bit (i, k) of a block type: a fixed scatter of set bits.
bool map_bit(uint32_t type, uint32_t i, uint32_t k) {
    return (i * 7 + k * 3 + type) % 5 == 0;
}

BRIX_CRAM_MAP_LIST maps_for(const BRIX_RBA_BLOCK_LIST& blocks) {
    BRIX_CRAM_MAP_LIST maps;
    for (const auto& block : blocks) {
        auto map = std::make_unique<BRIX_CRAM_MAP>();
        map->type = block->type;
        map->frame_size = block->frame_size;
        map->bit_size = block->bit_size;
        map->bit_byte_size = (block->bit_size + 7) / 8;
        map->info.reset(new std::unique_ptr<unsigned char[]>[block->frame_size]);
        for (uint32_t i = 0; i < block->frame_size; ++i) {
            map->info[i].reset(new unsigned char[map->bit_byte_size]());
            for (uint32_t k = 0; k < block->bit_size; ++k)
                if (map_bit(block->type, i, k))
                    map->info[i][k / 8] = static_cast<unsigned char>(map->info[i][k / 8] | (1u << (k % 8)));
        }
        maps.push_back(std::move(map));
    }
    return maps;
}

// The CRAM the placements describe: configuration bits (frame, bit), and which positions are inside a block.
struct CRAM {
    BITS config;
    BITS inside;
};

CRAM cram_of(const BRIX_RBA_BLOCK_LIST& blocks, uint32_t frames, uint32_t bits) {
    CRAM c{BITS(frames, std::vector<bool>(bits)), BITS(frames, std::vector<bool>(bits))};
    for (const auto& block : blocks)
        for (const auto& entry : block->locations)
            for (const BRIX_RBA_LOCATION& l : entry.second)
                for (uint32_t i = 0; i < block->frame_size; ++i)
                    for (uint32_t k = 0; k < block->bit_size; ++k) {
                        uint32_t mi = l.frame_mirror ? block->frame_size - 1 - i : i;
                        uint32_t mk = l.bit_mirror ? block->bit_size - 1 - k : k;
                        c.inside[entry.first + i][l.bit_index + k] = true;
                        if (map_bit(block->type, mi, mk))
                            c.config[entry.first + i][l.bit_index + k] = true;
                    }
    return c;
}

// The phantom bit of a CRAM position: 0 for a configuration bit inside a block, 1 elsewhere inside; outside
// the blocks a pattern that the build must ignore.
bool phantom_bit(const CRAM& c, uint32_t f, uint32_t b) {
    return c.inside[f][b] ? !c.config[f][b] : (f + b) % 3 == 0;
}

void write_cram_maps(const PGM_INSTALLATION& install, const std::string& family,
                     const BRIX_RBA_BLOCK_LIST& blocks) {
    BYTES data(1, 0x05);
    pgm_ddb_write(data, maps_for(blocks));
    BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1, "cram_map",
                                              family, family, install.fid_dir());
}

std::vector<uint32_t> array_of(const std::unique_ptr<uint32_t[]>& a, uint32_t n) {
    return a ? std::vector<uint32_t>(a.get(), a.get() + n) : std::vector<uint32_t>();
}

BITS rows_of(const PGM_BYTE_ROWS& rows, uint32_t n, uint32_t bits) {
    BITS out(n, std::vector<bool>(bits));
    for (uint32_t r = 0; r < n; ++r)
        for (uint32_t b = 0; b < bits; ++b)
            out[r][b] = (rows[r][b / 8] >> (b % 8)) & 1;
    return out;
}

// Writes a 28nm fixture into the installation: device database, PGM RBA, phantom image (with the device's
// spare rows, filled with ones) and, when asked, the family's CRAM maps. flip marks one configuration bit
// the image gets wrong.
void write_28nm(const PGM_INSTALLATION& install, const DEVICE_28NM& d, const std::string& cram_family,
                bool flip = false) {
    install.write_device(d.pcf, device_28nm(d));
    BRIX_RBA_BLOCK_LIST blocks = blocks_28nm();
    install.write_rba(d.pcf, blocks);
    if (!cram_family.empty())
        write_cram_maps(install, cram_family, blocks);
    CRAM c = cram_of(blocks, d.frames, d.bits);
    if (flip)
        c.config[51][52] = !c.config[51][52];
    // Image rows are bits; the device's spare rows are inserted where the table puts them.
    const PGM_SPARE_ROW& spare = find_pgm_spare_row(d.pcf);
    const uint32_t rows = d.bits + spare.region_count * spare.rows_per_region;
    std::vector<int64_t> bit_of_row(rows, 0);
    for (uint32_t k = 0; k < spare.region_count; ++k) {
        uint32_t start = rows - spare.region_rows[k] - spare.rows_per_region + spare.row_offset;
        for (uint32_t r = 0; r < spare.rows_per_region; ++r)
            bit_of_row[start + r] = -1;
    }
    int64_t next = 0;
    for (int64_t& v : bit_of_row)
        if (v == 0)
            v = next++;
    write_gzip(install.pgm_db_dir() + stl_lower(d.pcf) + "_phantom.img.gz",
               phantom_image(d.frames, rows, [&](uint32_t row, uint32_t col) {
                   return bit_of_row[row] < 0 || phantom_bit(c, col, static_cast<uint32_t>(bit_of_row[row]));
               }));
}

// Checks a 28nm FID field by field against the fixture.
void expect_28nm_fid(const BRIX_FID& fid, const DEVICE_28NM& d, uint16_t fid_version,
                     std::vector<uint32_t> constants) {
    const uint32_t F = d.frames, B = d.bits;
    EXPECT_EQ(fid_version, fid.fid_version);
    EXPECT_EQ((std::vector<uint32_t>{F, B, F, B + 192, F - 2, B, (B + 7) / 8}),
              (std::vector<uint32_t>{fid.img_frame_size, fid.img_bit_size, fid.bs_frame_size, fid.bs_bit_size,
                                     fid.edcrc_frame_size, fid.edcrc_bit_size, fid.edcrc_bit_byte_size}));
    EXPECT_EQ(constants,
              (std::vector<uint32_t>{fid.family_constant_1, fid.family_constant_2, fid.lutram_frame_offset,
                                     fid.family_constant_3, fid.lutram_frame_size, fid.family_constant_4}));
    std::vector<uint32_t> img_to_edcrc(F), edcrc_to_img(F - 2), img_bit(B), edcrc_bit(B);
    for (uint32_t f = 0; f < F; ++f)
        img_to_edcrc[f] = f < 45 ? f : f < 47 ? NONE : f - 2;
    for (uint32_t e = 0; e < F - 2; ++e)
        edcrc_to_img[e] = e < 45 ? e : e + 2;
    for (uint32_t i = 0; i < B; ++i) {
        img_bit[i] = i == 5 ? NO_BS_BIT : i;
        edcrc_bit[i] = i == 5 ? NONE : i;
    }
    EXPECT_EQ(img_to_edcrc, array_of(fid.img_to_edcrc_frame_mapping, F));
    EXPECT_EQ(edcrc_to_img, array_of(fid.edcrc_to_img_frame_mapping, F - 2));
    EXPECT_EQ(img_bit, array_of(fid.img_to_edcrc_bit_mapping, B));
    EXPECT_EQ(edcrc_bit, array_of(fid.edcrc_to_img_bit_mapping, B));

    // The EDCRC RMF is the CRAM's configuration bits in EDCRC numbering; image bit 5 has no EDCRC bit.
    CRAM c = cram_of(blocks_28nm(), F, B);
    BITS rmf(F - 2, std::vector<bool>(B));
    std::vector<uint32_t> types(F - 2, 0);
    for (uint32_t e = 0; e < F - 2; ++e) {
        for (uint32_t k = 0; k < B; ++k)
            rmf[e][k] = k != 5 && c.config[edcrc_to_img[e]][k];
        bool empty = std::find(rmf[e].begin(), rmf[e].end(), true) == rmf[e].end();
        const bool g2 = std::count(G2_FRAMES.begin(), G2_FRAMES.end(), edcrc_to_img[e]) != 0;
        types[e] = (empty ? 2 : 0) | (g2 ? 16 : 0);
    }
    for (uint32_t k = 0; k < d.lutram_size; ++k)
        types[d.lutram_offset + k] |= 1; // the MLAB column at frame 0
    EXPECT_EQ(rmf, rows_of(fid.edcrc_rmf, F - 2, B));
    EXPECT_EQ(types, array_of(fid.edcrc_frame_types, F - 2));
}

const DEVICE_28NM GRANITE_D1 = {"GRANITE_D1", 8836, 3, 16};
const DEVICE_28NM BASALT_D1 = {"BASALT_D1", 300, 7, 32};

} // namespace

// fid_version 0: GRANITE with spare rows and a CRAM map database the image agrees with.
TEST(FidBuild, Version0WithSpareRowsAndCramMap) {
    PGM_INSTALLATION install;
    WORKING_DIRECTORY cwd(install.path());
    write_28nm(install, GRANITE_D1, "GRANITE");
    int status = -1;
    std::string out = captured([&] { status = build_device_fid(BRIX_BUILD_CONTEXT(), "granite_d1"); });
    EXPECT_EQ(0, status);
    const std::string fid_file = install.fid_dir() + "GRANITE_D1.fid";
    EXPECT_EQ(0u,
              out.find("\n   Building RMF file ... \n\n      PCF: GRANITE_D1\n      Family: GRANITE\n"
                       "      PCF Family: GRANITE\n      Phantom Img: granite_d1_phantom.img\n"
                       "      PGM RBA: " +
                       install.fid_dir() + "GRANITE_D1.pgm_rba\n      Family CRAM MAP: " + install.fid_dir() +
                       "GRANITE.cram_map (support)\n\n   Reading PCF file ... \n\n"
                       "      Frame/Column: 64\n      Bit/Row: 8836\n\n   Parsing Phantom Image: "
                       "granite_d1_phantom.img ... \n\n"))
        << out;
    for (const char* step :
         {"   Generate RBA CRAM Map version of RMF ...\n\n", "   Generate memory masking ...\n\n",
          "   Check Phantom Image against RBA CRAM Map version of RMF ...\n\n"
          "   Generate EDCRC RMF ...\n\n   Finalize FID ...\n\n"
          "\n   Generating PGM Database file: "})
        EXPECT_NE(std::string::npos, out.find(step)) << step;
    EXPECT_EQ(std::string::npos, out.find("Difference"));
    EXPECT_FALSE(
        FIO_FILE_SYSTEM::exists(install.path() + "/granite_d1_phantom.img")); // unpacked copy removed
    std::unique_ptr<BRIX_FID> fid = BRIX_DATA_SERVER::get_device_fid("GRANITE_D1");
    expect_28nm_fid(*fid, GRANITE_D1, 0, {2, 41, 3, 0, 16, 86});
}

// fid_version 1: BASALT without spare rows and without a CRAM map database.
TEST(FidBuild, Version1WithoutCramMap) {
    PGM_INSTALLATION install;
    WORKING_DIRECTORY cwd(install.path());
    write_28nm(install, BASALT_D1, "");
    int status = -1;
    std::string out = captured([&] { status = build_device_fid(BRIX_BUILD_CONTEXT(), "BASALT_D1"); });
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos, out.find("BASALT.cram_map (not_support)\n\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("Generate RBA CRAM Map"));
    std::unique_ptr<BRIX_FID> fid = BRIX_DATA_SERVER::get_device_fid("BASALT_D1");
    expect_28nm_fid(*fid, BASALT_D1, 1, {42, 43, 7, 0, 32, 86});
}

// An image that disagrees with the CRAM maps: both difference reports, the FID still written, and the
// mismatch exit status.
TEST(FidBuild, MismatchingImageIsReportedAndWritten) {
    PGM_INSTALLATION install;
    WORKING_DIRECTORY cwd(install.path());
    write_28nm(install, BASALT_D1, "BASALT", true);
    int status = -1;
    std::string out = captured([&] { status = build_device_fid(BRIX_BUILD_CONTEXT(), "BASALT_D1"); });
    EXPECT_EQ(BRIX_EXIT_PHANTOM_MISMATCH, status);
    const size_t per_block = out.find("   Difference of Phantom Image against each RBA block ...\n\n");
    const size_t whole =
        out.find("   Difference of Phantom Image against RBA CRAM Map version of RMF...\n\n");
    ASSERT_NE(std::string::npos, per_block) << out;
    ASSERT_NE(std::string::npos, whole) << out;
    // The flipped bit (51, 52) is in the LAB at frame 50, bit 50: its second frame, third bit.
    const std::string failing = "   Failing at LA_LAB : 50 50 (IMG vs RBA)\n";
    const size_t first = out.find(failing, per_block);
    EXPECT_LT(first, whole);
    EXPECT_NE(std::string::npos, out.find(failing, whole));
    EXPECT_EQ(1u, [&] { // exactly one placement fails in each report
        size_t n = 0;
        for (size_t at = out.find("Failing at"); at != std::string::npos; at = out.find("Failing at", at + 1))
            ++n;
        return n / 2;
    }());
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(install.fid_dir() + "BASALT_D1.fid"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(install.path() + "/basalt_d1_phantom.img"));
}

// The FID batch: a row whose image disagrees with its maps fails, and so does the batch.
TEST(FidBuild, BatchRowOfAMismatchingImageFails) {
    struct CASE {
        bool flip;
        int status;
        const char* summary;
    };
    const CASE cases[] = {
        {false, 0, "Batch report all_fid: 1 Pass, 0 Fail\n"},
        {true, BRIX_BATCH_FAILED_STATUS, "Batch report all_fid: 0 Pass, 1 Fail\n"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.flip ? "image disagrees" : "image agrees");
        PGM_INSTALLATION install;
        WORKING_DIRECTORY cwd(install.path());
        write_28nm(install, BASALT_D1, "BASALT", c.flip);
        const char* const devices[] = {"basalt_d1", nullptr};
        int status = -1;
        std::string out = captured([&] { status = brix_batch_fid(BRIX_BUILD_CONTEXT(), devices); });
        EXPECT_EQ(c.status, status);
        EXPECT_NE(std::string::npos, out.find(c.summary)) << out;
    }
}

namespace {

// A small TALON device (fid_version 2; rows are frames): 30 frames of 100 bits, bitstream frames in reverse
// order, bitstream bit i + 4, EDCRC bit 99 - i, a G2 byte per frame and 25 EDCRC-detectable frames.
constexpr uint32_t TF = 30, TB = 100;

BRIX_DEVICE_INFO* device_talon() {
    auto* info = new BRIX_DEVICE_INFO;
    info->set_parameter_list(
        new BRIX_PARAMETER_LIST{make_parameter(BRIX_PARAMETER_CRAM_FRAME_COUNT, TF),
                                make_parameter(BRIX_PARAMETER_CRAM_BIT_COUNT, TB),
                                make_parameter(BRIX_PARAMETER_EDCRC_DETECTABLE_FRAME_COUNT, 25)},
        false);
    std::vector<uint32_t> frames(TF), sof_to_rbf(TB), rbf_to_sof(TB + 4, NONE), sof_to_edcrc(TB),
        edcrc_to_sof(TB + 4, NONE);
    std::vector<uint8_t> g2(TF);
    for (uint32_t f = 0; f < TF; ++f) {
        frames[f] = TF - 1 - f;
        g2[f] = static_cast<uint8_t>(f % 4);
    }
    for (uint32_t i = 0; i < TB; ++i) {
        sof_to_rbf[i] = i + 4;
        rbf_to_sof[i + 4] = i;
        sof_to_edcrc[i] = TB - 1 - i;
        edcrc_to_sof[TB - 1 - i] = i;
    }
    info->set_argument_list(new BRIX_ARG_LIST{make_arg(BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, frames),
                                              make_arg(BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, frames),
                                              make_arg(BRIX_ARGUMENT_SOF_TO_RBF_MAP, sof_to_rbf),
                                              make_arg(BRIX_ARGUMENT_RBF_TO_SOF_MAP, rbf_to_sof),
                                              make_arg(BRIX_ARGUMENT_SOF_TO_EDCRC_MAP, sof_to_edcrc),
                                              make_arg(BRIX_ARGUMENT_EDCRC_TO_SOF_MAP, edcrc_to_sof),
                                              make_arg(BRIX_ARGUMENT_DRA_G2_INFO, g2)},
                            false);
    return info;
}

BRIX_RBA_BLOCK_LIST blocks_talon() {
    BRIX_RBA_BLOCK_LIST blocks;
    blocks.push_back(make_rba_block(PGM_RBA_LA_LAB, 5, 10, {{0, 0, false, false}, {10, 20, false, false}}));
    blocks.push_back(make_rba_block(PGM_RBA_DS_DSP, 4, 30, {{20, 50, true, false}}));
    return blocks;
}

void write_talon(const PGM_INSTALLATION& install) {
    install.write_device("TALON_D0", device_talon());
    BRIX_RBA_BLOCK_LIST blocks = blocks_talon();
    install.write_rba("TALON_D0", blocks);
    CRAM c = cram_of(blocks, TF, TB);
    write_gzip(install.pgm_db_dir() + "talon_d0_phantom.img.gz",
               phantom_image(TB, TF, [&](uint32_t row, uint32_t col) { return phantom_bit(c, row, col); }));
}

} // namespace

// fid_version 2: EDCRC maps from the device, a G2 byte per frame, frames past the EDCRC-detectable count.
TEST(FidBuild, Version2Talon) {
    PGM_INSTALLATION install;
    WORKING_DIRECTORY cwd(install.path());
    write_talon(install);
    int status = -1;
    std::string out = captured([&] { status = build_device_fid(BRIX_BUILD_CONTEXT(), "TALON_D0"); });
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos, out.find("      Frame/Row: 30\n      Bit/Column: 100\n\n")) << out;
    std::unique_ptr<BRIX_FID> fid = BRIX_DATA_SERVER::get_device_fid("TALON_D0");
    EXPECT_EQ(2, fid->fid_version);
    EXPECT_EQ(
        (std::vector<uint32_t>{TF, TB, TF, TB + 4, TF, TB + 4, (TB + 4 + 7) / 8, 50, 16, 0, 0, 92, 16}),
        (std::vector<uint32_t>{fid->img_frame_size, fid->img_bit_size, fid->bs_frame_size, fid->bs_bit_size,
                               fid->edcrc_frame_size, fid->edcrc_bit_size, fid->edcrc_bit_byte_size,
                               fid->family_constant_1, fid->family_constant_2, fid->lutram_frame_offset,
                               fid->family_constant_3, fid->lutram_frame_size, fid->family_constant_4}));
    std::vector<uint32_t> reversed(TF);
    for (uint32_t f = 0; f < TF; ++f)
        reversed[f] = TF - 1 - f;
    EXPECT_EQ(reversed, array_of(fid->img_to_edcrc_frame_mapping, TF));
    EXPECT_EQ(reversed, array_of(fid->edcrc_to_img_frame_mapping, TF));
    CRAM c = cram_of(blocks_talon(), TF, TB);
    BITS rmf(TF, std::vector<bool>(TB + 4));
    std::vector<uint32_t> types(TF);
    for (uint32_t e = 0; e < TF; ++e) {
        const uint32_t f = TF - 1 - e;
        for (uint32_t k = 0; k < TB; ++k)
            rmf[e][k] = c.config[f][TB - 1 - k];
        bool empty = std::find(rmf[e].begin(), rmf[e].end(), true) == rmf[e].end();
        types[e] = (empty ? 2 : 0) | (e >= 25 ? 4 : 0) | (f % 4) * 16;
    }
    EXPECT_EQ(rmf, rows_of(fid->edcrc_rmf, TF, TB + 4));
    EXPECT_EQ(types, array_of(fid->edcrc_frame_types, TF));
}

// Faults of the 28nm mapping rules, each on the BASALT fixture with one change.
TEST(FidMappings, RulesOf28nmDevices) {
    auto mapped = [](const std::function<void(BRIX_DEVICE_INFO*)>& change,
                     std::vector<uint32_t> sof_to_rbf = {}) {
        std::unique_ptr<BRIX_DEVICE_INFO> device(device_28nm(BASALT_D1, std::move(sof_to_rbf)));
        change(device.get());
        BRIX_FID fid;
        fid.fid_version = 1;
        build_fid_mappings(fid, device.get());
        return fid;
    };
    auto with_parameters = [](std::vector<std::pair<unsigned, unsigned>> values) {
        return [values](BRIX_DEVICE_INFO* d) {
            auto* list = new BRIX_PARAMETER_LIST;
            for (BRIX_PARAMETER* p : *d->get_parameter_list()) {
                bool replaced = false;
                for (auto& v : values)
                    replaced |= p->get_parameter_type() == v.first;
                if (!replaced)
                    list->push_back(new BRIX_PARAMETER(p));
            }
            for (auto& v : values)
                list->push_back(make_parameter(v.first, v.second));
            d->set_parameter_list(list, false);
        };
    };
    auto none = [](BRIX_DEVICE_INFO*) {};
    std::vector<uint32_t> to_191;
    for (uint32_t i = 0; i < BASALT_D1.bits; ++i)
        to_191.push_back(i == 7 ? 191 : bs_bit_of(i));
    struct CASE {
        const char* what;
        std::function<void(BRIX_DEVICE_INFO*)> change;
        std::vector<uint32_t> sof_to_rbf;
        std::string condition;
    };
    const std::vector<CASE> cases = {
        {"image bit on bitstream bit 191", none, to_191,
         "fid.img_to_edcrc_bit_mapping[i] < (fid.edcrc_bit_size - 192)"},
        {"MRAM columns of size 0",
         with_parameters({{BRIX_PARAMETER_MRAM_REAL_COL_SIZE, 0}}),
         {},
         "mram_col.empty() || eram_col_size > 0"},
        {"MRAM column past the image",
         [](BRIX_DEVICE_INFO* d) { d->set_simplified_mram({62}, {0}); },
         {},
         "*iter < fid.img_frame_size && (*iter + eram_col_offset + eram_col_size) < fid.img_frame_size"},
        {"not columns as frames",
         with_parameters({{BRIX_PARAMETER_COL_AS_FRAME, 0}}),
         {},
         "pcf->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME)"},
        {"reverse frame order",
         with_parameters({{BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER, 1}}),
         {},
         "frame_forward_order"},
        {"no SOF_TO_RBF_MAP",
         [](BRIX_DEVICE_INFO* d) { d->set_argument_list(nullptr, false); },
         {},
         "arg_list != NULL"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_BRIX_ERROR(mapped(c.change, c.sof_to_rbf), c.condition);
    }
    // An MRAM column whose frames end on the last image frame is accepted.
    BRIX_FID last = mapped([](BRIX_DEVICE_INFO* d) { d->set_simplified_mram({61}, {0}); });
    EXPECT_EQ(62u, last.edcrc_frame_size);
    EXPECT_EQ(NONE, last.img_to_edcrc_frame_mapping[63]);
    EXPECT_EQ(61u, last.edcrc_to_img_frame_mapping[61]);
    // Without MRAM columns a zero column size removes nothing.
    BRIX_FID no_mram = mapped([&](BRIX_DEVICE_INFO* d) {
        with_parameters({{BRIX_PARAMETER_MRAM_REAL_COL_SIZE, 0}})(d);
        d->set_simplified_mram({}, {});
    });
    EXPECT_EQ(64u, no_mram.edcrc_frame_size);
    // A bitstream frame of no more than the 192 head bits has no EDCRC bits.
    std::unique_ptr<BRIX_DEVICE_INFO> short_frames(device_28nm({"BASALT_D1", 300, 7, 32}));
    auto* args = short_frames->get_argument_list();
    for (BRIX_ARG*& a : *args)
        if (a->get_arg_type() == BRIX_ARGUMENT_RBF_TO_SOF_MAP) {
            delete a;
            a = make_arg(BRIX_ARGUMENT_RBF_TO_SOF_MAP, std::vector<uint32_t>(100, NONE));
        }
    BRIX_FID fid;
    EXPECT_BRIX_ERROR(build_fid_mappings(fid, short_frames.get()), "fid.bs_bit_size > 192");
    BRIX_FID unsupported;
    unsupported.fid_version = 3;
    EXPECT_BRIX_ERROR(build_fid_mappings(unsupported, short_frames.get()), "Unsupported family");
}

// Frame types: the LUTRAM frames, the EDCRC-detectable count, and LUTRAM placements past the image.
TEST(FidMappings, FrameTypes) {
    auto fid_of = [] {
        auto fid = std::make_unique<BRIX_FID>();
        fid->img_frame_size = fid->edcrc_frame_size = 4;
        fid->img_bit_size = fid->edcrc_bit_size = 8;
        fid->edcrc_bit_byte_size = 1;
        fid->img_to_edcrc_frame_mapping.reset(new uint32_t[4]{0, 1, 2, 3});
        fid->edcrc_to_img_frame_mapping.reset(new uint32_t[4]{0, 1, 2, 3});
        fid->edcrc_rmf.reset(new std::unique_ptr<unsigned char[]>[4]);
        for (int e = 0; e < 4; ++e)
            fid->edcrc_rmf[e].reset(new unsigned char[1]{static_cast<unsigned char>(e == 2 ? 0 : 1)});
        return fid;
    };
    const unsigned char g2[1] = {0x08};
    auto lutram = make_rba_block(PGM_RBA_LA_MLAB, 1, 1, {{0, 0, false, false}});
    struct CASE {
        uint32_t detectable;
        std::vector<uint32_t> types;
    };
    // The LUTRAM block at frame 0 with offset 1 and size 2 marks frames 1 and 2; frame 2 has no RMF bit;
    // frame 3 has its G2 bit.
    const std::vector<CASE> cases = {
        {0, {0, 1, 1 | 2, 16}},
        {4, {0, 1, 1 | 2, 16}}, // equal to the frame count: nothing beyond
        {2, {0, 1, 1 | 2 | 4, 16 | 4}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.detectable);
        auto fid = fid_of();
        captured([&] { finalize_fid(BRIX_PROGRESS(), *fid, g2, 1, lutram.get(), 1, 2, c.detectable); });
        EXPECT_EQ(c.types, array_of(fid->edcrc_frame_types, 4));
    }
    captured([&] {
        auto fid = fid_of();
        EXPECT_BRIX_ERROR(finalize_fid(BRIX_PROGRESS(), *fid, g2, 1, lutram.get(), 3, 2, 0),
                          "frame < fid.img_frame_size");
        fid = fid_of();
        EXPECT_BRIX_ERROR(finalize_fid(BRIX_PROGRESS(), *fid, g2, 1, nullptr, 0, 0, 5),
                          "edcrc_detectable_frame_count < fid.edcrc_frame_size");
        fid = fid_of();
        fid->fid_version = 2; // a byte per frame: 1 byte does not cover 4 frames
        EXPECT_BRIX_ERROR(finalize_fid(BRIX_PROGRESS(), *fid, g2, 1, nullptr, 0, 0, 0),
                          "g2_info_size >= g2_needed");
    });
}

// Builds that stop, and what they leave behind: no FID and no unpacked image.
TEST(FidBuild, BuildsThatStop) {
    struct CASE {
        const char* what;
        std::function<void(const PGM_INSTALLATION&)> change;
        std::string condition;
        const char* not_reached; // a progress line that must not appear
    };
    const std::vector<CASE> cases = {
        {"no phantom image",
         [](const PGM_INSTALLATION& i) {
             FIO_FILE_SYSTEM::remove_file(i.pgm_db_dir() + "basalt_d1_phantom.img.gz");
         },
         "thr_system(cmd.c_str()) == 0", "Building RMF file"},
        {"no PGM RBA database",
         [](const PGM_INSTALLATION& i) { FIO_FILE_SYSTEM::remove_file(i.fid_dir() + "BASALT_D1.pgm_rba"); },
         "FIO_FILE_SYSTEM::exists(pgm_rba.c_str())", "Reading PCF file"},
        {"placement past the CRAM",
         [](const PGM_INSTALLATION& i) {
             BRIX_RBA_BLOCK_LIST blocks = blocks_28nm();
             blocks.push_back(make_rba_block(PGM_RBA_DS_DSP, 4, 10, {{62, 0, false, false}}));
             i.write_rba("BASALT_D1", blocks);
         },
         "j >= 0 && j < cram_frame", "Generate RBA CRAM Map"},
        {"no MLAB block",
         [](const PGM_INSTALLATION& i) {
             BRIX_RBA_BLOCK_LIST blocks;
             blocks.push_back(make_rba_block(PGM_RBA_LA_LAB, 5, 8, {{50, 50, false, false}}));
             i.write_rba("BASALT_D1", blocks);
         },
         "lutram != NULL", "Finalize FID"},
        {"LUTRAM parameters differ from the family",
         [](const PGM_INSTALLATION& i) {
             i.write_device("BASALT_D1", device_28nm({"BASALT_D1", 300, 7, 16}));
         },
         "PGM_FAMILY_INFO_DATABASE[fid_index].lutram_frame_offset == "
         "device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET) && "
         "PGM_FAMILY_INFO_DATABASE[fid_index].lutram_frame_size == "
         "device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE)",
         "Finalize FID"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        PGM_INSTALLATION install;
        WORKING_DIRECTORY cwd(install.path());
        write_28nm(install, BASALT_D1, "BASALT");
        c.change(install);
        testing::internal::CaptureStdout();
        EXPECT_BRIX_ERROR(build_device_fid(BRIX_BUILD_CONTEXT(), "BASALT_D1"), c.condition);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string::npos, out.find(c.not_reached)) << out;
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(install.fid_dir() + "BASALT_D1.fid"));
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(install.path() + "/basalt_d1_phantom.img"));
    }
    {
        // The failed unpacking names the image and the reason in one frame.
        PGM_INSTALLATION install;
        WORKING_DIRECTORY cwd(install.path());
        write_28nm(install, BASALT_D1, "BASALT");
        const std::string image = install.pgm_db_dir() + "basalt_d1_phantom.img.gz";
        FIO_FILE_SYSTEM::remove_file(image);
        testing::internal::CaptureStdout();
        const BRIX_INTERNAL_ERROR error =
            catch_brix_error([] { build_device_fid(BRIX_BUILD_CONTEXT(), "BASALT_D1"); });
        testing::internal::GetCapturedStdout();
        EXPECT_EQ((std::vector<std::string>{image + ": Unable to open compressed file " + image}),
                  error.context());
    }
    PGM_INSTALLATION install;
    captured([&] {
        EXPECT_BRIX_ERROR(build_device_fid(BRIX_BUILD_CONTEXT(), "basalt_d1_brix.ddb"),
                          "!PGM_COMMON::check_extension(target, \"ddb\")");
        EXPECT_BRIX_ERROR(build_device_fid(BRIX_BUILD_CONTEXT(), "KESTREL_D1"), "fid_index != DWORD(-1)");
    });
}

// Runs of one device in one directory share the unpacked image's name: they take turns, so none removes the
// image another is reading, and the directory is left as it was.
TEST(FidBuild, RunsInOneDirectoryTakeTurns) {
    PGM_INSTALLATION install;
    write_28nm(install, BASALT_D1, "BASALT", false);
    const std::string one = "BRIX_VANTREL_PATH=" + thr_shell_quote(install.path()) + " " +
                            thr_shell_command({BRIX_EXE, "-fid=basalt_d1"}) + " >/dev/null 2>&1";
    std::string runs =
        "cd " + thr_shell_quote(install.path()) + " && pids= && for i in 1 2 3 4 5 6; do " + one +
        " & pids=\"$pids $!\"; done; failed=0; for p in $pids; do wait $p || failed=$((failed + 1)); "
        "done; echo $failed";
    for (int round = 0; round < 3; ++round) {
        COMMAND_RESULT r = run_command(runs);
        EXPECT_EQ("0\n", r.out) << "runs that failed, round " << round;
    }
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(install.path() + "/basalt_d1_phantom.img"));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(install.path() + "/basalt_d1_phantom.img.lock"));

    // A run whose turn has not come waits: while another holds the image's lock, no FID is written.
    const std::string fid = install.fid_dir() + "BASALT_D1.fid";
    ASSERT_TRUE(FIO_FILE_SYSTEM::remove_file(fid));
    const std::string lock = install.path() + "/basalt_d1_phantom.img.lock";
    const int held = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, ::flock(held, LOCK_EX));
    COMMAND_RESULT waited;
    std::thread run(
        [&] { waited = run_command("cd " + thr_shell_quote(install.path()) + " && " + one + "; echo $?"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(fid)) << "the run went ahead while the lock was held";
    ::unlink(lock.c_str()); // released as a holder does: the name first, then the lock
    ::close(held);
    run.join();
    EXPECT_EQ("0\n", waited.out);
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(fid));
}

// The tool ends with the mismatch status after writing the FID, which brix_dump verifies.
TEST(FidBuild, ToolStatusAndDump) {
    const std::string dump = BRIX_DUMP_EXE;
    ASSERT_FALSE(dump.empty());
    PGM_INSTALLATION install;
    write_28nm(install, BASALT_D1, "BASALT", true);
    const std::string run = "cd " + thr_shell_quote(install.path()) +
                            " && BRIX_VANTREL_PATH=" + thr_shell_quote(install.path()) + " " +
                            thr_shell_command({BRIX_EXE, "-fid=basalt_d1"});
    COMMAND_RESULT mismatch = run_command(run);
    EXPECT_EQ(BRIX_EXIT_PHANTOM_MISMATCH, mismatch.status) << mismatch.err;
    EXPECT_EQ("", mismatch.err);
    const std::string file = install.fid_dir() + "BASALT_D1.fid";
    COMMAND_RESULT verified = run_command(thr_shell_command({dump, "--verify", file}));
    EXPECT_EQ(0, verified.status) << verified.out;
    EXPECT_EQ(0u, verified.out.find("OK: " + file + ": FID BASALT_D1, version 1: ")) << verified.out;
    write_28nm(install, BASALT_D1, "BASALT", false);
    COMMAND_RESULT clean = run_command(run);
    EXPECT_EQ(0, clean.status) << clean.err;
}
