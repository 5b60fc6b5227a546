// Writing and reading a large device database through the database server, against plain buffered file
// I/O of the same files (the floors), all in one run.
//
// The database: bench_large_database.h (a G2 list of 16,001 entries in 8 part files, argument tables holding
// 208 MB of u32 data).
// After the runs the program prints the throughputs, the ratios archive / plain I/O and the peak memory of
// the archive writes, and for reference the archive read against the plain read when both go into memory
// the process gets anew from the system (as in a run of the tool), not reused from its heap.
// The database goes to a directory under $BRIX_BENCH_DIR (default: the system temporary directory).
#include "bench_common.h"
#include "bench_large_database.h"
#include "brix_data_server.h"
#include "fio.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <sys/resource.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <unistd.h>
#include <vector>

namespace {

std::string g_dir;
std::map<std::string, double> g_mb_per_s;
uint64_t g_database_bytes = 0;

std::string database() {
    return g_dir + "/bench_brix";
}

uint64_t database_bytes() {
    uint64_t total = 0;
    FIO_STATUS status;
    if (FIO_FILE_SYSTEM::status(database() + ".ddb", status))
        total += status.size;
    for (unsigned i = 0; i < 8; ++i)
        if (FIO_FILE_SYSTEM::status(database() + "_rif_t" + std::to_string(i) + ".ddb", status))
            total += status.size;
    return total;
}

using CLOCK = std::chrono::steady_clock;

// Each figure is the median iteration: the machine is shared and single iterations stall now and then, on
// either side of a ratio. A benchmark that runs in several rounds adds its iterations to the same figure and
// keeps the median of each round, whose spread the summary prints.
std::map<std::string, std::vector<double>> g_seconds;       // every iteration
std::map<std::string, std::vector<double>> g_round_medians; // the median of each round
void record(benchmark::State& state, const char* name, std::vector<double> seconds, uint64_t bytes) {
    state.SetBytesProcessed(int64_t(bytes) * state.iterations());
    if (seconds.empty())
        return;
    g_round_medians[name].push_back(bench::spread(seconds).median);
    std::vector<double>& all = g_seconds[name];
    all.insert(all.end(), seconds.begin(), seconds.end());
    g_mb_per_s[name] = double(bytes) / bench::spread(all).median / 1e6;
}

// Peak resident memory of the process up to the end of the archive writes, in MB.
double g_write_peak_mb = 0;

double archive_write_seconds(BRIX_INFO* info) {
    auto start = CLOCK::now();
    BRIX_DATA_SERVER::write_brix_info(database(), info, true);
    return std::chrono::duration<double>(CLOCK::now() - start).count();
}

// Every benchmark here first runs one untimed round: the first writes of a process into the page cache are
// several times slower than the next ones on this machine, and whichever benchmark ran first would pay for
// it alone.
void BM_ArchiveWrite(benchmark::State& state) {
    {
        std::unique_ptr<BRIX_INFO> info(bench_large_database());
        archive_write_seconds(info.get());
    }
    std::vector<double> seconds;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<BRIX_INFO> info(bench_large_database());
        state.ResumeTiming();
        seconds.push_back(archive_write_seconds(info.get()));
        state.PauseTiming();
        info.reset();
        state.ResumeTiming();
    }
    g_database_bytes = database_bytes();
    record(state, "archive write", seconds, g_database_bytes);
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    g_write_peak_mb = double(usage.ru_maxrss) / 1024.0;
}

// The archive read. With fresh_memory, into memory the process gets anew from the system, as a run of the
// tool reads a database: the memory released by the previous iteration is handed back before the next one
// (untimed), compared with the plain read into fresh memory below, on equal terms. Without, into memory the
// process already has, as the floor reads into a touched buffer: the C library is told to keep the blocks
// a read releases (by default it hands every block of more than 128 KB back to the system at once), and an
// untimed read first fills the heap, so the figure measures the reader and not the system's page faults.
void BM_ArchiveRead(benchmark::State& state, bool fresh_memory) {
#ifdef __GLIBC__
    if (!fresh_memory) {
        ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
        ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
    }
#endif
    if (!fresh_memory)
        delete BRIX_DATA_SERVER::get_brix_info(database(), false);
    std::vector<double> seconds;
    for (auto _ : state) {
        state.PauseTiming();
#ifdef __GLIBC__
        if (fresh_memory)
            ::malloc_trim(0);
#endif
        state.ResumeTiming();
        auto start = CLOCK::now();
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(database(), false));
        seconds.push_back(std::chrono::duration<double>(CLOCK::now() - start).count());
        benchmark::DoNotOptimize(info.get());
        state.PauseTiming();
        info.reset();
        state.ResumeTiming();
    }
    record(state, fresh_memory ? "archive read, fresh memory" : "archive read", seconds, g_database_bytes);
