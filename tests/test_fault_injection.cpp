// Failed writes: every output file either lands whole or leaves the previous file byte for byte, and the
// failure is a report that names the file (exit status 1 for the executable).
//
// Three ways to make a write fail:
// - a file-size limit (RLIMIT_FSIZE) in a child process, with SIGXFSZ ignored so that the write returns
//   EFBIG instead of killing the process; this reaches every write, including the buffered ones that only
//   fail when the writer flushes;
// - the writer's own test hook, which fails after a given number of bytes, so a multi-file write can be cut
//   between two of its files;
// - a read-only directory, written to by a child process (as root, the child gives up root first, since root
//   ignores directory permissions).
#include "brix_data_server.h"
#include "database_render.h"
#include "fio.h"
#include "msg_internal_error.h"
#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_THREAD__)
constexpr bool THREAD_SANITIZER = true;
#else
constexpr bool THREAD_SANITIZER = false;
#endif

namespace {

struct LIMITED_RUN {
    int status = -1; // exit status, -1 when the child ended by a signal
    std::string out;
    std::string err;
};

// Runs body in a child process whose files may not grow past limit bytes. body returns the exit status;
// a failure report ends the child the way the executable's entry does (printed, status 1). The child's
// standard output and error come back through pipes, which the limit does not touch. SIGXFSZ is ignored in
// the child unless harness_ignores_sigxfsz is false: then it is at its default (a write past the limit kills
// the process) until the executable run in the child handles it.
LIMITED_RUN run_with_file_size_limit(rlim_t limit, const std::function<int()>& body,
                                     bool harness_ignores_sigxfsz = true) {
    int out_pipe[2], err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    std::fflush(nullptr);
    std::cout.flush();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            ::close(fd);
        std::signal(SIGXFSZ, harness_ignores_sigxfsz ? SIG_IGN : SIG_DFL);
        struct rlimit rl = {limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0)
            ::_exit(120);
        int status = 121;
        try {
            status = body();
        } catch (const BRIX_INTERNAL_ERROR& error) {
            MSG_INTERNAL_ERROR::print(error);
            status = 1;
        }
        std::cout.flush();
        std::fflush(nullptr);
        ::_exit(status);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    LIMITED_RUN run;
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    int wait_status = 0;
    ::waitpid(pid, &wait_status, 0);
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    return run;
}

// Runs the build_brix executable with its arguments under a file-size limit.
LIMITED_RUN run_exe_with_file_size_limit(rlim_t limit, std::vector<std::string> args,
                                         const std::string& working_dir = "",
                                         bool harness_ignores_sigxfsz = true) {
    return run_with_file_size_limit(
        limit,
        [&]() -> int {
            if (!working_dir.empty() && ::chdir(working_dir.c_str()) != 0)
                return 122;
            std::vector<char*> argv;
            std::string exe = BRIX_EXE;
            argv.push_back(&exe[0]);
            for (std::string& arg : args)
                argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            return 123;
        },
        harness_ignores_sigxfsz);
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::vector<unsigned char> data;
    EXPECT_TRUE(FIO_FILE_SYSTEM::read_file(path, data)) << path;
    return data;
}

// Names of the files in a directory (no "." and "..").
std::set<std::string> list_dir(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        ::closedir(d);
    }
    return names;
}

// The bytes of every given file plus the directory listing, taken before a write that must fail and
// compared after it: a failed write changes nothing and leaves no temporary behind.
class SNAPSHOT {
  public:
    SNAPSHOT(std::string dir, std::vector<std::string> files)
        : m_dir(std::move(dir)), m_files(std::move(files)) {
        m_listing = list_dir(m_dir);
        for (const std::string& f : m_files)
            m_bytes.push_back(read_bytes(f));
    }
    void expect_unchanged() const {
        EXPECT_EQ(m_listing, list_dir(m_dir)) << "files added or removed in " << m_dir;
        for (size_t i = 0; i < m_files.size(); ++i)
            EXPECT_TRUE(m_bytes[i] == read_bytes(m_files[i])) << m_files[i] << " changed";
    }

  private:
    std::string m_dir;
    std::vector<std::string> m_files;
    std::set<std::string> m_listing;
    std::vector<std::vector<unsigned char>> m_bytes;
};

