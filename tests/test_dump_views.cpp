// brix_dump --image and --diff: pictures read back with libpng, and the differences of small known files.
#include "brix_data_server.h"
#include "fio.h"
#include "gen.h"
#include "inspect/database_diff.h"
#include "inspect/map_image.h"
#include "inspect/map_picture.h"
#include "test_support.h"
#include "thr.h"

#include <png.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

namespace {

struct RGB_IMAGE {
    uint32_t width = 0, height = 0;
    std::vector<unsigned char> rgb; // 3 bytes a pixel
    PICTURE_RGB at(uint32_t x, uint32_t y) const {
        const unsigned char* p = rgb.data() + (size_t{y} * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

// Reads a PNG file as 8-bit RGB with libpng.
RGB_IMAGE read_png(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    RGB_IMAGE out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << path << ": " << image.message;
        return out;
    }
    image.format = PNG_FORMAT_RGB;
    out.width = image.width;
    out.height = image.height;
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) << image.message;
    return out;
}

std::string container(const TEMP_DIR& dir, const std::vector<unsigned char>& payload, const std::string& ext,
                      const std::string& name) {
    BRIX_DATA_SERVER::write_pgm_database_file(payload.data(), static_cast<uint32_t>(payload.size()), 1, ext,
                                              name, name, dir.path() + "/");
    return dir.path() + "/" + stl_upper(name) + "." + stl_lower(ext);
}

COMMAND_RESULT dump(const std::vector<std::string>& words) {
    std::vector<std::string> line{BRIX_DUMP_EXE};
    line.insert(line.end(), words.begin(), words.end());
    return run_command(thr_shell_command(line));
}

std::unique_ptr<BRIX_RBA_BLOCK> block(uint32_t type, uint32_t frames, uint32_t bits,
                                      std::map<uint32_t, std::vector<BRIX_RBA_LOCATION>> locations) {
    auto b = std::make_unique<BRIX_RBA_BLOCK>();
    b->type = type;
    b->frame_size = frames;
    b->bit_size = bits;
    b->locations = std::move(locations);
    return b;
}

// ---- Pictures -----------------------------------------------------------------------------------------

TEST(InspectorImage, FloorPlanFillsEachPlacementInItsBlockColour) {
    TEMP_DIR dir;
    // Three blocks: A (4 x 3) twice, B (2 x 5) mirrored along frames, C (3 x 2). The plane reaches frame 11,
    // bit 8; the cells between the placements stay white.
    BRIX_RBA_BLOCK_LIST blocks;
    blocks.push_back(block(12, 4, 3, {{0, {{0, false, false}, {4, false, false}}}}));
    blocks.push_back(block(18, 2, 5, {{6, {{2, true, false}}}}));
    blocks.push_back(block(14, 3, 2, {{8, {{6, false, false}}}}));
    std::vector<unsigned char> payload;
    pgm_ddb_write(payload, blocks);
    const std::string rba = container(dir, payload, "pgm_rba", "granite_d1");
    const std::string png = dir.file("plan.png");

    COMMAND_RESULT r = dump({"--image", png, "--max-side", "0", rba});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("floor plan: 11 frames x 8 bits")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("LA_LAB (4 x 3): 2 placements, 0 mirrored")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("MM_M20K (2 x 5): 1 placements, 1 mirrored")) << r.out;
    RGB_IMAGE image = read_png(png);
    ASSERT_EQ(11u, image.width);
    ASSERT_EQ(8u, image.height);
    struct CORNERS {
        uint32_t x0, y0, x1, y1; // inclusive
        PICTURE_RGB colour;
    };
    const CORNERS placed[] = {{0, 0, 3, 2, floor_plan_colour(0, false)},
                              {0, 4, 3, 6, floor_plan_colour(0, false)},
                              {6, 2, 7, 6, floor_plan_colour(1, true)},
                              {8, 6, 10, 7, floor_plan_colour(2, false)}};
    for (const CORNERS& c : placed)
        for (uint32_t x : {c.x0, c.x1})
            for (uint32_t y : {c.y0, c.y1})
                EXPECT_EQ(c.colour, image.at(x, y)) << "corner (" << x << ", " << y << ")";
    for (auto [x, y] :
         {std::pair<uint32_t, uint32_t>{0, 3}, {4, 0}, {5, 7}, {8, 0}, {6, 7}, {9, 5}, {7, 7}, {10, 0}})
        EXPECT_EQ(PICTURE_WHITE, image.at(x, y)) << "outside (" << x << ", " << y << ")";
    EXPECT_FALSE(floor_plan_colour(1, true) == floor_plan_colour(1, false));
}

TEST(InspectorImage, FidPlanesAreAveragedToTheShareOfSetBits) {
    TEMP_DIR dir;
    // A 4 x 4 EDCRC RMF drawn 2 x 2 cells a pixel: the top-left pixel holds 2 of its 4 bits, the bottom-left
    // all 4, the right half none. The image plane takes EDCRC bit k to image bit 3 - k.
    BRIX_FID fid;
    fid.img_frame_size = fid.img_bit_size = fid.edcrc_frame_size = fid.edcrc_bit_size = 4;
    fid.edcrc_bit_byte_size = 1;
    fid.edcrc_to_img_frame_mapping.reset(new uint32_t[4]{0, 1, 2, 3});
    fid.edcrc_to_img_bit_mapping.reset(new uint32_t[4]{3, 2, 1, 0});
    fid.img_to_bs_frame_mapping.reset(new uint32_t[4]{0, 1, 2, 3});
    fid.img_to_bs_bit_mapping.reset(new uint32_t[4]{0, 1, 2, 3});
    fid.img_to_edcrc_frame_mapping.reset(new uint32_t[4]{0, 1, 2, 3});
    fid.img_to_edcrc_bit_mapping.reset(new uint32_t[4]{3, 2, 1, 0});
    fid.edcrc_frame_types.reset(new uint32_t[4]{0, 0, 0, 0});
    fid.edcrc_rmf.reset(new std::unique_ptr<unsigned char[]>[4]);
    const unsigned char rows[4] = {0x05, 0x0C, 0, 0}; // frame 0: bits 0, 2; frame 1: bits 2, 3
    for (int f = 0; f < 4; ++f)
        fid.edcrc_rmf[f].reset(new unsigned char[1]{rows[f]});
    std::vector<unsigned char> payload;
    pgm_ddb_write(payload, fid);
    const std::string file = container(dir, payload, "fid", "granite_d1");

    COMMAND_RESULT r = dump({"--image", dir.file("fid.png"), "--max-side", "2", file});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    RGB_IMAGE edcrc = read_png(dir.file("fid-edcrc.png"));
    RGB_IMAGE image = read_png(dir.file("fid-image.png"));
    ASSERT_EQ(2u, edcrc.width);
    ASSERT_EQ(2u, edcrc.height);
    ASSERT_EQ(2u, image.width);
    // Frames across, bits down: pixel (0, 0) covers frames 0-1, bits 0-1: bit 0 of frame 0 only (1 of 4);
    // pixel (0, 1) bits 2-3: frame 0 bit 2, frame 1 bits 2 and 3 (3 of 4).
    EXPECT_EQ((PICTURE_RGB{191, 191, 191}), edcrc.at(0, 0));
    EXPECT_EQ((PICTURE_RGB{64, 64, 64}), edcrc.at(0, 1));
    EXPECT_EQ(PICTURE_WHITE, edcrc.at(1, 0));
    // The image plane has the bits upside down.
    EXPECT_EQ((PICTURE_RGB{64, 64, 64}), image.at(0, 0));
    EXPECT_EQ((PICTURE_RGB{191, 191, 191}), image.at(0, 1));

    // A half-set pixel is the middle grey.
    MAP_PICTURE half(2, 2, PICTURE_WHITE);
    BIT_MATRIX plane(2, 2);
    plane.set(0, 0);
    plane.set(1, 1);
    half.add_plane(plane, 0, 0, PICTURE_BLACK, PICTURE_WHITE);
    uint32_t w = 0, h = 0;
    bool grey = false;
    EXPECT_EQ(std::vector<unsigned char>{128}, half.render(1, w, h, grey));
    EXPECT_TRUE(grey);
}

TEST(InspectorImage, MaxSideBoundsTheLargerSide) {
    // A 16,384 x 16,000 plane becomes 4,096 x 4,000 pixels, 4 x 4 cells each; an uneven size rounds up.
    struct CASE {
        uint64_t width, height;
        uint32_t max_side;
        uint32_t pixel_width, pixel_height;
    } cases[] = {{16384, 16000, 4096, 4096, 4000},
                 {16384, 16000, 1000, 964, 942},
                 {5, 9, 4, 2, 3},
                 {300, 20, 0, 300, 20},
                 {300, 20, 4096, 300, 20}};
    for (const CASE& c : cases) {
        MAP_PICTURE picture(c.width, c.height, PICTURE_WHITE);
        BIT_MATRIX all(c.height, c.width);
        for (size_t y = 0; y < c.height; y += 97)
            all.set(y, y % c.width);
        picture.add_plane(std::move(all), 0, 0, PICTURE_BLACK, PICTURE_WHITE);
        uint32_t w = 0, h = 0;
        bool grey = false;
        std::vector<unsigned char> pixels = picture.render(c.max_side, w, h, grey);
        EXPECT_EQ(c.pixel_width, w) << c.width << " x " << c.height << " at " << c.max_side;
        EXPECT_EQ(c.pixel_height, h) << c.width << " x " << c.height << " at " << c.max_side;
        EXPECT_EQ(size_t{w} * h, pixels.size());
    }
}

TEST(InspectorImage, FrameMapShowsSpareAndMovedFrames) {
    TEMP_DIR dir;
    // Frames 1 and 2 swapped, frame 3 spare: frames 0 and 4 are in order (their rank among the frames that
    // are not spare).
    const uint32_t map[] = {0, 2, 1, 0xFFFFFFFF, 3};
    auto* bytes = new unsigned char[sizeof map];
    std::memcpy(bytes, map, sizeof map);
    auto* device = new BRIX_DEVICE_INFO;
    device->set_family_type(BRIX_FAMILY_GRANITE);
    device->set_argument_list(
        new BRIX_ARG_LIST{new BRIX_ARG(BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, BRIX_BLOCK_CRAM,
                                       new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(bytes, 5, 4)})},
        false);
    std::unique_ptr<BRIX_INFO> info(new BRIX_INFO);
    info->set_device_info(device);
    BRIX_DATA_SERVER::write_brix_info(dir.file("d"), info.get(), true);

