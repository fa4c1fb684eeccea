// Speed of the converters, in times real time (seconds of audio processed per second).
//
// The fast resampler runs side by side with libswresample at its default settings on the same
// input (10 s of stereo 16-bit music-like signal) and rates; after the run a table gives the
// ratio of the two. Rates are per second of CPU time of the benchmark thread (the machine may
// be shared). The gain indicator, the mixer and the channel and bit-depth converter are
// measured on their own, each fed from memory the way their chain feeds them.
#include "AuConverters.h"
#include "AuIndicators.h"
#include "AuMixer.h"
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr double Seconds = 10.0; // audio per iteration

// Stereo 16-bit: a few tones and some noise, not too loud.
std::vector<std::uint8_t> Signal(std::uint32_t Rate, double Secs)
{
    const std::size_t Frames = std::size_t(Rate * Secs);
    std::vector<std::uint8_t> Out(Frames * 4);
    std::uint32_t Seed = 12345;
    for (std::size_t i = 0; i < Frames; ++i) {
        const double t = double(i) / Rate;
        Seed = Seed * 1664525u + 1013904223u;
        const double Noise = (double(Seed >> 8) / double(1u << 24) - 0.5) * 0.05;
        const double L = 0.3 * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 3100 * t) + Noise;
        const double R = 0.3 * std::sin(2 * M_PI * 660 * t) + 0.1 * std::sin(2 * M_PI * 9000 * t) - Noise;
        const auto l = std::int16_t(std::lround(L * 32767)), r = std::int16_t(std::lround(R * 32767));
        std::memcpy(&Out[i * 4], &l, 2);
        std::memcpy(&Out[i * 4 + 2], &r, 2);
    }
    return Out;
}

// Reads In to its end with requests of Request bytes; returns the bytes read.
std::size_t Drain(TAuInput &In, std::uint32_t Request)
{
    std::size_t Total = 0;
    In.Init();
    for (;;) {
        void *P = nullptr;
        std::uint32_t Bytes = Request;
        In.GetData(P, Bytes);
        if (Bytes == 0)
            break;
        benchmark::DoNotOptimize(P);
        Total += Bytes;
    }
    In.Flush();
    return Total;
}