void write_gzip_file(const std::string& path, const std::string& text) {
    gzFile f = gzopen(path.c_str(), "wb9");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(static_cast<int>(text.size()), gzwrite(f, text.data(), static_cast<unsigned>(text.size())));
    ASSERT_EQ(Z_OK, gzclose(f));
}

// Resets the writer's test hook however the test ends.
struct FAIL_AFTER_BYTES {
    explicit FAIL_AFTER_BYTES(long long bytes) { FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(bytes); }
    ~FAIL_AFTER_BYTES() { FIO_ATOMIC_FILE::set_fail_after_bytes_for_testing(-1); }
};

} // namespace

// The harness itself: the limit makes writes fail with a report instead of killing the child, and a run
// within the limit succeeds, so a later case that passes is not passing because nothing ran.
TEST(FaultInjection, FileSizeLimitTurnsIntoAReport) {
    TEMP_DIR dir;
    std::string target = dir.file("out.bin");
    std::vector<unsigned char> payload(5000, 0x5A);
    auto write_payload = [&]() -> int {
        FIO_ATOMIC_FILE out(target);
        out.write(payload);
        out.commit();
        return 0;
    };
    LIMITED_RUN small = run_with_file_size_limit(1000, write_payload);
    EXPECT_EQ(1, small.status) << small.err;
    EXPECT_NE(std::string::npos, small.err.find("Unable to write " + target)) << small.err;
    EXPECT_FALSE(FIO_FILE_SYSTEM::exists(target));
    EXPECT_TRUE(list_dir(dir.path()).empty());

    LIMITED_RUN enough = run_with_file_size_limit(10000, write_payload);
    EXPECT_EQ(0, enough.status) << enough.err;
    EXPECT_EQ(payload, read_bytes(target));
}

// The in-process decompressor writes its output through the whole-file writer as well.
TEST(FaultInjection, DecompressedFileKeepsThePreviousOutput) {
    TEMP_DIR dir;
    std::string input = dir.file("raw.rbaz"), output = dir.file("raw.rba");
    write_gzip_file(input, std::string(20000, 'r'));
    write_text_file(output, "previous content\n");
    SNAPSHOT before(dir.path(), {input, output});
    LIMITED_RUN run = run_with_file_size_limit(
        4096, [&]() -> int { return FIO_FILE_SYSTEM::gunzip_file(input, output), 0; });
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find(output)) << run.err;
    before.expect_unchanged();
}

// A directory without write permission: the writer cannot create its temporary, reports the target and
// leaves the previous file. The write runs in a child process; as root, the child first gives up root for
// the unprivileged "nobody" user, since root ignores directory permissions.
TEST(FaultInjection, ReadOnlyDirectoryKeepsThePreviousFile) {
    constexpr int UNREACHABLE = 124; // the unprivileged user cannot reach the temporary directory
    TEMP_DIR dir;
    std::string input = dir.file("raw.rbaz"), output = dir.file("raw.rba");
    write_gzip_file(input, std::string(1000, 'r'));
    write_text_file(output, "previous content\n");
    SNAPSHOT before(dir.path(), {input, output});
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0555));
    LIMITED_RUN run = run_with_file_size_limit(RLIM_INFINITY, [&]() -> int {
        const uid_t nobody = 65534;
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
            return 125;
        if (::access(input.c_str(), R_OK) != 0)
            return UNREACHABLE;
        FIO_FILE_SYSTEM::gunzip_file(input, output);
        return 0;
    });
    ::chmod(dir.path().c_str(), 0755);
    if (run.status == UNREACHABLE)
        GTEST_SKIP() << "the unprivileged user cannot reach " << dir.path();
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("Unable to write " + output)) << run.err;
    before.expect_unchanged();
}

// ---- BRIX databases ---------------------------------------------------------------------------------------

