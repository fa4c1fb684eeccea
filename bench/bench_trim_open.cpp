// Opening an hour-long MP3 file in the trimmer (128 kbit/s, 44100 Hz stereo): the window's open
// call, from the dialog's answer to the drawn picture (reading the file into memory, decoding it
// to 8-bit mono through the converter, one value pair per column, drawing the columns), next to
// `ffmpeg -i file -f null -` decoding the same file. Wall time per open, processor time as a
// counter, and the process's peak resident size after the opens.
#include "TrimBenchSupport.h"
#include "TrimMain.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <filesystem>
#include <string>

namespace {


using bench::HourMp3;

void BM_TrimmerOpenAndDraw(benchmark::State &State)
{
    TTrimFileDialog::ExecuteHook = [](TTrimFileDialog &d) {
        d.FileName = QString::fromStdString(HourMp3().string());
        return true;
    };
    TForm1 form;
    const double before = bench::CpuSeconds();
    for (auto _ : State) {
        form.Button1Click();
        if (form.OpenedFile().isEmpty()) {
            State.SkipWithError("the trimmer did not open the file");
            break;
        }
    }
    State.counters["cpu_s_per_open"] = (bench::CpuSeconds() - before) / static_cast<double>(State.iterations());
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    State.counters["peak_rss_MiB"] = static_cast<double>(u.ru_maxrss) / 1024.0;
    bench::SetRealTimeSpeed(State, bench::HourSeconds);
    TTrimFileDialog::ExecuteHook = {};
}

void BM_FFmpegDecodeToNull(benchmark::State &State)
{
    const std::string cmd = "ffmpeg -v error -nostdin -i '" + HourMp3().string() + "' -f null -";
    const double cpu = bench::RunCommandPerIteration(State, cmd, "the ffmpeg command failed or is not installed");
    State.counters["cpu_s_per_open"] = cpu;
    bench::SetRealTimeSpeed(State, bench::HourSeconds);
}

} // namespace

BENCHMARK(BM_TrimmerOpenAndDraw)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FFmpegDecodeToNull)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

int main(int argc, char **argv)
{
    return bench::RunTrimBenchmarks(argc, argv);
}
