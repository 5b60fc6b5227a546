#include "inspect/database_diff.h"

#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "pgm_rba_type.h"
#include "records/pgm_brix__pdb.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// ---- Reporting -----------------------------------------------------------------------------------------

// Counts the differences and prints the first max_shown of them.
class REPORT {
  public:
    REPORT(uint32_t max_shown, std::ostream& out) : m_max(max_shown), m_out(out) {}
    void add(const std::string& path, const std::string& a, const std::string& b,
             const std::string& note = "") {
        if (m_count++ < m_max)
            m_out << path << ": " << a << " | " << b << (note.empty() ? "" : " (" + note + ")") << "\n";
    }
    int finish() {
        if (m_count > m_max)
            m_out << "... " << (m_count - m_max) << " more difference" << (m_count - m_max == 1 ? "" : "s")
                  << " not shown\n";
        m_out << m_count << " difference" << (m_count == 1 ? "" : "s") << "\n";
        return m_count == 0 ? DIFF_IDENTICAL : DIFF_DIFFERENT;
    }

  private:
    uint64_t m_count = 0;
    uint32_t m_max;
    std::ostream& m_out;
};

// The differences of two sequences of equal-sized entries: the first differing index and how many differ,
// the shorter length compared and a length difference reported on its own.
template <typename GET>
void compare_entries(REPORT& report, const std::string& path, size_t na, size_t nb, GET get) {
    if (na != nb)
        report.add(path, std::to_string(na) + " entries", std::to_string(nb) + " entries");
    const size_t n = std::min(na, nb);
    size_t first = n, count = 0;
    for (size_t i = 0; i < n; ++i)
        if (get(i, true) != get(i, false)) {
            if (first == n)
                first = i;
            ++count;
        }
    if (count > 0)
        report.add(path + "[" + std::to_string(first) + "]", std::to_string(get(first, true)),
                   std::to_string(get(first, false)),
                   count == 1
                       ? "the one differing entry of " + std::to_string(n)
                       : "first of " + std::to_string(count) + " differing entries of " + std::to_string(n));
}

// ---- BRIX databases: two walks in step ---------------------------------------------------------------

struct EVENT {
    enum KIND : uint8_t {
        U32,
        BOOL,
        U8,
        VECTOR,
        BYTES,
        NUL,
        BEGIN_RECORD,
        END_RECORD,
        BEGIN_LIST,
        END_LIST,
        END
    };
    KIND kind;
    uint32_t value; // the scalar, the byte count or the list's count
    const char* name;
    const void* data; // the vector, the bytes or the record's class
};

