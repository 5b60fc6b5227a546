// Radix-marked literals and fixed-width hex text.
#include "pgm_common.h"
#include "test_support.h"

TEST(PgmLiteral, ConvertsRadixMarkedAndPlainLiterals) {
    struct CASE {
        const char* text;
        uint64_t value;
    };
    const CASE cases[] = {
        {"'b0101", 5},
        {"4'b1010", 10},
        {"'B1_0000", 16},
        {"'d255", 255},
        {"8'd255", 255},
        {"'hFf", 255},
        {"32'hDEAD_BEEF", 0xDEADBEEFu},
        {"64'hFFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFFull},
        {"'d18446744073709551615", 0xFFFFFFFFFFFFFFFFull},
        {"12", 12},
        {"0", 0},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t value = 99;
        std::string message = "stale";
        EXPECT_TRUE(PGM_COMMON::convert_scientific_string_to_qword(c.text, value, message)) << message;
        EXPECT_EQ(c.value, value);
        EXPECT_EQ("", message);
    }
}

TEST(PgmLiteral, RefusesWithAMessageSayingWhy) {
    struct CASE {
        const char* text;
        const char* message;
    };
    const CASE cases[] = {
        {"'b0120", "invalid binary digit '2' in \"'b0120\""},
        {"'hFG", "invalid hexadecimal digit 'G' in \"'hFG\""},
        {"'d1a", "invalid decimal digit 'a' in \"'d1a\""},
        {"'b", "no digits in \"'b\""},
        {"", "no digits in \"\""},
        {"'x12", "unknown radix 'x' in \"'x12\" ('b, 'd or 'h)"},
        {"8'", "missing radix after ' in \"8'\" ('b, 'd or 'h)"},
        {"'b_1", "'_' is allowed only between digits in \"'b_1\""},
        // Values beyond 64 bits are refused, never wrapped.
        {"'h1_0000_0000_0000_0000", "value of \"'h1_0000_0000_0000_0000\" does not fit 64 bits"},
        {"18446744073709551616", "value of \"18446744073709551616\" does not fit 64 bits"},
        {"'b10000000000000000000000000000000000000000000000000000000000000000",
         "value of \"'b10000000000000000000000000000000000000000000000000000000000000000\" does not fit 64 "
         "bits"},
        // A width must hold the value.
        {"4'hF0", "value of \"4'hF0\" does not fit its width of 4 bits"},
        {"0'b1", "invalid width \"0\" in \"0'b1\" (1 to 64 bits)"},
        {"65'b1", "invalid width \"65\" in \"65'b1\" (1 to 64 bits)"},
        {"x'b1", "invalid width \"x\" in \"x'b1\" (1 to 64 bits)"},
        {"-1", "invalid decimal digit '-' in \"-1\""},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t value = 99;
        std::string message;
        EXPECT_FALSE(PGM_COMMON::convert_scientific_string_to_qword(c.text, value, message));
        EXPECT_EQ(c.message, message);
        EXPECT_EQ(0u, value);
    }
}

TEST(PgmLiteral, HexTextHasExactlyTheDigitsAsked) {
    EXPECT_EQ("00FF", PGM_COMMON::convert_qword_to_hex_string(0xFF, 4, false));
    EXPECT_EQ("0x1B", PGM_COMMON::convert_qword_to_hex_string(0xAB1B, 2, true)); // higher digits dropped
    EXPECT_EQ("F", PGM_COMMON::convert_qword_to_hex_string(0x1FF, 1, false));
    EXPECT_EQ("", PGM_COMMON::convert_qword_to_hex_string(7, 0, false));
    EXPECT_EQ("0000FEDCBA9876543210",
              PGM_COMMON::convert_qword_to_hex_string(0xFEDCBA9876543210ull, 20, false));
}
