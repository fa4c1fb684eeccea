// The two-input mixer: joins Input1 and Input2 end to end (amConcatenate) or averages them
// (amMix), each with its own volume.
//
// An input, not a converter: it reads two inputs. Blocks hold at most 4096 samples (all
// channels counted) whatever the caller asks, and point into a buffer the mixer owns, valid
// until its next GetData or Flush. The output always has Input1's format; Input2 must have the
// same channels and sample rate (not checked) and only its sample width is converted. Samples
// pass through single floats, so even at full volume the data takes the integer -> float ->
// integer round trip (a 16-bit 32767 comes out as 32766).
//
// Threads: Input1, Input2, Mode and Input2StartSample are set on the window thread while the
// mixer is idle (the input setters raise "The component is busy." during a run); the volumes
// may change at any time and apply from the next block. Init, GetData and Flush run on the
// output's worker under the mixer's DataCS; each input's GetData takes that input's own lock.
// Position is not advanced (an output reading the mixer shows no progress); IsBusy is true
// during a run.
#pragma once

#include "AuClasses.h"

#include <atomic>
#include <cstdint>
#include <vector>

enum TAudioMixerMode { amMix, amConcatenate };

class TAudioMixer : public TAuInput {
public:
    // Samples (all channels counted) per block at most.
    static constexpr std::uint32_t BlockSamples = 4096;

    explicit TAudioMixer(TComponent *AOwner = nullptr);
    ~TAudioMixer() override;

    TAuInput *Input1() const { return FInput1.load(std::memory_order_acquire); }
    void SetInput1(TAuInput *Value);
    TAuInput *Input2() const { return FInput2.load(std::memory_order_acquire); }
    void SetInput2(TAuInput *Value);

    // 65535 (the default) is full volume; the gain is Volume / 65535.
    std::uint16_t Volume1() const { return FVolume1.load(std::memory_order_relaxed); }
    void SetVolume1(std::uint16_t Value) { FVolume1.store(Value, std::memory_order_relaxed); }
    std::uint16_t Volume2() const { return FVolume2.load(std::memory_order_relaxed); }
    void SetVolume2(std::uint16_t Value) { FVolume2.store(Value, std::memory_order_relaxed); }

    // Default amMix. The recorder sets amConcatenate, to play and save its two pre-recording
    // files as one recording.
    TAudioMixerMode Mode() const { return FMode.load(std::memory_order_relaxed); }
    void SetMode(TAudioMixerMode Value) { FMode.store(Value, std::memory_order_relaxed); }
    // amMix only: the sample frame of Input1 at which Input2 starts (default 0). Input2 starts
    // with the block in which Input1's running count reaches that frame.
    std::int64_t Input2StartSample() const { return FInput2Start.load(std::memory_order_relaxed); }
    void SetInput2StartSample(std::int64_t Value) { FInput2Start.store(Value, std::memory_order_relaxed); }

    // Input1's format; raise "Input not assigned" when Input1 is not set.
    std::uint32_t BitsPerSample() override;
    std::uint32_t Channels() override;
    std::uint32_t SampleRate() override;

protected:
    // Raises "Input1 is not assigned" / "Input2 is not assigned"; a failed opening (also of an
    // input) leaves the mixer idle with both inputs closed. Size: amConcatenate the sum of the
    // two inputs' samples, amMix the larger of Input1's samples and Input2's samples plus the
    // start point (in samples of all channels), in Input1's width; -1 when either input's Size
    // is unknown.
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;
    // Forgets an input that goes away, so the mixer never reads a freed component (a run in
    // progress then treats that input as ended).
    void Notification(TComponent *AComponent, TOperation Operation) override;

    std::atomic<TAuInput *> FInput1{nullptr};
    std::atomic<TAuInput *> FInput2{nullptr};
    bool EndOfInput1 = false;
    bool EndOfInput2 = false;
    std::atomic<std::uint16_t> FVolume1{65535};
    std::atomic<std::uint16_t> FVolume2{65535};
    std::vector<std::uint8_t> InBuf1, InBuf2; // BlockSamples in each input's width
    std::vector<float> FloatBuf1, FloatBuf2;  // BlockSamples floats each
    std::uint8_t BytesPerSample1 = 0;
    std::uint8_t BytesPerSample2 = 0;
    // The mixer's busy flag is the inherited Busy (IsBusy).
    std::atomic<TAudioMixerMode> FMode{amMix};
    std::atomic<std::int64_t> FInput2Start{0};
    std::int64_t SamplesCount = 0; // amMix: samples read from Input1 in this run

private:
    void SetInputChecked(std::atomic<TAuInput *> &Field, TAuInput *Value);
    std::uint32_t ReadSamples(TAuInput *In, bool &Ended, std::uint8_t *Buf, std::uint32_t Samples,
                              std::uint8_t BytesPerSample);
    // amConcatenate: reads up to n samples of In into Buf (BytesPerSample wide), scales them by
    // Gain and writes them into InBuf1 in Input1's width; returns the samples read.
    std::uint32_t ReadScaled(TAuInput *In, bool &Ended, std::uint8_t *Buf, std::uint8_t BytesPerSample,
                             std::uint32_t n, float Gain);
    void Concatenate(void *&Buffer, std::uint32_t &Bytes, std::uint32_t n, float Gain1, float Gain2);
    void Mix(void *&Buffer, std::uint32_t &Bytes, std::uint32_t n, float Gain1, float Gain2);

    std::uint32_t FChannels2 = 0; // Input2's channels, fixed at opening
};
