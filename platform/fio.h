// File system, paths and whole-file writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class HUGE_PAGE_BLOCK;
class LARGE_TEXT;

struct FIO_STATUS {
    uint64_t size = 0;
};

class FIO_FILE_SYSTEM {
  public:
    static bool exists(const std::string& path);
    // True and the file's size in status when the file exists.
    static bool status(const std::string& path, FIO_STATUS& status);
    // Why a path names no file, for a report: ": the path is too long (N characters)", ": the file does not
    // exist" and so on; empty when the file exists.
    static std::string describe_missing(const std::string& path);
    // Removes a file in-process; true when it is gone afterwards (also when it never existed).
    static bool remove_file(const std::string& path);
    // Removes the temporaries of FIO_ATOMIC_FILE writers of target whose process no longer exists (a writer
    // killed before it could remove its own); every writer does this for its target when it starts.
    static void remove_dead_writers_temporaries(const std::string& target);
    // Reads a whole file; false when it cannot be opened or read.
    static bool read_file(const std::string& path, std::vector<unsigned char>& data);
    // The same into a block of its own (large_block.h), for a file of megabytes that is read once right
    // away: size receives the number of bytes read; the block may be larger.
    static bool read_file(const std::string& path, HUGE_PAGE_BLOCK& data, size_t& size);
    // Decompresses a gzip file (one member or several) into another file in-process, checking each member's
    // CRC-32 and length (gzip_unpack, compression.h). The output lands whole through FIO_ATOMIC_FILE. Fails
    // with a report naming the file when the input is missing, is not gzip data, is cut short or damaged.
    // With kept, the unpacked bytes are also appended there, for a caller that reads them next. limit bounds
    // the unpacked size (gzip_unpack): past it the unpacking stops and fails, and no output file is left.
    static void gunzip_file(const std::string& input, const std::string& output, LARGE_TEXT* kept = nullptr,
                            uint64_t limit = UINT64_MAX);
    // Decompresses a gzip file into memory only (appended to text), with the checks, bound and reports of
    // gunzip_file; for a caller that writes the unpacked file itself while it reads the text.
    static void gunzip_to_memory(const std::string& input, LARGE_TEXT& text, uint64_t limit = UINT64_MAX);
};

// Writes bytes held in memory to a file whole (FIO_ATOMIC_FILE: temporary, sync, rename) on a worker thread,
// while the caller goes on reading the same bytes. start() creates the temporary itself, so a target that
// cannot be created is reported at once; the writing, syncing and renaming run on the worker. The bytes must
// stay in place, unchanged, until the writer has been waited for. wait() joins the worker and raises its
// failure report, if any, in the caller's thread. Destroying or replacing a writer that was not waited for
// joins it and drops its report: the caller is failing already. Where no thread can be started, start()
// writes the file itself.
class FIO_BACKGROUND_FILE {
  public:
    FIO_BACKGROUND_FILE() = default;
    ~FIO_BACKGROUND_FILE() { drop(); }
    FIO_BACKGROUND_FILE(const FIO_BACKGROUND_FILE&) = delete;
    FIO_BACKGROUND_FILE& operator=(const FIO_BACKGROUND_FILE&) = delete;
    // Only an idle writer (never started, or waited for) is moved: the result is idle too.
    FIO_BACKGROUND_FILE(FIO_BACKGROUND_FILE&&) noexcept {}
    FIO_BACKGROUND_FILE& operator=(FIO_BACKGROUND_FILE&&) noexcept {
        drop();
        return *this;
    }

    // Starts writing size bytes at data to target; a writer still running is waited for first.
    void start(const std::string& target, const void* data, size_t size);
    // The file being written, until wait(); empty when the writer is idle.
    const std::string& target() const { return m_target; }
    void wait();

    struct JOB; // the worker's task

  private:
    void drop() noexcept;
    JOB* m_job = nullptr;
    std::string m_target;
};

// Reads size bytes at offset of an open file, as many as are there: fewer when the file ends early or cannot
// be read.
size_t fio_read_at(int fd, void* data, size_t size, uint64_t offset);

// Reads a stretch of an open file on a worker thread, a few chunks ahead of the caller, so that the system's
// copy of the next chunks runs while the caller works on this one. Chunks come in file order. Before each
// chunk's bytes there is room for `headroom` bytes, where next() puts the bytes the caller carries over from
// the chunk before, so that a value cut by a chunk boundary is read in one piece. A chunk shorter than asked
// (the file ended early or could not be read) is the last one. The file descriptor must stay open until the
// reader is stopped or destroyed.
class FIO_READ_AHEAD {
  public:
    struct CHUNK {
        unsigned char* data = nullptr;
        size_t size = 0;
        uint32_t checksum = 0; // of every byte read up to the end of this chunk, when asked for
    };
    // A running checksum: the value after size more bytes, given the value before them.
    typedef uint32_t (*CHECKSUM)(uint32_t value, const unsigned char* data, size_t size);
    FIO_READ_AHEAD();
    ~FIO_READ_AHEAD();
    FIO_READ_AHEAD(const FIO_READ_AHEAD&) = delete;
    FIO_READ_AHEAD& operator=(const FIO_READ_AHEAD&) = delete;

