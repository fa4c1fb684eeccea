#include "AuSoundOut.h"
#include "AuLocked.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>

namespace {

void SleepMs(std::uint32_t Ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

std::string Hex8(std::uint32_t Code)
{
    char Text[9];
    std::snprintf(Text, sizeof Text, "%.8X", Code);
    return Text;
}

// Checks for free space give up after this many rounds.
constexpr int MaxPollRounds = 16;

} // namespace

TDXAudioOut::TDXAudioOut(TComponent *AOwner) : TAuOutput(AOwner)
{
    DSW_EnumerateDevices(Devices);
    FDeviceCount = Devices.devcount;
    SetThreadPriority(tpTimeCritical); // best effort: kept as a value when not allowed
}

TDXAudioOut::~TDXAudioOut()
{
    ShutDown(); // the worker must be gone before the buffer and the work buffer
    DSW_Release(DSW);
}

void TDXAudioOut::SetFramesInBuffer(std::uint32_t Value)
{
    if (!Busy.load())
        FFramesInBuffer = Value;
}

std::u16string TDXAudioOut::GetDeviceName(std::int32_t Number) const
{
    if (Number < 0 || Number >= FDeviceCount)
        return {};
    return std::u16string(Devices.dinfo[Number].description);
}

TUnderrunEvent TDXAudioOut::OnUnderrun() const
{
    return LockedGet(EventCS, FOnUnderrun);
}

void TDXAudioOut::SetOnUnderrun(TUnderrunEvent Value)
{
    LockedSet(EventCS, FOnUnderrun, std::move(Value));
}

std::int32_t TDXAudioOut::Volume()
{
    std::int32_t V = 0;
    if (DSW_GetVolume(DSW, V) == DSW_OK)
        FVolume = V;
    return FVolume.load();
}

void TDXAudioOut::SetVolume(std::int32_t Value)
{
    FVolume = std::clamp(Value, -10000, 0);
    (void)DSW_SetVolume(DSW, FVolume.load()); // no buffer: applied when the next run starts
}

std::string TDXAudioOut::DeviceError()
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    return DSW.dsw_LastError;
}

void TDXAudioOut::Pause()
{
    TAuOutput::Pause();
    if (!EndOfInput.load())
        DSW_Stop(DSW);
}

void TDXAudioOut::Resume()
{
    // Only a paused run restarts the buffer: a run that is not paused is playing already. Once
    // the input has ended Pause left the buffer playing, so there is nothing to restart, but a
    // worker parked in between still has to be woken to drain the buffer and end the run.
    if (!EndOfInput.load() && Status() == tosPaused)
        DSW_Restart(DSW);
    TAuOutput::Resume();
}

void TDXAudioOut::Jump(std::int32_t Offs)
{
    Pause();
    DSW_FillSilence(DSW, FillByte.load());
    if (TAuInput *In = Input())
        In->_Jump(Offs);
    Resume();
}

void TDXAudioOut::PrepareSink()
{
    Freed = false;
    const std::int32_t Dev = FDeviceNumber.load();
    if (Dev < 0 || Dev >= FDeviceCount)
        throw EAuException("Invalid device number");
    FInput->Init();
    Chan = FInput->Channels();
    SR = FInput->SampleRate();
    const float Speed = FSpeedFactor.load();
    if (Speed != 1.0f) {
        // Rounded to the nearest, halves to even (the default rounding mode).
        const double Rate = std::nearbyint(static_cast<double>(SR) * Speed);
        SR = Rate < 1 ? 1 : Rate > 4e9 ? 4000000000u : static_cast<std::uint32_t>(Rate);
    }
    BPS = FInput->BitsPerSample();
    std::uint32_t Lat = FLatency.load();
    if (Lat != 0) {
        Lat = std::max<std::uint32_t>(Lat, 10);
        FLatency = Lat;
        const std::uint64_t Frames = static_cast<std::uint64_t>(Lat) * SR / 1000;
        FFramesInBuffer = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(Frames, std::numeric_limits<std::uint32_t>::max()));
        FPollingInterval = Lat / 3;
    }
    if (DSW_OpenDevice(DSW, Devices.dinfo[Dev].devname) != DSW_OK)
        throw EAuException("Failed to create DirectSound device");

    const std::uint64_t Size = static_cast<std::uint64_t>(BPS / 8) * FFramesInBuffer.load() * Chan;
    if (Size > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        throw EAuException("Failed to create DirectSound buffer" + Hex8(DSW_ERR_PARAM));
    _BufSize = static_cast<std::int32_t>(Size);
    Buf.assign(static_cast<std::size_t>(_BufSize), 0);
    FillByte = BPS == 8 ? 128 : 0;

    DSW_WaveFormat Fmt;
    if (Chan > 2 || BPS == 24) {
        Fmt.wFormatTag = 0xFFFE;
        Fmt.dwChannelMask = Chan == 2 ? 0x3 : Chan == 6 ? 0x3F : Chan == 8 ? 0xFF : 0;
    } else {
        Fmt.wFormatTag = 1;
    }
    Fmt.nChannels = static_cast<std::uint16_t>(Chan);
    Fmt.nSamplesPerSec = SR;
    Fmt.wBitsPerSample = static_cast<std::uint16_t>(BPS);
    Fmt.nBlockAlign = static_cast<std::uint16_t>(Chan * BPS / 8);
    Fmt.nAvgBytesPerSec = SR * Fmt.nBlockAlign;
    const std::uint32_t Res = DSW_CreateBuffer(DSW, Fmt, static_cast<std::uint32_t>(_BufSize));
    if (Res != DSW_OK)
        throw EAuException("Failed to create DirectSound buffer" + Hex8(Res));

    StartInput = true;
    EndOfInput = false;
    _TmpUnderruns = 0;
    PlayedAtCheck = 0;
    FreeAtCheck = 0;
    WrittenSinceCheck = 0;
}

