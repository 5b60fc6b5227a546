#include "inspect/map_image.h"

#include "brix_data_server.h"
#include "fio.h"
#include "gen.h"
#include "inspect/brix_check_maps.h"
#include "msg_internal_error.h"
#include "pgm_rba_type.h"
#include "programmer/phantom_image.h"
#include "records/brix_data_manager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

// Distinct colours, none of them grey, white or black.
const PICTURE_RGB PALETTE[] = {
    {230, 25, 75},  {60, 180, 75},  {0, 130, 200},   {245, 130, 48}, {145, 30, 180},  {70, 200, 200},
    {240, 50, 230}, {170, 200, 40}, {250, 170, 190}, {0, 128, 128},  {190, 140, 255}, {170, 110, 40},
    {200, 190, 90}, {128, 0, 0},    {120, 220, 150}, {128, 128, 0},  {255, 200, 140}, {0, 0, 128},
    {255, 225, 25}, {100, 60, 140}, {40, 90, 40},    {200, 70, 120}, {90, 140, 230},  {220, 110, 80},
};
constexpr size_t PALETTE_SIZE = sizeof(PALETTE) / sizeof(PALETTE[0]);

PICTURE_RGB darker(PICTURE_RGB c) {
    return {static_cast<uint8_t>(c.r * 11 / 20), static_cast<uint8_t>(c.g * 11 / 20),
            static_cast<uint8_t>(c.b * 11 / 20)};
}

std::string colour_text(PICTURE_RGB c) {
    char text[16];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
    return text;
}

