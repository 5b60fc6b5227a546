#include "pdb_archive.h"

#include "fio.h"
#include "large_block.h"
#include "msg_internal_error.h"

#include <algorithm>
#include <climits>
#include <isa-l/crc.h>
#include <sys/stat.h>

namespace {
const unsigned char MAGIC[8] = {'B', 'R', 'I', 'X', 'P', 'D', 'B', 0x1A};
constexpr size_t BUFFER_SIZE = 1 << 20;
// Files at least this long are read a few buffers ahead on a worker thread (FIO_READ_AHEAD): the system's
// copy of the next buffers runs while this thread takes the records out of the current one. Smaller files
// are read here, a buffer at a time; a database's part files are read on threads of their own already.
constexpr uint64_t READ_AHEAD_MIN = 4 * BUFFER_SIZE;
constexpr unsigned READ_AHEAD_DEPTH = 4;
// Room before each read-ahead buffer for the unread end of the buffer before: no value read in one piece
// is longer. A buffer and its room make a megabyte.
constexpr size_t READ_HEADROOM = 64;
// Large blocks are read this much at a time.
constexpr size_t READ_CHUNK = BUFFER_SIZE - READ_HEADROOM;
constexpr uint32_t MAX_NAME = 255;

// The CRC-32 of the archive format (the one of zlib and gzip), continued over n more bytes.
uint32_t archive_crc32(uint32_t crc, const unsigned char* p, size_t n) {
    return crc32_gzip_refl(crc, p, n);
}

std::string hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::string describe(const PDB_SCHEMA_FIELD& f) {
    return "'" + f.name + "' (" + pdb_kind_name(f.kind) +
           (f.target_class_id ? " of class " + hex32(f.target_class_id) : std::string()) + ")";
}
} // namespace

const char* pdb_kind_name(PDB_KIND kind) {
    switch (kind) {
    case PDB_KIND::U32:
        return "u32";
    case PDB_KIND::BOOL:
        return "bool";
    case PDB_KIND::U8:
        return "u8";
    case PDB_KIND::RECORD:
        return "record";
    case PDB_KIND::LIST:
        return "list";
    case PDB_KIND::U32_VECTOR:
        return "u32 vector";
    case PDB_KIND::BYTES:
        return "bytes";
    case PDB_KIND::LIST_OF_LISTS:
        return "list of lists";
    }
    return "unknown kind";
}

void pdb_internal_error(const std::string& text) {
    BRIX_REPORT(text);
}

// ---- Segment ---------------------------------------------------------------------------------------------

void PDB_SEGMENT::locate() {
    if (m_context) {
        std::string where = m_path + ", byte offset " + std::to_string(m_offset);
        if (m_class)
            where += std::string(" (") + m_class->name + "." + m_field + ")";
        m_context->set(where);
    }
}

void PDB_SEGMENT::fail_at(uint64_t offset, const std::string& text) {
    m_offset = offset;
    locate();
    pdb_internal_error(text);
}

void PDB_SEGMENT::add_crc(const unsigned char* p, size_t n) {
    m_crc = archive_crc32(m_crc, p, n);
}

void PDB_SEGMENT::flush_out() {
    unsigned char* begin = m_out_block.get();
    size_t n = static_cast<size_t>(m_cur - begin);
    if (n) {
        add_crc(begin, n);
        m_out->write(begin, n);
        m_written += n;
    }
    m_cur = begin;
    m_lim = begin + m_out_block.size();
}

void PDB_SEGMENT::refill(size_t n) {
    if (n > remaining())
        fail_at(m_offset, "Archive is damaged: its data runs past the end of the file");
    size_t left = static_cast<size_t>(m_lim - m_cur);
    size_t got = 0;
    if (m_ahead.running()) {
        if (left > READ_HEADROOM)
            pdb_internal_error("left <= READ_HEADROOM");
        FIO_READ_AHEAD::CHUNK chunk = m_ahead.next(m_cur, left);
        if (chunk.size == 0) // the file shrank while it was read
            fail_at(m_offset + left, "Archive is damaged: the file ends early");
        got = chunk.size;
        m_crc = chunk.checksum;
        m_cur = chunk.data - left;
    } else {
        std::memmove(m_buffer.data(), m_cur, left);
        size_t room = m_buffer.size() - left;
        size_t want = static_cast<size_t>(std::min<uint64_t>(room, m_data_end - m_file_pos));
        got = fio_read_at(m_fd, m_buffer.data() + left, want, m_file_pos);
        add_crc(m_buffer.data() + left, got);
        m_cur = m_buffer.data();
    }
    m_file_pos += got;
    m_lim = m_cur + left + got;
    if (left + got < n)
        fail_at(m_offset + left + got, "Archive is damaged: the file ends early");
}

