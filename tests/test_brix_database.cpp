// BRIX databases through the server: round trips of family and device databases, the split G2 list in part
// files, damaged and mismatched files, writes that fail part-way, paths and PCF names.
#include "brix_data_server.h"
#include "database_render.h"
#include "fio.h"
#include "gen.h"
#include "records/pgm_brix__pdb.h"
#include "test_support.h"
#include "thr.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <zlib.h>

namespace {

unsigned char* bytes(std::initializer_list<unsigned char> values) {
    unsigned char* p = new unsigned char[values.size()];
    std::copy(values.begin(), values.end(), p);
    return p;
}

BRIX_OB_DATA* nine_bit_option() {
    return new BRIX_OB_DATA(12, 3, 4, 9, 7, bytes({0xA5, 0x01}));
}

// A family database: a full block and a block with every list and the frame null, plus an empty list.
BRIX_INFO* make_family_database() {
    auto* block = new BRIX_BLOCK(5, true);
    block->set_length(10);
    block->set_has_crc(true);
    block->set_const_values(
        new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(0xDEADBEEF, 0), new BRIX_CONST_DATA(2, 1)}, false);
    auto* dyn = new BRIX_DYN_DATA(8, 1, 2, 9, 0x1FF, true, false);
    dyn->set_ob_datas(new BRIX_OB_DATA_LIST{nine_bit_option()}, false);
    block->set_dyn_values(new BRIX_DYN_DATA_LIST{dyn, new BRIX_DYN_DATA(9, 0, 0, 1, 1, false, true)}, false);
    block->set_frame(new BRIX_FRAME(3, 100, 2, 90, 4, 4, 0xFFFF, 3, true), false);
    block->set_instructions(
        new BRIX_INSTRUCTION_LIST{new BRIX_INSTRUCTION(2, 0x55, true, 64, false, 8, true)}, false);
    auto* bare = new BRIX_BLOCK(6, false);
    auto* empty_lists = new BRIX_BLOCK(7, false);
    empty_lists->set_const_values(new BRIX_CONST_DATA_LIST, false);
    auto* family = new BRIX_FAMILY_INFO;
    family->set_family_type(4);
    family->set_config_data_width(32);
    family->set_block_info_list(new BRIX_BLOCK_LIST{block, bare, empty_lists});
    auto* info = new BRIX_INFO;
    info->set_family_info(family);
    return info;
}

// G2 entry i, with a shape and values that depend on i; every seventh bit has no G2_SI list.
G2_SII* g2_entry(unsigned i) {
    auto* lists = new G2_SII_BIT_LIST_LIST;
    for (unsigned l = 0; l < 1 + i % 2; ++l) {
        auto* bit = new G2_SII_BIT(i * 3 + l);
        if (i % 7 != 0)
            bit->set_g2_s1_list(new G2_SI_LIST{new G2_SI(i, l, i % 2 == 0, i + 300)});
        lists->push_back(new G2_SII_BIT_LIST{bit});
    }
    auto* entry = new G2_SII;
    entry->set_g2_s2_bit_list_list(lists);
    return entry;
}

G2_SII_LIST* g2_list(unsigned n, unsigned seed = 0) {
    auto* list = new G2_SII_LIST;
    for (unsigned i = 0; i < n; ++i)
        list->push_back(g2_entry(i + seed));
    return list;
}

// A device database with every kind of field; g2_entries > 0 gives it a G2 list with its thread size.
BRIX_INFO* make_device_database(unsigned g2_entries, unsigned family_type = 4, unsigned seed = 0) {
    auto* device = new BRIX_DEVICE_INFO;
    device->set_family_type(family_type);
    device->set_device_type(5);
    device->set_parameter_list(
        new BRIX_PARAMETER_LIST{
            new BRIX_PARAMETER(3, 4, 69, new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(7, 2)}),
            new BRIX_PARAMETER(4, 0, 1, nullptr)},
        false);
    auto* rows = new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(bytes({1, 2, 3}), 3, 1),
                                        new BRIX_ARG_DATA(bytes({1, 2, 3, 4, 5, 6, 7, 8}), 2, 4),
                                        new BRIX_ARG_DATA(nullptr, 0, 0)};
    device->set_argument_list(new BRIX_ARG_LIST{new BRIX_ARG(6, 2, rows), new BRIX_ARG(7, 3, nullptr)},
                              false);
    auto* lutram = new LUTRAM_MRAM_INFO(11);
    lutram->update_row(1);
    lutram->update_row(5);
    device->set_lutram_info(new LUTRAM_MRAM_INFO_LIST{lutram, new LUTRAM_MRAM_INFO(12)});
    device->set_simplified_lutram({1, 2}, {3});
    device->set_simplified_mram({}, {0xFFFFFFFF});
    device->set_ob_datas(new BRIX_OB_DATA_LIST{nine_bit_option()}, false);
    if (g2_entries)
        device->set_g2_s2_list(g2_list(g2_entries, seed), true, true);
    auto* info = new BRIX_INFO;
    info->set_device_info(device);
    return info;
}

