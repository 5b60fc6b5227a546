// Bit matrix: transposing a 16,384 x 16,384 matrix (32 MiB) against a plain memory copy of the same bytes.
//
// Prints the ratio of the two mean times at the end: the transpose reads and writes every word once, so it
// should stay within a small factor of the copy.
#include "bit_matrix.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
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

double g_copy_ns = 0, g_transpose_ns = 0;

void BM_MemoryCopy(benchmark::State& state) {
    const BIT_MATRIX& a = source();
    const size_t bytes = a.rows() * a.words_per_row() * sizeof(uint64_t);
    std::vector<uint64_t> out(a.rows() * a.words_per_row());
    for (auto _ : state) {
        std::memcpy(out.data(), a.row_words(0), bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_Transpose(benchmark::State& state) {
    const BIT_MATRIX& a = source();
    BIT_MATRIX t(a.bits(), a.rows());
    for (auto _ : state) {
        a.transpose_into(t);
        benchmark::DoNotOptimize(t.row_words(0));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(a.rows() * a.words_per_row() * 8));
}

// Both write into a target allocated once outside the loop, so that neither pays for fresh pages.
BENCHMARK(BM_MemoryCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Transpose)->Unit(benchmark::kMillisecond);

class RATIO_REPORTER : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            double ns = run.GetAdjustedRealTime();
            if (run.benchmark_name().find("BM_MemoryCopy") == 0)
                g_copy_ns = ns;
            else if (run.benchmark_name().find("BM_Transpose") == 0)
                g_transpose_ns = ns;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RATIO_REPORTER reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (g_copy_ns > 0 && g_transpose_ns > 0)
        std::printf("transpose / memory copy of 16384 x 16384 bits: %.2f\n", g_transpose_ns / g_copy_ns);
    return 0;
}
