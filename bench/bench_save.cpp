// Saving a recording: two 15-minute WMA files as the pre-recording ring writes them (wmav2,
// 256 kbit/s, 32000 Hz stereo) joined and encoded to one 192 kbit/s MP3, through the recorder's
// own save chain (two TWMIn, TAudioMixer in amConcatenate, TMP3Out), next to the ffmpeg command
// doing the same ("concat" filter and libmp3lame at 192k) on the same files. Wall time per save.
// And saving 30 minutes of a 128 kbit/s MP3 station kept as broadcast (the station's frames
// with an Info frame and a tag), next to ffmpeg copying the same stream ("-c copy").
#include "AuLame.h"
#include "AuMedia.h"
#include "AuMixer.h"
#include "BenchSupport.h"
#include "BroadcastFile.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int HalfSeconds = 900;

// The two halves, made once with ffmpeg: chords that drift and a little noise, so the encoders
// have something like music to work on.
const std::filesystem::path &Half(int Which)
{
    static const std::filesystem::path a = bench::TempPath("tempa.wma"), b = bench::TempPath("tempb.wma");
    static const bool made = [] {
        for (const auto *p : {&a, &b}) {
            const std::string cmd =
                "ffmpeg -v error -y -f lavfi -i 'aevalsrc=0.3*sin(2*PI*(220+30*sin(t/3))*t)+0.2*sin(2*PI*660*t)|"
                "0.3*sin(2*PI*(330+20*sin(t/5))*t)+0.1*sin(2*PI*1500*t):s=32000:d=" +
                std::to_string(HalfSeconds) + "' -f lavfi -i 'anoisesrc=a=0.02:r=32000:d=" +
                std::to_string(HalfSeconds) +
                "' -filter_complex amix=inputs=2:normalize=0 -ac 2 -c:a wmav2 -b:a 256k '" + p->string() + "'";
            if (std::system(cmd.c_str()) != 0)
                return false;
        }
        return true;
    }();
    if (!made)
        std::abort();
    return Which == 0 ? a : b;
}

void BM_RecorderSaveChain_192k(benchmark::State &State)
{
    const auto out = bench::TempPath("saved.mp3");
    TComponent owner;
    auto *in1 = new TWMIn(&owner);
    auto *in2 = new TWMIn(&owner);
    for (TWMIn *in : {in1, in2}) {
        in->SetLoop(false);
        in->SetEndSample(-1);
        in->SetHighPrecision(false);
        in->SetOutputChannels(cnMonoOrStereo);
    }
    in1->SetFileName(Half(0).string());
    in2->SetFileName(Half(1).string());
    auto *mixer = new TAudioMixer(&owner);
    mixer->SetMode(amConcatenate);
    mixer->SetVolume1(65535);
    mixer->SetVolume2(65535);
    mixer->SetInput1(in1);
    mixer->SetInput2(in2);
    auto *mp3 = new TMP3Out(&owner);
    mp3->SetInput(mixer);
    mp3->SetBitRate(mbr192);
    mp3->SetWideFileName(out.u16string());
    for (auto _ : State)
        mp3->BlockingRun();
    bench::SetRealTimeSpeed(State, 2 * HalfSeconds);
    State.counters["mp3_bytes"] = static_cast<double>(std::filesystem::file_size(out));
    std::filesystem::remove(out);
}

void BM_FFmpegConcatCommand_192k(benchmark::State &State)
{
    const auto out = bench::TempPath("ffmpeg.mp3");
    const std::string cmd = "ffmpeg -v error -y -i '" + Half(0).string() + "' -i '" + Half(1).string() +
                            "' -filter_complex concat=n=2:v=0:a=1 -c:a libmp3lame -b:a 192k '" + out.string() + "'";
    const double cpu = bench::RunCommandPerIteration(State, cmd, "the ffmpeg command failed or is not installed");
    bench::SetRealTimeSpeed(State, 2 * HalfSeconds);
    State.counters["cpu_s_per_save"] = cpu;
    std::error_code ec;
    State.counters["mp3_bytes"] = static_cast<double>(std::filesystem::file_size(out, ec));
    std::filesystem::remove(out, ec);
}

constexpr int BroadcastSeconds = 1800;

const std::filesystem::path &BroadcastSource()
{
    static const std::filesystem::path p = bench::ToneMp3("broadcast.mp3", BroadcastSeconds);
    return p;
}

void BM_BroadcastSave_128k(benchmark::State &State)
{
    const auto out = bench::TempPath("broadcast-saved.mp3");
    std::vector<std::uint8_t> stream;
    {
        std::FILE *f = std::fopen(BroadcastSource().c_str(), "rb");
        if (!f)
            std::abort();
        std::uint8_t buf[65536];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            stream.insert(stream.end(), buf, buf + n);
        std::fclose(f);
    }
    TBroadcastTags tags;
    tags.Title = "A song";
    tags.Album = "A station";
    const double cpu0 = bench::CpuSeconds();
    for (auto _ : State)
        WriteBroadcastFile(TBroadcastFormat::Mp3, stream, tags, out.string());
    State.counters["cpu_s_per_save"] = (bench::CpuSeconds() - cpu0) / static_cast<double>(State.iterations());
    bench::SetRealTimeSpeed(State, BroadcastSeconds);
    State.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out));
    std::filesystem::remove(out);
}

void BM_FFmpegCopyCommand_128k(benchmark::State &State)
{
    const auto out = bench::TempPath("ffmpeg-copy.mp3");
    const std::string cmd = "ffmpeg -v error -y -i '" + BroadcastSource().string() + "' -c copy '" + out.string() + "'";
    const double cpu = bench::RunCommandPerIteration(State, cmd, "the ffmpeg command failed or is not installed");
    bench::SetRealTimeSpeed(State, BroadcastSeconds);
    State.counters["cpu_s_per_save"] = cpu;
    std::error_code ec;
    State.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out, ec));
    std::filesystem::remove(out, ec);
}

} // namespace

BENCHMARK(BM_BroadcastSave_128k)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_FFmpegCopyCommand_128k)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_RecorderSaveChain_192k)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FFmpegConcatCommand_192k)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Half(0);
    benchmark::RunSpecifiedBenchmarks();
    std::error_code ec;
    std::filesystem::remove(Half(0), ec);
    std::filesystem::remove(Half(1), ec);
    if (!std::getenv("FONOLUX_BENCH_MP3"))
        std::filesystem::remove(BroadcastSource(), ec);
    return 0;
}
