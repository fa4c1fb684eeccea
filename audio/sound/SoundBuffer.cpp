// The looping output buffer on SDL2 audio; see SoundBuffer.h for the contract.
#include "SoundBuffer.h"

#include "AuText.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// SDL's subsystem reference count and device table are not guarded for concurrent init, quit,
// open and close, so every such call of this unit goes through this lock.
std::mutex &SDLLock()
{
    static std::mutex Lock;
    return Lock;
}

// Starts SDL's audio (counted by SDL; each call is matched by SDL_QuitSubSystem). Audio pulls
// in SDL's event layer, which would otherwise catch SIGINT and SIGTERM for an event queue that
// nobody here reads, so that the program would no longer end on them.
int StartSdlAudio()
{
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    return SDL_InitSubSystem(SDL_INIT_AUDIO);
}

std::int64_t CounterNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string SDLErrorText(const char *What)
{
    std::string Text = What;
    const char *Err = SDL_GetError();
    if (Err && *Err) {
        Text += ": ";
        Text += Err;
    }
    return Text;
}

// UTF-8 to UTF-16 (AuText's decoder: a malformed sequence becomes U+FFFD), at most MaxUnits
// code units, NUL-terminated; a surrogate pair is never split.
void Utf8ToDescription(const char *Text, char16_t *Out, std::size_t MaxUnits)
{
    const std::u16string Wide = Utf8ToUtf16(Text ? Text : "");
    std::size_t N = std::min(Wide.size(), MaxUnits);
    if (N > 0 && N < Wide.size() && Wide[N - 1] >= 0xD800 && Wide[N - 1] <= 0xDBFF)
        --N;
    std::copy_n(Wide.data(), N, Out);
    Out[N] = 0;
}

constexpr const char *DefaultDeviceDescription = "Default audio output";

} // namespace

// The ring the SDL callback plays, with the SDL device that plays it.
class TLoopingBuffer {
public:
    std::vector<std::uint8_t> Data; // the ring, in the caller's format
    std::uint32_t Size = 0;         // bytes of the ring (whole frames)
    std::uint32_t FrameBytes = 0;   // bytes per frame in the ring
    std::uint32_t DeviceFrameBytes = 0;
    std::uint32_t Bits = 0;
    SDL_AudioDeviceID Device = 0;

    // Next byte the callback takes. Written by the callback and by DSW_Start, both under SDL's
    // device lock.
    std::uint32_t ReadPos = 0;

    // P in the high half, W in the low half, so that a reader sees a matching pair. Stored by
    // the callback (release) and read by the writer (acquire); the ring's bytes themselves are
    // ordered by SDL's device lock, so the ordering here only keeps the pair fresh.
    std::atomic<std::uint64_t> Cursors{0};

    // Gain the callback applies; set by DSW_SetVolume. Relaxed: a lone value that no other data
    // depends on; a new value reaches the callback at its next block at the latest.
    std::atomic<double> Gain{1.0};
    // The volume the gain came from, for DSW_GetVolume (under dsw_Lock only).
    std::int32_t Volume = 0;

    static void SDLCALL Callback(void *UserData, Uint8 *Stream, int Len);

    // Converts Frames frames from the ring at Src into the device format at Dst.
    void Convert(const std::uint8_t *Src, std::uint8_t *Dst, std::uint32_t Frames, double G) const;
};