#ifdef __GLIBC__
    if (!fresh_memory) {
        // Back to handing large blocks back at once, for the benchmarks after this one.
        ::mallopt(M_MMAP_THRESHOLD, 128 << 10);
        ::mallopt(M_TRIM_THRESHOLD, 128 << 10);
        ::malloc_trim(0);
    }
#endif
}

// The floors work on the same files as the archive: their bytes, read once into memory that is touched
// before any timing, written under other names in the same directory and read back into the same memory.
struct FILE_IMAGE {
    std::string plain_path;
    std::vector<unsigned char> bytes;
};
std::vector<FILE_IMAGE>& file_images() {
    static std::vector<FILE_IMAGE> images = [] {
        std::vector<std::string> files{database() + ".ddb"};
        for (unsigned i = 0; i < 8; ++i)
            files.push_back(database() + "_rif_t" + std::to_string(i) + ".ddb");
        std::vector<FILE_IMAGE> result;
        for (size_t i = 0; i < files.size(); ++i) {
            FILE_IMAGE image;
            image.plain_path = g_dir + "/plain_" + std::to_string(i) + ".bin";
            FIO_FILE_SYSTEM::read_file(files[i], image.bytes);
            result.push_back(std::move(image));
        }
        return result;
    }();
    return images;
}

// Plain writes of the database files, each in one buffered write. SYNC: fsync before closing. ATOMIC:
// besides, write a new file and rename it over the previous one, as the database writer does to land every
// file whole.
enum PLAIN_MODE { PLAIN, SYNC, ATOMIC };
void plain_write_files(PLAIN_MODE mode) {
    for (const FILE_IMAGE& image : file_images()) {
        const std::string path = mode == ATOMIC ? image.plain_path + ".new" : image.plain_path;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(image.bytes.data(), 1, image.bytes.size(), f);
        std::fflush(f);
        if (mode != PLAIN)
            ::fsync(fileno(f));
        std::fclose(f);
        if (mode == ATOMIC)
            std::rename(path.c_str(), image.plain_path.c_str());
    }
}

void plain_write(benchmark::State& state, PLAIN_MODE mode) {
    plain_write_files(mode);
    std::vector<double> seconds;
    for (auto _ : state) {
        auto start = CLOCK::now();
        plain_write_files(mode);
        seconds.push_back(std::chrono::duration<double>(CLOCK::now() - start).count());
    }
    static const char* const names[] = {"plain write", "plain write + fsync", "plain write + fsync + rename"};
    record(state, names[mode], seconds, g_database_bytes);
}
void BM_PlainWrite(benchmark::State& state) {
    plain_write(state, PLAIN);
}
void BM_PlainWriteSync(benchmark::State& state) {
    plain_write(state, SYNC);
}
void BM_PlainWriteAtomic(benchmark::State& state) {
    plain_write(state, ATOMIC);
}

// Plain buffered reads of the same files into memory that is already allocated and touched, so that the
// floor measures reading and not the first-touch page faults of fresh memory (the archive reader's own
// allocations are on the archive's side of the ratio).
void plain_read_files() {
    for (FILE_IMAGE& image : file_images()) {
        std::FILE* f = std::fopen(image.plain_path.c_str(), "rb");
        size_t got = std::fread(image.bytes.data(), 1, image.bytes.size(), f);
        std::fclose(f);
        benchmark::DoNotOptimize(got);
        benchmark::DoNotOptimize(image.bytes.data());
    }
}

void BM_PlainRead(benchmark::State& state) {
    plain_read_files();
    std::vector<double> seconds;
    for (auto _ : state) {
        auto start = CLOCK::now();
        plain_read_files();
        seconds.push_back(std::chrono::duration<double>(CLOCK::now() - start).count());
    }
    record(state, "plain read", seconds, g_database_bytes);
}

// For reference only, not a floor: the same reads into memory allocated for each file (new[], as the
// archive reader must hand its records memory of their own), handed back to the system after the timing,
// so the figure includes the page faults of fresh memory that the touched-buffer floor leaves out.
void BM_PlainReadFresh(benchmark::State& state) {
    std::vector<double> seconds;
    for (auto _ : state) {
        std::vector<std::unique_ptr<unsigned char[]>> blocks;
        state.PauseTiming();
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
        state.ResumeTiming();
        auto start = CLOCK::now();
        for (FILE_IMAGE& image : file_images()) {
            blocks.emplace_back(new unsigned char[image.bytes.size()]);
            std::FILE* f = std::fopen(image.plain_path.c_str(), "rb");
            size_t got = std::fread(blocks.back().get(), 1, image.bytes.size(), f);
            std::fclose(f);
            benchmark::DoNotOptimize(got);
            benchmark::DoNotOptimize(blocks.back().get());
        }
        seconds.push_back(std::chrono::duration<double>(CLOCK::now() - start).count());
        state.PauseTiming();
        blocks.clear();
        state.ResumeTiming();
    }
    record(state, "plain read, fresh memory", seconds, g_database_bytes);
}