// The events of one walk, produced by a thread of its own in batches: a database of hundreds of megabytes is
// compared without holding its walk.
class WALK_STREAM : PDB_VISITOR {
  public:
    explicit WALK_STREAM(BRIX_INFO* root) : m_thread([this, root] { produce(root); }) {}
    ~WALK_STREAM() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    const EVENT& next() {
        if (m_at == m_current.size()) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return !m_ready.empty(); });
            m_free.push_back(std::move(m_current)); // the producer fills it again: no fresh pages per batch
            m_current = std::move(m_ready.front());
            m_ready.pop_front();
            lock.unlock();
            m_changed.notify_all();
            m_at = 0;
            if (m_failure)
                std::rethrow_exception(m_failure);
        }
        return m_current[m_at++];
    }

  private:
    struct STOPPED {};
    static constexpr size_t BATCH = 8192;
    static constexpr size_t QUEUE = 4;

    void produce(BRIX_INFO* root) {
        try {
            m_batch.reserve(BATCH);
            pdb_walk(BRIX_PDB::INFO, root, *this);
            push({EVENT::END, 0, "", nullptr});
            hand_over();
        } catch (const STOPPED&) {
        } catch (...) {
            // The reader sees the failure after the events before it.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_failure = std::current_exception();
            m_batch.push_back({EVENT::END, 0, "", nullptr});
            m_ready.push_back(std::move(m_batch));
            m_changed.notify_all();
        }
    }
    void push(const EVENT& e) {
        m_batch.push_back(e);
        if (m_batch.size() == BATCH)
            hand_over();
    }
    void hand_over() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_stop || m_ready.size() < QUEUE; });
        if (m_stop)
            throw STOPPED{};
        m_ready.push_back(std::move(m_batch));
        if (!m_free.empty()) {
            m_batch = std::move(m_free.back());
            m_free.pop_back();
        } else {
            m_batch = std::vector<EVENT>();
        }
        lock.unlock();
        m_changed.notify_all();
        m_batch.clear();
        m_batch.reserve(BATCH);
    }

    void value_u32(const char* name, uint32_t v) override { push({EVENT::U32, v, name, nullptr}); }
    void value_bool(const char* name, bool v) override { push({EVENT::BOOL, v, name, nullptr}); }
    void value_u8(const char* name, uint8_t v) override { push({EVENT::U8, v, name, nullptr}); }
    void value_u32_vector(const char* name, const std::vector<uint32_t>& v) override {
        push({EVENT::VECTOR, 0, name, &v});
    }
    void value_bytes(const char* name, const unsigned char* data, uint32_t count) override {
        if (data == nullptr)
            push({EVENT::NUL, 0, name, nullptr});
        else
            push({EVENT::BYTES, count, name, data});
    }
    void value_null(const char* name) override { push({EVENT::NUL, 0, name, nullptr}); }
    void begin_record(const char* name, const PDB_CLASS_THUNK& thunk) override {
        push({EVENT::BEGIN_RECORD, 0, name, &thunk});
    }
    void end_record() override { push({EVENT::END_RECORD, 0, "", nullptr}); }
    void begin_list(const char* name, uint32_t count) override {
        push({EVENT::BEGIN_LIST, count, name, nullptr});
    }
    void end_list() override { push({EVENT::END_LIST, 0, "", nullptr}); }

    std::vector<EVENT> m_batch;
    std::vector<EVENT> m_current;
    size_t m_at = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<EVENT>> m_ready;
    std::vector<std::vector<EVENT>> m_free;
    bool m_stop = false;
    std::exception_ptr m_failure;
    std::thread m_thread; // last: started when everything above exists
};

std::string enum_value_text(const char* field, uint32_t value) {
    const BRIX_ENUM_DESCRIPTOR* e = brix_field_enumeration(field);
    if (e == nullptr)
        return std::to_string(value);
    return std::to_string(value) + (value < e->count ? std::string(" ") + e->names[value] : "");
}

// Compares the two walks node by node, keeping the path of the node being compared.
class WALK_DIFFER {
  public:
    WALK_DIFFER(WALK_STREAM& a, WALK_STREAM& b, REPORT& report) : m_a(a), m_b(b), m_report(report) {}

    void run() {
        const EVENT a = m_a.next(), b = m_b.next();
        node(a, b, "", -1);
    }

  private:
    // What the comparison needs to know of a field, found once per field name (the walk hands the same name
    // pointers again and again).
    struct FIELD_INFO {
        const BRIX_ENUM_DESCRIPTOR* enumeration = nullptr; // a type field (m_link_block excluded)
        bool block_type = false;
        bool unit_size = false;
    };
    const FIELD_INFO& field_info(const char* name) {
        auto found = m_fields.find(name);
        if (found != m_fields.end())
            return found->second;
        FIELD_INFO info;
        if (std::strcmp(name, "m_link_block") != 0)
            info.enumeration = brix_field_enumeration(name);
        info.block_type = std::strcmp(name, "m_block_type") == 0;
        info.unit_size = std::strcmp(name, "m_unit_size") == 0;
        return m_fields.emplace(name, info).first->second;
    }

    struct FRAME {
        const char* name; // a field, or null for a list element
        int64_t index;
        std::string label; // a list element's type names, once its type fields have been read
        const PDB_CLASS_THUNK* thunk = nullptr;
        uint32_t unit_size[2] = {0, 0}; // argument rows: the unit size in each database
    };

