#include "PipelineTestKit.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace testkit {

std::vector<std::uint8_t> PatternBytes(std::uint64_t From, std::size_t Count)
{
    std::vector<std::uint8_t> V(Count);
    for (std::size_t I = 0; I < Count; ++I)
        V[I] = PatternByte(From + I);
    return V;
}

// ---------------------------------------------------------------------------------------------

TByteSource::TByteSource(TComponent *AOwner, std::int64_t SizeBytes, std::uint32_t MaxBlock,
                         std::uint32_t Bps, std::uint32_t Chan, std::uint32_t Rate)
    : TAuStreamedInput(AOwner), FBytes(SizeBytes), FMaxBlock(MaxBlock), FBps(Bps), FChan(Chan), FRate(Rate)
{
    FSampleSize = static_cast<std::uint16_t>(Chan * Bps / 8);
    FTotalSamples = SizeBytes > 0 ? SizeBytes / FSampleSize : 0;
}

void TByteSource::OpenSource()
{
    ++Opens;
    if (!FailOpen.empty())
        throw EAuException(FailOpen);
    Busy = true;
    FPosition = 0;
    FSize = FBytes;
    FTotalSamples = FBytes > 0 ? FBytes / FSampleSize : 0;
    FOffset = FStartSample.load() * FSampleSize;
    FBuf.resize(FMaxBlock);
}

void TByteSource::CloseSource()
{
    ++Closes;
    FStartSample = 0;
    FEndSample = -1;
    Busy = false;
    if (!FailClose.empty())
        throw EAuException(FailClose);
}

void TByteSource::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    ++Produced;
    if (OnProduce)
        OnProduce();
    if (StepDelay.count() > 0)
        std::this_thread::sleep_for(StepDelay);
    std::int64_t N = std::min<std::int64_t>(Bytes, FMaxBlock);
    if (FBytes >= 0)
        N = std::max<std::int64_t>(0, std::min<std::int64_t>(N, FBytes + Overshoot - FOffset));
    for (std::int64_t I = 0; Fill && I < N; ++I)
        FBuf[static_cast<std::size_t>(I)] = PatternByte(static_cast<std::uint64_t>(FOffset + I));
    FOffset += N;
    Buffer = N > 0 ? FBuf.data() : nullptr;
    Bytes = static_cast<std::uint32_t>(N);
}

bool TByteSource::SeekSource(std::int64_t &SampleNum)
{
    FOffset = SampleNum * FSampleSize;
    return true;
}

// ---------------------------------------------------------------------------------------------

void TPassConverter::OpenSource()
{
    ++Opens;
    if (!FInput)
        throw EAuException("Input not assigned");
    FInput->Init();
    Busy = true;
    FSize = SizeOverride != -2 ? SizeOverride : FInput->Size();
    FPosition = 0;
}

void TPassConverter::CloseSource()
{
    ++Closes;
    if (FInput)
        FInput->Flush();
    Busy = false;
}

void TPassConverter::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (!FInput) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    FInput->GetData(Buffer, Bytes);
}

// ---------------------------------------------------------------------------------------------

namespace {
constexpr std::int64_t HeaderSize = 12;
}

std::vector<std::uint8_t> MakeRawPcm(std::uint32_t Rate, std::uint16_t Chan, std::uint16_t Bits,
                                     const std::vector<std::uint8_t> &Data)
{
    std::vector<std::uint8_t> V = {'F', 'L', 'X', 'P'};
    for (int I = 0; I < 4; ++I)
        V.push_back(static_cast<std::uint8_t>(Rate >> (8 * I)));
    V.push_back(static_cast<std::uint8_t>(Chan));
    V.push_back(static_cast<std::uint8_t>(Chan >> 8));
    V.push_back(static_cast<std::uint8_t>(Bits));
    V.push_back(static_cast<std::uint8_t>(Bits >> 8));
    V.insert(V.end(), Data.begin(), Data.end());
    return V;
}

TRawFileIn::TRawFileIn(TComponent *AOwner, std::uint32_t MaxBlock) : TAuTaggedFileIn(AOwner), FMaxBlock(MaxBlock)
{
    FBuf.resize(MaxBlock);
}

TRawFileIn::~TRawFileIn() { CloseInputFile(); }

void TRawFileIn::OpenInputFile()
{
    std::lock_guard<std::recursive_mutex> L(OpenCS);
    if (FOpened > 0)
        return;
    if (!FStreamAssigned && FWideFileName.empty())
        throw EAuException("The file name is not assigned");
    if (!FStreamAssigned)
        FStream = new TAuFileStream(FWideFileName, fmOpenRead | fmShareDenyWrite);
    FStream->Seek(0, soBeginning);
    std::uint8_t H[HeaderSize] = {};
    const bool Ok = FStream->Read(H, HeaderSize) == HeaderSize && std::memcmp(H, "FLXP", 4) == 0;
    FValid = Ok;
    if (Ok) {
        FSR = static_cast<std::uint32_t>(H[4] | H[5] << 8 | H[6] << 16 | H[7] << 24);
        FChan = static_cast<std::uint32_t>(H[8] | H[9] << 8);
        FBPS = static_cast<std::uint32_t>(H[10] | H[11] << 8);
        FSize = FStream->Size() - HeaderSize;
        FTotalSamples = FChan * FBPS >= 8 ? FSize.load() / (FChan * FBPS / 8) : 0;
    } else {
        FSR = FChan = FBPS = 0;
        FSize = 0;
    }
    FOpened = 1;
    ++FileOpens;
}

