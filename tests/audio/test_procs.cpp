// Conversions between integer PCM and floats: exhaustive sweeps against independently computed
// references, the boundary values of every width, the clipping write-back and the channel
// helpers.
#include "AuProcs.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();
const float JustBelowOne = std::nextafter(1.0f, 0.0f); // 1 - 2^-24

std::vector<std::uint8_t> Le16(const std::vector<std::int16_t> &V)
{
    std::vector<std::uint8_t> B(V.size() * 2);
    std::memcpy(B.data(), V.data(), B.size());
    return B;
}

std::int16_t Read16(const std::uint8_t *P)
{
    return static_cast<std::int16_t>(P[0] | (P[1] << 8));
}

std::int32_t Read24(const std::uint8_t *P)
{
    std::int32_t V = P[0] | (P[1] << 8) | (P[2] << 16);
    return V >= 0x800000 ? V - 0x1000000 : V;
}

constexpr std::size_t TwentyFourBitValues = 1u << 24;

// Every 24-bit sample, little-endian, in the order of their unsigned bit patterns.
std::vector<std::uint8_t> EveryTwentyFourBitValue()
{
    std::vector<std::uint8_t> B(3 * TwentyFourBitValues);
    for (std::size_t I = 0; I < TwentyFourBitValues; ++I) {
        B[3 * I] = static_cast<std::uint8_t>(I);
        B[3 * I + 1] = static_cast<std::uint8_t>(I >> 8);
        B[3 * I + 2] = static_cast<std::uint8_t>(I >> 16);
    }
    return B;
}

std::int32_t Read32(const std::uint8_t *P)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(P[0]) | (P[1] << 8)
                                     | (P[2] << 16) | (static_cast<std::uint32_t>(P[3]) << 24));
}

// Converts single values with the routine for Width bytes; returns the integers it wrote.
std::vector<std::int64_t> FromFloat(unsigned Width, std::vector<float> Src)
{
    std::vector<std::uint8_t> Out(Src.size() * Width);
    EXPECT_TRUE(ConvertFromFloat(Width, Src.data(), Out.data(), Src.size()));
    std::vector<std::int64_t> R;
    for (std::size_t I = 0; I < Src.size(); ++I) {
        const std::uint8_t *P = Out.data() + I * Width;
        switch (Width) {
        case 1: R.push_back(P[0]); break;
        case 2: R.push_back(Read16(P)); break;
        case 3: R.push_back(Read24(P)); break;
        default: R.push_back(Read32(P)); break;
        }
    }
    return R;
}

} // namespace

// --- integer to float ------------------------------------------------------------------------

TEST(IntegerToFloat, EveryEightAndSixteenBitValueScalesByAPowerOfTwo)
{
    std::vector<std::uint8_t> Bytes(256);
    for (int I = 0; I < 256; ++I)
        Bytes[I] = static_cast<std::uint8_t>(I);
    std::vector<float> F(256);
    ConvertToFloat8(Bytes.data(), F.data(), F.size());
    for (int I = 0; I < 256; ++I)
        ASSERT_EQ(F[I], static_cast<float>((I - 128) / 128.0)) << I;
    EXPECT_EQ(F[0], -1.0f);
    EXPECT_EQ(F[128], 0.0f);
    EXPECT_EQ(F[255], 0.9921875f);

    std::vector<std::int16_t> All;
    for (int S = -32768; S <= 32767; ++S)
        All.push_back(static_cast<std::int16_t>(S));
    const auto B = Le16(All);
    std::vector<float> G(All.size());
    ConvertToFloat16(B.data(), G.data(), G.size());
    for (std::size_t I = 0; I < All.size(); ++I)
        ASSERT_EQ(G[I], static_cast<float>(All[I] / 32768.0)) << All[I];
}

TEST(IntegerToFloat, EveryTwentyFourBitValueIsExactIncludingTheSign)
{
    constexpr std::size_t N = TwentyFourBitValues;
    const std::vector<std::uint8_t> B = EveryTwentyFourBitValue();
    std::vector<float> F(N);
    ConvertToFloat24(B.data(), F.data(), N);
    for (std::size_t I = 0; I < N; ++I) {
        const double S = I < 0x800000 ? double(I) : double(I) - double(N);
        ASSERT_EQ(static_cast<double>(F[I]), S / 8388608.0) << I;
    }
    // Low byte first: 80 00 00 is +128, 00 00 80 the most negative value.
    EXPECT_EQ(F[0x000080], 1.52587890625e-05f);
    EXPECT_EQ(F[0x800000], -1.0f);
    EXPECT_EQ(F[0xFFFFFF], -1.0f / 8388608.0f);
    EXPECT_EQ(F[0x7FFFFF], 8388607.0f / 8388608.0f);
}

