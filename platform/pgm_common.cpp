#include "pgm_common.h"

#include "gen.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace {
// Slicing-by-8 tables: CRC16_SLICES[0] is the byte table; table k advances a byte's contribution over k
// further bytes, so eight bytes fold into the CRC with eight independent look-ups.
using CRC16_TABLES = std::array<std::array<uint16_t, 256>, 8>;
CRC16_TABLES make_crc16_tables() {
    CRC16_TABLES t{};
    for (unsigned b = 0; b < 256; ++b) {
        uint16_t crc = static_cast<uint16_t>(b);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
        t[0][b] = crc;
    }
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned b = 0; b < 256; ++b)
            t[k][b] = static_cast<uint16_t>((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
    return t;
}
const CRC16_TABLES CRC16_SLICES = make_crc16_tables();

uint16_t crc16_bit(uint16_t crc, unsigned bit) {
    return ((crc ^ bit) & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
}

std::string strip_comment(const std::string& line) {
    size_t cut = line.find('#');
    size_t slashes = line.find("//");
    if (slashes < cut)
        cut = slashes;
    return cut == std::string::npos ? line : line.substr(0, cut);
}
} // namespace

uint16_t PGM_COMMON::calculate_crc16_bitwise(const unsigned char* buffer, uint64_t first_bit,
                                             uint64_t bit_count, uint16_t initial) {
    uint16_t crc = initial;
    for (uint64_t i = first_bit; i < first_bit + bit_count; ++i)
        crc = crc16_bit(crc, (buffer[i / 8] >> (i % 8)) & 1u);
    return crc;
}

uint16_t PGM_COMMON::calculate_crc16(const unsigned char* buffer, uint64_t first_bit, uint64_t bit_count,
                                     uint16_t initial) {
    uint16_t crc = initial;
    uint64_t i = first_bit, end = first_bit + bit_count;
    for (; i < end && (i % 8) != 0; ++i) // leading bits up to a byte boundary
        crc = crc16_bit(crc, (buffer[i / 8] >> (i % 8)) & 1u);
    const unsigned char* p = buffer + i / 8;
    uint64_t n = (end - i) / 8;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t w = uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24 |
                     uint64_t{p[4]} << 32 | uint64_t{p[5]} << 40 | uint64_t{p[6]} << 48 |
                     uint64_t{p[7]} << 56;
        w ^= crc;
        crc = static_cast<uint16_t>(CRC16_SLICES[7][w & 0xFF] ^ CRC16_SLICES[6][(w >> 8) & 0xFF] ^
                                    CRC16_SLICES[5][(w >> 16) & 0xFF] ^ CRC16_SLICES[4][(w >> 24) & 0xFF] ^
                                    CRC16_SLICES[3][(w >> 32) & 0xFF] ^ CRC16_SLICES[2][(w >> 40) & 0xFF] ^
                                    CRC16_SLICES[1][(w >> 48) & 0xFF] ^ CRC16_SLICES[0][w >> 56]);
    }
    for (; n > 0; --n, ++p)
        crc = static_cast<uint16_t>((crc >> 8) ^ CRC16_SLICES[0][(crc ^ *p) & 0xFF]);
    for (i += ((end - i) / 8) * 8; i < end; ++i) // trailing bits
        crc = crc16_bit(crc, (buffer[i / 8] >> (i % 8)) & 1u);
    return crc;
}

bool PGM_COMMON::check_extension(const std::string& path, const std::string& extension) {
    if (path.size() <= extension.size())
        return false;
    size_t dot = path.size() - extension.size() - 1;
    return path[dot] == '.' && gen_stricmp(path.substr(dot + 1), extension) == 0;
}

bool PGM_COMMON::compare_string(const std::string& a, const std::string& b, bool case_sensitive) {
    return case_sensitive ? a == b : gen_stricmp(a, b) == 0;
}

bool PGM_COMMON::convert_string_to_dword(const std::string& text, uint32_t& value) {
    value = 0;
    std::string t = gen_remove_leading_and_trailing_white_spaces(text);
    unsigned base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.erase(0, 2);
    }
    if (t.empty())
        return false;
    uint64_t v = 0;
    for (char c : t) {
        int u = std::toupper(static_cast<unsigned char>(c));
        unsigned digit;
        if (u >= '0' && u <= '9')
            digit = static_cast<unsigned>(u - '0');
        else if (base == 16 && u >= 'A' && u <= 'F')
            digit = static_cast<unsigned>(u - 'A' + 10);
        else
            return false;
        v = v * base + digit;
        if (v > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

std::string PGM_COMMON::convert_dword_to_string(uint32_t value, uint32_t invalid, bool show_invalid) {
    if (show_invalid && value == invalid)
        return "INVALID";
    return std::to_string(value);
}

std::string PGM_COMMON::get_rid_header_and_trailer_white_space_and_comment(const std::string& line) {
    return gen_remove_leading_and_trailing_white_spaces(strip_comment(line));
}

std::string PGM_COMMON::get_rid_white_space_and_comment(const std::string& line) {
    std::string out;
    for (char c : strip_comment(line))
        if (!std::isspace(static_cast<unsigned char>(c)))
            out += c;
    return out;
}
