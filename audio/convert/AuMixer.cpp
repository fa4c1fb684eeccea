#include "AuMixer.h"

#include "AuProcs.h"

#include <algorithm>
#include <mutex>

TAudioMixer::TAudioMixer(TComponent *AOwner) : TAuInput(AOwner) {}

TAudioMixer::~TAudioMixer() = default;

void TAudioMixer::SetInputChecked(std::atomic<TAuInput *> &Field, TAuInput *Value)
{
    // Under DataCS so that the test cannot pass just before a run opens the inputs.
    std::lock_guard<std::recursive_mutex> L(DataCS);
    if (IsBusy())
        throw EAuException("The component is busy.");
    Field.store(Value, std::memory_order_release);
}

void TAudioMixer::SetInput1(TAuInput *Value) { SetInputChecked(FInput1, Value); }

void TAudioMixer::SetInput2(TAuInput *Value) { SetInputChecked(FInput2, Value); }

void TAudioMixer::Notification(TComponent *AComponent, TOperation Operation)
{
    TAuInput::Notification(AComponent, Operation);
    if (Operation != opRemove || !AComponent)
        return;
    if (Input1() != AComponent && Input2() != AComponent)
        return;
    std::lock_guard<std::recursive_mutex> L(DataCS);
    if (Input1() == AComponent) {
        FInput1 = nullptr;
        EndOfInput1 = true;
    }
    if (Input2() == AComponent) {
        FInput2 = nullptr;
        EndOfInput2 = true;
    }
}

static TAuInput *RequireInput1(TAuInput *In)
{
    if (!In)
        throw EAuException("Input not assigned");
    return In;
}

std::uint32_t TAudioMixer::BitsPerSample() { return RequireInput1(Input1())->BitsPerSample(); }

std::uint32_t TAudioMixer::Channels() { return RequireInput1(Input1())->Channels(); }

std::uint32_t TAudioMixer::SampleRate() { return RequireInput1(Input1())->SampleRate(); }

void TAudioMixer::OpenSource()
{
    TAuInput *In1 = Input1();
    TAuInput *In2 = Input2();
    if (!In1)
        throw EAuException("Input1 is not assigned");
    if (!In2)
        throw EAuException("Input2 is not assigned");

    Busy = true;
    FPosition = 0;
    SamplesCount = 0;
    EndOfInput1 = false;
    EndOfInput2 = false;
    bool Opened1 = false;
    try {
        In1->Init();
        Opened1 = true;
        In2->Init();
    } catch (...) {
        if (Opened1) {
            try {
                In1->Flush();
            } catch (...) {
                // The opening failure is what the caller needs to see.
            }
        }
        Busy = false;
        throw;
    }

    BytesPerSample1 = static_cast<std::uint8_t>((In1->BitsPerSample() & ~128u) / 8);
    BytesPerSample2 = static_cast<std::uint8_t>((In2->BitsPerSample() & ~128u) / 8);
    FChannels2 = In2->Channels();
    auto Convertible = [](std::uint8_t B) { return B >= 1 && B <= 4; };
    if (!Convertible(BytesPerSample1) || !Convertible(BytesPerSample2)) {
        try {
            In1->Flush();
            In2->Flush();
        } catch (...) {
        }
        Busy = false;
        throw EAuException("Only 8, 16, 24 and 32 bits per sample can be mixed.");
    }

    const std::int64_t Size1 = In1->Size(), Size2 = In2->Size();
    if (Size1 < 0 || Size2 < 0) {
        FSize = -1;
    } else {
        const std::int64_t S1 = Size1 / BytesPerSample1;
        const std::int64_t S2 = Size2 / BytesPerSample2;
        std::int64_t Samples;
        if (Mode() == amConcatenate)
            Samples = S1 + S2;
        else // the start point counted in samples, as the mixing itself counts it
            Samples = std::max(S1, S2 + Input2StartSample() * std::int64_t(FChannels2));
        FSize = Samples * BytesPerSample1;
    }

    InBuf1.assign(std::size_t(BlockSamples) * BytesPerSample1, 0);
    InBuf2.assign(std::size_t(BlockSamples) * BytesPerSample2, 0);
    FloatBuf1.assign(BlockSamples, 0.0f);
    FloatBuf2.assign(BlockSamples, 0.0f);
}

