#include "inspect/map_picture.h"

#include "fio.h"
#include "msg_internal_error.h"

#include <png.h>

#include <algorithm>

namespace {

// Set bits of words[] in [begin, end).
uint64_t count_bits(const uint64_t* words, uint64_t begin, uint64_t end) {
    uint64_t count = 0;
    while (begin < end) {
        const uint64_t word = begin / 64, shift = begin % 64;
        const uint64_t take = std::min<uint64_t>(64 - shift, end - begin);
        uint64_t bits = words[word] >> shift;
        if (take < 64)
            bits &= (uint64_t{1} << take) - 1;
        count += static_cast<uint64_t>(__builtin_popcountll(bits));
        begin += take;
    }
    return count;
}

bool is_grey(PICTURE_RGB c) {
    return c.r == c.g && c.g == c.b;
}

} // namespace

MAP_PICTURE::MAP_PICTURE(uint64_t width, uint64_t height, PICTURE_RGB background)
    : m_width(width), m_height(height), m_background(background) {
    BRIX_CHECK(width > 0 && height > 0, "picture width > 0 && height > 0");
}

void MAP_PICTURE::add_rect(uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1, PICTURE_RGB colour) {
    x1 = std::min(x1, m_width);
    y1 = std::min(y1, m_height);
    if (x0 < x1 && y0 < y1)
        m_rects.push_back({x0, y0, x1, y1, colour});
}

void MAP_PICTURE::add_plane(BIT_MATRIX rows_are_y, uint64_t x, uint64_t y, PICTURE_RGB ink,
                            std::optional<PICTURE_RGB> paper) {
    BRIX_CHECK(x + rows_are_y.bits() <= m_width && y + rows_are_y.rows() <= m_height,
               "plane inside the picture");
    if (rows_are_y.rows() > 0 && rows_are_y.bits() > 0)
        m_planes.push_back({std::move(rows_are_y), x, y, ink, paper});
}

void MAP_PICTURE::add_frame_plane(const BIT_MATRIX& rows_are_frames, uint64_t x, uint64_t y, PICTURE_RGB ink,
                                  std::optional<PICTURE_RGB> paper) {
    add_plane(rows_are_frames.transposed(), x, y, ink, paper);
}

uint64_t MAP_PICTURE::scale_for(uint64_t width, uint64_t height, uint32_t max_side) {
    const uint64_t side = std::max(width, height);
    if (max_side == 0 || side <= max_side)
        return 1;
    return (side + max_side - 1) / max_side;
}

bool MAP_PICTURE::all_grey() const {
    if (!is_grey(m_background))
        return false;
    for (const RECT& r : m_rects)
        if (!is_grey(r.colour))
            return false;
    for (const PLANE& p : m_planes)
        if (!is_grey(p.ink) || (p.paper && !is_grey(*p.paper)))
            return false;
    return true;
}

// Adds what the layers draw on cell rows [y0, y1) to the sums of the pixels of that band.
void MAP_PICTURE::add_band(uint64_t y0, uint64_t y1, uint64_t k, std::vector<SUM>& sums) const {
    auto add = [&](SUM& s, PICTURE_RGB c, uint64_t cells) {
        s.r += c.r * cells;
        s.g += c.g * cells;
        s.b += c.b * cells;
        s.cells += cells;
    };
    for (const RECT& r : m_rects) {
        const uint64_t top = std::max(r.y0, y0), bottom = std::min(r.y1, y1);
        if (top >= bottom)
            continue;
        const uint64_t rows = bottom - top;
        for (uint64_t px = r.x0 / k; px * k < r.x1; ++px) {
            const uint64_t left = std::max(r.x0, px * k), right = std::min(r.x1, (px + 1) * k);
            add(sums[px], r.colour, (right - left) * rows);
        }
    }
    for (const PLANE& p : m_planes) {
        const uint64_t top = std::max(p.y, y0), bottom = std::min(p.y + p.bits.rows(), y1);
        if (top >= bottom)
            continue;
        const uint64_t width = p.bits.bits();
        for (uint64_t row = top - p.y; row < bottom - p.y; ++row) {
            const uint64_t* words = p.bits.row_words(row);
            // Pixel columns the plane's cells fall in: cells [begin, end) of this row in pixel px.
            for (uint64_t px = p.x / k; px * k < p.x + width; ++px) {
                const uint64_t begin = std::max(px * k, p.x) - p.x;
                const uint64_t end = std::min((px + 1) * k, p.x + width) - p.x;
                const uint64_t set = count_bits(words, begin, end);
                add(sums[px], p.ink, set);
                if (p.paper)
                    add(sums[px], *p.paper, end - begin - set);
            }
        }
    }
}

