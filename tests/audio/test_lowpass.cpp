// The resampler's arithmetic on its own: the filter design against an independent computation,
// the filter pass and its history, and the hold and pick counts of whole chunks.
#include "AuLowPass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

struct TDesign {
    std::vector<double> a, b; // a0..an, b1..bn
};

// The same low-pass computed another way: the analog Chebyshev prototype's poles in closed
// form, scaled so that the response is 3 dB down at 1 rad/s, mapped with one bilinear transform
// prewarped to the digital cutoff, the polynomial expanded in complex arithmetic and the gain
// at DC set to 1.
TDesign ReferenceDesign(int n, double ripplePercent, double fc)
{
    using C = std::complex<double>;
    const double pi = std::numbers::pi;
    const double q = 100.0 / (100.0 - ripplePercent);
    const double eps = std::sqrt(q * q - 1.0);
    const double v = std::asinh(1.0 / eps) / n;
    const double scale = std::cosh(std::acosh(1.0 / eps) / n); // 3 dB point to 1 rad/s
    const double c = 1.0 / std::tan(pi * fc);                 // s = c (z - 1) / (z + 1)

    std::vector<C> den{1.0}; // coefficients of z^0, z^-1, ...
    for (int k = 1; k <= n; ++k) {
        const double theta = (2.0 * k - 1.0) * pi / (2.0 * n);
        const C s = C(-std::sinh(v) * std::sin(theta), std::cosh(v) * std::cos(theta)) / scale;
        const C z = (c + s) / (c - s);
        std::vector<C> next(den.size() + 1, 0.0);
        for (std::size_t i = 0; i < den.size(); ++i) {
            next[i] += den[i];
            next[i + 1] -= z * den[i];
        }
        den = next;
    }
    TDesign d;
    double denSum = 0.0;
    for (const C &x : den)
        denSum += x.real();
    // Numerator (1 + z^-1)^n, scaled so that H(1) = 1.
    double numSum = std::pow(2.0, n);
    double binom = 1.0;
    for (int i = 0; i <= n; ++i) {
        d.a.push_back(binom * denSum / numSum);
        binom = binom * (n - i) / (i + 1);
    }
    for (int i = 1; i <= n; ++i)
        d.b.push_back(-den[i].real());
    return d;
}

// Gain of a designed stage at a frequency given as a fraction of the sample rate.
double StageGain(const double *a, const double *b, int n, double f)
{
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f); // z^-1
    std::complex<double> num = 0.0, den = 1.0, zk = 1.0;
    for (int i = 0; i <= n; ++i) {
        num += a[i] * zk;
        if (i > 0)
            den -= b[i - 1] * zk;
        zk *= z1;
    }
    return std::abs(num / den);
}

TEST(LowPassDesign, MatchesIndependentComputation)
{
    // The cutoffs the resampler uses for common rate pairs, plus the extremes of the range.
    const double ratios[] = {32000.0 / 44100.0, 32000.0 / 48000.0, 22050.0 / 32000.0,
                             16000.0 / 32000.0, 8000.0 / 48000.0, 0.99};
    for (double r : ratios) {
        const double fc = 0.85 * r / 2.0;
        double a[LowPassPoles + 1], b[LowPassPoles];
        DesignChebyshevLowPass(LowPassPoles, 5.0, fc, a, b);
        const TDesign ref = ReferenceDesign(LowPassPoles, 5.0, fc);
        for (int i = 0; i <= LowPassPoles; ++i)
            EXPECT_NEAR(a[i], ref.a[i], 1e-10 * std::max(1.0, std::abs(ref.a[i])))
                << "a" << i << " at fc " << fc;
        for (int i = 0; i < LowPassPoles; ++i)
            EXPECT_NEAR(b[i], ref.b[i], 1e-10 * std::max(1.0, std::abs(ref.b[i])))
                << "b" << i + 1 << " at fc " << fc;
    }
}