void TAudioMixer::CloseSource()
{
    // Close both inputs even when the first refuses; report the first failure.
    std::exception_ptr Failure;
    for (TAuInput *In : {Input1(), Input2()}) {
        try {
            if (In)
                In->Flush();
        } catch (...) {
            if (!Failure)
                Failure = std::current_exception();
        }
    }
    std::vector<std::uint8_t>().swap(InBuf1);
    std::vector<std::uint8_t>().swap(InBuf2);
    std::vector<float>().swap(FloatBuf1);
    std::vector<float>().swap(FloatBuf2);
    Busy = false;
    if (Failure)
        std::rethrow_exception(Failure);
}

std::uint32_t TAudioMixer::ReadSamples(TAuInput *In, bool &Ended, std::uint8_t *Buf,
                                       std::uint32_t Samples, std::uint8_t BytesPerSample)
{
    if (!In) {
        Ended = true;
        return 0;
    }
    bool Eof = false;
    const std::uint32_t Got = In->FillBuffer(Buf, Samples * BytesPerSample, Eof);
    if (Eof)
        Ended = true;
    return Got / BytesPerSample;
}

void TAudioMixer::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    Buffer = nullptr;
    if (!IsBusy())
        throw EAuException("The Stream is not opened");
    if (EndOfInput1 && EndOfInput2) {
        Bytes = 0;
        return;
    }
    const std::uint32_t n = std::min(Bytes / BytesPerSample1, BlockSamples);
    if (n == 0) { // less than one sample asked for: nothing can be handed out
        Bytes = 0;
        return;
    }
    const float Gain1 = float(Volume1()) / 65535.0f;
    const float Gain2 = float(Volume2()) / 65535.0f;
    if (Mode() == amConcatenate)
        Concatenate(Buffer, Bytes, n, Gain1, Gain2);
    else
        Mix(Buffer, Bytes, n, Gain1, Gain2);
}

std::uint32_t TAudioMixer::ReadScaled(TAuInput *In, bool &Ended, std::uint8_t *Buf, std::uint8_t BytesPerSample,
                                      std::uint32_t n, float Gain)
{
    float *F = FloatBuf1.data();
    const std::uint32_t Got = ReadSamples(In, Ended, Buf, n, BytesPerSample);
    ConvertToFloat(BytesPerSample, Buf, F, Got);
    for (std::uint32_t i = 0; i < Got; ++i)
        F[i] *= Gain;
    ConvertFromFloat(BytesPerSample1, F, InBuf1.data(), Got);
    return Got;
}

void TAudioMixer::Concatenate(void *&Buffer, std::uint32_t &Bytes, std::uint32_t n, float Gain1,
                              float Gain2)
{
    if (!EndOfInput1) {
        const std::uint32_t Got = ReadScaled(Input1(), EndOfInput1, InBuf1.data(), BytesPerSample1, n, Gain1);
        if (Got > 0) {
            Buffer = InBuf1.data();
            Bytes = Got * BytesPerSample1;
            return;
        }
    }
    std::uint32_t Got = 0;
    if (!EndOfInput2)
        Got = ReadScaled(Input2(), EndOfInput2, InBuf2.data(), BytesPerSample2, n, Gain2);
    Buffer = InBuf1.data();
    Bytes = Got * BytesPerSample1;
}

void TAudioMixer::Mix(void *&Buffer, std::uint32_t &Bytes, std::uint32_t n, float Gain1, float Gain2)
{
    float *F1 = FloatBuf1.data();
    float *F2 = FloatBuf2.data();
    // Only the samples actually read are converted; the rest stays 0.0 (silence in every
    // width, also 8-bit, whose zero byte would read as full negative scale).
    std::fill_n(F1, n, 0.0f);
    std::fill_n(F2, n, 0.0f);

    std::uint32_t f = 0, e = 0;
    if (!EndOfInput1) {
        f = ReadSamples(Input1(), EndOfInput1, InBuf1.data(), n, BytesPerSample1);
        SamplesCount += f;
    }
    if (SamplesCount >= Input2StartSample() * std::int64_t(FChannels2) && !EndOfInput2)
        e = ReadSamples(Input2(), EndOfInput2, InBuf2.data(), n, BytesPerSample2);

    ConvertToFloat(BytesPerSample1, InBuf1.data(), F1, f);
    ConvertToFloat(BytesPerSample2, InBuf2.data(), F2, e);
    const std::uint32_t Count = std::max(f, e);
    for (std::uint32_t i = 0; i < Count; ++i)
        F1[i] = (Gain1 * F1[i] + Gain2 * F2[i]) / 2.0f;
    ConvertFromFloat(BytesPerSample1, F1, InBuf1.data(), Count);
    Buffer = InBuf1.data();
    Bytes = Count * BytesPerSample1;
}