std::string rba_type_name(uint32_t type) {
    return type < PGM_RBA_MAX ? PGM_RBA_TYPE_NAMES[type] : "type " + std::to_string(type);
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// ---- FID -----------------------------------------------------------------------------------------------

// The EDCRC RMF as a matrix of EDCRC frames x bits.
BIT_MATRIX edcrc_rmf(const BRIX_FID& fid) {
    BIT_MATRIX rmf(fid.edcrc_frame_size, fid.edcrc_bit_size);
    if (fid.edcrc_rmf)
        for (uint32_t e = 0; e < fid.edcrc_frame_size; ++e)
            rmf.row_from_bytes(e, fid.edcrc_rmf[e].get(), fid.edcrc_bit_byte_size);
    return rmf;
}

// Runs of a bit mapping: bits [from, from + length) go to bits [to, to + length). Entries at or beyond limit
// (markers, bits without a counterpart) are left out.
struct BIT_RUN {
    uint64_t from, to, length;
};

std::vector<BIT_RUN> bit_runs(const uint32_t* map, size_t count, uint32_t limit) {
    std::vector<BIT_RUN> runs;
    for (size_t k = 0; k < count; ++k) {
        if (map[k] >= limit)
            continue;
        if (!runs.empty() && runs.back().from + runs.back().length == k &&
            runs.back().to + runs.back().length == map[k])
            ++runs.back().length;
        else
            runs.push_back({k, map[k], 1});
    }
    return runs;
}

// ORs count bits of from (starting at bit from_bit) into to (starting at to_bit).
void or_bits(uint64_t* to, uint64_t to_bit, const uint64_t* from, uint64_t from_bit, uint64_t count) {
    while (count > 0) {
        const uint64_t take = std::min<uint64_t>({count, 64 - to_bit % 64, 64});
        const uint64_t shift = from_bit % 64;
        uint64_t bits = from[from_bit / 64] >> shift;
        if (shift + take > 64)
            bits |= from[from_bit / 64 + 1] << (64 - shift);
        if (take < 64)
            bits &= (uint64_t{1} << take) - 1;
        to[to_bit / 64] |= bits << (to_bit % 64);
        to_bit += take;
        from_bit += take;
        count -= take;
    }
}

// ---- CRAM map ------------------------------------------------------------------------------------------

constexpr PICTURE_RGB GAP_COLOUR{196, 208, 226};

// ---- Device database -----------------------------------------------------------------------------------

MAP_PICTURE phantomless_picture(const BRIX_DEVICE_INFO& device, const BRIX_ARG& map,
                                std::vector<std::string>& legend) {
    const BRIX_ARG_DATA_LIST* rows = map.get_data();
    BRIX_CHECK(rows != nullptr && !rows->empty(), "PHANTOMLESS_MAP has rows");
    bool supported = false;
    uint32_t bits = device.get_const_uint(BRIX_PARAMETER_CRAM_BIT_COUNT, &supported);
    unsigned width = 0, unit_size = 0;
    (*rows)[0]->get_data(&width, &unit_size);
    BRIX_CHECK(unit_size == 1 && width > 16, "PHANTOMLESS_MAP rows of bytes with a 16-byte header");
    if (!supported || bits == 0 || (bits + 7) / 8 + 16 != width)
        bits = (width - 16) * 8;
    const uint32_t columns = static_cast<uint32_t>(rows->size());
    // One plane (rows are bits) per final column type for the data bits; flash columns' other cells grey.
    std::vector<uint32_t> final_types;
    std::vector<BIT_MATRIX> planes;
    std::vector<uint64_t> type_columns, type_bits;
    BIT_MATRIX flash(bits, columns);
    uint64_t flash_columns = 0, memory_columns = 0, switch_columns = 0;
    for (uint32_t c = 0; c < columns; ++c) {
        unsigned w = 0, u = 0;
        const unsigned char* row = (*rows)[c]->get_data(&w, &u);
        INPUT_CONTEXT column("PHANTOMLESS_MAP column " + std::to_string(c));
        BRIX_CHECK(row != nullptr && w == width && u == 1, "PHANTOMLESS_MAP rows of one width");
        const uint32_t type = row[0] | uint32_t{row[1]} << 8 | uint32_t{row[2]} << 16;
        const unsigned char flags = row[3];
        flash_columns += (flags & 0x80) != 0;
        switch_columns += (flags & 0x40) != 0;
        memory_columns += (flags & 0x20) != 0;
        size_t t = std::find(final_types.begin(), final_types.end(), type) - final_types.begin();
        if (t == final_types.size()) {
            final_types.push_back(type);
            planes.emplace_back(bits, columns);
            type_columns.push_back(0);
            type_bits.push_back(0);
        }
        ++type_columns[t];
        for (uint32_t k = 0; k < bits; ++k) {
            const bool data = (row[16 + k / 8] >> (k % 8)) & 1;
            if (data) {
                planes[t].set(k, c);
                ++type_bits[t];
            } else if (flags & 0x80) {
                flash.set(k, c);
            }
        }
    }
    MAP_PICTURE picture(columns, bits, PICTURE_WHITE);
    legend.push_back("phantomless map: " + std::to_string(columns) + " columns x " + std::to_string(bits) +
                     " bits; data bits coloured by the column's final type, phantom bits white");
    for (size_t t = 0; t < final_types.size(); ++t) {
        const PICTURE_RGB colour = PALETTE[t % PALETTE_SIZE];
        picture.add_plane(std::move(planes[t]), 0, 0, colour, std::nullopt);
        legend.push_back(colour_text(colour) + "  final type " + std::to_string(final_types[t]) + ": " +
                         std::to_string(type_columns[t]) + " columns, " + std::to_string(type_bits[t]) +
                         " data bits");
    }
    const PICTURE_RGB flash_colour{150, 150, 150};
    picture.add_plane(std::move(flash), 0, 0, flash_colour, std::nullopt);
    legend.push_back(colour_text(flash_colour) + "  x : Flash (" + std::to_string(flash_columns) +
                     " flash columns; " + std::to_string(memory_columns) + " memory columns, " +
                     std::to_string(switch_columns) + " switch columns)");
    return picture;
}

// Which frames of the CRAM SOF-to-bitstream frame map are spare, mapped in order or out of order: the
// upper part of each frame's column in its class colour, the lower part the bitstream frame as a grey level
// (black for frame 0, white for the last).
MAP_PICTURE frame_map_picture(const std::vector<uint32_t>& map, std::vector<std::string>& legend) {
    const uint64_t n = map.size();
    const uint64_t height = std::max<uint64_t>(16, std::min<uint64_t>(256, n / 8));
    const uint64_t band = height * 2 / 3;
    MAP_PICTURE picture(n, height, PICTURE_WHITE);
    const PICTURE_RGB spare{230, 25, 75}, ascending{60, 180, 75}, reversed{0, 130, 200}, marker{0, 0, 0};
    uint64_t counts[4] = {0, 0, 0, 0};
    uint32_t rank = 0;
    uint32_t mapped_max = 0;
    for (uint32_t v : map)
        if (v < 0xFFFFFFFD)
            mapped_max = std::max(mapped_max, v);
    for (uint64_t f = 0; f < n; ++f) {
        const uint32_t v = map[f];
        PICTURE_RGB colour;
        if (v == 0xFFFFFFFF) {
            colour = spare;
            ++counts[0];
        } else if (v >= 0xFFFFFFFD) {
            colour = marker;
            ++counts[3];
        } else {
            // In order: the frame's bitstream frame is its rank among the frames that are not spare.
            const bool moved = v != rank;
            colour = moved ? reversed : ascending;
            ++counts[moved ? 2 : 1];
            ++rank;
            const uint8_t level =
                static_cast<uint8_t>(mapped_max == 0 ? 0 : (uint64_t{v} * 255 + mapped_max / 2) / mapped_max);
            picture.add_rect(f, band, f + 1, height, PICTURE_RGB{level, level, level});
        }
        picture.add_rect(f, 0, f + 1, band, colour);
    }
    legend.push_back("CRAM SOF-to-bitstream frame map: " + std::to_string(n) +
                     " SOF frames; lower band: the bitstream frame (black 0, white " +
                     std::to_string(mapped_max) + ")");
    legend.push_back(colour_text(ascending) + "  mapped in order: " + std::to_string(counts[1]) + " frames");
    legend.push_back(colour_text(reversed) +
                     "  mapped out of order (reversed): " + std::to_string(counts[2]) + " frames");
    legend.push_back(colour_text(spare) + "  spare: " + std::to_string(counts[0]) + " frames");
    if (counts[3] > 0)
        legend.push_back(colour_text(marker) + "  other marker: " + std::to_string(counts[3]) + " frames");
    return picture;
}

MAP_PICTURE device_picture(const std::string& file, std::vector<std::string>& legend) {
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(file, true));
    INPUT_CONTEXT here(file);
    BRIX_CHECK(info != nullptr && info->get_device_info() != nullptr,
               "a device database (a family database holds no map)");
    const BRIX_DEVICE_INFO& device = *info->get_device_info();
    const BRIX_ARG_LIST* args = device.get_argument_list();
    if (const BRIX_ARG* map = BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_PHANTOMLESS_MAP, args))
        return phantomless_picture(device, *map, legend);
    const BRIX_ARG* frames = BRIX_MANAGER::search_argument_from_list(
        BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, args, BRIX_BLOCK_CRAM);
    BRIX_CHECK(frames != nullptr,
               "the device database holds a PHANTOMLESS_MAP or a CRAM_SOF_FRAME_TO_BS_FRAME_MAP");
    std::vector<uint32_t> values;
    BRIX_CHECK(brix_map_u32_values(frames, values) && !values.empty(),
               "CRAM_SOF_FRAME_TO_BS_FRAME_MAP of u32 entries");
    return frame_map_picture(values, legend);
}