    COMMAND_RESULT r = dump({"--image", dir.file("map.png"), dir.file("d.ddb")});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("mapped in order: 2 frames")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("mapped out of order (reversed): 2 frames")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("spare: 1 frames")) << r.out;
    RGB_IMAGE image = read_png(dir.file("map.png"));
    ASSERT_EQ(5u, image.width);
    const PICTURE_RGB in_order = image.at(0, 0), moved = image.at(1, 0), spare = image.at(3, 0);
    EXPECT_EQ(in_order, image.at(4, 0));
    EXPECT_EQ(moved, image.at(2, 0));
    EXPECT_FALSE(in_order == moved || moved == spare || spare == in_order);
    // The lower band: the bitstream frame as a grey level, black for frame 0; the spare frame stays white.
    const uint32_t low = image.height - 1;
    EXPECT_EQ(PICTURE_BLACK, image.at(0, low));
    EXPECT_EQ(PICTURE_WHITE, image.at(3, low));
    EXPECT_EQ((PICTURE_RGB{170, 170, 170}), image.at(1, low)) << "bitstream frame 2 of 0 to 3";
    EXPECT_EQ(PICTURE_WHITE, image.at(4, low));
}

TEST(InspectorImage, RefusesFilesItCannotDraw) {
    TEMP_DIR dir;
    write_text_file(dir.file("notes.txt"), "x");
    COMMAND_RESULT r = dump({"--image", dir.file("o.png"), dir.file("notes.txt")});
    EXPECT_EQ(1, r.status);
    EXPECT_FALSE(std::filesystem::exists(dir.file("o.png")));
    EXPECT_EQ(2, dump({"--image", dir.file("o.png"), "--max-side", "x", dir.file("a.fid")}).status);
    EXPECT_EQ(2, dump({"--max-side", "5", dir.file("a.fid")}).status) << "--max-side belongs to --image";
}

