// String helpers, tokenizer, programmer common routines and the device table look-ups.
#include "dev_db.h"
#include "gen.h"
#include "pgm_common.h"
#include "pgmdev.h"
#include "qtl_tokenizer.h"
#include "test_support.h"

#include <cstdlib>
#include <random>

TEST(Strings, TokenizerTrimmingAndCase) {
    struct TOKEN_CASE {
        std::string delimiters, line;
        std::vector<std::string> tokens;
    };
    const std::vector<TOKEN_CASE> cases = {
        {" \t\n", "  ROW  12\t0x1F \n", {"ROW", "12", "0x1F"}},
        {" \t\n", "", {}},
        {" \t\n", " \t \n", {}},
        {",;", "a,,b;;;c,", {"a", "b", "c"}},
        {" ", "single", {"single"}},
    };
    for (const TOKEN_CASE& c : cases)
        EXPECT_EQ(c.tokens, QTL_TOKENIZER(c.delimiters, false, "", "", "", false).tokenize(c.line)) << c.line;

    // The tokenizer reads 64 characters at a time: tokens that begin, end or run across those boundaries,
    // and texts of every length around them, split as a character-by-character reading splits them.
    auto reference = [](const std::string& delimiters, const std::string& line) {
        std::vector<std::string> tokens;
        std::string token;
        for (char ch : line) {
            if (delimiters.find(ch) != std::string::npos) {
                if (!token.empty())
                    tokens.push_back(token);
                token.clear();
            } else {
                token += ch;
            }
        }
        if (!token.empty())
            tokens.push_back(token);
        return tokens;
    };
    struct SPLIT_CASE {
        std::string delimiters, alphabet;
    };
    const SPLIT_CASE splits[] = {
        {" \t", "ab \t"},        {" \t", "abcdefg "},
        {" \t", "a         \t"}, {" \t\r\n\v\f", std::string("a\0 \t\r\n\v\fb", 10)},
        {",;", "ab,;; "},
    };
    std::mt19937 random(7);
    for (const SPLIT_CASE& c : splits) {
        const QTL_TOKENIZER tokenizer(c.delimiters);
        for (size_t size = 0; size <= 200; ++size) {
            std::string line(size, ' ');
            for (char& ch : line)
                ch = c.alphabet[random() % c.alphabet.size()];
            EXPECT_EQ(reference(c.delimiters, line), tokenizer.tokenize(line)) << "[" << line << "]";
            const std::string solid(size, 'x');
            EXPECT_EQ(reference(c.delimiters, solid), tokenizer.tokenize(solid)) << size;
        }
    }

    EXPECT_EQ("a b", gen_remove_leading_and_trailing_spaces("   a b  "));
    EXPECT_EQ("\ta b\n", gen_remove_leading_and_trailing_spaces(" \ta b\n "));
    EXPECT_EQ("a \t b", gen_remove_leading_and_trailing_white_spaces("\r\n\t a \t b \t\r\n"));
    EXPECT_EQ("", gen_remove_leading_and_trailing_white_spaces(" \t\r\n"));

    std::string s = "Granite_d1-x";
    EXPECT_EQ("GRANITE_D1-X", stl_toupper(s));
    EXPECT_EQ("GRANITE_D1-X", s); // changed in place
    EXPECT_EQ("granite_d1-x", stl_tolower(s));
    EXPECT_EQ(0, gen_stricmp("Talon_D4ES", "TALON_d4es"));
    EXPECT_NE(0, gen_stricmp("TALON_D4", "TALON_D4ES"));
    EXPECT_NE(0, gen_strcmp("talon", "TALON"));
}

TEST(PgmCommon, CheckExtension) {
    struct EXT_CASE {
        const char* path;
        const char* ext;
        bool expected;
    };
    const EXT_CASE cases[] = {
        {"dir/granite_d1.rba", "rba", true},
        {"GRANITE_D1.RBAZ", "rbaz", true},
        {"granite_d1.rbaz", "rba", false},
        {"granite_d1rba", "rba", false},
        {"a.b/granite_d1", "b", false},
        {".rba", "rba", true},
        {"x.ddb", "ddb", true},
        {"rba", "rba", false},
        {"x.rba.gz", "rba", false},
    };
    for (const EXT_CASE& c : cases)
        EXPECT_EQ(c.expected, PGM_COMMON::check_extension(c.path, c.ext)) << c.path << " / " << c.ext;
}

