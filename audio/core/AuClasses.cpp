#include "AuClasses.h"

#include "AuTags.h"
#include "AuText.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

// ---------------------------------------------------------------------------------------------
// TAuInput

TAuInput::TAuInput(TComponent *AOwner) : TComponent(AOwner) {}

TAuInput::~TAuInput() = default;

std::uint32_t TAuInput::TotalTime() { return 0; }

std::int64_t TAuInput::TotalSamples() { return 0; }

void TAuInput::SetRequestFloat(bool Value) { FFloatRequested = Value; }

void TAuInput::GetData(void *&Buffer, std::uint32_t &Bytes)
{
    std::lock_guard<std::recursive_mutex> L(DataCS);
    ProduceBlock(Buffer, Bytes);
}

void TAuInput::Init()
{
    std::string Msg;
    bool Failed = false;
    {
        std::lock_guard<std::recursive_mutex> L(DataCS);
        _EndOfStream = false;
        try {
            OpenSource();
        } catch (const std::exception &E) {
            _EndOfStream = true;
            Msg = E.what();
            Failed = true;
        } catch (...) {
            _EndOfStream = true;
            Msg = "Unknown exception";
            Failed = true;
        }
    }
    if (Failed)
        throw EAuException(Msg);
}

void TAuInput::Flush()
{
    TPumpingLock L(DataCS);
    CloseSource();
}

void TAuInput::Reset()
{
    try {
        Flush();
    } catch (...) {
    }
    Busy = false;
}

void TAuInput::_Pause() {}

void TAuInput::_Resume() {}

void TAuInput::_Jump(std::int32_t) {}

std::uint32_t TAuInput::CopyData(void *Buffer, std::int32_t BufferSize)
{
    // A request for no bytes would read as end of data and latch it; as in FillBuffer, answer
    // it without asking the chain.
    if (BufferSize <= 0)
        return 0;
    void *P = nullptr;
    std::uint32_t Bytes = static_cast<std::uint32_t>(BufferSize);
    GetData(P, Bytes);
    Bytes = std::min(Bytes, static_cast<std::uint32_t>(BufferSize));
    if (P && Buffer && Bytes > 0)
        std::memcpy(Buffer, P, Bytes);
    return Bytes;
}

namespace {

// Joins the blocks Read hands out into Buffer until it holds BufferSize bytes, or until Read
// hands out 0 bytes (then Eof is set). Returns the bytes joined.
template <class TRead>
std::uint32_t JoinBlocks(TRead Read, void *Buffer, std::uint32_t BufferSize, bool &Eof)
{
    auto *Dst = static_cast<std::uint8_t *>(Buffer);
    std::uint32_t Filled = 0;
    while (Filled < BufferSize) {
        void *P = nullptr;
        std::uint32_t Bytes = BufferSize - Filled;
        Read(P, Bytes);
        if (Bytes == 0) {
            Eof = true;
            break;
        }
        // A producer must never hand out more than asked; if one does, the caller's buffer
        // still must not overflow.
        Bytes = std::min(Bytes, BufferSize - Filled);
        std::memcpy(Dst + Filled, P, Bytes);
        Filled += Bytes;
    }
    return Filled;
}

} // namespace

std::uint32_t TAuInput::FillBuffer(void *Buffer, std::uint32_t BufferSize, bool &Eof)
{
    Eof = false;
    // A zero-sized request would read as end of data; report it so without asking the chain.
    if (BufferSize == 0) {
        Eof = true;
        return 0;
    }
    return JoinBlocks([this](void *&P, std::uint32_t &Bytes) { GetData(P, Bytes); }, Buffer, BufferSize, Eof);
}

std::uint32_t TAuInput::FillBufferUnprotected(void *Buffer, std::uint32_t BufferSize, bool &Eof)
{
    Eof = false;
    if (!Buffer)
        return 0;
    if (BufferSize == 0) {
        Eof = true;
        return 0;
    }
    std::lock_guard<std::recursive_mutex> L(DataCS);
    const std::uint32_t Filled =
        JoinBlocks([this](void *&P, std::uint32_t &Bytes) { ProduceBlock(P, Bytes); }, Buffer, BufferSize, Eof);
    FPosition.store(FPosition.load(std::memory_order_relaxed) + Filled, std::memory_order_relaxed);
    return Filled;
}

// ---------------------------------------------------------------------------------------------
// TAuConverter

TAuConverter::TAuConverter(TComponent *AOwner) : TAuInput(AOwner) {}

