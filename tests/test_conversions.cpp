// Number and hex conversions, argument rows, spare-row frame conversions, option-bit values, record searches
// and side-file paths.
#include "gen.h"
#include "records/brix_data_manager.h"
#include "test_support.h"

#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>

// ---- convert_string_to_value ----------------------------------------------------------------------------

TEST(Conversions, StringToValue) {
    struct CASE {
        const char* text;
        bool valid;
        unsigned value; // with the default 7
    };
    const CASE cases[] = {
        {"0x1f", true, 31},
        {"0xabc", true, 0xABC},
        {"0xAbC", true, 0xABC},        // hex digits in either case
        {"0x0000000000FF", true, 255}, // leading zeros do not count against the 32 bits
        {"0123", true, 123},           // decimal despite the leading zero
        {"", true, 7},
        {"4294967295", true, 0xFFFFFFFF},
        {"0xFFFFFFFF", true, 0xFFFFFFFF},
        {"0X1F", false, 7},
        {"12a", false, 7},
        {"0x", false, 7},
        {"0x1g", false, 7},
        {"-1", false, 7},
        {"+5", false, 7},
        {"0x-1", false, 7},
        {"0x+1", false, 7},
        {"5 ", false, 7},
        {" 5", false, 7},
        {"4294967296", false, 7}, // one past 32 bits must not wrap to 0
        {"0x100000000", false, 7},
        {"99999999999999999999999", false, 7},
    };
    const unsigned default_value = 7;
    for (const CASE& c : cases) {
        bool ok = !c.valid;
        EXPECT_EQ(c.value, BRIX_MANAGER::convert_string_to_value(c.text, false, &ok, &default_value))
            << c.text;
        EXPECT_EQ(c.valid, ok) << c.text;
        if (c.valid)
            EXPECT_EQ(c.text[0] ? c.value : 0u, BRIX_MANAGER::convert_string_to_value(c.text, false))
                << c.text;
        else
            EXPECT_BRIX_ERROR(BRIX_MANAGER::convert_string_to_value(c.text, false),
                              "Invalid string to integer conversion");
    }
    EXPECT_BRIX_ERROR(BRIX_MANAGER::convert_string_to_value("", true), "!no_empty || !string.empty()");
    EXPECT_EQ(5u, BRIX_MANAGER::convert_string_to_value("5", true));
}

// ---- convert_hex_string_to_byte_array -------------------------------------------------------------------

TEST(Conversions, HexStringToByteArray) {
    struct CASE {
        const char* hex;
        unsigned byte_size;
        bool no_empty;
        std::vector<unsigned char> bytes; // expected bytes when error is empty
        const char* error;
    };
    const char* invalid = "Invalid hex string to BYTE array conversion";
    const CASE cases[] = {
        {"1234", 4, true, {0x34, 0x12, 0x00, 0x00}, ""},
        {"ABC", 2, true, {0xBC, 0x0A}, ""},
        {"F", 1, true, {0x0F}, ""},
        {"", 3, false, {0, 0, 0}, ""},
        {"", 3, true, {}, "!no_empty || !hex_string.empty()"},
        {"12345", 2, true, {}, "BRIX_N_UNITS(hex_string.size(), 2) <= byte_size"},
        {"12g4", 2, true, {}, invalid},
        {"ab", 1, true, {}, invalid}, // lower case is not accepted
        {"0x12", 2, true, {}, invalid},
    };
    for (const CASE& c : cases) {
        if (c.error[0] != '\0') {
            EXPECT_BRIX_ERROR(BRIX_MANAGER::convert_hex_string_to_byte_array(c.hex, c.byte_size, c.no_empty),
                              c.error);
            continue;
        }
        std::unique_ptr<unsigned char[]> bytes(
            BRIX_MANAGER::convert_hex_string_to_byte_array(c.hex, c.byte_size, c.no_empty));
        EXPECT_EQ(c.bytes, std::vector<unsigned char>(bytes.get(), bytes.get() + c.byte_size)) << c.hex;
    }
}