// ---- Phantom image -------------------------------------------------------------------------------------

MAP_PICTURE phantom_picture(const std::string& file, std::vector<std::string>& legend) {
    std::string path = file;
    std::string unpacked;
    if (ends_with(stl_lower(file), ".gz")) {
        unpacked = (std::filesystem::temp_directory_path() /
                    ("brix_dump_" + std::to_string(::getpid()) + "_phantom.img"))
                       .string();
        // A picture of any device: the bound of an unknown geometry.
        BRIX_BUILD_CONTEXT::unpack(file, unpacked, BRIX_BUILD_CONTEXT::UNPACK_LIMIT_WITHOUT_GEOMETRY);
        path = unpacked;
    }
    struct REMOVE {
        std::string path;
        ~REMOVE() {
            if (!path.empty())
                std::remove(path.c_str());
        }
    } remove_unpacked{unpacked};
    PHANTOM_IMAGE image = parse_phantom_image(BRIX_PROGRESS(true), path); // quiet: the picture is the output
    // As the file holds it: image rows top to bottom, the columns of a row left to right (frames left to
    // right for a family whose image columns are frames).
    BIT_MATRIX rows(image.img_cram_row, image.img_cram_col);
    const size_t row_bytes = rows.bytes_per_row();
    for (uint32_t r = 0; r < image.img_cram_row; ++r)
        rows.row_from_bytes(r, image.data.data() + image.first_row + size_t{r} * image.row_stride, row_bytes);
    image.data = std::vector<unsigned char>();
    MAP_PICTURE picture(std::max<uint64_t>(1, rows.bits()), std::max<uint64_t>(1, rows.rows()),
                        PICTURE_WHITE);
    legend.push_back("phantom image block 0: " + std::to_string(rows.rows()) + " rows (top to bottom) x " +
                     std::to_string(rows.bits()) + " columns (left to right), " +
                     std::to_string(rows.count()) + " set bits black");
    picture.add_plane(std::move(rows), 0, 0, PICTURE_BLACK, PICTURE_WHITE);
    return picture;
}

