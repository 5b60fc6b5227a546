// Container files of the programmer databases and the byte serialisation of their records.
#include "brix_data_server.h"
#include "fio.h"
#include "gen.h"
#include "inspect/brix_pgm_dump.h"
#include "pgm_common.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"
#include "programmer/pgm_rba.h"
#include "test_support.h"
#include "thr.h"

#include <zlib.h>

#include <cstring>
#include <functional>

namespace {

using BYTES = std::vector<unsigned char>;

BYTES read_bytes(const std::string& path) {
    BYTES data;
    EXPECT_TRUE(FIO_FILE_SYSTEM::read_file(path, data)) << path;
    return data;
}

void write_bytes(const std::string& path, const BYTES& data) {
    write_text_file(path, std::string(data.begin(), data.end()));
}

// Recomputes the trailer after a test has changed a byte on purpose.
void fix_crc(BYTES& file) {
    uint16_t crc = PGM_COMMON::calculate_crc16(file.data(), 0, uint64_t{file.size() - 2} * 8, 0xFFFF);
    file[file.size() - 2] = static_cast<unsigned char>(crc & 0xFF);
    file[file.size() - 1] = static_cast<unsigned char>(crc >> 8);
}

void put_u32(BYTES& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        b[at + k] = static_cast<unsigned char>(v >> (8 * k));
}

std::unique_ptr<uint32_t[]> u32_array(std::initializer_list<uint32_t> values) {
    std::unique_ptr<uint32_t[]> a(new uint32_t[values.size()]);
    std::copy(values.begin(), values.end(), a.get());
    return a;
}

PGM_BYTE_ROWS byte_rows(std::initializer_list<std::initializer_list<unsigned char>> rows) {
    PGM_BYTE_ROWS r(new std::unique_ptr<unsigned char[]>[rows.size()]);
    size_t i = 0;
    for (const auto& row : rows) {
        r[i].reset(new unsigned char[row.size()]);
        std::copy(row.begin(), row.end(), r[i].get());
        ++i;
    }
    return r;
}

std::vector<uint32_t> as_vector(const std::unique_ptr<uint32_t[]>& a, uint32_t n) {
    return a ? std::vector<uint32_t>(a.get(), a.get() + n) : std::vector<uint32_t>();
}

// A small FID with every array present: 3 image frames of 2 bits, 2 bitstream frames of 4 bits, 2 EDCRC
// frames of 10 bits (2 bytes per RMF row).
BRIX_FID make_fid() {
    BRIX_FID f;
    f.fid_version = 1;
    f.img_frame_size = 3;
    f.img_bit_size = 2;
    f.bs_frame_size = 2;
    f.bs_bit_size = 4;
    f.edcrc_frame_size = 2;
    f.edcrc_bit_size = 10;
    f.edcrc_bit_byte_size = 2;
    f.family_constant_1 = 42;
    f.family_constant_2 = 43;
    f.lutram_frame_offset = 7;
    f.family_constant_3 = 0;
    f.lutram_frame_size = 32;
    f.family_constant_4 = 86;
    f.img_to_bs_frame_mapping = u32_array({0, 1, 0xFFFFFFFF});
    f.bs_to_img_frame_mapping = u32_array({0, 1});
    f.img_to_bs_bit_mapping = u32_array({193, 0xFFFFFFFE});
    f.bs_to_img_bit_mapping = u32_array({3, 2, 1, 0});
    f.img_to_edcrc_frame_mapping = u32_array({1, 0, 0xFFFFFFFF});
    f.edcrc_to_img_frame_mapping = u32_array({1, 0});
    f.img_to_edcrc_bit_mapping = u32_array({1, 0xFFFFFFFE});
    f.edcrc_to_img_bit_mapping = u32_array({0, 1, 2, 3, 4, 5, 6, 7, 8, 0x12345678});
    f.edcrc_frame_types = u32_array({0x11, 2});
    f.edcrc_rmf = byte_rows({{0xA5, 0x03}, {0x00, 0x02}});
    return f;
}

BRIX_RBA_BLOCK_LIST make_rba_list() {
    BRIX_RBA_BLOCK_LIST list;
    auto lab = std::make_unique<BRIX_RBA_BLOCK>();
    lab->type = 12; // LA_LAB
    lab->frame_size = 4;
    lab->bit_size = 40;
    lab->locations[10] = {{0, false, false}, {40, true, false}};
    lab->locations[2] = {{80, false, true}};
    list.push_back(std::move(lab));
    auto m20k = std::make_unique<BRIX_RBA_BLOCK>();
    m20k->type = 18; // MM_M20K
    m20k->frame_size = 2;
    m20k->bit_size = 3;
    list.push_back(std::move(m20k)); // no placements
    return list;
}

BRIX_CRAM_MAP_LIST make_cram_map_list() {
    BRIX_CRAM_MAP_LIST list;
    auto a = std::make_unique<BRIX_CRAM_MAP>();
    a->type = 12;
    a->frame_size = 2;
    a->bit_size = 9;
    a->bit_byte_size = 2;
    a->info = byte_rows({{0xFF, 0x01}, {0x10, 0x00}});
    list.push_back(std::move(a));
    auto b = std::make_unique<BRIX_CRAM_MAP>();
    b->type = 13;
    b->frame_size = 1;
    b->bit_size = 3;
    b->bit_byte_size = 1;
    b->info = byte_rows({{0x05}});
    list.push_back(std::move(b));
    return list;
}

template <typename T> BYTES serialise(const T& value) {
    BYTES out;
    pgm_ddb_write(out, value);
    return out;
}

// Writes a payload as a container into dir and returns the file's path.
std::string write_container(const TEMP_DIR& dir, const BYTES& payload, const std::string& extension,
                            const std::string& name, uint32_t version = 1) {
    BRIX_DATA_SERVER::write_pgm_database_file(payload.data(), static_cast<uint32_t>(payload.size()), version,
                                              extension, name, name, dir.path() + "/");
    return dir.path() + "/" + stl_upper(name) + "." + stl_lower(extension);
}

} // namespace

