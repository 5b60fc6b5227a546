// Container files: writing and reading a FID-sized payload against zlib's own compress2 (level 9) and
// uncompress of the same payload, in the same run, and the CRC-16.
//
// Prints at the end: container write time over compress2 time (target at most 0.1) with the two compressed
// sizes (the container's at most zlib's), container read time over uncompress time (target at most 0.5), and
// the CRC-16 throughput (target at least 1 GB/s). Each figure is the median iteration: the machine is
// shared, and single iterations stall now and then on either side of a ratio.
//
// Besides, for reference only: the reader's decompression (ISA-L's inflate) alone into the same warm buffer
// as the floor (the decompressor's own share of the container read), and zlib's uncompress into a fresh
// buffer (the reader hands its caller new memory, which the floor does not pay for).
#include "brix_data_server.h"
#include "compression.h"
#include "fio.h"
#include "pgm_common.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// A FID of a large device: four bit mappings of 4M entries (64 MB) plus frame mappings and an EDCRC RMF.
const std::vector<unsigned char>& payload() {
    static const std::vector<unsigned char> bytes = [] {
        const uint32_t frames = 16384, bits = 4u << 20, rmf_frames = 16;
        BRIX_FID f;
        f.fid_version = 1;
        f.img_frame_size = f.bs_frame_size = frames;
        f.img_bit_size = bits;
        f.bs_bit_size = bits + 192;
        f.edcrc_frame_size = rmf_frames;
        f.edcrc_bit_size = bits;
        f.edcrc_bit_byte_size = (bits + 7) / 8;
        auto array = [](uint32_t n, uint32_t seed) {
            std::unique_ptr<uint32_t[]> a(new uint32_t[n]);
            uint32_t x = seed;
            for (uint32_t i = 0; i < n; ++i) {
                x = x * 1664525u + 1013904223u;
                // Mostly ordered mappings with scattered holes, like real bit maps.
                a[i] = (x >> 28) == 0 ? 0xFFFFFFFEu : i + (x >> 29);
            }
            return a;
        };
        f.img_to_bs_frame_mapping = array(frames, 1);
        f.bs_to_img_frame_mapping = array(frames, 2);
        f.img_to_bs_bit_mapping = array(bits, 3);
        f.bs_to_img_bit_mapping = array(bits + 192, 4);
        f.img_to_edcrc_frame_mapping = array(frames, 5);
        f.edcrc_to_img_frame_mapping = array(rmf_frames, 6);
        f.img_to_edcrc_bit_mapping = array(bits, 7);
        f.edcrc_to_img_bit_mapping = array(bits, 8);
        f.edcrc_frame_types = array(rmf_frames, 9);
        f.edcrc_rmf.reset(new std::unique_ptr<unsigned char[]>[rmf_frames]);
        uint32_t x = 10;
        for (uint32_t r = 0; r < rmf_frames; ++r) {
            f.edcrc_rmf[r].reset(new unsigned char[f.edcrc_bit_byte_size]);
            for (uint32_t k = 0; k < f.edcrc_bit_byte_size; ++k) {
                x = x * 1664525u + 1013904223u;
                f.edcrc_rmf[r][k] = (x >> 24) < 8 ? static_cast<unsigned char>(x >> 16) : 0;
            }
        }
        std::vector<unsigned char> out;
        pgm_ddb_write(out, f);
        return out;
    }();
    return bytes;
}

// Every iteration of each benchmark; the figures are their medians.
std::map<std::string, std::vector<double>> g_iterations;
std::map<std::string, double> g_seconds_per_iteration;
// Compressed sizes of the payload: zlib level 9 and the container's stream.
std::map<std::string, uint64_t> g_sizes;

void record(const char* name, double seconds) {
    std::vector<double>& all = g_iterations[name];
    all.push_back(seconds);
    std::vector<double> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    g_seconds_per_iteration[name] = sorted[sorted.size() / 2];
}

// Keeps the writer's progress line out of the benchmark output.
struct QUIET_STDOUT {
    std::ostringstream sink;
    std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
    ~QUIET_STDOUT() { std::cout.rdbuf(saved); }
};

// The floors: zlib's own compress2 at level 9 and uncompress of the same payload.
std::vector<unsigned char> g_zlib_stream;

