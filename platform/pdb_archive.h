// Archive library: persistence of a graph of records through one serialise operation per class.
//
// A class is described by a PDB_CLASS_THUNK: its class id, its name, how to create and destroy one object,
// and its serialise operation. The serialise operation visits the fields of one object in a fixed order,
// handing each to a PDB_SEGMENT with its name and kind. The same operation serves four uses, chosen by the
// segment's mode: writing an object graph, reading one back, describing the class (the archive's schema is
// collected from it) and walking a graph for a PDB_VISITOR (the inspector's printer).
//
// The file format is described in docs/archive_format.md. Every failure while writing or reading is an
// internal-error report; a damaged or forged file is reported with its name and the byte offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "byte_codec.h"
#include "fio.h"
#include "large_block.h"
#include "msg_internal_error.h"

class INPUT_CONTEXT;
class PDB_SEGMENT;

enum class PDB_KIND : uint8_t {
    U32 = 1,
    BOOL = 2,
    U8 = 3,
    RECORD = 4,        // pointer to one record of the target class, may be null
    LIST = 5,          // pointer to a vector of pointers to records of the target class, may be null
    U32_VECTOR = 6,    // vector of u32 held by value
    BYTES = 7,         // owned byte array with its count, may be null
    LIST_OF_LISTS = 8, // pointer to a vector of pointers to lists of the target class, may be null
};
const char* pdb_kind_name(PDB_KIND kind);

// Collections hold fewer elements than this.
constexpr uint32_t PDB_MAX_COLLECTION_SIZE = 0x3FFFFFFF;
constexpr uint32_t PDB_FORMAT_VERSION = 1;

struct PDB_CLASS_THUNK {
    uint32_t class_id;
    const char* name;
    void* (*create)();
    void (*destroy)(void*);
    void (*serialize)(PDB_SEGMENT&, void*);
};

// Builds the descriptor of T from its serialise operation.
template <class T, void (*SERIALIZE)(PDB_SEGMENT&, T&)>
constexpr PDB_CLASS_THUNK pdb_make_thunk(uint32_t class_id, const char* name) {
    return PDB_CLASS_THUNK{class_id, name, []() -> void* { return new T(); },
                           [](void* p) { delete static_cast<T*>(p); },
                           [](PDB_SEGMENT& s, void* p) { SERIALIZE(s, *static_cast<T*>(p)); }};
}

// The library's own failure entry (collection limits, damaged files).
[[noreturn]] void pdb_internal_error(const std::string& text);

// Schema: what the serialise operations visit, class by class, in the order the classes are first reached
// from the root.
struct PDB_SCHEMA_FIELD {
    std::string name;
    PDB_KIND kind;
    uint32_t target_class_id; // element class of records and lists; 0 otherwise
};
struct PDB_SCHEMA_CLASS {
    uint32_t class_id;
    std::string name;
    std::vector<PDB_SCHEMA_FIELD> fields;
};
std::vector<PDB_SCHEMA_CLASS> pdb_describe(const PDB_CLASS_THUNK& root);

// Size and CRC-32 of one archive file; a main archive records these for the files it depends on.
struct PDB_FILE_CHECK {
    uint64_t size = 0;
    uint32_t crc = 0;
    bool operator==(const PDB_FILE_CHECK& o) const { return size == o.size && crc == o.crc; }
    bool operator!=(const PDB_FILE_CHECK& o) const { return !(*this == o); }
};

// Receives a walk over an object graph (PDB_SEGMENT::WALK), field by field in archive order.
class PDB_VISITOR {
  public:
    virtual ~PDB_VISITOR() = default;
    virtual void value_u32(const char* name, uint32_t value) = 0;
    virtual void value_bool(const char* name, bool value) = 0;
    virtual void value_u8(const char* name, uint8_t value) = 0;
    virtual void value_u32_vector(const char* name, const std::vector<uint32_t>& values) = 0;
    // data is null for a null byte block.
    virtual void value_bytes(const char* name, const unsigned char* data, uint32_t count) = 0;
    // A null record or list.
    virtual void value_null(const char* name) = 0;
    virtual void begin_record(const char* name, const PDB_CLASS_THUNK& thunk) = 0;
    virtual void end_record() = 0;
    virtual void begin_list(const char* name, uint32_t count) = 0;
    virtual void end_list() = 0;
};

class PDB_SEGMENT {
  public:
    enum MODE { WRITE, READ, DESCRIBE, WALK };
    MODE mode() const { return m_mode; }
    bool reading() const { return m_mode == READ; }