void TAuConverter::SetInput(TAuInput *Value)
{
    if (Value == this)
        return;
    std::lock_guard<std::recursive_mutex> L(DataCS);
    if (IsBusy()) {
        TAuInput *Old = FInput;
        // The old input is being replaced: store the new one even if closing the old fails,
        // and open it all the same, so that the run never reads an input that is not open.
        // The closing failure is raised after.
        FInput = Value;
        FInputShadow.store(Value, std::memory_order_release);
        std::exception_ptr CloseError;
        if (Old) {
            try {
                Old->Flush();
            } catch (...) {
                CloseError = std::current_exception();
            }
        }
        if (Value)
            Value->Init();
        if (CloseError)
            std::rethrow_exception(CloseError);
        return;
    }
    FInput = Value;
    FInputShadow.store(Value, std::memory_order_release);
}

void TAuConverter::OpenInput(TAuInput *In)
{
    Busy = true;
    try {
        In->Init();
    } catch (...) {
        Busy = false;
        throw;
    }
}

void TAuConverter::RefuseInput(TAuInput *In, const char *Msg)
{
    try {
        In->Flush();
    } catch (...) {
        // The refusal is what the caller needs to see.
    }
    Busy = false;
    throw EAuException(Msg);
}

void TAuConverter::CloseInput()
{
    TAuInput *In = FInput;
    try {
        if (In)
            In->Flush();
    } catch (...) {
        Busy = false;
        throw;
    }
}

bool TAuConverter::BlockWithoutConversion(bool PassThrough, void *&Buffer, std::uint32_t &Bytes)
{
    if (!FInput) { // the Input was taken away during the run
        Buffer = nullptr;
        Bytes = 0;
        return true;
    }
    if (PassThrough) {
        FInput->GetData(Buffer, Bytes);
        return true;
    }
    if (!IsBusy())
        throw EAuException("The Stream is not opened");
    return false;
}

std::uint32_t TAuConverter::BitsPerSample()
{
    TAuInput *In = Input();
    if (!In)
        return 0;
    const std::uint32_t B = In->BitsPerSample();
    return RequestFloat() ? B : (B & ~128u);
}

std::uint32_t TAuConverter::Channels()
{
    TAuInput *In = Input();
    return In ? In->Channels() : 0;
}

std::uint32_t TAuConverter::SampleRate()
{
    TAuInput *In = Input();
    return In ? In->SampleRate() : 0;
}

void TAuConverter::GetData(void *&Buffer, std::uint32_t &Bytes)
{
    std::lock_guard<std::recursive_mutex> L(DataCS);
    if (_EndOfStream.load(std::memory_order_relaxed)) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    ProduceBlock(Buffer, Bytes);
    const std::int64_t Pos = FPosition.load(std::memory_order_relaxed) + Bytes;
    FPosition.store(Pos, std::memory_order_relaxed);
    const std::int64_t Sz = FSize.load(std::memory_order_relaxed);
    if (Sz > 0 && Pos > Sz) {
        const std::int64_t Over = Pos - Sz;
        Bytes = Over >= Bytes ? 0 : static_cast<std::uint32_t>(Bytes - Over);
        _EndOfStream = true;
    }
    if (Bytes == 0)
        _EndOfStream = true;
}

void TAuConverter::_Pause()
{
    if (TAuInput *In = Input())
        In->_Pause();
}

void TAuConverter::_Resume()
{
    if (TAuInput *In = Input())
        In->_Resume();
}

void TAuConverter::_Jump(std::int32_t Offs)
{
    if (TAuInput *In = Input())
        In->_Jump(Offs);
}

