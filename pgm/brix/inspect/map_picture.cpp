#include "inspect/map_picture.h"

#include "fio.h"
#include "msg_internal_error.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

// Set bits of a word, without relying on a popcount instruction the build may not target.
inline uint64_t popcount(uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (x * 0x0101010101010101ull) >> 56;
}

// Set bits of words[] in [begin, end).
uint64_t count_bits(const uint64_t* words, uint64_t begin, uint64_t end) {
    uint64_t count = 0;
    while (begin < end) {
        const uint64_t word = begin / 64, shift = begin % 64;
        const uint64_t take = std::min<uint64_t>(64 - shift, end - begin);
        uint64_t bits = words[word] >> shift;
        if (take < 64)
            bits &= (uint64_t{1} << take) - 1;
        count += popcount(bits);
        begin += take;
    }
    return count;
}

// Adds the set bits of the rows of one band (at most K rows of a plane of width cells, placed on a pixel
// boundary) to out[pixel], K = 2, 4 or 8 cells a pixel. Each word's groups of K bits are counted in place,
// spread into byte lanes and summed over the band's rows before they are added to the pixels.
template <unsigned K>
void count_band(const uint64_t* const* rows, size_t row_count, size_t word_count, uint64_t width,
                uint64_t* out) {
    static_assert(K == 2 || K == 4 || K == 8, "byte lanes hold K x K");
    constexpr unsigned LANES = 8 / K, GROUPS = 64 / K;
    constexpr uint64_t LANE_MASK = K == 2   ? 0x0303030303030303ull
                                   : K == 4 ? 0x0F0F0F0F0F0F0F0Full
                                            : ~uint64_t{0};
    for (size_t w = 0; w < word_count; ++w) {
        uint64_t lanes[LANES] = {};
        bool any = false;
        for (size_t r = 0; r < row_count; ++r) {
            uint64_t v = rows[r][w];
            if (v == 0)
                continue;
            any = true;
            v = v - ((v >> 1) & 0x5555555555555555ull);
            if (K >= 4)
                v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
            if (K >= 8)
                v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
            for (unsigned j = 0; j < LANES; ++j)
                lanes[j] += (v >> (j * K)) & LANE_MASK;
        }
        if (!any)
            continue;
        const uint64_t used =
            w + 1 < word_count ? GROUPS : std::min<uint64_t>(GROUPS, (width - w * 64 + K - 1) / K);
        uint64_t* o = out + w * GROUPS;
        for (unsigned g = 0; g < used; ++g)
            o[g] += (lanes[g % LANES] >> (8 * (g / LANES))) & 0xFF;
    }
}