TEST(Conversions, ValueToString) {
    struct CASE {
        unsigned value;
        unsigned byte_count;
        bool prefix;
        const char* text;
    };
    const CASE cases[] = {
        {0x1234, 1, true, "0x34"},
        {0x1234, 4, false, "00001234"},
        {0xDEADBEEF, 3, false, "ADBEEF"},
        {0, 2, true, "0x0000"},
    };
    for (const CASE& c : cases)
        EXPECT_EQ(c.text, BRIX_MANAGER::convert_value_to_string(c.value, c.byte_count, c.prefix));
    for (unsigned byte_count : {0u, 5u, 0x80000001u})
        EXPECT_BRIX_ERROR(BRIX_MANAGER::convert_value_to_string(1, byte_count, true),
                          "count != 0 && count <= 8");
}

// ---- Argument rows --------------------------------------------------------------------------------------

namespace {
// An argument with one row per entry of rows, each row of width units of unit_size bytes.
BRIX_ARG* new_arg(unsigned unit_size, const std::vector<std::vector<unsigned>>& rows) {
    auto* list = new BRIX_ARG_DATA_LIST;
    for (const std::vector<unsigned>& row : rows) {
        auto* bytes = new unsigned char[row.size() * unit_size];
        for (size_t i = 0; i < row.size(); ++i) {
            if (unit_size == 1)
                bytes[i] = static_cast<uint8_t>(row[i]);
            else if (unit_size == 2)
                reinterpret_cast<uint16_t*>(bytes)[i] = static_cast<uint16_t>(row[i]);
            else
                reinterpret_cast<uint32_t*>(bytes)[i] = row[i];
        }
        list->push_back(new BRIX_ARG_DATA(bytes, static_cast<unsigned>(row.size()), unit_size));
    }
    return new BRIX_ARG(BRIX_ARGUMENT_CRAM_SPARE_ROWS, BRIX_BLOCK_CRAM, list);
}
} // namespace

TEST(ArgumentRows, TypedRowsPointIntoTheRecords) {
    std::unique_ptr<BRIX_ARG> arg(new_arg(4, {{10, 2}, {20, 3}}));
    unsigned width = 0;
    std::vector<uint32_t*> rows = BRIX_MANAGER::get_uint_arg_list(arg.get(), width);
    EXPECT_EQ(2u, width);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(reinterpret_cast<uint32_t*>((*arg->get_data())[1]->get_data(nullptr, nullptr)), rows[1]);
    EXPECT_EQ(20u, rows[1][0]);
    EXPECT_EQ(3u, rows[1][1]);

    std::unique_ptr<BRIX_ARG> words(new_arg(2, {{0xBEEF}}));
    EXPECT_EQ(0xBEEF, BRIX_MANAGER::get_word_arg_list(words.get(), width)[0][0]);
    EXPECT_EQ(1u, width);
    std::unique_ptr<BRIX_ARG> bytes(new_arg(1, {{1, 2, 3}, {4, 5, 6}}));
    EXPECT_EQ(6, BRIX_MANAGER::get_byte_arg_list(bytes.get(), width)[1][2]);
    EXPECT_EQ(3u, width);
    unsigned unit_size = 0;
    EXPECT_EQ(1u, BRIX_MANAGER::get_unknown_arg_list(words.get(), width, unit_size).size());
    EXPECT_EQ(2u, unit_size);
}

