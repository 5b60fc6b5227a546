#include "fio.h"

#include "compression.h"
#include "large_block.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "thr.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <isa-l/crc.h>
#include <memory>
#include <mutex>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::atomic<long long> g_fail_after_bytes{-1};
std::atomic<unsigned> g_temp_counter{0};
std::atomic<int> g_kill_at_step{0};

// One step of putting files in place; the test hook may end the process here.
void put_in_place_step() {
    if (g_kill_at_step.load() > 0 && g_kill_at_step.fetch_sub(1) == 1)
        ::_exit(FIO_ATOMIC_FILE::KILLED_FOR_TESTING);
}

// The directory part of a path ("." when there is none) and its last component.
std::string directory_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}
std::string base_name_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes the renames and removals in a directory durable. A file system that cannot sync a directory
// (EINVAL) has nothing to sync.
bool sync_directory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    put_in_place_step();
    return ok;
}

// The commit record: a header line, one line per file ("<target>\t<temporary>", names within the record's
// directory), and a closing line with the number of files and the CRC-32 of every byte before it.
const char* const RECORD_HEADER = "BRIX commit record 1";

uint32_t record_crc(const std::string& text) {
    return crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string record_end(size_t files, uint32_t crc) {
    char text[64];
    std::snprintf(text, sizeof text, "end %zu %08x\n", files, crc);
    return text;
}

typedef std::vector<std::pair<std::string, std::string>> RENAMES; // (target, temporary), base names

bool plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\t\n\r") == std::string::npos;
}

// The renames of a record's text; false when the text is not a whole record.
bool parse_record(const std::string& text, const std::string& name, RENAMES& renames) {
    // The closing line is the last one, after the last line end but one.
    if (text.size() < 2 || text.back() != '\n')
        return false;
    const size_t last = text.rfind('\n', text.size() - 2);
    if (last == std::string::npos)
        return false;
    const std::string body = text.substr(0, last + 1);
    LINE_READER reader(std::string_view(body), name);
    std::string line;
    if (!reader.next(line) || line != RECORD_HEADER)
        return false;
    while (reader.next(line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            return false;
        renames.emplace_back(line.substr(0, tab), line.substr(tab + 1));
        if (!plain_name(renames.back().first) || !plain_name(renames.back().second))
            return false;
    }
    return text.substr(last + 1) == record_end(renames.size(), record_crc(body));
}

// The process id in a temporary's name "<target>.tmp.<pid>.<n>", given the text after "<target>.tmp.";
// 0 when the text is not of that form.
pid_t temporary_owner(const char* rest) {
    long long pid = 0;
    const char* p = rest;
    for (; *p >= '0' && *p <= '9'; ++p) {
        pid = pid * 10 + (*p - '0');
        if (pid > INT_MAX)
            return 0;
    }
    if (p == rest || *p != '.' || !p[1])
        return 0;
    for (++p; *p; ++p)
        if (*p < '0' || *p > '9')
            return 0;
    return static_cast<pid_t>(pid);
}

// Removes the temporaries of a target that writers left behind when they were killed before they could
// remove them (a signal, a power cut): those of this naming whose process no longer exists. Temporaries of
// live processes (another build writing the same target), and every other file, are left alone.
void remove_stale_temporaries(const std::string& target) {
    const size_t slash = target.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp.";
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    const pid_t self = ::getpid();
    while (const struct dirent* entry = ::readdir(d)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
            continue;
        const pid_t owner = temporary_owner(name + prefix.size());
        if (owner <= 0 || owner == self)
            continue;
        if (::kill(owner, 0) != 0 && errno == ESRCH)
            ::unlink((slash == std::string::npos ? std::string(name) : dir + name).c_str());
    }
    ::closedir(d);
}
} // namespace

bool FIO_FILE_SYSTEM::exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool FIO_FILE_SYSTEM::status(const std::string& path, FIO_STATUS& status) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    status.size = static_cast<uint64_t>(st.st_size);
    return true;
}

std::string FIO_FILE_SYSTEM::describe_missing(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return std::string();
    switch (errno) {
    case ENAMETOOLONG:
        return ": the path is too long (" + std::to_string(path.size()) + " characters)";
    case ENOENT:
        return path.empty() ? ": the path is empty" : ": the file does not exist";
    case ENOTDIR:
        return ": a directory of the path is not a directory";
    default:
        return std::string(": ") + std::strerror(errno);
    }
}

