// Pieces the benchmarks share: a source handing out samples from memory, temporary file names
// and processor time.
#pragma once

#include "AuClasses.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>

namespace bench {

// Hands out Size bytes at Data (not copied; they must outlive the source) in blocks of at most
// what is asked and at most MaxBlock bytes, without copying, then 0 bytes. Keeps Position.
class TMemorySource : public TAuInput {
public:
    TMemorySource(std::uint32_t Bits, std::uint32_t Chans, std::uint32_t Rate, const void *Data,
                  std::size_t Size, std::uint32_t MaxBlock = std::numeric_limits<std::uint32_t>::max(),
                  TComponent *AOwner = nullptr)
        : TAuInput(AOwner), FBits(Bits), FChans(Chans), FRate(Rate), FData(static_cast<const std::uint8_t *>(Data)),
          FDataSize(Size), FMaxBlock(MaxBlock)
    {
    }
    std::uint32_t BitsPerSample() override { return FBits; }
    std::uint32_t Channels() override { return FChans; }
    std::uint32_t SampleRate() override { return FRate; }

protected:
    void OpenSource() override
    {
        FRead = 0;
        FPosition = 0;
        FSize = static_cast<std::int64_t>(FDataSize);
        Busy = true;
    }
    void CloseSource() override { Busy = false; }
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override
    {
        const std::size_t N = std::min<std::size_t>({Bytes, FMaxBlock, FDataSize - FRead});
        Buffer = const_cast<std::uint8_t *>(FData + FRead);
        Bytes = static_cast<std::uint32_t>(N);
        FRead += N;
        FPosition += static_cast<std::int64_t>(N);
    }

private:
    std::uint32_t FBits, FChans, FRate;
    const std::uint8_t *FData;
    std::size_t FDataSize;
    std::uint32_t FMaxBlock;
    std::size_t FRead = 0;
};

// A name in the system's temporary folder that no other benchmark process uses.
inline std::filesystem::path TempPath(const std::string &Name)
{
    return std::filesystem::temp_directory_path() / ("fonolux-bench-" + std::to_string(getpid()) + "-" + Name);
}

// User + system processor time in seconds: RUSAGE_SELF for this process (all its threads),
// RUSAGE_CHILDREN for the commands it has run and waited for.
inline double CpuSeconds(int Who = RUSAGE_SELF)
{
    rusage U{};
    getrusage(Who, &U);
    return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
           static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

// Runs Command through the shell once per iteration; a failing run skips the benchmark with
// Failure. Returns the command's processor time per run (user + system, counted as the
// children's: the benchmark's own CPU column only sees this process).
inline double RunCommandPerIteration(benchmark::State &State, const std::string &Command, const char *Failure)
{
    const double Before = CpuSeconds(RUSAGE_CHILDREN);
    for (auto _ : State) {
        if (std::system(Command.c_str()) != 0) {
            State.SkipWithError(Failure);
            break;
        }
    }
    return (CpuSeconds(RUSAGE_CHILDREN) - Before) / static_cast<double>(State.iterations());
}

// Reports AudioSeconds per iteration as the speed relative to real time ("x_realtime").
inline void SetRealTimeSpeed(benchmark::State &State, double AudioSeconds)
{
    State.counters["x_realtime"] =
        benchmark::Counter(AudioSeconds * static_cast<double>(State.iterations()), benchmark::Counter::kIsRate);
}

// A stereo 44100 Hz MP3 at 128 kbit/s of a 440 Hz tone with a little pink noise, Seconds long,
// made with ffmpeg under the temporary folder (aborts when ffmpeg fails); $FONOLUX_BENCH_MP3,
// when set, names a file to use instead.
inline std::filesystem::path ToneMp3(const std::string &Name, int Seconds)
{
    if (const char *given = std::getenv("FONOLUX_BENCH_MP3"))
        return given;
    const auto p = TempPath(Name);
    const std::string length = std::to_string(Seconds);
    const std::string cmd = "ffmpeg -v error -y -f lavfi -i 'sine=frequency=440:sample_rate=44100:duration=" + length +
                            "' -f lavfi -i 'anoisesrc=c=pink:r=44100:a=0.1:d=" + length +
                            "' -filter_complex amerge=inputs=2 -ac 2 -c:a libmp3lame -b:a 128k '" + p.string() + "'";
    if (std::system(cmd.c_str()) != 0)
        std::abort();
    return p;
}

} // namespace bench