// Reads a container's records of the expected kind.
PGM_CONTAINER_FILE read_container(const std::string& file, const char* kind) {
    PGM_CONTAINER_FILE container = BRIX_DATA_SERVER::read_pgm_container(file);
    INPUT_CONTEXT here(file);
    BRIX_CHECK(container.file_extension == kind, std::string("container kind ") + kind);
    return container;
}

void print_written(std::ostream& out, const std::string& path, const MAP_PICTURE& picture,
                   uint32_t max_side) {
    const uint64_t k = MAP_PICTURE::scale_for(picture.width(), picture.height(), max_side);
    out << "wrote " << path << ": " << (picture.width() + k - 1) / k << " x "
        << (picture.height() + k - 1) / k << " pixels";
    if (k > 1)
        out << ", " << k << " x " << k << " cells a pixel";
    out << "\n";
}

} // namespace

PICTURE_RGB floor_plan_colour(size_t block_index, bool mirrored) {
    const PICTURE_RGB c = PALETTE[block_index % PALETTE_SIZE];
    return mirrored ? darker(c) : c;
}

MAP_PICTURE rba_floor_plan(const BRIX_RBA_BLOCK_LIST& blocks, std::vector<std::string>& legend) {
    uint64_t frames = 1, bits = 1;
    for (const auto& block : blocks)
        for (const auto& [frame, placements] : block->locations)
            for (const BRIX_RBA_LOCATION& l : placements) {
                frames = std::max<uint64_t>(frames, uint64_t{frame} + block->frame_size);
                bits = std::max<uint64_t>(bits, uint64_t{l.bit_index} + block->bit_size);
            }
    MAP_PICTURE picture(frames, bits, PICTURE_WHITE);
    legend.push_back("floor plan: " + std::to_string(frames) + " frames x " + std::to_string(bits) +
                     " bits; mirrored placements darker");
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BRIX_RBA_BLOCK& block = *blocks[i];
        uint64_t placed = 0, mirrored = 0;
        for (const auto& [frame, placements] : block.locations)
            for (const BRIX_RBA_LOCATION& l : placements) {
                const bool m = l.frame_mirror || l.bit_mirror;
                picture.add_rect(frame, l.bit_index, uint64_t{frame} + block.frame_size,
                                 uint64_t{l.bit_index} + block.bit_size, floor_plan_colour(i, m));
                ++placed;
                mirrored += m;
            }
        legend.push_back(colour_text(floor_plan_colour(i, false)) + "  " + rba_type_name(block.type) + " (" +
                         std::to_string(block.frame_size) + " x " + std::to_string(block.bit_size) + "): " +
                         std::to_string(placed) + " placements, " + std::to_string(mirrored) + " mirrored");
    }
    return picture;
}

