// Vocabularies: counts, name tables, lookups in both directions, seen lists and the missing-value listing.
#include "gen.h"
#include "records/brix_data_manager.h"
#include "test_support.h"

#include <cctype>
#include <memory>
#include <set>

namespace {
struct ENUM_CASE {
    unsigned selector;
    unsigned max_constant;
    unsigned expected_count;
};

const ENUM_CASE ENUM_CASES[] = {
    {BRIX_ENUM_TYPE_FAMILY, BRIX_FAMILY_MAX, 14},
    {BRIX_ENUM_TYPE_DEVICE, BRIX_DEVICE_MAX, 55},
    {BRIX_ENUM_TYPE_BLOCK, BRIX_BLOCK_MAX, 69},
    {BRIX_ENUM_TYPE_DYN_DATA, BRIX_DYN_DATA_MAX, 37},
    {BRIX_ENUM_TYPE_OB_DATA, BRIX_OB_DATA_MAX, 340},
    {BRIX_ENUM_TYPE_FRAME, BRIX_FRAME_MAX, 19},
    {BRIX_ENUM_TYPE_PARAMETER, BRIX_PARAMETER_MAX, 75},
    {BRIX_ENUM_TYPE_INSTRUCTION, BRIX_INSTRUCTION_MAX, 17},
    {BRIX_ENUM_TYPE_ARGUMENT, BRIX_ARGUMENT_MAX, 35},
    {BRIX_ENUM_TYPE_RBA_CRAM, BRIX_RBA_CRAM_MAX, 19},
    {BRIX_ENUM_TYPE_CFF, BRIX_CFF_MAX, 9},
};

std::unique_ptr<bool[]> fresh_seen(unsigned selector) {
    return std::unique_ptr<bool[]>(new bool[BRIX_ENUM_DESCRIPTORS[selector].count]());
}
} // namespace

TEST(Vocabulary, EveryCountEqualsItsMaximumAndTheSelectorsAreInOrder) {
    ASSERT_EQ(11u, unsigned(BRIX_ENUM_TYPE_MAX));
    for (unsigned s = 0; s < BRIX_ENUM_TYPE_MAX; ++s) {
        const ENUM_CASE& c = ENUM_CASES[s];
        EXPECT_EQ(s, c.selector);
        EXPECT_EQ(c.expected_count, c.max_constant) << BRIX_ENUM_DESCRIPTORS[s].enum_name;
        EXPECT_EQ(c.expected_count, BRIX_ENUM_DESCRIPTORS[s].count) << BRIX_ENUM_DESCRIPTORS[s].enum_name;
    }
    EXPECT_EQ(76u, unsigned(PGM_RBA_MAX));
    EXPECT_EQ(size_t(PGM_RBA_MAX), std::size(PGM_RBA_TYPE_NAMES));
    EXPECT_EQ(19u, BRIX_RBA_CRAM_UNKNOWN);
    EXPECT_EQ(BRIX_RBA_CRAM_MAX, BRIX_RBA_CRAM_UNKNOWN);
}

// Value to name to value for every value of every selector; also the shared layout of the tables.
TEST(Vocabulary, EveryValueRoundTripsThroughItsName) {
    for (unsigned i = 0; i < BRIX_ENUM_TYPE_MAX; ++i) {
        const BRIX_ENUM_TYPE s = static_cast<BRIX_ENUM_TYPE>(i);
        const BRIX_ENUM_DESCRIPTOR& d = BRIX_ENUM_DESCRIPTORS[s];
        std::set<std::string> upper_names;
        for (unsigned v = 0; v < d.count; ++v) {
            std::string name;
            ASSERT_TRUE(BRIX_MANAGER::check_type_enum_supported(s, v, &name, nullptr))
                << d.enum_name << " " << v;
            unsigned back = 9999;
            ASSERT_TRUE(BRIX_MANAGER::check_type_name_supported(s, name, &back, nullptr)) << name;
            EXPECT_EQ(v, back) << d.enum_name << " " << name;
            EXPECT_TRUE(upper_names.insert(stl_upper(name)).second) << "duplicate name " << name;
        }
        unsigned first_dummy = s == BRIX_ENUM_TYPE_BLOCK ? 2 : 1;
        EXPECT_STREQ("", d.names[0]);
        EXPECT_STREQ("DUMMY1", d.names[first_dummy]);
        EXPECT_STREQ("DUMMY3", d.names[first_dummy + 2]);
    }
    EXPECT_STREQ("UNDEFINED", BRIX_BLOCK_TYPE_NAMES[1]);
    EXPECT_STREQ("", PGM_RBA_TYPE_NAMES[PGM_RBA_INVALID]);
    EXPECT_STREQ("CC_CS_0", PGM_RBA_TYPE_NAMES[1]);
}