std::vector<unsigned char> MAP_PICTURE::render(uint32_t max_side, uint32_t& pixel_width,
                                               uint32_t& pixel_height, bool& grey) const {
    const uint64_t k = scale_for(m_width, m_height, max_side);
    const uint64_t w = (m_width + k - 1) / k, h = (m_height + k - 1) / k;
    BRIX_CHECK(w <= 0x7FFFFFFF && h <= 0x7FFFFFFF && w * h <= (uint64_t{1} << 34), "picture size fits PNG");
    pixel_width = static_cast<uint32_t>(w);
    pixel_height = static_cast<uint32_t>(h);
    grey = all_grey();
    const size_t channels = grey ? 1 : 3;
    std::vector<unsigned char> pixels(static_cast<size_t>(w * h * channels));
    std::vector<SUM> sums(w);
    for (uint64_t py = 0; py < h; ++py) {
        std::fill(sums.begin(), sums.end(), SUM{});
        const uint64_t y0 = py * k, y1 = std::min(m_height, y0 + k);
        add_band(y0, y1, k, sums);
        unsigned char* out = pixels.data() + py * w * channels;
        for (uint64_t px = 0; px < w; ++px) {
            const uint64_t cells = (std::min(m_width, (px + 1) * k) - px * k) * (y1 - y0);
            SUM s = sums[px];
            // Cells no layer covers show the background; a pixel drawn on twice is the mean of what it holds.
            if (s.cells < cells) {
                const uint64_t rest = cells - s.cells;
                s.r += m_background.r * rest;
                s.g += m_background.g * rest;
                s.b += m_background.b * rest;
                s.cells = cells;
            }
            auto mean = [&](uint64_t v) {
                return static_cast<unsigned char>((2 * v + s.cells) / (2 * s.cells));
            };
            if (grey) {
                out[px] = mean(s.r);
            } else {
                out[3 * px] = mean(s.r);
                out[3 * px + 1] = mean(s.g);
                out[3 * px + 2] = mean(s.b);
            }
        }
    }
    return pixels;
}

void MAP_PICTURE::write_png(const std::string& path, uint32_t max_side) const {
    uint32_t w = 0, h = 0;
    bool grey = false;
    std::vector<unsigned char> pixels = render(max_side, w, h, grey);
    write_png_file(path, pixels, w, h, grey);
}

namespace {

// libpng writes into memory; the file is written afterwards, so that no exception has to pass through
// libpng's C code.
struct PNG_SINK {
    std::vector<unsigned char> bytes;
    std::string error;
};

void png_write_to_sink(png_structp png, png_bytep data, png_size_t size) {
    auto* sink = static_cast<PNG_SINK*>(png_get_io_ptr(png));
    sink->bytes.insert(sink->bytes.end(), data, data + size);
}

void png_flush_sink(png_structp) {}

[[noreturn]] void png_fail(png_structp png, png_const_charp message) {
    auto* sink = static_cast<PNG_SINK*>(png_get_error_ptr(png));
    sink->error = message ? message : "libpng error";
    png_longjmp(png, 1);
}

// Encodes the rows; false when libpng failed (its message in the sink). libpng reports its errors by longjmp
// back to here, so this function holds nothing that needs destroying.
bool encode_png(png_structp png, png_infop info, const unsigned char* pixels, size_t stride, uint32_t width,
                uint32_t height, bool grey) {
    if (setjmp(png_jmpbuf(png)) != 0)
        return false;
    png_set_write_fn(png, png_get_error_ptr(png), png_write_to_sink, png_flush_sink);
    png_set_IHDR(png, info, width, height, 8, grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Maps are large flat areas: the up filter and a fast level compress them well and quickly.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_level(png, 3);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(pixels + stride * y));
    png_write_end(png, nullptr);
    return true;
}

} // namespace

void write_png_file(const std::string& path, const std::vector<unsigned char>& pixels, uint32_t width,
                    uint32_t height, bool grey) {
    INPUT_CONTEXT here(path);
    const size_t stride = size_t{width} * (grey ? 1 : 3);
    BRIX_CHECK(width > 0 && height > 0 && pixels.size() == stride * height,
               "pixels.size() == stride * height");
    PNG_SINK sink;
    sink.bytes.reserve(pixels.size() / 8 + 4096);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, png_fail, nullptr);
    BRIX_CHECK(png != nullptr, "png_create_write_struct");
    png_infop info = png_create_info_struct(png);
    const bool written = info != nullptr && encode_png(png, info, pixels.data(), stride, width, height, grey);
    png_destroy_write_struct(&png, &info);
    if (!written) {
        INPUT_CONTEXT why(sink.error);
        BRIX_REPORT("PNG encoding failed");
    }
    FIO_ATOMIC_FILE file(path);
    file.write(sink.bytes);
    file.commit();
}
