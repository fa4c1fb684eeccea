// What the trimmer's benchmarks share: the hour-long MP3 they work on and their program entry,
// which runs the benchmarks offscreen with the window-thread dispatcher installed.
#pragma once

#include "BenchSupport.h"
#include "QtWindowDispatcher.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace bench {

constexpr int HourSeconds = 3600;

// The hour-long file (128 kbit/s, 44100 Hz stereo), made once, or $FONOLUX_BENCH_MP3.
inline const std::filesystem::path &HourMp3()
{
    static const std::filesystem::path file = ToneMp3("hour.mp3", HourSeconds);
    return file;
}

// The whole program of a trimmer benchmark: makes the file before timing starts, runs the
// benchmarks and removes the file again unless it was given.
inline int RunTrimBenchmarks(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TQtWindowDispatcherScope dispatcher;
    benchmark::Initialize(&argc, argv);
    HourMp3();
    benchmark::RunSpecifiedBenchmarks();
    if (!std::getenv("FONOLUX_BENCH_MP3")) {
        std::error_code ec;
        std::filesystem::remove(HourMp3(), ec);
    }
    return 0;
}

} // namespace bench