void TAuConverter::Notification(TComponent *AComponent, TOperation Operation)
{
    TAuInput::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == Input()) {
        // Closing the departing input may fail; the reference must go regardless.
        try {
            SetInput(nullptr);
        } catch (...) {
            std::lock_guard<std::recursive_mutex> L(DataCS);
            FInput = nullptr;
            FInputShadow.store(nullptr);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// TAuStreamedInput

TAuStreamedInput::TAuStreamedInput(TComponent *AOwner) : TAuInput(AOwner) { FSeekable = true; }

TAuStreamedInput::~TAuStreamedInput()
{
    if (!FStreamAssigned)
        delete FStream;
}

void TAuStreamedInput::SetStream(TStream *Value)
{
    if (!FStreamAssigned)
        delete FStream;
    FStream = Value;
    FStreamAssigned = Value != nullptr;
}

bool TAuStreamedInput::Seek(std::int64_t SampleNum)
{
    if (!Seekable())
        return false;
    // There is no frame before the first: a negative number would preset a selection that
    // starts before the file (and runs past its end) or move the source to nowhere.
    if (SampleNum < 0)
        return false;
    const std::int64_t Total = FTotalSamples.load();
    if (Total != 0 && SampleNum > Total)
        return false;
    std::lock_guard<std::recursive_mutex> L(DataCS);
    if (!IsBusy()) {
        FStartSample = SampleNum;
        FPosition = SampleNum * FSampleSize;
        FEndSample = -1;
        return true;
    }
    bool Result = false;
    try {
        SampleNum += FStartSample.load();
        Result = SeekSource(SampleNum);
        FPosition = (SampleNum - FStartSample.load()) * FSampleSize;
    } catch (...) {
        Result = false;
    }
    return Result;
}

void TAuStreamedInput::GetData(void *&Buffer, std::uint32_t &Bytes)
{
    std::lock_guard<std::recursive_mutex> L(DataCS);
    const std::uint32_t Requested = Bytes;
    if (_EndOfStream.load(std::memory_order_relaxed)) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    ProduceBlock(Buffer, Bytes);
    if (Bytes == 0) {
        _EndOfStream = true;
    } else {
        std::int64_t Pos = FPosition.load(std::memory_order_relaxed) + Bytes;
        const std::int64_t Sz = FSize.load(std::memory_order_relaxed);
        if (Sz > 0 && Pos >= Sz) {
            _EndOfStream = true;
            if (Pos > Sz) {
                Bytes -= static_cast<std::uint32_t>(Pos - Sz);
                Pos = Sz;
            }
        }
        FPosition.store(Pos, std::memory_order_relaxed);
    }
    if (_EndOfStream.load(std::memory_order_relaxed) && FLoop.load()) {
        _EndOfStream = false;
        if (Seekable()) {
            std::int64_t Start = FStartSample.load();
            SeekSource(Start);
        } else {
            Flush();
            Init();
        }
        FPosition = 0;
        Bytes = Requested;
        ProduceBlock(Buffer, Bytes);
        FPosition = Bytes;
        const std::int64_t Sz = FSize.load(std::memory_order_relaxed);
        if (Bytes == 0 || (Sz > 0 && static_cast<std::int64_t>(Bytes) >= Sz))
            _EndOfStream = true;
    }
}

// ---------------------------------------------------------------------------------------------
// TAuFileIn

TAuFileIn::TAuFileIn(TComponent *AOwner) : TAuStreamedInput(AOwner) {}

std::string TAuFileIn::FileName()
{
    std::lock_guard<std::mutex> L(FNameCS);
    return FFileName;
}

void TAuFileIn::SetFileName(const std::string &Value)
{
    TPumpingLock L(OpenCS);
    CloseInputFile();
    std::lock_guard<std::mutex> N(FNameCS);
    FFileName = Value;
    FWideFileName = Utf8ToUtf16(Value);
}

std::u16string TAuFileIn::WideFileName()
{
    std::lock_guard<std::mutex> L(FNameCS);
    return FWideFileName;
}

void TAuFileIn::SetWideFileName(const std::u16string &Value)
{
    TPumpingLock L(OpenCS);
    CloseInputFile();
    std::lock_guard<std::mutex> N(FNameCS);
    FWideFileName = Value;
    FFileName.clear();
}

void TAuFileIn::SetStream(TStream *Value)
{
    TPumpingLock L(OpenCS);
    CloseInputFile();
    TAuStreamedInput::SetStream(Value);
}

std::uint32_t TAuFileIn::BitsPerSample()
{
    TPumpingLock L(OpenCS);
    OpenInputFile();
    return FBPS;
}

std::uint32_t TAuFileIn::Channels()
{
    TPumpingLock L(OpenCS);
    OpenInputFile();
    return FChan;
}

std::uint32_t TAuFileIn::SampleRate()
{
    TPumpingLock L(OpenCS);
    OpenInputFile();
    return FSR;
}

std::uint32_t TAuFileIn::TotalTime()
{
    TPumpingLock L(OpenCS);
    OpenInputFile();
    const std::uint64_t Rate = static_cast<std::uint64_t>(FSR) * FChan * (FBPS / 8);
    if (FSR == 0 || FChan == 0 || FBPS == 0 || Rate == 0)
        return 0;
    return static_cast<std::uint32_t>(std::nearbyint(static_cast<double>(FSize.load()) / static_cast<double>(Rate)));
}

std::int64_t TAuFileIn::TotalSamples()
{
    TPumpingLock L(OpenCS);
    OpenInputFile();
    const std::int64_t Frame = static_cast<std::int64_t>(FChan) * FBPS / 8;
    // A zero frame size (no format) cannot divide; such a file has no samples to count.
    if (FSize.load() > 0 && Frame > 0)
        FTotalSamples = FSize.load() / Frame;
    else
        FTotalSamples = -1;
    return FTotalSamples;
}

bool TAuFileIn::Valid()
{
    TPumpingLock L(OpenCS);
    if (!FStream && FWideFileName.empty())
        return FValid;
    try {
        OpenInputFile();
    } catch (...) {
        FValid = false;
    }
    if (FValid)
        return true;
    if (FOpened > 0) {
        try {
            CloseInputFile();
        } catch (...) {
        }
    } else if (!FStreamAssigned && FStream) {
        delete FStream;
        FStream = nullptr;
    }
    return FValid;
}

bool TAuFileIn::SetStartTime(std::uint32_t Minutes, std::uint32_t Seconds)
{
    return PresetBound(FStartSample, Minutes, Seconds);
}

bool TAuFileIn::SetEndTime(std::uint32_t Minutes, std::uint32_t Seconds)
{
    return PresetBound(FEndSample, Minutes, Seconds);
}

bool TAuFileIn::PresetBound(std::atomic<std::int64_t> &Bound, std::uint32_t Minutes, std::uint32_t Seconds)
{
    if (!Seekable())
        return false;
    TPumpingLock L(OpenCS);
    OpenInputFile();
    const std::int64_t Sample = (static_cast<std::int64_t>(Seconds) + static_cast<std::int64_t>(Minutes) * 60) * FSR;
    if (Sample > FTotalSamples.load())
        return false;
    Bound = Sample;
    return true;
}

void TAuFileIn::Reset()
{
    TAuStreamedInput::Reset();
    FOpened = 0;
}

void TAuFileIn::_Jump(std::int32_t Offs)
{
    const std::int64_t Sz = Size();
    if (!Seekable() || Sz == 0)
        return;
    double P = static_cast<double>(Position()) / static_cast<double>(Sz) + Offs / 1000.0;
    P = std::clamp(P, 0.0, 1.0);
    // 64-bit: a file of more than 2^31 frames (13.5 hours at 44.1 kHz) must not wrap.
    const auto Sample = static_cast<std::int64_t>(std::nearbyint(static_cast<double>(FTotalSamples.load()) * P));
    Seek(Sample);
}

void TAuFileIn::OpenSource()
{
    if (IsBusy())
        throw EAuException("The component is Busy");
    {
        TPumpingLock L(OpenCS);
        if (!FStreamAssigned && FWideFileName.empty())
            throw EAuException("The file name is not assigned");
    }
    Busy = true;
    FPosition = 0;
    {
        TPumpingLock L(OpenCS);
        // A file that cannot be opened leaves the input closed, so that the next open (of
        // another file, say) is not refused as busy when no output's run closes it.
        try {
            OpenInputFile();
        } catch (...) {
            Busy = false;
            throw;
        }
        if (!FValid) {
            FSR = 8000;
            FBPS = 8;
            FChan = 1;
            FTotalSamples = 0;
            FSize = 0;
            FTime = 0;
            return;
        }
        FSampleSize = static_cast<std::uint16_t>(FChan * FBPS / 8);
    }
    // A file without a usable frame size or rate cannot be measured in frames: deliver it as
    // it comes, without a selection.
    if (FSampleSize == 0 || FSR == 0) {
        FTotalSamples = 0;
        FTime = 0;
        BufStart = 1;
        BufEnd = 0;
        return;
    }
    FTotalSamples = FSize.load() / FSampleSize;
    FTime = static_cast<std::uint32_t>(FTotalSamples.load() / FSR);
    if (FStartSample.load() > 0) {
        Seek(0);
        FPosition = 0;
    }
    if (FStartSample.load() == 0 && FEndSample.load() == -1) {
        BufStart = 1;
        BufEnd = 0;
        return;
    }
    if (FEndSample.load() > FTotalSamples.load())
        FEndSample = -1;
    const std::int64_t Last = FEndSample.load() == -1 ? FTotalSamples.load() : FEndSample.load();
    FTotalSamples = Last - FStartSample.load() + 1;
    FSize = FTotalSamples.load() * FSampleSize;
    BufStart = 1;
    BufEnd = 0;
}

void TAuFileIn::CloseSource()
{
    // The run ends even when the file cannot be closed cleanly: the selection is reset and
    // the input is no longer busy, then the failure goes on to the caller.
    std::exception_ptr CloseError;
    {
        TPumpingLock L(OpenCS);
        try {
            CloseInputFile();
        } catch (...) {
            CloseError = std::current_exception();
        }
    }
    FStartSample = 0;
    FEndSample = -1;
    Busy = false;
    if (CloseError)
        std::rethrow_exception(CloseError);
}

// ---------------------------------------------------------------------------------------------
// TAuTaggedFileIn

TAuTaggedFileIn::TAuTaggedFileIn(TComponent *AOwner)
    : TAuFileIn(AOwner), FId3v1Tags(std::make_unique<TId3v1Tags>()),
      FId3v2Tags(std::make_unique<TId3v2Tags>()), FAPEv2Tags(std::make_unique<TAPEv2Tags>()),
      FCommonTags(std::make_unique<TCommonTags>())
{
}

TAuTaggedFileIn::~TAuTaggedFileIn() = default;