TEST(IntegerToFloat, ThirtyTwoBitRoundsToSinglePrecisionTiesToEven)
{
    const std::vector<std::int32_t> In = {0, 1, -1, 16777216, 16777217, 16777219,
        std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
        -16777217, 1073741824};
    std::vector<float> F(In.size());
    ConvertToFloat32(In.data(), F.data(), In.size());
    const double Step = std::ldexp(1.0, -31);
    EXPECT_EQ(F[0], 0.0f);
    EXPECT_EQ(F[1], static_cast<float>(Step));
    EXPECT_EQ(F[2], static_cast<float>(-Step));
    EXPECT_EQ(F[3], static_cast<float>(16777216 * Step));
    EXPECT_EQ(F[4], static_cast<float>(16777216 * Step)); // tie goes to the even neighbour
    EXPECT_EQ(F[5], static_cast<float>(16777220 * Step)); // tie goes to the even neighbour
    EXPECT_EQ(F[6], -1.0f);
    EXPECT_EQ(F[7], 1.0f); // 2^31 - 1 has no single-precision form below 2^31
    EXPECT_EQ(F[8], static_cast<float>(-16777216 * Step));
    EXPECT_EQ(F[9], 0.5f);
}

TEST(IntegerToFloat, ReadsUnalignedBuffersAndWritesExactlyCountValues)
{
    for (unsigned Width = 1; Width <= 4; ++Width) {
        for (std::size_t Count = 0; Count < 40; ++Count) {
            // Byte offset 1 makes every multi-byte sample unaligned.
            std::vector<std::uint8_t> B(1 + Count * Width);
            for (std::size_t I = 0; I < B.size(); ++I)
                B[I] = static_cast<std::uint8_t>(I * 37 + 11);
            std::vector<float> F(Count + 4, 123.0f);
            ASSERT_TRUE(ConvertToFloat(Width, B.data() + 1, F.data(), Count));
            for (std::size_t I = Count; I < F.size(); ++I)
                ASSERT_EQ(F[I], 123.0f) << "width " << Width << " count " << Count;
            for (std::size_t I = 0; I < Count; ++I)
                ASSERT_TRUE(F[I] >= -1.0f && F[I] <= 1.0f);
        }
    }
    float Untouched = 5.0f;
    std::uint8_t Any[8] = {};
    EXPECT_FALSE(ConvertToFloat(5, Any, &Untouched, 1));
    EXPECT_FALSE(ConvertToFloat(0, Any, &Untouched, 1));
    EXPECT_EQ(Untouched, 5.0f);
}

// --- float to integer ------------------------------------------------------------------------

TEST(FloatToInteger, EverySixteenBitValueComesBackShrunkByOnePartIn32768)
{
    std::vector<std::int16_t> All;
    for (int S = -32768; S <= 32767; ++S)
        All.push_back(static_cast<std::int16_t>(S));
    const auto B = Le16(All);
    std::vector<float> F(All.size());
    ConvertToFloat16(B.data(), F.data(), F.size());
    const std::vector<float> Before = F;
    std::vector<std::uint8_t> Out(B.size());
    ConvertFromFloat16(F.data(), Out.data(), F.size());
    EXPECT_EQ(F, Before) << "values inside full scale must stay untouched";
    std::int16_t Previous = -32768;
    for (std::size_t I = 0; I < All.size(); ++I) {
        const int S = All[I];
        // Reference: the product rounded to single precision, then to an integer, ties to even.
        const float Product = static_cast<float>(static_cast<double>(Before[I]) * 32767.0);
        const auto Expected = static_cast<std::int16_t>(std::nearbyint(double(Product)));
        const std::int16_t Got = Read16(Out.data() + 2 * I);
        ASSERT_EQ(Got, Expected) << S;
        ASSERT_LE(std::abs(Got - S), 1) << S;
        ASSERT_GE(Got, Previous) << S;
        Previous = Got;
    }
    EXPECT_EQ(Read16(Out.data() + 2 * (32767 + 32768)), 32766);
    EXPECT_EQ(Read16(Out.data()), -32767);
}

