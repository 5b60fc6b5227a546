// The archive library on a small test class: round trips, determinism, schema checks, damaged and forged
// files, and writes that fail part-way.
#include "fio.h"
#include "pdb_archive.h"
#include "test_support.h"
#include "thr.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <zlib.h>

namespace {

struct ITEM {
    uint32_t value = 0;
    bool flag = false;
    uint8_t small = 0;
    uint32_t size = 0;
    unsigned char* bytes = nullptr;
    ~ITEM() { delete[] bytes; }
};

struct ROOT {
    uint32_t id = 0;
    std::vector<uint32_t> values;
    std::vector<ITEM*>* items = nullptr;
    ITEM* single = nullptr;
    std::vector<std::vector<ITEM*>*>* groups = nullptr;
    ~ROOT() {
        if (items)
            for (ITEM* i : *items)
                delete i;
        delete items;
        delete single;
        if (groups)
            for (auto* g : *groups) {
                if (g)
                    for (ITEM* i : *g)
                        delete i;
                delete g;
            }
        delete groups;
    }
};

void serialize_item(PDB_SEGMENT& s, ITEM& o) {
    s.u32("value", o.value);
    s.boolean("flag", o.flag);
    s.u8("small", o.small);
    s.byte_count("bytes", o.bytes, o.size);
    s.byte_data(o.bytes, o.size);
}

extern const PDB_CLASS_THUNK ITEM_THUNK;

void serialize_root(PDB_SEGMENT& s, ROOT& o) {
    s.u32("id", o.id);
    s.u32_vector("values", o.values);
    s.list("items", o.items, ITEM_THUNK);
    s.record("single", o.single, ITEM_THUNK);
    s.list_of_lists("groups", o.groups, ITEM_THUNK);
}

const PDB_CLASS_THUNK ITEM_THUNK = pdb_make_thunk<ITEM, serialize_item>(0x1111, "ITEM");
const PDB_CLASS_THUNK ROOT_THUNK = pdb_make_thunk<ROOT, serialize_root>(0x2222, "ROOT");

// The same classes as another program version would see them: ITEM with a changed field.
void serialize_item_v2(PDB_SEGMENT& s, ITEM& o) {
    s.u32("value", o.value);
    s.u32("flag_word", o.value);
    s.u8("small", o.small);
    s.byte_count("bytes", o.bytes, o.size);
    s.byte_data(o.bytes, o.size);
}
extern const PDB_CLASS_THUNK ITEM_V2_THUNK;
void serialize_root_v2(PDB_SEGMENT& s, ROOT& o) {
    s.u32("id", o.id);
    s.u32_vector("values", o.values);
    s.list("items", o.items, ITEM_V2_THUNK);
    s.record("single", o.single, ITEM_V2_THUNK);
    s.list_of_lists("groups", o.groups, ITEM_V2_THUNK);
}
const PDB_CLASS_THUNK ITEM_V2_THUNK = pdb_make_thunk<ITEM, serialize_item_v2>(0x1111, "ITEM");
const PDB_CLASS_THUNK ROOT_V2_THUNK = pdb_make_thunk<ROOT, serialize_root_v2>(0x2222, "ROOT");

ITEM* make_item(uint32_t value, bool flag, uint8_t small, std::vector<unsigned char> bytes,
                bool null_bytes = false) {
    ITEM* i = new ITEM;
    i->value = value;
    i->flag = flag;
    i->small = small;
    if (!null_bytes) {
        i->size = static_cast<uint32_t>(bytes.size());
        i->bytes = new unsigned char[bytes.size()];
        std::copy(bytes.begin(), bytes.end(), i->bytes);
    }
    return i;
}

ROOT* make_root() {
    ROOT* r = new ROOT;
    r->id = 0xA1B2C3D4;
    r->values = {1, 0xFFFFFFFF, 0, 42};
    r->items = new std::vector<ITEM*>{make_item(7, true, 0xFE, {1, 2, 3}), nullptr,
                                      make_item(8, false, 0, {}, true)};
    r->single = nullptr;
    r->groups = new std::vector<std::vector<ITEM*>*>{new std::vector<ITEM*>{make_item(9, true, 1, {0xAA})},
                                                     nullptr, new std::vector<ITEM*>{}};
    return r;
}

void write_root(const std::string& path, ROOT* root, std::vector<PDB_FILE_CHECK> companions = {}) {
    PDB_ARCHIVE archive(path);
    archive.set_companions(std::move(companions));
    pdb_write_ptr(archive, ROOT_THUNK, root);
    archive.commit();
}

std::unique_ptr<ROOT> read_root(const std::string& path, const PDB_CLASS_THUNK& thunk = ROOT_THUNK) {
    PDB_ARCHIVE archive;
    EXPECT_TRUE(archive.open(path));
    ROOT* root = nullptr;
    EXPECT_TRUE(pdb_read_ptr(archive, thunk, root));
    return std::unique_ptr<ROOT>(root);
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::vector<unsigned char> data;
    EXPECT_TRUE(FIO_FILE_SYSTEM::read_file(path, data));
    return data;
}

void write_bytes(const std::string& path, const std::vector<unsigned char>& data) {
    write_text_file(path, std::string(data.begin(), data.end()));
}

// Rewrites the trailing CRC so that a deliberately forged file passes the integrity check.
void fix_crc(std::vector<unsigned char>& data) {
    uint32_t crc = static_cast<uint32_t>(crc32_z(0, data.data(), data.size() - 4));
    for (int i = 0; i < 4; ++i)
        data[data.size() - 4 + i] = static_cast<unsigned char>(crc >> (8 * i));
}

size_t find_u32(const std::vector<unsigned char>& data, uint32_t v) {
    for (size_t i = 0; i + 4 <= data.size(); ++i)
        if (data[i] == (v & 0xFF) && data[i + 1] == ((v >> 8) & 0xFF) && data[i + 2] == ((v >> 16) & 0xFF) &&
            data[i + 3] == (v >> 24))
            return i;
    ADD_FAILURE() << "value not found";
    return 0;
}

void put_u32(std::vector<unsigned char>& data, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        data[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

void expect_same_item(const ITEM* a, const ITEM* b) {
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (!a)
        return;
    EXPECT_EQ(a->value, b->value);
    EXPECT_EQ(a->flag, b->flag);
    EXPECT_EQ(a->small, b->small);
    EXPECT_EQ(a->size, b->size);
    ASSERT_EQ(a->bytes == nullptr, b->bytes == nullptr);
    if (a->bytes) {
        EXPECT_EQ(0, std::memcmp(a->bytes, b->bytes, a->size));
    }
}

} // namespace

TEST(PdbArchive, RoundTripKeepsValuesOrderAndNulls) {
    TEMP_DIR dir;
    std::unique_ptr<ROOT> original(make_root());
    std::vector<PDB_FILE_CHECK> companions{{123456789012ull, 0xDEADBEEF}, {0, 0}};
    write_root(dir.file("a.ddb"), original.get(), companions);

    PDB_ARCHIVE archive;
    ASSERT_TRUE(archive.open(dir.file("a.ddb")));
    ROOT* raw = nullptr;
    ASSERT_TRUE(pdb_read_ptr(archive, ROOT_THUNK, raw));
    std::unique_ptr<ROOT> back(raw);
    ASSERT_TRUE(back);
    EXPECT_EQ(original->id, back->id);
    EXPECT_EQ(original->values, back->values);
    ASSERT_TRUE(back->items);
    ASSERT_EQ(3u, back->items->size());
    for (size_t i = 0; i < 3; ++i)
        expect_same_item((*original->items)[i], (*back->items)[i]);
    EXPECT_EQ(nullptr, (*back->items)[2]->bytes) << "a null byte block stays null";
    EXPECT_EQ(nullptr, back->single);
    ASSERT_TRUE(back->groups);
    ASSERT_EQ(3u, back->groups->size());
    ASSERT_TRUE((*back->groups)[0]);
    ASSERT_EQ(1u, (*back->groups)[0]->size());
    expect_same_item((*(*original->groups)[0])[0], (*(*back->groups)[0])[0]);
    EXPECT_EQ(nullptr, (*back->groups)[1]) << "a null inner list stays null";
    ASSERT_TRUE((*back->groups)[2]);
    EXPECT_TRUE((*back->groups)[2]->empty()) << "an empty list stays an empty list, not null";
    EXPECT_EQ(companions, archive.companions());
    EXPECT_EQ(read_bytes(dir.file("a.ddb")).size(), archive.file_check().size);

    // An all-null root and a null root survive too.
    ROOT empty;
    write_root(dir.file("b.ddb"), &empty);
    std::unique_ptr<ROOT> empty_back = read_root(dir.file("b.ddb"));
    ASSERT_TRUE(empty_back);
    EXPECT_EQ(nullptr, empty_back->items);
    EXPECT_EQ(nullptr, empty_back->groups);
    EXPECT_TRUE(empty_back->values.empty());
    write_root(dir.file("c.ddb"), nullptr);
    EXPECT_EQ(nullptr, read_root(dir.file("c.ddb")));
}

TEST(PdbArchive, SameGraphGivesSameBytesAndWriteCheckMatchesFile) {
    TEMP_DIR dir;
    std::unique_ptr<ROOT> a(make_root()), b(make_root());
    PDB_ARCHIVE first(dir.file("a.ddb"));
    pdb_write_ptr(first, ROOT_THUNK, a.get());
    first.commit();
    write_root(dir.file("b.ddb"), b.get());
    std::vector<unsigned char> bytes = read_bytes(dir.file("a.ddb"));
    EXPECT_EQ(bytes, read_bytes(dir.file("b.ddb")));
    EXPECT_EQ(bytes.size(), first.file_check().size);
    EXPECT_EQ(static_cast<uint32_t>(crc32_z(0, bytes.data(), bytes.size() - 4)), first.file_check().crc);
}

namespace {

// The file layout of docs/archive_format.md, encoded by hand for the test classes: what the writer must
// produce byte for byte, however it moves the bytes to the file.
struct LAYOUT {
    std::vector<unsigned char> out;
    void u8(unsigned v) { out.push_back(static_cast<unsigned char>(v)); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            u8((v >> (8 * i)) & 0xFF);
    }
    void str(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    void field(const std::string& name, unsigned kind, uint32_t target) {
        str(name);
        u8(kind);
        u32(target);
    }
    void item(const ITEM* i) {
        u8(i ? 1 : 0);
        if (!i)
            return;
        u32(i->value);
        u8(i->flag ? 1 : 0);
        u8(i->small);
        u8(i->bytes ? 1 : 0);
        if (i->bytes) {
            u32(i->size);
            out.insert(out.end(), i->bytes, i->bytes + i->size);
        }
    }
    void items(const std::vector<ITEM*>* list) {
        u8(list ? 1 : 0);
        if (!list)
            return;
        u32(static_cast<uint32_t>(list->size()));
        for (const ITEM* i : *list)
            item(i);
    }
    void file(const ROOT* root, const std::vector<PDB_FILE_CHECK>& companions) {
        const unsigned char magic[8] = {0x42, 0x52, 0x49, 0x58, 0x50, 0x44, 0x42, 0x1A};
        out.assign(magic, magic + 8);
        u32(1);
        u32(0x2222);
        u32(static_cast<uint32_t>(companions.size()));
        for (const PDB_FILE_CHECK& c : companions) {
            u32(static_cast<uint32_t>(c.size));
            u32(static_cast<uint32_t>(c.size >> 32));
            u32(c.crc);
        }
        u32(2);
        u32(0x2222);
        str("ROOT");
        u32(5);
        field("id", 1, 0);
        field("values", 6, 0);
        field("items", 5, 0x1111);
        field("single", 4, 0x1111);
        field("groups", 8, 0x1111);
        u32(0x1111);
        str("ITEM");
        u32(4);
        field("value", 1, 0);
        field("flag", 2, 0);
        field("small", 3, 0);
        field("bytes", 7, 0);
        u8(root ? 1 : 0);
        if (root) {
            u32(root->id);
            u32(static_cast<uint32_t>(root->values.size()));
            for (uint32_t v : root->values)
                u32(v);
            items(root->items);
            item(root->single);
            u8(root->groups ? 1 : 0);
            if (root->groups) {
                u32(static_cast<uint32_t>(root->groups->size()));
                for (const std::vector<ITEM*>* g : *root->groups)
                    items(g);
            }
        }
        u32(static_cast<uint32_t>(crc32_z(0, out.data(), out.size())));
    }
};

// Large enough to cross the writer's buffer many times, with blocks that go straight to the file and
// blocks whose CRC is computed beside the write.
ROOT* make_large_root() {
    ROOT* r = make_root();
    r->values.resize(700001);
    for (size_t i = 0; i < r->values.size(); ++i)
        r->values[i] = static_cast<uint32_t>(i * 2654435761u);
    for (uint32_t i = 0; i < 3000; ++i)
        r->items->push_back(
            i % 7 ? make_item(i, i % 2, i % 256, std::vector<unsigned char>(i % 300, i & 0xFF)) : nullptr);
    std::vector<unsigned char> big((3 << 20) + 5);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7 + (i >> 12));
    r->single = make_item(1, true, 2, big);
    std::vector<unsigned char> medium(70000, 0x3C);
    (*(*r->groups)[0]).push_back(make_item(2, false, 3, medium));
    return r;
}

} // namespace

TEST(PdbArchive, WrittenFileIsTheArchiveLayoutByteForByte) {
    TEMP_DIR dir;
    const std::vector<PDB_FILE_CHECK> companions{{0x123456789Aull, 0xCAFEF00D}};
    struct CASE {
        const char* name;
        ROOT* root;
        std::vector<PDB_FILE_CHECK> companions;
    } cases[] = {
        {"small graph with nulls and empty lists", make_root(), {}},
        {"large blocks and many records", make_large_root(), companions},
        {"null root", nullptr, companions},
    };
    for (CASE& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ROOT> root(c.root);
        PDB_ARCHIVE archive(dir.file("golden.ddb"));
        archive.set_companions(c.companions);
        pdb_write_ptr(archive, ROOT_THUNK, root.get());
        archive.commit();
        LAYOUT expected;
        expected.file(root.get(), c.companions);
        std::vector<unsigned char> written = read_bytes(dir.file("golden.ddb"));
        ASSERT_EQ(expected.out.size(), written.size());
        EXPECT_TRUE(expected.out == written)
            << "first difference at byte "
            << std::mismatch(written.begin(), written.end(), expected.out.begin()).first - written.begin();
        EXPECT_EQ(written.size(), archive.file_check().size);
        EXPECT_EQ(get_le32(&written[written.size() - 4]), archive.file_check().crc);
    }
}

namespace {
// A damaged copy of a good archive file, and the start of the condition text its read must report.
struct DAMAGE_CASE {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> damage;
    const char* condition;
};

// Writes the damaged copy and checks that reading it is refused with the condition, the file and an offset.
void expect_damage_reported(const TEMP_DIR& dir, const std::vector<unsigned char>& good,
                            const DAMAGE_CASE& c) {
    std::vector<unsigned char> bad = good;
    c.damage(bad);
    write_bytes(dir.file("bad.ddb"), bad);
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] { read_root(dir.file("bad.ddb")); });
    EXPECT_EQ(0u, e.condition().find(c.condition)) << e.condition();
    ASSERT_FALSE(e.context().empty());
    EXPECT_EQ(0u, e.context().back().find(dir.file("bad.ddb") + ", byte offset ")) << e.context().back();
}
} // namespace