std::vector<NAMED_PICTURE> fid_planes(const BRIX_FID& fid) {
    std::vector<NAMED_PICTURE> planes;
    // The EDCRC RMF with its rows as bits (the picture's rows): one transpose serves both planes.
    BIT_MATRIX edcrc = edcrc_rmf(fid).transposed();
    if (fid.img_frame_size > 0 && fid.img_bit_size > 0) {
        // Image bit row b is EDCRC bit row k where edcrc_to_img_bit_mapping[k] = b, its frames moved by
        // edcrc_to_img_frame_mapping in runs of consecutive frames.
        BIT_MATRIX image(fid.img_bit_size, fid.img_frame_size);
        if (fid.edcrc_to_img_frame_mapping && fid.edcrc_to_img_bit_mapping) {
            const std::vector<BIT_RUN> runs =
                bit_runs(fid.edcrc_to_img_frame_mapping.get(), fid.edcrc_frame_size, fid.img_frame_size);
            for (uint32_t k = 0; k < fid.edcrc_bit_size; ++k) {
                const uint32_t bit = fid.edcrc_to_img_bit_mapping[k];
                if (bit >= fid.img_bit_size)
                    continue;
                const uint64_t* from = edcrc.row_words(k);
                uint64_t* to = image.row_words(bit);
                for (const BIT_RUN& run : runs)
                    or_bits(to, run.to, from, run.from, run.length);
            }
        }
        MAP_PICTURE picture(fid.img_frame_size, fid.img_bit_size, PICTURE_WHITE);
        picture.add_plane(std::move(image), 0, 0, PICTURE_BLACK, PICTURE_WHITE);
        planes.push_back({"image", std::move(picture)});
    }
    if (edcrc.rows() > 0 && edcrc.bits() > 0) {
        MAP_PICTURE picture(edcrc.bits(), edcrc.rows(), PICTURE_WHITE);
        picture.add_plane(std::move(edcrc), 0, 0, PICTURE_BLACK, PICTURE_WHITE);
        planes.push_back({"edcrc", std::move(picture)});
    }
    return planes;
}