std::vector<unsigned char> file_bytes(const std::string& path) {
    std::vector<unsigned char> data;
    EXPECT_TRUE(FIO_FILE_SYSTEM::read_file(path, data)) << path;
    return data;
}

void put_file_bytes(const std::string& path, const std::vector<unsigned char>& data) {
    write_text_file(path, std::string(data.begin(), data.end()));
}

std::string directory_listing(const TEMP_DIR& dir) {
    return run_command("ls '" + dir.path() + "'").out;
}

std::unique_ptr<BRIX_INFO> read_database(const std::string& path, bool skip_rif = false) {
    return std::unique_ptr<BRIX_INFO>(BRIX_DATA_SERVER::get_brix_info(path, skip_rif));
}

// Writes a database and keeps the rendering of what was written (the written tree loses its G2 list).
std::string write_database(const std::string& p, BRIX_INFO* info) {
    std::unique_ptr<BRIX_INFO> owned(info);
    BRIX_DATA_SERVER::write_brix_info(p, info, true);
    return render(info);
}

} // namespace

TEST(BrixDatabase, FamilyDatabaseRoundTripsFieldByField) {
    TEMP_DIR dir;
    const std::string p = dir.file("granite_family_brix");
    std::unique_ptr<BRIX_INFO> expected(make_family_database());
    expected->set_signature(BRIX_CONST_ENUM_CSV_MD5);
    write_database(p, make_family_database());
    EXPECT_EQ("granite_family_brix.ddb\n", directory_listing(dir)) << "one file, no part files";

    std::unique_ptr<BRIX_INFO> back = read_database(p);
    ASSERT_TRUE(back);
    EXPECT_EQ(render(expected.get()), render(back.get()));
    EXPECT_EQ(BRIX_CONST_ENUM_CSV_MD5, back->get_signature());
    EXPECT_EQ(nullptr, back->get_device_info());
    // Independent of the serialise operations: the getters see the values that were set.
    BRIX_BLOCK_LIST* blocks = back->get_family_info()->get_block_info_list();
    ASSERT_EQ(3u, blocks->size());
    EXPECT_EQ(0xDEADBEEFu, (*(*blocks)[0]->get_const_values())[0]->get_value());
    EXPECT_EQ(90u, (*blocks)[0]->get_frame()->get_core_size());
    EXPECT_TRUE((*blocks)[0]->get_frame()->get_crc_include_header());
    BRIX_OB_DATA* ob = (*(*(*blocks)[0]->get_dyn_values())[0]->get_ob_datas())[0];
    unsigned length = 0;
    unsigned char* value = ob->get_data(length);
    EXPECT_EQ(9u, length);
    EXPECT_EQ(2u, ob->get_data_size()) << "a 9-bit option value takes 2 bytes";
    EXPECT_EQ(0xA5, value[0]);
    EXPECT_EQ(0x01, value[1]);
    EXPECT_EQ(nullptr, (*blocks)[1]->get_frame());
    EXPECT_EQ(nullptr, (*blocks)[1]->get_const_values());
    ASSERT_NE(nullptr, (*blocks)[2]->get_const_values());
    EXPECT_TRUE((*blocks)[2]->get_const_values()->empty());

    // ".ddb" in any case is dropped from the path given to the reader.
    EXPECT_TRUE(read_database(p + ".DDB"));
}