namespace {

// A device database whose G2 list of `entries` entries goes to `parts` part files.
BRIX_INFO* split_device_database(unsigned entries, unsigned parts, unsigned seed) {
    auto* device = new BRIX_DEVICE_INFO;
    device->set_family_type(4);
    device->set_device_type(5);
    auto* list = new G2_SII_LIST;
    for (unsigned i = 0; i < entries; ++i) {
        auto* bit = new G2_SII_BIT(i * 3 + seed);
        bit->set_g2_s1_list(new G2_SI_LIST{new G2_SI(i, seed, i % 2 == 0, i + 300)});
        auto* entry = new G2_SII;
        entry->set_g2_s2_bit_list_list(new G2_SII_BIT_LIST_LIST{new G2_SII_BIT_LIST{bit}});
        list->push_back(entry);
    }
    device->set_g2_s2_list(list, true, true);
    device->set_g2_s2_thread_size(parts);
    auto* info = new BRIX_INFO;
    info->set_device_info(device);
    return info;
}

BRIX_INFO* family_database(unsigned blocks) {
    auto* list = new BRIX_BLOCK_LIST;
    for (unsigned i = 0; i < blocks; ++i) {
        auto* block = new BRIX_BLOCK(5 + i % 20, i % 2 == 0);
        block->set_length(10 + i);
        block->set_const_values(new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(0xDEADBEEF ^ i, i)}, false);
        list->push_back(block);
    }
    auto* family = new BRIX_FAMILY_INFO;
    family->set_family_type(4);
    family->set_config_data_width(32);
    family->set_block_info_list(list);
    auto* info = new BRIX_INFO;
    info->set_family_info(family);
    return info;
}

void write_database(const std::string& p, BRIX_INFO* info) {
    std::unique_ptr<BRIX_INFO> owned(info);
    BRIX_DATA_SERVER::write_brix_info(p, info, true);
}

std::vector<std::string> database_files(const std::string& p, unsigned parts) {
    std::vector<std::string> files = {p + ".ddb"};
    for (unsigned i = 0; i < parts; ++i)
        files.push_back(p + "_rif_t" + std::to_string(i) + ".ddb");
    return files;
}

uint64_t total_size(const std::vector<std::string>& files) {
    uint64_t total = 0;
    for (const std::string& f : files)
        total += read_bytes(f).size();
    return total;
}

} // namespace

// A split device database rewritten with another database: whether the write is cut inside a part file,
// after every part file is complete but before the main archive, or by the file-size limit, the previous
// database stays byte for byte and still reads back whole.
TEST(FaultInjection, SplitDeviceDatabaseWriteFailureKeepsThePreviousDatabase) {
    TEMP_DIR measure;
    std::string m = measure.file("next");
    write_database(m, split_device_database(400, 2, 7));
    const uint64_t next_parts_size = total_size(database_files(m, 2)) - read_bytes(m + ".ddb").size();

    struct CUT {
        const char* what;
        long long after_bytes;   // writer hook; negative: file-size limit in a child process instead
        const char* failed_file; // what follows the database path in the report
    };
    const CUT cuts[] = {
        {"inside the part files", 64, "_rif_t"},
        {"after the part files, in the main archive", static_cast<long long>(next_parts_size) + 16, ".ddb:"},
        {"file-size limit", -1, ""},
    };
    for (const CUT& cut : cuts) {
        SCOPED_TRACE(cut.what);
        TEMP_DIR dir;
        std::string p = dir.file("granite_d1_brix");
        write_database(p, split_device_database(300, 3, 1));
        std::vector<std::string> files = database_files(p, 3);
        SNAPSHOT before(dir.path(), files);

        std::string report;
        if (cut.after_bytes >= 0) {
            FAIL_AFTER_BYTES hook(cut.after_bytes);
            report =
                catch_brix_error([&] { write_database(p, split_device_database(400, 2, 7)); }).report_text();
        } else {
            LIMITED_RUN run = run_with_file_size_limit(4096, [&]() -> int {
                write_database(p, split_device_database(400, 2, 7));
                return 0;
            });
            EXPECT_EQ(1, run.status);
            report = run.err;
        }
        EXPECT_NE(std::string::npos, report.find("Unable to write " + p + cut.failed_file)) << report;
        before.expect_unchanged();
        std::unique_ptr<BRIX_INFO> back(BRIX_DATA_SERVER::get_brix_info(p, false));
        ASSERT_NE(nullptr, back);
        EXPECT_EQ(300u, back->get_device_info()->get_g2_s2_list()->size());
    }
}