TEST(ArgumentRows, MalformedArgumentsAreErrors) {
    struct CASE {
        const char* what;
        std::function<BRIX_ARG*()> make;
        std::function<void(const BRIX_ARG*)> extract;
        const char* error;
    };
    unsigned width = 0;
    auto as_uint = [&](const BRIX_ARG* a) { BRIX_MANAGER::get_uint_arg_list(a, width); };
    auto as_word = [&](const BRIX_ARG* a) { BRIX_MANAGER::get_word_arg_list(a, width); };
    auto as_byte = [&](const BRIX_ARG* a) { BRIX_MANAGER::get_byte_arg_list(a, width); };
    const CASE cases[] = {
        {"null argument", [] { return nullptr; }, as_uint, "arg != NULL"},
        {"no rows", [] { return new BRIX_ARG(1, 2, nullptr); }, as_uint,
         "data_list != NULL && data_list->size() > 0"},
        {"empty rows", [] { return new BRIX_ARG(1, 2, new BRIX_ARG_DATA_LIST); }, as_uint,
         "data_list != NULL && data_list->size() > 0"},
        {"empty row", [] { return new BRIX_ARG(1, 2, new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA}); }, as_uint,
         "byte_data != NULL && internal_width > 0 && (internal_unit_size == 1 || internal_unit_size == 2 || "
         "internal_unit_size == 4)"},
        {"widths differ",
         [] {
             return new_arg(4, {{1, 2}, {3}});
         },
         as_uint, "width == internal_width"},
        {"unit sizes differ",
         [] {
             BRIX_ARG* arg = new_arg(4, {{1, 2}});
             arg->get_data()->push_back(new BRIX_ARG_DATA(new unsigned char[2](), 2, 1));
             return arg;
         },
         as_uint, "unit_size == internal_unit_size"},
        {"uint rows read as words", [] { return new_arg(4, {{1}}); }, as_word, "unit_size == 2"},
        {"uint rows read as bytes", [] { return new_arg(4, {{1}}); }, as_byte, "unit_size == 1"},
        {"byte rows read as uints", [] { return new_arg(1, {{1}}); }, as_uint, "unit_size == 4"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<BRIX_ARG> arg(c.make());
        EXPECT_BRIX_ERROR(c.extract(arg.get()), c.error);
    }
}

// ---- Spare rows -----------------------------------------------------------------------------------------

TEST(SpareRows, FramesConvertAroundTheSpareRanges) {
    std::unique_ptr<BRIX_ARG> spare(new_arg(4, {{10, 2}, {20, 3}}));
    struct CASE {
        unsigned bs_frame;
        unsigned sof_frame;
    };
    for (CASE c : {CASE{0, 0}, CASE{9, 9}, CASE{10, 12}, CASE{17, 19}, CASE{18, 23}, CASE{30, 35}}) {
        EXPECT_EQ(c.sof_frame, BRIX_MANAGER::convert_bs_frame_to_sof_frame(spare.get(), c.bs_frame))
            << c.bs_frame;
        EXPECT_EQ(c.bs_frame, BRIX_MANAGER::convert_sof_frame_to_bs_frame(spare.get(), c.sof_frame))
            << c.sof_frame;
    }
    EXPECT_EQ(5u, BRIX_MANAGER::get_total_spare_row(spare.get()));
    for (unsigned inside : {10u, 11u, 20u, 22u})
        EXPECT_BRIX_ERROR(BRIX_MANAGER::convert_sof_frame_to_bs_frame(spare.get(), inside),
                          "sof_frame > ((*iter)[0] + (*iter)[1] - 1)");
}

TEST(SpareRows, NoTableMeansNoSpareRowsAndTheTableNeedsPairs) {
    EXPECT_EQ(0u, BRIX_MANAGER::get_total_spare_row(nullptr));
    EXPECT_EQ(17u, BRIX_MANAGER::convert_bs_frame_to_sof_frame(nullptr, 17));
    EXPECT_EQ(17u, BRIX_MANAGER::convert_sof_frame_to_bs_frame(nullptr, 17));
    // An empty range at frame 0 contains no frame.
    std::unique_ptr<BRIX_ARG> empty_range(new_arg(4, {{0, 0}}));
    EXPECT_EQ(0u, BRIX_MANAGER::convert_sof_frame_to_bs_frame(empty_range.get(), 0));
    std::unique_ptr<BRIX_ARG> triples(new_arg(4, {{10, 2, 0}}));
    EXPECT_BRIX_ERROR(BRIX_MANAGER::get_total_spare_row(triples.get()), "width == 2");
    EXPECT_BRIX_ERROR(BRIX_MANAGER::convert_bs_frame_to_sof_frame(triples.get(), 1), "width == 2");
    EXPECT_BRIX_ERROR(BRIX_MANAGER::convert_sof_frame_to_bs_frame(triples.get(), 1), "width == 2");
}

// ---- Option-bit values ----------------------------------------------------------------------------------