TEST(BrixDatabase, DeviceDatabaseRoundTripsFieldByField) {
    TEMP_DIR dir;
    const std::string p = dir.file("d");
    // Thread size 0: the G2 list stays in the main archive.
    BRIX_INFO* info = make_device_database(0);
    info->get_device_info()->set_g2_s2_list(g2_list(5), true, false);
    std::unique_ptr<BRIX_INFO> expected(make_device_database(0));
    expected->get_device_info()->set_g2_s2_list(g2_list(5), true, false);
    expected->set_signature(BRIX_CONST_ENUM_CSV_MD5);
    write_database(p, info);
    EXPECT_EQ("d.ddb\n", directory_listing(dir));

    std::unique_ptr<BRIX_INFO> back = read_database(p);
    ASSERT_TRUE(back);
    EXPECT_EQ(render(expected.get()), render(back.get()));
    BRIX_DEVICE_INFO* device = back->get_device_info();
    EXPECT_EQ(nullptr, back->get_family_info());
    EXPECT_EQ(5u, device->get_g2_s2_list_size());
    EXPECT_EQ(0u, device->get_g2_s2_thread_size());
    unsigned length = 0;
    unsigned* values = device->get_const_uints(3, length);
    ASSERT_EQ(4u, length);
    EXPECT_EQ(7u, values[2]);
    delete[] values;
    unsigned size = 0, unit = 0;
    unsigned char* data = (*(*device->get_argument_list())[0]->get_data())[1]->get_data(&size, &unit);
    EXPECT_EQ(2u, size);
    EXPECT_EQ(4u, unit);
    EXPECT_EQ(8, data[7]);
    EXPECT_EQ(nullptr, (*(*device->get_argument_list())[0]->get_data())[2]->get_data(nullptr, nullptr));
    EXPECT_EQ(nullptr, device->get_mram_info());
    std::vector<unsigned> col, row;
    device->get_simplified_mram(col, row);
    EXPECT_TRUE(col.empty());
    EXPECT_EQ(std::vector<unsigned>{0xFFFFFFFF}, row);
    unsigned frame = 0, bit = 0;
    bool dir_flag = false;
    G2_SII_BIT* g2_bit = (*(*(*device->get_g2_s2_list())[3]->get_g2_s2_bit_list_list())[1])[0];
    G2_SI* si = (*g2_bit->get_data(bit))[0];
    EXPECT_EQ(10u, bit);
    EXPECT_EQ(303 & 0xFF, si->get_data(frame, bit, dir_flag));
    EXPECT_EQ(3u, frame);

    // The same database gives the same bytes.
    write_database(dir.file("e"), [] {
        BRIX_INFO* again = make_device_database(0);
        again->get_device_info()->set_g2_s2_list(g2_list(5), true, false);
        return again;
    }());
    EXPECT_EQ(file_bytes(p + ".ddb"), file_bytes(dir.file("e.ddb")));
}

TEST(BrixDatabaseParts, SplitListGoesToPartFilesAndComesBackInOrder) {
    TEMP_DIR dir;
    const std::string p = dir.file("d_brix");
    std::unique_ptr<BRIX_INFO> info(make_device_database(4500));
    BRIX_DEVICE_INFO* written = info->get_device_info();
    ASSERT_EQ(3u, written->get_g2_s2_thread_size());
    BRIX_DATA_SERVER::write_brix_info(p, info.get(), true);
    EXPECT_EQ(nullptr, written->get_g2_s2_list());
    EXPECT_EQ(4500u, written->get_g2_s2_list_size());
    EXPECT_EQ(3u, written->get_g2_s2_thread_size());
    EXPECT_EQ("d_brix.ddb\nd_brix_rif_t0.ddb\nd_brix_rif_t1.ddb\nd_brix_rif_t2.ddb\n",
              directory_listing(dir));

    // Each part holds 1500 entries with thread size 0, and is marked as a part: a database reader refuses it.
    for (unsigned i = 0; i < 3; ++i) {
        const std::string part_file = p + "_rif_t" + std::to_string(i) + ".ddb";
        PDB_ARCHIVE archive;
        ASSERT_TRUE(archive.open(part_file));
        BRIX_INFO* raw = nullptr;
        ASSERT_TRUE(pdb_read_ptr(archive, BRIX_PDB::INFO, raw));
        std::unique_ptr<BRIX_INFO> part(raw);
        ASSERT_TRUE(part && part->get_device_info());
        EXPECT_EQ("BRIX-SPLIT-DATABASE-PART-FILE-01", part->get_signature());
        EXPECT_BRIX_ERROR(
            read_database(part_file),
            "The file is a part file of a split database (one slice of a device's G2 list), not a "
            "database: read the main archive it belongs to");
        EXPECT_EQ(1500u, part->get_device_info()->get_g2_s2_list()->size());
        EXPECT_EQ(0u, part->get_device_info()->get_g2_s2_thread_size());
    }

    std::unique_ptr<BRIX_INFO> skipped = read_database(p, true);
    EXPECT_EQ(nullptr, skipped->get_device_info()->get_g2_s2_list());
    EXPECT_EQ(4500u, skipped->get_device_info()->get_g2_s2_list_size());
    EXPECT_EQ(3u, skipped->get_device_info()->get_g2_s2_thread_size());

    std::unique_ptr<BRIX_INFO> back = read_database(p, false);
    std::unique_ptr<BRIX_INFO> expected(make_device_database(4500));
    expected->set_signature(BRIX_CONST_ENUM_CSV_MD5);
    EXPECT_EQ(render(expected.get()), render(back.get()));
    EXPECT_EQ(3u, back->get_device_info()->get_g2_s2_thread_size());
}

