#include "AuConverters.h"

#include "AuLowPass.h"
#include "AuProcs.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr unsigned MaxResamplerChannels = 8;
// Cutoff of the resampler's low-pass, as a fraction of the lower rate's Nyquist frequency.
constexpr double CutoffFraction = 0.85;
constexpr double RipplePercent = 5.0;

TAuInput *RequireInput(TAuInput *In)
{
    if (!In)
        throw EAuException("Input is not assigned");
    return In;
}

void Release(std::vector<float> &V) { std::vector<float>().swap(V); }

} // namespace

// ---------------------------------------------------------------------------------------------
// TFastResampler

TFastResampler::TFastResampler(TComponent *AOwner) : TAuConverter(AOwner) {}

TFastResampler::~TFastResampler() = default;

std::uint32_t TFastResampler::BitsPerSample()
{
    RequireInput(Input());
    return TAuConverter::BitsPerSample();
}

std::uint32_t TFastResampler::Channels()
{
    return RequireInput(Input())->Channels();
}

std::uint32_t TFastResampler::SampleRate()
{
    RequireInput(Input());
    return OutSampleRate();
}

void TFastResampler::OpenSource()
{
    TAuInput *In = RequireInput(FInput);
    OpenInput(In);

    const std::uint32_t Chans = In->Channels();
    const std::uint32_t Bits = In->BitsPerSample() & ~128u;
    SampleSize = static_cast<std::uint16_t>(Bits / 8);
    FrameSize = static_cast<std::uint16_t>(Chans * SampleSize);
    SamplesInFrame = static_cast<std::uint16_t>(Chans);
    FPosition = 0;

    IFrames = In->SampleRate() / 5;
    OFrames = OutSampleRate() / 5;
    ISize = IFrames * FrameSize;
    OSize = OFrames * FrameSize;
    BufStart = BufEnd = 0;

    // The Input's size scaled by the chunk ratio, in whole output frames: the size check of the
    // converter base then never cuts a frame in half at the end of the data.
    const std::int64_t InSize = In->Size();
    if (InSize > 0 && ISize > 0 && ISize != OSize)
        FSize = std::llround(double(InSize) * OSize / ISize / FrameSize) * FrameSize;
    else
        FSize = InSize;

    FPassThrough = OSize == ISize;
    if (FPassThrough)
        return;

    // Outside pass-through every chunk is converted: refuse what the conversion cannot hold
    // rather than divide by zero or write past the per-channel arrays.
    if (Chans < 1 || Chans > MaxResamplerChannels)
        RefuseInput(In, "Only 1 to 8 channels can be resampled.");
    if (Bits != 8 && Bits != 16 && Bits != 24 && Bits != 32)
        RefuseInput(In, "Only 8, 16, 24 and 32 bits per sample can be resampled.");
    if (IFrames == 0 || OFrames == 0)
        RefuseInput(In, "Sample rates below 5 Hz cannot be resampled.");

    if (IFrames < OFrames) {
        std::uint32_t e = 2;
        while (e * IFrames < OFrames)
            ++e;
        MaxFrames = e * IFrames;
    } else {
        MaxFrames = IFrames;
    }
    MaxSize = FrameSize * MaxFrames;
    _Buffer.assign(MaxSize, 0);
    InputBuffer.assign(std::size_t(Chans) * MaxFrames, 0.0f);

    // The filter runs at the higher rate; its cutoff is 85 % of the lower rate's Nyquist
    // frequency, as a fraction of the higher rate.
    const double r = std::min(double(ISize) / OSize, double(OSize) / ISize);
    double a[LowPassPoles + 1], b[LowPassPoles];
    DesignChebyshevLowPass(LowPassPoles, RipplePercent, CutoffFraction * r / 2.0, a, b);
    A.assign(LowPassPoles + 1, 0.0f);
    B.assign(LowPassPoles, 0.0f);
    for (int i = 0; i <= LowPassPoles; ++i)
        A[i] = float(a[LowPassPoles - i]);
    for (int i = 0; i < LowPassPoles; ++i)
        B[i] = float(b[LowPassPoles - 1 - i]);
    offsX = LowPassHistory;
    OffsY = LowPassHistory;

    // Every array starts from silence: each run begins with zeroed filter history.
    for (TChannelArrays *Arr : {&X0, &Y0, &X1, &Y1, &X2, &Y2, &X3, &Y3})
        for (unsigned ch = 0; ch < Chans; ++ch)
            (*Arr)[ch].assign(MaxFrames + LowPassHistory, 0.0f);
}