// The archive read and its floor run in this many rounds of five iterations each, in turn, so that a change
// of load hits both alike; a floor of 13 to 22 ms over five iterations let the ratio swing by 0.25 between
// quiet runs.
constexpr int READ_ROUNDS = 10;

// Registration order is run order: the archive write makes the files the others use.
void register_benchmarks() {
    auto ms = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
    };
    ms(benchmark::RegisterBenchmark("BM_ArchiveWrite", BM_ArchiveWrite));
    ms(benchmark::RegisterBenchmark("BM_PlainWrite", BM_PlainWrite));
    ms(benchmark::RegisterBenchmark("BM_PlainWriteSync", BM_PlainWriteSync));
    ms(benchmark::RegisterBenchmark("BM_PlainWriteAtomic", BM_PlainWriteAtomic));
    for (int round = 0; round < READ_ROUNDS; ++round) {
        ms(benchmark::RegisterBenchmark("BM_ArchiveRead/reused_memory", BM_ArchiveRead, false));
        ms(benchmark::RegisterBenchmark("BM_PlainRead", BM_PlainRead));
    }
    ms(benchmark::RegisterBenchmark("BM_ArchiveRead/fresh_memory", BM_ArchiveRead, true));
    ms(benchmark::RegisterBenchmark("BM_PlainReadFresh", BM_PlainReadFresh));
}

} // namespace

int main(int argc, char** argv) {
    const char* base = std::getenv("BRIX_BENCH_DIR");
    std::string pattern =
        (base && *base ? std::string(base) : std::filesystem::temp_directory_path().string()) +
        "/bench_archive_XXXXXX";
    if (!::mkdtemp(&pattern[0])) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = pattern;
    benchmark::Initialize(&argc, argv);
    const std::string load = bench::load_average();
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);

    auto ratio = [](const char* a, const char* b) {
        return g_mb_per_s.count(a) && g_mb_per_s.count(b) && g_mb_per_s[b] > 0 ? g_mb_per_s[a] / g_mb_per_s[b]
                                                                               : 0.0;
    };
    const double peak_mb = g_write_peak_mb;
    const double database_mb = double(g_database_bytes) / 1e6;
    std::printf("\nload average before the runs: %s\n", load.c_str());
    std::printf("Database: %.1f MB in 9 files (%u G2 entries in 8 part files, %u argument tables)\n",
                database_mb, BENCH_LARGE_G2_ENTRIES, BENCH_LARGE_ARGUMENTS);
    for (const auto& [name, mbps] : g_mb_per_s)
        std::printf("%-22s %8.1f MB/s\n", name.c_str(), mbps);
    std::printf("write ratio archive / plain write:          %.2f\n", ratio("archive write", "plain write"));
    std::printf("write ratio archive / plain write + fsync:  %.2f\n",
                ratio("archive write", "plain write + fsync"));
    std::printf("write ratio archive / plain write + fsync + rename:  %.2f (target >= 0.9)\n",
                ratio("archive write", "plain write + fsync + rename"));
    std::printf("read ratio archive / plain read (touched buffer): %.2f (target >= 0.5)\n",
                ratio("archive read", "plain read"));
    {
        // The spread: the middle half of each side's iterations, and the ratio round by round.
        const bench::SPREAD a = bench::spread(g_seconds["archive read"]),
                            p = bench::spread(g_seconds["plain read"]);
        std::vector<double> rounds;
        const std::vector<double>&ar = g_round_medians["archive read"], &pr = g_round_medians["plain read"];
        for (size_t i = 0; i < std::min(ar.size(), pr.size()); ++i)
            rounds.push_back(ar[i] > 0 ? pr[i] / ar[i] : 0.0);
        const bench::SPREAD r = bench::spread(rounds);
        std::printf("    archive read %.1f ms (middle half %.1f to %.1f), plain read %.1f ms (%.1f to %.1f), "
                    "%zu iterations each\n",
                    a.median * 1e3, a.low * 1e3, a.high * 1e3, p.median * 1e3, p.low * 1e3, p.high * 1e3,
                    a.count);
        if (!rounds.empty())
            std::printf("    ratio round by round (%zu rounds): middle half %.2f to %.2f, all %.2f to %.2f\n",
                        rounds.size(), r.low, r.high, *std::min_element(rounds.begin(), rounds.end()),
                        *std::max_element(rounds.begin(), rounds.end()));
    }
    std::printf("  for reference, both into fresh memory: archive read / plain read: %.2f\n",
                ratio("archive read, fresh memory", "plain read, fresh memory"));
    std::printf(
        "peak memory up to the end of the archive writes: %.1f MB = %.2f x the database (target < 1.3)\n",
        peak_mb, database_mb > 0 ? peak_mb / database_mb : 0.0);
    return 0;
}
