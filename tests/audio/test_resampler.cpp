// The fast resampler as a component: chunk sizes, pass-through, its response on tones and DC,
// channel separation, sample widths, and its refusals.
#include "AuConverters.h"
#include "ConverterTestKit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

using namespace convtest;

namespace {

struct TRun {
    std::vector<std::uint8_t> Out;
    std::int64_t Size = 0;
    std::int64_t Position = 0;
};

TRun Resample(TMemorySource &Src, std::uint32_t OutRate, std::uint32_t Request = 4096)
{
    TFastResampler R;
    R.SetInput(&Src);
    R.SetOutSampleRate(OutRate);
    TRun Run;
    R.Init();
    Run.Size = R.Size();
    R.Flush();
    Run.Out = PullAll(R, Request);
    Run.Position = R.Position();
    return Run;
}

// Floats in -1..1 as PCM of the given width (8-bit unsigned, others signed, little-endian).
std::vector<std::uint8_t> Encode(const std::vector<float> &X, unsigned Bits)
{
    std::vector<std::uint8_t> Out;
    for (float v : X) {
        switch (Bits) {
        case 8:
            Out.push_back(std::uint8_t(std::lround(v * 127.0) + 128));
            break;
        case 16: {
            const auto s = std::int16_t(std::lround(v * 32767.0));
            Out.push_back(std::uint8_t(s & 0xFF));
            Out.push_back(std::uint8_t((s >> 8) & 0xFF));
            break;
        }
        case 24: {
            const long s = std::lround(v * 8388607.0);
            for (int k = 0; k < 3; ++k)
                Out.push_back(std::uint8_t((s >> (8 * k)) & 0xFF));
            break;
        }
        default: {
            const auto s = std::int32_t(std::llround(double(v) * 2147483647.0));
            for (int k = 0; k < 4; ++k)
                Out.push_back(std::uint8_t((std::uint32_t(s) >> (8 * k)) & 0xFF));
        }
        }
    }
    return Out;
}

std::vector<float> Decode(const std::vector<std::uint8_t> &B, unsigned Bits)
{
    std::vector<float> Out;
    const std::size_t W = Bits / 8;
    for (std::size_t i = 0; i + W <= B.size(); i += W) {
        switch (Bits) {
        case 8:
            Out.push_back((float(B[i]) - 128.0f) / 128.0f);
            break;
        case 16:
            Out.push_back(float(std::int16_t(B[i] | (B[i + 1] << 8))) / 32768.0f);
            break;
        case 24: {
            std::int32_t s = B[i] | (B[i + 1] << 8) | (B[i + 2] << 16);
            if (s & 0x800000)
                s -= 0x1000000;
            Out.push_back(float(s) / 8388608.0f);
            break;
        }
        default: {
            std::uint32_t u = 0;
            std::memcpy(&u, &B[i], 4);
            Out.push_back(float(double(std::int32_t(u)) / 2147483648.0));
        }
        }
    }
    return Out;
}

std::vector<float> Settled(const std::vector<float> &X, std::size_t Skip)
{
    return std::vector<float>(X.begin() + long(std::min(Skip, X.size())), X.end());
}

struct TChunkCase {
    std::uint32_t InRate;
    std::uint32_t FramesPerChunkIn;
    std::uint32_t FramesPerChunkOut;
};

class ResamplerChunks : public ::testing::TestWithParam<TChunkCase> {};

TEST_P(ResamplerChunks, FullChunksGiveTheirFrameCount)
{
    const TChunkCase C = GetParam();
    const std::size_t Frames = 3 * std::size_t(C.FramesPerChunkIn);
    // Stereo 16-bit, handed out by the source in odd-sized pieces and read in odd requests.
    TMemorySource Src(16, 2, C.InRate, ToPcm16(Interleave({Sine(440, C.InRate, Frames, 0.3),
                                                           Sine(880, C.InRate, Frames, 0.3)})),
                      777);
    const TRun Run = Resample(Src, 32000, 1001);
    EXPECT_EQ(Run.Out.size(), 3u * C.FramesPerChunkOut * 4);
    EXPECT_EQ(Run.Position, std::int64_t(Run.Out.size()));
    // Size: the input's scaled by OFrames / IFrames, in whole frames.
    EXPECT_EQ(Run.Size, std::llround(3.0 * 6400.0) * 4);
    // Opened once to read Size and once for the pull; closed as often.
    EXPECT_EQ(Src.Opened(), 2);
    EXPECT_EQ(Src.Closed(), 2);
}

INSTANTIATE_TEST_SUITE_P(RatePairs, ResamplerChunks,
                         ::testing::Values(TChunkCase{44100, 8820, 6400},
                                           TChunkCase{48000, 9600, 6400},
                                           // The hold counter restarts in every chunk, so an
                                           // up-sampled chunk is one frame short.
                                           TChunkCase{22050, 4410, 6399},
                                           TChunkCase{16000, 3200, 6399}));

TEST(Resampler, ShortLastChunkIsResampledAndSizeIsWholeFrames)
{
    // 8820 + 100 frames at 44100: 6400 + ceil(100 * 6400 / 8820) = 6473 frames come out.
    const std::size_t Frames = 8920;
    TMemorySource Src(16, 2, 44100, ToPcm16(std::vector<float>(Frames * 2, 0.1f)));
    const TRun Run = Resample(Src, 32000);
    EXPECT_EQ(Run.Out.size(), 6473u * 4);
    EXPECT_EQ(Run.Size % 4, 0);
    EXPECT_EQ(Run.Size, 6473 * 4);

    // 4410 + 100 frames at 22050: 6399 + floor(99 * 6400 / 4410) + 1 = 6543.
    TMemorySource Up(16, 2, 22050, ToPcm16(std::vector<float>(4510 * 2, 0.1f)));
    const TRun UpRun = Resample(Up, 32000);
    EXPECT_EQ(UpRun.Out.size(), 6543u * 4);
    EXPECT_EQ(UpRun.Size % 4, 0);
}

TEST(Resampler, EqualChunkSizesPassThroughByteForByte)
{
    std::vector<std::uint8_t> Data(30001);
    for (std::size_t i = 0; i < Data.size(); ++i)
        Data[i] = std::uint8_t(i * 7 + 3);
    // 32004 / 5 = 6400 = 32000 / 5: the same chunk size, so no conversion.
    for (std::uint32_t Rate : {32000u, 32004u}) {
        TMemorySource Src(24, 1, Rate, Data, 1000);
        TFastResampler R;
        R.SetInput(&Src);
        R.SetOutSampleRate(32000);
        EXPECT_EQ(R.SampleRate(), 32000u);
        EXPECT_EQ(R.BitsPerSample(), 24u);
        R.Init();
        EXPECT_EQ(R.Size(), std::int64_t(Data.size()));
        // The block handed out is the source's own.
        void *P = nullptr;
        std::uint32_t Bytes = 500;
        R.GetData(P, Bytes);
        EXPECT_EQ(Bytes, 500u);
        EXPECT_EQ(P, Src.DataPtr());
        R.Flush();
        EXPECT_EQ(PullAll(R, 333), Data) << Rate;
    }
}

TEST(Resampler, DownSamplingKeepsPassbandAndRemovesWhatWouldAlias)
{
    const double InRate = 44100;
    const std::size_t Frames = 44100;
    // Left: 1 kHz, right: a tone above the output's Nyquist frequency.
    for (double High : {16500.0, 20000.0}) {
        TMemorySource Src(16, 2, 44100,
                          ToPcm16(Interleave({Sine(1000, InRate, Frames, 0.5),
                                              Sine(High, InRate, Frames, 0.5)})));
        const std::vector<float> Out = FromPcm16(Resample(Src, 32000).Out);
        ASSERT_EQ(Out.size(), 32000u * 2);
        // Skip the first 100 ms while the filter settles.
        const std::vector<float> L = Settled(Channel(Out, 2, 0), 3200);
        const std::vector<float> R = Settled(Channel(Out, 2, 1), 3200);
        const double Level = 20.0 * std::log10(ToneAmplitude(L, 1000, 32000) / 0.5);
        EXPECT_LT(std::abs(Level), 1.0) << "1 kHz level " << Level << " dB";
        // The filter state runs on across chunk boundaries: no step between neighbouring
        // samples is steeper than the (slightly amplified) tone allows over the largest gap
        // between picked frames, two input frames.
        double Steepest = 0;
        for (std::size_t i = 1; i < L.size(); ++i)
            Steepest = std::max(Steepest, double(std::abs(L[i] - L[i - 1])));
        EXPECT_LT(Steepest, 1.1 * 2.0 * std::numbers::pi * 1000.0 * 2.0 / InRate * 0.5);
        const double Alias = 20.0 * std::log10(Rms(R) * std::sqrt(2.0) / 0.5 + 1e-12);
        EXPECT_LT(Alias, -40.0) << High << " Hz came out at " << Alias << " dB";
    }
}

TEST(Resampler, UpSamplingKeepsPassbandLevel)
{
    for (std::uint32_t InRate : {22050u, 16000u, 8000u}) {
        const std::size_t Frames = InRate;
        TMemorySource Src(16, 1, InRate, ToPcm16(Sine(1000, InRate, Frames, 0.5)));
        const std::vector<float> Out = FromPcm16(Resample(Src, 32000).Out);
        ASSERT_GT(Out.size(), 30000u);
        // An up-sampled chunk is a frame or so short of 200 ms, so the tone comes out a
        // fraction of a hertz high: fit it over short windows.
        const std::vector<float> X = Settled(Out, 3200);
        double Sum = 0;
        int Windows = 0;
        for (std::size_t w = 0; w + 640 <= X.size(); w += 640, ++Windows)
            Sum += ToneAmplitude(std::vector<float>(X.begin() + long(w), X.begin() + long(w) + 640),
                                 1000, 32000);
        const double Level = 20.0 * std::log10(Sum / Windows / 0.5);
        if (InRate == 8000) // 1 kHz sits near a ripple peak of the 3.4 kHz low-pass: four
                            // passes of 5 % ripple allow up to +1.8 dB there.
            EXPECT_TRUE(Level > -0.5 && Level < 1.8) << "8000 Hz: 1 kHz level " << Level << " dB";
        else
            EXPECT_LT(std::abs(Level), 1.0) << InRate << " Hz: 1 kHz level " << Level << " dB";
    }
}

TEST(Resampler, DcSettlesToTheInputLevelOnEveryChannelSeparately)
{
    // Eight channels, each with its own constant; both directions.
    const std::int16_t Levels[8] = {8192, -16384, 0, 32767, -32768, 1, 1000, -7};
    for (std::uint32_t InRate : {44100u, 22050u}) {
        std::vector<std::uint8_t> Data;
        for (std::size_t f = 0; f < InRate; ++f)
            for (std::int16_t v : Levels) {
                Data.push_back(std::uint8_t(v & 0xFF));
                Data.push_back(std::uint8_t((v >> 8) & 0xFF));
            }
        TMemorySource Src(16, 8, InRate, Data);
        const std::vector<std::int16_t> Out = AsInt16(Resample(Src, 32000).Out);
        ASSERT_GT(Out.size(), 8u * 30000);
        // Last half second: every channel sits on its own level (the float round trip may
        // shrink it by one step; full scale is clipped back to 32767 / -32767).
        for (std::size_t f = Out.size() / 8 - 16000; f < Out.size() / 8; ++f)
            for (unsigned ch = 0; ch < 8; ++ch) {
                const int Want = std::max<int>(Levels[ch], -32767);
                ASSERT_NEAR(Out[f * 8 + ch], Want, 1) << InRate << " Hz, channel " << ch;
            }
    }
}

TEST(Resampler, SilentChannelStaysExactlySilentBesideALoudOne)
{
    for (std::uint32_t InRate : {48000u, 16000u}) {
        const std::size_t Frames = InRate / 2;
        std::vector<float> Loud = Sine(3000, InRate, Frames, 0.9);
        std::vector<float> Quiet(Frames, 0.0f);
        for (bool LoudLeft : {true, false}) {
            TMemorySource Src(16, 2, InRate,
                              ToPcm16(LoudLeft ? Interleave({Loud, Quiet}) : Interleave({Quiet, Loud})));
            const std::vector<std::int16_t> Out = AsInt16(Resample(Src, 32000).Out);
            ASSERT_FALSE(Out.empty());
            bool Heard = false, Leaked = false;
            for (std::size_t i = 0; i < Out.size(); i += 2) {
                const std::int16_t L = Out[i], R = Out[i + 1];
                Heard |= (LoudLeft ? L : R) != 0;
                Leaked |= (LoudLeft ? R : L) != 0;
            }
            EXPECT_TRUE(Heard);
            EXPECT_FALSE(Leaked) << InRate << (LoudLeft ? " left loud" : " right loud");
        }
    }
}

TEST(Resampler, AllSampleWidthsTakeTheSamePath)
{
    const std::size_t Frames = 22050;
    const std::vector<float> Signal = Interleave({Sine(1000, 44100, Frames, 0.6),
                                                  Sine(2500, 44100, Frames, 0.4, 1.0)});
    std::vector<std::vector<float>> Results;
    for (unsigned Bits : {32u, 24u, 16u, 8u}) {
        TMemorySource Src(Bits, 2, 44100, Encode(Signal, Bits));
        TFastResampler Probe;
        Probe.SetInput(&Src);
        EXPECT_EQ(Probe.BitsPerSample(), Bits);
        const TRun Run = Resample(Src, 32000);
        EXPECT_EQ(Run.Out.size(), 2u * 16000 * (Bits / 8)) << Bits;
        Results.push_back(Decode(Run.Out, Bits));
    }
    // The 32-bit result is the reference; each narrower width differs by its quantisation.
    const double Tolerance[] = {0.0, 1e-6, 1e-4, 0.04};
    for (std::size_t k = 1; k < Results.size(); ++k) {
        ASSERT_EQ(Results[k].size(), Results[0].size());
        double Worst = 0;
        for (std::size_t i = 0; i < Results[0].size(); ++i)
            Worst = std::max(Worst, double(std::abs(Results[k][i] - Results[0][i])));
        EXPECT_LT(Worst, Tolerance[k]) << "width #" << k;
    }
    EXPECT_GT(Rms(Results[0]), 0.3);
}

TEST(Resampler, RequestSizesAndRunsDoNotChangeTheOutput)
{
    const std::size_t Frames = 20000;
    TMemorySource Src(16, 2, 44100, ToPcm16(Interleave({Sine(700, 44100, Frames, 0.7),
                                                        Sine(5000, 44100, Frames, 0.7)})));
    TFastResampler R;
    R.SetInput(&Src);
    R.SetOutSampleRate(32000);
    const std::vector<std::uint8_t> First = PullAll(R, 4096);
    // A second run starts from silent filter history again, so it repeats the first exactly,
    // whatever the request sizes.
    EXPECT_EQ(PullAll(R, 1), First);
    Src.SetMaxBlock(13);
    EXPECT_EQ(PullAll(R, 100000), First);
}

TEST(Resampler, RefusesWhatItCannotDo)
{
    TFastResampler R;
    R.SetOutSampleRate(32000);
    for (auto Call : {+[](TFastResampler &X) { X.BitsPerSample(); },
                      +[](TFastResampler &X) { X.Channels(); },
                      +[](TFastResampler &X) { X.SampleRate(); },
                      +[](TFastResampler &X) { X.Init(); }}) {
        try {
            Call(R);
            ADD_FAILURE() << "no exception";
        } catch (const EAuException &E) {
            EXPECT_STREQ(E.what(), "Input is not assigned");
        }
    }

    TMemorySource Src(16, 2, 44100, std::vector<std::uint8_t>(4000));
    TFastResampler Closed;
    Closed.SetInput(&Src);
    Closed.SetOutSampleRate(32000);
    void *P = nullptr;
    std::uint32_t Bytes = 100;
    try {
        Closed.GetData(P, Bytes);
        ADD_FAILURE() << "read outside a run";
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "The Stream is not opened");
    }

    // Nine channels or a 12-bit width would overrun the work arrays: refused, source closed.
    TMemorySource Nine(16, 9, 44100, std::vector<std::uint8_t>(4000));
    R.SetInput(&Nine);
    EXPECT_THROW(R.Init(), EAuException);
    EXPECT_EQ(Nine.Opened(), Nine.Closed());
    EXPECT_FALSE(R.IsBusy());
    TMemorySource Odd(12, 2, 44100, std::vector<std::uint8_t>(4000));
    R.SetInput(&Odd);
    EXPECT_THROW(R.Init(), EAuException);
    EXPECT_EQ(Odd.Opened(), Odd.Closed());
    TMemorySource Slow(16, 2, 4, std::vector<std::uint8_t>(4000));
    R.SetInput(&Slow);
    EXPECT_THROW(R.Init(), EAuException);
}

} // namespace
