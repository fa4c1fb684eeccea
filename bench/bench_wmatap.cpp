// Recording speed of TWMATap: 10 minutes of 32000 Hz stereo 16-bit PCM pulled from memory
// through a recording tap (256 kbit/s, as the recorder sets it) into a WMA file, next to the
// ffmpeg command encoding the same raw samples with wmav2 at the same bit rate. Reported as
// wall time per file, processor time, and speed relative to real time ("x_realtime").
#include "AuMedia.h"
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned Rate = 32000;
constexpr unsigned Seconds = 600;
constexpr std::uint32_t BlockBytes = 12800; // 0.1 s

const std::vector<std::int16_t> &Pcm()
{
    static const std::vector<std::int16_t> pcm = [] {
        std::vector<std::int16_t> v(static_cast<std::size_t>(Rate) * Seconds * 2);
        std::uint32_t noise = 777;
        double p1 = 0, p2 = 0;
        for (std::size_t i = 0; i < v.size() / 2; ++i) {
            const double t = static_cast<double>(i) / Rate;
            p1 += 2 * M_PI * (300 + 60 * std::sin(t * 0.4)) / Rate;
            p2 += 2 * M_PI * (1800 + 300 * std::sin(t * 0.9)) / Rate;
            noise = noise * 1664525u + 1013904223u;
            const double n = (static_cast<double>(noise >> 16) / 65536.0 - 0.5) * 800;
            v[2 * i] = static_cast<std::int16_t>(9000 * std::sin(p1) + 4000 * std::sin(p2) + n);
            v[2 * i + 1] = static_cast<std::int16_t>(8000 * std::sin(p1 + 1) + 5000 * std::sin(p2) - n);
        }
        return v;
    }();
    return pcm;
}

// Pulls 0.1 s blocks and drops them, as the player at the end of the listening chain would.
class TNullOut : public TAuOutput {
public:
    explicit TNullOut(TComponent *AOwner) : TAuOutput(AOwner) {}
    ~TNullOut() override { ShutDown(); }

protected:
    void PrepareSink() override { FInput->Init(); }
    bool WriteStep(bool Abort) override
    {
        void *buf = nullptr;
        std::uint32_t bytes = BlockBytes;
        FInput->GetData(buf, bytes);
        benchmark::DoNotOptimize(buf);
        return !Abort && bytes > 0;
    }
    void FinishSink() override { FInput->Flush(); }
};

void BM_TWMATap_256k(benchmark::State &State)
{
    Pcm();
    const auto file = bench::TempPath("tap.wma");
    TComponent owner;
    auto *source = new bench::TMemorySource(16, 2, Rate, Pcm().data(), Pcm().size() * 2, UINT32_MAX, &owner);
    auto *tap = new TWMATap(&owner);
    auto *out = new TNullOut(&owner);
    tap->SetInput(source);
    out->SetInput(tap);
    tap->SetDesiredBitrate(256);
    tap->SetFileName(file.string());
    const double cpu = bench::CpuSeconds();
    for (auto _ : State) {
        tap->StartRecord();
        out->BlockingRun(); // the end of the data closes the file (and waits for the writer)
    }
    State.counters["cpu_s_per_file"] = (bench::CpuSeconds() - cpu) / static_cast<double>(State.iterations());
    bench::SetRealTimeSpeed(State, Seconds);
    std::error_code ec;
    State.counters["wma_bytes"] = static_cast<double>(std::filesystem::file_size(file, ec));
    std::filesystem::remove(file, ec);
}

void BM_FFmpegCommand_wmav2_256k(benchmark::State &State)
{
    const auto raw = bench::TempPath("in.raw"), wma = bench::TempPath("ffmpeg.wma");
    {
        std::ofstream f(raw, std::ios::binary);
        f.write(reinterpret_cast<const char *>(Pcm().data()), static_cast<std::streamsize>(Pcm().size() * 2));
    }
    const std::string cmd = "ffmpeg -v error -y -f s16le -ar 32000 -ac 2 -i '" + raw.string() +
                            "' -c:a wmav2 -b:a 256k '" + wma.string() + "'";
    State.counters["cpu_s_per_file"] =
        bench::RunCommandPerIteration(State, cmd, "the ffmpeg command failed or is not installed");
    bench::SetRealTimeSpeed(State, Seconds);
    std::error_code ec;
    State.counters["wma_bytes"] = static_cast<double>(std::filesystem::file_size(wma, ec));
    std::filesystem::remove(raw, ec);
    std::filesystem::remove(wma, ec);
}

} // namespace

BENCHMARK(BM_TWMATap_256k)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FFmpegCommand_wmav2_256k)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