bool PDB_SEGMENT::crc_rest() {
    while (m_file_pos < m_data_end) {
        size_t got = 0;
        if (m_ahead.running()) {
            FIO_READ_AHEAD::CHUNK chunk = m_ahead.next(nullptr, 0);
            got = chunk.size;
            if (got)
                m_crc = chunk.checksum;
        } else {
            size_t want = static_cast<size_t>(std::min<uint64_t>(m_buffer.size(), m_data_end - m_file_pos));
            got = fio_read_at(m_fd, m_buffer.data(), want, m_file_pos);
            add_crc(m_buffer.data(), got);
        }
        if (got == 0)
            return false;
        m_file_pos += got;
    }
    return true;
}

void PDB_SEGMENT::put_block(const void* data, size_t n) {
    // Through the write buffer, a buffer-full at a time, large blocks too: the system's copy out of a buffer
    // it has read before costs less, on virtual machines, than out of the records' memory, which it would
    // first have to map for itself (a large database wrote in 0.56 to 0.91 of the time of plain writes
    // straight from the records, in 0.90 to 0.94 through the buffer). The CRC is taken on the buffer.
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        if (m_cur == m_lim)
            flush_out();
        const size_t k = std::min(n, static_cast<size_t>(m_lim - m_cur));
        std::memcpy(m_cur, p, k);
        m_cur += k;
        p += k;
        n -= k;
    }
}

void PDB_SEGMENT::get_block(void* data, size_t n) {
    if (n == 0)
        return;
    if (n > remaining())
        fail_at(m_offset, "Archive is damaged: its data runs past the end of the file");
    // Through the buffer, a buffer-full at a time: the file's bytes land in memory that is already mapped
    // and cached, their CRC is taken there, and the caller's memory is written once, by a copy. Reading
    // straight into fresh memory costs the kernel's write fault per page and a second fault when the CRC
    // first reads it, which on virtual machines costs more than the copy.
    unsigned char* p = static_cast<unsigned char*>(data);
    for (;;) {
        size_t have = std::min(n, static_cast<size_t>(m_lim - m_cur));
        std::memcpy(p, m_cur, have);
        m_cur += have;
        m_offset += have;
        p += have;
        n -= have;
        if (n == 0)
            return;
        refill(std::min(n, READ_CHUNK));
    }
}

void PDB_SEGMENT::put_string(const std::string& text) {
    put_u32(static_cast<uint32_t>(text.size()));
    put_block(text.data(), text.size());
}

std::string PDB_SEGMENT::get_string() {
    uint64_t at = m_offset;
    uint32_t n = get_u32();
    if (n > MAX_NAME)
        fail_at(at, "Archive is damaged: a name of " + std::to_string(n) + " characters");
    std::string text(n, '\0');
    get_block(&text[0], n);
    return text;
}

void PDB_SEGMENT::other_u32(const char* name, uint32_t v) {
    if (m_mode == DESCRIBE)
        describe_field(name, PDB_KIND::U32, nullptr);
    else
        m_visitor->value_u32(name, v);
}

void PDB_SEGMENT::other_bool(const char* name, bool v) {
    if (m_mode == DESCRIBE)
        describe_field(name, PDB_KIND::BOOL, nullptr);
    else
        m_visitor->value_bool(name, v);
}

void PDB_SEGMENT::other_u8(const char* name, uint8_t v) {
    if (m_mode == DESCRIBE)
        describe_field(name, PDB_KIND::U8, nullptr);
    else
        m_visitor->value_u8(name, v);
}