// ---- Differences ----------------------------------------------------------------------------------------

// A small device database: one parameter and one u32 map of 3,000 entries.
BRIX_INFO* device_database(uint32_t frame_count, uint32_t changed_entry) {
    auto* device = new BRIX_DEVICE_INFO;
    device->set_family_type(BRIX_FAMILY_GRANITE);
    device->set_device_type(5);
    device->set_parameter_list(new BRIX_PARAMETER_LIST{new BRIX_PARAMETER(
                                   BRIX_PARAMETER_CRAM_FRAME_COUNT, 1, BRIX_BLOCK_CRAM,
                                   new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(frame_count, 0)})},
                               false);
    const uint32_t n = 3000;
    auto* map = new unsigned char[n * 4];
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t v = i == changed_entry ? 77777 : i * 2;
        std::memcpy(map + 4 * i, &v, 4);
    }
    device->set_argument_list(
        new BRIX_ARG_LIST{new BRIX_ARG(BRIX_ARGUMENT_SOF_TO_RBF_MAP, BRIX_BLOCK_CRAM,
                                       new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(map, n, 4)})},
        false);
    auto* info = new BRIX_INFO;
    info->set_device_info(device);
    return info;
}

std::string write_database(const TEMP_DIR& dir, const std::string& name, BRIX_INFO* info) {
    std::unique_ptr<BRIX_INFO> owned(info);
    BRIX_DATA_SERVER::write_brix_info(dir.file(name), info, true);
    return dir.file(name) + ".ddb";
}