// ---- Records ----------------------------------------------------------------------------------------------

// The record bytes of docs/pgm_container.md.
TEST(PgmRecords, RbaBlockListHasTheRecordLayoutBytes) {
    BYTES expected = {
        2,  0, 0, 0,                                      // block count
        12, 0, 0, 0, 4, 0, 0, 0, 40, 0, 0, 0,             // LA_LAB, frame_size 4, bit_size 40
        2,  0, 0, 0,                                      // two frame_index entries, ascending
        2,  0, 0, 0, 1, 0, 0, 0,                          // frame 2: one placement
        80, 0, 0, 0, 0, 1,                                //   bit 80, bit-mirrored
        10, 0, 0, 0, 2, 0, 0, 0,                          // frame 10: two placements, in insertion order
        0,  0, 0, 0, 0, 0,                                //   bit 0
        40, 0, 0, 0, 1, 0,                                //   bit 40, frame-mirrored
        18, 0, 0, 0, 2, 0, 0, 0, 3,  0, 0, 0, 0, 0, 0, 0, // MM_M20K without placements
    };
    EXPECT_EQ(expected, serialise(make_rba_list()));
}

TEST(PgmRecords, CramMapAndFidHaveTheRecordLayoutBytes) {
    BYTES map = serialise(make_cram_map_list());
    BYTES expected_map = {2,    0,    0,    0,  12, 0, 0, 0, 2, 0, 0, 0, 9, 0, 0, 0, 2, 0, 0, 0,   0xFF,
                          0x01, 0x10, 0x00, 13, 0,  0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0x05};
    EXPECT_EQ(expected_map, map);

    BYTES fid = serialise(make_fid());
    // u16 version, 13 u32 scalars, 3+2+2+4+3+2+2+10+2 u32 array entries, 2 RMF rows of 2 bytes.
    ASSERT_EQ(2u + 13 * 4 + 30 * 4 + 4, fid.size());
    EXPECT_EQ(1, fid[0]);
    EXPECT_EQ(0, fid[1]);
    EXPECT_EQ(3, fid[2]);     // img_frame_size
    EXPECT_EQ(86, fid[50]);   // family_constant_4
    EXPECT_EQ(0xFF, fid[62]); // img_to_bs_frame_mapping[2] = 0xFFFFFFFF
    BYTES rmf(fid.end() - 4, fid.end());
    EXPECT_EQ((BYTES{0xA5, 0x03, 0x00, 0x02}), rmf);
}

TEST(PgmRecords, ZeroLengthArraysTakeNoBytesAndReadBackNull) {
    BRIX_FID f;
    f.fid_version = 2;
    f.img_frame_size = 1;
    f.img_to_bs_frame_mapping = u32_array({7});
    f.img_to_edcrc_frame_mapping = u32_array({8});
    f.edcrc_frame_size = 2; // frame types present, but no RMF rows without a row width
    f.edcrc_to_img_frame_mapping = u32_array({0, 0});
    f.edcrc_frame_types = u32_array({4, 4});
    BYTES bytes = serialise(f);
    EXPECT_EQ(2u + 13 * 4 + 6 * 4, bytes.size());

    BRIX_FID back;
    size_t index = 0;
    pgm_ddb_read(bytes.data(), bytes.size(), index, back);
    EXPECT_EQ(bytes.size(), index);
    EXPECT_EQ((std::vector<uint32_t>{7}), as_vector(back.img_to_bs_frame_mapping, 1));
    EXPECT_EQ((std::vector<uint32_t>{4, 4}), as_vector(back.edcrc_frame_types, 2));
    EXPECT_EQ(nullptr, back.bs_to_img_frame_mapping);
    EXPECT_EQ(nullptr, back.img_to_bs_bit_mapping);
    EXPECT_EQ(nullptr, back.edcrc_to_img_bit_mapping);
    EXPECT_EQ(nullptr, back.edcrc_rmf);
}

TEST(PgmRecords, RepeatedFrameIndexReplacesTheEarlierList) {
    BYTES bytes = {
        1,  0, 0, 0,                                // one block
        13, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,        // LA_MLAB 1 x 1
        2,  0, 0, 0,                                // two entries
        5,  0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 1, 1,  // frame 5: bit 9
        5,  0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 7}; // frame 5 again: bit 3; any non-zero flag is true
    BRIX_RBA_BLOCK_LIST list;
    size_t index = 0;
    pgm_ddb_read(bytes.data(), bytes.size(), index, list);
    ASSERT_EQ(1u, list.size());
    ASSERT_EQ(1u, list[0]->locations.size());
    EXPECT_EQ((std::vector<BRIX_RBA_LOCATION>{{3, false, true}}), list[0]->locations.at(5));
}