void TLoopingBuffer::Convert(const std::uint8_t *Src, std::uint8_t *Dst, std::uint32_t Frames,
                             double G) const
{
    const std::uint32_t Samples = Frames * (FrameBytes / (Bits / 8));
    const bool Unity = (G == 1.0);
    switch (Bits) {
    case 8:
        if (Unity) {
            std::memcpy(Dst, Src, Samples);
        } else {
            for (std::uint32_t i = 0; i < Samples; ++i) {
                long V = std::lrint((Src[i] - 128) * G);
                Dst[i] = static_cast<std::uint8_t>(std::clamp(V, -128L, 127L) + 128);
            }
        }
        break;
    case 16:
        if (Unity) {
            std::memcpy(Dst, Src, Samples * 2u);
        } else {
            for (std::uint32_t i = 0; i < Samples; ++i) {
                std::int16_t S;
                std::memcpy(&S, Src + 2 * i, 2);
                long V = std::clamp(std::lrint(S * G), -32768L, 32767L);
                const auto D = static_cast<std::int16_t>(V);
                std::memcpy(Dst + 2 * i, &D, 2);
            }
        }
        break;
    case 24:
        for (std::uint32_t i = 0; i < Samples; ++i) {
            const std::uint8_t *P = Src + 3 * i;
            auto S = static_cast<std::int32_t>(static_cast<std::uint32_t>(P[0]) << 8 |
                                               static_cast<std::uint32_t>(P[1]) << 16 |
                                               static_cast<std::uint32_t>(P[2]) << 24);
            if (!Unity) {
                const double V = std::nearbyint((S >> 8) * G);
                S = static_cast<std::int32_t>(std::clamp(V, -8388608.0, 8388607.0)) * 256;
            }
            std::memcpy(Dst + 4 * i, &S, 4);
        }
        break;
    case 32:
        if (Unity) {
            std::memcpy(Dst, Src, Samples * 4u);
        } else {
            for (std::uint32_t i = 0; i < Samples; ++i) {
                std::int32_t S;
                std::memcpy(&S, Src + 4 * i, 4);
                const double V = std::clamp(std::nearbyint(S * G),
                                            -2147483648.0, 2147483647.0);
                const auto D = static_cast<std::int32_t>(V);
                std::memcpy(Dst + 4 * i, &D, 4);
            }
        }
        break;
    default:
        break;
    }
}

// The device: takes the next block from the ring, round and round, whatever it holds.
void SDLCALL TLoopingBuffer::Callback(void *UserData, Uint8 *Stream, int Len)
{
    auto *B = static_cast<TLoopingBuffer *>(UserData);
    const double G = B->Gain.load(std::memory_order_relaxed);
    std::uint32_t Frames = static_cast<std::uint32_t>(Len) / B->DeviceFrameBytes;
    const std::uint32_t Start = B->ReadPos;
    std::uint32_t Pos = Start;
    std::uint32_t Taken = 0;
    while (Frames > 0) {
        const std::uint32_t Run = std::min(Frames, (B->Size - Pos) / B->FrameBytes);
        B->Convert(B->Data.data() + Pos, Stream, Run, G);
        Stream += Run * B->DeviceFrameBytes;
        Frames -= Run;
        Taken += Run * B->FrameBytes;
        Pos += Run * B->FrameBytes;
        if (Pos >= B->Size)
            Pos = 0;
    }
    B->ReadPos = Pos;
    // P is the start of this block, unless it was more than the whole ring.
    const std::uint32_t P = Taken >= B->Size ? Pos : Start;
    B->Cursors.store(static_cast<std::uint64_t>(P) << 32 | Pos, std::memory_order_release);
}

void DSW_SetDescription(DSW_DeviceInfo &Info, const std::string &Name)
{
    Utf8ToDescription(Name.c_str(), Info.description, DSW_DescriptionChars - 1);
}

DSoundWrapper::DSoundWrapper() = default;

DSoundWrapper::~DSoundWrapper()
{
    DSW_Release(*this);
}

