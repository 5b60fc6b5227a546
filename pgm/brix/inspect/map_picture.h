// A picture of a map in cell space (x = frame, left to right; y = bit, top to bottom), drawn from layers of
// filled rectangles and bit planes and written as a PNG file with libpng.
//
// A picture wider or taller than the largest side allowed is scaled down by area averaging with one whole
// factor k: each pixel covers k x k cells (fewer at the right and bottom edges) and takes the mean colour of
// the cells it covers, a cell that no layer covers counting as the background. A bit plane of set bits in
// black on white thus becomes grey levels: the share of set bits a pixel covers. The picture is made band by
// band (one row of pixels at a time), so its memory is the layers plus one row of pixels.
#pragma once

#include "bit_matrix.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct PICTURE_RGB {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const PICTURE_RGB& o) const { return r == o.r && g == o.g && b == o.b; }
};

constexpr PICTURE_RGB PICTURE_WHITE{255, 255, 255};
constexpr PICTURE_RGB PICTURE_BLACK{0, 0, 0};

// Largest side of a picture unless the caller asks otherwise; 0 keeps one pixel per cell.
constexpr uint32_t PICTURE_DEFAULT_MAX_SIDE = 4096;

class MAP_PICTURE {
  public:
    MAP_PICTURE(uint64_t width, uint64_t height, PICTURE_RGB background);

    uint64_t width() const { return m_width; }
    uint64_t height() const { return m_height; }

    // Fills cells [x0, x1) x [y0, y1), clipped to the picture. Rectangles are meant not to overlap each other
    // or a plane; where they do, a pixel takes the mean of everything drawn on it.
    void add_rect(uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1, PICTURE_RGB colour);
    // A bit plane whose rows are pixel rows (y) and whose bits are cells along x, placed at (x, y): set bits
    // in ink, clear bits in paper, or left to whatever lies below (the background) when paper is empty.
    void add_plane(BIT_MATRIX rows_are_y, uint64_t x, uint64_t y, PICTURE_RGB ink,
                   std::optional<PICTURE_RGB> paper);
    // The same for a plane held as the records hold maps: one row per frame (x), bits along y.
    void add_frame_plane(const BIT_MATRIX& rows_are_frames, uint64_t x, uint64_t y, PICTURE_RGB ink,
                         std::optional<PICTURE_RGB> paper);

    // The scale factor and pixel size for the largest side max_side (0: one pixel per cell).
    static uint64_t scale_for(uint64_t width, uint64_t height, uint32_t max_side);
    // The picture as pixel rows (3 bytes per pixel, or 1 when every colour is grey), scaled for max_side.
    // pixel_width and pixel_height receive the size; grey receives the format.
    std::vector<unsigned char> render(uint32_t max_side, uint32_t& pixel_width, uint32_t& pixel_height,
                                      bool& grey) const;
    // Renders and writes the picture as a PNG file (8-bit grey or RGB). The file lands whole or not at all.
    void write_png(const std::string& path, uint32_t max_side) const;

  private:
    class RENDERER;
    struct RECT {
        uint64_t x0, y0, x1, y1;
        PICTURE_RGB colour;
    };
    struct PLANE {
        BIT_MATRIX bits;
        uint64_t x, y;
        PICTURE_RGB ink;
        std::optional<PICTURE_RGB> paper;
    };
    struct SUM {
        uint64_t r = 0, g = 0, b = 0, cells = 0;
    };
    void add_band(uint64_t y0, uint64_t y1, uint64_t k, const std::vector<const RECT*>& rects,
                  std::vector<SUM>& sums, std::vector<uint64_t>& counts) const;
    bool all_grey() const;
    static void count_plane_band(const PLANE& p, uint64_t top, uint64_t bottom, uint64_t k,
                                 std::vector<uint64_t>& counts);

    uint64_t m_width, m_height;
    PICTURE_RGB m_background;
    std::vector<RECT> m_rects;
    std::vector<PLANE> m_planes;
};

// The pixel rows of a picture, asked for once each from the top: row y, 3 bytes a pixel or 1 when grey.
using PNG_ROWS = std::function<const unsigned char*(uint32_t y)>;

// Writes a PNG file (8-bit grey or RGB) from its rows, deterministic: no time stamp, no text. The file lands
// whole or not at all.
void write_png_rows(const std::string& path, uint32_t width, uint32_t height, bool grey,
                    const PNG_ROWS& rows);

// Writes rows of pixels (3 bytes per pixel, or 1 when grey) as a PNG file, deterministic: no time stamp, no
// text. The file lands whole or not at all.
void write_png_file(const std::string& path, const std::vector<unsigned char>& pixels, uint32_t width,
                    uint32_t height, bool grey);