// Every failure case starts from a good split database (3 parts) and spoils one thing.
TEST(BrixDatabaseParts, DamagedOrMismatchedFilesAreReported) {
    TEMP_DIR dir;
    const std::string good = dir.file("good");
    write_database(good, make_device_database(4500));
    const std::string other_family = dir.file("other_family");
    write_database(other_family, make_device_database(4500, 5));
    const std::string other_write = dir.file("other_write");
    write_database(other_write, make_device_database(4500, 4, 1));
    // A database stamped with another vocabulary.
    const std::string stranger = dir.file("stranger");
    {
        std::unique_ptr<BRIX_INFO> info(make_family_database());
        info->set_signature("0123456789abcdef0123456789abcdef");
        PDB_ARCHIVE archive(stranger + ".ddb");
        pdb_write_ptr(archive, BRIX_PDB::INFO, info.get());
        archive.commit();
    }
    const std::string p = dir.file("case");
    const std::string part1 = p + "_rif_t1.ddb";

    struct CASE {
        const char* what;
        std::function<void()> spoil;
        std::string condition;
        std::string file; // the file the report must name
    };
    auto copy = [](const std::string& from, const std::string& to) { put_file_bytes(to, file_bytes(from)); };
    const std::vector<CASE> cases = {
        {"wrong signature", [&] { copy(stranger + ".ddb", p + ".ddb"); },
         "signature == BRIX_CONST_ENUM_CSV_MD5", p + ".ddb"},
        {"signature of 31 bytes",
         [&] {
             std::vector<unsigned char> d = file_bytes(p + ".ddb");
             std::string text(d.begin(), d.end());
             size_t at = text.find(BRIX_CONST_ENUM_CSV_MD5);
             ASSERT_NE(std::string::npos, at);
             d[at - 4] = 31;
             d.erase(d.begin() + at);
             uint32_t crc = static_cast<uint32_t>(crc32_z(0, d.data(), d.size() - 4));
             for (int i = 0; i < 4; ++i)
                 d[d.size() - 4 + i] = static_cast<unsigned char>(crc >> (8 * i));
             put_file_bytes(p + ".ddb", d);
         },
         "n == cn", p + ".ddb"},
        {"truncated main archive",
         [&] {
             std::vector<unsigned char> d = file_bytes(p + ".ddb");
             d.resize(d.size() - 10);
             put_file_bytes(p + ".ddb", d);
         },
         "Archive is damaged or truncated: CRC-32 mismatch", p + ".ddb"},
        {"flipped byte in the main archive",
         [&] {
             std::vector<unsigned char> d = file_bytes(p + ".ddb");
             d[d.size() / 2] ^= 0x10;
             put_file_bytes(p + ".ddb", d);
         },
         "Archive is damaged or truncated: CRC-32 mismatch", p + ".ddb"},
        {"truncated part file",
         [&] {
             std::vector<unsigned char> d = file_bytes(part1);
             d.resize(d.size() / 3);
             put_file_bytes(part1, d);
         },
         "Archive is damaged or truncated: CRC-32 mismatch", part1},
        {"missing part file", [&] { FIO_FILE_SYSTEM::remove_file(part1); },
         "pdb_read(brix_info, pcf_db, \"\")", part1},
        {"missing main archive", [&] { FIO_FILE_SYSTEM::remove_file(p + ".ddb"); },
         "pdb_read(result, pcf_db, \"\")", p + ".ddb"},
        {"part file of another family", [&] { copy(other_family + "_rif_t1.ddb", part1); },
         "brix_device_info->get_family_type() == (*data).family_type", part1},
        {"part file of another write", [&] { copy(other_write + "_rif_t1.ddb", part1); },
         "The part file does not belong to this database: its size or CRC-32 differs from the main archive's "
         "record",
         part1},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* suffix : {".ddb", "_rif_t0.ddb", "_rif_t1.ddb", "_rif_t2.ddb"})
            copy(good + suffix, p + suffix);
        c.spoil();
        BRIX_INTERNAL_ERROR e = catch_brix_error([&] { read_database(p); });
        EXPECT_EQ(c.condition, e.condition());
        ASSERT_FALSE(e.context().empty());
        EXPECT_EQ(0u, e.context().back().find(c.file)) << e.context().back();
    }
}