namespace {
BRIX_OB_DATA* new_ob(unsigned type, unsigned length, std::vector<unsigned char> bytes) {
    auto* data = new unsigned char[bytes.size()];
    std::memcpy(data, bytes.data(), bytes.size());
    return new BRIX_OB_DATA(type, 0, 0, length, 0, data);
}
} // namespace

TEST(OptionBitValue, MatchingRecordsAreConcatenatedFromBitZero) {
    BRIX_OB_DATA_LIST list{new_ob(BRIX_OB_DATA_POF_ID, 3, {0x05}), // bits 1 0 1
                           new_ob(BRIX_OB_DATA_JTAG_ID, 8, {0xFF}),
                           new_ob(BRIX_OB_DATA_POF_ID, 2, {0x03})}; // bits 1 1 at positions 3 and 4
    EXPECT_EQ(0x1Du, BRIX_MANAGER::get_ob_value(BRIX_OB_DATA_POF_ID, &list));
    EXPECT_EQ(0xFFu, BRIX_MANAGER::get_ob_value(BRIX_OB_DATA_JTAG_ID, &list));
    EXPECT_EQ(0u, BRIX_MANAGER::get_ob_value(BRIX_OB_DATA_REV_ID, &list));
    // A 65th bit wraps to position 0.
    list.push_back(new_ob(BRIX_OB_DATA_REV_ID, 65, {0, 0, 0, 0, 0, 0, 0, 0x80, 0x01}));
    EXPECT_EQ(0x8000000000000001u, BRIX_MANAGER::get_ob_value(BRIX_OB_DATA_REV_ID, &list));
    list.push_back(new BRIX_OB_DATA); // type not set
    EXPECT_BRIX_ERROR(BRIX_MANAGER::get_ob_value(BRIX_OB_DATA_MAX, &list), "ob_data_type < BRIX_OB_DATA_MAX");
    EXPECT_BRIX_ERROR(BRIX_MANAGER::get_ob_value(BRIX_OB_DATA_POF_ID, nullptr), "ob_data_list != NULL");
    for (BRIX_OB_DATA* ob : list)
        delete ob;
}

// ---- Searches -------------------------------------------------------------------------------------------