TEST(PdbArchive, LargeBlocksAndVectorsCrossTheBuffer) {
    TEMP_DIR dir;
    ROOT root;
    root.values.resize(700000);
    for (size_t i = 0; i < root.values.size(); ++i)
        root.values[i] = static_cast<uint32_t>(i * 2654435761u);
    std::vector<unsigned char> big(3 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7 + (i >> 12));
    root.items = new std::vector<ITEM*>();
    for (int i = 0; i < 1000; ++i)
        root.items->push_back(make_item(i, i % 2, i % 256, {static_cast<unsigned char>(i), 1, 2}));
    root.single = make_item(1, true, 2, big);
    write_root(dir.file("big.ddb"), &root);
    std::unique_ptr<ROOT> back = read_root(dir.file("big.ddb"));
    ASSERT_TRUE(back);
    EXPECT_EQ(root.values, back->values);
    expect_same_item(root.single, back->single);
    ASSERT_EQ(1000u, back->items->size());
    expect_same_item((*root.items)[999], (*back->items)[999]);

    // A file this large is read ahead on a worker; with no thread to be had, it is read here, the same.
    thr_fail_next_thread_creates_for_testing(1);
    std::unique_ptr<ROOT> alone = read_root(dir.file("big.ddb"));
    thr_fail_next_thread_creates_for_testing(0);
    ASSERT_TRUE(alone);
    EXPECT_EQ(root.values, alone->values);
    expect_same_item(root.single, alone->single);

    // Damaged anywhere, cut short or grown: reported with the file and an offset, on either way of reading.
    const std::vector<unsigned char> good = read_bytes(dir.file("big.ddb"));
    const std::vector<DAMAGE_CASE> cases = {
        {"cut inside the large block", [](auto& d) { d.resize(d.size() - (1 << 20)); }, "Archive is damaged"},
        {"cut by one byte", [](auto& d) { d.pop_back(); },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"flipped in the large block", [](auto& d) { d[d.size() - (2 << 20)] ^= 0x10; },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"flipped in the vector", [](auto& d) { d[1 << 20] ^= 0x01; },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"bytes appended", [](auto& d) { d.insert(d.end(), 5000, 0); },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"trailing bytes",
         [](auto& d) {
             d.insert(d.end() - 4, 3, 0);
             fix_crc(d);
         },
         "Archive is damaged: 3 bytes follow the root record"},
    };
    for (const DAMAGE_CASE& c : cases) {
        for (bool threaded : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (threaded ? ", read ahead" : ", read here"));
            if (!threaded)
                thr_fail_next_thread_creates_for_testing(1);
            expect_damage_reported(dir, good, c);
            thr_fail_next_thread_creates_for_testing(0);
        }
    }
}