TEST(FloatToInteger, SixteenBitRoundsTiesToEvenOverAFloatSweep)
{
    // Every 251st float in [-1, 1]: many products land exactly on .5.
    std::vector<float> F;
    for (std::uint32_t Bits = 0; Bits <= 0x3F800000u; Bits += 251) {
        F.push_back(std::bit_cast<float>(Bits));
        F.push_back(-std::bit_cast<float>(Bits));
    }
    std::vector<std::uint8_t> Out(F.size() * 2);
    const std::vector<float> Src = F;
    ConvertFromFloat16(F.data(), Out.data(), F.size());
    int Ties = 0;
    for (std::size_t I = 0; I < Src.size(); ++I) {
        const float Product = Src[I] * 32767.0f;
        const double Floor = std::floor(double(Product));
        double Expected = std::nearbyint(double(Product));
        if (double(Product) - Floor == 0.5) {
            ++Ties;
            Expected = std::fmod(Floor, 2.0) == 0.0 ? Floor : Floor + 1.0;
        }
        ASSERT_EQ(Read16(Out.data() + 2 * I), static_cast<std::int16_t>(Expected)) << Src[I];
    }
    EXPECT_GT(Ties, 100);
}

TEST(FloatToInteger, BoundaryValuesOfEveryWidth)
{
    using V = std::vector<std::int64_t>;
    // 8-bit: floor((v + 1) * 128), no clipping pass.
    EXPECT_EQ(FromFloat(1, {1.0f, 0.0f, -1.0f, -0.999f, 0.5f, -0.5f, JustBelowOne, 2.0f, -2.0f}),
              (V{255, 128, 0, 0, 192, 64, 255, 255, 0}));
    // Tiny negative values fall just below the middle; tiny positive ones stay on it.
    EXPECT_EQ(FromFloat(1, {-1e-30f, 1e-30f, -0.0f, std::nextafter(-1.0f, 0.0f)}),
              (V{127, 128, 128, 0}));

    // 16-bit: 16383.5 rounds to the even 16384; -1.0 gives -32767, never -32768. The product
    // is single precision: 0x1.e009cp-1 * 32767 is 30721.49996 exactly but 30721.5 in single
    // precision, which rounds to the even 30722.
    EXPECT_EQ(FromFloat(2, {1.5f, 1.0f, -1.0f, 0.5f, -0.5f, 0.0f, JustBelowOne, 0x1.e009cp-1f}),
              (V{32767, 32767, -32767, 16384, -16384, 0, 32767, 30722}));

    // 24-bit: floor, so halves go down, also for negative values. The product is single
    // precision: 0x1.000002p-1 * 8388607 is just below 4194304 exactly but rounds up to it.
    EXPECT_EQ(FromFloat(3, {1.0f, -1.0f, 0.5f, -0.5f, 0.0f, JustBelowOne, -JustBelowOne,
                               0x1.000002p-1f}),
              (V{8388607, -8388607, 4194303, -4194304, 0, 8388606, -8388607, 4194304}));

    // 32-bit: double-precision product, ties to even (1073741823.5 -> 1073741824); in single
    // precision 1 - 2^-24 would give 2147483520 instead of 2147483519.
    EXPECT_EQ(FromFloat(4, {1.0f, -1.0f, 0.5f, -0.5f, 0.0f, JustBelowOne}),
              (V{2147483647, -2147483647, 1073741824, -1073741824, 0, 2147483519}));
}

TEST(FloatToInteger, TwentyFourBitStoresLowByteFirst)
{
    float Src[] = {1.0f, -1.0f, 128.0f / 8388607.0f};
    std::uint8_t Out[9];
    ConvertFromFloat24(Src, Out, 3);
    const std::uint8_t Expected[9] = {0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x80, 0x80, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(Out, Expected, 9));
}

TEST(FloatToInteger, ClippingWritesFullScaleBackIntoTheSource)
{
    const float Denormal = std::numeric_limits<float>::denorm_min();
    const std::vector<float> In = {1.5f, -2.0f, Inf, -Inf, NaN, -NaN, 0.25f, 1.0f, -1.0f,
        JustBelowOne, std::numeric_limits<float>::max(), Denormal, -0.75f};
    const std::vector<float> Clipped = {1.0f, -1.0f, 1.0f, -1.0f, -1.0f, -1.0f, 0.25f, 1.0f,
        -1.0f, JustBelowOne, 1.0f, Denormal, -0.75f};
    for (unsigned Width = 2; Width <= 4; ++Width) {
        SCOPED_TRACE(Width);
        std::vector<float> Src = In;
        const auto Got = FromFloat(Width, Src); // converts a copy; check the copy separately
        std::vector<std::uint8_t> Out(In.size() * Width);
        ASSERT_TRUE(ConvertFromFloat(Width, Src.data(), Out.data(), Src.size()));
        for (std::size_t I = 0; I < In.size(); ++I)
            EXPECT_EQ(std::bit_cast<std::uint32_t>(Src[I]), std::bit_cast<std::uint32_t>(Clipped[I]))
                << "index " << I;
        // The integers are those of the clipped values.
        EXPECT_EQ(Got, FromFloat(Width, Clipped));
        const std::int64_t Full = (std::int64_t{1} << (8 * Width - 1)) - 1;
        EXPECT_EQ(Got[2], Full);
        EXPECT_EQ(Got[4], -Full) << "NaN counts as below full scale";
    }
    // 8-bit has no clipping pass: the source keeps its NaN and infinities.
    std::vector<float> Src8 = {NaN, Inf, -Inf, 3.0f};
    std::uint8_t Out8[4];
    ConvertFromFloat8(Src8.data(), Out8, 4);
    EXPECT_TRUE(std::isnan(Src8[0]));
    EXPECT_EQ(Src8[1], Inf);
    EXPECT_EQ(Src8[3], 3.0f);
    EXPECT_EQ(Out8[0], 0);
    EXPECT_EQ(Out8[1], 255);
    EXPECT_EQ(Out8[2], 0);
    EXPECT_EQ(Out8[3], 255);
}