void PDB_SEGMENT::describe_field(const char* name, PDB_KIND kind, const PDB_CLASS_THUNK* target) {
    m_fields->push_back(PDB_SCHEMA_FIELD{name, kind, target ? target->class_id : 0});
    if (!target)
        return;
    for (const PDB_CLASS_THUNK* t : *m_reached) {
        if (t->class_id == target->class_id) {
            if (std::strcmp(t->name, target->name) != 0)
                pdb_internal_error(std::string("Classes ") + t->name + " and " + target->name +
                                   " share the class id " + hex32(t->class_id));
            return;
        }
    }
    m_reached->push_back(target);
}

namespace {
// Collection counts are stored as u32 and must stay below the collection limit.
void check_collection_size(size_t size) {
    if (size > UINT_MAX)
        pdb_internal_error("stsize <= UINT_MAX");
    if (size >= PDB_MAX_COLLECTION_SIZE)
        pdb_internal_error("size < PDB_MAX_COLLECTION_SIZE");
}
} // namespace

void PDB_SEGMENT::u32_vector(const char* name, std::vector<uint32_t>& v) {
    m_field = name;
    switch (m_mode) {
    case WRITE: {
        check_collection_size(v.size());
        put_u32(static_cast<uint32_t>(v.size()));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        put_block(v.data(), v.size() * 4);
#else
        for (uint32_t x : v)
            put_u32(x);
#endif
        break;
    }
    case READ: {
        uint64_t at = m_offset;
        uint32_t count = get_u32();
        if (count >= PDB_MAX_COLLECTION_SIZE)
            fail_at(at, "size < PDB_MAX_COLLECTION_SIZE");
        if (uint64_t(count) * 4 > remaining())
            fail_at(at, "Archive is damaged: its data runs past the end of the file");
        v.resize(count);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        get_block(v.data(), size_t(count) * 4);
#else
        for (uint32_t& x : v)
            x = get_u32();
#endif
        break;
    }
    case DESCRIBE:
        describe_field(name, PDB_KIND::U32_VECTOR, nullptr);
        break;
    case WALK:
        m_visitor->value_u32_vector(name, v);
        break;
    }
}

void PDB_SEGMENT::byte_count(const char* name, const unsigned char* data, uint32_t& n) {
    m_field = name;
    switch (m_mode) {
    case WRITE:
        m_block_present = data != nullptr;
        *out(1) = m_block_present ? 1 : 0;
        if (m_block_present)
            put_u32(n);
        break;
    case READ: {
        unsigned char marker = *in(1);
        if (marker > 1)
            fail_at(m_offset - 1, "Archive is damaged: invalid marker " + std::to_string(marker));
        m_block_present = marker == 1;
        if (m_block_present)
            n = get_u32();
        break;
    }
    case DESCRIBE:
        m_block_present = false;
        describe_field(name, PDB_KIND::BYTES, nullptr);
        break;
    case WALK:
        m_block_present = data != nullptr;
        m_bytes_name = name;
        break;
    }
}

void PDB_SEGMENT::byte_data(unsigned char*& data, uint32_t n) {
    switch (m_mode) {
    case WRITE:
        if (m_block_present)
            put_block(data, n);
        break;
    case READ:
        if (!m_block_present)
            break;
        if (n > remaining())
            fail_at(m_offset - 4, "Archive is damaged: its data runs past the end of the file");
        data = new unsigned char[n];
        prefault_large_block(data, n);
        get_block(data, n);
        break;
    case DESCRIBE:
        break;
    case WALK:
        m_visitor->value_bytes(m_bytes_name, m_block_present ? data : nullptr, n);
        break;
    }
    m_block_present = false;
}

bool PDB_SEGMENT::begin_record(const char* name, bool present, const PDB_CLASS_THUNK& thunk) {
    switch (m_mode) {
    case WRITE:
        *out(1) = present ? 1 : 0;
        return present;
    case READ: {
        unsigned char marker = *in(1);
        if (marker > 1)
            fail_at(m_offset - 1, "Archive is damaged: invalid marker " + std::to_string(marker));
        return marker == 1;
    }
    case DESCRIBE:
        describe_field(name, PDB_KIND::RECORD, &thunk);
        return false;
    case WALK:
        if (!present) {
            m_visitor->value_null(name);
            return false;
        }
        m_visitor->begin_record(name, thunk);
        return true;
    }
    return false;
}