// Constants and names come from one list: spot checks of constants against their fixed values (every
// database stores them, so they never change).
TEST(Vocabulary, ConstantsHaveTheirFixedValuesAndNames) {
    struct CASE {
        unsigned constant;
        unsigned value;
        const char* name;
        const char* const* table;
    };
    const CASE cases[] = {
        {BRIX_FAMILY_KESTREL_SECTOR, 11, "KESTREL_SECTOR", BRIX_FAMILY_TYPE_NAMES},
        {BRIX_DEVICE_KESTREL_D5, 54, "KESTREL_D5", BRIX_DEVICE_TYPE_NAMES},
        {BRIX_BLOCK_UNDEFINED, 1, "UNDEFINED", BRIX_BLOCK_TYPE_NAMES},
        {BRIX_BLOCK_CRAM, 37, "CRAM", BRIX_BLOCK_TYPE_NAMES},
        {BRIX_BLOCK_FW_PARAMS_EAST, 68, "FW_PARAMS_EAST", BRIX_BLOCK_TYPE_NAMES},
        {BRIX_DYN_DATA_SECTOR_GROUP_HALF, 36, "SECTOR_GROUP_HALF", BRIX_DYN_DATA_TYPE_NAMES},
        {BRIX_OB_DATA_JTAG_ID, 33, "JTAG_ID", BRIX_OB_DATA_TYPE_NAMES},
        {BRIX_OB_DATA_ERAM_HDR_SIZE, 339, "ERAM_HDR_SIZE", BRIX_OB_DATA_TYPE_NAMES},
        {BRIX_FRAME_KS_HIP_AVMM, 18, "KS_HIP_AVMM", BRIX_FRAME_TYPE_NAMES},
        {BRIX_PARAMETER_LUTRAM_COL_SIZE, 15, "LUTRAM_COL_SIZE", BRIX_PARAMETER_TYPE_NAMES},
        {BRIX_PARAMETER_COL_AS_FRAME, 54, "COL_AS_FRAME", BRIX_PARAMETER_TYPE_NAMES},
        {BRIX_INSTRUCTION_ERAM_SIZE, 16, "ERAM_SIZE", BRIX_INSTRUCTION_TYPE_NAMES},
        {BRIX_ARGUMENT_CLK_NTW_SEGMENTS, 34, "CLK_NTW_SEGMENTS", BRIX_ARGUMENT_TYPE_NAMES},
        {BRIX_RBA_CRAM_DUMMY1, 1, "DUMMY1", BRIX_RBA_CRAM_TYPE_NAMES},
        {BRIX_RBA_CRAM_FAKE_FLASH_IP, 18, "FAKE_FLASH_IP", BRIX_RBA_CRAM_TYPE_NAMES},
        {BRIX_CFF_OSCCFF, 8, "OSCCFF", BRIX_CFF_TYPE_NAMES},
        {PGM_RBA_TR_G2_AR, 75, "TR_G2_AR", PGM_RBA_TYPE_NAMES},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(c.value, c.constant) << c.name;
        EXPECT_STREQ(c.name, c.table[c.constant]);
    }
}

// Every database carries the signature and a reader refuses any other: its value is fixed.
TEST(Vocabulary, SignatureIsTheFixedValue) {
    std::string signature = BRIX_CONST_ENUM_CSV_MD5;
    EXPECT_EQ("b2f6ade7dea4049a6da16bbcb3e9f841", signature);
    ASSERT_EQ(32u, signature.size());
    for (char c : signature)
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f')) << signature;
}

TEST(Vocabulary, NameLookupIgnoresCaseAndFindsTheFirstEqualEntry) {
    struct CASE {
        BRIX_ENUM_TYPE selector;
        const char* name;
        bool found;
        unsigned value;
    };
    const CASE cases[] = {
        {BRIX_ENUM_TYPE_FAMILY, "kestrel_sector", true, 11},
        {BRIX_ENUM_TYPE_FAMILY, "Granite", true, 4},
        {BRIX_ENUM_TYPE_FAMILY, "", true, 0},
        {BRIX_ENUM_TYPE_CFF, "", true, 0},
        {BRIX_ENUM_TYPE_FAMILY, "DUMMY2", true, 2},
        {BRIX_ENUM_TYPE_BLOCK, "dummy2", true, 3},
        {BRIX_ENUM_TYPE_BLOCK, "undefined", true, 1},
        {BRIX_ENUM_TYPE_FAMILY, "GRANITE_D1", false, 0},
        {BRIX_ENUM_TYPE_FAMILY, "GRANITE ", false, 0},
        {BRIX_ENUM_TYPE_OB_DATA, "eram_hdr_size", true, 339},
    };
    for (const CASE& c : cases) {
        unsigned value = 777;
        EXPECT_EQ(c.found, BRIX_MANAGER::check_type_name_supported(c.selector, c.name, &value, nullptr))
            << c.name;
        EXPECT_EQ(c.found ? c.value : 777u, value) << c.name;
    }
}

