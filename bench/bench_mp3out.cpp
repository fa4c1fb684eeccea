// Encoding speed of TMP3Out: 10 minutes of 44.1 kHz stereo 16-bit PCM from memory to an MP3
// file at 192 kbit/s CBR, next to the lame command encoding the same samples from a WAV file
// with "-b 192 --cbr". Both write into the system's temporary folder. Reported as wall time
// per encode and as the speed relative to real time ("x_realtime").
#include "AuLame.h"
#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned Rate = 44100;
constexpr unsigned Seconds = 600;

// A signal with some of music's complexity: three drifting partials and a little noise.
const std::vector<std::int16_t> &Pcm()
{
    static const std::vector<std::int16_t> pcm = [] {
        std::vector<std::int16_t> v(static_cast<std::size_t>(Rate) * Seconds * 2);
        std::uint32_t noise = 12345;
        double p1 = 0, p2 = 0, p3 = 0;
        for (std::size_t i = 0; i < v.size() / 2; ++i) {
            const double t = static_cast<double>(i) / Rate;
            p1 += 2 * M_PI * (220 + 40 * std::sin(t * 0.5)) / Rate;
            p2 += 2 * M_PI * (660 + 90 * std::sin(t * 0.3)) / Rate;
            p3 += 2 * M_PI * (2500 + 400 * std::sin(t * 0.7)) / Rate;
            noise = noise * 1664525u + 1013904223u;
            const double n = (static_cast<double>(noise >> 16) / 65536.0 - 0.5) * 600;
            const double l = 9000 * std::sin(p1) + 5000 * std::sin(p2) + 2000 * std::sin(p3) + n;
            const double r = 7000 * std::sin(p1 + 0.5) + 6000 * std::sin(p2 * 1.01) + 2500 * std::sin(p3) - n;
            v[2 * i] = static_cast<std::int16_t>(l);
            v[2 * i + 1] = static_cast<std::int16_t>(r);
        }
        return v;
    }();
    return pcm;
}

void BM_TMP3Out_192CBR(benchmark::State &State)
{
    Pcm();
    const auto file = bench::TempPath("out.mp3");
    TComponent owner;
    // The samples, handed out from memory in blocks of up to 16 KiB.
    auto *source = new bench::TMemorySource(16, 2, Rate, Pcm().data(), Pcm().size() * 2, 16384, &owner);
    auto *out = new TMP3Out(&owner);
    out->SetInput(source);
    out->SetBitRate(mbr192);
    out->SetWideFileName(file.u16string());
    for (auto _ : State)
        out->BlockingRun();
    bench::SetRealTimeSpeed(State, Seconds);
    State.counters["mp3_bytes"] = static_cast<double>(std::filesystem::file_size(file));
    std::filesystem::remove(file);
}

void WriteWav(const std::filesystem::path &File)
{
    const auto &pcm = Pcm();
    const std::uint32_t data = static_cast<std::uint32_t>(pcm.size() * 2);
    std::ofstream f(File, std::ios::binary);
    const auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char *>(&v), 4); };
    const auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char *>(&v), 2); };
    f.write("RIFF", 4);
    u32(36 + data);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(2);
    u32(Rate);
    u32(Rate * 4);
    u16(4);
    u16(16);
    f.write("data", 4);
    u32(data);
    f.write(reinterpret_cast<const char *>(pcm.data()), data);
}

void BM_LameCommand_192CBR(benchmark::State &State)
{
    const auto wav = bench::TempPath("in.wav"), mp3 = bench::TempPath("lame.mp3");
    WriteWav(wav);
    const std::string cmd = "lame --quiet -b 192 --cbr '" + wav.string() + "' '" + mp3.string() + "'";
    const double cpu = bench::RunCommandPerIteration(State, cmd, "the lame command failed or is not installed");
    bench::SetRealTimeSpeed(State, Seconds);
    State.counters["cpu_s_per_encode"] = cpu;
    std::error_code ec;
    State.counters["mp3_bytes"] = static_cast<double>(std::filesystem::file_size(mp3, ec));
    std::filesystem::remove(wav, ec);
    std::filesystem::remove(mp3, ec);
}

} // namespace

BENCHMARK(BM_TMP3Out_192CBR)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_LameCommand_192CBR)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