// The main archive cannot be put in place (a directory holds its name) after the parts are: the caller's
// record gets its list back as it was, and the list is neither lost nor leaked.
TEST(FaultInjection, SplitDatabaseCommitFailureGivesTheRecordItsListBack) {
    TEMP_DIR dir;
    std::string p = dir.file("granite_d1_brix");
    ASSERT_EQ(0, ::mkdir((p + ".ddb").c_str(), 0755));
    write_text_file(p + ".ddb/keep", "x");
    std::unique_ptr<BRIX_INFO> info(split_device_database(400, 2, 7));
    BRIX_DEVICE_INFO* device = info->get_device_info();
    G2_SII_LIST* list = device->get_g2_s2_list();
    catch_brix_error([&] { BRIX_DATA_SERVER::write_brix_info(p, info.get(), true); });
    EXPECT_EQ(list, device->get_g2_s2_list());
    EXPECT_EQ(400u, device->get_g2_s2_list_size());
    EXPECT_EQ(2u, device->get_g2_s2_thread_size());
}

namespace {

// The database at p read whole, part files included (or the main archive only), rendered for comparison.
std::string render_database(const std::string& p, bool skip_rif = false) {
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(p, skip_rif));
    RENDER render;
    pdb_walk(BRIX_PDB::INFO, info.get(), render);
    return render.text;
}

// Runs body in a child process that ends as if killed at the step-th step of putting files in place; the
// child's exit status (0 when body ran past every step).
int run_killed_at_step(int step, const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        FIO_ATOMIC_FILE::set_kill_at_step_for_testing(step);
        int status = 0;
        try {
            body();
        } catch (const BRIX_INTERNAL_ERROR& error) {
            MSG_INTERNAL_ERROR::print(error);
            status = 1;
        }
        ::_exit(status);
    }
    int wait_status = 0;
    ::waitpid(pid, &wait_status, 0);
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

} // namespace

// A split database rewritten by a process killed at each step of the rewrite in turn (every part and the
// main archive complete under its temporary name, the commit record in place, each rename, each directory
// sync, the record removed): the next reader finds the whole previous database up to some step and the
// whole new one from there on, never a mix, and leaves no commit record; the next write then lands cleanly
// with no file of the killed writer left behind.
TEST(FaultInjection, SplitDatabaseRewriteKilledAtAnyStepReadsWholeAsOldOrNew) {
    struct SHAPE {
        unsigned old_parts, new_parts;
    };
    for (const SHAPE shape : {SHAPE{3, 2}, SHAPE{2, 3}, SHAPE{3, 3}}) {
        SCOPED_TRACE(std::to_string(shape.old_parts) + " parts rewritten with " +
                     std::to_string(shape.new_parts));
        TEMP_DIR reference;
        write_database(reference.file("old"), split_device_database(300, shape.old_parts, 1));
        write_database(reference.file("new"), split_device_database(400, shape.new_parts, 7));
        const std::string old_text = render_database(reference.file("old"));
        const std::string new_text = render_database(reference.file("new"));
        const std::string old_main = render_database(reference.file("old"), true);
        const std::string new_main = render_database(reference.file("new"), true);

        bool saw_new = false;
        int step = 1;
        for (;; ++step) {
            SCOPED_TRACE("killed at step " + std::to_string(step));
            TEMP_DIR dir;
            const std::string p = dir.file("granite_d6_brix");
            write_database(p, split_device_database(300, shape.old_parts, 1));
            const int status = run_killed_at_step(
                step, [&] { write_database(p, split_device_database(400, shape.new_parts, 7)); });
            if (status == 0)
                break; // the write ran past its last step
            ASSERT_EQ(FIO_ATOMIC_FILE::KILLED_FOR_TESTING, status);
            // The main archive alone on one copy of the files, the whole database on another: each reader
            // completes the write on its own.
            TEMP_DIR copy;
            ASSERT_EQ(0, run_command("cp -a '" + dir.path() + "/.' '" + copy.path() + "'").status);
            const std::string main_only = render_database(copy.file("granite_d6_brix"), true);
            const std::string back = render_database(p);
            if (!saw_new && back == new_text)
                saw_new = true;
            EXPECT_EQ(saw_new ? new_text : old_text, back);
            EXPECT_EQ(saw_new ? new_main : old_main, main_only);
            EXPECT_FALSE(FIO_FILE_SYSTEM::exists(p + ".commit"));

            write_database(p, split_device_database(200, 2, 3));
            EXPECT_EQ((std::set<std::string>{"granite_d6_brix.ddb", "granite_d6_brix_rif_t0.ddb",
                                             "granite_d6_brix_rif_t1.ddb"}),
                      list_dir(dir.path()));
            std::unique_ptr<BRIX_INFO> third(BRIX_DATA_SERVER::get_brix_info(p, false));
            EXPECT_EQ(200u, third->get_device_info()->get_g2_s2_list()->size());
        }
        EXPECT_TRUE(saw_new);
        // Every part and the main archive are synced and renamed: well over one step per file.
        EXPECT_GT(step, int(2 * (shape.new_parts + 1)));
    }
}