void TFastResampler::CloseSource()
{
    CloseInput();
    std::vector<std::uint8_t>().swap(_Buffer);
    Release(InputBuffer);
    for (TChannelArrays *Arr : {&X0, &Y0, &X1, &Y1, &X2, &Y2, &X3, &Y3})
        for (std::vector<float> &V : *Arr)
            Release(V);
    BufStart = BufEnd = 0;
    FPassThrough = false;
    Busy = false;
}

void TFastResampler::FilterChannels(std::uint32_t Frames)
{
    // The four passes for every channel, two channels at a time where possible. Afterwards the
    // arrays hold their history for the next chunk, except Y3, which still holds the output.
    const unsigned Chans = SamplesInFrame;
    auto Arrays = [this](unsigned Ch) {
        return TCascadeArrays{{X0[Ch].data(), X1[Ch].data(), X2[Ch].data(), X3[Ch].data()},
                              {Y0[Ch].data(), Y1[Ch].data(), Y2[Ch].data(), Y3[Ch].data()}};
    };
    unsigned ch = 0;
    for (; ch + 1 < Chans; ch += 2)
        LowPassCascade2(Arrays(ch), Arrays(ch + 1), A.data(), B.data(), Frames);
    if (ch < Chans)
        LowPassCascade(Arrays(ch), A.data(), B.data(), Frames);
}

void TFastResampler::MakeChunk(std::uint32_t InBytes)
{
    const unsigned Chans = SamplesInFrame;
    const std::uint32_t Frames = InBytes / FrameSize; // a final partial frame is ignored
    ConvertToFloat(SampleSize, _Buffer.data(), InputBuffer.data(), std::size_t(Frames) * Chans);

    std::uint32_t OutFrames = 0;
    if (ISize < OSize) {
        // Hold each frame to the output rate, filter, write the result back interleaved.
        for (unsigned ch = 0; ch < Chans; ++ch)
            OutFrames = HoldFrames(InputBuffer.data() + ch, Chans, Frames, ISize, OSize,
                                   X0[ch].data() + offsX);
        FilterChannels(OutFrames);
        for (unsigned ch = 0; ch < Chans; ++ch) {
            const float *Y = Y3[ch].data() + OffsY;
            for (std::uint32_t j = 0; j < OutFrames; ++j)
                InputBuffer[std::size_t(j) * Chans + ch] = Y[j];
            KeepHistory(Y3[ch].data(), OutFrames);
        }
    } else {
        // Filter at the input rate, then pick frames.
        for (unsigned ch = 0; ch < Chans; ++ch) {
            float *X = X0[ch].data() + offsX;
            for (std::uint32_t j = 0; j < Frames; ++j)
                X[j] = InputBuffer[std::size_t(j) * Chans + ch];
        }
        FilterChannels(Frames);
        for (unsigned ch = 0; ch < Chans; ++ch) {
            OutFrames = PickFrames(Y3[ch].data() + OffsY, Frames, ISize, OSize,
                                   InputBuffer.data() + ch, Chans);
            KeepHistory(Y3[ch].data(), Frames);
        }
    }

    const std::size_t OutSamples = std::size_t(OutFrames) * Chans;
    ConvertFromFloat(SampleSize, InputBuffer.data(), _Buffer.data(), OutSamples);
    BufEnd = static_cast<std::uint32_t>(SampleSize * OutSamples);
}

void TFastResampler::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (BlockWithoutConversion(FPassThrough, Buffer, Bytes))
        return;

    if (BufStart >= BufEnd) {
        BufStart = 0;
        bool Eof = false;
        BufEnd = FInput->FillBuffer(_Buffer.data(), ISize, Eof);
        if (BufEnd == 0) {
            Buffer = nullptr;
            Bytes = 0;
            return;
        }
        MakeChunk(BufEnd);
    }
    Bytes = std::min(Bytes, BufEnd - BufStart);
    Buffer = _Buffer.data() + BufStart;
    BufStart += Bytes;
}