void TDXAudioOut::ReportUnderrun(std::uint32_t Count)
{
    FUnderruns = Count;
    _TmpUnderruns = Count;
    DSW_Stop(DSW);
    DSW_FillSilence(DSW, FillByte.load());
    if (TUnderrunEvent H = OnUnderrun())
        SharedEventHandler()->PostGenericEvent(this, H, WorkerRun());
    DSW_Restart(DSW);
}

void TDXAudioOut::Fail(const std::string &Message)
{
    {
        std::lock_guard<std::mutex> L(HandlersCS);
        FExceptionMessage = Message;
    }
    if (TThreadExceptionEvent H = OnThreadException())
        SharedEventHandler()->PostGenericEvent(this, H, WorkerRun());
}

bool TDXAudioOut::WriteStep(bool Abort)
{
    if (!Busy.load())
        return true;
    if (!CanOutput.load())
        return false;
    const std::uint32_t FrameBytes = Chan * BPS / 8;
    if (StartInput) {
        bool Eof = false;
        const std::uint32_t Got = FInput->FillBuffer(Buf.data(), static_cast<std::uint32_t>(_BufSize), Eof);
        EndOfInput = Eof;
        DSW_Write(DSW, Buf.data(), Got);
        (void)DSW_SetVolume(DSW, FVolume.load());
        DSW_Start(DSW);
        StartInput = false;
        // Measured from the start: nothing played, the whole buffer was free.
        PlayedAtCheck = 0;
        FreeAtCheck = static_cast<std::uint32_t>(_BufSize);
        WrittenSinceCheck = Got;
        if (EndOfInput.load())
            DSW_FillSilence(DSW, FillByte.load()); // a short input: no stale zero bytes after it
    }
    if (Abort) {
        DSW_Stop(DSW);
        CanOutput = false;
        return false;
    }
    if (!EndOfInput.load()) {
        std::uint32_t Free = 0;
        for (int Round = 1;; ++Round) {
            SleepMs(FPollingInterval.load());
            Free = DSW_FreeSpace(DSW) / FrameBytes * FrameBytes;
            if (Round > MaxPollRounds) {
                Fail("Audio output error");
                return false;
            }
            if (Free != 0)
                break;
        }
        PlayedAtCheck = DSW_FramesPlayed(DSW);
        FreeAtCheck = Free;
        const std::uint32_t Want = std::min(Free, static_cast<std::uint32_t>(_BufSize));
        std::uint32_t N = 0;
        if (FPrefetchData.load()) {
            // Blocks go straight into the buffer, as many as fit: one block per check would
            // starve the device whenever the input's blocks are shorter than a polling interval.
            while (N < Want) {
                void *Block = nullptr;
                std::uint32_t Bytes = Want - N;
                FInput->GetData(Block, Bytes);
                if (Bytes == 0)
                    break;
                DSW_Write(DSW, Block, Bytes);
                N += Bytes;
            }
        } else {
            bool Eof = false;
            N = FInput->FillBuffer(Buf.data(), Want, Eof);
            DSW_Write(DSW, Buf.data(), N);
        }
        EndOfInput = (N == 0);
        WrittenSinceCheck = N;
        if (EndOfInput.load())
            DSW_FillSilence(DSW, FillByte.load());
        const std::uint32_t Under = DSW_Underflows(DSW);
        if (Under != _TmpUnderruns)
            ReportUnderrun(Under);
        return true;
    }
    CanOutput = false;
    Drain();
    DSW_Stop(DSW);
    return false;
}

// Waits until the device has played everything written (at the last check the device stood
// FreeAtCheck bytes short of a full buffer of unplayed sound, then WrittenSinceCheck bytes
// followed), plus two device blocks for the device's own buffer, filling silence behind the
// sound so that the device never reaches stale data. A stop request or a device that stops
// consuming (twice the expected time and a second more) ends the wait early.
void TDXAudioOut::Drain()
{
    const std::uint32_t FrameBytes = Chan * BPS / 8;
    const auto Size = static_cast<std::uint32_t>(_BufSize);
    const std::uint32_t Unplayed = Size - std::min(Size, FreeAtCheck - std::min(FreeAtCheck, WrittenSinceCheck));
    const double RingFrames = static_cast<double>(Size / FrameBytes);
    const double Target = PlayedAtCheck + Unplayed / FrameBytes +
                          2.0 * DSW_DeviceBlockFrames(static_cast<std::uint32_t>(RingFrames));
    const double ExpectedMs = (Target - PlayedAtCheck) * 1000.0 / SR;
    const auto Deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<std::int64_t>(2 * ExpectedMs) + 1000);
    const std::uint32_t Step = std::clamp<std::uint32_t>(FPollingInterval.load(), 1, 20);
    while (DSW_FramesPlayed(DSW) < Target) {
        if (FStopped.load() || std::chrono::steady_clock::now() > Deadline)
            break;
        SleepMs(Step);
        DSW_FillSilence(DSW, FillByte.load());
    }
}

void TDXAudioOut::FinishSink()
{
    if (!Freed.load()) {
        DSW_Stop(DSW);
        DSW_Release(DSW);
        Buf.clear();
        Buf.shrink_to_fit();
        DSW_ThreadCleanup();
    }
    if (FInput)
        FInput->Flush();
    Freed = true;
}
