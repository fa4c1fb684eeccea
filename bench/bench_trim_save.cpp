// Saving a 10-minute stretch (minutes 25 to 35) of an hour-long MP3 file (128 kbit/s, 44100 Hz
// stereo) in the trimmer: the window's save call, from the dialog's answer to the finished clip
// in place (seeking the decoder to the stretch, decoding it, encoding it at 128 kbit/s,
// renaming the clip over its name), next to `ffmpeg -ss S -to E -i file -c:a libmp3lame -b:a
// 128k` on the same stretch; and the save without re-encoding next to `ffmpeg -ss S -to E -i
// file -c copy`. Wall time per save and processor time as counters, and for each clip where
// FFmpeg's decode of it starts against the source (start_err, samples; positive: late) and
// how much longer it is than the stretch (length_err, samples).
#include "TrimBenchSupport.h"
#include "TrimMain.h"

#include "AuMp3In.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int From = 25 * 60, To = 35 * 60;

using bench::HourMp3;

constexpr long Rate = 44100;

// FFmpeg's decode of File as interleaved stereo floats: Seconds from At (all when Seconds is 0).
std::vector<float> decodeFloats(const std::filesystem::path &File, double At = 0, double Seconds = 0)
{
    std::string cmd = "ffmpeg -v error -nostdin -i '" + File.string() + "'";
    if (Seconds > 0)
        cmd += " -ss " + std::to_string(At) + " -t " + std::to_string(Seconds);
    cmd += " -f f32le -c:a pcm_f32le -ac 2 -";
    std::vector<float> out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    std::array<float, 16384> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), sizeof(float), buf.size(), p)) > 0)
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(n));
    pclose(p);
    return out;
}

// Where Clip starts in the source and how much longer it is than the stretch, by FFmpeg's
// decodes: the clip's pink-noise channel from its 4 096th sample on (past a copy's broken
// start) is matched against the source within ±5 000 samples of the stretch's start.
void ReportErrors(benchmark::State &State, const std::filesystem::path &Clip)
{
    const std::vector<float> clip = decodeFloats(Clip);
    const double lead = 1.0;
    const std::vector<float> src = decodeFloats(HourMp3(), From - lead, 3.0);
    constexpr long Skip = 4096, Len = 8192, Range = 5000;
    if (clip.size() < 2 * (Skip + Len) || src.size() < 2 * static_cast<std::size_t>(lead * Rate + Range + Skip + Len)) {
        State.SkipWithError("could not decode the clip or the source");
        return;
    }
    const long base = static_cast<long>(lead * Rate);
    long best = 0;
    double bestErr = std::numeric_limits<double>::max();
    for (long o = -Range; o <= Range; ++o) {
        double e = 0;
        for (long i = 0; i < Len && e < bestErr; ++i) {
            const double d = clip[2 * (Skip + i) + 1] - src[2 * (base + o + Skip + i) + 1];
            e += d * d;
        }
        if (e < bestErr)
            bestErr = e, best = o;
    }
    State.counters["start_err"] = static_cast<double>(best);
    State.counters["length_err"] = static_cast<double>(static_cast<long>(clip.size() / 2) - (To - From) * Rate);
}

void BM_TrimmerSaveStretch(benchmark::State &State)
{
    const auto clip = bench::TempPath("trimmer-clip.mp3");
    TTrimFileDialog::ExecuteHook = [&clip](TTrimFileDialog &d) {
        d.FileName = QString::fromStdString(clip.string());
        return true;
    };
    TForm1 form({QString::fromStdString(HourMp3().string())});
    // The columns whose frames are minutes 25 and 35 (the start column's share is taken at 99 %).
    const long double T = static_cast<long double>(form.MP3In1->TotalSamples());
    const long double rate = form.MP3In1->SampleRate();
    const double before = bench::CpuSeconds();
    for (auto _ : State) {
        form.SelStart = form.PlayStart = From * rate * form.PictureWidth / (T * 0.99L);
        form.SelEnd = form.PlayEnd = To * rate * form.PictureWidth / T;
        form.Button2Click();
        if (!std::filesystem::exists(clip)) {
            State.SkipWithError("the trimmer wrote no clip");
            break;
        }
    }
    State.counters["cpu_s_per_save"] = (bench::CpuSeconds() - before) / static_cast<double>(State.iterations());
    bench::SetRealTimeSpeed(State, To - From);
    TTrimFileDialog::ExecuteHook = {};
    ReportErrors(State, clip);
    std::error_code ec;
    std::filesystem::remove(clip, ec);
}

// The same stretch saved without re-encoding: the window's call from the dialog's answer to
// the clip in place (indexing the file, cutting, writing and syncing, renaming).
void BM_TrimmerSaveStretchExact(benchmark::State &State)
{
    const auto clip = bench::TempPath("trimmer-exact-clip.mp3");
    TTrimFileDialog::ExecuteHook = [&clip](TTrimFileDialog &d) {
        d.FileName = QString::fromStdString(clip.string());
        return true;
    };
    TForm1 form({QString::fromStdString(HourMp3().string())});
    const long double T = static_cast<long double>(form.MP3In1->TotalSamples());
    const long double rate = form.MP3In1->SampleRate();
    const double before = bench::CpuSeconds();
    for (auto _ : State) {
        form.SelStart = form.PlayStart = From * rate * form.PictureWidth / (T * 0.99L);
        form.SelEnd = form.PlayEnd = To * rate * form.PictureWidth / T;
        form.btnSaveExactClick();
        if (!std::filesystem::exists(clip)) {
            State.SkipWithError("the trimmer wrote no clip");
            break;
        }
    }
    State.counters["cpu_s_per_save"] = (bench::CpuSeconds() - before) / static_cast<double>(State.iterations());
    bench::SetRealTimeSpeed(State, To - From);
    TTrimFileDialog::ExecuteHook = {};
    ReportErrors(State, clip);
    std::error_code ec;
    std::filesystem::remove(clip, ec);
}

void BM_FFmpegSaveStretch(benchmark::State &State)
{
    const auto clip = bench::TempPath("ffmpeg-clip.mp3");
    const std::string cmd = "ffmpeg -v error -nostdin -y -ss " + std::to_string(From) + " -to " + std::to_string(To) +
                            " -i '" + HourMp3().string() + "' -c:a libmp3lame -b:a 128k '" + clip.string() + "'";
    State.counters["cpu_s_per_save"] = bench::RunCommandPerIteration(State, cmd, "the ffmpeg command failed or is not installed");
    bench::SetRealTimeSpeed(State, To - From);
    ReportErrors(State, clip);
    std::error_code ec;
    std::filesystem::remove(clip, ec);
}

void BM_FFmpegCopyStretch(benchmark::State &State)
{
    const auto clip = bench::TempPath("ffmpeg-copy-clip.mp3");
    const std::string cmd = "ffmpeg -v error -nostdin -y -ss " + std::to_string(From) + " -to " + std::to_string(To) +
                            " -i '" + HourMp3().string() + "' -c copy '" + clip.string() + "'";
    State.counters["cpu_s_per_save"] = bench::RunCommandPerIteration(State, cmd, "the ffmpeg command failed or is not installed");
    bench::SetRealTimeSpeed(State, To - From);
    ReportErrors(State, clip);
    std::error_code ec;
    std::filesystem::remove(clip, ec);
}

} // namespace

BENCHMARK(BM_TrimmerSaveStretch)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FFmpegSaveStretch)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TrimmerSaveStretchExact)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_FFmpegCopyStretch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

int main(int argc, char **argv)
{
    return bench::RunTrimBenchmarks(argc, argv);
}