void FIO_FILE_SYSTEM::remove_dead_writers_temporaries(const std::string& target) {
    remove_stale_temporaries(target);
}

bool FIO_FILE_SYSTEM::remove_file(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool FIO_FILE_SYSTEM::read_file(const std::string& path, std::vector<unsigned char>& data) {
    data.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    // Straight into place at the size the file has now; a file that grows meanwhile is read to its end.
    struct stat st;
    size_t size = 0;
    if (::fstat(fileno(f), &st) == 0 && st.st_size > 0)
        size = static_cast<size_t>(st.st_size);
    data.reserve(size);
    advise_large_block(data.data(), size);
    data.resize(size);
    size_t got = size ? std::fread(data.data(), 1, size, f) : 0;
    data.resize(got);
    unsigned char buffer[1 << 16];
    size_t n;
    while (got == size && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool FIO_FILE_SYSTEM::read_file(const std::string& path, HUGE_PAGE_BLOCK& data, size_t& size) {
    data = HUGE_PAGE_BLOCK();
    size = 0;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    // Straight into place at the size the file has now, with a byte to spare to see whether it grew since;
    // a file that grows meanwhile is read to its end, the block doubling as it goes.
    struct stat st;
    size_t room = 1 << 16;
    if (::fstat(fileno(f), &st) == 0 && st.st_size > 0 && uint64_t(st.st_size) < SIZE_MAX / 4)
        room = static_cast<size_t>(st.st_size) + 1;
    bool ok = true;
    try {
        data = HUGE_PAGE_BLOCK(room);
        for (;;) {
            size += std::fread(data.get() + size, 1, room - size, f);
            if (size < room)
                break;
            if (room > SIZE_MAX / 4) {
                ok = false;
                break;
            }
            HUGE_PAGE_BLOCK grown(room * 2);
            std::memcpy(grown.get(), data.get(), size);
            data = std::move(grown);
            room *= 2;
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    ok = ok && !std::ferror(f);
    std::fclose(f);
    return ok;
}

namespace {
// A gzip file read whole, for unpacking; a file that cannot be read fails, naming it.
struct PACKED_FILE {
    HUGE_PAGE_BLOCK bytes;
    size_t size = 0;
    explicit PACKED_FILE(const std::string& path) {
        BRIX_CHECK(FIO_FILE_SYSTEM::read_file(path, bytes, size), "Unable to open compressed file " + path);
    }
};
} // namespace

void FIO_FILE_SYSTEM::gunzip_file(const std::string& input, const std::string& output, LARGE_TEXT* kept,
                                  uint64_t limit) {
    INPUT_CONTEXT here(input);
    const PACKED_FILE packed(input);
    FIO_ATOMIC_FILE out(output);
    gzip_unpack(
        packed.bytes.get(), packed.size, input,
        [&out, kept](const unsigned char* data, size_t size) {
            out.write(data, size);
            if (kept != nullptr)
                kept->append(data, size);
        },
        limit);
    out.commit();
}

void FIO_FILE_SYSTEM::gunzip_to_memory(const std::string& input, LARGE_TEXT& text, uint64_t limit) {
    INPUT_CONTEXT here(input);
    const PACKED_FILE packed(input);
    gzip_unpack(
        packed.bytes.get(), packed.size, input,
        [&text](const unsigned char* data, size_t size) { text.append(data, size); }, limit);
}

struct FIO_BACKGROUND_FILE::JOB {
    explicit JOB(const std::string& target) : out(target) {}
    FIO_ATOMIC_FILE out;
    const void* data = nullptr;
    size_t size = 0;
    THR_HANDLE thread = nullptr;
};

namespace {
void* write_job(void* argument) {
    auto* job = static_cast<FIO_BACKGROUND_FILE::JOB*>(argument);
    job->out.write(job->data, job->size);
    job->out.commit();
    return nullptr;
}
} // namespace

void FIO_BACKGROUND_FILE::start(const std::string& target, const void* data, size_t size) {
    wait();
    auto job = std::make_unique<JOB>(target);
    job->data = data;
    job->size = size;
    job->thread = thr_thread_create(write_job, job.get(), 0);
    if (job->thread == nullptr) {
        write_job(job.get());
        return;
    }
    m_job = job.release();
    m_target = target;
}

void FIO_BACKGROUND_FILE::wait() {
    if (m_job == nullptr)
        return;
    std::unique_ptr<JOB> job(m_job);
    m_job = nullptr;
    m_target.clear();
    thr_thread_wait(job->thread);
}

void FIO_BACKGROUND_FILE::drop() noexcept {
    try {
        wait();
    } catch (...) {
        // The caller is failing already; its own failure is the one that travels on.
    }
}

size_t fio_read_at(int fd, void* data, size_t size, uint64_t offset) {
    unsigned char* p = static_cast<unsigned char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t got = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

// The chunks form a ring: the worker fills them in order and the caller takes them in the same order, so
// the slot the worker fills next is always the one the caller handed back longest ago.
struct FIO_READ_AHEAD::STATE {
    int fd = -1;
    uint64_t from = 0;
    uint64_t to = 0;
    size_t chunk_size = 0;
    size_t headroom = 0;
    FIO_READ_AHEAD::CHECKSUM checksum = nullptr;
    uint32_t running = 0;  // the checksum so far, the worker's own
    HUGE_PAGE_BLOCK slots; // depth slots of headroom + chunk_size bytes each
    size_t stride = 0;
    std::vector<FIO_READ_AHEAD::CHUNK> chunks;
    std::mutex mutex;
    std::condition_variable changed;
    unsigned free_slots = 0; // slots the worker may fill
    unsigned filled = 0;     // slots filled and not yet taken
    unsigned head = 0;       // the slot the caller takes next
    int held = -1;           // the slot the caller is working on
    bool done = false;       // the worker has read its last chunk
    bool stopping = false;
    THR_HANDLE thread = nullptr;
};

namespace {
void* read_ahead(void* argument) {
    auto& s = *static_cast<FIO_READ_AHEAD::STATE*>(argument);
    const unsigned depth = static_cast<unsigned>(s.chunks.size());
    unsigned tail = 0;
    for (uint64_t pos = s.from; pos < s.to;) {
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.changed.wait(lock, [&s] { return s.stopping || s.free_slots > 0; });
            if (s.stopping)
                break;
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(s.chunk_size, s.to - pos));
        unsigned char* data = s.slots.get() + tail * s.stride + s.headroom;
        const size_t got = fio_read_at(s.fd, data, want, pos);
        if (s.checksum)
            s.running = s.checksum(s.running, data, got);
        std::lock_guard<std::mutex> lock(s.mutex);
        s.chunks[tail] = FIO_READ_AHEAD::CHUNK{data, got, s.running};
        tail = (tail + 1) % depth;
        --s.free_slots;
        ++s.filled;
        s.changed.notify_all();
        if (got < want)
            break;
        pos += got;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.done = true;
    s.changed.notify_all();
    return nullptr;
}
} // namespace

FIO_READ_AHEAD::FIO_READ_AHEAD() = default;

FIO_READ_AHEAD::~FIO_READ_AHEAD() {
    stop();
}

bool FIO_READ_AHEAD::start(int fd, uint64_t from, uint64_t to, size_t chunk_size, unsigned depth,
                           size_t headroom, CHECKSUM checksum, uint32_t checksum_start) {
    stop();
    auto state = std::make_unique<STATE>();
    state->fd = fd;
    state->from = from;
    state->to = to;
    state->chunk_size = chunk_size;
    state->headroom = headroom;
    state->checksum = checksum;
    state->running = checksum_start;
    depth = std::max(depth, 2u);
    state->stride = headroom + chunk_size;
    state->slots = HUGE_PAGE_BLOCK(state->stride * depth);
    state->chunks.assign(depth, CHUNK());
    state->free_slots = depth;
    state->thread = thr_thread_create(read_ahead, state.get(), 0);
    if (state->thread == nullptr)
        return false;
    m_state = std::move(state);
    return true;
}

FIO_READ_AHEAD::CHUNK FIO_READ_AHEAD::next(const unsigned char* carry, size_t carry_size) {
    STATE& s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait(lock, [&s] { return s.filled > 0 || s.done; });
    if (s.filled == 0)
        return CHUNK();
    const unsigned slot = s.head;
    s.head = (s.head + 1) % static_cast<unsigned>(s.chunks.size());
    --s.filled;
    lock.unlock();
    // The carry may lie in the held slot: it is copied before that slot goes back to the worker.
    const CHUNK chunk = s.chunks[slot];
    const size_t n = std::min(carry_size, s.headroom);
    if (n)
        std::memcpy(chunk.data - n, carry, n);
    lock.lock();
    if (s.held >= 0) {
        ++s.free_slots;
        s.changed.notify_all();
    }
    s.held = static_cast<int>(slot);
    return chunk;
}

void FIO_READ_AHEAD::stop() noexcept {
    if (!m_state)
        return;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopping = true;
        m_state->changed.notify_all();
    }
    try {
        thr_thread_wait(m_state->thread);
    } catch (...) {
        // The worker only reads; it raises no report of its own.
    }
    m_state.reset();
}

FIO_LOCK_FILE::~FIO_LOCK_FILE() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FIO_LOCK_FILE::try_lock(const std::string& path, const std::string& text, std::string& holder) {
    BRIX_CHECK(m_fd < 0, "The lock is taken once");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    BRIX_CHECK(fd >= 0, "Unable to open the lock file " + path + " (" + std::strerror(errno) + ")");
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int error = errno;
        holder.clear();
        char buffer[512];
        const size_t n = fio_read_at(fd, buffer, sizeof buffer, 0);
        holder.assign(buffer, n);
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0'))
            holder.pop_back();
        ::close(fd);
        BRIX_CHECK(error == EWOULDBLOCK, "Unable to lock " + path + " (" + std::strerror(error) + ")");
        return false;
    }
    m_fd = fd;
    const std::string line = text + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, line.data(), line.size(), 0) != ssize_t(line.size())) {
        // The lock holds without its note; whoever finds it taken is told less.
    }
    return true;
}

bool FIO_PATH::is_unc_path() const {
    return m_path.size() >= 2 && m_path[0] == '\\' && m_path[1] == '\\';
}

std::string FIO_PATH::fullpath() const {
    if (!m_path.empty() && m_path[0] == '/')
        return m_path;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
        return m_path;
    std::string dir = cwd;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir + m_path;
}

FIO_ATOMIC_FILE::FIO_ATOMIC_FILE(std::string target) : m_target(std::move(target)) {
    remove_stale_temporaries(m_target);
    m_temporary = m_target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(g_temp_counter++);
    int fd = ::open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("cannot create");
    m_file = ::fdopen(fd, "wb");
    if (!m_file) {
        ::close(fd);
        fail("cannot create");
    }
    std::setvbuf(m_file, nullptr, _IOFBF, 1 << 20);
}

FIO_ATOMIC_FILE::~FIO_ATOMIC_FILE() {
    if (m_file)
        std::fclose(m_file);
    if (!m_committed && !m_temporary.empty())
        ::unlink(m_temporary.c_str());
}

void FIO_ATOMIC_FILE::fail(const std::string& what) {
    std::string reason = errno ? std::strerror(errno) : "write failed";
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    ::unlink(m_temporary.c_str());
    BRIX_REPORT("Unable to write " + m_target + ": " + what + " (" + reason + ")");
}

void FIO_ATOMIC_FILE::write(const void* data, size_t size) {
    if (size == 0)
        return;
    errno = 0;
    if (!m_file)
        fail("write after finish");
    long long limit = g_fail_after_bytes.load();
    if (limit >= 0) {
        if (static_cast<long long>(size) > limit) {
            g_fail_after_bytes = 0;
            errno = ENOSPC;
            fail("write");
        }
        g_fail_after_bytes = limit - static_cast<long long>(size);
    }
    if (std::fwrite(data, 1, size, m_file) != size)
        fail("write");
    m_written += size;
    if (m_written - m_flushed >= WRITEBACK_STEP) {
        // Starts the system's writeback of what is written so far, so the sync at the end waits for little.
        if (std::fflush(m_file) != 0)
            fail("flush");
        ::sync_file_range(fileno(m_file), static_cast<off_t>(m_flushed),
                          static_cast<off_t>(m_written - m_flushed), SYNC_FILE_RANGE_WRITE);
        m_flushed = m_written;
    }
}

void FIO_ATOMIC_FILE::finish() {
    if (!m_file)
        return;
    errno = 0;
    if (std::fflush(m_file) != 0)
        fail("flush");
    if (::fsync(fileno(m_file)) != 0 && errno != EINVAL)
        fail("sync");
    int rc = std::fclose(m_file);
    m_file = nullptr;
    if (rc != 0)
        fail("close");
    put_in_place_step();
}

void FIO_ATOMIC_FILE::commit() {
    finish();
    errno = 0;
    if (std::rename(m_temporary.c_str(), m_target.c_str()) != 0)
        fail("rename");
    m_committed = true;
    put_in_place_step();
}

void FIO_ATOMIC_FILE::commit_together(const std::string& record, const std::vector<FIO_ATOMIC_FILE*>& files) {
    const std::string dir = directory_of(record);
    std::string text = std::string(RECORD_HEADER) + "\n";
    for (FIO_ATOMIC_FILE* file : files) {
        BRIX_CHECK(directory_of(file->m_target) == dir && directory_of(file->m_temporary) == dir &&
                       plain_name(base_name_of(file->m_target)),
                   "Files committed together lie in the directory of their commit record: " + file->m_target);
        file->finish();
        // A target that cannot be replaced (a directory holds its name) fails here, before anything moves.
        struct stat st;
        if (::lstat(file->m_target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            file->fail("rename");
        }
        text += base_name_of(file->m_target) + "\t" + base_name_of(file->m_temporary) + "\n";
    }
    text += record_end(files.size(), record_crc(text));
    {
        FIO_ATOMIC_FILE out(record);
        out.write(text.data(), text.size());
        out.commit();
    }
    // From here the temporaries belong to the record: a failure leaves them for the next run to put in place.
    for (FIO_ATOMIC_FILE* file : files)
        file->m_committed = true;
    const std::string unfinished = "; the next run of the program completes the write recorded in " + record;
    BRIX_CHECK(sync_directory(dir),
               "Unable to sync directory " + dir + " (" + std::strerror(errno) + ")" + unfinished);
    // A temporary that is gone was put in place by another process's completion of this record (a reader
    // that found it meanwhile): only a completion renames a live writer's temporaries.
    for (FIO_ATOMIC_FILE* file : files) {
        if (std::rename(file->m_temporary.c_str(), file->m_target.c_str()) != 0 && errno != ENOENT)
            BRIX_REPORT("Unable to write " + file->m_target + ": rename (" + std::strerror(errno) + ")" +
                        unfinished);
        put_in_place_step();
    }
    BRIX_CHECK(sync_directory(dir),
               "Unable to sync directory " + dir + " (" + std::strerror(errno) + ")" + unfinished);
    ::unlink(record.c_str());
    put_in_place_step();
    sync_directory(dir);
}

bool FIO_ATOMIC_FILE::complete_interrupted_commit(const std::string& record) {
    std::vector<unsigned char> bytes;
    if (!FIO_FILE_SYSTEM::exists(record))
        return false;
    INPUT_CONTEXT here(record);
    BRIX_CHECK(FIO_FILE_SYSTEM::read_file(record, bytes),
               "Unable to read the commit record of an interrupted write (" +
                   std::string(std::strerror(errno)) + ")");
    const std::string dir = directory_of(record);
    RENAMES renames;
    if (parse_record(std::string(bytes.begin(), bytes.end()), record, renames)) {
        for (const auto& rename : renames) {
            const std::string target = dir + "/" + rename.first;
            const std::string temporary = dir + "/" + rename.second;
            if (std::rename(temporary.c_str(), target.c_str()) != 0 && errno != ENOENT)
                BRIX_REPORT("Unable to complete the interrupted write of " + target + ": rename (" +
                            std::strerror(errno) + ")");
        }
        BRIX_CHECK(sync_directory(dir),
                   "Unable to sync directory " + dir + " (" + std::strerror(errno) + ")");
    }
    BRIX_CHECK(FIO_FILE_SYSTEM::remove_file(record),
               "Unable to remove the commit record of an interrupted write (" +
                   std::string(std::strerror(errno)) + ")");
    sync_directory(dir);
    return true;
}

void FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(long long bytes) {
    g_fail_after_bytes = bytes;
}

void FIO_ATOMIC_FILE::set_kill_at_step_for_testing(int step) {
    g_kill_at_step = step;
}