void PDB_SEGMENT::end_record() {
    if (m_mode == WALK)
        m_visitor->end_record();
}

bool PDB_SEGMENT::begin_list(const char* name, PDB_KIND kind, bool present, size_t size,
                             const PDB_CLASS_THUNK& thunk, uint32_t& count) {
    switch (m_mode) {
    case WRITE:
        *out(1) = present ? 1 : 0;
        if (!present)
            return false;
        check_collection_size(size);
        count = static_cast<uint32_t>(size);
        put_u32(count);
        return true;
    case READ: {
        unsigned char marker = *in(1);
        if (marker > 1)
            fail_at(m_offset - 1, "Archive is damaged: invalid marker " + std::to_string(marker));
        if (marker == 0)
            return false;
        uint64_t at = m_offset;
        count = get_u32();
        if (count >= PDB_MAX_COLLECTION_SIZE)
            fail_at(at, "size < PDB_MAX_COLLECTION_SIZE");
        // Every element takes at least its one-byte marker: refuse a count the file cannot hold before
        // anything is allocated for it.
        if (count > remaining())
            fail_at(at, "Archive is damaged: its data runs past the end of the file");
        return true;
    }
    case DESCRIBE:
        describe_field(name, kind, &thunk);
        return false;
    case WALK:
        if (!present) {
            m_visitor->value_null(name);
            return false;
        }
        check_collection_size(size);
        count = static_cast<uint32_t>(size);
        m_visitor->begin_list(name, count);
        return true;
    }
    return false;
}

void PDB_SEGMENT::end_list() {
    if (m_mode == WALK)
        m_visitor->end_list();
}

// ---- Schema and walk -------------------------------------------------------------------------------------

std::vector<PDB_SCHEMA_CLASS> pdb_describe(const PDB_CLASS_THUNK& root) {
    std::vector<const PDB_CLASS_THUNK*> reached{&root};
    std::vector<PDB_SCHEMA_CLASS> schema;
    for (size_t i = 0; i < reached.size(); ++i) {
        const PDB_CLASS_THUNK& t = *reached[i];
        PDB_SCHEMA_CLASS c{t.class_id, t.name, {}};
        PDB_SEGMENT s(PDB_SEGMENT::DESCRIBE);
        s.m_fields = &c.fields;
        s.m_reached = &reached;
        std::unique_ptr<void, void (*)(void*)> object(t.create(), t.destroy);
        t.serialize(s, object.get());
        schema.push_back(std::move(c));
    }
    return schema;
}

void pdb_walk(const PDB_CLASS_THUNK& thunk, void* root, PDB_VISITOR& visitor) {
    PDB_SEGMENT s(PDB_SEGMENT::WALK);
    s.m_visitor = &visitor;
    s.record("ptr", root, thunk);
}

// ---- Archive ---------------------------------------------------------------------------------------------

PDB_ARCHIVE::PDB_ARCHIVE() = default;

PDB_ARCHIVE::PDB_ARCHIVE(std::string path) : m_path(std::move(path)) {}

PDB_ARCHIVE::~PDB_ARCHIVE() {
    if (m_in)
        std::fclose(m_in);
}

