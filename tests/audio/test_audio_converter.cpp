// The channel and bit-depth converter: pass-through, request sizes, channel rules, the byte
// values of the trimmer's waveform form, Size.
#include "AuConverters.h"
#include "ConverterTestKit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

using namespace convtest;

namespace {

std::vector<std::uint8_t> Pcm16(const std::vector<std::int16_t> &S)
{
    std::vector<std::uint8_t> Out(S.size() * 2);
    if (!S.empty())
        std::memcpy(Out.data(), S.data(), Out.size());
    return Out;
}

TEST(AudioConverter, WithoutTargetsPassesBlocksThroughUntouched)
{
    std::vector<std::uint8_t> Data(10001);
    for (std::size_t i = 0; i < Data.size(); ++i)
        Data[i] = std::uint8_t(i * 31);
    TMemorySource Src(24, 2, 44100, Data, 999);
    TAudioConverter C;
    C.SetInput(&Src);
    EXPECT_EQ(C.BitsPerSample(), 24u);
    EXPECT_EQ(C.Channels(), 2u);
    EXPECT_EQ(C.SampleRate(), 44100u);
    C.Init();
    EXPECT_EQ(C.Size(), 10001);
    void *P = nullptr;
    std::uint32_t Bytes = 7; // not even a whole frame: passed on as asked
    C.GetData(P, Bytes);
    EXPECT_EQ(Bytes, 7u);
    EXPECT_EQ(P, Src.DataPtr());
    C.Flush();
    EXPECT_EQ(PullAll(C, 1024), Data);
}

TEST(AudioConverter, StereoSixteenToMonoEightAsksFourTimesTheBytes)
{
    std::vector<std::int16_t> S;
    std::mt19937 Rng(3);
    std::uniform_int_distribution<int> D(-32768, 32767);
    const std::int16_t Edge[] = {-32768, 32767, 0, -1, 1, 255, -256, 128, -129};
    for (std::int16_t l : Edge)
        for (std::int16_t r : Edge) {
            S.push_back(l);
            S.push_back(r);
        }
    while (S.size() < 2 * 20000)
        S.push_back(std::int16_t(D(Rng)));
    TMemorySource Src(16, 2, 44100, Pcm16(S));
    TAudioConverter C;
    C.SetInput(&Src);
    C.SetOutChannels(1);
    C.SetOutBitsPerSample(8);
    EXPECT_EQ(C.Channels(), 1u);
    EXPECT_EQ(C.BitsPerSample(), 8u);

    C.Init();
    EXPECT_EQ(C.Size(), 20000);
    void *P = nullptr;
    std::uint32_t Bytes = 1000;
    C.GetData(P, Bytes);
    EXPECT_EQ(Bytes, 1000u);
    ASSERT_FALSE(Src.Requests().empty());
    EXPECT_EQ(Src.Requests().front(), 4000u);
    C.Flush();

    const std::vector<std::uint8_t> Out = PullAll(C, 1000);
    ASSERT_EQ(Out.size(), 20000u);
    for (std::size_t f = 0; f < Out.size(); ++f) {
        const double l = S[2 * f], r = S[2 * f + 1];
        const int Want = int(std::floor(((l + r) / 65536.0 + 1.0) * 128.0));
        ASSERT_EQ(int(Out[f]), std::min(Want, 255)) << "frame " << f << ": " << l << ", " << r;
    }
}

TEST(AudioConverter, SilenceBecomesByte128)
{
    TMemorySource Src(16, 2, 32000, std::vector<std::uint8_t>(4 * 3000, 0));
    TAudioConverter C;
    C.SetInput(&Src);
    C.SetOutChannels(1);
    C.SetOutBitsPerSample(8);
    const std::vector<std::uint8_t> Out = PullAll(C, 1024);
    ASSERT_EQ(Out.size(), 3000u);
    for (std::uint8_t b : Out)
        ASSERT_EQ(b, 128);
}

TEST(AudioConverter, ConvertsOnlyBetweenMonoAndStereo)
{
    const std::vector<std::int16_t> S = {1000, -2000, 3000, -4000, 5000, -6000};
    // Six channels asked of a stereo input: still stereo, only the width changes.
    {
        TMemorySource Src(16, 2, 32000, Pcm16(S));
        TAudioConverter C;
        C.SetInput(&Src);
        C.SetOutChannels(6);
        C.SetOutBitsPerSample(32);
        EXPECT_EQ(C.Channels(), 2u);
        const std::vector<std::uint8_t> Out = PullAll(C, 4096);
        ASSERT_EQ(Out.size(), S.size() * 4);
        for (std::size_t i = 0; i < S.size(); ++i) {
            std::int32_t v;
            std::memcpy(&v, &Out[i * 4], 4);
            EXPECT_EQ(v, std::lround(double(S[i]) / 32768.0 * 2147483647.0)) << i;
        }
    }
    // Mono to stereo duplicates every value, whatever Mode says.
    for (TMSConverterMode Mode : {msmMonoToBoth, msmMonoToLeft, msmMonoToRight}) {
        TMemorySource Src(16, 1, 32000, Pcm16(S));
        TAudioConverter C;
        C.SetInput(&Src);
        C.SetOutChannels(2);
        C.SetMode(Mode);
        EXPECT_EQ(C.BitsPerSample(), 16u);
        const std::vector<std::int16_t> Out = AsInt16(PullAll(C, 4096));
        ASSERT_EQ(Out.size(), S.size() * 2);
        for (std::size_t i = 0; i < S.size(); ++i) {
            const auto Want = std::int16_t(std::nearbyint(float(S[i]) / 32768.0f * 32767.0f));
            EXPECT_EQ(Out[2 * i], Want);
            EXPECT_EQ(Out[2 * i + 1], Want);
        }
    }
    // More than two input channels are kept as they are.
    TMemorySource Six(16, 6, 32000, std::vector<std::uint8_t>(12 * 10, 0));
    TAudioConverter C;
    C.SetInput(&Six);
    C.SetOutChannels(1);
    EXPECT_EQ(C.Channels(), 6u);
}

TEST(AudioConverter, SizeIsScaledAndCutToWholeFrames)
{
    TMemorySource Src(16, 2, 32000, std::vector<std::uint8_t>(4002, 0));
    TAudioConverter C;
    C.SetInput(&Src);
    C.SetOutChannels(1);
    C.SetOutBitsPerSample(24);
    C.Init();
    // 4002 x 24 / 32 = 3001.5, rounded and cut to frames of 3 bytes.
    EXPECT_EQ(C.Size(), 3000);
    C.Flush();
    Src.SetReportedSize(-1);
    C.Init();
    EXPECT_EQ(C.Size(), -1);
    C.Flush();
}

TEST(AudioConverter, RefusesAMissingInputAndWidthsItCannotWrite)
{
    TAudioConverter C;
    EXPECT_EQ(C.BitsPerSample(), 0u);
    EXPECT_EQ(C.Channels(), 0u);
    EXPECT_EQ(C.SampleRate(), 0u);
    try {
        C.Init();
        ADD_FAILURE();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input is not assigned");
    }
    // A 4-bit target would divide by a zero sample width: refused, input closed again.
    TMemorySource Src(16, 2, 32000, std::vector<std::uint8_t>(400, 0));
    C.SetInput(&Src);
    C.SetOutBitsPerSample(4);
    EXPECT_THROW(C.Init(), EAuException);
    EXPECT_EQ(Src.Opened(), Src.Closed());
    EXPECT_FALSE(C.IsBusy());
}

} // namespace
