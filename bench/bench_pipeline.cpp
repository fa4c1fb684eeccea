// Cost of the pull pipeline itself: a memory source, four pass-through converters and an
// output that fills its work buffer (one copy, as real outputs do) and discards it, for
// 44.1 kHz 16-bit stereo in 4096-byte blocks. The peer is a memcpy loop moving the same bytes
// in the same blocks. Also counts heap allocations per block on the data path.
#include "AuClasses.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

std::atomic<long> GAllocs{0};

constexpr std::uint32_t BlockBytes = 4096;
constexpr std::uint32_t FrameBytes = 4;
constexpr double Rate = 44100.0;
constexpr std::size_t SourceBytes = 10 * 44100 * FrameBytes; // 10 s of audio per run

// Hands out blocks in place from a buffer it owns.
class TMemSource : public TAuStreamedInput {
public:
    TMemSource() : FData(SourceBytes)
    {
        for (std::size_t I = 0; I < FData.size(); ++I)
            FData[I] = static_cast<std::uint8_t>(I * 131);
    }
    std::uint32_t BitsPerSample() override { return 16; }
    std::uint32_t Channels() override { return 2; }
    std::uint32_t SampleRate() override { return 44100; }

protected:
    void OpenSource() override
    {
        Busy = true;
        FPosition = 0;
        FSize = static_cast<std::int64_t>(FData.size());
        FSampleSize = FrameBytes;
        FOffset = 0;
    }
    void CloseSource() override { Busy = false; }
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override
    {
        const std::size_t Left = FData.size() - FOffset;
        Bytes = static_cast<std::uint32_t>(std::min<std::size_t>(Bytes, Left));
        Buffer = FData.data() + FOffset;
        FOffset += Bytes;
    }
    bool SeekSource(std::int64_t &SampleNum) override
    {
        FOffset = static_cast<std::size_t>(SampleNum) * FrameBytes;
        return true;
    }

private:
    std::vector<std::uint8_t> FData;
    std::size_t FOffset = 0;
};

class TPass : public TAuConverter {
protected:
    void OpenSource() override
    {
        FInput->Init();
        Busy = true;
        FSize = FInput->Size();
        FPosition = 0;
    }
    void CloseSource() override
    {
        FInput->Flush();
        Busy = false;
    }
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override { FInput->GetData(Buffer, Bytes); }
};

class TDiscardOut : public TAuOutput {
public:
    TDiscardOut() : FWork(BlockBytes) {}
    ~TDiscardOut() override { ShutDown(); }
    long Blocks = 0;
    long AllocsInSteps = 0;
    std::uint8_t Sink = 0;

protected:
    void PrepareSink() override { FInput->Init(); }
    bool WriteStep(bool Abort) override
    {
        if (Abort)
            return false;
        const long Before = GAllocs.load(std::memory_order_relaxed);
        bool Eof = false;
        const std::uint32_t N = FInput->FillBuffer(FWork.data(), BlockBytes, Eof);
        if (N > 0)
            Sink ^= FWork[N - 1];
        benchmark::DoNotOptimize(FWork.data());
        ++Blocks;
        AllocsInSteps += GAllocs.load(std::memory_order_relaxed) - Before;
        return !Eof;
    }
    void FinishSink() override { FInput->Flush(); }

private:
    std::vector<std::uint8_t> FWork;
};

void BM_PipelineFourConverters(benchmark::State &State)
{
    TMemSource Src;
    TPass C1, C2, C3, C4;
    C1.SetInput(&Src);
    C2.SetInput(&C1);
    C3.SetInput(&C2);
    C4.SetInput(&C3);
    TDiscardOut Out;
    Out.SetInput(&C4);
    for (auto _ : State)
        Out.BlockingRun();
    const double Frames = static_cast<double>(State.iterations()) * SourceBytes / FrameBytes;
    State.SetItemsProcessed(static_cast<std::int64_t>(Frames));
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * SourceBytes);
    State.counters["x_realtime"] = benchmark::Counter(Frames / Rate, benchmark::Counter::kIsRate);
    State.counters["allocs_per_block"] = static_cast<double>(Out.AllocsInSteps) / static_cast<double>(Out.Blocks);
    benchmark::DoNotOptimize(Out.Sink);
}
BENCHMARK(BM_PipelineFourConverters)->Unit(benchmark::kMillisecond);

void BM_MemcpyPeer(benchmark::State &State)
{
    std::vector<std::uint8_t> Src(SourceBytes), Work(BlockBytes);
    for (std::size_t I = 0; I < Src.size(); ++I)
        Src[I] = static_cast<std::uint8_t>(I * 131);
    for (auto _ : State) {
        for (std::size_t Off = 0; Off < Src.size(); Off += BlockBytes) {
            const std::size_t N = std::min<std::size_t>(BlockBytes, Src.size() - Off);
            std::memcpy(Work.data(), Src.data() + Off, N);
            benchmark::DoNotOptimize(Work.data());
            benchmark::ClobberMemory();
        }
    }
    const double Frames = static_cast<double>(State.iterations()) * SourceBytes / FrameBytes;
    State.SetItemsProcessed(static_cast<std::int64_t>(Frames));
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * SourceBytes);
    State.counters["x_realtime"] = benchmark::Counter(Frames / Rate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MemcpyPeer)->Unit(benchmark::kMillisecond);

} // namespace

// Counts every heap allocation of the process (the benchmark reads the count around blocks).
// The replacement pair is malloc/free on both sides, which GCC cannot see across the two.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(std::size_t N)
{
    GAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void *P = std::malloc(N ? N : 1))
        return P;
    throw std::bad_alloc();
}
void operator delete(void *P) noexcept { std::free(P); }
void operator delete(void *P, std::size_t) noexcept { std::free(P); }
#pragma GCC diagnostic pop

BENCHMARK_MAIN();