// A commit record that does not read back whole was never in place as written, so no rename had started:
// it is dropped, the temporary it names is not put in place, and the database reads as it was.
TEST(FaultInjection, DamagedCommitRecordIsDroppedAndTheDatabaseStays) {
    auto record = [](const std::string& body, bool good_crc) {
        const uint32_t crc =
            uint32_t(::crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
        char end[64];
        std::snprintf(end, sizeof end, "end %d %08x\n", int(std::count(body.begin(), body.end(), '\n')) - 1,
                      good_crc ? crc : crc ^ 1);
        return body + end;
    };
    const std::string names_stray =
        "BRIX commit record 1\ngranite_d6_brix.ddb\tgranite_d6_brix.ddb.tmp.999999.0\n";
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"cut short", names_stray},
        {"CRC-32 differs", record(names_stray, false)},
        {"a name outside the directory",
         record("BRIX commit record 1\n../granite_d6_brix.ddb\tgranite_d6_brix.ddb.tmp.999999.0\n", true)},
        {"another header",
         record("BRIX commit record 2\ngranite_d6_brix.ddb\tgranite_d6_brix.ddb.tmp.999999.0\n", true)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TEMP_DIR dir;
        const std::string p = dir.file("granite_d6_brix");
        write_database(p, split_device_database(300, 2, 1));
        const std::string before = render_database(p);
        write_text_file(p + ".ddb.tmp.999999.0", "not an archive");
        write_text_file(p + ".commit", c.text);
        EXPECT_EQ(before, render_database(p));
        EXPECT_FALSE(FIO_FILE_SYSTEM::exists(p + ".commit"));
    }
    // The same record whole is completed: the named temporary replaces the main archive.
    TEMP_DIR dir;
    const std::string p = dir.file("granite_d6_brix");
    write_database(p, split_device_database(300, 2, 1));
    write_text_file(p + ".ddb.tmp.999999.0", "not an archive");
    write_text_file(p + ".commit", record(names_stray, true));
    EXPECT_TRUE(FIO_ATOMIC_FILE::complete_interrupted_commit(p + ".commit"));
    EXPECT_EQ("not an archive", read_text_file(p + ".ddb"));
    EXPECT_FALSE(FIO_ATOMIC_FILE::complete_interrupted_commit(p + ".commit"));
}

// The family database written in-process, cut by the hook and by the file-size limit.
TEST(FaultInjection, FamilyDatabaseWriteFailureKeepsThePreviousDatabase) {
    TEMP_DIR dir;
    std::string p = dir.file("granite_family_brix");
    write_database(p, family_database(3));
    SNAPSHOT before(dir.path(), {p + ".ddb"});
    {
        FAIL_AFTER_BYTES hook(32);
        BRIX_INTERNAL_ERROR error = catch_brix_error([&] { write_database(p, family_database(200)); });
        EXPECT_NE(std::string::npos, error.condition().find(p + ".ddb")) << error.condition();
    }
    before.expect_unchanged();
    LIMITED_RUN run = run_with_file_size_limit(1024, [&]() -> int {
        write_database(p, family_database(200));
        return 0;
    });
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("Unable to write " + p + ".ddb")) << run.err;
    before.expect_unchanged();
}

// ---- Programmer container files ---------------------------------------------------------------------------