// Every length field is checked against what the payload still holds before anything is allocated.
TEST(PgmRecords, ReadersRefuseLengthsThePayloadCannotHold) {
    struct CASE {
        const char* what;
        std::function<void(const BYTES&, size_t&)> read;
        BYTES bytes;
        std::string text;
        size_t where; // payload offset named in the report
    };
    auto read_fid = [](const BYTES& b, size_t& i) {
        BRIX_FID v;
        pgm_ddb_read(b.data(), b.size(), i, v);
    };
    auto read_rba = [](const BYTES& b, size_t& i) {
        BRIX_RBA_BLOCK_LIST v;
        pgm_ddb_read(b.data(), b.size(), i, v);
    };
    auto read_map = [](const BYTES& b, size_t& i) {
        BRIX_CRAM_MAP_LIST v;
        pgm_ddb_read(b.data(), b.size(), i, v);
    };
    BYTES fid_scalars(2 + 13 * 4, 0);
    put_u32(fid_scalars, 2, 0xFFFFFFFF); // img_frame_size: a 16 GB array from a 54-byte payload
    BYTES fid_rmf(2 + 13 * 4, 0);
    put_u32(fid_rmf, 2 + 4 * 4, 0x10000);                            // edcrc_frame_size
    put_u32(fid_rmf, 2 + 5 * 4, 0x80000);                            // edcrc_bit_size
    put_u32(fid_rmf, 2 + 6 * 4, 0x10000);                            // edcrc_bit_byte_size
    fid_rmf.resize(fid_rmf.size() + 4 * (2 * 0x10000 + 0x80000), 0); // the arrays are there, the rows are not
    BYTES fid_row_width(2 + 13 * 4, 0);
    put_u32(fid_row_width, 2 + 5 * 4, 17); // edcrc_bit_size 17 needs 3 bytes per row, not 2
    put_u32(fid_row_width, 2 + 6 * 4, 2);

    std::vector<CASE> cases = {
        {"empty payload", read_rba, {}, "index < max", 0},
        {"truncated count", read_rba, {1, 0, 0}, "index < max", 3},
        {"FID array longer than the payload", read_fid, fid_scalars, "index < max", 54},
        {"FID RMF rows missing", read_fid, fid_rmf, "index < max", fid_rmf.size()},
        {"block count without blocks", read_rba, {0xFF, 0xFF, 0xFF, 0xFF}, "index < max", 4},
        {"location count beyond the payload",
         read_rba,
         {1, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F},
         "index < max",
         28},
        {"CRAM map rows beyond the payload",
         read_map,
         {1,    0,    0,    0,    12,   0,    0,    0,    0xFF, 0xFF, 0xFF,
          0xFF, 0xF0, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0x1F, 0xFF, 0x01},
         "index < max",
         22},
        {"CRAM map rows narrower than their bits",
         read_map,
         {1, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0xFF},
         "v.bit_byte_size == (v.bit_size + 7) / 8",
         16},
        {"FID RMF rows narrower than their bits", read_fid, fid_row_width,
         "v.edcrc_bit_byte_size == (v.edcrc_bit_size + 7) / 8", 26},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        size_t index = 0;
        BRIX_INTERNAL_ERROR e = catch_brix_error([&] { c.read(c.bytes, index); });
        EXPECT_EQ(c.text, e.condition());
        ASSERT_FALSE(e.context().empty());
        EXPECT_EQ("payload byte " + std::to_string(c.where), e.context().back());
    }
}

TEST(PgmRecords, ArraysMustStillBeNullBeforeTheyAreRead) {
    BYTES map = serialise(make_cram_map_list());
    BRIX_CRAM_MAP v;
    v.info = byte_rows({{1}});
    size_t index = 4;
    EXPECT_BRIX_ERROR(pgm_ddb_read(map.data(), map.size(), index, v), "v.info == NULL");

    BYTES fid = serialise(make_fid());
    BRIX_FID f;
    f.edcrc_frame_types = u32_array({1});
    index = 0;
    EXPECT_BRIX_ERROR(pgm_ddb_read(fid.data(), fid.size(), index, f), "v.edcrc_frame_types == NULL");
}

// ---- Container ------------------------------------------------------------------------------------------

