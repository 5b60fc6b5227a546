// Programmer common routines: CRC-16, extension checks, number and text helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class PGM_COMMON {
  public:
    // CRC-16/MODBUS (reflected polynomial 0xA001, no final XOR) over bit_count bits of buffer starting at
    // first_bit; bit i is bit i mod 8 of byte i / 8. Whole bytes go through tables (eight at a time),
    // leftover bits one by one.
    static uint16_t calculate_crc16(const unsigned char* buffer, uint64_t first_bit, uint64_t bit_count,
                                    uint16_t initial);
    // The plain bit-by-bit definition, kept as the reference the fast form is tested against.
    static uint16_t calculate_crc16_bitwise(const unsigned char* buffer, uint64_t first_bit,
                                            uint64_t bit_count, uint16_t initial);
    // True when path ends in "." + extension (case ignored).
    static bool check_extension(const std::string& path, const std::string& extension);
    // Equality, with or without regard to case.
    static bool compare_string(const std::string& a, const std::string& b, bool case_sensitive);
    // Decimal, or hexadecimal with a "0x"/"0X" prefix; false (and value 0) when the text is not a number
    // that fits 32 bits.
    static bool convert_string_to_dword(const std::string& text, uint32_t& value);
    // Decimal text of value; with value == invalid and show_invalid, the text "INVALID".
    static std::string convert_dword_to_string(uint32_t value, uint32_t invalid, bool show_invalid);
    // Radix-marked literal: [width]'b…, [width]'d…, [width]'h… (radix letter in either case, '_' between
    // digits allowed), or a plain decimal number. True and the value, or false and a message saying why.
    static bool convert_scientific_string_to_qword(const std::string& text, uint64_t& value,
                                                   std::string& message);
    // Upper-case hexadecimal of value with exactly digit_count digits (higher digits dropped), "0x" prefix
    // when prefix is set.
    static std::string convert_qword_to_hex_string(uint64_t value, unsigned digit_count, bool prefix);
    // The line without its comment ("#" or "//" to the end of the line) and without leading and trailing
    // white space.
    static std::string get_rid_header_and_trailer_white_space_and_comment(const std::string& line);
    // The line without its comment and without any white space.
    static std::string get_rid_white_space_and_comment(const std::string& line);
};
