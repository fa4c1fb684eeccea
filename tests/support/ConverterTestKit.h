// Small pieces for testing converters without a sound card: a source that hands out PCM from
// memory in blocks of a chosen size, a pull loop, and PCM/signal helpers.
#pragma once

#include "AuClasses.h"

#include <cstdint>
#include <string>
#include <vector>

namespace convtest {

// An input that hands out Data in blocks of at most MaxBlock bytes (and never more than asked),
// then 0 bytes for ever. Reports the format given and Size = the data length (or ReportedSize
// when set). Counts its openings and closings.
class TMemorySource : public TAuInput {
public:
    TMemorySource(std::uint32_t Bits, std::uint32_t Chans, std::uint32_t Rate,
                  std::vector<std::uint8_t> Data = {}, std::uint32_t MaxBlock = 1u << 30);

    std::uint32_t BitsPerSample() override { return FBits; }
    std::uint32_t Channels() override { return FChans; }
    std::uint32_t SampleRate() override { return FRate; }

    void SetData(std::vector<std::uint8_t> Data) { FData = std::move(Data); }
    // The memory blocks are handed out from.
    const std::uint8_t *DataPtr() const { return FData.data(); }
    void SetReportedSize(std::int64_t Value) { FReportedSize = Value; FHasReportedSize = true; }
    void SetMaxBlock(std::uint32_t Value) { FMaxBlock = Value; }
    // Makes the next openings fail with an EAuException carrying Message ("" opens normally).
    void SetOpenFailure(std::string Message) { FOpenFailure = std::move(Message); }
    int Opened() const { return FOpened; }
    int Closed() const { return FClosed; }
    // The byte counts asked of ProduceBlock, in order.
    const std::vector<std::uint32_t> &Requests() const { return FRequests; }

protected:
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;

private:
    std::uint32_t FBits, FChans, FRate;
    std::vector<std::uint8_t> FData;
    std::uint32_t FMaxBlock;
    std::size_t FRead = 0;
    std::int64_t FReportedSize = 0;
    bool FHasReportedSize = false;
    int FOpened = 0, FClosed = 0;
    std::string FOpenFailure;
    std::vector<std::uint32_t> FRequests;
};

// Init, GetData with Request bytes until 0 bytes come back (collecting every block), Flush.
// Fails the current test if a block is longer than asked.
std::vector<std::uint8_t> PullAll(TAuInput &In, std::uint32_t Request);

// Interleaved 16-bit PCM from floats (value x 32767, rounded, clipped) and back (/ 32768).
std::vector<std::uint8_t> ToPcm16(const std::vector<float> &Samples);
std::vector<float> FromPcm16(const std::vector<std::uint8_t> &Bytes);
std::vector<std::int16_t> AsInt16(const std::vector<std::uint8_t> &Bytes);

// A sine of Frames frames at Freq Hz, amplitude Amp, phase Phase (radians), one channel.
std::vector<float> Sine(double Freq, double Rate, std::size_t Frames, double Amp, double Phase = 0);
// Interleaves equally long channels.
std::vector<float> Interleave(const std::vector<std::vector<float>> &Chans);
// Takes channel Ch of interleaved data with Chans channels.
std::vector<float> Channel(const std::vector<float> &Data, unsigned Chans, unsigned Ch);
// Amplitude of the Freq Hz component of X (least-squares fit of a sine and a cosine).
double ToneAmplitude(const std::vector<float> &X, double Freq, double Rate);
double Rms(const std::vector<float> &X);

} // namespace convtest