    void u32(const char* name, uint32_t& v) {
        m_field = name;
        if (m_mode == WRITE) {
            put_le32(out(4), v);
        } else if (m_mode == READ) {
            v = get_le32(in(4));
        } else {
            other_u32(name, v);
        }
    }
    void boolean(const char* name, bool& v) {
        m_field = name;
        if (m_mode == WRITE) {
            *out(1) = v ? 1 : 0;
        } else if (m_mode == READ) {
            unsigned char b = *in(1);
            if (b > 1)
                fail_at(m_offset - 1, "Archive holds an invalid bool value " + std::to_string(b));
            v = b != 0;
        } else {
            other_bool(name, v);
        }
    }
    void u8(const char* name, uint8_t& v) {
        m_field = name;
        if (m_mode == WRITE)
            *out(1) = v;
        else if (m_mode == READ)
            v = *in(1);
        else
            other_u8(name, v);
    }
    void u32_vector(const char* name, std::vector<uint32_t>& v);

    // A byte block in two steps. byte_count: on writing, n is the count stored with a present block (data
    // non-null); on reading, n receives the stored count, and stays as it is when the block is null; the
    // caller then checks the count before any byte is read. byte_data: the n bytes; on reading a present
    // block is allocated with new[] and handed to data.
    void byte_count(const char* name, const unsigned char* data, uint32_t& n);
    void byte_data(unsigned char*& data, uint32_t n);

    template <class T> void record(const char* name, T*& p, const PDB_CLASS_THUNK& thunk) {
        m_field = name;
        if (!begin_record(name, p != nullptr, thunk))
            return;
        if (m_mode == READ)
            p = static_cast<T*>(thunk.create());
        const PDB_CLASS_THUNK* outer = m_class;
        m_class = &thunk;
        thunk.serialize(*this, p);
        m_class = outer;
        end_record();
    }

    // LIST is a std::vector of record pointers, or a class derived from one.
    template <class LIST> void list(const char* name, LIST*& p, const PDB_CLASS_THUNK& thunk) {
        m_field = name;
        uint32_t count = 0;
        if (!begin_list(name, PDB_KIND::LIST, p != nullptr, p ? p->size() : 0, thunk, count))
            return;
        if (m_mode == READ) {
            p = new LIST();
            p->reserve(count);
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (m_mode == READ)
                p->push_back(nullptr);
            record("Val", (*p)[i], thunk);
        }
        end_list();
    }

    // LISTS is a std::vector of pointers to such lists, or a class derived from one.
    template <class LISTS> void list_of_lists(const char* name, LISTS*& p, const PDB_CLASS_THUNK& thunk) {
        m_field = name;
        uint32_t count = 0;
        if (!begin_list(name, PDB_KIND::LIST_OF_LISTS, p != nullptr, p ? p->size() : 0, thunk, count))
            return;
        if (m_mode == READ) {
            p = new LISTS();
            p->reserve(count);
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (m_mode == READ)
                p->push_back(nullptr);
            list("Val", (*p)[i], thunk);
        }
        end_list();
    }

    // Points the input context at the current field (file, byte offset, class and field) before a
    // serialise operation reports a failed check on what it read; see PDB_CHECK.
    void locate();

  private:
    friend class PDB_ARCHIVE;
    friend std::vector<PDB_SCHEMA_CLASS> pdb_describe(const PDB_CLASS_THUNK& root);
    friend void pdb_walk(const PDB_CLASS_THUNK&, void*, PDB_VISITOR&);

    PDB_SEGMENT(MODE mode) : m_mode(mode) {}

    unsigned char* out(size_t n) {
        if (static_cast<size_t>(m_lim - m_cur) < n)
            flush_out();
        unsigned char* p = m_cur;
        m_cur += n;
        return p;
    }
    const unsigned char* in(size_t n) {
        if (static_cast<size_t>(m_lim - m_cur) < n)
            refill(n);
        const unsigned char* p = m_cur;
        m_cur += n;
        m_offset += n;
        return p;
    }
    void flush_out();
    void refill(size_t n);
    // Reads the rest of the data into the CRC only (a failed read explains itself by damage when the CRC
    // then differs); false when the file ends early.
    bool crc_rest();
    // Writes a block of raw bytes or reads one, through the buffers.
    void put_block(const void* data, size_t n);
    void get_block(void* data, size_t n);
    void put_u32(uint32_t v) { u32(m_field, v); }
    uint32_t get_u32() {
        uint32_t v = 0;
        u32(m_field, v);
        return v;
    }
    // Bytes left before the CRC at the end of the file being read.
    uint64_t remaining() const { return m_data_end - m_offset; }
    [[noreturn]] void fail_at(uint64_t offset, const std::string& text);

    void other_u32(const char* name, uint32_t v);
    void other_bool(const char* name, bool v);
    void other_u8(const char* name, uint8_t v);
    bool begin_record(const char* name, bool present, const PDB_CLASS_THUNK& thunk);
    void end_record();
    bool begin_list(const char* name, PDB_KIND kind, bool present, size_t size, const PDB_CLASS_THUNK& thunk,
                    uint32_t& count);
    void end_list();
    void describe_field(const char* name, PDB_KIND kind, const PDB_CLASS_THUNK* target);
    void put_string(const std::string& text);
    std::string get_string();

