// CPU cost of playing sound: TDXAudioOut playing 32000 Hz 16-bit stereo from memory (the
// recorder's settings: Latency 500, no prefetch), next to a minimal SDL program that plays the
// same data through a plain callback with the same device block (1024 frames). Both run in
// real time on the driver SDL_AUDIODRIVER names (dummy when unset); the figure to compare is
// cpu_per_wall: user + system CPU of the whole process over wall time.
//
//   SDL_AUDIODRIVER=dummy ./bench_soundout_cpu            (60 s each)
//   FONOLUX_BENCH_SECONDS=10 ./bench_soundout_cpu         (shorter)
#include "AuSoundOut.h"
#include "BenchSupport.h"

#include <SDL.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t Rate = 32000;

int Seconds()
{
    const char *S = std::getenv("FONOLUX_BENCH_SECONDS");
    return S ? std::max(1, std::atoi(S)) : 60;
}

std::vector<std::uint8_t> MakeData(int Secs)
{
    std::vector<std::uint8_t> D(static_cast<std::size_t>(Secs) * Rate * 4);
    std::uint32_t X = 1;
    for (auto &B : D) {
        X = X * 1664525u + 1013904223u;
        B = static_cast<std::uint8_t>(X >> 24);
    }
    return D;
}

// Context switches of the whole process (every thread wake-up is one).
double Switches()
{
    rusage U{};
    getrusage(RUSAGE_SELF, &U);
    return static_cast<double>(U.ru_nvcsw + U.ru_nivcsw);
}

// Times Body and reports user + system CPU over wall time.
template <class F> void Measure(benchmark::State &State, F Body)
{
    for (auto _ : State) {
        const double Cpu0 = bench::CpuSeconds();
        const double Sw0 = Switches();
        const auto T0 = std::chrono::steady_clock::now();
        Body();
        const double Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
        const double Cpu = bench::CpuSeconds() - Cpu0;
        State.SetIterationTime(Wall);
        State.counters["wall_s"] = Wall;
        State.counters["cpu_s"] = Cpu;
        State.counters["cpu_per_wall"] = Cpu / Wall;
        State.counters["switches_per_s"] = (Switches() - Sw0) / Wall;
    }
}

// The peer: SDL's callback copies straight from memory.
struct Plain {
    const std::vector<std::uint8_t> *Data;
    std::size_t Pos = 0;
};

void SDLCALL PlainCallback(void *UserData, Uint8 *Stream, int Len)
{
    auto *P = static_cast<Plain *>(UserData);
    const std::size_t N = std::min<std::size_t>(static_cast<std::size_t>(Len), P->Data->size() - P->Pos);
    std::memcpy(Stream, P->Data->data() + P->Pos, N);
    std::memset(Stream + N, 0, static_cast<std::size_t>(Len) - N);
    P->Pos += N;
}

void BM_MinimalSdlCallback(benchmark::State &State)
{
    const auto Data = MakeData(Seconds());
    Measure(State, [&] {
        SDL_InitSubSystem(SDL_INIT_AUDIO);
        Plain P{&Data};
        SDL_AudioSpec Want{};
        Want.freq = Rate;
        Want.format = AUDIO_S16LSB;
        Want.channels = 2;
        Want.samples = 1024;
        Want.callback = PlainCallback;
        Want.userdata = &P;
        const SDL_AudioDeviceID Dev = SDL_OpenAudioDevice(nullptr, 0, &Want, nullptr, 0);
        if (Dev == 0) {
            State.SkipWithError(SDL_GetError());
            return;
        }
        SDL_PauseAudioDevice(Dev, 0);
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            SDL_LockAudioDevice(Dev);
            const bool Done = P.Pos >= Data.size();
            SDL_UnlockAudioDevice(Dev);
            if (Done)
                break;
        }
        SDL_CloseAudioDevice(Dev);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    });
}

void BM_DXAudioOut(benchmark::State &State)
{
    const auto Data = MakeData(Seconds());
    bench::TMemorySource In(16, 2, Rate, Data.data(), Data.size());
    Measure(State, [&] {
        TDXAudioOut Out;
        Out.SetLatency(500);
        Out.SetPrefetchData(State.range(0) != 0);
        Out.SetInput(&In);
        Out.Run();
        while (Out.Status() != tosIdle)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!Out.ExceptionMessage().empty())
            State.SkipWithError(Out.ExceptionMessage().c_str());
        State.counters["underruns"] = Out.Underruns();
    });
}

// What an output costs without playing: the process's event thread (which wakes every 100 ms)
// and the main thread's polling, for the same time.
void BM_IdleOutput(benchmark::State &State)
{
    const int Secs = Seconds();
    Measure(State, [&] {
        TDXAudioOut Out;
        const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(Secs);
        while (std::chrono::steady_clock::now() < End && Out.Status() == tosIdle)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
}

} // namespace

BENCHMARK(BM_IdleOutput)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_MinimalSdlCallback)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_DXAudioOut)->Arg(0)->Arg(1)->ArgName("prefetch")->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