TEST(PdbArchive, DescribeListsClassesFieldsAndKindsInVisitOrder) {
    std::vector<PDB_SCHEMA_CLASS> schema = pdb_describe(ROOT_THUNK);
    ASSERT_EQ(2u, schema.size());
    EXPECT_EQ("ROOT", schema[0].name);
    EXPECT_EQ(0x2222u, schema[0].class_id);
    ASSERT_EQ(5u, schema[0].fields.size());
    EXPECT_EQ("values", schema[0].fields[1].name);
    EXPECT_EQ(PDB_KIND::U32_VECTOR, schema[0].fields[1].kind);
    EXPECT_EQ(PDB_KIND::LIST, schema[0].fields[2].kind);
    EXPECT_EQ(0x1111u, schema[0].fields[2].target_class_id);
    EXPECT_EQ(PDB_KIND::LIST_OF_LISTS, schema[0].fields[4].kind);
    EXPECT_EQ("ITEM", schema[1].name);
    ASSERT_EQ(4u, schema[1].fields.size());
    EXPECT_EQ(PDB_KIND::BYTES, schema[1].fields[3].kind);
}

TEST(PdbArchive, ReaderRefusesAnotherSchemaOrRoot) {
    TEMP_DIR dir;
    std::unique_ptr<ROOT> original(make_root());
    write_root(dir.file("a.ddb"), original.get());
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] { read_root(dir.file("a.ddb"), ROOT_V2_THUNK); });
    EXPECT_NE(std::string::npos, e.condition().find("Archive schema differs from this program's"));
    EXPECT_NE(std::string::npos, e.condition().find("'flag' (bool) in the file, 'flag_word' (u32)"));
    ASSERT_FALSE(e.context().empty());
    EXPECT_EQ(0u, e.context().back().find(dir.file("a.ddb") + ", byte offset "));

    e = catch_brix_error([&] { read_root(dir.file("a.ddb"), ITEM_THUNK); });
    EXPECT_NE(std::string::npos,
              e.condition().find("Archive holds a root of class 0x00002222, expected ITEM"));
}