TEST(PgmCommon, Crc16CheckValueAndBitwiseDefinition) {
    const std::string check = "123456789";
    const auto* bytes = reinterpret_cast<const unsigned char*>(check.data());
    EXPECT_EQ(0x4B37, PGM_COMMON::calculate_crc16(bytes, 0, 72, 0xFFFF));
    EXPECT_EQ(0xFFFF, PGM_COMMON::calculate_crc16(bytes, 0, 0, 0xFFFF));

    std::mt19937 rng(12345);
    std::vector<unsigned char> data(4096);
    for (unsigned char& b : data)
        b = static_cast<unsigned char>(rng());
    // Unaligned starts and odd lengths exercise the bit-wise head and tail around the byte table.
    const uint64_t spans[][2] = {{0, 8}, {0, 32768}, {3, 5},     {3, 13},
                                 {7, 1}, {1, 32767}, {13, 1000}, {5, 16}};
    for (const auto& span : spans)
        EXPECT_EQ(PGM_COMMON::calculate_crc16_bitwise(data.data(), span[0], span[1], 0xFFFF),
                  PGM_COMMON::calculate_crc16(data.data(), span[0], span[1], 0xFFFF))
            << span[0] << "+" << span[1];
    for (int i = 0; i < 200; ++i) {
        uint64_t first = rng() % 20000, count = rng() % 12000;
        ASSERT_EQ(PGM_COMMON::calculate_crc16_bitwise(data.data(), first, count, 0x1234),
                  PGM_COMMON::calculate_crc16(data.data(), first, count, 0x1234))
            << first << "+" << count;
    }
}

namespace {

// The part the device build chooses for a device: the first general-use part of the family whose device (or
// base device) is the device, else the last restricted one.
DEV_PART_ENUM choose_part(DEV_DEVICE_ENUM device) {
    DEV_PART_MANAGER manager;
    std::string family = dstr_get_user_string(manager.get_family_of(device));
    for (bool general_use_only : {true, false}) {
        std::vector<DEV_PART_ENUM> parts;
        EXPECT_TRUE(
            manager.filter_part_list(parts, family, "ANY", "ANY", "ANY", "ANY", general_use_only, false));
        DEV_PART_ENUM restricted = DEV_PART_INVALID;
        for (DEV_PART_ENUM part : parts) {
            DEV_DEVICE_ENUM of = manager.get_device_of(part);
            if (of != device && manager.get_base_device_of(of) != device)
                continue;
            if (!manager.test_part_trait_of(part, 16))
                return part;
            restricted = part;
        }
        if (restricted != DEV_PART_INVALID)
            return restricted;
    }
    return DEV_PART_INVALID;
}

const char* const PROGRAMMER_FAMILIES[] = {"GRANITE", "BASALT", "SLATE", "HARRIER", "TALON"};

} // namespace

