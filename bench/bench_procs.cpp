// Throughput of the 16-bit sample conversions, in samples per second, next to a plain memcpy
// of the same number of samples as the ceiling. Sizes: one converter block (4096 samples, in
// cache) and 1 Mi samples (memory bound).
#include "AuProcs.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<std::int16_t> Pcm16(std::size_t N)
{
    std::vector<std::int16_t> V(N);
    for (std::size_t I = 0; I < N; ++I)
        V[I] = static_cast<std::int16_t>(20000.0 * std::sin(static_cast<double>(I) * 0.01));
    return V;
}

void BM_ConvertToFloat16(benchmark::State &State)
{
    const auto N = static_cast<std::size_t>(State.range(0));
    const auto Src = Pcm16(N);
    std::vector<float> Dst(N);
    for (auto _ : State) {
        ConvertToFloat16(Src.data(), Dst.data(), N);
        benchmark::DoNotOptimize(Dst.data());
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed(State.iterations() * static_cast<std::int64_t>(N));
}

void BM_ConvertFromFloat16(benchmark::State &State)
{
    const auto N = static_cast<std::size_t>(State.range(0));
    const auto Pcm = Pcm16(N);
    std::vector<float> Src(N);
    ConvertToFloat16(Pcm.data(), Src.data(), N);
    Src[N / 2] = 1.5f; // one value to clip on the first pass
    std::vector<std::int16_t> Dst(N);
    for (auto _ : State) {
        ConvertFromFloat16(Src.data(), Dst.data(), N);
        benchmark::DoNotOptimize(Dst.data());
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed(State.iterations() * static_cast<std::int64_t>(N));
}

// The ceiling: copying the float side (4 bytes per sample) of the same samples.
void BM_MemcpyFloatSide(benchmark::State &State)
{
    const auto N = static_cast<std::size_t>(State.range(0));
    std::vector<float> Src(N, 0.25f), Dst(N);
    for (auto _ : State) {
        std::memcpy(Dst.data(), Src.data(), N * sizeof(float));
        benchmark::DoNotOptimize(Dst.data());
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed(State.iterations() * static_cast<std::int64_t>(N));
}

// Copying the integer side (2 bytes per sample).
void BM_MemcpyPcmSide(benchmark::State &State)
{
    const auto N = static_cast<std::size_t>(State.range(0));
    const auto Src = Pcm16(N);
    std::vector<std::int16_t> Dst(N);
    for (auto _ : State) {
        std::memcpy(Dst.data(), Src.data(), N * sizeof(std::int16_t));
        benchmark::DoNotOptimize(Dst.data());
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed(State.iterations() * static_cast<std::int64_t>(N));
}

} // namespace

BENCHMARK(BM_ConvertToFloat16)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_ConvertFromFloat16)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_MemcpyFloatSide)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_MemcpyPcmSide)->Arg(4096)->Arg(1 << 20);

BENCHMARK_MAIN();