TEST(PgmContainer, HeaderLayoutAndTrailer) {
    TEMP_DIR dir;
    BYTES payload = serialise(make_rba_list());
    std::string path = write_container(dir, payload, "Pgm_Rba", "granite_d1");
    EXPECT_EQ(dir.path() + "/GRANITE_D1.pgm_rba", path);
    BYTES file = read_bytes(path);
    ASSERT_GT(file.size(), 98u);
    EXPECT_EQ(0, std::memcmp(file.data(), "PGM_RBA\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ((BYTES{1, 0, 0, 0}), BYTES(file.begin() + 16, file.begin() + 20));
    EXPECT_EQ(payload.size(), size_t{file[20]} | size_t{file[21]} << 8);
    EXPECT_EQ((BYTES{1, 0, 0, 0}), BYTES(file.begin() + 24, file.begin() + 28));
    EXPECT_EQ(BYTES(36, 0), BYTES(file.begin() + 28, file.begin() + 64));
    EXPECT_EQ(0, std::memcmp(file.data() + 64, "GRANITE_D1", 10));
    EXPECT_EQ(BYTES(22, 0), BYTES(file.begin() + 74, file.begin() + 96));
    EXPECT_EQ(0x78, file[96]); // a zlib stream
    // The trailer is the bit-by-bit CRC-16 of everything before it, low byte first.
    uint16_t crc = PGM_COMMON::calculate_crc16_bitwise(file.data(), 0, uint64_t{file.size() - 2} * 8, 0xFFFF);
    EXPECT_EQ(crc & 0xFF, file[file.size() - 2]);
    EXPECT_EQ(crc >> 8, file[file.size() - 1]);

    uint32_t version = 0, raw_size = 0;
    std::string extension, name;
    auto data = BRIX_DATA_SERVER::read_pgm_database_file(path, version, extension, name, raw_size);
    EXPECT_EQ(1u, version);
    EXPECT_EQ("PGM_RBA", extension);
    EXPECT_EQ("GRANITE_D1", name);
    ASSERT_EQ(payload.size(), raw_size);
    EXPECT_EQ(payload, BYTES(data.get(), data.get() + raw_size));
}

TEST(PgmContainer, EachRecordKindRoundTripsThroughItsLookUp) {
    TEMP_DIR dir;
    std::string fid_path = write_container(dir, serialise(make_fid()), "fid", "basalt_d2");
    std::unique_ptr<BRIX_FID> fid = BRIX_DATA_SERVER::get_device_fid(fid_path);
    ASSERT_NE(nullptr, fid);
    EXPECT_EQ(serialise(make_fid()), serialise(*fid));
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 0x12345678}),
              as_vector(fid->edcrc_to_img_bit_mapping, fid->edcrc_bit_size));
    BRIX_DATA_SERVER::delete_device_fid(fid);
    EXPECT_EQ(nullptr, fid);

    std::string rba_path = write_container(dir, serialise(make_rba_list()), "pgm_rba", "basalt_d2");
    BRIX_RBA_BLOCK_LIST blocks = BRIX_DATA_SERVER::get_device_rba(rba_path);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(serialise(make_rba_list()), serialise(blocks));
    EXPECT_EQ((std::vector<BRIX_RBA_LOCATION>{{0, false, false}, {40, true, false}}),
              blocks[0]->locations.at(10));
    BRIX_DATA_SERVER::delete_device_rba(blocks);
    EXPECT_TRUE(blocks.empty());

    BYTES map_payload = {0x05}; // COL_AS_FRAME and keep_row_order
    BYTES maps = serialise(make_cram_map_list());
    map_payload.insert(map_payload.end(), maps.begin(), maps.end());
    std::string map_path = write_container(dir, map_payload, "cram_map", "basalt_family");
    unsigned char flags = 0;
    BRIX_CRAM_MAP_LIST list = BRIX_DATA_SERVER::get_family_cram_map(map_path, flags);
    EXPECT_EQ(0x05, flags);
    EXPECT_EQ(maps, serialise(list));
    ASSERT_NE(nullptr, BRIX_DATA_SERVER::get_cram_map(list, 13));
    EXPECT_EQ(list[1].get(), BRIX_DATA_SERVER::get_cram_map(list, 13));
    EXPECT_EQ(nullptr, BRIX_DATA_SERVER::get_cram_map(list, 14));
    BRIX_DATA_SERVER::delete_family_cram_map(list);
    EXPECT_TRUE(list.empty());

    // Only the flags byte and a zero count: an empty list with the flags.
    std::string empty_path = write_container(dir, {0x03, 0, 0, 0, 0}, "cram_map", "slate_family");
    list = BRIX_DATA_SERVER::get_family_cram_map(empty_path, flags);
    EXPECT_EQ(0x03, flags);
    EXPECT_TRUE(list.empty());
}

TEST(PgmContainer, WriterLimitsExtensionAndName) {
    TEMP_DIR dir;
    BYTES payload = serialise(make_rba_list());
    // 16 characters fill the field with no terminator and read back whole.
    std::string path = write_container(dir, payload, "abcdefghijklmnop", "n");
    uint32_t version = 0, raw_size = 0;
    std::string extension, name;
    BRIX_DATA_SERVER::read_pgm_database_file(path, version, extension, name, raw_size);
    EXPECT_EQ("ABCDEFGHIJKLMNOP", extension);
    std::string name32(32, 'x');
    path = write_container(dir, payload, "fid", name32);
    BRIX_DATA_SERVER::read_pgm_database_file(path, version, extension, name, raw_size);
    EXPECT_EQ(std::string(32, 'X'), name);

    const std::string ext_text = "!file_extension.empty() && file_extension.size() <= 16";
    const std::string name_text = "!name.empty() && name.size() <= 32";
    EXPECT_BRIX_ERROR(write_container(dir, payload, "abcdefghijklmnopq", "n"), ext_text);
    EXPECT_BRIX_ERROR(write_container(dir, payload, "", "n"), ext_text);
    EXPECT_BRIX_ERROR(write_container(dir, payload, "fid", std::string(33, 'x')), name_text);
    EXPECT_BRIX_ERROR(
        BRIX_DATA_SERVER::write_pgm_database_file(payload.data(), 4, 1, "fid", "", "b", dir.path()),
        name_text);
}