TEST(FloatToInteger, EveryTwentyFourBitValueSurvivesTheRoundTripShrunk)
{
    constexpr std::size_t N = TwentyFourBitValues;
    const std::vector<std::uint8_t> B = EveryTwentyFourBitValue();
    std::vector<float> F(N);
    ConvertToFloat24(B.data(), F.data(), N);
    std::vector<std::uint8_t> Out(3 * N);
    ConvertFromFloat24(F.data(), Out.data(), N);
    for (std::size_t I = 0; I < N; ++I) {
        const float Product = F[I] * 8388607.0f;
        const auto Expected = static_cast<std::int32_t>(std::floor(double(Product)));
        ASSERT_EQ(Read24(Out.data() + 3 * I), Expected) << I;
    }
}

TEST(FloatToInteger, WritesUnalignedAndExactlyCountSamples)
{
    for (unsigned Width = 1; Width <= 4; ++Width) {
        for (std::size_t Count = 0; Count < 40; ++Count) {
            std::vector<float> Src(Count);
            for (std::size_t I = 0; I < Count; ++I)
                Src[I] = (static_cast<float>(I) - 20.0f) / 16.0f; // some outside full scale
            std::vector<std::uint8_t> Out(1 + Count * Width + 8, 0xA5);
            ASSERT_TRUE(ConvertFromFloat(Width, Src.data(), Out.data() + 1, Count));
            ASSERT_EQ(Out[0], 0xA5);
            for (std::size_t I = 1 + Count * Width; I < Out.size(); ++I)
                ASSERT_EQ(Out[I], 0xA5) << "width " << Width << " count " << Count;
        }
    }
    float Src = 0.5f;
    std::uint8_t Out[8] = {};
    EXPECT_FALSE(ConvertFromFloat(8, &Src, Out, 1));
    EXPECT_EQ(Out[0], 0);
}

// --- channels --------------------------------------------------------------------------------

TEST(Channels, StereoToMonoAveragesPairsInPlace)
{
    std::vector<float> B = {1.0f, -1.0f, 0.5f, 0.25f, -0.5f, -0.25f, 3.0f, 5.0f};
    StereoToMono(B.data(), 4);
    EXPECT_EQ(B[0], 0.0f);
    EXPECT_EQ(B[1], 0.375f);
    EXPECT_EQ(B[2], -0.375f);
    EXPECT_EQ(B[3], 4.0f);

    std::vector<float> Long(2 * 1001);
    for (std::size_t I = 0; I < Long.size(); ++I)
        Long[I] = static_cast<float>(I);
    StereoToMono(Long.data(), 1001);
    for (std::size_t I = 0; I < 1001; ++I)
        ASSERT_EQ(Long[I], static_cast<float>(2 * I) + 0.5f) << I;
}

TEST(Channels, MonoToStereoDuplicatesInPlaceAndInvertsStereoToMono)
{
    std::vector<float> B = {0.25f, -0.5f, 0.0f, 0.0f};
    MonoToStereo(B.data(), 2);
    EXPECT_EQ(B, (std::vector<float>{0.25f, 0.25f, -0.5f, -0.5f}));

    std::vector<float> Long(2 * 1001, -7.0f);
    for (std::size_t I = 0; I < 1001; ++I)
        Long[I] = static_cast<float>(I) / 1024.0f;
    MonoToStereo(Long.data(), 1001);
    for (std::size_t I = 0; I < 1001; ++I) {
        ASSERT_EQ(Long[2 * I], static_cast<float>(I) / 1024.0f);
        ASSERT_EQ(Long[2 * I + 1], static_cast<float>(I) / 1024.0f);
    }
    StereoToMono(Long.data(), 1001);
    for (std::size_t I = 0; I < 1001; ++I)
        ASSERT_EQ(Long[I], static_cast<float>(I) / 1024.0f);

    MonoToStereo(nullptr, 0);
    StereoToMono(nullptr, 0);
}