// A reader that leaves the part files unread (the FID build, brix_dump --skip-rif) still finds each part
// the main archive names, with the size it records; the report names the part file.
TEST(BrixDatabaseParts, ReaderSkippingThePartsChecksTheyArePresentWithTheirSizes) {
    TEMP_DIR dir;
    const std::string good = dir.file("good");
    write_database(good, make_device_database(4500));
    const std::string p = dir.file("case");
    const std::string part1 = p + "_rif_t1.ddb";
    const uint64_t size = file_bytes(good + "_rif_t1.ddb").size();
    struct CASE {
        const char* what;
        std::function<void()> spoil;
        std::string condition;
    };
    const std::vector<CASE> cases = {
        {"missing", [&] { FIO_FILE_SYSTEM::remove_file(part1); },
         "The part file the main archive names is missing: the file does not exist"},
        {"truncated",
         [&] {
             std::vector<unsigned char> d = file_bytes(part1);
             d.resize(d.size() - 1);
             put_file_bytes(part1, d);
         },
         "The part file has " + std::to_string(size - 1) + " bytes, the main archive records " +
             std::to_string(size)},
        {"grown",
         [&] {
             std::vector<unsigned char> d = file_bytes(part1);
             d.push_back(0);
             put_file_bytes(part1, d);
         },
         "The part file has " + std::to_string(size + 1) + " bytes, the main archive records " +
             std::to_string(size)},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* suffix : {".ddb", "_rif_t0.ddb", "_rif_t1.ddb", "_rif_t2.ddb"})
            put_file_bytes(p + suffix, file_bytes(good + suffix));
        EXPECT_NE(nullptr, read_database(p, true)) << "the untouched database reads";
        c.spoil();
        BRIX_INTERNAL_ERROR e = catch_brix_error([&] { read_database(p, true); });
        EXPECT_EQ(c.condition, e.condition());
        ASSERT_FALSE(e.context().empty());
        EXPECT_EQ(part1, e.context().back());
    }
}

TEST(BrixDatabaseParts, FailedWriteLeavesThePreviousDatabase) {
    TEMP_DIR dir;
    const std::string p = dir.file("d");
    write_database(p, make_device_database(4500));
    const std::string listing = directory_listing(dir);
    std::vector<std::vector<unsigned char>> before;
    for (const char* suffix : {".ddb", "_rif_t0.ddb", "_rif_t1.ddb", "_rif_t2.ddb"})
        before.push_back(file_bytes(p + suffix));
    const std::string readable = render(read_database(p).get());

    // The new database has four parts: the failure hits the part files, then the main archive.
    const long long parts = static_cast<long long>(before[1].size() * 4);
    for (long long fail_after : {100LL, parts / 2, parts + 100}) {
        SCOPED_TRACE(fail_after);
        std::unique_ptr<BRIX_INFO> info(make_device_database(7000, 4, 9));
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(fail_after);
        BRIX_INTERNAL_ERROR e =
            catch_brix_error([&] { BRIX_DATA_SERVER::write_brix_info(p, info.get(), true); });
        FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
        EXPECT_EQ(0u, e.condition().find("Unable to write " + p)) << e.condition();
        EXPECT_EQ(listing, directory_listing(dir)) << "no temporary or new part file is left";
        size_t i = 0;
        for (const char* suffix : {".ddb", "_rif_t0.ddb", "_rif_t1.ddb", "_rif_t2.ddb"})
            EXPECT_EQ(before[i++], file_bytes(p + suffix)) << suffix;
        EXPECT_EQ(readable, render(read_database(p).get()));
    }

    // A worker that cannot be started fails the write the same way.
    std::unique_ptr<BRIX_INFO> info(make_device_database(7000, 4, 9));
    thr_fail_next_thread_creates_for_testing(1);
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::write_brix_info(p, info.get(), true), "tids[i] != 0");
    EXPECT_EQ(listing, directory_listing(dir));
    EXPECT_EQ(readable, render(read_database(p).get()));
    thr_fail_next_thread_creates_for_testing(1);
    EXPECT_BRIX_ERROR(read_database(p), "tids[i] != 0");
}

TEST(BrixDatabaseParts, RewriteWithFewerPartsRemovesStaleParts) {
    TEMP_DIR dir;
    const std::string p = dir.file("d");
    write_database(p, make_device_database(4500));
    const std::string expected = write_database(p, make_device_database(1800, 4, 3));
    EXPECT_EQ("d.ddb\nd_rif_t0.ddb\n", directory_listing(dir));
    std::unique_ptr<BRIX_INFO> back = read_database(p);
    EXPECT_EQ(1800u, back->get_device_info()->get_g2_s2_list()->size());
    write_database(p, make_family_database());
    EXPECT_EQ("d.ddb\n", directory_listing(dir));
}

TEST(BrixDatabase, SecondWriteOfTheSameRecordIsRefused) {
    TEMP_DIR dir;
    std::unique_ptr<BRIX_INFO> info(make_family_database());
    BRIX_DATA_SERVER::write_brix_info(dir.file("a"), info.get(), true);
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::write_brix_info(dir.file("b"), info.get(), true),
                      "signature.size() == 32 && m_signature == NULL");
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(dir.file("b.ddb")));
}