void DSW_EnumerateDevices(DSW_Devices &Devices)
{
    Devices = DSW_Devices{};
    std::lock_guard<std::mutex> G(SDLLock());
    if (StartSdlAudio() != 0)
        return;
    const int N = SDL_GetNumAudioDevices(0);
    if (N != 0) {
        // Entry 0: the default output, described by its own name when SDL can tell it.
        char *DefName = nullptr;
        SDL_AudioSpec Spec;
        if (SDL_GetDefaultAudioInfo(&DefName, &Spec, 0) == 0 && DefName) {
            Utf8ToDescription(DefName, Devices.dinfo[0].description, DSW_DescriptionChars - 1);
            SDL_free(DefName);
        } else {
            Utf8ToDescription(DefaultDeviceDescription, Devices.dinfo[0].description,
                              DSW_DescriptionChars - 1);
        }
        Devices.devcount = 1;
        for (int i = 0; i < N && Devices.devcount < DSW_MaxDevices; ++i) {
            const char *Name = SDL_GetAudioDeviceName(i, 0);
            if (!Name)
                continue;
            DSW_DeviceInfo &D = Devices.dinfo[Devices.devcount];
            D.devname = Name;
            Utf8ToDescription(Name, D.description, DSW_DescriptionChars - 1);
            ++Devices.devcount;
        }
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

namespace {

void ReleaseLocked(DSoundWrapper &DSW)
{
    if (DSW.dsw_OutputBuffer || DSW.dsw_pDirectSound) {
        std::lock_guard<std::mutex> G(SDLLock());
        if (DSW.dsw_OutputBuffer && DSW.dsw_OutputBuffer->Device != 0)
            SDL_CloseAudioDevice(DSW.dsw_OutputBuffer->Device); // waits for the callback
        DSW.dsw_OutputBuffer.reset();
        if (DSW.dsw_pDirectSound)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    DSW.dsw_pDirectSound = false;
    DSW.dsw_DeviceName.clear();
    DSW.dsw_WriteOffset = 0;
    DSW.dsw_OutputSize = 0;
    DSW.dsw_BytesPerFrame = 0;
    DSW.dsw_CounterTicksPerBuffer = 0;
    DSW.dsw_LastPlayTime = 0;
    DSW.dsw_LastPlayCursor = 0;
    DSW.dsw_OutputUnderflows = 0;
    DSW.dsw_OutputRunning = false;
    DSW.dsw_FramesWritten = 0;
    DSW.dsw_FramesPlayed = 0;
}

// The pair (P, W) as the callback left it.
void ReadCursors(const TLoopingBuffer &B, std::uint32_t &P, std::uint32_t &W)
{
    const std::uint64_t C = B.Cursors.load(std::memory_order_acquire);
    P = static_cast<std::uint32_t>(C >> 32);
    W = static_cast<std::uint32_t>(C);
}

std::uint32_t FreeSpaceLocked(DSoundWrapper &DSW)
{
    TLoopingBuffer *B = DSW.dsw_OutputBuffer.get();
    if (!B)
        return 0;
    const std::int64_t Size = DSW.dsw_OutputSize;
    std::uint32_t P32, W32;
    ReadCursors(*B, P32, W32);
    std::int64_t P = P32;
    std::int64_t Busy = static_cast<std::int64_t>(W32) - P;
    if (Busy < 0)
        Busy += Size;
    bool WentRound = false;
    if (DSW.dsw_OutputRunning && DSW.dsw_CounterTicksPerBuffer != 0) {
        const std::int64_t Now = CounterNow();
        const std::int64_t Elapsed = Now - DSW.dsw_LastPlayTime;
        DSW.dsw_LastPlayTime = Now;
        std::int64_t Played = P - DSW.dsw_LastPlayCursor;
        if (Played < 0)
            Played += Size;
        DSW.dsw_LastPlayCursor = P32;
        // In long double: Elapsed (ns) x Size could pass 64 bits after a long stall.
        const std::int64_t Expected =
            static_cast<std::int64_t>(static_cast<long double>(Elapsed) * Size /
                                      DSW.dsw_CounterTicksPerBuffer);
        const std::int64_t Wraps = (Expected - Played) / Size;
        if (Wraps > 0) {
            P += Wraps * Size;
            Played += Wraps * Size;
            WentRound = true;
        }
        DSW.dsw_FramesPlayed += static_cast<double>(Played / DSW.dsw_BytesPerFrame);
    }
    std::int64_t Free = P - DSW.dsw_WriteOffset;
    if (Free < 0)
        Free += Size;
    // A device that went round the whole buffer since the last check has certainly passed the
    // write offset (which is never a whole lap ahead), whatever the positions look like now.
    if (Free > Size - Busy || WentRound) {
        if (DSW.dsw_OutputRunning)
            ++DSW.dsw_OutputUnderflows;
        DSW.dsw_WriteOffset = W32;
        Free = Size - Busy;
    }
    return static_cast<std::uint32_t>(Free);
}

// Writes Bytes bytes at the write offset under SDL's device lock: from Data, or FillByte when
// Data is null.
void PutLocked(DSoundWrapper &DSW, const std::uint8_t *Data, std::uint32_t Bytes, std::uint8_t FillByte)
{
    TLoopingBuffer *B = DSW.dsw_OutputBuffer.get();
    if (!B || Bytes == 0)
        return;
    Bytes = std::min(Bytes, DSW.dsw_OutputSize);
    const std::uint32_t First = std::min(Bytes, DSW.dsw_OutputSize - DSW.dsw_WriteOffset);
    const std::uint32_t Second = Bytes - First;
    std::uint8_t *Ring = B->Data.data();
    SDL_LockAudioDevice(B->Device);
    if (Data) {
        std::memcpy(Ring + DSW.dsw_WriteOffset, Data, First);
        if (Second)
            std::memcpy(Ring, Data + First, Second);
    } else {
        std::memset(Ring + DSW.dsw_WriteOffset, FillByte, First);
        if (Second)
            std::memset(Ring, FillByte, Second);
    }
    SDL_UnlockAudioDevice(B->Device);
    DSW.dsw_WriteOffset = (DSW.dsw_WriteOffset + Bytes) % DSW.dsw_OutputSize;
    DSW.dsw_FramesWritten += static_cast<double>(Bytes / DSW.dsw_BytesPerFrame);
}

SDL_AudioFormat SDLFormatFor(std::uint32_t Bits)
{
    switch (Bits) {
    case 8:
        return AUDIO_U8;
    case 16:
        return AUDIO_S16LSB;
    case 24:
    case 32:
        return AUDIO_S32LSB;
    default:
        return 0;
    }
}

} // namespace

std::uint32_t DSW_DeviceBlockFrames(std::uint32_t RingFrames)
{
    std::uint32_t Frames = 1024;
    while (Frames > 32 && Frames > RingFrames / 8)
        Frames /= 2;
    return Frames;
}

std::uint32_t DSW_OpenDevice(DSoundWrapper &DSW, const std::string &Devname)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    ReleaseLocked(DSW);
    std::lock_guard<std::mutex> G(SDLLock());
    if (StartSdlAudio() != 0) {
        DSW.dsw_LastError = SDLErrorText("SDL audio could not start");
        return DSW_ERR_NODEVICE;
    }
    const int N = SDL_GetNumAudioDevices(0);
    bool Present = Devname.empty() ? N != 0 : false;
    for (int i = 0; i < N && !Present; ++i) {
        const char *Name = SDL_GetAudioDeviceName(i, 0);
        Present = Name && Devname == Name;
    }
    if (!Present) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        DSW.dsw_LastError = "the audio output device \"" + Devname + "\" is not present";
        return DSW_ERR_NODEVICE;
    }
    DSW.dsw_pDirectSound = true;
    DSW.dsw_DeviceName = Devname;
    return DSW_OK;
}

std::uint32_t DSW_CreateBuffer(DSoundWrapper &DSW, const DSW_WaveFormat &Format, std::uint32_t Size)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    if (!DSW.dsw_pDirectSound) {
        DSW.dsw_LastError = "no audio output device is open";
        return DSW_ERR_NODEVICE;
    }
    const std::uint32_t Bits = Format.wBitsPerSample;
    const std::uint32_t Chan = Format.nChannels;
    const SDL_AudioFormat SDLFormat = SDLFormatFor(Bits);
    if (SDLFormat == 0 || Chan < 1 || Chan > 8 || Format.nSamplesPerSec == 0 ||
        Format.nBlockAlign != Chan * Bits / 8 || Size < Format.nBlockAlign ||
        Size % Format.nBlockAlign != 0 ||
        Format.nSamplesPerSec > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
        DSW.dsw_LastError = "unsupported PCM format or buffer size";
        return DSW_ERR_BADFORMAT;
    }
    if (DSW.dsw_OutputBuffer) {
        std::lock_guard<std::mutex> G(SDLLock());
        SDL_CloseAudioDevice(DSW.dsw_OutputBuffer->Device);
        DSW.dsw_OutputBuffer.reset();
    }
    DSW.dsw_OutputSize = Size;
    DSW.dsw_OutputRunning = false;
    DSW.dsw_OutputUnderflows = 0;
    DSW.dsw_FramesWritten = 0;
    DSW.dsw_BytesPerFrame = Format.nBlockAlign;

    auto B = std::make_unique<TLoopingBuffer>();
    B->Data.assign(Size, 0); // a new buffer starts as zero bytes, whatever the format
    B->Size = Size;
    B->FrameBytes = Format.nBlockAlign;
    B->Bits = Bits;
    B->DeviceFrameBytes = Chan * (Bits == 24 ? 4 : Bits / 8);

    SDL_AudioSpec Want{};
    Want.freq = static_cast<int>(Format.nSamplesPerSec);
    Want.format = SDLFormat;
    Want.channels = static_cast<Uint8>(Chan);
    Want.samples = static_cast<Uint16>(DSW_DeviceBlockFrames(Size / Format.nBlockAlign));
    Want.callback = &TLoopingBuffer::Callback;
    Want.userdata = B.get();
    SDL_AudioSpec Have{};
    {
        std::lock_guard<std::mutex> G(SDLLock());
        // No changes allowed: SDL converts to what the device takes behind the callback.
        B->Device = SDL_OpenAudioDevice(DSW.dsw_DeviceName.empty() ? nullptr : DSW.dsw_DeviceName.c_str(),
                                        0, &Want, &Have, 0);
    }
    if (B->Device == 0) {
        DSW.dsw_LastError = SDLErrorText("SDL could not open the audio output");
        DSW.dsw_OutputSize = 0;
        return DSW_ERR_OPEN;
    }
    DSW.dsw_OutputBuffer = std::move(B);
    DSW.dsw_CounterTicksPerBuffer = static_cast<std::int64_t>(
        1000000000LL * (Size / Format.nBlockAlign) / Format.nSamplesPerSec);
    std::uint32_t P, W;
    ReadCursors(*DSW.dsw_OutputBuffer, P, W);
    DSW.dsw_WriteOffset = W;
    DSW.dsw_FramesWritten = static_cast<double>(W / DSW.dsw_BytesPerFrame);
    return DSW_OK;
}