void TRawFileIn::CloseInputFile()
{
    std::lock_guard<std::recursive_mutex> L(OpenCS);
    if (FOpened <= 0)
        return;
    FOpened = 0;
    if (FStreamAssigned) {
        FStream->Seek(0, soBeginning);
    } else {
        delete FStream;
        FStream = nullptr;
    }
}

void TRawFileIn::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (FOpened <= 0 || !FValid) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const std::int64_t Left = FSize.load() - FPosition.load();
    if (FSize.load() > 0 && Bytes > Left)
        Bytes = static_cast<std::uint32_t>(std::max<std::int64_t>(0, Left));
    const std::int64_t N = FStream->Read(FBuf.data(), std::min<std::uint32_t>(Bytes, FMaxBlock));
    Buffer = FBuf.data();
    Bytes = static_cast<std::uint32_t>(N);
}

bool TRawFileIn::SeekSource(std::int64_t &SampleNum)
{
    FStream->Seek(HeaderSize + SampleNum * FSampleSize, soBeginning);
    return true;
}

// ---------------------------------------------------------------------------------------------

void TMemoryTap::OpenTapFile()
{
    ++OpenCount;
    Files.emplace_back();
}

void TMemoryTap::CloseTapFile() { ++CloseCount; }

void TMemoryTap::WriteTapBlock(const void *Block, std::uint32_t BufferLen)
{
    const auto *P = static_cast<const std::uint8_t *>(Block);
    Files.back().insert(Files.back().end(), P, P + BufferLen);
}

// ---------------------------------------------------------------------------------------------

TCollectOut::TCollectOut(TComponent *AOwner, std::uint32_t BlockSize) : TAuOutput(AOwner), FBlockSize(BlockSize) {}

TCollectOut::~TCollectOut() { ShutDown(); }

std::vector<std::uint8_t> TCollectOut::Data() const
{
    std::lock_guard<std::mutex> L(FDataCS);
    return FData;
}

void TCollectOut::ClearData()
{
    std::lock_guard<std::mutex> L(FDataCS);
    FData.clear();
}

void TCollectOut::PrepareSink()
{
    ++Prepares;
    if (!FailPrepare.empty())
        throw EAuException(FailPrepare);
    FWork.resize(FBlockSize);
    FInput->Init();
}

bool TCollectOut::WriteStep(bool Abort)
{
    if (Abort)
        return false;
    ++Steps;
    if (!FailStep.empty())
        throw EAuException(FailStep);
    if (StepDelay.count() > 0)
        std::this_thread::sleep_for(StepDelay);
    const std::uint8_t *P = nullptr;
    std::uint32_t N = 0;
    bool More = true;
    if (UseFillBuffer) {
        bool Eof = false;
        N = FInput->FillBuffer(FWork.data(), FBlockSize, Eof);
        P = FWork.data();
        More = !Eof;
    } else {
        void *B = nullptr;
        N = FBlockSize;
        FInput->GetData(B, N);
        P = static_cast<const std::uint8_t *>(B);
        More = N > 0;
    }
    BytesPulled += N;
    if (Keep && N > 0) {
        std::lock_guard<std::mutex> L(FDataCS);
        FData.insert(FData.end(), P, P + N);
    }
    return More;
}

void TCollectOut::FinishSink()
{
    ++Finishes;
    if (FInput)
        FInput->Flush();
    if (!FailFinish.empty())
        throw EAuException(FailFinish);
}

// ---------------------------------------------------------------------------------------------

void TPumpRecordingQueue::PumpWhileWaiting()
{
    Pumps.push_back(Clock::now());
    TWindowCallQueue::PumpWhileWaiting();
    if (OnPump)
        OnPump();
}

TPumpRecordingQueue::Clock::duration TPumpRecordingQueue::LongestGap(Clock::time_point From, Clock::time_point To) const
{
    Clock::duration Longest{0};
    Clock::time_point Last = From;
    for (const auto T : Pumps) {
        if (T < From || T > To)
            continue;
        Longest = std::max(Longest, T - Last);
        Last = T;
    }
    return std::max(Longest, To - Last);
}

TWindowThread::TWindowThread() : FQueue(std::make_shared<TPumpRecordingQueue>())
{
    SetWindowThreadDispatcher(FQueue);
}

TWindowThread::~TWindowThread()
{
    SetWindowThreadDispatcher(nullptr);
    FQueue->Close();
}

bool TWindowThread::PumpUntil(const std::function<bool()> &Done, std::chrono::milliseconds Timeout)
{
    return FQueue->PumpUntil(Done, Timeout);
}

} // namespace testkit