// Damaged files: every one is a report naming the file and an offset, never a crash or a wrong graph.
TEST(PdbArchive, DamagedFilesAreReportedWithFileAndOffset) {
    TEMP_DIR dir;
    std::unique_ptr<ROOT> original(make_root());
    write_root(dir.file("good.ddb"), original.get());
    const std::vector<unsigned char> good = read_bytes(dir.file("good.ddb"));
    const size_t n = good.size();
    const size_t items = find_u32(good, 0xA1B2C3D4) + 4 + 4 + 16; // id, value count, four values

    const std::vector<DAMAGE_CASE> cases = {
        {"empty file", [](auto& d) { d.clear(); }, "Archive is damaged: the file has only 0 bytes"},
        {"cut in the magic", [](auto& d) { d.resize(5); }, "Archive is damaged: the file has only 5 bytes"},
        {"cut by one byte", [](auto& d) { d.pop_back(); },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"cut in half", [n](auto& d) { d.resize(n / 2); },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"flipped magic", [](auto& d) { d[1] ^= 0x20; },
         "Not an archive of this program (wrong magic bytes)"},
        {"other version", [](auto& d) { d[8] = 9; }, "Archive format version 9 is not supported"},
        {"flipped value", [n](auto& d) { d[n - 12] ^= 0x01; },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"flipped marker", [items](auto& d) { d[items] = 7; },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"flipped CRC", [n](auto& d) { d[n - 1] ^= 0x80; },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        {"bytes appended", [](auto& d) { d.insert(d.end(), 4, 0); },
         "Archive is damaged or truncated: CRC-32 mismatch"},
        // Forged files that pass the CRC: counts the file cannot hold are refused before any allocation.
        {"list count past the end",
         [items](auto& d) {
             put_u32(d, items + 1, 0x3FFFFFF0);
             fix_crc(d);
         },
         "Archive is damaged: its data runs past the end of the file"},
        {"list count at the limit",
         [items](auto& d) {
             put_u32(d, items + 1, PDB_MAX_COLLECTION_SIZE);
             fix_crc(d);
         },
         "size < PDB_MAX_COLLECTION_SIZE"},
        {"vector count past the end",
         [items](auto& d) {
             put_u32(d, items - 20, 0x10000000);
             fix_crc(d);
         },
         "Archive is damaged: its data runs past the end of the file"},
        {"byte count past the end",
         [items](auto& d) {
             // First item: marker, value, flag, small, byte marker, then the byte count.
             put_u32(d, items + 5 + 1 + 4 + 1 + 1 + 1, 0xFFFFFFF0);
             fix_crc(d);
         },
         "Archive is damaged: its data runs past the end of the file"},
        {"invalid bool",
         [items](auto& d) {
             d[items + 5 + 1 + 4] = 2;
             fix_crc(d);
         },
         "Archive holds an invalid bool value 2"},
        {"invalid marker",
         [items](auto& d) {
             d[items] = 3;
             fix_crc(d);
         },
         "Archive is damaged: invalid marker 3"},
        {"trailing bytes",
         [](auto& d) {
             d.insert(d.end() - 4, 2, 0);
             fix_crc(d);
         },
         "Archive is damaged: 2 bytes follow the root record"},
    };
    for (const DAMAGE_CASE& c : cases) {
        SCOPED_TRACE(c.what);
        expect_damage_reported(dir, good, c);
    }
}

TEST(PdbArchive, MissingFileIsNotOpened) {
    PDB_ARCHIVE archive;
    EXPECT_FALSE(archive.open("/nonexistent-dir/x.ddb"));
    ROOT* root = nullptr;
    EXPECT_FALSE(pdb_read_ptr(archive, ROOT_THUNK, root));
    EXPECT_EQ(nullptr, root);
}

TEST(PdbArchive, FailedOrUncommittedWriteLeavesThePreviousFile) {
    TEMP_DIR dir;
    std::unique_ptr<ROOT> original(make_root());
    write_root(dir.file("a.ddb"), original.get());
    const std::vector<unsigned char> before = read_bytes(dir.file("a.ddb"));

    ROOT other;
    other.values.assign(1 << 20, 5);
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(1 << 20);
    BRIX_INTERNAL_ERROR e = catch_brix_error([&] { write_root(dir.file("a.ddb"), &other); });
    FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1);
    EXPECT_NE(std::string::npos, e.condition().find(dir.file("a.ddb")));
    {
        PDB_ARCHIVE abandoned(dir.file("a.ddb"));
        pdb_write_ptr(abandoned, ROOT_THUNK, &other);
        abandoned.finish();
    } // never committed
    EXPECT_EQ(before, read_bytes(dir.file("a.ddb")));
    EXPECT_EQ("a.ddb\n", run_command("ls '" + dir.path() + "'").out);
}

