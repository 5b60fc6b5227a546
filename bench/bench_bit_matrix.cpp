// Bit matrix: transposing a 16,384 x 16,384 matrix (32 MiB) against a plain memory copy of the same bytes.
//
// Prints at the end the ratio of the two median times (target at most 3: the transpose reads and writes every
// word once, like the copy) with the spread of each, for the path the processor takes (AVX2 where it has it)
// and for the portable path alone.
#include "bench_common.h"
#include "bit_matrix.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const size_t SIZE = 16384;

const BIT_MATRIX& source() {
    static const BIT_MATRIX m = [] {
        BIT_MATRIX a(SIZE, SIZE);
        uint64_t x = 1;
        for (size_t r = 0; r < SIZE; ++r) {
            uint64_t* w = a.row_words(r);
            for (size_t i = 0; i < a.words_per_row(); ++i) {
                x = x * 6364136223846793005ull + 1442695040888963407ull;
                w[i] = x;
            }
        }
        return a;
    }();
    return m;
}

// Every iteration's wall time per benchmark; the figures are medians.
std::map<std::string, std::vector<double>> g_seconds;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_MemoryCopy(benchmark::State& state) {
    const BIT_MATRIX& a = source();
    const size_t bytes = a.rows() * a.words_per_row() * sizeof(uint64_t);
    std::vector<uint64_t> out(a.rows() * a.words_per_row());
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::memcpy(out.data(), a.row_words(0), bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        g_seconds["copy"].push_back(seconds_since(start));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_Transpose(benchmark::State& state, BIT_MATRIX::TRANSPOSE_PATH path, const char* name) {
    const BIT_MATRIX& a = source();
    BIT_MATRIX t(a.bits(), a.rows());
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        a.transpose_into(t, path);
        benchmark::DoNotOptimize(t.row_words(0));
        benchmark::ClobberMemory();
        g_seconds[name].push_back(seconds_since(start));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(a.rows() * a.words_per_row() * 8));
}

// Both write into a target allocated once outside the loop, so that neither pays for fresh pages. Fixed
// iteration counts keep the medians comparable from run to run.
BENCHMARK(BM_MemoryCopy)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK_CAPTURE(BM_Transpose, best, BIT_MATRIX::TRANSPOSE_PATH::BEST, "transpose")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(50);
BENCHMARK_CAPTURE(BM_Transpose, portable, BIT_MATRIX::TRANSPOSE_PATH::PORTABLE, "portable transpose")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const std::string load = bench::load_average();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const bench::SPREAD copy = bench::spread(g_seconds["copy"]);
    if (copy.median <= 0)
        return 0;
    std::printf("load average before the runs: %s\n", load.c_str());
    std::printf("memory copy of 32 MiB: median %.2f ms (quartiles %.2f to %.2f)\n", copy.median * 1e3,
                copy.low * 1e3, copy.high * 1e3);
    for (const char* name : {"transpose", "portable transpose"}) {
        const bench::SPREAD t = bench::spread(g_seconds[name]);
        if (t.median <= 0)
            continue;
        std::printf("%s (%s) / memory copy of 16384 x 16384 bits: %.2f (quartiles %.2f to %.2f)%s\n", name,
                    std::string(name) == "transpose"
                        ? (BIT_MATRIX::vector_transpose_available() ? "AVX2" : "portable, no AVX2")
                        : "portable",
                    t.median / copy.median, t.low / copy.median, t.high / copy.median,
                    std::string(name) == "transpose" ? " (target <= 3)" : "");
    }
    return 0;
}
