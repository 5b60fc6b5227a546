// Radix-marked literal parsing and fixed-width hex text.
#include "pgm_common.h"

#include <cstdint>
#include <limits>

namespace {

// Value of one digit in the radix, or -1.
int digit_value(char c, unsigned radix) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return (v >= 0 && static_cast<unsigned>(v) < radix) ? v : -1;
}

const char* radix_name(unsigned radix) {
    switch (radix) {
    case 2:
        return "binary";
    case 16:
        return "hexadecimal";
    default:
        return "decimal";
    }
}

// Digits of one radix with '_' allowed between them; false and a message when the digits are missing or
// invalid or the value does not fit 64 bits.
bool parse_digits(const std::string& text, const std::string& digits, unsigned radix, uint64_t& value,
                  std::string& message) {
    value = 0;
    if (digits.empty()) {
        message = "no digits in \"" + text + "\"";
        return false;
    }
    if (digits.front() == '_' || digits.back() == '_') {
        message = "'_' is allowed only between digits in \"" + text + "\"";
        return false;
    }
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    for (char c : digits) {
        if (c == '_')
            continue;
        int d = digit_value(c, radix);
        if (d < 0) {
            message = std::string("invalid ") + radix_name(radix) + " digit '" + c + "' in \"" + text + "\"";
            return false;
        }
        if (value > (max - static_cast<uint64_t>(d)) / radix) {
            message = "value of \"" + text + "\" does not fit 64 bits";
            return false;
        }
        value = value * radix + static_cast<uint64_t>(d);
    }
    return true;
}

} // namespace

bool PGM_COMMON::convert_scientific_string_to_qword(const std::string& text, uint64_t& value,
                                                    std::string& message) {
    value = 0;
    message.clear();
    size_t mark = text.find('\'');
    if (mark == std::string::npos) {
        uint64_t v = 0;
        if (!parse_digits(text, text, 10, v, message))
            return false;
        value = v;
        return true;
    }

    // [width]'<radix><digits>
    unsigned width = 0;
    std::string width_text = text.substr(0, mark);
    if (!width_text.empty()) {
        uint64_t w = 0;
        std::string width_message;
        if (!parse_digits(text, width_text, 10, w, width_message) || w == 0 || w > 64) {
            message = "invalid width \"" + width_text + "\" in \"" + text + "\" (1 to 64 bits)";
            return false;
        }
        width = static_cast<unsigned>(w);
    }
    if (mark + 1 >= text.size()) {
        message = "missing radix after ' in \"" + text + "\" ('b, 'd or 'h)";
        return false;
    }
    unsigned radix = 0;
    switch (text[mark + 1]) {
    case 'b':
    case 'B':
        radix = 2;
        break;
    case 'd':
    case 'D':
        radix = 10;
        break;
    case 'h':
    case 'H':
        radix = 16;
        break;
    default:
        message = std::string("unknown radix '") + text[mark + 1] + "' in \"" + text + "\" ('b, 'd or 'h)";
        return false;
    }
    uint64_t v = 0;
    if (!parse_digits(text, text.substr(mark + 2), radix, v, message))
        return false;
    if (width > 0 && width < 64 && (v >> width) != 0) {
        message = "value of \"" + text + "\" does not fit its width of " + std::to_string(width) + " bits";
        return false;
    }
    value = v;
    return true;
}

std::string PGM_COMMON::convert_qword_to_hex_string(uint64_t value, unsigned digit_count, bool prefix) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text = prefix ? "0x" : "";
    size_t start = text.size();
    text.resize(start + digit_count, '0');
    // Lowest digit last; digits beyond the 16 of a 64-bit value stay '0'.
    for (unsigned i = 0; i < digit_count && i < 16; ++i)
        text[start + digit_count - 1 - i] = DIGITS[(value >> (4 * i)) & 0xF];
    return text;
}