// The reader's checks, in the order it makes them, on files derived from one valid file.
// A small file, and one large enough that its CRC-16 is taken beside the decompression: the same checks in
// the same order.
TEST(PgmContainer, ReaderRefusesDamagedFiles) {
    TEMP_DIR dir;
    BYTES large(size_t{3} << 19);
    uint32_t x = 1;
    for (unsigned char& b : large) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    for (const BYTES& payload : {serialise(make_rba_list()), large}) {
        SCOPED_TRACE(payload.size());
        BYTES good = read_bytes(write_container(dir, payload, "pgm_rba", "granite_d1"));
        struct CASE {
            const char* what;
            std::function<void(BYTES&)>
                damage; // changes the file; the CRC is recomputed unless told otherwise
            bool fix_trailer;
            std::string text;       // empty: the file is accepted
            std::string where = ""; // when given: the innermost location the report names
        };
        std::vector<CASE> cases = {
            {"98 bytes", [](BYTES& f) { f.resize(98); }, false, "file_size > 98"},
            // One byte cannot expand to more than 1032: a larger raw size is refused before the stream is
            // read.
            {"99 bytes, one payload byte", [](BYTES& f) { f.resize(99); }, true,
             payload.size() <= 1032
                 ? "zlib_uncompress(uncompressed_data, &index, &file_data[96], file_size - 98) == ZLIB_OK"
                 : "index == raw_data_size"},
            {"flipped header byte", [](BYTES& f) { f[70] ^= 0x01; }, false,
             "file_data[file_size - 2] == BYTE(crc16 & 0xFF)"},
            {"flipped payload byte", [](BYTES& f) { f[100] ^= 0x80; }, false,
             "file_data[file_size - 2] == BYTE(crc16 & 0xFF)"},
            {"swapped trailer bytes", [](BYTES& f) { std::swap(f[f.size() - 1], f[f.size() - 2]); }, false,
             "file_data[file_size - 2] == BYTE(crc16 & 0xFF)"},
            {"only the high trailer byte wrong", [](BYTES& f) { f.back() ^= 0x10; }, false,
             "file_data[file_size - 1] == BYTE((crc16 >> 8) & 0xFF)"},
            {"letter after the extension's terminator", [](BYTES& f) { f[8] = 'X'; }, true,
             "file_data[i] == 0"},
            {"letter after the name's terminator", [](BYTES& f) { f[95] = 'X'; }, true, "file_data[j] == 0"},
            {"unchecked bytes 17-19 and 28-63",
             [](BYTES& f) {
                 f[17] = f[19] = 0xEE;
                 f[28] = f[63] = 0xEE;
             },
             true, ""},
            {"flag bit 0 clear", [](BYTES& f) { f[16] = 0xFE; }, true, "(flag & 1) == 1"},
            {"raw size 0", [](BYTES& f) { put_u32(f, 20, 0); }, true, "raw_data_size > 0"},
            {"raw size one short", [&](BYTES& f) { put_u32(f, 20, uint32_t(payload.size() - 1)); }, true,
             "index == raw_data_size"},
            {"raw size one long", [&](BYTES& f) { put_u32(f, 20, uint32_t(payload.size() + 1)); }, true,
             "index == raw_data_size"},
            // 4 GB claimed for a few dozen compressed bytes: refused before anything is allocated.
            {"raw size beyond what zlib can expand to", [](BYTES& f) { put_u32(f, 20, 0xFFFFFFFF); }, true,
             "index == raw_data_size", "byte 20"},
            {"payload not a zlib stream", [](BYTES& f) { f[96] = 0x00; }, true,
             "zlib_uncompress(uncompressed_data, &index, &file_data[96], file_size - 98) == ZLIB_OK"},
            {"zlib stream cut short",
             [](BYTES& f) { f.erase(f.end() - 6, f.end() - 2); }, // drops the stream's checksum
             true, "zlib_uncompress(uncompressed_data, &index, &file_data[96], file_size - 98) == ZLIB_OK"},
        };
        for (const CASE& c : cases) {
            SCOPED_TRACE(c.what);
            BYTES file = good;
            c.damage(file);
            if (c.fix_trailer)
                fix_crc(file);
            std::string path = dir.file("damaged.pgm_rba");
            write_bytes(path, file);
            uint32_t version = 0, raw_size = 0;
            std::string extension, name;
            if (c.text.empty()) {
                auto data =
                    BRIX_DATA_SERVER::read_pgm_database_file(path, version, extension, name, raw_size);
                EXPECT_EQ(payload, BYTES(data.get(), data.get() + raw_size));
                continue;
            }
            BRIX_INTERNAL_ERROR e = catch_brix_error(
                [&] { BRIX_DATA_SERVER::read_pgm_database_file(path, version, extension, name, raw_size); });
            EXPECT_EQ(c.text, e.condition());
            ASSERT_FALSE(e.context().empty());
            EXPECT_EQ(path, e.context().front());
            if (!c.where.empty()) {
                EXPECT_EQ(c.where, e.context().back());
            }
        }
    }
    uint32_t version = 0, raw_size = 0;
    std::string extension, name;
    EXPECT_BRIX_ERROR(
        BRIX_DATA_SERVER::read_pgm_database_file(dir.file("missing.fid"), version, extension, name, raw_size),
        "input.good()");
}