TEST(BrixDatabase, PathsUnderTheDeviceDatabaseDirectory) {
    TEMP_DIR dir;
    VANTREL_PATH_GUARD env(dir.path());
    const std::string programmer = dir.path() + "/devdb/programmer/";
    struct CASE {
        const char* name;
        bool is_family, add_suffix;
        std::string path;
    };
    for (const CASE& c : std::vector<CASE>{{"Granite", true, true, programmer + "granite_family_brix"},
                                           {"GRANITE_D1", false, true, programmer + "granite_d1_brix"},
                                           {"GRANITE_D1", false, false, programmer + "granite_d1"},
                                           {"Slate", true, false, programmer + "slate_family"}})
        EXPECT_EQ(c.path, BRIX_DATA_SERVER::get_vantrel_pdb_path(c.name, c.is_family, c.add_suffix))
            << c.name;

    ASSERT_EQ(0, std::system(("mkdir -p '" + programmer + "'").c_str()));
    std::unique_ptr<BRIX_INFO> info(make_device_database(2500));
    BRIX_DATA_SERVER::write_brix_info("GRANITE_D1", info.get(), false);
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(programmer + "granite_d1_brix.ddb"));
    EXPECT_TRUE(FIO_FILE_SYSTEM::exists(programmer + "granite_d1_brix_rif_t1.ddb"));
    std::unique_ptr<BRIX_INFO> back(
        BRIX_DATA_SERVER::vantrel_get_brix_info("granite_d1", false, false, true));
    ASSERT_TRUE(back);
    EXPECT_EQ(2500u, back->get_device_info()->get_g2_s2_list()->size());
}

TEST(BrixDatabase, DeviceAndFamilyNames) {
    unsigned type = 0;
    EXPECT_TRUE(BRIX_DATA_SERVER::check_is_device_pcf_supported("granite_d1", type));
    EXPECT_EQ(4u, type);
    EXPECT_FALSE(BRIX_DATA_SERVER::check_is_device_pcf_supported("GRD1F780C6", type));
    EXPECT_EQ(unsigned(BRIX_DEVICE_MAX), type);
    EXPECT_TRUE(BRIX_DATA_SERVER::check_is_family_pcf_supported("Talon", type));
    EXPECT_EQ(7u, type);
    EXPECT_FALSE(BRIX_DATA_SERVER::check_is_family_pcf_supported("GRANITE_FAMILY", type));
    EXPECT_EQ(unsigned(BRIX_FAMILY_MAX), type);

    // The device table of the sample installation maps parts and display names.
    const std::string programmer = gen_get_device_db_fullpath() + "/programmer/";
    EXPECT_EQ("GRANITE_D1", BRIX_DATA_SERVER::get_pcf("granite_d1", false));
    EXPECT_EQ("GRANITE_D1", BRIX_DATA_SERVER::get_pcf("GRD1F780C6", false));
    EXPECT_EQ("GRANITE_D1", BRIX_DATA_SERVER::get_pcf("Granite D1", false));
    EXPECT_EQ(programmer + "granite_d1_brix.ddb", BRIX_DATA_SERVER::get_pcf("GRD1F780C6", true));
    EXPECT_EQ("", BRIX_DATA_SERVER::get_pcf("no such part", true));
    EXPECT_EQ("/x/y_brix.ddb", BRIX_DATA_SERVER::get_pcf("/x/y_brix.ddb", true));

    EXPECT_EQ("GRANITE", BRIX_DATA_SERVER::get_family_pcf("granite", false));
    EXPECT_EQ("GRANITE", BRIX_DATA_SERVER::get_family_pcf("GRD1F780C6", false));
    EXPECT_EQ(programmer + "granite_family_brix.ddb", BRIX_DATA_SERVER::get_family_pcf("GRANITE", true));
    EXPECT_EQ("", BRIX_DATA_SERVER::get_family_pcf("no such part", false));
}

TEST(BrixDatabase, ReadStateFlags) {
    BRIX_DATA_SERVER::begin_read();
    EXPECT_TRUE(BRIX_DATA_SERVER::s_read_only);
    BRIX_DATA_SERVER::begin_write();
    EXPECT_FALSE(BRIX_DATA_SERVER::s_read_only);
    BRIX_DATA_SERVER::s_pcf_db = new PDB_ARCHIVE;
    BRIX_DATA_SERVER::end_read();
    EXPECT_EQ(nullptr, BRIX_DATA_SERVER::s_pcf_db);
}