TEST(Searches, FirstRecordOfTheTypeOrNull) {
    BRIX_BLOCK_LIST blocks{new BRIX_BLOCK(BRIX_BLOCK_CRAM, true), new BRIX_BLOCK(BRIX_BLOCK_ERAM, false),
                           new BRIX_BLOCK(BRIX_BLOCK_CRAM, false), new BRIX_BLOCK};
    EXPECT_EQ(blocks[0], BRIX_MANAGER::search_block_from_list(BRIX_BLOCK_CRAM, &blocks));
    EXPECT_EQ(blocks[1], BRIX_MANAGER::search_block_from_list(BRIX_BLOCK_ERAM, &blocks));
    EXPECT_EQ(nullptr, BRIX_MANAGER::search_block_from_list(BRIX_BLOCK_POSTAMBLE, &blocks));

    BRIX_DYN_DATA_LIST dyns{new BRIX_DYN_DATA(BRIX_DYN_DATA_PREAMBLE, 0, 0, 1, 0, false, false),
                            new BRIX_DYN_DATA(BRIX_DYN_DATA_JTAG_ID, 1, 0, 1, 0, false, false),
                            new BRIX_DYN_DATA};
    EXPECT_EQ(dyns[1], BRIX_MANAGER::search_dyn_data_from_list(BRIX_DYN_DATA_JTAG_ID, &dyns));
    EXPECT_EQ(nullptr, BRIX_MANAGER::search_dyn_data_from_list(BRIX_DYN_DATA_IOCSR, &dyns));

    BRIX_INSTRUCTION_LIST instructions{new BRIX_INSTRUCTION(BRIX_INSTRUCTION_CLEAR_AR, 1, 0, 0, 0, 0, 0),
                                       new BRIX_INSTRUCTION(BRIX_INSTRUCTION_MAX, 2, 0, 0, 0, 0, 0)};
    EXPECT_EQ(instructions[0],
              BRIX_MANAGER::search_instruction_from_list(BRIX_INSTRUCTION_CLEAR_AR, &instructions));
    EXPECT_EQ(nullptr, BRIX_MANAGER::search_instruction_from_list(BRIX_INSTRUCTION_SKIP_DOWN, &instructions));

    BRIX_OB_DATA_LIST obs{new_ob(BRIX_OB_DATA_POF_ID, 1, {1}), new BRIX_OB_DATA};
    EXPECT_EQ(obs[0], BRIX_MANAGER::search_ob_data_from_list(BRIX_OB_DATA_POF_ID, &obs));
    EXPECT_EQ(nullptr, BRIX_MANAGER::search_ob_data_from_list(BRIX_OB_DATA_JTAG_ID, &obs));

    // A record found with a type outside its vocabulary is an error, as is a missing list.
    struct CASE {
        std::function<void()> search;
        const char* error;
    };
    const CASE cases[] = {
        {[&] { BRIX_MANAGER::search_block_from_list(BRIX_BLOCK_MAX, &blocks); },
         "block->get_block_type() < BRIX_BLOCK_MAX"},
        {[&] { BRIX_MANAGER::search_dyn_data_from_list(BRIX_DYN_DATA_MAX, &dyns); },
         "dyn_data->get_dyn_data_type() < BRIX_DYN_DATA_MAX"},
        {[&] { BRIX_MANAGER::search_instruction_from_list(BRIX_INSTRUCTION_MAX, &instructions); },
         "instr->get_instruction_type() < BRIX_INSTRUCTION_MAX"},
        {[&] { BRIX_MANAGER::search_ob_data_from_list(BRIX_OB_DATA_MAX, &obs); },
         "ob_data->get_ob_data_type() < BRIX_OB_DATA_MAX"},
        {[] { BRIX_MANAGER::search_block_from_list(BRIX_BLOCK_CRAM, nullptr); }, "block_list != NULL"},
        {[] { BRIX_MANAGER::search_dyn_data_from_list(BRIX_DYN_DATA_JTAG_ID, nullptr); },
         "dyn_data_list != NULL"},
        {[] { BRIX_MANAGER::search_instruction_from_list(BRIX_INSTRUCTION_CLEAR_AR, nullptr); },
         "instruction_list != NULL"},
        {[] { BRIX_MANAGER::search_ob_data_from_list(BRIX_OB_DATA_POF_ID, nullptr); },
         "ob_data_list != NULL"},
        {[] { BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_MRAM_INFO, nullptr); },
         "argument_list != NULL"},
        {[] { BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_DRAS, nullptr); },
         "parameter_list != NULL"},
    };
    for (const CASE& c : cases)
        EXPECT_BRIX_ERROR(c.search(), c.error);

    for (auto* b : blocks)
        delete b;
    for (auto* d : dyns)
        delete d;
    for (auto* i : instructions)
        delete i;
    for (auto* o : obs)
        delete o;
}

// The look-ups take the vocabularies' own types: a record type and a block type given the wrong way round, or
// a plain number, do not compile.
static_assert(std::is_invocable_v<decltype(&BRIX_MANAGER::search_parameter_from_list), BRIX_PARAMETER_TYPE,
                                  const BRIX_PARAMETER_LIST*, BRIX_BLOCK_TYPE>);
static_assert(!std::is_invocable_v<decltype(&BRIX_MANAGER::search_parameter_from_list), BRIX_BLOCK_TYPE,
                                   const BRIX_PARAMETER_LIST*, BRIX_PARAMETER_TYPE>);
static_assert(!std::is_invocable_v<decltype(&BRIX_MANAGER::search_argument_from_list), BRIX_BLOCK_TYPE,
                                   const BRIX_ARG_LIST*, BRIX_ARGUMENT_TYPE>);
static_assert(
    !std::is_invocable_v<decltype(&BRIX_MANAGER::search_block_from_list), unsigned, const BRIX_BLOCK_LIST*>);
static_assert(!std::is_invocable_v<decltype(&BRIX_MANAGER::get_vantrel_cram_map_path), BRIX_RBA_CRAM_TYPE,
                                   BRIX_FAMILY_TYPE>);
static_assert(!std::is_invocable_v<decltype(&BRIX_MANAGER::check_type_name_supported), unsigned,
                                   const std::string&, unsigned*, bool*>);

