// The two-input mixer: concatenation order and size, block limits, volumes, mixing, the start
// point of the second input, and its refusals.
#include "AuMixer.h"
#include "ConverterTestKit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace convtest;

namespace {

// A 16-bit value after the float round trip: s / 32768 * 32767, rounded to even.
std::int16_t RoundTrip16(std::int32_t s)
{
    const float v = float(s) * (1.0f / 32768.0f);
    return std::int16_t(std::nearbyint(v * 32767.0f));
}

// Distinct 16-bit samples: Count values starting at First, stepping by Step (wrapping).
std::vector<std::uint8_t> Ramp16(std::size_t Count, int First, int Step)
{
    std::vector<std::uint8_t> Out(Count * 2);
    for (std::size_t i = 0; i < Count; ++i) {
        const auto s = std::int16_t((First + int(i) * Step) % 30000);
        std::memcpy(&Out[i * 2], &s, 2);
    }
    return Out;
}

// Pulls the whole mixer with Request bytes per call, checking every block's limit.
std::vector<std::uint8_t> PullChecked(TAudioMixer &M, std::uint32_t Request, std::uint32_t Limit)
{
    std::vector<std::uint8_t> Out;
    M.Init();
    for (;;) {
        void *P = nullptr;
        std::uint32_t Bytes = Request;
        M.GetData(P, Bytes);
        if (Bytes == 0)
            break;
        EXPECT_LE(Bytes, Limit);
        Out.insert(Out.end(), static_cast<std::uint8_t *>(P), static_cast<std::uint8_t *>(P) + Bytes);
    }
    M.Flush();
    return Out;
}

TEST(MixerConcatenate, DeliversInput1ThenInput2WithSizeAndBlockLimit)
{
    const std::vector<std::uint8_t> D1 = Ramp16(20000, 1, 3), D2 = Ramp16(12000, -5000, 7);
    TMemorySource In1(16, 2, 32000, D1, 5000), In2(16, 2, 32000, D2, 3333);
    TAudioMixer M;
    M.SetMode(amConcatenate);
    M.SetInput1(&In1);
    M.SetInput2(&In2);
    M.Init();
    EXPECT_EQ(M.Size(), (20000 + 12000) * 2);
    M.Flush();

    // A request of 100 000 bytes gets at most 4096 samples (8192 bytes).
    const std::vector<std::int16_t> Out = AsInt16(PullChecked(M, 100000, 8192));
    ASSERT_EQ(Out.size(), 32000u);
    const std::vector<std::int16_t> S1 = AsInt16(D1), S2 = AsInt16(D2);
    for (std::size_t i = 0; i < S1.size(); ++i)
        ASSERT_EQ(Out[i], RoundTrip16(S1[i])) << "sample " << i;
    for (std::size_t i = 0; i < S2.size(); ++i)
        ASSERT_EQ(Out[S1.size() + i], RoundTrip16(S2[i])) << "second input, sample " << i;
    EXPECT_EQ(M.Position(), 0); // the mixer keeps no position
    EXPECT_FALSE(M.IsBusy());
    EXPECT_EQ(In1.Closed(), 2);
    EXPECT_EQ(In2.Closed(), 2);
}

TEST(MixerConcatenate, BlockLimitFollowsInput1Width)
{
    std::vector<std::uint8_t> D(3 * 10000, 0x11);
    TMemorySource In1(24, 1, 8000, D), In2(16, 1, 8000, std::vector<std::uint8_t>(5000, 0));
    TAudioMixer M;
    M.SetMode(amConcatenate);
    M.SetInput1(&In1);
    M.SetInput2(&In2);
    // Input2's 16-bit samples come out in Input1's 24-bit width.
    const std::vector<std::uint8_t> Out = PullChecked(M, 100000, 4096 * 3);
    EXPECT_EQ(Out.size(), 3u * 10000 + 3u * 2500);
}

TEST(MixerConcatenate, VolumeZeroSilencesOnlyThatInput)
{
    const std::vector<std::uint8_t> D1 = Ramp16(5000, 100, 11), D2 = Ramp16(3000, 7, 13);
    TMemorySource In1(16, 1, 32000, D1), In2(16, 1, 32000, D2);
    TAudioMixer M;
    M.SetMode(amConcatenate);
    M.SetInput1(&In1);
    M.SetInput2(&In2);
    M.SetVolume1(0);
    EXPECT_EQ(M.Volume2(), 65535);
    const std::vector<std::int16_t> Out = AsInt16(PullChecked(M, 1000, 1000));
    ASSERT_EQ(Out.size(), 8000u);
    for (std::size_t i = 0; i < 5000; ++i)
        ASSERT_EQ(Out[i], 0) << i;
    const std::vector<std::int16_t> S2 = AsInt16(D2);
    for (std::size_t i = 0; i < S2.size(); ++i)
        ASSERT_EQ(Out[5000 + i], RoundTrip16(S2[i])) << i;
}

TEST(MixerMix, AveragesAndTreatsTheShorterInputAsSilence)
{
    const std::vector<std::uint8_t> D1 = Ramp16(6000, 1000, 5), D2 = Ramp16(10000, -3000, 9);
    TMemorySource In1(16, 2, 32000, D1), In2(16, 2, 32000, D2);
    TAudioMixer M;
    M.SetMode(amMix);
    M.SetInput1(&In1);
    M.SetInput2(&In2);
    M.Init();
    EXPECT_EQ(M.Size(), 10000 * 2);
    M.Flush();
    const std::vector<std::int16_t> Out = AsInt16(PullChecked(M, 4096, 8192));
    ASSERT_EQ(Out.size(), 10000u);
    const std::vector<std::int16_t> S1 = AsInt16(D1), S2 = AsInt16(D2);
    for (std::size_t i = 0; i < Out.size(); ++i) {
        const float a = i < S1.size() ? float(S1[i]) / 32768.0f : 0.0f;
        const float b = float(S2[i]) / 32768.0f;
        const auto Want = std::int16_t(std::nearbyint((a + b) / 2.0f * 32767.0f));
        ASSERT_EQ(Out[i], Want) << "sample " << i;
    }
}

TEST(MixerMix, EightBitInputEndingEarlyLeavesSilenceNotFullScale)
{
    // Input1: 1000 samples of 8-bit silence (128); Input2: 3000 samples of 0.5 (192). After
    // Input1 ends, Input2 alone at half level: (0 + 0.5) / 2 = 0.25, i.e. byte 160.
    TMemorySource In1(8, 1, 8000, std::vector<std::uint8_t>(1000, 128));
    TMemorySource In2(8, 1, 8000, std::vector<std::uint8_t>(3000, 192));
    TAudioMixer M;
    M.SetMode(amMix);
    M.SetInput1(&In1);
    M.SetInput2(&In2);
    const std::vector<std::uint8_t> Out = PullChecked(M, 512, 512);
    ASSERT_EQ(Out.size(), 3000u);
    for (std::size_t i = 0; i < Out.size(); ++i)
        ASSERT_EQ(Out[i], 160) << i;
}

TEST(MixerMix, Input2StartsWithTheBlockThatReachesItsStartPoint)
{
    // Stereo, blocks of 4096 samples. Start point 2049 frames = 4098 samples: reached in the
    // second block (4096 < 4098 <= 8192), so Input2 starts at sample 4096.
    const std::vector<std::uint8_t> D1(20000 * 2, 0);
    const std::vector<std::uint8_t> D2 = Ramp16(6000, 2000, 1);
    TMemorySource In1(16, 2, 32000, D1), In2(16, 2, 32000, D2);
    TAudioMixer M;
    M.SetMode(amMix);
    M.SetInput1(&In1);
    M.SetInput2(&In2);
    M.SetInput2StartSample(2049);
    const std::vector<std::int16_t> Out = AsInt16(PullChecked(M, 8192, 8192));
    ASSERT_EQ(Out.size(), 20000u);
    const std::vector<std::int16_t> S2 = AsInt16(D2);
    for (std::size_t i = 0; i < Out.size(); ++i) {
        const bool InTwo = i >= 4096 && i < 4096 + S2.size();
        const float b = InTwo ? float(S2[i - 4096]) / 32768.0f : 0.0f;
        ASSERT_EQ(Out[i], std::int16_t(std::nearbyint(b / 2.0f * 32767.0f))) << i;
    }

    // Input1 ending before the start point ends the data there.
    TMemorySource Short1(16, 2, 32000, std::vector<std::uint8_t>(1000 * 4, 0));
    M.SetInput1(&Short1);
    M.SetInput2StartSample(5000);
    EXPECT_EQ(PullChecked(M, 8192, 8192).size(), 4000u);
}

TEST(Mixer, RefusesMissingInputsAndChangesDuringARun)
{
    TAudioMixer M;
    try {
        M.BitsPerSample();
        ADD_FAILURE();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input not assigned");
    }
    try {
        M.Init();
        ADD_FAILURE();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input1 is not assigned");
    }
    TMemorySource In1(16, 2, 44100, std::vector<std::uint8_t>(400, 1));
    TMemorySource In2(16, 2, 44100, std::vector<std::uint8_t>(400, 2));
    M.SetInput1(&In1);
    EXPECT_EQ(M.SampleRate(), 44100u);
    try {
        M.Init();
        ADD_FAILURE();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input2 is not assigned");
    }
    EXPECT_FALSE(M.IsBusy());

    M.SetInput2(&In2);
    M.Init();
    EXPECT_TRUE(M.IsBusy());
    for (auto Set : {&TAudioMixer::SetInput1, &TAudioMixer::SetInput2}) {
        try {
            (M.*Set)(&In2);
            ADD_FAILURE() << "input changed during a run";
        } catch (const EAuException &E) {
            EXPECT_STREQ(E.what(), "The component is busy.");
        }
    }
    EXPECT_EQ(M.Input1(), &In1);
    M.Flush();
    M.SetInput1(&In2);
    EXPECT_EQ(M.Input1(), &In2);

    // An input that fails to open leaves the mixer idle and the other input closed.
    In2.SetOpenFailure("cannot open");
    M.SetInput1(&In1);
    const int Closed1 = In1.Closed();
    EXPECT_THROW(M.Init(), EAuException);
    EXPECT_FALSE(M.IsBusy());
    EXPECT_EQ(In1.Closed(), Closed1 + 1);
}

TEST(Mixer, ForgetsAnInputThatGoesAway)
{
    TAudioMixer M;
    TMemorySource In1(16, 1, 8000, std::vector<std::uint8_t>(100, 0));
    auto *In2 = new TMemorySource(16, 1, 8000, std::vector<std::uint8_t>(100, 0));
    M.SetInput1(&In1);
    M.SetInput2(In2);
    delete In2;
    EXPECT_EQ(M.Input2(), nullptr);
    EXPECT_EQ(M.Input1(), &In1);
}

} // namespace