std::uint32_t DSW_FreeSpace(DSoundWrapper &DSW)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    return FreeSpaceLocked(DSW);
}

void DSW_Write(DSoundWrapper &DSW, const void *Data, std::uint32_t Bytes)
{
    if (!Data)
        return;
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    PutLocked(DSW, static_cast<const std::uint8_t *>(Data), Bytes, 0);
}

void DSW_FillSilence(DSoundWrapper &DSW, std::uint8_t FillByte)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    const std::uint32_t Free = FreeSpaceLocked(DSW);
    PutLocked(DSW, nullptr, Free, FillByte);
}

void DSW_Start(DSoundWrapper &DSW)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    TLoopingBuffer *B = DSW.dsw_OutputBuffer.get();
    if (!B)
        return;
    DSW.dsw_LastPlayTime = CounterNow();
    DSW.dsw_LastPlayCursor = 0;
    DSW.dsw_FramesPlayed = 0;
    SDL_LockAudioDevice(B->Device);
    B->ReadPos = 0;
    B->Cursors.store(0, std::memory_order_release);
    SDL_UnlockAudioDevice(B->Device);
    SDL_PauseAudioDevice(B->Device, 0);
    DSW.dsw_OutputRunning = true;
}

void DSW_Stop(DSoundWrapper &DSW)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    DSW.dsw_OutputRunning = false;
    if (DSW.dsw_OutputBuffer)
        SDL_PauseAudioDevice(DSW.dsw_OutputBuffer->Device, 1); // no callback runs after this
}