    MODE m_mode;
    const char* m_field = "";
    const PDB_CLASS_THUNK* m_class = nullptr;
    unsigned char* m_cur = nullptr;
    unsigned char* m_lim = nullptr;
    // The read buffer, a megabyte filled at once: on huge pages (large_block.h), one page fault instead of
    // 256.
    std::vector<unsigned char, LARGE_BLOCK_ALLOCATOR<unsigned char>> m_buffer;

    // The running CRC-32 of the bytes written or read so far. It is computed on the block just moved, while
    // it is still in the cache: by this thread, or by the read-ahead worker on a large file.
    void add_crc(const unsigned char* p, size_t n);
    uint32_t m_crc = 0;

    // Writing. The write buffer is a block of its own on a huge page, filled as the records are written:
    // a zero-filled megabyte would cost a page fault per 4 KB for each file.
    FIO_ATOMIC_FILE* m_out = nullptr;
    uint64_t m_written = 0;
    HUGE_PAGE_BLOCK m_out_block;

    // Reading.
    int m_fd = -1;
    FIO_READ_AHEAD m_ahead; // large files; the buffer above is not used then
    std::string m_path;
    uint64_t m_offset = 0;   // file offset of the next byte to consume
    uint64_t m_file_pos = 0; // file offset of the next byte to read from the file
    uint64_t m_data_end = 0; // file offset of the trailing CRC
    INPUT_CONTEXT* m_context = nullptr;
    bool m_block_present = false;
    bool m_crc_checked = false;

    // Describing and walking.
    std::vector<PDB_SCHEMA_FIELD>* m_fields = nullptr;
    std::vector<const PDB_CLASS_THUNK*>* m_reached = nullptr;
    PDB_VISITOR* m_visitor = nullptr;
    const char* m_bytes_name = "";
};

// One archive file. For writing, the file goes to a temporary beside its path; commit() puts it in place,
// and destroying the archive without commit() leaves any previous file untouched. For reading, open() the
// file and read the root with pdb_read_ptr.
class PDB_ARCHIVE {
  public:
    PDB_ARCHIVE();
    explicit PDB_ARCHIVE(std::string path);
    ~PDB_ARCHIVE();
    PDB_ARCHIVE(const PDB_ARCHIVE&) = delete;
    PDB_ARCHIVE& operator=(const PDB_ARCHIVE&) = delete;

    const std::string& path() const { return m_path; }
    // Opens path for reading; false when the file cannot be opened.
    bool open(const std::string& path);
    bool is_open() const { return m_in != nullptr; }
    // Releases the open file (reading) or commits (writing, if not yet done).
    void close();

    // Files the archive depends on (a split database's part files), recorded in its header on writing and
    // delivered on reading.
    void set_companions(std::vector<PDB_FILE_CHECK> companions) { m_companions = std::move(companions); }
    const std::vector<PDB_FILE_CHECK>& companions() const { return m_companions; }
    // Size and CRC-32 of the file after it has been written or read.
    const PDB_FILE_CHECK& file_check() const { return m_check; }

    // After a write: flushes and syncs the temporary (finish) and renames it into place (commit).
    void finish();
    void commit();
    // Puts several written archives of one directory in place as one change through a commit record
    // (FIO_ATOMIC_FILE::commit_together): after a kill at any moment, all old or all new.
    static void commit_together(const std::string& record, const std::vector<PDB_ARCHIVE*>& archives);

    // Use pdb_write_ptr and pdb_read_ptr.
    void write_root(const PDB_CLASS_THUNK& thunk, void* root);
    void* read_root(const PDB_CLASS_THUNK& thunk);

  private:
    void read_schema(PDB_SEGMENT& s, const PDB_CLASS_THUNK& thunk);

    std::string m_path;
    std::unique_ptr<FIO_ATOMIC_FILE> m_out;
    std::FILE* m_in = nullptr;
    uint64_t m_in_size = 0;
    std::vector<PDB_FILE_CHECK> m_companions;
    PDB_FILE_CHECK m_check;
};

// Writes the graph under root (may be null) to the archive's temporary file; commit() puts it in place.
template <class T> void pdb_write_ptr(PDB_ARCHIVE& archive, const PDB_CLASS_THUNK& thunk, T* root) {
    archive.write_root(thunk, root);
}

// Reads the graph of an opened archive; root receives a new object graph (or null) that the caller owns.
// False when no archive is open. A damaged file, or one whose schema differs, is a report.
template <class T> bool pdb_read_ptr(PDB_ARCHIVE& archive, const PDB_CLASS_THUNK& thunk, T*& root) {
    root = nullptr;
    if (!archive.is_open())
        return false;
    root = static_cast<T*>(archive.read_root(thunk));
    return true;
}

// Walks the graph under root, handing every field to the visitor in archive order.
void pdb_walk(const PDB_CLASS_THUNK& thunk, void* root, PDB_VISITOR& visitor);

// A check inside a serialise operation: on failure the report names the file and offset being read.
#define PDB_CHECK(segment, cond, text)                                                                       \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            (segment).locate();                                                                              \
            BRIX_REPORT(text);                                                                               \
        }                                                                                                    \
    } while (0)
