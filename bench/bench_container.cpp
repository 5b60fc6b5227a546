// Container files: writing and reading a FID-sized payload against, in the same run, the container's own
// compressor and decompressor alone on the same payload in memory (the floors), and against zlib's own
// compress2 (level 9) and uncompress (the classic encoder, for comparison); and the CRC-16.
//
// Prints at the end: container write time over the compressor alone (libdeflate level 7 in segments on two
// threads, into a buffer it reuses; target at most 1.15), container read time over the decompressor alone
// (ISA-L's inflate a segment at a time on two threads, into a new buffer advised for huge pages as the
// reader's is, because the reader hands its caller new memory; target at most 1.15), the two compressed sizes
// (the container's at most zlib's level 9), the ratios to zlib and the CRC-16 throughput (target at least
// 1 GB/s). Each figure is the median iteration, printed with the range of the middle half: the machine is
// shared, and single iterations stall now and then on either side of a ratio. The container machinery is what
// the ratios to the floors measure: header, segments, CRC-16, reading and writing the file, fsync, rename.
#include "bench_common.h"
#include "brix_data_server.h"
#include "compression.h"
#include "fio.h"
#include "large_block.h"
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
    g_seconds_per_iteration[name] = bench::spread(all).median;
}

// Keeps the writer's progress line out of the benchmark output.
struct QUIET_STDOUT {
    std::ostringstream sink;
    std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
    ~QUIET_STDOUT() { std::cout.rdbuf(saved); }
};

// The container writer's compression level (libdeflate's). The compressor floor checks that its stream is
// byte for byte the container's payload, so a change of the writer's settings shows.
constexpr int CONTAINER_LEVEL = 7;

// The floors: the container's compressor alone, into a buffer it reuses.
std::vector<unsigned char> g_floor_stream;