TEST(BrixDump, PrintsDatabaseAsJsonAndVerifies) {
    const std::string dump = BRIX_DUMP_EXE;
    ASSERT_FALSE(dump.empty());
    TEMP_DIR dir;
    const std::string p = dir.file("d");
    write_database(p, make_device_database(4500));
    const std::string file = p + ".ddb";

    COMMAND_RESULT full = run_command(thr_shell_command({dump, file}));
    ASSERT_EQ(0, full.status) << full.err;
    EXPECT_EQ(full.out, run_command(thr_shell_command({dump, file})).out) << "output is deterministic";
    nlohmann::json j = nlohmann::json::parse(full.out);
    const nlohmann::json& device = j["BRIX_INFO"]["m_device_info"];
    EXPECT_TRUE(j["BRIX_INFO"]["m_family_info"].is_null());
    EXPECT_EQ(nlohmann::json::parse(R"({"value": 4, "name": "GRANITE"})"), device["m_family_type"]);
    EXPECT_EQ(4500u, device["m_g2_s2_list"].size()) << "part files merged";
    EXPECT_EQ(std::vector<unsigned>({1, 2}), device["m_simplified_lutram_col"].get<std::vector<unsigned>>());
    EXPECT_EQ("a501", device["m_ob_datas"][0]["m_data"]);
    // Argument rows read as numbers of their unit size (little-endian units).
    EXPECT_EQ(nlohmann::json::parse("[1, 2, 3]"), device["m_arguments"][0]["m_data"][0]["m_data"]);
    EXPECT_EQ(nlohmann::json::parse("[67305985, 134678021]"),
              device["m_arguments"][0]["m_data"][1]["m_data"]);
    EXPECT_TRUE(device["m_arguments"][1]["m_data"].is_null());
    EXPECT_EQ(std::string(BRIX_CONST_ENUM_CSV_MD5).size() * 2,
              j["BRIX_INFO"]["m_signature"].get<std::string>().size());
    const nlohmann::json& si = device["m_g2_s2_list"][3]["m_g2_s2_bits_list"][1][0]["m_g2_s1_list"][0];
    EXPECT_EQ(nlohmann::json::parse(R"({"m_frame": 3, "m_bit": 1, "m_dir": false, "m_dist": 47})"), si);

    COMMAND_RESULT skipped = run_command(thr_shell_command({dump, "--skip-rif", file}));
    ASSERT_EQ(0, skipped.status);
    EXPECT_TRUE(nlohmann::json::parse(skipped.out)["BRIX_INFO"]["m_device_info"]["m_g2_s2_list"].is_null());

    COMMAND_RESULT ok = run_command(thr_shell_command({dump, "--verify", file}));
    EXPECT_EQ(0, ok.status);
    EXPECT_EQ("OK: " + file + ": device database with 3 part files\n", ok.out);
    FIO_FILE_SYSTEM::remove_file(p + "_rif_t2.ddb");
    COMMAND_RESULT missing = run_command(thr_shell_command({dump, "--verify", file}));
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("FAIL: pdb_read(brix_info, pcf_db, \"\") (" + p + "_rif_t2.ddb)\n", missing.out);
    COMMAND_RESULT broken = run_command(thr_shell_command({dump, file}));
    EXPECT_EQ(1, broken.status);
    EXPECT_NE(std::string::npos, broken.err.find("pdb_read(brix_info, pcf_db, \"\")"));

    EXPECT_EQ(2, run_command(thr_shell_command({dump})).status);
    EXPECT_EQ(2, run_command(thr_shell_command({dump, dir.file("notes.txt")})).status);
}

// The map check reads the whole database, part files included, and verification names a part file copied
// over a main archive's name for what it is.
TEST(BrixDump, CheckMapsAndVerifyFindDamagedOrMisplacedPartFiles) {
    const std::string dump = BRIX_DUMP_EXE;
    TEMP_DIR dir;
    const std::string p = dir.file("d");
    write_database(p, make_device_database(4500));
    const std::string file = p + ".ddb";
    // A damaged part fails the check before any map is compared.
    std::vector<unsigned char> part = file_bytes(p + "_rif_t1.ddb");
    part[part.size() / 2] ^= 0x10;
    put_file_bytes(p + "_rif_t1.ddb", part);
    COMMAND_RESULT flipped = run_command(thr_shell_command({dump, "--check-maps", file}));
    EXPECT_EQ(1, flipped.status);
    EXPECT_EQ(
        0u, flipped.out.find("FAIL: Archive is damaged or truncated: CRC-32 mismatch (" + p + "_rif_t1.ddb"))
        << flipped.out;

    const std::string misplaced = dir.file("q.ddb");
    put_file_bytes(misplaced, file_bytes(p + "_rif_t0.ddb"));
    COMMAND_RESULT verified = run_command(thr_shell_command({dump, "--verify", misplaced}));
    EXPECT_EQ(1, verified.status);
    EXPECT_EQ("FAIL: The file is a part file of a split database (one slice of a device's G2 list), not a "
              "database: "
              "read the main archive it belongs to (" +
                  misplaced + ")\n",
              verified.out);
}

