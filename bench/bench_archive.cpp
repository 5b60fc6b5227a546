// Writing and reading a large device database through the database server, against plain buffered file
// I/O of the same number of bytes (the floor).
//
// The database: a G2 list of 16,001 entries (8 part files) and argument tables holding 208 MB of u32 data.
// After the runs the program prints the throughputs, the ratios archive / plain I/O and the peak memory.
// The database goes to a directory under $BRIX_BENCH_DIR (default: the system temporary directory).
#include "brix_data_server.h"
#include "fio.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr unsigned G2_ENTRIES = 16001;
constexpr unsigned ARGUMENTS = 52;
constexpr unsigned UNITS_PER_ARGUMENT = 1u << 20; // 4 MB of u32 per argument table

std::string g_dir;
std::map<std::string, double> g_mb_per_s;
uint64_t g_database_bytes = 0;

G2_SII* g2_entry(unsigned i) {
    auto* lists = new G2_SII_BIT_LIST_LIST;
    for (unsigned l = 0; l < 2; ++l) {
        auto* bit = new G2_SII_BIT(i * 2 + l);
        bit->set_g2_s1_list(new G2_SI_LIST{new G2_SI(i, l, l == 0, i & 0xFF), new G2_SI(i + 1, l, false, 3)});
        lists->push_back(new G2_SII_BIT_LIST{bit});
    }
    auto* entry = new G2_SII;
    entry->set_g2_s2_bit_list_list(lists);
    return entry;
}

BRIX_INFO* make_database() {
    auto* device = new BRIX_DEVICE_INFO;
    device->set_family_type(4);
    device->set_device_type(4);
    auto* arguments = new BRIX_ARG_LIST;
    for (unsigned a = 0; a < ARGUMENTS; ++a) {
        auto* data = new unsigned char[size_t(UNITS_PER_ARGUMENT) * 4];
        auto* words = reinterpret_cast<uint32_t*>(data);
        for (unsigned u = 0; u < UNITS_PER_ARGUMENT; ++u)
            words[u] = u * 2654435761u + a;
        arguments->push_back(new BRIX_ARG(
            a % 30 + 4, 7, new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(data, UNITS_PER_ARGUMENT, 4)}));
    }
    device->set_argument_list(arguments, false);
    auto* g2 = new G2_SII_LIST;
    for (unsigned i = 0; i < G2_ENTRIES; ++i)
        g2->push_back(g2_entry(i));
    device->set_g2_s2_list(g2, true, true);
    auto* info = new BRIX_INFO;
    info->set_device_info(device);
    return info;
}

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

void record(benchmark::State& state, const char* name, double seconds, uint64_t bytes) {
    state.SetBytesProcessed(int64_t(bytes) * state.iterations());
    g_mb_per_s[name] = double(bytes) * double(state.iterations()) / seconds / 1e6;
}

void BM_ArchiveWrite(benchmark::State& state) {
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<BRIX_INFO> info(make_database());
        state.ResumeTiming();
        auto start = CLOCK::now();
        BRIX_DATA_SERVER::write_brix_info(database(), info.get(), true);
        seconds += std::chrono::duration<double>(CLOCK::now() - start).count();
        state.PauseTiming();
        info.reset();
        state.ResumeTiming();
    }
    g_database_bytes = database_bytes();
    record(state, "archive write", seconds, g_database_bytes);
}

void BM_ArchiveRead(benchmark::State& state) {
    double seconds = 0;
    for (auto _ : state) {
        auto start = CLOCK::now();
        std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::get_brix_info(database(), false));
        seconds += std::chrono::duration<double>(CLOCK::now() - start).count();
        benchmark::DoNotOptimize(info.get());
        state.PauseTiming();
        info.reset();
        state.ResumeTiming();
    }
    record(state, "archive read", seconds, g_database_bytes);
}

// Plain buffered writes of the same number of bytes, in 1 MB pieces. SYNC: fsync before closing. ATOMIC:
// besides, write a new file and rename it over the previous one, as the database writer does to land
// every file whole.
enum PLAIN_MODE { PLAIN, SYNC, ATOMIC };
void plain_write(benchmark::State& state, PLAIN_MODE mode) {
    std::vector<unsigned char> piece(1 << 20, 0x5A);
    const std::string path = g_dir + "/plain.bin";
    double seconds = 0;
    for (auto _ : state) {
        auto start = CLOCK::now();
        std::FILE* f = std::fopen((mode == ATOMIC ? path + ".new" : path).c_str(), "wb");
        for (uint64_t left = g_database_bytes; left > 0;) {
            size_t n = size_t(std::min<uint64_t>(left, piece.size()));
            std::fwrite(piece.data(), 1, n, f);
            left -= n;
        }
        std::fflush(f);
        if (mode != PLAIN)
            ::fsync(fileno(f));
        std::fclose(f);
        if (mode == ATOMIC)
            std::rename((path + ".new").c_str(), path.c_str());
        seconds += std::chrono::duration<double>(CLOCK::now() - start).count();
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

// Plain buffered read of the same bytes into a buffer that is already allocated and touched, so that the
// floor measures reading and not the first-touch page faults of fresh memory (the archive reader's own
// allocations are on the archive's side of the ratio).
void BM_PlainRead(benchmark::State& state) {
    const std::string path = g_dir + "/plain.bin";
    std::unique_ptr<unsigned char[]> data(new unsigned char[g_database_bytes]);
    std::memset(data.get(), 0, g_database_bytes);
    double seconds = 0;
    for (auto _ : state) {
        auto start = CLOCK::now();
        std::FILE* f = std::fopen(path.c_str(), "rb");
        size_t got = std::fread(data.get(), 1, g_database_bytes, f);
        std::fclose(f);
        benchmark::DoNotOptimize(got);
        benchmark::DoNotOptimize(data.get());
        seconds += std::chrono::duration<double>(CLOCK::now() - start).count();
    }
    record(state, "plain read", seconds, g_database_bytes);
}

// Registration order is run order: the archive write makes the files the others use.
BENCHMARK(BM_ArchiveWrite)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainWriteSync)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainWriteAtomic)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_ArchiveRead)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

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
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);

    auto ratio = [](const char* a, const char* b) {
        return g_mb_per_s.count(a) && g_mb_per_s.count(b) && g_mb_per_s[b] > 0 ? g_mb_per_s[a] / g_mb_per_s[b]
                                                                               : 0.0;
    };
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    const double peak_mb = double(usage.ru_maxrss) / 1024.0;
    const double database_mb = double(g_database_bytes) / 1e6;
    std::printf("\nDatabase: %.1f MB in 9 files (%u G2 entries in 8 part files, %u argument tables)\n",
                database_mb, G2_ENTRIES, ARGUMENTS);
    for (const auto& [name, mbps] : g_mb_per_s)
        std::printf("%-22s %8.1f MB/s\n", name.c_str(), mbps);
    std::printf("write ratio archive / plain write:          %.2f\n", ratio("archive write", "plain write"));
    std::printf("write ratio archive / plain write + fsync:  %.2f\n",
                ratio("archive write", "plain write + fsync"));
    std::printf("write ratio archive / plain write + fsync + rename:  %.2f (target >= 0.9)\n",
                ratio("archive write", "plain write + fsync + rename"));
    std::printf("read ratio archive / plain read (touched buffer): %.2f (target >= 0.5)\n",
                ratio("archive read", "plain read"));
    std::printf("peak memory: %.1f MB = %.2f x the database (target < 1.3)\n", peak_mb,
                database_mb > 0 ? peak_mb / database_mb : 0.0);
    return 0;
}