// ---------------------------------------------------------------------------------------------
// TAudioConverter

TAudioConverter::TAudioConverter(TComponent *AOwner) : TAuConverter(AOwner) {}

TAudioConverter::~TAudioConverter() = default;

std::uint32_t TAudioConverter::BitsPerSample()
{
    const std::int32_t Out = OutBitsPerSample();
    if (Out != 0)
        return static_cast<std::uint32_t>(Out);
    return TAuConverter::BitsPerSample();
}

std::uint32_t TAudioConverter::Channels()
{
    TAuInput *In = Input();
    if (!In)
        return 0;
    const std::uint32_t InCh = In->Channels();
    const std::int32_t Out = OutChannels();
    if ((Out == 1 || Out == 2) && (InCh == 1 || InCh == 2))
        return static_cast<std::uint32_t>(Out);
    return InCh;
}

void TAudioConverter::OpenSource()
{
    TAuInput *In = RequireInput(FInput);
    In->Init();
    Busy = true;
    FPosition = 0;
    BufStart = BufEnd = 0;

    IBPS = static_cast<std::int32_t>(BitsPerSample());
    ICh = static_cast<std::int32_t>(Channels());
    const std::int32_t InBits = static_cast<std::int32_t>(In->BitsPerSample() & ~128u);
    FInChannels = static_cast<std::int32_t>(In->Channels());
    InBytesPerSample = InBits / 8;
    OutBytesPerSample = IBPS / 8;
    FPassThrough = OutBitsPerSample() == 0 && OutChannels() == 0;
    OutFrames = 0;

    const std::int64_t InSize = In->Size();
    if (FPassThrough) {
        FSize = InSize;
        return;
    }
    auto Convertible = [](std::int32_t Bits) {
        return Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32;
    };
    if (!Convertible(InBits) || !Convertible(IBPS))
        RefuseInput(In, "Only 8, 16, 24 and 32 bits per sample can be converted.");
    if (FInChannels < 1)
        RefuseInput(In, "The input has no channels.");

    if (InSize < 0) {
        FSize = -1;
    } else {
        const double Scaled = double(InSize) * (double(IBPS) * ICh) / (double(InBits) * FInChannels);
        const std::int64_t OutFrame = std::int64_t(OutBytesPerSample) * ICh;
        const std::int64_t Rounded = std::llround(Scaled);
        FSize = Rounded - Rounded % OutFrame;
    }
}

void TAudioConverter::CloseSource()
{
    CloseInput();
    std::vector<std::uint8_t>().swap(OutBuf);
    Release(FloatBuf);
    FPassThrough = false;
    Busy = false;
}

void TAudioConverter::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (BlockWithoutConversion(FPassThrough, Buffer, Bytes))
        return;

    const std::uint32_t Frames = (Bytes / OutBytesPerSample) / ICh;
    std::uint32_t InBytes = Frames * InBytesPerSample * FInChannels;
    void *InBlock = nullptr;
    if (InBytes > 0)
        FInput->GetData(InBlock, InBytes);
    if (InBytes == 0 || !InBlock) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }

    const std::uint32_t f = (InBytes / InBytesPerSample) / FInChannels;
    Bytes = f * OutBytesPerSample * ICh;
    if (std::int64_t(f) > OutFrames) {
        OutBuf.assign(std::size_t(f) * OutBytesPerSample * ICh, 0);
        FloatBuf.assign(std::size_t(f) * std::max(FInChannels, ICh), 0.0f);
        OutFrames = static_cast<std::int32_t>(f);
    }
    ConvertToFloat(InBytesPerSample, InBlock, FloatBuf.data(), std::size_t(f) * FInChannels);
    if (ICh == 2 && FInChannels == 1)
        MonoToStereo(FloatBuf.data(), f);
    else if (ICh == 1 && FInChannels == 2)
        StereoToMono(FloatBuf.data(), f);
    ConvertFromFloat(OutBytesPerSample, FloatBuf.data(), OutBuf.data(), std::size_t(f) * ICh);
    Buffer = OutBuf.data();
}