TEST(Searches, ArgumentsAndParametersMatchTheBlockUnlessAnyBlockIsAsked) {
    BRIX_PARAMETER_LIST parameters{new BRIX_PARAMETER(BRIX_PARAMETER_DRAS, 1, BRIX_BLOCK_ERAM, nullptr),
                                   new BRIX_PARAMETER(BRIX_PARAMETER_DRAS, 1, BRIX_BLOCK_CRAM, nullptr),
                                   new BRIX_PARAMETER};
    BRIX_ARG_LIST arguments{new BRIX_ARG(BRIX_ARGUMENT_MRAM_INFO, BRIX_BLOCK_ERAM, nullptr),
                            new BRIX_ARG(BRIX_ARGUMENT_MRAM_INFO, BRIX_BLOCK_CRAM, nullptr), new BRIX_ARG};
    struct CASE {
        BRIX_BLOCK_TYPE block;
        int index; // of the record found, -1 for none
    };
    for (CASE c : {CASE{BRIX_BLOCK_MAX, 0}, CASE{BRIX_BLOCK_CRAM, 1}, CASE{BRIX_BLOCK_ERAM, 0},
                   CASE{BRIX_BLOCK_IOCSR, -1}}) {
        EXPECT_EQ(c.index < 0 ? nullptr : parameters[c.index],
                  BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_DRAS, &parameters, c.block))
            << c.block;
        EXPECT_EQ(c.index < 0 ? nullptr : arguments[c.index],
                  BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_MRAM_INFO, &arguments, c.block))
            << c.block;
    }
    EXPECT_EQ(parameters[0], BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_DRAS, &parameters));
    EXPECT_EQ(nullptr, BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_LUTRAM_INFO, &arguments));
    EXPECT_BRIX_ERROR(BRIX_MANAGER::search_parameter_from_list(BRIX_PARAMETER_MAX, &parameters),
                      "parameter->get_parameter_type() < BRIX_PARAMETER_MAX");
    EXPECT_BRIX_ERROR(BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_MAX, &arguments),
                      "arg->get_arg_type() < BRIX_ARGUMENT_MAX");
    for (auto* p : parameters)
        delete p;
    for (auto* a : arguments)
        delete a;
}

// ---- Paths ----------------------------------------------------------------------------------------------

TEST(SideFilePaths, NamesAreLowerCaseUnderTheUnshippedDataDirectory) {
    std::string dir = gen_get_unshipped_data_fullpath() + "pgm_db/";
    EXPECT_EQ(dir + "granite_m_cram.map",
              BRIX_MANAGER::get_vantrel_cram_map_path(BRIX_FAMILY_GRANITE, BRIX_RBA_CRAM_M));
    EXPECT_EQ(dir + "harrier_fake_flash_ip_cram.map",
              BRIX_MANAGER::get_vantrel_cram_map_path(BRIX_FAMILY_HARRIER, BRIX_RBA_CRAM_FAKE_FLASH_IP));
    EXPECT_EQ(dir + "harrier_phantomless_unmask.txt",
              BRIX_MANAGER::get_vantrel_phantomless_path(BRIX_FAMILY_HARRIER, "unmask", "txt"));
    EXPECT_EQ(dir + "harrier_phantomless_Mask",
              BRIX_MANAGER::get_vantrel_phantomless_path(BRIX_FAMILY_HARRIER, "Mask", ""));

    const char* family_text = "check_type_enum_supported(BRIX_ENUM_TYPE_FAMILY, family, &temp)";
    EXPECT_BRIX_ERROR(BRIX_MANAGER::get_vantrel_cram_map_path(BRIX_FAMILY_MAX, BRIX_RBA_CRAM_M), family_text);
    EXPECT_BRIX_ERROR(BRIX_MANAGER::get_vantrel_phantomless_path(BRIX_FAMILY_MAX, "mask", "txt"),
                      family_text);
    EXPECT_BRIX_ERROR(BRIX_MANAGER::get_vantrel_cram_map_path(BRIX_FAMILY_GRANITE, BRIX_RBA_CRAM_UNKNOWN),
                      "check_type_enum_supported(BRIX_ENUM_TYPE_RBA_CRAM, block, &temp)");
}