TEST(Vocabulary, UnknownValueLeavesNameAndSeenListUnchanged) {
    auto seen = fresh_seen(BRIX_ENUM_TYPE_FAMILY);
    std::string name = "unchanged";
    EXPECT_FALSE(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, 14, &name, seen.get()));
    EXPECT_FALSE(
        BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, 0xFFFFFFFF, &name, seen.get()));
    EXPECT_EQ("unchanged", name);
    EXPECT_TRUE(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, 13, &name, seen.get()));
    EXPECT_EQ("KESTREL_IO", name);
    for (unsigned v = 0; v < 13; ++v)
        EXPECT_FALSE(seen[v]) << v;
    EXPECT_TRUE(seen[13]);
    // Without buffers the lookup only answers.
    EXPECT_TRUE(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_CFF, 8, nullptr, nullptr));
    EXPECT_FALSE(BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_CFF, "PLL", nullptr, seen.get()));
}

TEST(Vocabulary, SecondMarkInASeenListIsAnErrorNamingTheValue) {
    auto seen = fresh_seen(BRIX_ENUM_TYPE_FAMILY);
    EXPECT_TRUE(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, 10, nullptr, seen.get()));
    EXPECT_BRIX_ERROR(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, 10, nullptr, seen.get()),
                      "KESTREL");
    // The name lookup reports the name as passed in, whichever lookup marked the value first.
    EXPECT_BRIX_ERROR(
        BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_FAMILY, "kestrel", nullptr, seen.get()),
        "kestrel");
    EXPECT_TRUE(
        BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_FAMILY, "basalt", nullptr, seen.get()));
    EXPECT_BRIX_ERROR(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, 5, nullptr, seen.get()),
                      "BASALT");
}

TEST(Vocabulary, SelectorOutOfRangeIsAnError) {
    bool seen[1] = {false};
    EXPECT_BRIX_ERROR(BRIX_MANAGER::utst_print_missing_enum(BRIX_ENUM_TYPE_MAX, seen),
                      "brix_type < BRIX_ENUM_TYPE_MAX");
    EXPECT_BRIX_ERROR(BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_MAX, 0, nullptr, nullptr),
                      "brix_type < BRIX_ENUM_TYPE_MAX");
    EXPECT_BRIX_ERROR(BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_MAX, "", nullptr, nullptr),
                      "brix_type < BRIX_ENUM_TYPE_MAX");
}

TEST(Vocabulary, MissingValuesArePrintedInValueOrder) {
    auto seen = fresh_seen(BRIX_ENUM_TYPE_CFF);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(BRIX_MANAGER::utst_print_missing_enum(BRIX_ENUM_TYPE_CFF, seen.get()));
    EXPECT_EQ("\nMissing \nMissing DUMMY1\nMissing DUMMY2\nMissing DUMMY3\nMissing PLLCFF\nMissing IOCFF"
              "\nMissing VRCFF\nMissing ADCCFF\nMissing OSCCFF\n",
              testing::internal::GetCapturedStdout());

    for (unsigned v = 0; v < BRIX_CFF_MAX; ++v)
        if (v != BRIX_CFF_VRCFF)
            BRIX_MANAGER::check_type_enum_supported(BRIX_ENUM_TYPE_CFF, v, nullptr, seen.get());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(BRIX_MANAGER::utst_print_missing_enum(BRIX_ENUM_TYPE_CFF, seen.get()));
    EXPECT_EQ("\nMissing VRCFF\n", testing::internal::GetCapturedStdout());

    BRIX_MANAGER::check_type_name_supported(BRIX_ENUM_TYPE_CFF, "vrcff", nullptr, seen.get());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(BRIX_MANAGER::utst_print_missing_enum(BRIX_ENUM_TYPE_CFF, seen.get()));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(Vocabulary, CompareStringWithAndWithoutCase) {
    struct CASE {
        const char* a;
        const char* b;
        bool case_sensitive;
        bool equal;
    };
    const CASE cases[] = {
        {"CRAM", "CRAM", true, true},    {"CRAM", "cram", true, false}, {"CRAM", "cram", false, true},
        {"CRAM", "CRAM2", false, false}, {"", "", true, true},          {"", "A", false, false},
    };
    for (const CASE& c : cases)
        EXPECT_EQ(c.equal, BRIX_MANAGER::compare_string(c.a, c.b, c.case_sensitive)) << c.a << " " << c.b;
}