void DSW_Restart(DSoundWrapper &DSW)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    TLoopingBuffer *B = DSW.dsw_OutputBuffer.get();
    if (!B)
        return;
    // The time spent stopped was not played: the lap check starts afresh from here, or every
    // pause longer than the buffer would look like a buffer played round unseen.
    std::uint32_t P, W;
    ReadCursors(*B, P, W);
    DSW.dsw_LastPlayCursor = P;
    DSW.dsw_LastPlayTime = CounterNow();
    SDL_PauseAudioDevice(B->Device, 0);
    DSW.dsw_OutputRunning = true;
}

std::uint32_t DSW_SetVolume(DSoundWrapper &DSW, std::int32_t Volume)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    TLoopingBuffer *B = DSW.dsw_OutputBuffer.get();
    if (!B)
        return DSW_ERR_NODEVICE;
    if (Volume < -10000 || Volume > 0)
        return DSW_ERR_PARAM;
    B->Volume = Volume;
    const double G = Volume == 0 ? 1.0 : std::pow(10.0, Volume / 2000.0);
    B->Gain.store(G, std::memory_order_relaxed);
    return DSW_OK;
}

std::uint32_t DSW_GetVolume(DSoundWrapper &DSW, std::int32_t &Volume)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    if (!DSW.dsw_OutputBuffer)
        return DSW_ERR_NODEVICE;
    Volume = DSW.dsw_OutputBuffer->Volume;
    return DSW_OK;
}

std::uint32_t DSW_Underflows(DSoundWrapper &DSW)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    return DSW.dsw_OutputUnderflows;
}

double DSW_FramesPlayed(DSoundWrapper &DSW)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    return DSW.dsw_FramesPlayed;
}

void DSW_ThreadCleanup()
{
    SDL_TLSCleanup();
}

void DSW_Release(DSoundWrapper &DSW)
{
    std::lock_guard<std::mutex> L(DSW.dsw_Lock);
    ReleaseLocked(DSW);
    DSW.dsw_LastError.clear();
}