    // The path of the innermost record or list, with the field name or list index of a leaf below it.
    std::string path(const char* leaf = nullptr, int64_t index = -1) const {
        std::string text;
        auto add = [&](const char* name, int64_t i, const std::string& label) {
            if (name != nullptr) {
                if (*name != '\0')
                    text += (text.empty() ? "" : ".") + std::string(name);
            } else {
                text += "[" + (label.empty() ? std::to_string(i) : label) + "]";
            }
        };
        for (const FRAME& f : m_path)
            add(f.name, f.index, f.label);
        if (leaf != nullptr || index >= 0)
            add(leaf, index, std::string());
        return text;
    }

    static std::string describe(const EVENT& e) {
        switch (e.kind) {
        case EVENT::NUL:
            return "null";
        case EVENT::BEGIN_RECORD:
            return "a record";
        case EVENT::BEGIN_LIST:
            return "a list of " + std::to_string(e.value);
        case EVENT::BYTES:
            return std::to_string(e.value) + " bytes";
        case EVENT::VECTOR:
            return std::to_string(static_cast<const std::vector<uint32_t>*>(e.data)->size()) + " entries";
        default:
            return std::to_string(e.value);
        }
    }

    // Consumes the rest of a record or list whose beginning was e.
    static void skip(WALK_STREAM& s, const EVENT& e) {
        if (e.kind != EVENT::BEGIN_RECORD && e.kind != EVENT::BEGIN_LIST)
            return;
        int depth = 1;
        while (depth > 0) {
            const EVENT& n = s.next();
            if (n.kind == EVENT::BEGIN_RECORD || n.kind == EVENT::BEGIN_LIST)
                ++depth;
            else if (n.kind == EVENT::END_RECORD || n.kind == EVENT::END_LIST)
                --depth;
            else if (n.kind == EVENT::END)
                BRIX_REPORT("the walk of a database ends inside a record");
        }
    }

    // Labels the innermost record, when it is a list element, from one of its type fields.
    void label(const FIELD_INFO& field, uint32_t value) {
        if (field.enumeration == nullptr || m_path.empty() || m_path.back().name != nullptr)
            return;
        const BRIX_ENUM_DESCRIPTOR* e = field.enumeration;
        std::string& l = m_path.back().label;
        if (l.empty())
            l = value < e->count ? e->names[value] : std::to_string(value);
        else if (field.block_type)
            l += "/" + (value < e->count ? std::string(e->names[value]) : std::to_string(value));
    }

