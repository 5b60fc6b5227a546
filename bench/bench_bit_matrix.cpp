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
#include <time.h>
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

// Every iteration's wall time and CPU time (of the thread) per benchmark; the figures are medians. The CPU
// times are printed too: on a loaded machine they move less than the wall times.
std::map<std::string, std::vector<double>> g_seconds, g_cpu_seconds;

double thread_cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Times one iteration of work under name.
template <typename WORK> void timed(const char* name, WORK work) {
    const double cpu = thread_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    g_seconds[name].push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    g_cpu_seconds[name].push_back(thread_cpu_seconds() - cpu);
}

void BM_MemoryCopy(benchmark::State& state) {
    const BIT_MATRIX& a = source();
    const size_t bytes = a.rows() * a.words_per_row() * sizeof(uint64_t);
    std::vector<uint64_t> out(a.rows() * a.words_per_row());
    for (auto _ : state)
        timed("copy", [&] {
            std::memcpy(out.data(), a.row_words(0), bytes);
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        });
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_Transpose(benchmark::State& state, BIT_MATRIX::TRANSPOSE_PATH path, const char* name) {
    const BIT_MATRIX& a = source();
    BIT_MATRIX t(a.bits(), a.rows());
    for (auto _ : state)
        timed(name, [&] {
            a.transpose_into(t, path);
            benchmark::DoNotOptimize(t.row_words(0));
            benchmark::ClobberMemory();
        });
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(a.rows() * a.words_per_row() * 8));
}

// Both write into a target allocated once outside the loop, so that neither pays for fresh pages. Five rounds
// of the copy and the transposes in turn, with fixed iteration counts, so that a change of load hits both
// sides of a ratio and the medians are comparable from run to run.
void register_benchmarks() {
    for (int round = 0; round < 5; ++round) {
        benchmark::RegisterBenchmark("BM_MemoryCopy", BM_MemoryCopy)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(40);
        benchmark::RegisterBenchmark("BM_Transpose/best", BM_Transpose, BIT_MATRIX::TRANSPOSE_PATH::BEST,
                                     "transpose")
            ->Unit(benchmark::kMillisecond)
            ->Iterations(10);
        benchmark::RegisterBenchmark("BM_Transpose/portable", BM_Transpose,
                                     BIT_MATRIX::TRANSPOSE_PATH::PORTABLE, "portable transpose")
            ->Unit(benchmark::kMillisecond)
            ->Iterations(4);
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const std::string load = bench::load_average();
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const bench::SPREAD copy = bench::spread(g_seconds["copy"]),
                        copy_cpu = bench::spread(g_cpu_seconds["copy"]);
    if (copy.median <= 0 || copy_cpu.median <= 0)
        return 0;
    std::printf("load average before the runs: %s\n", load.c_str());
    std::printf("memory copy of 32 MiB: median %.2f ms (quartiles %.2f to %.2f), CPU %.2f ms\n",
                copy.median * 1e3, copy.low * 1e3, copy.high * 1e3, copy_cpu.median * 1e3);
    for (const char* name : {"transpose", "portable transpose"}) {
        const bench::SPREAD t = bench::spread(g_seconds[name]), t_cpu = bench::spread(g_cpu_seconds[name]);
        if (t.median <= 0)
            continue;
        const bool best = std::string(name) == "transpose";
        std::printf("%s (%s) / memory copy of 16384 x 16384 bits: %.2f (quartiles %.2f to %.2f)%s; CPU time "
                    "%.2f ms, %.2f x the copy's\n",
                    name,
                    best ? (BIT_MATRIX::vector_transpose_available() ? "AVX2" : "portable, no AVX2")
                         : "portable",
                    t.median / copy.median, t.low / copy.median, t.high / copy.median,
                    best ? " (target <= 3)" : "", t_cpu.median * 1e3, t_cpu.median / copy_cpu.median);
    }
    return 0;
}