namespace {

struct CONTAINER_KIND {
    const char* extension;
    const char* name;
};
const CONTAINER_KIND CONTAINER_KINDS[] = {
    {"pgm_rba", "GRANITE_D1"}, {"cram_map", "GRANITE"}, {"fid", "GRANITE_D1"}};

// A payload that does not compress to nothing, so the write is larger than the limits below.
std::vector<unsigned char> container_payload(unsigned seed, size_t size) {
    std::vector<unsigned char> data(size);
    uint32_t x = 0x9E3779B9u * (seed + 1);
    for (unsigned char& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return data;
}

void write_container(const CONTAINER_KIND& kind, const std::string& dir,
                     const std::vector<unsigned char>& data) {
    BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1,
                                              kind.extension, kind.name, kind.name, dir + "/");
}

} // namespace

// Every container kind, with the write cut by the file-size limit and by the writer's hook: the report names
// the file and the previous container stays byte for byte.
TEST(FaultInjection, ContainerWriteFailureKeepsThePreviousFile) {
    for (const CONTAINER_KIND& kind : CONTAINER_KINDS) {
        SCOPED_TRACE(kind.extension);
        TEMP_DIR dir;
        std::string path = dir.file(std::string(kind.name) + "." + kind.extension);
        write_container(kind, dir.path(), container_payload(1, 3000));
        SNAPSHOT before(dir.path(), {path});
        std::vector<unsigned char> next = container_payload(2, 20000);

        LIMITED_RUN limited = run_with_file_size_limit(2048, [&]() -> int {
            write_container(kind, dir.path(), next);
            return 0;
        });
        EXPECT_EQ(1, limited.status) << limited.err;
        EXPECT_NE(std::string::npos, limited.err.find("Unable to write " + path)) << limited.err;
        before.expect_unchanged();

        {
            FAIL_AFTER_BYTES cut(100);
            BRIX_INTERNAL_ERROR error = catch_brix_error([&] { write_container(kind, dir.path(), next); });
            EXPECT_NE(std::string::npos, error.condition().find(path)) << error.condition();
        }
        before.expect_unchanged();

        // The same write without a limit lands: the failures above came from the limits.
        write_container(kind, dir.path(), next);
        EXPECT_NE(read_bytes(path).size(), 0u);
        uint32_t version = 0, raw_size = 0;
        std::string extension, name;
        std::unique_ptr<unsigned char[]> back =
            BRIX_DATA_SERVER::read_pgm_database_file(path, version, extension, name, raw_size);
        EXPECT_EQ(next, std::vector<unsigned char>(back.get(), back.get() + raw_size));
    }
}

// The rba operation of the executable: a failed container write ends the run with status 1 and a report
// naming the file, and the PGM RBA database of the previous run stays as it was.
TEST(FaultInjection, RbaOperationKeepsThePreviousDatabase) {
    TEMP_DIR install;
    std::string devdb = install.file("devdb");
    std::string fid_dir = devdb + "/programmer/fid";
    ASSERT_EQ(0, run_command("mkdir -p '" + fid_dir +
                             "' && cp '" BRIX_SOURCE_DIR "/samples/vantrel/devdb/device_table.json' '" +
                             devdb + "/'")
                     .status);
    std::string sample = read_text_file(BRIX_SOURCE_DIR "/samples/vantrel/rba/granite_d1.rba");
    ASSERT_FALSE(sample.empty());
    std::string rba = install.file("granite_d1.rba");
    write_text_file(rba, sample);
    std::string database = fid_dir + "/GRANITE_D1.pgm_rba";
    auto run_rba = [&](rlim_t limit) {
        return run_with_file_size_limit(limit, [&]() -> int {
            ::setenv("BRIX_VANTREL_PATH", (install.path() + "/").c_str(), 1);
            std::string exe = BRIX_EXE, option = "-rba=GRANITE_D1";
            char* argv[] = {&exe[0], &option[0], &rba[0], nullptr};
            ::execv(exe.c_str(), argv);
            return 123;
        });
    };
    LIMITED_RUN first = run_rba(RLIM_INFINITY);
    ASSERT_EQ(0, first.status) << first.out << first.err;
    ASSERT_TRUE(FIO_FILE_SYSTEM::exists(database));

    // The same run again, under a limit far below the container's size: a truncated or missing file would
    // show in the snapshot.
    SNAPSHOT before(fid_dir, {database});
    LIMITED_RUN cut = run_rba(64);
    EXPECT_EQ(1, cut.status) << cut.out;
    EXPECT_NE(std::string::npos, cut.err.find("Unable to write " + database)) << cut.err;
    before.expect_unchanged();
}