bool PDB_ARCHIVE::open(const std::string& path) {
    close();
    m_path = path;
    m_in = std::fopen(path.c_str(), "rb");
    if (!m_in)
        return false;
    struct stat st;
    if (::fstat(fileno(m_in), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(m_in);
        m_in = nullptr;
        return false;
    }
    m_in_size = static_cast<uint64_t>(st.st_size);
    return true;
}

void PDB_ARCHIVE::close() {
    if (m_in) {
        std::fclose(m_in);
        m_in = nullptr;
    }
    if (m_out)
        commit();
}

void PDB_ARCHIVE::finish() {
    if (m_out)
        m_out->finish();
}

void PDB_ARCHIVE::commit() {
    if (m_out) {
        m_out->commit();
        m_out.reset();
    }
}

void PDB_ARCHIVE::commit_together(const std::string& record, const std::vector<PDB_ARCHIVE*>& archives) {
    std::vector<FIO_ATOMIC_FILE*> files;
    for (PDB_ARCHIVE* archive : archives)
        if (archive->m_out)
            files.push_back(archive->m_out.get());
    FIO_ATOMIC_FILE::commit_together(record, files);
    for (PDB_ARCHIVE* archive : archives)
        archive->m_out.reset();
}

void PDB_ARCHIVE::write_root(const PDB_CLASS_THUNK& thunk, void* root) {
    std::vector<PDB_SCHEMA_CLASS> schema = pdb_describe(thunk);
    m_out.reset(new FIO_ATOMIC_FILE(m_path));
    PDB_SEGMENT s(PDB_SEGMENT::WRITE);
    s.m_out = m_out.get();
    s.m_out_block = HUGE_PAGE_BLOCK(BUFFER_SIZE);
    s.m_cur = s.m_out_block.get();
    s.m_lim = s.m_cur + s.m_out_block.size();

    s.put_block(MAGIC, sizeof MAGIC);
    s.put_u32(PDB_FORMAT_VERSION);
    s.put_u32(thunk.class_id);
    check_collection_size(m_companions.size());
    s.put_u32(static_cast<uint32_t>(m_companions.size()));
    for (const PDB_FILE_CHECK& c : m_companions) {
        s.put_u32(static_cast<uint32_t>(c.size));
        s.put_u32(static_cast<uint32_t>(c.size >> 32));
        s.put_u32(c.crc);
    }
    s.put_u32(static_cast<uint32_t>(schema.size()));
    for (const PDB_SCHEMA_CLASS& c : schema) {
        s.put_u32(c.class_id);
        s.put_string(c.name);
        s.put_u32(static_cast<uint32_t>(c.fields.size()));
        for (const PDB_SCHEMA_FIELD& f : c.fields) {
            s.put_string(f.name);
            *s.out(1) = static_cast<unsigned char>(f.kind);
            s.put_u32(f.target_class_id);
        }
    }
    s.record("ptr", root, thunk);
    s.flush_out();
    unsigned char trailer[4];
    put_le32(trailer, s.m_crc);
    m_out->write(trailer, sizeof trailer);
    m_check.size = s.m_written + sizeof trailer;
    m_check.crc = s.m_crc;
}

void PDB_ARCHIVE::read_schema(PDB_SEGMENT& s, const PDB_CLASS_THUNK& thunk) {
    std::vector<PDB_SCHEMA_CLASS> own = pdb_describe(thunk);
    const std::string rebuild = "; rebuild the database with this program";
    uint64_t at = s.m_offset;
    uint32_t count = s.get_u32();
    if (count != own.size())
        s.fail_at(at, "Archive schema differs from this program's: the file describes " +
                          std::to_string(count) + " classes, this program " + std::to_string(own.size()) +
                          rebuild);
    for (const PDB_SCHEMA_CLASS& c : own) {
        at = s.m_offset;
        uint32_t id = s.get_u32();
        std::string name = s.get_string();
        if (id != c.class_id || name != c.name)
            s.fail_at(at, "Archive schema differs from this program's: the file has class " + name + " (" +
                              hex32(id) + ") where this program has " + c.name + " (" + hex32(c.class_id) +
                              ")" + rebuild);
        uint32_t fields = s.get_u32();
        if (fields != c.fields.size())
            s.fail_at(at, "Archive schema differs from this program's: class " + c.name + " has " +
                              std::to_string(fields) + " fields in the file, " +
                              std::to_string(c.fields.size()) + " in this program" + rebuild);
        for (size_t i = 0; i < c.fields.size(); ++i) {
            at = s.m_offset;
            PDB_SCHEMA_FIELD f;
            f.name = s.get_string();
            f.kind = static_cast<PDB_KIND>(*s.in(1));
            f.target_class_id = s.get_u32();
            const PDB_SCHEMA_FIELD& o = c.fields[i];
            if (f.name != o.name || f.kind != o.kind || f.target_class_id != o.target_class_id)
                s.fail_at(at, "Archive schema differs from this program's: field " + std::to_string(i) +
                                  " of class " + c.name + " is " + describe(f) + " in the file, " +
                                  describe(o) + " in this program" + rebuild);
        }
    }
}

void* PDB_ARCHIVE::read_root(const PDB_CLASS_THUNK& thunk) {
    INPUT_CONTEXT here(m_path);
    PDB_SEGMENT s(PDB_SEGMENT::READ);
    s.m_fd = fileno(m_in);
    s.m_path = m_path;
    s.m_context = &here;

    const uint64_t minimum = sizeof MAGIC + 4 + 4;
    if (m_in_size < minimum)
        s.fail_at(0, "Archive is damaged: the file has only " + std::to_string(m_in_size) + " bytes");
    s.m_data_end = m_in_size - 4;
    if (m_in_size < READ_AHEAD_MIN || !s.m_ahead.start(s.m_fd, 0, s.m_data_end, READ_CHUNK, READ_AHEAD_DEPTH,
                                                       READ_HEADROOM, archive_crc32, s.m_crc)) {
        // A small file's buffer holds the whole file: on the heap rather than on a huge page of its own.
        s.m_buffer.resize(static_cast<size_t>(std::min<uint64_t>(BUFFER_SIZE, m_in_size)));
        s.m_cur = s.m_lim = s.m_buffer.data();
    }
    const unsigned char* magic = s.in(sizeof MAGIC);
    if (std::memcmp(magic, MAGIC, sizeof MAGIC) != 0)
        s.fail_at(0, "Not an archive of this program (wrong magic bytes)");
    uint32_t version = s.get_u32();
    if (version != PDB_FORMAT_VERSION)
        s.fail_at(8, "Archive format version " + std::to_string(version) +
                         " is not supported (this program reads " + std::to_string(PDB_FORMAT_VERSION) +
                         "); rebuild the database with this program");

    void* root = nullptr;
    try {
        uint64_t at = s.m_offset;
        uint32_t root_id = s.get_u32();
        if (root_id != thunk.class_id)
            s.fail_at(at, "Archive holds a root of class " + hex32(root_id) + ", expected " + thunk.name +
                              " (" + hex32(thunk.class_id) + ")");
        at = s.m_offset;
        uint32_t companions = s.get_u32();
        if (uint64_t(companions) * 12 > s.remaining())
            s.fail_at(at, "Archive is damaged: its data runs past the end of the file");
        m_companions.clear();
        for (uint32_t i = 0; i < companions; ++i) {
            PDB_FILE_CHECK c;
            c.size = s.get_u32();
            c.size |= uint64_t(s.get_u32()) << 32;
            c.crc = s.get_u32();
            m_companions.push_back(c);
        }
        read_schema(s, thunk);
        s.record("ptr", root, thunk);
        if (s.m_offset != s.m_data_end)
            s.fail_at(s.m_offset, "Archive is damaged: " + std::to_string(s.m_data_end - s.m_offset) +
                                      " bytes follow the root record");
        s.m_crc_checked = true;
        unsigned char trailer[4];
        if (fio_read_at(s.m_fd, trailer, 4, s.m_data_end) != 4)
            s.fail_at(s.m_data_end, "Archive is damaged: the file ends early");
        uint32_t stored = get_le32(trailer);
        if (stored != s.m_crc)
            s.fail_at(s.m_data_end, "Archive is damaged or truncated: CRC-32 mismatch");
        m_check.size = m_in_size;
        m_check.crc = stored;
    } catch (const BRIX_INTERNAL_ERROR&) {
        if (root)
            thunk.destroy(root);
        // A failure in the middle of damaged data is best explained by the damage: check the CRC over the
        // rest of the file and report the mismatch instead.
        if (!s.m_crc_checked) {
            s.m_crc_checked = true;
            unsigned char trailer[4];
            if (s.crc_rest() && fio_read_at(s.m_fd, trailer, 4, s.m_data_end) == 4) {
                uint32_t stored = get_le32(trailer);
                if (stored != s.m_crc)
                    s.fail_at(s.m_data_end, "Archive is damaged or truncated: CRC-32 mismatch");
            }
        }
        throw;
    } catch (...) {
        if (root)
            thunk.destroy(root);
        throw;
    }
    return root;
}