// Adds the set bits of one plane row (width cells, placed at x) to counts[pixel], k cells a pixel. A scale
// that is a power of two dividing 64, on a plane placed on a pixel boundary, counts a word's groups of k bits
// at once; any other scale counts pixel by pixel.
void count_row(const uint64_t* words, size_t word_count, uint64_t width, uint64_t x, uint64_t k,
               uint64_t* counts) {
    if (k <= 64 && 64 % k == 0 && x % k == 0 && k >= 2) {
        uint64_t* out = counts + x / k;
        const unsigned groups = static_cast<unsigned>(64 / k);
        for (size_t w = 0; w < word_count; ++w, out += groups) {
            uint64_t v = words[w];
            if (v == 0)
                continue;
            // Sums of 2, 4, 8, ... bits in place until each group of k bits holds its count.
            v = v - ((v >> 1) & 0x5555555555555555ull);
            if (k >= 4)
                v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
            if (k >= 8)
                v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
            if (k >= 16)
                v = (v + (v >> 8)) & 0x00FF00FF00FF00FFull;
            if (k >= 32)
                v = (v + (v >> 16)) & 0x0000FFFF0000FFFFull;
            if (k == 64)
                v = (v + (v >> 32)) & 0xFFFFFFFFull;
            const uint64_t mask = k == 64 ? ~uint64_t{0} : (uint64_t{1} << k) - 1;
            // The last word may reach past the plane's pixels: its groups there hold zero.
            const unsigned used =
                static_cast<unsigned>(std::min<uint64_t>(groups, (width - w * 64 + k - 1) / k));
            for (unsigned g = 0; g < used; ++g)
                out[g] += (v >> (g * k)) & mask;
        }
        return;
    }
    if (k == 1) {
        for (size_t w = 0; w < word_count; ++w)
            for (uint64_t v = words[w]; v != 0; v &= v - 1)
                ++counts[x + w * 64 + static_cast<uint64_t>(__builtin_ctzll(v))];
        return;
    }
    for (uint64_t px = x / k; px * k < x + width; ++px) {
        const uint64_t begin = std::max(px * k, x) - x, end = std::min((px + 1) * k, x + width) - x;
        counts[px] += count_bits(words, begin, end);
    }
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

// Counts the set bits of plane rows [top, bottom) (picture rows, inside the plane) per pixel into counts, the
// plane's pixels cleared first.
void MAP_PICTURE::count_plane_band(const PLANE& p, uint64_t top, uint64_t bottom, uint64_t k,
                                   std::vector<uint64_t>& counts) {
    const uint64_t width = p.bits.bits();
    const uint64_t first_px = p.x / k, end_px = (p.x + width + k - 1) / k;
    std::fill(counts.begin() + first_px, counts.begin() + end_px, 0);
    if ((k == 2 || k == 4 || k == 8) && p.x % k == 0) {
        const uint64_t* rows[8];
        for (uint64_t row = top - p.y; row < bottom - p.y; ++row)
            rows[row - (top - p.y)] = p.bits.row_words(row);
        const size_t n = bottom - top, words = p.bits.words_per_row();
        uint64_t* out = counts.data() + p.x / k;
        if (k == 2)
            count_band<2>(rows, n, words, width, out);
        else if (k == 4)
            count_band<4>(rows, n, words, width, out);
        else
            count_band<8>(rows, n, words, width, out);
    } else {
        for (uint64_t row = top - p.y; row < bottom - p.y; ++row)
            count_row(p.bits.row_words(row), p.bits.words_per_row(), width, p.x, k, counts.data());
    }
}

// Adds what the layers draw on cell rows [y0, y1) to the sums of the pixels of that band: the rectangles
// that reach into the band, and every plane.
void MAP_PICTURE::add_band(uint64_t y0, uint64_t y1, uint64_t k, const std::vector<const RECT*>& rects,
                           std::vector<SUM>& sums, std::vector<uint64_t>& counts) const {
    auto add = [&](SUM& s, PICTURE_RGB c, uint64_t cells) {
        s.r += c.r * cells;
        s.g += c.g * cells;
        s.b += c.b * cells;
        s.cells += cells;
    };
    for (const RECT* r : rects) {
        const uint64_t top = std::max(r->y0, y0), bottom = std::min(r->y1, y1);
        if (top >= bottom)
            continue;
        const uint64_t rows = bottom - top;
        for (uint64_t px = r->x0 / k; px * k < r->x1; ++px) {
            const uint64_t left = std::max(r->x0, px * k), right = std::min(r->x1, (px + 1) * k);
            add(sums[px], r->colour, (right - left) * rows);
        }
    }
    for (const PLANE& p : m_planes) {
        const uint64_t top = std::max(p.y, y0), bottom = std::min(p.y + p.bits.rows(), y1);
        if (top >= bottom)
            continue;
        const uint64_t width = p.bits.bits();
        const uint64_t first_px = p.x / k, end_px = (p.x + width + k - 1) / k;
        count_plane_band(p, top, bottom, k, counts);
        // Set bits in ink, the other cells of the plane in paper.
        const uint64_t rows = bottom - top;
        for (uint64_t px = first_px; px < end_px; ++px) {
            const uint64_t cells = (std::min((px + 1) * k, p.x + width) - std::max(px * k, p.x)) * rows;
            add(sums[px], p.ink, counts[px]);
            if (p.paper)
                add(sums[px], *p.paper, cells - counts[px]);
        }
    }
}

// Renders a picture one row of pixels at a time.
class MAP_PICTURE::RENDERER {
  public:
    RENDERER(const MAP_PICTURE& picture, uint32_t max_side) : m_picture(picture) {
        k = scale_for(picture.m_width, picture.m_height, max_side);
        width = (picture.m_width + k - 1) / k;
        height = (picture.m_height + k - 1) / k;
        BRIX_CHECK(width <= 0x7FFFFFFF && height <= 0x7FFFFFFF && width * height <= (uint64_t{1} << 34),
                   "picture size fits PNG");
        grey = picture.all_grey();
        m_row.resize(static_cast<size_t>(width * (grey ? 1 : 3)));
        m_sums.resize(width);
        m_counts.resize(width);
        for (const RECT& r : picture.m_rects)
            m_by_top.push_back(&r);
        // One grey plane on paper over the whole picture (a bit plane): its pixels come from the counts
        // alone.
        if (grey && picture.m_rects.empty() && picture.m_planes.size() == 1) {
            const PLANE& p = picture.m_planes[0];
            m_single = p.x == 0 && p.y == 0 && p.bits.bits() == picture.m_width &&
                       p.bits.rows() == picture.m_height && p.paper.has_value();
        }
        std::stable_sort(m_by_top.begin(), m_by_top.end(),
                         [](const RECT* a, const RECT* b) { return a->y0 < b->y0; });
    }

    uint64_t k, width, height;
    bool grey;

    // The next row of pixels (1 or 3 bytes a pixel), from the top.
    const unsigned char* next_row() {
        const MAP_PICTURE& p = m_picture;
        if (m_single)
            return next_plane_row();
        std::fill(m_sums.begin(), m_sums.end(), SUM{});
        const uint64_t y0 = m_y * k, y1 = std::min(p.m_height, y0 + k);
        ++m_y;
        // The rectangles by their top edge; those reaching into the current band are active.
        m_active.erase(
            std::remove_if(m_active.begin(), m_active.end(), [&](const RECT* r) { return r->y1 <= y0; }),
            m_active.end());
        while (m_next < m_by_top.size() && m_by_top[m_next]->y0 < y1)
            m_active.push_back(m_by_top[m_next++]);
        p.add_band(y0, y1, k, m_active, m_sums, m_counts);
        unsigned char* out = m_row.data();
        const PICTURE_RGB bg = p.m_background;
        for (uint64_t px = 0; px < width; ++px) {
            const uint64_t cells = (std::min(p.m_width, (px + 1) * k) - px * k) * (y1 - y0);
            SUM s = m_sums[px];
            // Cells no layer covers show the background; a pixel drawn on twice is the mean of what it holds.
            if (s.cells < cells) {
                const uint64_t rest = cells - s.cells;
                s.r += bg.r * rest;
                s.g += bg.g * rest;
                s.b += bg.b * rest;
                s.cells = cells;
            }
            // Interior pixels all cover k x k cells: one reciprocal serves them.
            if (s.cells != m_last_cells) {
                m_last_cells = s.cells;
                m_inverse = 1.0 / static_cast<double>(s.cells);
            }
            auto mean = [&](uint64_t v) {
                return static_cast<unsigned char>(static_cast<double>(v) * m_inverse + 0.5);
            };
            if (grey) {
                out[px] = mean(s.r);
            } else {
                out[3 * px] = mean(s.r);
                out[3 * px + 1] = mean(s.g);
                out[3 * px + 2] = mean(s.b);
            }
        }
        return out;
    }

  private:
    const unsigned char* next_plane_row() {
        const MAP_PICTURE& p = m_picture;
        const PLANE& plane = p.m_planes[0];
        const uint64_t y0 = m_y * k, y1 = std::min(p.m_height, y0 + k);
        ++m_y;
        count_plane_band(plane, y0, y1, k, m_counts);
        const double paper = plane.paper->r, ink = plane.ink.r;
        for (uint64_t px = 0; px < width; ++px) {
            const uint64_t cells = (std::min(p.m_width, (px + 1) * k) - px * k) * (y1 - y0);
            if (cells != m_last_cells) {
                m_last_cells = cells;
                m_inverse = 1.0 / static_cast<double>(cells);
            }
            const double share = static_cast<double>(m_counts[px]) * m_inverse;
            m_row[px] = static_cast<unsigned char>(paper + (ink - paper) * share + 0.5);
        }
        return m_row.data();
    }

    const MAP_PICTURE& m_picture;
    bool m_single = false;
    std::vector<unsigned char> m_row;
    std::vector<SUM> m_sums;
    std::vector<uint64_t> m_counts;
    std::vector<const RECT*> m_by_top, m_active;
    size_t m_next = 0;
    uint64_t m_y = 0;
    uint64_t m_last_cells = 0;
    double m_inverse = 0;
};

std::vector<unsigned char> MAP_PICTURE::render(uint32_t max_side, uint32_t& pixel_width,
                                               uint32_t& pixel_height, bool& grey) const {
    RENDERER renderer(*this, max_side);
    pixel_width = static_cast<uint32_t>(renderer.width);
    pixel_height = static_cast<uint32_t>(renderer.height);
    grey = renderer.grey;
    const size_t stride = static_cast<size_t>(renderer.width) * (grey ? 1 : 3);
    std::vector<unsigned char> pixels(stride * pixel_height);
    for (uint32_t y = 0; y < pixel_height; ++y)
        std::memcpy(pixels.data() + stride * y, renderer.next_row(), stride);
    return pixels;
}

void MAP_PICTURE::write_png(const std::string& path, uint32_t max_side) const {
    RENDERER renderer(*this, max_side);
    write_png_rows(path, static_cast<uint32_t>(renderer.width), static_cast<uint32_t>(renderer.height),
                   renderer.grey, [&](uint32_t) { return renderer.next_row(); });
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
bool encode_png(png_structp png, png_infop info, const PNG_ROWS& rows, uint32_t width, uint32_t height,
                bool grey) {
    if (setjmp(png_jmpbuf(png)) != 0)
        return false;
    png_set_write_fn(png, png_get_error_ptr(png), png_write_to_sink, png_flush_sink);
    png_set_IHDR(png, info, width, height, 8, grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Maps are large flat areas: the up filter and a fast level compress them well and quickly.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(rows(y)));
    png_write_end(png, nullptr);
    return true;
}

} // namespace

void write_png_rows(const std::string& path, uint32_t width, uint32_t height, bool grey,
                    const PNG_ROWS& rows) {
    INPUT_CONTEXT here(path);
    BRIX_CHECK(width > 0 && height > 0, "picture width > 0 && height > 0");
    PNG_SINK sink;
    struct PNG_WRITER {
        png_structp png = nullptr;
        png_infop info = nullptr;
        ~PNG_WRITER() { png_destroy_write_struct(&png, &info); }
    } writer;
    writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, png_fail, nullptr);
    BRIX_CHECK(writer.png != nullptr, "png_create_write_struct");
    writer.info = png_create_info_struct(writer.png);
    BRIX_CHECK(writer.info != nullptr, "png_create_info_struct");
    if (!encode_png(writer.png, writer.info, rows, width, height, grey)) {
        INPUT_CONTEXT why(sink.error);
        BRIX_REPORT("PNG encoding failed");
    }
    FIO_ATOMIC_FILE file(path);
    file.write(sink.bytes);
    file.commit();
}

void write_png_file(const std::string& path, const std::vector<unsigned char>& pixels, uint32_t width,
                    uint32_t height, bool grey) {
    const size_t stride = size_t{width} * (grey ? 1 : 3);
    BRIX_CHECK(pixels.size() == stride * height, "pixels.size() == stride * height");
    write_png_rows(path, width, height, grey, [&](uint32_t y) { return pixels.data() + stride * y; });
}