TEST(InspectorDiff, NamesEachChangedFieldByItsPath) {
    TEMP_DIR dir;
    const std::string a = write_database(dir, "a", device_database(100, 0xFFFFFFFF));
    const std::string same = write_database(dir, "same", device_database(100, 0xFFFFFFFF));
    const std::string b = write_database(dir, "b", device_database(101, 1234));

    COMMAND_RESULT identical = dump({"--diff", a, same});
    EXPECT_EQ(0, identical.status) << identical.out << identical.err;
    EXPECT_EQ("0 differences\n", identical.out);

    COMMAND_RESULT r = dump({"--diff", a, b});
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ("m_device_info.m_parameters[CRAM_FRAME_COUNT/CRAM].m_const_values[0].m_value: 100 | 101\n"
              "m_device_info.m_arguments[SOF_TO_RBF_MAP/CRAM].m_data[0].m_data[1234]: 2468 | 77777 "
              "(the one differing entry of 3000)\n"
              "2 differences\n",
              r.out);

    COMMAND_RESULT shown = dump({"--diff", "--max", "1", a, b});
    EXPECT_EQ(1, shown.status);
    EXPECT_NE(std::string::npos, shown.out.find("... 1 more difference not shown\n2 differences\n"))
        << shown.out;
    EXPECT_EQ(std::string::npos, shown.out.find("m_arguments")) << shown.out;
}

TEST(InspectorDiff, ContainersCompareByRecordFields) {
    TEMP_DIR dir;
    BRIX_RBA_BLOCK_LIST blocks;
    blocks.push_back(block(12, 4, 3, {{0, {{0, false, false}}}, {8, {{0, false, false}}}}));
    std::vector<unsigned char> payload;
    pgm_ddb_write(payload, blocks);
    const std::string a = container(dir, payload, "pgm_rba", "granite_d1");
    blocks[0]->locations[8][0].bit_mirror = true;
    payload.clear();
    pgm_ddb_write(payload, blocks);
    std::filesystem::create_directory(dir.file("b"));
    BRIX_DATA_SERVER::write_pgm_database_file(payload.data(), static_cast<uint32_t>(payload.size()), 1,
                                              "pgm_rba", "granite_d1", "granite_d1", dir.file("b") + "/");
    COMMAND_RESULT r = dump({"--diff", a, dir.file("b/GRANITE_D1.pgm_rba")});
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ("pgm_rba[LA_LAB].locations[8]: bit 0 | bit 0 bm (the one differing frame of 2)\n1 difference\n",
              r.out);
}

TEST(InspectorDiff, FilesThatCannotBeComparedEndWithStatusTwo) {
    TEMP_DIR dir;
    const std::string device = write_database(dir, "a", device_database(100, 0xFFFFFFFF));
    auto* family = new BRIX_INFO;
    auto* family_info = new BRIX_FAMILY_INFO;
    family_info->set_family_type(BRIX_FAMILY_GRANITE);
    family->set_family_info(family_info);
    const std::string family_file = write_database(dir, "f", family);
    std::vector<unsigned char> payload;
    BRIX_FID fid;
    pgm_ddb_write(payload, fid);
    const std::string fid_file = container(dir, payload, "fid", "granite_d1");
    // A copy of the database cut short.
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(FIO_FILE_SYSTEM::read_file(device, bytes));
    bytes.resize(bytes.size() - 10);
    const std::string damaged = dir.file("damaged.ddb");
    write_text_file(damaged, std::string(bytes.begin(), bytes.end()));

    struct CASE {
        std::string a, b, reason;
    } cases[] = {
        {device, fid_file,
         "cannot compare: different kinds of file: " + device + " (ddb), " + fid_file + " (fid)\n"},
        {device, family_file,
         "cannot compare: " + device + " is a device database, " + family_file + " is a family database\n"},
        {device, damaged, ""},
    };
    for (const CASE& c : cases) {
        COMMAND_RESULT r = dump({"--diff", c.a, c.b});
        EXPECT_EQ(2, r.status) << c.b << ": " << r.out << r.err;
        if (!c.reason.empty()) {
            EXPECT_EQ(c.reason, r.out);
        }
        EXPECT_EQ(0, r.out.rfind("cannot compare: ", 0)) << r.out;
        EXPECT_EQ(1, std::count(r.out.begin(), r.out.end(), '\n')) << "one line: " << r.out;
    }
    EXPECT_NE(std::string::npos, dump({"--diff", device, damaged}).out.find(damaged));
    EXPECT_EQ(2, dump({"--diff", device}).status) << "--diff needs two files";
}

} // namespace
