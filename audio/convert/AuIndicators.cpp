#include "AuIndicators.h"
#include "AuLocked.h"

#include "AuProcs.h"

#include <cmath>

TFastGainIndicator::TFastGainIndicator(TComponent *AOwner) : TAuConverter(AOwner) {}

TFastGainIndicator::~TFastGainIndicator() = default;

TIndicatorEvent TFastGainIndicator::OnGainData() const
{
    return LockedGet(FHandlerCS, FOnGainData);
}

void TFastGainIndicator::SetOnGainData(TIndicatorEvent Value)
{
    LockedSet(FHandlerCS, FOnGainData, std::move(Value));
}

void TFastGainIndicator::Report()
{
    TIndicatorEvent Handler = OnGainData();
    if (Handler)
        SharedEventHandler()->PostGenericEvent(this, Handler);
}

void TFastGainIndicator::OpenSource()
{
    TAuInput *In = FInput;
    if (!In)
        throw EAuException("Input is not assigned");
    Accum = 0;
    Counter = 0;
    FPosition = 0;
    OpenInput(In);

    const std::uint32_t Chans = In->Channels();
    const std::uint32_t Bits = In->BitsPerSample() & ~128u;
    const std::uint32_t Rate = In->SampleRate();
    const char *Refusal = nullptr;
    if (Chans > 2)
        Refusal = "Only mono or stereo soures are supported.";
    else if (Chans == 0)
        Refusal = "The input has no channels.";
    else if (Bits != 8 && Bits != 16 && Bits != 24 && Bits != 32)
        Refusal = "Only 8, 16, 24 and 32 bits per sample can be measured.";
    else if (Rate == 0)
        Refusal = "The input has no sample rate.";
    if (Refusal)
        RefuseInput(In, Refusal);

    FISR = Rate;
    FChannels = Chans;
    FSampleSize = static_cast<std::uint16_t>(Bits / 8);
    FSize = In->Size();
    FPosition = 0;
}

void TFastGainIndicator::CloseSource()
{
    FGainValue = 0;
    Report();
    CloseInput();
    Busy = false;
}

void TFastGainIndicator::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (BlockWithoutConversion(false, Buffer, Bytes))
        return;
    FInput->GetData(Buffer, Bytes);
    if (Bytes == 0 || !Buffer)
        return;

    const std::uint32_t s = Bytes / FSampleSize; // samples of all channels
    if (s > FBufferSize) {
        InBuffer.resize(s);
        FBufferSize = s;
    }
    ConvertToFloat(FSampleSize, Buffer, InBuffer.data(), s);

    // Differences three samples apart, squared in single precision, summed in double.
    const float *x = InBuffer.data();
    double Sum = 0;
    for (std::uint32_t i = 3; i < s; ++i) {
        const float d = x[i] - x[i - 3];
        Sum += d * d;
    }
    if (s > 3) {
        Accum += Sum;
        Counter += s - 3;
    }

    FElapsed += static_cast<std::uint32_t>(std::nearbyint(double(s / FChannels) / FISR * 100000.0));
    if (std::uint64_t(FElapsed) >= std::uint64_t(Interval()) * 100) {
        FElapsed = 0;
        std::uint16_t Value = 0;
        if (Counter > 0)
            Value = static_cast<std::uint16_t>(
                std::nearbyint(20.0 * std::log10(1e6 * Accum / double(Counter) + 1.0)));
        FGainValue = Value;
        Accum = 0;
        Counter = 0;
        Report();
    }
}