TEST(PgmContainer, ReportNamesTheOffendingHeaderByte) {
    TEMP_DIR dir;
    BYTES file = read_bytes(write_container(dir, serialise(make_rba_list()), "fid", "x"));
    file[5] = 'X'; // "FID", zero bytes, then a letter at byte 5
    fix_crc(file);
    std::string path = dir.file("bad.fid");
    write_bytes(path, file);
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] { BRIX_DATA_SERVER::get_device_fid(path); });
    EXPECT_EQ("file_data[i] == 0", e.condition());
    EXPECT_EQ((std::vector<std::string>{path, "byte 5"}), e.context());
}

TEST(PgmContainer, LookUpsCheckKindVersionAndPayloadLength) {
    TEMP_DIR dir;
    BYTES rba = serialise(make_rba_list());
    std::string rba_path = write_container(dir, rba, "pgm_rba", "granite_d1");
    // A PGM RBA file given to the FID look-up under a FID name.
    std::string renamed = dir.file("granite_d1.fid");
    write_bytes(renamed, read_bytes(rba_path));
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_device_fid(renamed), "file_extension == \"FID\"");
    std::string as_map = dir.file("granite.cram_map");
    write_bytes(as_map, read_bytes(rba_path));
    unsigned char flags = 0;
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_family_cram_map(as_map, flags), "file_extension == \"CRAM_MAP\"");

    TEMP_DIR v2;
    std::string version2 = write_container(v2, rba, "pgm_rba", "granite_d1", 2);
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_device_rba(version2), "version == 1");

    TEMP_DIR extra;
    BYTES longer = rba;
    longer.push_back(0);
    std::string trailing = write_container(extra, longer, "pgm_rba", "granite_d1");
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] { BRIX_DATA_SERVER::get_device_rba(trailing); });
    EXPECT_EQ("index == uncompressed_size", e.condition());
    EXPECT_EQ((std::vector<std::string>{trailing, "payload byte " + std::to_string(rba.size())}),
              e.context());

    // A forged count inside an intact container: the file and the payload offset are named.
    TEMP_DIR forged;
    std::string forged_path = write_container(forged, {0xFF, 0xFF, 0xFF, 0x7F}, "pgm_rba", "granite_d1");
    e = catch_brix_error([&] { BRIX_DATA_SERVER::get_device_rba(forged_path); });
    EXPECT_EQ("index < max", e.condition());
    EXPECT_EQ((std::vector<std::string>{forged_path, "payload byte 4"}), e.context());

    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_family_cram_map("", flags), "!family.empty()");
    std::string pcf;
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_device_rba_file("", pcf), "!target.empty()");
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_family_cram_map_file(""), "!target.empty()");
}

TEST(PgmContainer, FamilyNamesTheDefaultPathAndMustMatchTheHeader) {
    TEMP_DIR install;
    std::string fid_dir = install.path() + "/devdb/programmer/fid/";
    ASSERT_EQ(0, run_command("mkdir -p '" + fid_dir + "'").status);
    VANTREL_PATH_GUARD installation(install.path());
    EXPECT_EQ(fid_dir + "SLATE_FAMILY.cram_map", BRIX_DATA_SERVER::get_family_cram_map_file("slate_family"));
    EXPECT_EQ("x/a.cram_map", BRIX_DATA_SERVER::get_family_cram_map_file("x/a.cram_map"));
    std::string pcf = "stale";
    EXPECT_EQ("d/granite_d1.pgm_rba", BRIX_DATA_SERVER::get_device_rba_file("d/granite_d1.pgm_rba", pcf));
    EXPECT_EQ("", pcf);
    EXPECT_EQ("q.fid", BRIX_DATA_SERVER::get_device_fid_file("q.fid", pcf));

    BYTES payload = {0x01, 0, 0, 0, 0};
    BRIX_DATA_SERVER::write_pgm_database_file(payload.data(), 5, 1, "cram_map", "basalt_family",
                                              "slate_family", fid_dir);
    unsigned char flags = 0;
    EXPECT_BRIX_ERROR(BRIX_DATA_SERVER::get_family_cram_map("slate_family", flags),
                      "family_name == family || no_check");
    // Given as a path, the owner name is not compared.
    EXPECT_TRUE(BRIX_DATA_SERVER::get_family_cram_map(fid_dir + "SLATE_FAMILY.cram_map", flags).empty());
    BRIX_DATA_SERVER::write_pgm_database_file(payload.data(), 5, 1, "cram_map", "Slate_Family",
                                              "slate_family", fid_dir);
    EXPECT_TRUE(BRIX_DATA_SERVER::get_family_cram_map("slate_family", flags).empty());
}