namespace {
// Prints a walk as one line per field.
class TEXT_VISITOR : public PDB_VISITOR {
  public:
    std::string text;
    void value_u32(const char* name, uint32_t v) override {
        text += std::string(name) + "=" + std::to_string(v) + ";";
    }
    void value_bool(const char* name, bool v) override {
        text += std::string(name) + "=" + (v ? "T;" : "F;");
    }
    void value_u8(const char* name, uint8_t v) override {
        text += std::string(name) + "=" + std::to_string(v) + ";";
    }
    void value_u32_vector(const char* name, const std::vector<uint32_t>& v) override {
        text += std::string(name) + "[" + std::to_string(v.size()) + "];";
    }
    void value_bytes(const char* name, const unsigned char* data, uint32_t n) override {
        text += std::string(name) + (data ? "#" + std::to_string(n) : std::string("=null")) + ";";
    }
    void value_null(const char* name) override { text += std::string(name) + "=null;"; }
    void begin_record(const char* name, const PDB_CLASS_THUNK& t) override {
        text += std::string(name) + ":" + t.name + "{";
    }
    void end_record() override { text += "}"; }
    void begin_list(const char* name, uint32_t n) override {
        text += std::string(name) + "(" + std::to_string(n);
    }
    void end_list() override { text += ")"; }
};
} // namespace

TEST(PdbArchive, WalkVisitsEveryFieldInOrder) {
    std::unique_ptr<ROOT> root(make_root());
    TEXT_VISITOR v;
    pdb_walk(ROOT_THUNK, root.get(), v);
    EXPECT_EQ(
        "ptr:ROOT{id=2712847316;values[4];items(3"
        "Val:ITEM{value=7;flag=T;small=254;bytes#3;}Val=null;Val:ITEM{value=8;flag=F;small=0;bytes=null;})"
        "single=null;groups(3Val(1Val:ITEM{value=9;flag=T;small=1;bytes#1;})Val=null;Val(0))}",
        v.text);
}