    // Compares one node of each walk: a value, or a record or list with everything below it. A value gets no
    // path frame of its own; its path is made only when it differs.
    void node(const EVENT& a, const EVENT& b, const char* name, int64_t index) {
        if (a.kind != b.kind) {
            m_report.add(path(name, index), describe(a), describe(b));
            skip(m_a, a);
            skip(m_b, b);
            return;
        }
        switch (a.kind) {
        case EVENT::U32: {
            if (a.value != b.value)
                m_report.add(path(name, index), enum_value_text(a.name, a.value),
                             enum_value_text(b.name, b.value));
            const FIELD_INFO& field = field_info(a.name);
            label(field, a.value);
            if (field.unit_size && !m_path.empty()) {
                m_path.back().unit_size[0] = a.value;
                m_path.back().unit_size[1] = b.value;
            }
            break;
        }
        case EVENT::BOOL:
        case EVENT::U8:
            if (a.value != b.value)
                m_report.add(path(name, index), std::to_string(a.value), std::to_string(b.value));
            break;
        case EVENT::VECTOR: {
            const auto& va = *static_cast<const std::vector<uint32_t>*>(a.data);
            const auto& vb = *static_cast<const std::vector<uint32_t>*>(b.data);
            if (va != vb)
                compare_entries(m_report, path(name, index), va.size(), vb.size(),
                                [&](size_t i, bool first) { return first ? va[i] : vb[i]; });
            break;
        }
        case EVENT::BYTES:
            bytes(a, b, name, index);
            break;
        case EVENT::BEGIN_RECORD:
            m_path.push_back(
                {name, index, std::string(), static_cast<const PDB_CLASS_THUNK*>(a.data), {0, 0}});
            for (;;) {
                const EVENT fa = m_a.next(), fb = m_b.next();
                if (fa.kind == EVENT::END_RECORD && fb.kind == EVENT::END_RECORD)
                    break;
                BRIX_CHECK(fa.kind != EVENT::END_RECORD && fb.kind != EVENT::END_RECORD &&
                               fa.kind != EVENT::END && fb.kind != EVENT::END,
                           "both databases have the same record fields");
                node(fa, fb, fa.name, -1);
            }
            m_path.pop_back();
            break;
        case EVENT::BEGIN_LIST: {
            m_path.push_back({name, index, std::string(), nullptr, {0, 0}});
            const uint32_t n = std::min(a.value, b.value);
            for (uint32_t i = 0; i < n; ++i) {
                const EVENT ea = m_a.next(), eb = m_b.next();
                node(ea, eb, nullptr, i);
            }
            for (uint32_t i = n; i < a.value; ++i)
                skip(m_a, m_a.next());
            for (uint32_t i = n; i < b.value; ++i)
                skip(m_b, m_b.next());
            if (a.value != b.value)
                m_report.add(path(), std::to_string(a.value) + " entries",
                             std::to_string(b.value) + " entries");
            const EVENT ea = m_a.next(), eb = m_b.next();
            BRIX_CHECK(ea.kind == EVENT::END_LIST && eb.kind == EVENT::END_LIST,
                       "both databases have the same record fields");
            m_path.pop_back();
            break;
        }
        default:
            break; // null in both
        }
    }

    // A byte block: an argument row by its units (1, 2 or 4 bytes, little-endian), anything else by bytes.
    void bytes(const EVENT& a, const EVENT& b, const char* name, int64_t index) {
        const auto* da = static_cast<const unsigned char*>(a.data);
        const auto* db = static_cast<const unsigned char*>(b.data);
        uint32_t unit = 1;
        if (!m_path.empty()) {
            const FRAME& record = m_path.back();
            if (record.thunk == &BRIX_PDB::ARG_DATA && record.unit_size[0] == record.unit_size[1] &&
                (record.unit_size[0] == 2 || record.unit_size[0] == 4) &&
                a.value % record.unit_size[0] == 0 && b.value % record.unit_size[0] == 0)
                unit = record.unit_size[0];
        }
        if (a.value == b.value && std::memcmp(da, db, a.value) == 0)
            return;
        auto get = [&](size_t i, bool first) {
            const unsigned char* p = (first ? da : db) + i * unit;
            uint32_t v = 0;
            for (uint32_t k = 0; k < unit; ++k)
                v |= uint32_t{p[k]} << (8 * k);
            return v;
        };
        compare_entries(m_report, path(name, index), a.value / unit, b.value / unit, get);
    }

    WALK_STREAM& m_a;
    WALK_STREAM& m_b;
    REPORT& m_report;
    std::vector<FRAME> m_path;
    std::unordered_map<const char*, FIELD_INFO> m_fields;
};

// The kind of a file as brix_dump names it, by its extension.
std::string kind_of(const std::string& file) {
    const std::string lower = stl_lower(file);
    for (const char* ext : {".ddb", ".pgm_rba", ".cram_map", ".fid"}) {
        const size_t n = std::strlen(ext);
        if (lower.size() > n && lower.compare(lower.size() - n, n, ext) == 0)
            return ext + 1;
    }
    return "";
}

