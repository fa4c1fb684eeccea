#include "AuLowPass.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <type_traits>
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

namespace {

// Two doubles (two channels) in one vector register, and their single-precision counterpart.
using TDouble2 = double __attribute__((vector_size(16)));
using TSingle2 = float __attribute__((vector_size(8)));

inline double RoundToSingle(double v) { return double(float(v)); }
inline TDouble2 RoundToSingle(TDouble2 v)
{
    return __builtin_convertvector(__builtin_convertvector(v, TSingle2), TDouble2);
}

// One stage's coefficients (exact double copies of the single-precision ones), as scalars or
// broadcast into both lanes.
template <class V> struct TStageCoeffs {
    V a4, a3, a2, a1, a0, b4, b3, b2, b1;
    TStageCoeffs(const float *A, const float *B)
    {
        V *const Dst[9] = {&a4, &a3, &a2, &a1, &a0, &b4, &b3, &b2, &b1};
        for (int i = 0; i < 5; ++i)
            *Dst[i] = V{} + double(A[i]);
        for (int i = 0; i < 4; ++i)
            *Dst[5 + i] = V{} + double(B[i]);
    }
};

// The last four values of a signal in the cascade, newest first. Stage n reads window n as its
// previous inputs and window n + 1 as its previous outputs.
template <class V> struct TWindow {
    V v1, v2, v3, v4;
    void Push(V x)
    {
        v4 = v3;
        v3 = v2;
        v2 = v1;
        v1 = x;
    }
};

// One output of a stage, summed in double precision. The terms of older values are summed
// first, in pairs; a0 x[n] and then b1 y[n-1] come last, so that both the recursion and the
// path from the previous stage are one multiply-add or two plus the rounding to single.
template <class V>
inline V Stage(const TStageCoeffs<V> &c, const TWindow<V> &in, const TWindow<V> &out, V x0)
{
    const V Older = ((c.a4 * in.v4 + c.a3 * in.v3) + (c.a2 * in.v2 + c.a1 * in.v1)) +
                    ((c.b4 * out.v4 + c.b3 * out.v3) + c.b2 * out.v2);
    return RoundToSingle((Older + c.a0 * x0) + c.b1 * out.v1);
}

// Lane access for the two element kinds.
inline double Lane(double v, int) { return v; }
inline double Lane(TDouble2 v, int i) { return v[i]; }

template <class V> TWindow<V> LoadWindow(const float *const *H, int Lanes)
{
    TWindow<V> w;
    V *const Dst[4] = {&w.v4, &w.v3, &w.v2, &w.v1};
    for (int k = 0; k < 4; ++k) {
        V v{};
        for (int l = 0; l < Lanes; ++l) {
            if constexpr (std::is_same_v<V, double>)
                v = H[l][k];
            else
                v[l] = H[l][k];
        }
        *Dst[k] = v;
    }
    return w;
}

template <class V> void StoreWindow(const TWindow<V> &w, float *const *H, int Lanes)
{
    const V Src[4] = {w.v4, w.v3, w.v2, w.v1};
    for (int k = 0; k < 4; ++k)
        for (int l = 0; l < Lanes; ++l)
            H[l][k] = float(Lane(Src[k], l));
}

// The cascade over Lanes channels (1 with V = double, 2 with V = TDouble2).
template <class V>
void Cascade(const TCascadeArrays *const Ch[], int Lanes, const float *A, const float *B,
             std::uint32_t m)
{
    static_assert(LowPassPoles == 4, "the stage is unrolled for four poles");
    const TStageCoeffs<V> c(A, B);
    // Window 0: the input's history (X0); window n + 1: pass n's output history (Y[n], which
    // equals X[n + 1]'s history).
    TWindow<V> w[5];
    {
        const float *H[2];
        for (int l = 0; l < Lanes; ++l)
            H[l] = Ch[l]->X[0];
        w[0] = LoadWindow<V>(H, Lanes);
        for (int n = 0; n < 4; ++n) {
            for (int l = 0; l < Lanes; ++l)
                H[l] = Ch[l]->Y[n];
            w[n + 1] = LoadWindow<V>(H, Lanes);
        }
    }
    const float *In[2] = {};
    float *Out[2] = {};
    for (int l = 0; l < Lanes; ++l) {
        In[l] = Ch[l]->X[0] + LowPassHistory;
        Out[l] = Ch[l]->Y[3] + LowPassHistory;
    }
    for (std::uint32_t j = 0; j < m; ++j) {
        V x{};
        if constexpr (std::is_same_v<V, double>)
            x = In[0][j];
        else
            x = TDouble2{In[0][j], In[1][j]};
        for (int n = 0; n < 4; ++n) {
            const V y = Stage(c, w[n], w[n + 1], x);
            w[n].Push(x);
            x = y;
        }
        w[4].Push(x);
        for (int l = 0; l < Lanes; ++l)
            Out[l][j] = float(Lane(x, l));
    }
    // Histories for the next chunk. Y[3] keeps its samples for the caller.
    float *H[2];
    for (int l = 0; l < Lanes; ++l)
        H[l] = Ch[l]->X[0];
    StoreWindow(w[0], H, Lanes);
    for (int n = 0; n < 3; ++n) {
        for (int l = 0; l < Lanes; ++l)
            H[l] = Ch[l]->Y[n];
        StoreWindow(w[n + 1], H, Lanes);
        for (int l = 0; l < Lanes; ++l)
            H[l] = Ch[l]->X[n + 1];
        StoreWindow(w[n + 1], H, Lanes);
    }
}

} // namespace

void LowPassPass(const float *X, float *Y, const float *A, const float *B, std::uint32_t m)
{
    const TStageCoeffs<double> c(A, B);
    TWindow<double> in = LoadWindow<double>(&X, 1), out = LoadWindow<double>(&Y, 1);
    for (std::uint32_t j = 0; j < m; ++j) {
        const double x = X[j + LowPassHistory];
        const double y = Stage(c, in, out, x);
        in.Push(x);
        out.Push(y);
        Y[j + LowPassHistory] = float(y);
    }
}

void LowPassCascade(const TCascadeArrays &Ch, const float *A, const float *B, std::uint32_t m)
{
    const TCascadeArrays *const C[1] = {&Ch};
    Cascade<double>(C, 1, A, B, m);
}

void LowPassCascade2(const TCascadeArrays &Ch0, const TCascadeArrays &Ch1, const float *A,
                     const float *B, std::uint32_t m)
{
    const TCascadeArrays *const C[2] = {&Ch0, &Ch1};
    Cascade<TDouble2>(C, 2, A, B, m);
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