// The payload is a standard zlib stream: zlib's own uncompress (not the reader of this program) gives every
// written payload back. On the record kinds and on the sample installation's PGM RBA payloads the stream is
// no larger than zlib's at level 9, the size the format was first written with.
TEST(PgmContainer, PayloadIsAZlibStreamNoLargerThanLevel9) {
    std::vector<std::pair<std::string, BYTES>> payloads = {{"fid", serialise(make_fid())},
                                                           {"rba", serialise(make_rba_list())},
                                                           {"cram map", {0x01, 0, 0, 0, 0}}};
    for (const char* device : {"granite_d1", "basalt_d1", "slate_d1", "harrier_d1", "talon_d0"}) {
        std::string rba = std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/rba/" + device + ".rba";
        testing::internal::CaptureStdout();
        BRIX_RBA_BLOCK_LIST list =
            parse_rba_file(BRIX_BUILD_CONTEXT(), rba, std::string(device) == "talon_d0" ? 1 : 0);
        testing::internal::GetCapturedStdout();
        payloads.emplace_back(device, serialise(list));
    }
    TEMP_DIR dir;
    for (const auto& [what, payload] : payloads) {
        SCOPED_TRACE(what);
        testing::internal::CaptureStdout();
        BYTES file = read_bytes(write_container(dir, payload, "pgm_rba", "dev"));
        testing::internal::GetCapturedStdout();
        ASSERT_GT(file.size(), 98u);
        const uLong stream_size = static_cast<uLong>(file.size() - 98);
        BYTES back(payload.size());
        uLongf n = back.size();
        ASSERT_EQ(Z_OK, uncompress(back.data(), &n, file.data() + 96, stream_size));
        EXPECT_EQ(payload, back);
        BYTES level9(compressBound(payload.size()));
        uLongf m = level9.size();
        ASSERT_EQ(Z_OK, compress2(level9.data(), &m, payload.data(), payload.size(), 9));
        EXPECT_LE(stream_size, m);
    }
}

// A write that fails part-way is a report naming the file, and the previous file stays as it was.
TEST(PgmContainer, FailedWriteKeepsThePreviousFile) {
    TEMP_DIR dir;
    BYTES old_payload = serialise(make_rba_list());
    std::string path = write_container(dir, old_payload, "pgm_rba", "granite_d1");
    BYTES old_file = read_bytes(path);

    BYTES new_payload = serialise(make_fid());
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(50);
    BRIX_INTERNAL_ERROR e =
        catch_brix_error([&] { write_container(dir, new_payload, "pgm_rba", "granite_d1"); });
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
    EXPECT_NE(std::string::npos, e.condition().find(path)) << e.condition();
    EXPECT_EQ(old_file, read_bytes(path));
    EXPECT_EQ("GRANITE_D1.pgm_rba\n", run_command("ls '" + dir.path() + "'").out);

    // A directory that does not exist: nothing is created and the report names the file.
    e = catch_brix_error([&] {
        BRIX_DATA_SERVER::write_pgm_database_file(new_payload.data(), uint32_t(new_payload.size()), 1, "fid",
                                                  "x", "x", dir.path() + "/missing/");
    });
    EXPECT_NE(std::string::npos, e.condition().find(dir.path() + "/missing/X.fid")) << e.condition();
}

