// Little-endian integers in byte buffers, and a bounded reader over a buffer: the one codec of the binary
// files of this program (container headers and payloads, archive trailers). Big-endian 32-bit values too,
// for the check value of zlib streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

inline void put_le16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

inline void put_le32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline uint16_t get_le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t get_le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void put_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline uint32_t get_be32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void append_le16(std::vector<unsigned char>& out, uint16_t v) {
    unsigned char b[2];
    put_le16(b, v);
    out.insert(out.end(), b, b + 2);
}

inline void append_le32(std::vector<unsigned char>& out, uint32_t v) {
    unsigned char b[4];
    put_le32(b, v);
    out.insert(out.end(), b, b + 4);
}

// Arrays of u32, copied as they are on a little-endian machine.
inline void get_le32_array(uint32_t* destination, const unsigned char* source, size_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (count)
        std::memcpy(destination, source, count * 4);
#else
    for (size_t i = 0; i < count; ++i)
        destination[i] = get_le32(source + 4 * i);
#endif
}

inline void append_le32_array(std::vector<unsigned char>& out, const uint32_t* values, size_t count) {
    size_t at = out.size();
    out.resize(at + count * 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (count)
        std::memcpy(out.data() + at, values, count * 4);
#else
    for (size_t i = 0; i < count; ++i)
        put_le32(out.data() + at + 4 * i, values[i]);
#endif
}

// Reads a buffer of `size` bytes from `index` on, advancing index. Every read first checks that the bytes are
// there; a read past the end is the report "index < max", located at the offset where the data ends
// ("<location> N", location "payload byte" unless told otherwise). Callers check a length field with need()
// before they allocate for it, so a forged length costs no more than the bytes that are there.
class BYTE_READER {
  public:
    BYTE_READER(const unsigned char* data, size_t size, size_t& index, const char* location = "payload byte")
        : m_data(data), m_size(size), m_index(index), m_location(location) {}

    size_t index() const { return m_index; }
    size_t size() const { return m_size; }

    // Checks that `bytes` more bytes are there.
    void need(uint64_t bytes) const {
        if (m_index >= m_size || bytes > m_size - m_index)
            fail_at(m_index < m_size ? m_size : m_index, "index < max");
    }
    uint8_t u8() { return *take(1); }
    uint16_t u16() { return get_le16(take(2)); }
    uint32_t u32() { return get_le32(take(4)); }
    // The next n bytes, checked; the pointer stays valid as long as the buffer.
    const unsigned char* take(uint64_t n) {
        need(n);
        const unsigned char* p = m_data + m_index;
        m_index += static_cast<size_t>(n);
        return p;
    }

    // A failed check about the buffer, reported with the offset it concerns.
    [[noreturn]] void fail_at(size_t offset, const std::string& text) const;

  private:
    const unsigned char* m_data;
    size_t m_size;
    size_t& m_index;
    const char* m_location;
};