TEST(LowPassDesign, ResponseHasUnitDcGainRippleAndStopband)
{
    const double fc = 0.85 * (32000.0 / 44100.0) / 2.0;
    double a[LowPassPoles + 1], b[LowPassPoles];
    DesignChebyshevLowPass(LowPassPoles, 5.0, fc, a, b);
    EXPECT_NEAR(StageGain(a, b, LowPassPoles, 0.0), 1.0, 1e-12);
    // Within the passband the gain stays inside the 5 % ripple band above DC.
    double lo = 10.0, hi = 0.0;
    for (double f = 0.0; f < 0.8 * fc; f += fc / 200.0) {
        lo = std::min(lo, StageGain(a, b, LowPassPoles, f));
        hi = std::max(hi, StageGain(a, b, LowPassPoles, f));
    }
    EXPECT_GE(lo, 1.0 - 1e-9);
    EXPECT_NEAR(hi, 1.0 / 0.95, 1e-3);
    // 3 dB below the ripple's peaks at the cutoff, steep above it.
    EXPECT_NEAR(StageGain(a, b, LowPassPoles, fc), std::sqrt(0.5) / 0.95, 1e-6);
    // At the lower rate's Nyquist frequency one stage is more than 20 dB down; the resampler
    // runs four of them.
    EXPECT_LT(StageGain(a, b, LowPassPoles, 16000.0 / 44100.0), 0.1);
}

TEST(LowPassDesign, ButterworthWithoutRippleAndRejectsBadArguments)
{
    double a[LowPassPoles + 1], b[LowPassPoles];
    DesignChebyshevLowPass(LowPassPoles, 0.0, 0.1, a, b);
    // A Butterworth response is flat and monotonic: 3 dB down exactly at the cutoff.
    EXPECT_NEAR(StageGain(a, b, LowPassPoles, 0.1), std::sqrt(0.5), 1e-6);
    EXPECT_LT(StageGain(a, b, LowPassPoles, 0.09), StageGain(a, b, LowPassPoles, 0.05));
    EXPECT_THROW(DesignChebyshevLowPass(3, 5.0, 0.1, a, b), std::invalid_argument);
    EXPECT_THROW(DesignChebyshevLowPass(4, 5.0, 0.5, a, b), std::invalid_argument);
    EXPECT_THROW(DesignChebyshevLowPass(4, 5.0, 0.0, a, b), std::invalid_argument);
    EXPECT_THROW(DesignChebyshevLowPass(4, 40.0, 0.1, a, b), std::invalid_argument);
}

// Reversed single-precision coefficients as the resampler keeps them.
struct TStage {
    double a[LowPassPoles + 1], b[LowPassPoles];
    float A[LowPassPoles + 1], B[LowPassPoles];
    explicit TStage(double fc)
    {
        DesignChebyshevLowPass(LowPassPoles, 5.0, fc, a, b);
        for (int i = 0; i <= LowPassPoles; ++i)
            A[i] = float(a[LowPassPoles - i]);
        for (int i = 0; i < LowPassPoles; ++i)
            B[i] = float(b[LowPassPoles - 1 - i]);
    }
};

// Runs one stage over Signal in chunks of the given sizes, carrying the history between them.
std::vector<float> RunChunked(const TStage &st, const std::vector<float> &signal,
                              const std::vector<std::uint32_t> &chunks)
{
    const std::uint32_t maxChunk = *std::max_element(chunks.begin(), chunks.end());
    std::vector<float> X(maxChunk + LowPassHistory, 0.0f), Y(maxChunk + LowPassHistory, 0.0f);
    std::vector<float> out;
    std::size_t pos = 0, c = 0;
    while (pos < signal.size()) {
        const std::uint32_t m =
            std::uint32_t(std::min<std::size_t>(chunks[c++ % chunks.size()], signal.size() - pos));
        std::copy_n(signal.begin() + long(pos), m, X.begin() + LowPassHistory);
        LowPassPass(X.data(), Y.data(), st.A, st.B, m);
        out.insert(out.end(), Y.begin() + LowPassHistory, Y.begin() + LowPassHistory + m);
        KeepHistory(X.data(), m);
        KeepHistory(Y.data(), m);
        pos += m;
    }
    return out;
}

