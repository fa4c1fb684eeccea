#include "AuLowPass.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// The design uses this rounded value of pi, so that the coefficients are reproducible.
constexpr double Pi = 3.14159265359;

// One pole pair of the low-pass, as a biquad section: a0..a2 feed-forward, b1..b2 feedback.
struct TPolePair {
    double a0, a1, a2, b1, b2;
};

TPolePair DesignPolePair(int np, int p, double pr, double fc)
{
    // Pole position on the unit circle (Butterworth), then warped onto an ellipse for the
    // Chebyshev ripple.
    double rp = -std::cos(Pi / (2.0 * np) + (p - 1) * Pi / np);
    double ip = std::sin(Pi / (2.0 * np) + (p - 1) * Pi / np);
    if (pr != 0.0) {
        const double q = 100.0 / (100.0 - pr);
        const double es = std::sqrt(q * q - 1.0);
        const double vx = (1.0 / np) * std::log(1.0 / es + std::sqrt(1.0 / (es * es) + 1.0));
        double kx = (1.0 / np) * std::log(1.0 / es + std::sqrt(1.0 / (es * es) - 1.0));
        kx = (std::exp(kx) + std::exp(-kx)) / 2.0;
        rp = rp * ((std::exp(vx) - std::exp(-vx)) / 2.0) / kx;
        ip = ip * ((std::exp(vx) + std::exp(-vx)) / 2.0) / kx;
    }

    // Bilinear transform of the analog pair, cutoff at 1 radian per sample.
    const double t = 2.0 * std::tan(0.5);
    const double w = 2.0 * Pi * fc;
    const double m = rp * rp + ip * ip;
    double d = 4.0 - 4.0 * rp * t + m * t * t;
    const double x0 = t * t / d;
    const double x1 = 2.0 * t * t / d;
    const double x2 = t * t / d;
    const double y1 = (8.0 - 2.0 * m * t * t) / d;
    const double y2 = (-4.0 - 4.0 * rp * t - m * t * t) / d;

    // Low-pass to low-pass transform from 1 radian to w.
    const double k = std::sin(0.5 - w / 2.0) / std::sin(0.5 + w / 2.0);
    d = 1.0 + y1 * k - y2 * k * k;
    TPolePair r;
    r.a0 = (x0 - x1 * k + x2 * k * k) / d;
    r.a1 = (-2.0 * x0 * k + x1 + x1 * k * k - 2.0 * x2 * k) / d;
    r.a2 = (x0 * k * k - x1 * k + x2) / d;
    r.b1 = (2.0 * k + y1 + y1 * k * k - 2.0 * y2 * k) / d;
    r.b2 = (-k * k - y1 * k + y2) / d;
    return r;
}

} // namespace

void DesignChebyshevLowPass(int Poles, double RipplePercent, double Cutoff, double *a, double *b)
{
    if (Poles < 2 || Poles > 20 || Poles % 2 != 0)
        throw std::invalid_argument("the number of poles must be even, from 2 to 20");
    if (!(RipplePercent >= 0.0 && RipplePercent < 29.0))
        throw std::invalid_argument("the ripple must be from 0 to 29 percent");
    if (!(Cutoff > 0.0 && Cutoff < 0.5))
        throw std::invalid_argument("the cutoff must lie between 0 and half the sample rate");

    const int np = Poles;
    // Running polynomials with two leading zeros, so that the recurrences below can reach
    // back two places without a bounds test.
    std::vector<double> ca(np + 4, 0.0), cb(np + 4, 0.0);
    ca[2] = 1.0;
    cb[2] = 1.0;
    for (int p = 1; p <= np / 2; ++p) {
        const TPolePair s = DesignPolePair(np, p, RipplePercent, Cutoff);
        const std::vector<double> ta = ca, tb = cb;
        for (int i = 2; i <= np + 2; ++i) {
            ca[i] = s.a0 * ta[i] + s.a1 * ta[i - 1] + s.a2 * ta[i - 2];
            cb[i] = tb[i] - s.b1 * tb[i - 1] - s.b2 * tb[i - 2];
        }
    }
    cb[2] = 0.0;
    for (int i = 0; i <= np; ++i) {
        ca[i] = ca[i + 2];
        cb[i] = -cb[i + 3];
    }

    double sa = 0.0, sb = 0.0;
    for (int i = 0; i <= np; ++i) {
        sa += ca[i];
        sb += cb[i];
    }
    const double gain = sa / (1.0 - sb);
    for (int i = 0; i <= np; ++i)
        a[i] = ca[i] / gain;
    for (int i = 0; i < np; ++i)
        b[i] = cb[i];
}

void LowPassPass(const float *X, float *Y, const float *A, const float *B, std::uint32_t m)
{
    static_assert(LowPassPoles == 4, "the pass below is unrolled for four poles");
    for (std::uint32_t j = 0; j < m; ++j) {
        const float *x = X + j;
        const float *y = Y + j;
        const double acc = double(x[0]) * A[0] + double(x[1]) * A[1] + double(x[2]) * A[2] +
                           double(x[3]) * A[3] + double(x[4]) * A[4] + double(y[0]) * B[0] +
                           double(y[1]) * B[1] + double(y[2]) * B[2] + double(y[3]) * B[3];
        Y[j + LowPassHistory] = float(acc);
    }
}

void KeepHistory(float *Arr, std::uint32_t m)
{
    std::memmove(Arr, Arr + m, LowPassHistory * sizeof(float));
}

std::uint32_t HoldFrames(const float *In, std::uint32_t InStride, std::uint32_t Frames,
                         std::uint32_t ISize, std::uint32_t OSize, float *Out)
{
    if (ISize == 0)
        return 0;
    std::int64_t s = 0;
    std::uint32_t i = 0, k = 0;
    while (i < Frames) {
        Out[k] = In[std::size_t(i) * InStride];
        s -= ISize;
        if (s < 0) {
            s += OSize;
            ++i;
        }
        ++k;
    }
    return k;
}

std::uint32_t PickFrames(const float *In, std::uint32_t Frames, std::uint32_t ISize,
                         std::uint32_t OSize, float *Out, std::uint32_t OutStride)
{
    std::int64_t s = 0;
    std::uint32_t picked = 0;
    for (std::uint32_t j = 0; j < Frames; ++j) {
        s -= OSize;
        if (s < 0) {
            Out[std::size_t(picked) * OutStride] = In[j];
            ++picked;
            s += ISize;
        }
    }
    return picked;
}