    // Starts reading the bytes from `from` up to `to` in chunks of chunk_size, at most `depth` (at least 2)
    // chunks ahead. With a checksum, the worker also takes the running checksum of the bytes, starting from
    // checksum_start, while each chunk is still in its cache. False when no thread could be started: the
    // caller reads the file itself.
    bool start(int fd, uint64_t from, uint64_t to, size_t chunk_size, unsigned depth, size_t headroom,
               CHECKSUM checksum = nullptr, uint32_t checksum_start = 0);
    bool running() const { return m_state != nullptr; }
    // Hands the previous chunk back to the worker and returns the next one, with the carry bytes (at most
    // headroom, usually the unread end of the previous chunk) copied right before its data; size 0 after the
    // last chunk.
    CHUNK next(const unsigned char* carry, size_t carry_size);
    // Stops the worker and waits for it; the reader can be started again.
    void stop() noexcept;

    struct STATE; // shared with the worker

  private:
    std::unique_ptr<STATE> m_state;
};

// An exclusive lock on a lock file through flock(2), held while the object lives and released when it is
// destroyed or the process ends, however it ends. The file is created when missing and never removed
// (removing it would let two processes lock two different files of one name). The holder writes a line
// about itself into the file, for whoever then finds the lock taken. The descriptor is not inherited by
// programs the holder starts.
class FIO_LOCK_FILE {
  public:
    FIO_LOCK_FILE() = default;
    ~FIO_LOCK_FILE();
    FIO_LOCK_FILE(const FIO_LOCK_FILE&) = delete;
    FIO_LOCK_FILE& operator=(const FIO_LOCK_FILE&) = delete;

    // Takes the lock without waiting. True when taken: `text` is then what the file holds. False when another
    // holds it: `holder` receives that one's text (empty if it has not written it yet). A lock file that
    // cannot be opened is a report naming it.
    bool try_lock(const std::string& path, const std::string& text, std::string& holder);
    bool held() const { return m_fd >= 0; }

  private:
    int m_fd = -1;
};

class FIO_PATH {
  public:
    explicit FIO_PATH(std::string path) : m_path(std::move(path)) {}
    bool is_unc_path() const;
    void change_path_separators_for_windows_api() {} // this platform keeps "/"
    // The absolute form of the path (relative paths are taken from the current directory).
    std::string fullpath() const;

  private:
    std::string m_path;
};

// Writes a file so that it appears whole or not at all: the data goes to a temporary file in the target's
// directory, every write and the close are checked, and commit() renames it over the target. Destroying the
// writer without commit() removes the temporary and leaves any previous file untouched. Every failure is a
// report naming the target file. A large file's writeback is started every WRITEBACK_STEP bytes while it is
// written, so the sync before the rename finds most of it on its way to the disk already.
class FIO_ATOMIC_FILE {
  public:
    explicit FIO_ATOMIC_FILE(std::string target);
    ~FIO_ATOMIC_FILE();
    FIO_ATOMIC_FILE(const FIO_ATOMIC_FILE&) = delete;
    FIO_ATOMIC_FILE& operator=(const FIO_ATOMIC_FILE&) = delete;

    void write(const void* data, size_t size);
    void write(const std::vector<unsigned char>& data) { write(data.data(), data.size()); }
    // Flushes, syncs and closes the temporary; commit() then only renames it. Lets a writer of several files
    // finish them all before it puts any in place.
    void finish();
    // Flushes, syncs, closes (unless finish() did) and renames into place.
    void commit();
    const std::string& target() const { return m_target; }
    const std::string& temporary() const { return m_temporary; }

    // Puts the files of several writers, all in one directory, in place as one change: after a kill or a
    // crash at any moment, the files are either all the previous ones or all the new ones, once
    // complete_interrupted_commit(record) has run. Each writer is finished (synced); then the commit record
    // at `record` (in the same directory), naming every temporary and its target, lands whole and the
    // directory is synced; then the temporaries are renamed in the given order, the directory is synced and
    // the record removed. A failure before the record lands removes the temporaries and leaves the previous
    // files; a failed rename after it leaves the record, so that the next run completes the change.
    static void commit_together(const std::string& record, const std::vector<FIO_ATOMIC_FILE*>& files);
    // Completes the change a commit record names, if a killed or failed process left one: renames each
    // temporary that is still there over its target (one already renamed is skipped), syncs the directory
    // and removes the record. A record that cannot be read back whole (damaged, or not of this form) was
    // never in place as written, so no rename had started: it is removed and the files stay as they are;
    // the temporaries it may name go with the next write's clean-up of dead writers' temporaries. Returns
    // true when there was a record. A rename that fails is a report naming the record.
    static bool complete_interrupted_commit(const std::string& record);

    // Test hook: every writer fails once this many bytes in total have been written by writers created
    // afterwards (negative: no limit). Used to prove a failed write leaves the previous file in place.
    static void set_fail_after_bytes_for_testing(long long bytes);
    // Test hook: the process ends at once with KILLED_FOR_TESTING (no destructor, no clean-up, as if it were
    // killed) at the step-th step of the writers' put-in-place sequence reached from now on: a temporary
    // complete and synced, a file renamed into place, a commit record in place, a directory synced, a record
    // removed (0: never). Used to prove that a kill at any step leaves whole files, old or new.
    static void set_kill_at_step_for_testing(int step);
    static constexpr int KILLED_FOR_TESTING = 86;

  private:
    [[noreturn]] void fail(const std::string& what);
    std::string m_target;
    std::string m_temporary;
    std::FILE* m_file = nullptr;
    bool m_committed = false;
    static constexpr uint64_t WRITEBACK_STEP = uint64_t{16} << 20;
    uint64_t m_written = 0; // bytes handed to write
    uint64_t m_flushed = 0; // of which the system writes back already
};
