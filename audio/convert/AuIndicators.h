// The gain indicator: passes its Input's data through unchanged and measures its level.
#pragma once

#include "AuClasses.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// Handler of OnGainData: runs on the window thread and reads GainValue.
using TIndicatorEvent = std::function<void(TComponent *Sender)>;

// A converter that hands out its Input's blocks untouched (same pointer, same length) and, for
// every Interval milliseconds of audio that pass, computes a level figure GainValue:
//   round(20 * log10(10^6 * mean((x[i] - x[i-3])^2) + 1))
// over the interleaved float samples of each block (differences never span two blocks; with
// two channels they are taken across channels). So digital silence gives 0 and full-scale
// input about 132. The interval counts audio time (frames / sample rate), not wall-clock time.
// After each interval, and once more with GainValue 0 when the run is closed, OnGainData is
// posted through the shared event handler as a generic event and so runs on the window thread,
// where it sees the value current at that moment. An interval with no difference summed (only
// blocks of fewer than four samples) reports 0.
//
// Threads: Init, GetData and Flush run on the output's worker (under DataCS). GainValue is
// written there and read lock-free by the window thread. Interval may be changed at any time
// and applies from the next block; OnGainData may be set at any time (its copy is taken under
// a lock of its own). The audio time of an unfinished interval carries over into the next run.
// Position: bytes handed out in the run.
class TFastGainIndicator : public TAuConverter {
public:
    explicit TFastGainIndicator(TComponent *AOwner = nullptr);
    ~TFastGainIndicator() override;

    // Milliseconds of audio per report; default 100.
    std::uint32_t Interval() const { return FInterval.load(std::memory_order_relaxed); }
    void SetInterval(std::uint32_t Value) { FInterval.store(Value, std::memory_order_relaxed); }
    TIndicatorEvent OnGainData() const;
    void SetOnGainData(TIndicatorEvent Value);
    // The last level computed (0 after the run has been closed).
    std::uint16_t GainValue() const { return FGainValue.load(std::memory_order_relaxed); }

protected:
    // Raises "Input is not assigned" without an Input, and "Only mono or stereo soures are
    // supported." for more than two channels (the Input is closed again). An Input without
    // channels, with a sample width other than 8, 16, 24 or 32 bits or without a sample rate
    // is refused the same way with a message of its own.
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;

    double Accum = 0;         // sum of squared differences in the current interval
    std::int64_t Counter = 0; // differences summed
    std::uint32_t FISR = 0;   // the Input's sample rate
    std::atomic<std::uint16_t> FGainValue{0};
    std::atomic<std::uint32_t> FInterval{100};
    std::uint32_t FElapsed = 0; // audio time in the current interval, in 10 us units
    std::vector<float> InBuffer; // the current block as floats; grows to the largest block
    std::uint32_t FBufferSize = 0;
    std::uint16_t FSampleSize = 0;

private:
    void Report();

    mutable std::mutex FHandlerCS;
    TIndicatorEvent FOnGainData; // guarded by FHandlerCS
    std::uint32_t FChannels = 0; // the Input's channels, fixed at opening
};