// The fast CRC (tables, eight bytes at a time) equals the bit-by-bit definition for every alignment.
TEST(PgmCrc16, TablesAgreeWithTheBitwiseDefinition) {
    const unsigned char check[] = "123456789";
    EXPECT_EQ(0x4B37, PGM_COMMON::calculate_crc16(check, 0, 9 * 8, 0xFFFF)); // CRC-16/MODBUS check value
    BYTES data(40);
    uint32_t x = 7;
    for (unsigned char& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    for (uint64_t first = 0; first < 12; ++first)
        for (uint64_t count = 0; count + first <= data.size() * 8; count += 5)
            ASSERT_EQ(PGM_COMMON::calculate_crc16_bitwise(data.data(), first, count, 0x1234),
                      PGM_COMMON::calculate_crc16(data.data(), first, count, 0x1234))
                << "first bit " << first << ", " << count << " bits";
}

// ---- Inspection
// ---------------------------------------------------------------------------------------------

TEST(PgmDump, JsonShowsHeaderThenRecords) {
    TEMP_DIR dir;
    std::string rba = write_container(dir, serialise(make_rba_list()), "pgm_rba", "granite_d1");
    nlohmann::ordered_json j = pgm_container_to_json(rba);
    EXPECT_EQ((std::vector<std::string>{"kind", "header", "pgm_rba"}), [&] {
        std::vector<std::string> keys;
        for (auto it = j.begin(); it != j.end(); ++it)
            keys.push_back(it.key());
        return keys;
    }());
    EXPECT_EQ("PGM_RBA", j["header"]["file_extension"]);
    EXPECT_EQ("GRANITE_D1", j["header"]["name"]);
    EXPECT_EQ(1, j["header"]["flag"]);
    EXPECT_EQ(serialise(make_rba_list()).size(), j["header"]["raw_data_size"].get<size_t>());
    const auto& lab = j["pgm_rba"][0];
    EXPECT_EQ("LA_LAB", lab["type_name"]);
    EXPECT_EQ(2, lab["locations"][0]["frame_index"]);
    EXPECT_EQ(true, lab["locations"][0]["placements"][0]["bit_mirror"]);
    EXPECT_EQ(40, lab["locations"][1]["placements"][1]["bit_index"]);

    BYTES map_payload = {0x05};
    BYTES maps = serialise(make_cram_map_list());
    map_payload.insert(map_payload.end(), maps.begin(), maps.end());
    j = pgm_container_to_json(write_container(dir, map_payload, "cram_map", "basalt_family"));
    EXPECT_EQ(true, j["cram_map"]["col_as_frame"]);
    EXPECT_EQ(false, j["cram_map"]["keep_column_order"]);
    EXPECT_EQ(true, j["cram_map"]["keep_row_order"]);
    EXPECT_EQ((std::vector<std::string>{"ff01", "1000"}),
              j["cram_map"]["maps"][0]["info"].get<std::vector<std::string>>());

    j = pgm_container_to_json(write_container(dir, serialise(make_fid()), "fid", "basalt_d2"));
    EXPECT_EQ((std::vector<std::string>{"a503", "0002"}),
              j["fid"]["edcrc_rmf"].get<std::vector<std::string>>());
    EXPECT_EQ((std::vector<uint32_t>{193, 0xFFFFFFFE}),
              j["fid"]["img_to_bs_bit_mapping"].get<std::vector<uint32_t>>());
    EXPECT_EQ(86, j["fid"]["family_constant_4"]);
}

TEST(PgmDump, VerifyNamesTheFailedCheck) {
    TEMP_DIR dir;
    BYTES payload = serialise(make_rba_list());
    std::string good = write_container(dir, payload, "pgm_rba", "granite_d1");
    std::string reason;
    EXPECT_TRUE(pgm_container_verify(good, reason)) << reason;
    EXPECT_NE(std::string::npos, reason.find("PGM_RBA GRANITE_D1")) << reason;

    BYTES file = read_bytes(good);
    file[100] ^= 1;
    std::string flipped = dir.file("flipped.pgm_rba");
    write_bytes(flipped, file);
    EXPECT_FALSE(pgm_container_verify(flipped, reason));
    EXPECT_EQ("file_data[file_size - 2] == BYTE(crc16 & 0xFF) (" + flipped + ", byte " +
                  std::to_string(file.size() - 2) + ")",
              reason);

    // Intact container, but its payload holds one byte more than its records.
    payload.push_back(0);
    TEMP_DIR other;
    std::string longer = write_container(other, payload, "pgm_rba", "granite_d1");
    EXPECT_FALSE(pgm_container_verify(longer, reason));
    EXPECT_EQ("index == uncompressed_size (" + longer + ", payload byte " +
                  std::to_string(payload.size() - 1) + ")",
              reason);

    TEMP_DIR v2;
    EXPECT_FALSE(
        pgm_container_verify(write_container(v2, serialise(make_rba_list()), "pgm_rba", "g", 2), reason));
    EXPECT_NE(std::string::npos, reason.find("version == 1")) << reason;
    EXPECT_FALSE(pgm_container_verify(write_container(v2, {1, 2, 3}, "other", "g"), reason));
    EXPECT_NE(std::string::npos, reason.find("Unknown container kind OTHER")) << reason;
}

// A file whose CRC is repaired after its header is changed reads, but verification refuses header text that
// is not an upper-case identifier and a reserved field that is not zero; the dump still prints such text,
// escaped, and never aborts.
TEST(PgmDump, HeaderFieldsOutsideTheFormatAreRefusedByVerifyAndPrintedEscaped) {
    struct CASE {
        const char* what;
        size_t offset; // header byte changed
        unsigned char value;
        const char* condition;
        const char* dumped_name; // null: the name is unchanged
    };
    const CASE cases[] = {
        {"name byte over 0x7f", 66, 0xC3, "Header name is not an upper-case identifier", "GR\\xc3NITE_D1"},
        {"name with a lower-case letter", 64, 'g', "Header name is not an upper-case identifier",
         "gRANITE_D1"},
        {"name with a blank", 70, ' ', "Header name is not an upper-case identifier", "GRANIT _D1"},
        {"name with a backslash", 70, '\\', "Header name is not an upper-case identifier", "GRANIT\\\\_D1"},
        {"extension with a dot", 3, '.', "Header file extension is not an upper-case identifier", nullptr},
        {"first reserved byte", 28, 1, "Reserved header byte is not zero", nullptr},
        {"last reserved byte", 63, 0x80, "Reserved header byte is not zero", nullptr},
    };
    TEMP_DIR dir;
    const std::string good = write_container(dir, serialise(make_rba_list()), "pgm_rba", "granite_d1");
    const std::string dump = BRIX_DUMP_EXE;
    ASSERT_FALSE(dump.empty());
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        BYTES file = read_bytes(good);
        file[c.offset] = c.value;
        fix_crc(file);
        const std::string path = dir.file("damaged.pgm_rba");
        write_bytes(path, file);

        std::string reason;
        EXPECT_FALSE(pgm_container_verify(path, reason));
        EXPECT_EQ(std::string(c.condition) + " (" + path + ", byte " + std::to_string(c.offset) + ")",
                  reason);
        COMMAND_RESULT verified = run_command(thr_shell_command({dump, "--verify", path}));
        EXPECT_EQ(1, verified.status);
        EXPECT_EQ("FAIL: " + reason + "\n", verified.out);

        if (c.dumped_name) {
            EXPECT_EQ(c.dumped_name, pgm_container_to_json(path)["header"]["name"].get<std::string>());
            COMMAND_RESULT dumped = run_command(thr_shell_command({dump, path}));
            EXPECT_EQ(0, dumped.status) << dumped.err;
            EXPECT_EQ(c.dumped_name,
                      nlohmann::ordered_json::parse(dumped.out)["header"]["name"].get<std::string>());
        }
    }
    // The intact file passes.
    std::string reason;
    EXPECT_TRUE(pgm_container_verify(good, reason)) << reason;
}