void BM_CompressorAlone(benchmark::State& state) {
    const auto& data = payload();
    g_floor_stream.assign(zlib_compress_bound(data.size()), 0);
    unsigned long n = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        n = g_floor_stream.size();
        if (zlib_compress2(g_floor_stream.data(), &n, data.data(), data.size(), CONTAINER_LEVEL) != ZLIB_OK)
            state.SkipWithError("compression failed");
        record("compressor alone",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    g_floor_stream.resize(n);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// zlib's own compress2 at level 9 and uncompress of the same payload, for comparison.
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

// The read floor: the reader's decompression alone, of the container's own stream in memory, into a new
// buffer advised for huge pages as the reader's is (released untimed), or for reference into a warm buffer
// it reuses.
void BM_DecompressorAlone(benchmark::State& state, bool fresh_buffer) {
    const auto& data = payload();
    std::vector<unsigned char> file;
    if (!FIO_FILE_SYSTEM::read_file(bench_dir().path(), file) || file.size() <= 98) {
        state.SkipWithError("no container");
        return;
    }
    std::unique_ptr<unsigned char[]> back;
    if (!fresh_buffer) {
        back.reset(new unsigned char[data.size()]);
        std::memset(back.get(), 0, data.size());
    }
    for (auto _ : state) {
        if (fresh_buffer)
            back.reset();
        auto start = std::chrono::steady_clock::now();
        if (fresh_buffer) {
            back.reset(new unsigned char[data.size()]);
            advise_large_block(back.get(), data.size());
        }
        unsigned long n = data.size();
        if (zlib_uncompress(back.get(), &n, file.data() + 96, file.size() - 98) != ZLIB_OK ||
            n != data.size())
            state.SkipWithError("decompression failed");
        record(fresh_buffer ? "decompressor alone" : "decompressor alone warm",
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

// Whether the compressor floor's stream is the container's payload byte for byte (same compressor, same
// settings).
bool floor_stream_is_payload() {
    std::vector<unsigned char> file;
    return FIO_FILE_SYSTEM::read_file(bench_dir().path(), file) &&
           file.size() == g_floor_stream.size() + 98 &&
           std::equal(g_floor_stream.begin(), g_floor_stream.end(), file.begin() + 96);
}

// The run's order: zlib at level 9 takes seconds per run, so it runs once. The container and its floors run
// in three rounds of five iterations each, the floor and the container in turn, so that a change of load
// hits both sides of a ratio alike; the reads follow the writes, whose file they read.
void register_benchmarks() {
    auto ms = [](benchmark::internal::Benchmark* b, int iterations) {
        b->Unit(benchmark::kMillisecond)->Iterations(iterations);
    };
    ms(benchmark::RegisterBenchmark("BM_ZlibCompress", BM_ZlibCompress), 1);
    ms(benchmark::RegisterBenchmark("BM_ZlibUncompress/reused_buffer", BM_ZlibUncompress, false), 5);
    for (int round = 0; round < 3; ++round) {
        ms(benchmark::RegisterBenchmark("BM_CompressorAlone", BM_CompressorAlone), 5);
        ms(benchmark::RegisterBenchmark("BM_ContainerWrite", BM_ContainerWrite), 5);
    }
    for (int round = 0; round < 3; ++round) {
        ms(benchmark::RegisterBenchmark("BM_DecompressorAlone/fresh_buffer", BM_DecompressorAlone, true), 5);
        ms(benchmark::RegisterBenchmark("BM_ContainerRead", BM_ContainerRead), 5);
    }
    ms(benchmark::RegisterBenchmark("BM_DecompressorAlone/warm_buffer", BM_DecompressorAlone, false), 5);
    ms(benchmark::RegisterBenchmark("BM_ZlibUncompress/fresh_buffer", BM_ZlibUncompress, true), 5);
    ms(benchmark::RegisterBenchmark("BM_Crc16", BM_Crc16), 20);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("payload: %.1f MB\n", static_cast<double>(payload().size()) / 1e6);
    const std::string load = bench::load_average();
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    auto has = [](const char* k) { return g_seconds_per_iteration.count(k) != 0; };
    auto ratio = [](const char* a, const char* b) {
        return g_seconds_per_iteration[a] / g_seconds_per_iteration[b];
    };
    // A ratio of medians, with the medians and the middle half of each side's iterations.
    auto against_floor = [&](const char* what, const char* floor, const char* label, const char* target) {
        if (!has(what) || !has(floor))
            return;
        const bench::SPREAD a = bench::spread(g_iterations[what]), b = bench::spread(g_iterations[floor]);
        std::printf("%s: %.3f (%s)\n    %s %.1f ms (middle half %.1f to %.1f, %zu iterations), %s %.1f ms "
                    "(%.1f to %.1f, %zu)\n",
                    label, a.median / b.median, target, what, a.median * 1e3, a.low * 1e3, a.high * 1e3,
                    a.count, floor, b.median * 1e3, b.low * 1e3, b.high * 1e3, b.count);
    };
    std::printf("load average before the runs: %s\n", load.c_str());
    against_floor("container write", "compressor alone", "container write / its compressor alone",
                  "target <= 1.15");
    if (has("compressor alone") && has("container write"))
        std::printf("    the floor's stream is the container's payload byte for byte: %s\n",
                    floor_stream_is_payload() ? "yes" : "NO (the writer's compressor settings changed)");
    against_floor("container read", "decompressor alone",
                  "container read / its decompressor alone into new memory", "target <= 1.15");
    if (has("decompressor alone warm") && has("decompressor alone"))
        std::printf("  for reference: the decompressor into a warm buffer / into new memory: %.3f\n",
                    ratio("decompressor alone warm", "decompressor alone"));
    if (has("zlib compress") && has("container write"))
        std::printf("container write / zlib compress2(9): %.3f (for comparison with the classic encoder)\n",
                    ratio("container write", "zlib compress"));
    if (g_sizes.count("zlib") && g_sizes.count("container"))
        std::printf("compressed size container / zlib level 9: %.4f (%llu / %llu bytes, target <= 1)\n",
                    static_cast<double>(g_sizes["container"]) / static_cast<double>(g_sizes["zlib"]),
                    static_cast<unsigned long long>(g_sizes["container"]),
                    static_cast<unsigned long long>(g_sizes["zlib"]));
    if (has("zlib uncompress") && has("container read"))
        std::printf("container read / zlib uncompress: %.3f (for comparison)\n",
                    ratio("container read", "zlib uncompress"));
    if (has("zlib uncompress fresh") && has("container read"))
        std::printf("  container read / zlib uncompress into a fresh buffer: %.3f\n",
                    ratio("container read", "zlib uncompress fresh"));
    if (has("crc"))
        std::printf("CRC-16: %.2f GB/s (target >= 1 GB/s)\n",
                    static_cast<double>(payload().size()) / g_seconds_per_iteration["crc"] / 1e9);
    benchmark::Shutdown();
    return 0;
}
