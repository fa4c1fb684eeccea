#include "ConverterTestKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace convtest {

TMemorySource::TMemorySource(std::uint32_t Bits, std::uint32_t Chans, std::uint32_t Rate,
                             std::vector<std::uint8_t> Data, std::uint32_t MaxBlock)
    : FBits(Bits), FChans(Chans), FRate(Rate), FData(std::move(Data)), FMaxBlock(MaxBlock)
{
}

void TMemorySource::OpenSource()
{
    if (!FOpenFailure.empty())
        throw EAuException(FOpenFailure);
    ++FOpened;
    FRequests.clear();
    FRead = 0;
    FPosition = 0;
    FSize = FHasReportedSize ? FReportedSize : std::int64_t(FData.size());
    Busy = true;
}

void TMemorySource::CloseSource()
{
    ++FClosed;
    Busy = false;
}

void TMemorySource::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    FRequests.push_back(Bytes);
    const std::size_t Left = FData.size() - FRead;
    Bytes = std::uint32_t(std::min<std::size_t>({Bytes, FMaxBlock, Left}));
    Buffer = Bytes ? FData.data() + FRead : nullptr;
    FRead += Bytes;
    FPosition += Bytes;
}

std::vector<std::uint8_t> PullAll(TAuInput &In, std::uint32_t Request)
{
    std::vector<std::uint8_t> Out;
    In.Init();
    for (;;) {
        void *P = nullptr;
        std::uint32_t Bytes = Request;
        In.GetData(P, Bytes);
        if (Bytes == 0)
            break;
        EXPECT_LE(Bytes, Request);
        const auto *B = static_cast<const std::uint8_t *>(P);
        Out.insert(Out.end(), B, B + Bytes);
    }
    In.Flush();
    return Out;
}

std::vector<std::uint8_t> ToPcm16(const std::vector<float> &Samples)
{
    std::vector<std::uint8_t> Out(Samples.size() * 2);
    for (std::size_t i = 0; i < Samples.size(); ++i) {
        const long v = std::clamp(std::lround(Samples[i] * 32767.0), -32768L, 32767L);
        const auto s = static_cast<std::int16_t>(v);
        std::memcpy(&Out[i * 2], &s, 2);
    }
    return Out;
}

std::vector<std::int16_t> AsInt16(const std::vector<std::uint8_t> &Bytes)
{
    std::vector<std::int16_t> Out(Bytes.size() / 2);
    if (!Out.empty())
        std::memcpy(Out.data(), Bytes.data(), Out.size() * 2);
    return Out;
}

std::vector<float> FromPcm16(const std::vector<std::uint8_t> &Bytes)
{
    std::vector<float> Out;
    for (std::int16_t s : AsInt16(Bytes))
        Out.push_back(float(s) / 32768.0f);
    return Out;
}

std::vector<float> Sine(double Freq, double Rate, std::size_t Frames, double Amp, double Phase)
{
    std::vector<float> Out(Frames);
    for (std::size_t i = 0; i < Frames; ++i)
        Out[i] = float(Amp * std::sin(2.0 * std::numbers::pi * Freq * double(i) / Rate + Phase));
    return Out;
}

std::vector<float> Interleave(const std::vector<std::vector<float>> &Chans)
{
    std::vector<float> Out;
    const std::size_t Frames = Chans.empty() ? 0 : Chans[0].size();
    for (std::size_t i = 0; i < Frames; ++i)
        for (const auto &C : Chans)
            Out.push_back(C[i]);
    return Out;
}

std::vector<float> Channel(const std::vector<float> &Data, unsigned Chans, unsigned Ch)
{
    std::vector<float> Out;
    for (std::size_t i = Ch; i < Data.size(); i += Chans)
        Out.push_back(Data[i]);
    return Out;
}

double ToneAmplitude(const std::vector<float> &X, double Freq, double Rate)
{
    // Solve the 2x2 normal equations for a*sin + b*cos; exact for any window length.
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (std::size_t i = 0; i < X.size(); ++i) {
        const double w = 2.0 * std::numbers::pi * Freq * double(i) / Rate;
        const double s = std::sin(w), c = std::cos(w);
        ss += s * s;
        cc += c * c;
        sc += s * c;
        xs += X[i] * s;
        xc += X[i] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (xs * cc - xc * sc) / det;
    const double b = (xc * ss - xs * sc) / det;
    return std::hypot(a, b);
}

double Rms(const std::vector<float> &X)
{
    double s = 0;
    for (float v : X)
        s += double(v) * v;
    return X.empty() ? 0.0 : std::sqrt(s / double(X.size()));
}

} // namespace convtest