// The family_xml operation of the executable in test mode writes the database next to the XML: a failed
// write ends the run with status 1 and a report naming the database, and the previous database stays.
TEST(FaultInjection, FamilyXmlOperationKeepsThePreviousDatabase) {
    TEMP_DIR dir;
    std::string xml = dir.file("granite_family.xml");
    write_text_file(xml, read_text_file(BRIX_SOURCE_DIR "/samples/vantrel/xml/granite_family.xml"));
    std::string database = dir.file("granite_family.ddb");
    LIMITED_RUN first = run_exe_with_file_size_limit(RLIM_INFINITY, {"-family_xml", "-test", xml});
    ASSERT_EQ(0, first.status) << first.out << first.err;
    ASSERT_TRUE(FIO_FILE_SYSTEM::exists(database));

    SNAPSHOT before(dir.path(), {xml, database});
    // With SIGXFSZ at its default the executable ignores it itself, so a write past the limit is a report
    // and not a kill that leaves the temporary behind.
    for (bool harness_ignores_sigxfsz : {true, false})
        for (rlim_t limit : {rlim_t{0}, rlim_t{512}}) {
            // The thread sanitizer's runtime writes a scratch file before main, so under it a zero limit with
            // SIGXFSZ at its default ends the executable before it can ignore the signal.
            if (THREAD_SANITIZER && !harness_ignores_sigxfsz && limit == 0)
                continue;
            SCOPED_TRACE(std::to_string(limit) +
                         (harness_ignores_sigxfsz ? ", SIGXFSZ ignored" : ", SIGXFSZ default"));
            LIMITED_RUN cut = run_exe_with_file_size_limit(limit, {"-family_xml", "-test", xml}, "",
                                                           harness_ignores_sigxfsz);
            EXPECT_EQ(1, cut.status) << cut.out;
            EXPECT_NE(std::string::npos, cut.err.find("Unable to write " + database)) << cut.err;
            before.expect_unchanged();
        }
}

// A writer killed before it could remove its temporary leaves it behind; the next write of the same target
// removes it, and leaves alone the temporaries of live processes and every other file.
TEST(FaultInjection, NextWriteRemovesTheTemporaryOfAKilledWriter) {
    TEMP_DIR dir;
    const std::string target = dir.file("granite_family_brix.ddb");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        FIO_ATOMIC_FILE f(target);
        f.write("half", 4);
        f.finish();
        ::_exit(0); // as if killed: no destructor, no clean-up
    }
    int wait_status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &wait_status, 0));
    const std::set<std::string> left = list_dir(dir.path());
    ASSERT_EQ(1u, left.size());
    ASSERT_EQ(0u, left.begin()->find("granite_family_brix.ddb.tmp." + std::to_string(pid) + "."));

    const std::set<std::string> kept = {
        "granite_family_brix.ddb.tmp.1.0",                                    // process 1 is alive
        "granite_family_brix.ddb.tmp." + std::to_string(::getpid()) + ".999", // this process
        "granite_family_brix.ddb.tmp." + std::to_string(pid) + ".x",          // not the writer's naming
        "granite_family_brix.ddb.tmp." + std::to_string(pid),
        "granite_family_brix.ddb.tmp.99999999999999999999.0",
        "basalt_family_brix.ddb.tmp." + std::to_string(pid) + ".0", // another target
    };
    for (const std::string& name : kept)
        write_text_file(dir.file(name), "other");
    {
        FIO_ATOMIC_FILE f(target);
        f.write("whole", 5);
        f.commit();
    }
    std::set<std::string> expected = kept;
    expected.insert("granite_family_brix.ddb");
    EXPECT_EQ(expected, list_dir(dir.path()));
    EXPECT_EQ("whole", read_text_file(target));
}