TEST(DeviceTable, SampleCoversTheDeviceVocabulary) {
    DEV_TABLE::reload();
    std::shared_ptr<const DEV_TABLE_DATA> table = DEV_TABLE::get();
    // The 51 devices of the vocabulary and three that the batch tables name, known under the PCF name of the
    // device they stand for.
    EXPECT_EQ(54u, table->devices.size());
    const std::pair<const char*, const char*> aliases[] = {
        {"basalt_d1_es", "BASALT_D1"}, {"basalt_d6", "BASALT_D3"}, {"slate_d8", "SLATE_D4"}};
    for (const auto& alias : aliases) {
        EXPECT_EQ(alias.second, PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(alias.first));
        EXPECT_TRUE(dstr_is_valid_dev_device_enum(dstr_get_dev_device_enum_by_string(alias.first)))
            << alias.first;
    }
    // Devices of the vocabulary are numbered 4..54 (the empty name and three dummies before them), each
    // complete.
    for (uint32_t value = 4; value <= 54; ++value) {
        auto device = static_cast<DEV_DEVICE_ENUM>(value);
        ASSERT_TRUE(dstr_is_valid_dev_device_enum(device)) << value;
        const DEV_TABLE_DEVICE* entry = table->find_device(device);
        SCOPED_TRACE(entry->name);
        EXPECT_EQ(device, dstr_get_dev_device_enum_by_string(stl_lower(entry->name)));
        EXPECT_EQ(entry->name, PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(stl_lower(entry->name)));
        EXPECT_EQ(entry->family_name + "_FAMILY",
                  PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_family_pcf(stl_lower(entry->name)));
        EXPECT_EQ(0u, entry->name.rfind(PGMDEV_DEVICE_GRAMMAR_MGR::get_family(entry->name) + "_", 0));
        DEV_PART_ENUM part = choose_part(device);
        ASSERT_NE(DEV_PART_INVALID, part);
        ASSERT_TRUE(DMGR_UTILITY::create_device(part));
        const DEV_BASIC_INFO& info = DMGR_UTILITY::get_current_device()->get_basic_info();
        for (unsigned item : {7u, 8u, 9u}) {
            ASSERT_TRUE(info.is_valid_int_enum(item));
            EXPECT_GT(info.get_int_data(item), 0u);
        }
        ASSERT_TRUE(info.is_valid_string_enum(6));
        EXPECT_EQ(gen_get_vantrel_path() + "rba/" + stl_lower(entry->name) + ".rba", info.get_string_data(6));
        DMGR_UTILITY::destroy_device();
    }
    EXPECT_FALSE(dstr_is_valid_dev_device_enum(static_cast<DEV_DEVICE_ENUM>(3)));
    EXPECT_FALSE(dstr_is_valid_dev_device_enum(static_cast<DEV_DEVICE_ENUM>(55)));
}