// The archive contract: class ids, and every class's fields in visit order with their kinds.
TEST(BrixDatabase, ClassIdsAndFieldsInArchiveOrder) {
    struct CLASS {
        const PDB_CLASS_THUNK& thunk;
        uint32_t id;
        const char* fields;
    };
    const std::vector<CLASS> expected = {
        {BRIX_PDB::INFO, 0x897B4237, "m_family_info:record m_device_info:record m_signature:bytes"},
        {BRIX_PDB::FAMILY_INFO, 0xB8645316, "m_family_type:u32 m_config_data_width:u32 m_block_list:list"},
        {BRIX_PDB::BLOCK, 0x102994CF,
         "m_block_type:u32 m_static:bool m_length:u32 m_has_crc:bool m_one_init:bool m_const_values:list "
         "m_dyn_values:list m_frame:record m_instruction_list:list"},
        {BRIX_PDB::FRAME, 0xA3297E42,
         "m_frame_type:u32 m_size:u32 m_header_size:u32 m_core_size:u32 m_edcrc_size:u32 m_crc_size:u32 "
         "m_crc_mask:u32 m_end_padding_bits:u32 m_crc_include_header:bool"},
        {BRIX_PDB::INSTRUCTION, 0x3EE23B12,
         "m_instruction_type:u32 m_opcode:u32 m_has_flc:bool m_core_size:u32 m_core_default_zero:bool "
         "m_padding_size:u32 m_padding_default_zero:bool"},
        {BRIX_PDB::CONST_DATA, 0x89B1618E, "m_value:u32 m_offset:u32"},
        {BRIX_PDB::DYN_DATA, 0x8CEBCD44,
         "m_dyn_data_type:u32 m_word_offset:u32 m_bit_offset:u32 m_length:u32 m_mask:u32 m_xflip:bool "
         "m_end_padding:bool m_ob_datas:list"},
        {BRIX_PDB::OB_DATA, 0xC1271454,
         "m_ob_data_type:u32 m_bit_index:u32 m_bit_offset:u32 m_length:u32 m_data_size:u32 m_link_block:u32 "
         "m_data:bytes"},
        {BRIX_PDB::DEVICE_INFO, 0x882A9B5C,
         "m_family_type:u32 m_device_type:u32 m_parameters:list m_arguments:list m_lutram_info:list "
         "m_mram_info:list m_simplified_lutram_col:u32 vector m_simplified_lutram_row:u32 vector "
         "m_simplified_mram_col:u32 vector m_simplified_mram_row:u32 vector m_g2_s2_list:list "
         "m_g2_s2_list_size:u32 m_g2_s2_thread_size:u32 m_ob_datas:list"},
        {BRIX_PDB::PARAMETER, 0x9CBDB978,
         "m_parameter_type:u32 m_length:u32 m_block_type:u32 m_const_values:list"},
        {BRIX_PDB::ARG, 0xF1780A02, "m_arg_type:u32 m_block_type:u32 m_data:list"},
        {BRIX_PDB::ARG_DATA, 0xE7B91589, "m_data_size:u32 m_unit_size:u32 m_data:bytes"},
        {BRIX_PDB::LUTRAM_MRAM, 0x37633E2E, "m_col:u32 m_rows:u32 vector"},
        {BRIX_PDB::SIMPLIFIED_LUTRAM_MRAM, 0x842D003D, "m_values:u32 vector"},
        {BRIX_PDB::G2_S1, 0x3DE8332C, "m_frame:u32 m_bit:u32 m_dir:bool m_dist:u8"},
        {BRIX_PDB::G2_S2, 0xF4F5B265, "m_g2_s2_bits_list:list of lists"},
        {BRIX_PDB::G2_S2_BIT, 0x26FE5227, "m_bit:u32 m_g2_s1_list:list"},
    };
    for (const CLASS& c : expected) {
        SCOPED_TRACE(c.thunk.name);
        EXPECT_EQ(c.id, c.thunk.class_id);
        std::vector<PDB_SCHEMA_CLASS> schema = pdb_describe(c.thunk);
        std::string fields;
        for (const PDB_SCHEMA_FIELD& f : schema[0].fields)
            fields += (fields.empty() ? "" : " ") + f.name + ":" + pdb_kind_name(f.kind);
        EXPECT_EQ(c.fields, fields);
    }
    // A database's schema holds every class reachable from the root; the simplified LUTRAM/MRAM record is
    // persistent on its own but not part of a database.
    EXPECT_EQ(16u, pdb_describe(BRIX_PDB::INFO).size());
}

TEST(BrixDatabase, InconsistentListSizesAreRefusedBeforeWriting) {
    TEMP_DIR dir;
    struct CASE {
        unsigned thread_size, list_size;
        const char* condition;
    };
    for (const CASE& c :
         std::vector<CASE>{{40, 40, "thread_index <= 32"},
                           {2, 39, "g2_s2_thread_size > 0 && g2_s2_list_size == UINT(g2_s2_list->size())"}}) {
        SCOPED_TRACE(c.condition);
        std::unique_ptr<BRIX_INFO> info(make_device_database(40));
        info->get_device_info()->set_g2_s2_thread_size(c.thread_size);
        info->get_device_info()->set_g2_s2_list_size(c.list_size);
        EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::write_brix_info(dir.file("d"), info.get(), true), c.condition);
        EXPECT_EQ("", directory_listing(dir));
    }
}