int diff_databases(const std::string& a, const std::string& b, REPORT& report, std::string& reason) {
    // The two databases are read side by side.
    std::unique_ptr<BRIX_INFO> ia, ib;
    std::exception_ptr failure;
    std::thread reader([&] {
        try {
            ia.reset(BRIX_DATA_SERVER::get_brix_info(a, false));
        } catch (...) {
            failure = std::current_exception();
        }
    });
    try {
        ib.reset(BRIX_DATA_SERVER::get_brix_info(b, false));
    } catch (...) {
        reader.join();
        throw;
    }
    reader.join();
    if (failure)
        std::rethrow_exception(failure);
    auto what = [](const BRIX_INFO* info) {
        return info == nullptr                      ? "an empty archive"
               : info->get_family_info() != nullptr ? "a family database"
                                                    : "a device database";
    };
    if (std::string(what(ia.get())) != what(ib.get()) || ia == nullptr) {
        reason = a + " is " + what(ia.get()) + ", " + b + " is " + what(ib.get());
        return DIFF_CANNOT_COMPARE;
    }
    {
        WALK_STREAM sa(ia.get()), sb(ib.get());
        WALK_DIFFER(sa, sb, report).run();
    }
    // Released side by side too: a database of a million records takes a while to free.
    std::thread release([&] { ia.reset(); });
    ib.reset();
    release.join();
    return report.finish();
}

// ---- Programmer containers ---------------------------------------------------------------------------

// One record's fields as its field list gives them.
struct FIELD_COLLECTOR {
    struct FIELD {
        const char* name;
        enum { U, ARRAY, ROWS, LOCATIONS } kind;
        uint32_t value = 0;
        const uint32_t* array = nullptr;
        const PGM_BYTE_ROWS* rows = nullptr;
        uint32_t bytes = 0;
        const std::map<uint32_t, std::vector<BRIX_RBA_LOCATION>>* locations = nullptr;
    };
    std::vector<FIELD> fields;

    void u16(const char* name, uint16_t v) { fields.push_back({name, FIELD::U, v}); }
    void u32(const char* name, uint32_t v) { fields.push_back({name, FIELD::U, v}); }
    void row_width(const char*, uint32_t, const char*, uint32_t, size_t, bool) {}
    void u32_array(const char* name, const std::unique_ptr<uint32_t[]>& a, uint32_t n) {
        FIELD f{name, FIELD::ARRAY, a ? n : 0};
        f.array = a.get();
        fields.push_back(f);
    }
    void rows(const char* name, const PGM_BYTE_ROWS& r, uint32_t count, uint32_t bytes) {
        FIELD f{name, FIELD::ROWS, r ? count : 0};
        f.rows = &r;
        f.bytes = r ? bytes : 0;
        fields.push_back(f);
    }
    void locations(const char* name, const std::map<uint32_t, std::vector<BRIX_RBA_LOCATION>>& map) {
        FIELD f{name, FIELD::LOCATIONS};
        f.locations = &map;
        fields.push_back(f);
    }
};

// The placements of one frame, the first few of them.
std::string placements_text(const std::vector<BRIX_RBA_LOCATION>* p) {
    if (p == nullptr)
        return "no placements";
    constexpr size_t SHOWN = 8;
    std::string text;
    for (size_t i = 0; i < p->size() && i < SHOWN; ++i) {
        const BRIX_RBA_LOCATION& l = (*p)[i];
        text += (text.empty() ? "bit " : ", bit ") + std::to_string(l.bit_index) +
                (l.frame_mirror ? " fm" : "") + (l.bit_mirror ? " bm" : "");
    }
    if (p->size() > SHOWN)
        text += ", ... (" + std::to_string(p->size()) + " placements)";
    return text;
}