TEST(DeviceTable, KnownAndUnknownNames) {
    DEV_TABLE::reload();
    DEV_PART_MANAGER manager;
    DEV_DEVICE_ENUM d3_es = dstr_get_dev_device_enum_by_string("granite_d3_es");
    DEV_DEVICE_ENUM d3 = dstr_get_dev_device_enum_by_string("GRANITE_D3");
    EXPECT_EQ(6u, d3_es);
    EXPECT_EQ(7u, d3);
    EXPECT_EQ(d3, manager.get_base_device_of(d3_es));
    EXPECT_EQ(d3, manager.get_base_device_of(d3));
    EXPECT_EQ(4u, manager.get_family_of(d3));
    EXPECT_EQ("Granite", dstr_get_user_string(manager.get_family_of(d3)));
    EXPECT_EQ("Granite D3", dstr_get_user_string(d3));
    // An engineering-sample device only has restricted parts: it gets one; its production device does not.
    DEV_PART_ENUM es_part = choose_part(d3_es);
    EXPECT_TRUE(manager.test_part_trait_of(es_part, 16));
    EXPECT_EQ(d3_es, manager.get_device_of(es_part));
    EXPECT_FALSE(manager.test_part_trait_of(choose_part(d3), 16));
    std::vector<DEV_PART_ENUM> parts;
    EXPECT_FALSE(manager.filter_part_list(parts, "Granite", "F780", "ANY", "ANY", "ANY", true, false));
    EXPECT_FALSE(manager.filter_part_list(parts, "Quartz", "ANY", "ANY", "ANY", "ANY", true, false));
    EXPECT_TRUE(parts.empty());

    for (const char* family : PROGRAMMER_FAMILIES)
        EXPECT_EQ(family, PGMDEV_DEVICE_GRAMMAR_MGR::get_family(std::string(family) + "_D1")) << family;
    EXPECT_EQ("TALON", PGMDEV_DEVICE_GRAMMAR_MGR::get_family("talon_d5es2"));
    EXPECT_EQ("KESTREL", PGMDEV_DEVICE_GRAMMAR_MGR::get_family("KESTREL_D2"));
    EXPECT_EQ("KESTREL_SECTOR", PGMDEV_DEVICE_GRAMMAR_MGR::get_family("KESTREL_SECTOR_D10"));

    // Part and display names reach the same device.
    std::string part_name = dstr_get_user_string(choose_part(d3));
    EXPECT_EQ("GRANITE_D3", PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(part_name));
    EXPECT_EQ("GRANITE_FAMILY", PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_family_pcf(stl_lower(part_name)));
    EXPECT_EQ("GRANITE_D3", PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_part_pcf("granite d3"));
    EXPECT_EQ("GRANITE_FAMILY", PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_family_pcf("GRANITE_D3"));
    EXPECT_EQ("TALON_FAMILY", PGMDEV_DEVICE_GRAMMAR_MGR::get_pcf_family_pcf("talon_d4es"));
    EXPECT_EQ("TALON_FAMILY", PGMDEV_DEVICE_GRAMMAR_MGR::get_pcf_family_pcf("talon_family"));

    // Unknown names: empty strings and invalid values.
    for (const std::string name : {"", "granite", "granite_d9", "GRANITE_FAMILY", "DUMMY1"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(DEV_DEVICE_INVALID, dstr_get_dev_device_enum_by_string(name));
        EXPECT_EQ("", PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(name));
        EXPECT_EQ("", PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_part_pcf(name));
        EXPECT_EQ("", PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_family_pcf(name));
        EXPECT_EQ("", PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_family_pcf(name));
        EXPECT_EQ("", PGMDEV_DEVICE_GRAMMAR_MGR::get_family(name));
    }
    EXPECT_EQ("", PGMDEV_DEVICE_GRAMMAR_MGR::get_pcf_family_pcf("granite_d9"));
    EXPECT_EQ(DEV_FAMILY_INVALID, manager.get_family_of(DEV_DEVICE_INVALID));
    EXPECT_EQ(DEV_DEVICE_INVALID, manager.get_device_of(DEV_PART_INVALID));
    EXPECT_FALSE(manager.test_part_trait_of(DEV_PART_INVALID, 16));
    EXPECT_FALSE(dstr_is_valid_dev_family_enum(DEV_FAMILY_INVALID));
    EXPECT_EQ("", dstr_get_user_string(DEV_PART_INVALID));
    EXPECT_FALSE(DMGR_UTILITY::create_device(DEV_PART_INVALID));
    EXPECT_EQ(nullptr, DMGR_UTILITY::get_current_device());
}

TEST(DeviceTable, TableFromAnotherInstallationWithOptionalItems) {
    TEMP_DIR dir;
    run_command("mkdir -p '" + dir.path() + "/devdb'");
    write_text_file(dir.file("devdb/device_table.json"), R"({
      "families": [{"name": "GRANITE", "value": 4, "user_string": "Granite"}],
      "devices": [{"name": "GRANITE_D1", "value": 4, "family": "granite", "user_string": "G1",
                   "pcf": "GRANITE_D1", "family_pcf": "GRANITE_FAMILY", "cram_rows": 10,
                   "rba_file": "/abs/g1.rba", "parts": [{"name": "P1", "trait16": true}]}]})");
    VANTREL_PATH_GUARD guard(dir.path());
    DEV_DEVICE_ENUM d1 = dstr_get_dev_device_enum_by_string("granite_d1");
    EXPECT_EQ(4u, d1);
    EXPECT_EQ(DEV_DEVICE_INVALID, dstr_get_dev_device_enum_by_string("granite_d2"));
    ASSERT_TRUE(DMGR_UTILITY::create_device(static_cast<DEV_PART_ENUM>(0)));
    const DEV_BASIC_INFO& info = DMGR_UTILITY::get_current_device()->get_basic_info();
    EXPECT_TRUE(info.is_valid_int_enum(7));
    EXPECT_EQ(10u, info.get_int_data(7));
    EXPECT_FALSE(info.is_valid_int_enum(8)); // not given: not valid
    EXPECT_FALSE(info.is_valid_int_enum(9));
    EXPECT_BRIX_ERROR(info.get_int_data(8), "is_valid_int_enum(item)");
    EXPECT_EQ("/abs/g1.rba", info.get_string_data(6)); // absolute paths are kept
    DMGR_UTILITY::destroy_device();
    EXPECT_EQ(d1, DEV_PART_MANAGER().get_base_device_of(d1)); // no base device given: itself
}

