// Saving a 10-minute stretch (minutes 25 to 35) of an hour-long MP3 file (128 kbit/s, 44100 Hz
// stereo) in the trimmer: the window's save call, from the dialog's answer to the finished clip
// in place (seeking the decoder to the stretch, decoding it, encoding it at 128 kbit/s,
// renaming the clip over its name), next to `ffmpeg -ss S -to E -i file -c:a libmp3lame -b:a
// 128k` on the same stretch. Wall time per save and processor time as a counter.
#include "TrimBenchSupport.h"
#include "TrimMain.h"

#include "AuMp3In.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

namespace {

constexpr int From = 25 * 60, To = 35 * 60;

using bench::HourMp3;

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
    std::error_code ec;
    std::filesystem::remove(clip, ec);
}

} // namespace

BENCHMARK(BM_TrimmerSaveStretch)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FFmpegSaveStretch)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

int main(int argc, char **argv)
{
    return bench::RunTrimBenchmarks(argc, argv);
}