TEST(LowPassPassTest, FollowsTheDifferenceEquationAcrossChunks)
{
    const TStage st(0.85 * (32000.0 / 48000.0) / 2.0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> signal(5000);
    for (float &s : signal)
        s = dist(rng);

    // Double-precision difference equation with the same (single-precision) coefficients.
    std::vector<double> ref(signal.size());
    for (std::size_t n = 0; n < signal.size(); ++n) {
        double acc = 0.0;
        for (int i = 0; i <= LowPassPoles; ++i)
            if (n >= std::size_t(i))
                acc += double(st.A[LowPassPoles - i]) * signal[n - i];
        for (int i = 1; i <= LowPassPoles; ++i)
            if (n >= std::size_t(i))
                acc += double(st.B[LowPassPoles - i]) * ref[n - i];
        ref[n] = acc;
    }

    const std::vector<float> whole = RunChunked(st, signal, {5000});
    for (std::size_t n = 0; n < signal.size(); ++n)
        ASSERT_NEAR(whole[n], ref[n], 2e-5) << "sample " << n;

    // Chunk boundaries, including chunks shorter than the history and empty ones, change
    // nothing: the history carries the state exactly.
    const std::vector<float> chunked = RunChunked(st, signal, {1000, 3, 0, 1, 777, 2, 4, 5});
    ASSERT_EQ(chunked.size(), whole.size());
    EXPECT_TRUE(std::equal(chunked.begin(), chunked.end(), whole.begin()));
}

// The eight arrays of one channel: X0 Y0 X1 Y1 X2 Y2 X3 Y3.
struct TChannelSet {
    std::vector<std::vector<float>> V;
    TChannelSet(std::uint32_t Max, std::mt19937 &rng)
        : V(8, std::vector<float>(Max + LowPassHistory))
    {
        // A history that four separate passes could have left: X[n + 1]'s equals Y[n]'s.
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (int k = 0; k < 8; ++k)
            for (int i = 0; i < LowPassHistory; ++i)
                V[k][i] = (k >= 2 && k % 2 == 0) ? V[k - 1][i] : dist(rng);
    }
    TCascadeArrays Arrays()
    {
        return {{V[0].data(), V[2].data(), V[4].data(), V[6].data()},
                {V[1].data(), V[3].data(), V[5].data(), V[7].data()}};
    }
};

TEST(LowPassPassTest, FusedCascadeEqualsFourSeparatePasses)
{
    const TStage st(0.85 * (22050.0 / 32000.0) / 2.0);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    const std::uint32_t Max = 700;
    TChannelSet Sep(Max, rng);
    TChannelSet Fused = Sep;
    TChannelSet Left = Sep, Right(Max, rng);
    TChannelSet PairL = Left, PairR = Right;
    for (std::uint32_t m : {700u, 1u, 3u, 0u, 513u, 4u}) {
        for (std::uint32_t j = 0; j < m; ++j) {
            const float v = dist(rng), w = dist(rng);
            Sep.V[0][LowPassHistory + j] = Fused.V[0][LowPassHistory + j] = v;
            Left.V[0][LowPassHistory + j] = PairL.V[0][LowPassHistory + j] = v;
            Right.V[0][LowPassHistory + j] = PairR.V[0][LowPassHistory + j] = w;
        }
        for (int n = 0; n < 4; ++n) {
            LowPassPass(Sep.V[2 * n].data(), Sep.V[2 * n + 1].data(), st.A, st.B, m);
            if (n < 3)
                std::copy_n(Sep.V[2 * n + 1].begin() + LowPassHistory, m,
                            Sep.V[2 * n + 2].begin() + LowPassHistory);
        }
        for (int k = 0; k < 7; ++k)
            KeepHistory(Sep.V[k].data(), m);
        LowPassCascade(Fused.Arrays(), st.A, st.B, m);
        LowPassCascade(Left.Arrays(), st.A, st.B, m);
        LowPassCascade(Right.Arrays(), st.A, st.B, m);
        LowPassCascade2(PairL.Arrays(), PairR.Arrays(), st.A, st.B, m);

        // Histories of the first seven arrays; Y3's samples too.
        for (int k = 0; k < 8; ++k) {
            const std::size_t n = LowPassHistory + (k == 7 ? m : 0);
            ASSERT_TRUE(std::equal(Sep.V[k].begin(), Sep.V[k].begin() + long(n), Fused.V[k].begin()))
                << "array " << k << " after a chunk of " << m;
            ASSERT_TRUE(std::equal(Left.V[k].begin(), Left.V[k].begin() + long(n), PairL.V[k].begin()))
                << "left lane, array " << k << " after a chunk of " << m;
            ASSERT_TRUE(std::equal(Right.V[k].begin(), Right.V[k].begin() + long(n), PairR.V[k].begin()))
                << "right lane, array " << k << " after a chunk of " << m;
        }
        for (TChannelSet *C : {&Sep, &Fused, &Left, &Right, &PairL, &PairR})
            KeepHistory(C->V[7].data(), m);
    }
}

std::uint32_t HoldCount(std::uint32_t inRate, std::uint32_t outRate)
{
    const std::uint32_t iFrames = inRate / 5, oFrames = outRate / 5;
    std::vector<float> in(iFrames, 0.5f), out(oFrames + 1, 0.0f);
    return HoldFrames(in.data(), 1, iFrames, iFrames * 4, oFrames * 4, out.data());
}

std::uint32_t PickCount(std::uint32_t inRate, std::uint32_t outRate)
{
    const std::uint32_t iFrames = inRate / 5, oFrames = outRate / 5;
    std::vector<float> in(iFrames, 0.5f), out(iFrames, 0.0f);
    return PickFrames(in.data(), iFrames, iFrames * 4, oFrames * 4, out.data(), 1);
}

TEST(ChunkArithmetic, FramesPerFullChunk)
{
    EXPECT_EQ(PickCount(44100, 32000), 6400u);
    EXPECT_EQ(PickCount(48000, 32000), 6400u);
    EXPECT_EQ(PickCount(96000, 32000), 6400u);
    // The hold counter restarts in every chunk, so an up-sampled chunk is one frame short.
    EXPECT_EQ(HoldCount(22050, 32000), 6399u);
    EXPECT_EQ(HoldCount(16000, 32000), 6399u);
    // In general floor((IFrames - 1) * OFrames / IFrames) + 1.
    EXPECT_EQ(HoldCount(8000, 32000), 6397u);
    EXPECT_EQ(HoldCount(11025, 32000), 6398u);
}

TEST(ChunkArithmetic, HoldRepeatsAndPickSkipsInOrder)
{
    // 2 : 3 hold: a b c c d; the strided input reads one channel of interleaved frames.
    const float in[] = {1, -1, 2, -2, 3, -3, 4, -4};
    float out[8] = {};
    ASSERT_EQ(HoldFrames(in + 1, 2, 4, 2, 3, out), 5u);
    EXPECT_EQ(std::vector<float>(out, out + 5), (std::vector<float>{-1, -2, -3, -3, -4}));
    // Doubling repeats every frame except the first.
    ASSERT_EQ(HoldFrames(in, 2, 3, 1, 2, out), 5u);
    EXPECT_EQ(std::vector<float>(out, out + 5), (std::vector<float>{1, 2, 2, 3, 3}));

    // 3 : 2 pick: frames 0, 1, 3, 4, 6 of 0..6, written with a stride of two.
    const float seq[] = {0, 1, 2, 3, 4, 5, 6};
    float picked[10];
    std::fill(std::begin(picked), std::end(picked), -9.0f);
    ASSERT_EQ(PickFrames(seq, 7, 3, 2, picked, 2), 5u);
    EXPECT_EQ(std::vector<float>(picked, picked + 10),
              (std::vector<float>{0, -9, 1, -9, 3, -9, 4, -9, 6, -9}));
    EXPECT_EQ(PickFrames(seq, 0, 3, 2, picked, 1), 0u);
    EXPECT_EQ(HoldFrames(seq, 1, 0, 2, 3, picked), 0u);
}

} // namespace
