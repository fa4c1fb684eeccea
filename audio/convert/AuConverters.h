// Converters that change the shape of the data: the fast resampler (sample rate) and the
// channel and bit-depth converter.
//
// Both are pull converters (see AuClasses.h for the block protocol): the block handed out by
// GetData points into a buffer the converter owns and stays valid until its next GetData,
// ProduceBlock or Flush. Opening (Init), reading (GetData) and closing (Flush) happen on one
// thread at a time - the output's worker, or the window thread for a converter read directly -
// under the converter's DataCS; the Input's own DataCS is taken inside, while it is read.
// Properties are set on the window thread while the converter is closed; they take effect at
// the next opening.
#pragma once

#include "AuClasses.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

// Changes the sample rate of its Input to OutSampleRate, keeping the sample format (8, 16, 24
// or 32 bits) and the channels (1 to 8).
//
// Works on chunks of 200 ms of input: for up-sampling every input frame is held (repeated) to
// the output rate and the result low-passed; for down-sampling the input is low-passed and
// frames are picked. The low-pass is a 4-pole Chebyshev type I filter (5 % ripple, cutoff at
// 85 % of the lower rate's Nyquist frequency) run four times in cascade in single precision,
// with each channel's filter history carried from chunk to chunk within a run. Rates whose
// chunk sizes agree (equal after division by 5) pass through byte for byte.
//
// Size: the Input's Size scaled by the ratio of the chunk sizes and rounded to whole output
// frames (or the Input's 0 / -1).
// Position: the bytes this resampler has handed out in the run (kept by the converter base).
// Each full up-sampled chunk is one output frame short of 200 ms, so the data can end a
// little before Size; a run never delivers more than Size.
class TFastResampler : public TAuConverter {
public:
    explicit TFastResampler(TComponent *AOwner = nullptr);
    ~TFastResampler() override;

    // Hz; no default (0 until set). Set it while the resampler is closed.
    std::uint32_t OutSampleRate() const { return FOutSampleRate.load(std::memory_order_relaxed); }
    void SetOutSampleRate(std::uint32_t Value) { FOutSampleRate.store(Value, std::memory_order_relaxed); }

    // The Input's bits and channels, and OutSampleRate. Raise "Input is not assigned" without
    // an Input.
    std::uint32_t BitsPerSample() override;
    std::uint32_t Channels() override;
    std::uint32_t SampleRate() override;

protected:
    // Raises "Input is not assigned" without an Input. Outside pass-through the Input must have
    // 1 to 8 channels of 8, 16, 24 or 32 bits and both rates must be at least 5 Hz; otherwise
    // the Input is closed again and an EAuException says what is unsupported.
    void OpenSource() override;
    void CloseSource() override;
    // Raises "The Stream is not opened" outside a run (except in pass-through, which hands the
    // request to the Input).
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;

    using TChannelArrays = std::array<std::vector<float>, 8>;

    bool FPassThrough = false;
    std::vector<float> A; // a4, a3, a2, a1, a0
    std::vector<float> B; // b4, b3, b2, b1
    // Per channel: input (X) and output (Y) of filter pass 0..3, each preceded by its history.
    TChannelArrays X0, Y0, X1, Y1, X2, Y2, X3, Y3;
    std::uint32_t IFrames = 0, OFrames = 0; // frames per chunk in and out
    std::uint32_t ISize = 0, OSize = 0;     // bytes per chunk in and out
    std::uint32_t MaxSize = 0;              // FrameSize x MaxFrames
    std::uint32_t MaxFrames = 0;            // frames the work buffers hold
    std::atomic<std::uint32_t> FOutSampleRate{0};
    std::int32_t offsX = 0; // history in front of each X array
    std::int32_t OffsY = 0; // history in front of each Y array
    std::vector<float> InputBuffer;         // the chunk as interleaved floats, in then out
    std::uint16_t SampleSize = 0;           // bytes per sample
    std::uint16_t FrameSize = 0;            // bytes per frame
    std::uint16_t SamplesInFrame = 0;       // channels
    std::vector<std::uint8_t> _Buffer;      // the chunk as integer PCM, in then out

private:
    void MakeChunk(std::uint32_t InBytes);
    void FilterChannels(std::uint32_t Frames);
};

enum TMSConverterMode { msmMonoToBoth, msmMonoToLeft, msmMonoToRight };

// Changes the channels between mono and stereo and the bits per sample (8, 16, 24, 32) of its
// Input, keeping the sample rate. Mono is always spread to both channels (Mode is kept for the
// form but not consulted); stereo becomes the average of the pair. With OutChannels and
// OutBitsPerSample both 0 the Input's blocks pass through untouched.
//
// Size: the Input's size scaled by (out bits x out channels) / (in bits x in channels),
// rounded and cut to whole output frames; -1 when the Input's is negative. Position: bytes
// handed out (converter base).
//
// A request smaller than one output frame gets 0 bytes, which the converter base takes as the
// end of the data: ask for at least one frame.
class TAudioConverter : public TAuConverter {
public:
    explicit TAudioConverter(TComponent *AOwner = nullptr);
    ~TAudioConverter() override;

    TMSConverterMode Mode() const { return FMode.load(std::memory_order_relaxed); }
    void SetMode(TMSConverterMode Value) { FMode.store(Value, std::memory_order_relaxed); }
    // 0 keeps the Input's value.
    std::int32_t OutBitsPerSample() const { return FOutBitsPerSample.load(std::memory_order_relaxed); }
    void SetOutBitsPerSample(std::int32_t Value) { FOutBitsPerSample.store(Value, std::memory_order_relaxed); }
    std::int32_t OutChannels() const { return FOutChannels.load(std::memory_order_relaxed); }
    void SetOutChannels(std::int32_t Value) { FOutChannels.store(Value, std::memory_order_relaxed); }

    // OutBitsPerSample when set, else the Input's (0 without an Input).
    std::uint32_t BitsPerSample() override;
    // 0 without an Input; OutChannels when it and the Input's channels are both 1 or 2;
    // otherwise the Input's channels.
    std::uint32_t Channels() override;

protected:
    // Raises "Input is not assigned" without an Input. Unless passing through, both widths must
    // be 8, 16, 24 or 32 bits and the Input must have channels; otherwise the Input is closed
    // again and an EAuException says what is unsupported.
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;

    std::vector<std::uint8_t> OutBuf; // the converted block handed out
    std::vector<float> FloatBuf;      // work buffer
    std::int32_t OutFrames = 0;       // frames the two buffers hold
    std::int32_t InBytesPerSample = 0;
    std::int32_t OutBytesPerSample = 0;
    std::atomic<TMSConverterMode> FMode{msmMonoToBoth};
    std::atomic<std::int32_t> FOutBitsPerSample{0};
    std::atomic<std::int32_t> FOutChannels{0};
    std::int32_t ICh = 0;  // output channels, fixed at opening
    std::int32_t IBPS = 0; // output bits per sample, fixed at opening

private:
    bool FPassThrough = false;
    std::int32_t FInChannels = 0; // the Input's channels, fixed at opening
};