template <typename RECORD>
void diff_records(const RECORD& a, const RECORD& b, const std::string& path, REPORT& report) {
    FIELD_COLLECTOR fa, fb;
    pgm_visit(fa, a);
    pgm_visit(fb, b);
    for (size_t i = 0; i < fa.fields.size(); ++i) {
        const auto& x = fa.fields[i];
        const auto& y = fb.fields[i];
        const std::string at = path + "." + x.name;
        switch (x.kind) {
        case FIELD_COLLECTOR::FIELD::U:
            if (x.value != y.value)
                report.add(at, std::to_string(x.value), std::to_string(y.value));
            break;
        case FIELD_COLLECTOR::FIELD::ARRAY:
            compare_entries(report, at, x.value, y.value,
                            [&](size_t k, bool first) { return first ? x.array[k] : y.array[k]; });
            break;
        case FIELD_COLLECTOR::FIELD::ROWS: {
            // Rows compared by row: the first differing row and bit, and the number of differing rows.
            if (x.value != y.value || x.bytes != y.bytes) {
                report.add(at, std::to_string(x.value) + " rows of " + std::to_string(x.bytes) + " bytes",
                           std::to_string(y.value) + " rows of " + std::to_string(y.bytes) + " bytes");
                break;
            }
            size_t first = x.value, count = 0, bit = 0;
            for (uint32_t r = 0; r < x.value; ++r) {
                const unsigned char* ra = (*x.rows)[r].get();
                const unsigned char* rb = (*y.rows)[r].get();
                if (std::memcmp(ra, rb, x.bytes) == 0)
                    continue;
                if (count++ == 0) {
                    first = r;
                    size_t byte = 0;
                    while (ra[byte] == rb[byte])
                        ++byte;
                    bit = byte * 8 + static_cast<size_t>(__builtin_ctz(unsigned(ra[byte] ^ rb[byte])));
                }
            }
            if (count > 0) {
                const auto get = [&](const FIELD_COLLECTOR::FIELD& f) {
                    return std::to_string(((*f.rows)[first][bit / 8] >> (bit % 8)) & 1);
                };
                report.add(at + "[" + std::to_string(first) + "][" + std::to_string(bit) + "]", get(x),
                           get(y),
                           (count == 1 ? "the one differing row of "
                                       : "first of " + std::to_string(count) + " differing rows of ") +
                               std::to_string(x.value));
            }
            break;
        }
        case FIELD_COLLECTOR::FIELD::LOCATIONS: {
            const auto& ma = *x.locations;
            const auto& mb = *y.locations;
            std::vector<uint32_t> keys;
            for (const auto& e : ma)
                keys.push_back(e.first);
            for (const auto& e : mb)
                if (ma.count(e.first) == 0)
                    keys.push_back(e.first);
            std::sort(keys.begin(), keys.end());
            size_t count = 0;
            uint32_t first = 0;
            for (uint32_t key : keys) {
                auto ia = ma.find(key);
                auto ib = mb.find(key);
                if (ia != ma.end() && ib != mb.end() && ia->second == ib->second)
                    continue;
                if (count++ == 0)
                    first = key;
            }
            if (count > 0) {
                auto ia = ma.find(first);
                auto ib = mb.find(first);
                report.add(at + "[" + std::to_string(first) + "]",
                           placements_text(ia == ma.end() ? nullptr : &ia->second),
                           placements_text(ib == mb.end() ? nullptr : &ib->second),
                           (count == 1 ? "the one differing frame of "
                                       : "first of " + std::to_string(count) + " differing frames of ") +
                               std::to_string(keys.size()));
            }
            break;
        }
        }
    }
}

template <typename LIST>
void diff_lists(const LIST& a, const LIST& b, const std::string& path, REPORT& report) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const uint32_t type = a[i]->type;
        diff_records(*a[i], *b[i],
                     path + "[" + (type < PGM_RBA_MAX ? PGM_RBA_TYPE_NAMES[type] : std::to_string(i)) + "]",
                     report);
    }
    if (a.size() != b.size())
        report.add(path, std::to_string(a.size()) + " entries", std::to_string(b.size()) + " entries");
}