void write_map_images(const std::string& file, const std::string& out_png, uint32_t max_side,
                      std::ostream& out) {
    const std::string lower = stl_lower(file);
    std::vector<std::string> legend;
    std::vector<std::pair<std::string, MAP_PICTURE>> pictures;
    if (ends_with(lower, ".pgm_rba")) {
        PGM_CONTAINER_FILE c = read_container(file, "PGM_RBA");
        BRIX_RBA_BLOCK_LIST blocks;
        size_t index = 0;
        pgm_ddb_read(c.payload.get(), c.raw_size, index, blocks);
        pgm_ddb_check_consumed(index, c.raw_size);
        pictures.emplace_back(out_png, rba_floor_plan(blocks, legend));
    } else if (ends_with(lower, ".fid")) {
        PGM_CONTAINER_FILE c = read_container(file, "FID");
        BRIX_FID fid;
        size_t index = 0;
        pgm_ddb_read(c.payload.get(), c.raw_size, index, fid);
        pgm_ddb_check_consumed(index, c.raw_size);
        c.payload.reset();
        const std::string base =
            ends_with(stl_lower(out_png), ".png") ? out_png.substr(0, out_png.size() - 4) : out_png;
        for (NAMED_PICTURE& plane : fid_planes(fid)) {
            legend.push_back(plane.name + " plane: " + std::to_string(plane.picture.width()) + " frames x " +
                             std::to_string(plane.picture.height()) + " bits, set bits dark");
            pictures.emplace_back(base + "-" + plane.name + ".png", std::move(plane.picture));
        }
    } else if (ends_with(lower, ".cram_map")) {
        PGM_CONTAINER_FILE c = read_container(file, "CRAM_MAP");
        INPUT_CONTEXT here(file);
        BRIX_CHECK(c.raw_size >= 1, "index < max");
        BRIX_CRAM_MAP_LIST maps;
        size_t index = 1;
        pgm_ddb_read(c.payload.get(), c.raw_size, index, maps);
        pgm_ddb_check_consumed(index, c.raw_size);
        // Tiles in database order, on shelves about as wide as the whole is tall.
        uint64_t area = 0, widest = 1, tallest = 1;
        for (const auto& m : maps) {
            area += uint64_t{m->frame_size} * m->bit_size;
            widest = std::max<uint64_t>(widest, m->frame_size);
            tallest = std::max<uint64_t>(tallest, m->bit_size);
        }
        const uint64_t gap = std::max<uint64_t>(2, std::max(widest, tallest) / 32);
        const uint64_t shelf_width =
            std::max<uint64_t>(widest, static_cast<uint64_t>(std::sqrt(static_cast<double>(area)) * 1.5));
        struct TILE {
            uint64_t x, y;
        };
        std::vector<TILE> tiles;
        uint64_t x = gap, y = gap, shelf_height = 0, width = gap;
        for (const auto& m : maps) {
            if (x > gap && x + m->frame_size > shelf_width + gap) {
                x = gap;
                y += shelf_height + gap;
                shelf_height = 0;
            }
            tiles.push_back({x, y});
            x += m->frame_size + gap;
            width = std::max(width, x);
            shelf_height = std::max<uint64_t>(shelf_height, m->bit_size);
        }
        MAP_PICTURE picture(width, y + shelf_height + gap, GAP_COLOUR);
        legend.push_back("CRAM map: " + std::to_string(maps.size()) +
                         " block maps (frames across, bits down), set "
                         "bits black, gaps " +
                         colour_text(GAP_COLOUR));
        for (size_t i = 0; i < maps.size(); ++i) {
            const BRIX_CRAM_MAP& m = *maps[i];
            BIT_MATRIX bits(m.frame_size, m.bit_size);
            if (m.info)
                for (uint32_t f = 0; f < m.frame_size; ++f)
                    bits.row_from_bytes(f, m.info[f].get(), m.bit_byte_size);
            if (m.frame_size > 0 && m.bit_size > 0)
                picture.add_frame_plane(bits, tiles[i].x, tiles[i].y, PICTURE_BLACK, PICTURE_WHITE);
            legend.push_back("  " + rba_type_name(m.type) + ": " + std::to_string(m.frame_size) + " x " +
                             std::to_string(m.bit_size) + " at (" + std::to_string(tiles[i].x) + ", " +
                             std::to_string(tiles[i].y) + ")");
        }
        pictures.emplace_back(out_png, std::move(picture));
    } else if (ends_with(lower, ".ddb")) {
        pictures.emplace_back(out_png, device_picture(file, legend));
    } else if (ends_with(lower, ".img") || ends_with(lower, ".img.gz")) {
        pictures.emplace_back(out_png, phantom_picture(file, legend));
    } else {
        BRIX_REPORT("brix_dump --image draws .pgm_rba, .fid, .cram_map, .ddb, .img and .img.gz files");
    }
    for (const std::string& line : legend)
        out << line << "\n";
    // The pictures of a file (a FID's planes) are rendered and written side by side.
    std::vector<std::exception_ptr> failures(pictures.size());
    std::vector<std::thread> workers;
    for (size_t i = 1; i < pictures.size(); ++i)
        workers.emplace_back([&, i] {
            try {
                pictures[i].second.write_png(pictures[i].first, max_side);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    try {
        if (!pictures.empty())
            pictures[0].second.write_png(pictures[0].first, max_side);
    } catch (...) {
        failures[0] = std::current_exception();
    }
    for (std::thread& worker : workers)
        worker.join();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    for (const auto& [path, picture] : pictures)
        print_written(out, path, picture, max_side);
}