void SetRealTime(benchmark::State &State, double AudioSeconds)
{
    State.counters["x_realtime"] =
        benchmark::Counter(AudioSeconds, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FastResampler(benchmark::State &State)
{
    const auto InRate = std::uint32_t(State.range(0));
    const std::vector<std::uint8_t> Data = Signal(InRate, Seconds);
    bench::TMemorySource Src(16, 2, InRate, Data.data(), Data.size());
    TFastResampler R;
    R.SetInput(&Src);
    R.SetOutSampleRate(32000);
    std::size_t Out = 0;
    for (auto _ : State)
        Out = Drain(R, 4096);
    State.counters["out_frames"] = double(Out / 4);
    SetRealTime(State, Seconds);
}

// Owner of a libswresample context.
struct TSwrFree {
    void operator()(SwrContext *Ctx) const { swr_free(&Ctx); }
};
using TSwrContext = std::unique_ptr<SwrContext, TSwrFree>;

TSwrContext MakeSwr(std::uint32_t InRate, std::uint32_t OutRate)
{
    AVChannelLayout Stereo;
    av_channel_layout_default(&Stereo, 2);
    SwrContext *Raw = nullptr;
    if (swr_alloc_set_opts2(&Raw, &Stereo, AV_SAMPLE_FMT_S16, int(OutRate), &Stereo,
                            AV_SAMPLE_FMT_S16, int(InRate), 0, nullptr) < 0)
        throw std::runtime_error("swr_alloc_set_opts2 failed");
    TSwrContext Ctx(Raw);
    if (swr_init(Ctx.get()) < 0)
        throw std::runtime_error("swr_init failed");
    return Ctx;
}

// libswresample at its defaults, fed the same 200 ms chunks the fast resampler reads.
void BM_Swresample(benchmark::State &State)
{
    const auto InRate = std::uint32_t(State.range(0));
    const std::vector<std::uint8_t> Data = Signal(InRate, Seconds);
    const int InFrames = int(Data.size() / 4);
    const int Chunk = int(InRate / 5);
    std::vector<std::uint8_t> Out(std::size_t(32000 / 5 * 2 + 256) * 4);
    std::size_t Produced = 0;
    for (auto _ : State) {
        TSwrContext Ctx = MakeSwr(InRate, 32000);
        Produced = 0;
        for (int Pos = 0; Pos < InFrames; Pos += Chunk) {
            const std::uint8_t *In = Data.data() + std::size_t(Pos) * 4;
            std::uint8_t *O = Out.data();
            const int n = swr_convert(Ctx.get(), &O, int(Out.size() / 4), &In,
                                      std::min(Chunk, InFrames - Pos));
            if (n < 0)
                throw std::runtime_error("swr_convert failed");
            Produced += std::size_t(n);
            benchmark::DoNotOptimize(Out.data());
        }
        std::uint8_t *O = Out.data();
        const int n = swr_convert(Ctx.get(), &O, int(Out.size() / 4), nullptr, 0);
        Produced += std::size_t(std::max(n, 0));
    }
    State.counters["out_frames"] = double(Produced);
    SetRealTime(State, Seconds);
}

// The recorder's case: 32000 Hz stereo 16-bit in 4096-byte blocks, Interval 200.
void BM_FastGainIndicator(benchmark::State &State)
{
    const std::vector<std::uint8_t> Data = Signal(32000, Seconds);
    bench::TMemorySource Src(16, 2, 32000, Data.data(), Data.size());
    TFastGainIndicator G;
    G.SetInterval(200);
    G.SetInput(&Src);
    for (auto _ : State)
        benchmark::DoNotOptimize(Drain(G, 4096));
    SetRealTime(State, Seconds);
}

// The saving chain's case: two 16-bit stereo recordings joined, read in large requests.
void BM_AudioMixer(benchmark::State &State)
{
    const bool Mix = State.range(0) != 0;
    const std::vector<std::uint8_t> A = Signal(32000, Seconds / 2), B = Signal(32000, Seconds / 2);
    bench::TMemorySource In1(16, 2, 32000, A.data(), A.size()), In2(16, 2, 32000, B.data(), B.size());
    TAudioMixer M;
    M.SetMode(Mix ? amMix : amConcatenate);
    M.SetInput1(&In1);
    M.SetInput2(&In2);
    for (auto _ : State)
        benchmark::DoNotOptimize(Drain(M, 65536));
    SetRealTime(State, Mix ? Seconds / 2 : Seconds);
}

// The trimmer's waveform case: 44100 Hz stereo 16-bit to 8-bit mono, 1024-byte requests.
void BM_AudioConverter(benchmark::State &State)
{
    const std::vector<std::uint8_t> Data = Signal(44100, Seconds);
    bench::TMemorySource Src(16, 2, 44100, Data.data(), Data.size());
    TAudioConverter C;
    C.SetInput(&Src);
    C.SetOutChannels(1);
    C.SetOutBitsPerSample(8);
    for (auto _ : State)
        benchmark::DoNotOptimize(Drain(C, 1024));
    SetRealTime(State, Seconds);
}

BENCHMARK(BM_FastResampler)->Arg(44100)->Arg(22050)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Swresample)->Arg(44100)->Arg(22050)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FastGainIndicator)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AudioMixer)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AudioConverter)->Unit(benchmark::kMillisecond);

// Console output plus a side-by-side table of the two resamplers.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &Runs) override
    {
        ConsoleReporter::ReportRuns(Runs);
        // Single runs, or the median when repetitions are aggregated.
        for (const Run &R : Runs) {
            const auto It = R.counters.find("x_realtime");
            if (It == R.counters.end())
                continue;
            if (R.run_type == Run::RT_Iteration || R.aggregate_name == "median")
                Speed[R.run_name.str()] = It->second.value;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nstereo 16-bit to 32000 Hz, times real time:\n");
        std::printf("%-12s %16s %16s %8s\n", "input rate", "TFastResampler", "libswresample", "ratio");
        for (const char *Rate : {"44100", "22050"}) {
            const std::string Ours = std::string("BM_FastResampler/") + Rate;
            const std::string Peer = std::string("BM_Swresample/") + Rate;
            if (!Speed.count(Ours) || !Speed.count(Peer))
                continue;
            std::printf("%-12s %16.0f %16.0f %8.2f\n", Rate, Speed[Ours], Speed[Peer],
                        Speed[Ours] / Speed[Peer]);
        }
    }

private:
    std::map<std::string, double> Speed;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TRatioReporter Reporter;
    benchmark::RunSpecifiedBenchmarks(&Reporter);
    benchmark::Shutdown();
    return 0;
}