int diff_containers(const std::string& a, const std::string& b, REPORT& report, std::string& reason) {
    PGM_CONTAINER_FILE ca = BRIX_DATA_SERVER::read_pgm_container(a);
    PGM_CONTAINER_FILE cb = BRIX_DATA_SERVER::read_pgm_container(b);
    if (ca.file_extension != cb.file_extension) {
        reason = a + " holds " + ca.file_extension + ", " + b + " holds " + cb.file_extension;
        return DIFF_CANNOT_COMPARE;
    }
    if (ca.name != cb.name)
        report.add("header.name", ca.name, cb.name);
    if (ca.flag != cb.flag)
        report.add("header.flag", std::to_string(ca.flag), std::to_string(cb.flag));
    if (ca.version != cb.version)
        report.add("header.version", std::to_string(ca.version), std::to_string(cb.version));
    const std::string& kind = ca.file_extension;
    size_t ia = 0, ib = 0;
    auto read_both = [&](auto& ra, auto& rb) {
        {
            INPUT_CONTEXT here(a);
            pgm_ddb_read(ca.payload.get(), ca.raw_size, ia, ra);
            pgm_ddb_check_consumed(ia, ca.raw_size);
        }
        INPUT_CONTEXT here(b);
        pgm_ddb_read(cb.payload.get(), cb.raw_size, ib, rb);
        pgm_ddb_check_consumed(ib, cb.raw_size);
    };
    if (kind == "PGM_RBA") {
        BRIX_RBA_BLOCK_LIST la, lb;
        read_both(la, lb);
        diff_lists(la, lb, "pgm_rba", report);
    } else if (kind == "CRAM_MAP") {
        BRIX_CHECK(ca.raw_size >= 1 && cb.raw_size >= 1, "index < max");
        if (ca.payload[0] != cb.payload[0])
            report.add("cram_map.flags", std::to_string(ca.payload[0]), std::to_string(cb.payload[0]));
        ia = ib = 1;
        BRIX_CRAM_MAP_LIST la, lb;
        read_both(la, lb);
        diff_lists(la, lb, "cram_map.maps", report);
    } else if (kind == "FID") {
        BRIX_FID fa, fb;
        read_both(fa, fb);
        diff_records(fa, fb, "fid", report);
    } else {
        reason = a + ": unknown container kind " + kind;
        return DIFF_CANNOT_COMPARE;
    }
    return report.finish();
}

} // namespace

const BRIX_ENUM_DESCRIPTOR* brix_field_enumeration(const char* field) {
    static const struct {
        const char* field;
        BRIX_ENUM_TYPE type;
    } table[] = {
        {"m_family_type", BRIX_ENUM_TYPE_FAMILY},       {"m_device_type", BRIX_ENUM_TYPE_DEVICE},
        {"m_block_type", BRIX_ENUM_TYPE_BLOCK},         {"m_link_block", BRIX_ENUM_TYPE_BLOCK},
        {"m_frame_type", BRIX_ENUM_TYPE_FRAME},         {"m_instruction_type", BRIX_ENUM_TYPE_INSTRUCTION},
        {"m_dyn_data_type", BRIX_ENUM_TYPE_DYN_DATA},   {"m_ob_data_type", BRIX_ENUM_TYPE_OB_DATA},
        {"m_parameter_type", BRIX_ENUM_TYPE_PARAMETER}, {"m_arg_type", BRIX_ENUM_TYPE_ARGUMENT},
    };
    for (const auto& row : table)
        if (std::strcmp(row.field, field) == 0)
            return &BRIX_ENUM_DESCRIPTORS[row.type];
    return nullptr;
}

int diff_files(const std::string& a, const std::string& b, uint32_t max_shown, std::ostream& out) {
    std::string reason;
    int status = DIFF_CANNOT_COMPARE;
    try {
        const std::string ka = kind_of(a), kb = kind_of(b);
        if (ka.empty() || ka != kb) {
            reason = "different kinds of file: " + a + " (" + (ka.empty() ? "unknown" : ka) + "), " + b +
                     " (" + (kb.empty() ? "unknown" : kb) + ")";
        } else {
            REPORT report(max_shown, out);
            status =
                ka == "ddb" ? diff_databases(a, b, report, reason) : diff_containers(a, b, report, reason);
        }
    } catch (const BRIX_INTERNAL_ERROR& e) {
        reason = e.one_line();
        status = DIFF_CANNOT_COMPARE;
    } catch (const std::exception& e) {
        reason = e.what();
        status = DIFF_CANNOT_COMPARE;
    }
    if (status == DIFF_CANNOT_COMPARE)
        out << "cannot compare: " << reason << "\n";
    return status;
}