TEST(DeviceTable, MalformedTableIsReportedWithTheFile) {
    const std::string family = R"({"name": "GRANITE", "value": 4, "user_string": "Granite"})";
    auto device = [](const std::string& extra, const std::string& family_name = "GRANITE") {
        return R"({"name": "GRANITE_D1", "value": 4, "family": ")" + family_name +
               R"(", "user_string": "G1", "pcf": "GRANITE_D1", "family_pcf": "GRANITE_FAMILY",
                   "parts": [{"name": "P1"}])" +
               extra + "}";
    };
    auto table = [&](const std::string& devices) {
        return R"({"families": [)" + family + R"(], "devices": [)" + devices + "]}";
    };
    struct BAD_CASE {
        const char* what;
        std::string text;
        std::string condition_part;
        std::string where_part;
    };
    const std::vector<BAD_CASE> cases = {
        {"not JSON", "{\"families\": [", "Invalid device table: not a JSON document", ""},
        {"no devices", R"({"families": []})", "Invalid device table: missing field \"devices\"", ""},
        {"unknown family", table(device("", "QUARTZ")), "unknown family \"QUARTZ\"", "devices[0] GRANITE_D1"},
        {"duplicate device", table(device("") + "," + device("")), "duplicate name \"GRANITE_D1\"",
         "devices[1]"},
        {"negative rows", table(device(R"(, "cram_rows": -3)")), "field \"cram_rows\" is not an unsigned",
         "devices[0]"},
        {"rows as text", table(device(R"(, "cram_rows": "12")")), "field \"cram_rows\" is not an unsigned",
         "devices[0]"},
        {"unknown base device", table(device(R"(, "base_device": "GRANITE_D0")")),
         "unknown base device \"GRANITE_D0\"", "devices[0]"},
        {"trait not boolean",
         table(R"({"name": "GRANITE_D1", "value": 4, "family": "GRANITE", "user_string": "G1",
             "pcf": "GRANITE_D1", "family_pcf": "GRANITE_FAMILY", "parts": [{"name": "P1", "trait16": 1}]})"),
         "field \"trait16\" of part \"P1\" is not a boolean", "devices[0]"},
        {"no parts", table(R"({"name": "GRANITE_D1", "value": 4, "family": "GRANITE", "user_string": "G1",
             "pcf": "GRANITE_D1", "family_pcf": "GRANITE_FAMILY", "parts": []})"),
         "device without parts", "devices[0]"},
        {"missing PCF name",
         table(R"({"name": "GRANITE_D1", "value": 4, "family": "GRANITE", "user_string": "G1",
             "family_pcf": "GRANITE_FAMILY", "parts": [{"name": "P1"}]})"),
         "missing field \"pcf\"", "devices[0]"},
    };
    TEMP_DIR dir;
    run_command("mkdir -p '" + dir.path() + "/devdb'");
    const std::string file = dir.file("devdb/device_table.json");
    VANTREL_PATH_GUARD guard(dir.path());
    for (const BAD_CASE& c : cases) {
        SCOPED_TRACE(c.what);
        write_text_file(file, c.text);
        DEV_TABLE::reload();
        BRIX_INTERNAL_ERROR e = catch_brix_error([] { dstr_get_dev_device_enum_by_string("granite_d1"); });
        EXPECT_NE(std::string::npos, e.condition().find(c.condition_part)) << e.condition();
        ASSERT_EQ(1u, e.context().size());
        EXPECT_EQ(0u, e.context()[0].find(file)) << e.context()[0];
        EXPECT_NE(std::string::npos, e.context()[0].find(c.where_part)) << e.context()[0];
    }
    // A missing file names the file too; a failed load leaves nothing cached, so a fixed file is read next.
    run_command("rm -f '" + file + "'");
    DEV_TABLE::reload();
    BRIX_INTERNAL_ERROR e = catch_brix_error([] { DEV_PART_MANAGER manager; });
    EXPECT_NE(std::string::npos, e.condition().find(file));
    write_text_file(file, table(device("")));
    EXPECT_EQ(4u, dstr_get_dev_device_enum_by_string("GRANITE_D1"));
}
