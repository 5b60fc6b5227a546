// Container files: writing and reading a FID-sized payload against the cost of zlib alone, and the CRC-16.
//
// Prints two ratios at the end: container write+read time over compress2(level 9)+uncompress time of the
// same payload (target at most 1.15), and the CRC-16 throughput (target at least 1 GB/s).
#include "brix_data_server.h"
#include "pgm_common.h"
#include "pgm_ddb_struct_inout_auto_export.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
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

// Fastest iteration of each benchmark: the machine is shared, and the minimum is the least disturbed.
std::map<std::string, double> g_seconds_per_iteration;

void record(const char* name, double seconds) {
    auto it = g_seconds_per_iteration.find(name);
    if (it == g_seconds_per_iteration.end() || seconds < it->second)
        g_seconds_per_iteration[name] = seconds;
}

// Keeps the writer's progress line out of the benchmark output.
struct QUIET_STDOUT {
    std::ostringstream sink;
    std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
    ~QUIET_STDOUT() { std::cout.rdbuf(saved); }
};

void BM_ZlibFloor(benchmark::State& state) {
    const char* label = "floor";
    const auto& data = payload();
    std::vector<unsigned char> compressed(compressBound(data.size()));
    std::vector<unsigned char> back(data.size());
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        uLongf n = compressed.size();
        if (compress2(compressed.data(), &n, data.data(), data.size(), 9) != Z_OK)
            state.SkipWithError("compress2 failed");
        uLongf m = back.size();
        if (uncompress(back.data(), &m, compressed.data(), n) != Z_OK || m != data.size())
            state.SkipWithError("uncompress failed");
        record(label, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        state.counters["compressed_MB"] = static_cast<double>(n) / 1e6;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_ContainerWriteRead(benchmark::State& state) {
    const char* label = "container";
    const auto& data = payload();
    char pattern[] = "/tmp/brix_bench_XXXXXX";
    std::string dir = ::mkdtemp(pattern);
    std::string path = dir + "/BENCH_DEVICE.fid";
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        {
            QUIET_STDOUT quiet;
            BRIX_DATA_SERVER::write_pgm_database_file(data.data(), static_cast<uint32_t>(data.size()), 1,
                                                      "fid", "bench_device", "bench_device", dir + "/");
        }
        uint32_t version = 0, raw_size = 0;
        std::string extension, name;
        auto back = BRIX_DATA_SERVER::read_pgm_database_file(path, version, extension, name, raw_size);
        if (raw_size != data.size())
            state.SkipWithError("size differs");
        record(label, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    std::remove(path.c_str());
    ::rmdir(dir.c_str());
}

void BM_Crc16(benchmark::State& state) {
    const char* label = "crc";
    const auto& data = payload();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(
            PGM_COMMON::calculate_crc16(data.data(), 0, uint64_t{data.size()} * 8, 0xFFFF));
        record(label, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

BENCHMARK(BM_ZlibFloor)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ContainerWriteRead)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Crc16)->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("payload: %.1f MB\n", static_cast<double>(payload().size()) / 1e6);
    benchmark::RunSpecifiedBenchmarks();
    auto has = [](const char* k) { return g_seconds_per_iteration.count(k) != 0; };
    if (has("floor") && has("container"))
        std::printf("container write+read / zlib compress2(9)+uncompress: %.3f (target <= 1.15)\n",
                    g_seconds_per_iteration["container"] / g_seconds_per_iteration["floor"]);
    if (has("crc"))
        std::printf("CRC-16: %.2f GB/s (target >= 1 GB/s)\n",
                    static_cast<double>(payload().size()) / g_seconds_per_iteration["crc"] / 1e9);
    benchmark::Shutdown();
    return 0;
}
