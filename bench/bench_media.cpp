// Media inputs: decoding a long MP3 through TMP3In pulled by a discarding output, and receiving
// a live stream through TWMStreamedIn (connect-to-first-PCM time and CPU time). The peers
// (ffmpeg on the same file and stream) run from scripts/bench-media.sh, which also provides the
// file (FONOLUX_BENCH_MP3) and the loopback stream (FONOLUX_BENCH_URL).
#include "AuMedia.h"
#include "AuMp3In.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

// Pulls its Input to the end and throws the data away.
class TDiscardOut : public TAuOutput {
public:
    TDiscardOut() : FWork(32768) {}
    ~TDiscardOut() override { ShutDown(); }
    std::int64_t Bytes = 0;

protected:
    void PrepareSink() override
    {
        Bytes = 0;
        Input()->Init();
    }
    bool WriteStep(bool Abort) override
    {
        if (Abort)
            return false;
        bool eof = false;
        const std::uint32_t n = Input()->FillBuffer(FWork.data(), static_cast<std::uint32_t>(FWork.size()), eof);
        Bytes += n;
        return !eof;
    }
    void FinishSink() override { Input()->Flush(); }

private:
    std::vector<std::uint8_t> FWork;
};

const char *Env(const char *Name)
{
    const char *v = std::getenv(Name);
    return v && *v ? v : nullptr;
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_Mp3InDecodeFile(benchmark::State &State)
{
    const char *file = Env("FONOLUX_BENCH_MP3");
    if (!file) {
        State.SkipWithError("set FONOLUX_BENCH_MP3 to an MP3 file (scripts/bench-media.sh does)");
        return;
    }
    std::int64_t bytes = 0;
    for (auto _ : State) {
        TMP3In in;
        in.SetFileName(file);
        in.SetHighPrecision(true);
        TDiscardOut out;
        out.SetInput(&in);
        out.BlockingRun();
        bytes = out.Bytes;
        out.SetInput(nullptr);
    }
    State.counters["audio_s"] = static_cast<double>(bytes) / (44100.0 * 4);
    State.SetBytesProcessed(State.iterations() * bytes);
}
BENCHMARK(BM_Mp3InDecodeFile)->Unit(benchmark::kSecond)->Iterations(3)->UseRealTime();

void BM_StreamConnectToFirstPcm(benchmark::State &State)
{
    const char *url = Env("FONOLUX_BENCH_URL");
    if (!url) {
        State.SkipWithError("set FONOLUX_BENCH_URL to a live stream (scripts/bench-media.sh does)");
        return;
    }
    for (auto _ : State) {
        TWMStreamedIn in;
        in.SetFileName(url);
        in.SetMaxWaitMilliseconds(5000);
        const auto t0 = std::chrono::steady_clock::now();
        in.Init();
        void *buf = nullptr;
        std::uint32_t n = 4096;
        in.GetData(buf, n);
        const auto t1 = std::chrono::steady_clock::now();
        State.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (n == 0)
            State.SkipWithError("no PCM from the stream");
        in.Flush();
    }
}
BENCHMARK(BM_StreamConnectToFirstPcm)->Unit(benchmark::kMillisecond)->Iterations(10)->UseManualTime();

void BM_StreamReceiveCpu(benchmark::State &State)
{
    const char *url = Env("FONOLUX_BENCH_URL");
    if (!url) {
        State.SkipWithError("set FONOLUX_BENCH_URL to a live stream (scripts/bench-media.sh does)");
        return;
    }
    const char *secondsText = Env("FONOLUX_BENCH_SECONDS");
    const double seconds = secondsText ? std::atof(secondsText) : 60.0;
    double cpu = 0, audio = 0;
    for (auto _ : State) {
        TWMStreamedIn in;
        in.SetFileName(url);
        in.SetMaxWaitMilliseconds(5000);
        const double c0 = CpuSeconds();
        in.Init();
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        std::int64_t bytes = 0;
        while (std::chrono::steady_clock::now() < end) {
            void *buf = nullptr;
            std::uint32_t n = 4096;
            in.GetData(buf, n);
            if (n == 0)
                break;
            bytes += n;
        }
        in.Flush();
        cpu = CpuSeconds() - c0;
        audio = static_cast<double>(bytes) / (in.SampleRate() * in.Channels() * 2.0);
    }
    State.counters["cpu_s"] = cpu;
    State.counters["audio_s"] = audio;
}
BENCHMARK(BM_StreamReceiveCpu)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