void BM_ZlibCompress(benchmark::State& state) {
    const auto& data = payload();
    g_zlib_stream.resize(compressBound(data.size()));
    uLongf n = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        n = g_zlib_stream.size();
        if (compress2(g_zlib_stream.data(), &n, data.data(), data.size(), 9) != Z_OK)
            state.SkipWithError("compress2 failed");
        record("zlib compress",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    g_zlib_stream.resize(n);
    g_sizes["zlib"] = n;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// zlib's uncompress of the payload, into a buffer it reuses (the floor), or with fresh_buffer into a new one
// per iteration, as a reader that hands its caller new memory must.
void BM_ZlibUncompress(benchmark::State& state, bool fresh_buffer) {
    const auto& data = payload();
    std::unique_ptr<unsigned char[]> back;
    if (!fresh_buffer) {
        back.reset(new unsigned char[data.size()]);
        std::memset(back.get(), 0, data.size());
    }
    for (auto _ : state) {
        if (fresh_buffer)
            back.reset(); // released untimed, as a reader's caller releases it
        auto start = std::chrono::steady_clock::now();
        if (fresh_buffer)
            back.reset(new unsigned char[data.size()]);
        uLongf m = data.size();
        if (uncompress(back.get(), &m, g_zlib_stream.data(), g_zlib_stream.size()) != Z_OK ||
            m != data.size())
            state.SkipWithError("uncompress failed");
        record(fresh_buffer ? "zlib uncompress fresh" : "zlib uncompress",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// The container write and read of the same payload: compression, header, CRC-16 and the whole-file write;
// reading the file, CRC-16 check and decompression.
struct BENCH_DIR {
    std::string dir;
    BENCH_DIR() {
        char pattern[] = "/tmp/brix_bench_XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    ~BENCH_DIR() {
        std::remove(path().c_str());
        ::rmdir(dir.c_str());
    }
    std::string path() const { return dir + "/BENCH_DEVICE.fid"; }
};
BENCH_DIR& bench_dir() {
    static BENCH_DIR d;
    return d;
}

void BM_ContainerWrite(benchmark::State& state) {
    const auto& data = payload();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        {
            QUIET_STDOUT quiet;
            BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1,
                                                      "fid", "bench_device", "bench_device",
                                                      bench_dir().dir + "/");
        }
        record("container write",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    FIO_STATUS status;
    if (FIO_FILE_SYSTEM::status(bench_dir().path(), status))
        g_sizes["container"] = status.size - 98;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_ContainerRead(benchmark::State& state) {
    const auto& data = payload();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        uint32_t version = 0, raw_size = 0;
        std::string extension, name;
        auto back =
            BRIX_DATA_SERVER::read_pgm_database_file(bench_dir().path(), version, extension, name, raw_size);
        if (raw_size != data.size())
            state.SkipWithError("size differs");
        record("container read",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// For reference: the reader's decompression alone, of the container's own stream into the floor's warm
// buffer.
void BM_DecompressorAlone(benchmark::State& state) {
    const auto& data = payload();
    std::vector<unsigned char> file;
    if (!FIO_FILE_SYSTEM::read_file(bench_dir().path(), file) || file.size() <= 98) {
        state.SkipWithError("no container");
        return;
    }
    std::vector<unsigned char> back(data.size());
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        unsigned long n = back.size();
        if (zlib_uncompress(back.data(), &n, file.data() + 96, file.size() - 98) != ZLIB_OK ||
            n != data.size())
            state.SkipWithError("decompression failed");
        record("decompressor alone",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Crc16(benchmark::State& state) {
    const auto& data = payload();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(
            PGM_COMMON::calculate_crc16(data.data(), 0, uint64_t{data.size()} * 8, 0xFFFF));
        record("crc", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// zlib at level 9 takes seconds per run: once is enough for the floor.
BENCHMARK(BM_ZlibCompress)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_ZlibUncompress, reused_buffer, false)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ContainerWrite)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ContainerRead)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DecompressorAlone)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_ZlibUncompress, fresh_buffer, true)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Crc16)->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("payload: %.1f MB\n", static_cast<double>(payload().size()) / 1e6);
    benchmark::RunSpecifiedBenchmarks();
    auto has = [](const char* k) { return g_seconds_per_iteration.count(k) != 0; };
    auto ratio = [](const char* a, const char* b) {
        return g_seconds_per_iteration[a] / g_seconds_per_iteration[b];
    };
    if (has("zlib compress") && has("container write"))
        std::printf("container write / zlib compress2(9): %.3f (target <= 0.1)\n",
                    ratio("container write", "zlib compress"));
    if (g_sizes.count("zlib") && g_sizes.count("container"))
        std::printf("compressed size container / zlib level 9: %.4f (%llu / %llu bytes, target <= 1)\n",
                    static_cast<double>(g_sizes["container"]) / static_cast<double>(g_sizes["zlib"]),
                    static_cast<unsigned long long>(g_sizes["container"]),
                    static_cast<unsigned long long>(g_sizes["zlib"]));
    if (has("zlib uncompress") && has("container read"))
        std::printf("container read / zlib uncompress: %.3f (target <= 0.5)\n",
                    ratio("container read", "zlib uncompress"));
    if (has("decompressor alone") && has("zlib uncompress"))
        std::printf(
            "  for reference: the reader's decompression alone (ISA-L, warm buffer) / zlib uncompress: "
            "%.3f\n",
            ratio("decompressor alone", "zlib uncompress"));
    if (has("zlib uncompress fresh") && has("container read"))
        std::printf("  for reference: container read / zlib uncompress into a fresh buffer: %.3f\n",
                    ratio("container read", "zlib uncompress fresh"));
    if (has("crc"))
        std::printf("CRC-16: %.2f GB/s (target >= 1 GB/s)\n",
                    static_cast<double>(payload().size()) / g_seconds_per_iteration["crc"] / 1e9);
    benchmark::Shutdown();
    return 0;
}
