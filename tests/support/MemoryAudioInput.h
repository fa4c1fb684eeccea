// A source that hands out a byte array in blocks, for tests of outputs. It can stall once (sleep
// inside a read, as a network source waiting for data would), records the pause, resume and
// jump notices it gets, and moves by per-mille jumps like a file input.
#pragma once

#include "AuClasses.h"

#include <atomic>
#include <cstdint>
#include <vector>

class TMemoryAudioInput : public TAuInput {
public:
    TMemoryAudioInput(std::vector<std::uint8_t> Data, std::uint32_t Bits, std::uint32_t Chan,
                      std::uint32_t Rate, TComponent *AOwner = nullptr);

    std::uint32_t BitsPerSample() override { return FBits; }
    std::uint32_t Channels() override { return FChan; }
    std::uint32_t SampleRate() override { return FRate; }

    // The largest block one read hands out (0: as much as asked).
    void SetBlockBytes(std::uint32_t Value) { FBlockBytes = Value; }
    // The first read at or after byte At sleeps Ms milliseconds first (once per run).
    void StallAt(std::int64_t At, std::uint32_t Ms)
    {
        FStallAt = At;
        FStallMs = Ms;
    }

    void _Pause() override { ++Pauses; }
    void _Resume() override { ++Resumes; }
    // Moves the read position by Offs per mille of the length (whole frames, clamped).
    void _Jump(std::int32_t Offs) override;

    std::atomic<int> Pauses{0}, Resumes{0}, Jumps{0};
    std::atomic<int> Opens{0}, Closes{0};

protected:
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;

private:
    std::vector<std::uint8_t> FData;
    std::uint32_t FBits, FChan, FRate;
    std::uint32_t FBlockBytes = 0;
    std::int64_t FStallAt = -1;
    std::uint32_t FStallMs = 0;
    bool FStalled = false;
    std::size_t FPos = 0; // under DataCS
};
