// TDXAudioOut playing chains through SDL's disk driver (the played bytes land in a file in real
// time) or its dummy driver.
#include "AuSoundOut.h"
#include "DiskAudio.h"
#include "MemoryAudioInput.h"
#include "PipelineTestKit.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

using namespace std::chrono_literals;
using testsupport::DiskAudio;

namespace {

// SDL's dummy driver unless the environment names one (each test that needs the disk driver
// chooses it itself).
const bool DummyDriverChosen = (setenv("SDL_AUDIODRIVER", "dummy", 0), true);

// 16-bit stereo where each frame names its own index (never a zero sample), so that every lost,
// repeated or misplaced frame shows.
std::vector<std::uint8_t> IndexedSignal(std::size_t Frames)
{
    std::vector<std::uint8_t> Out(Frames * 4);
    for (std::size_t i = 0; i < Frames; ++i) {
        const auto L = static_cast<std::int16_t>(i % 30000 + 1);
        const auto R = static_cast<std::int16_t>(-static_cast<int>(i / 30000) - 1);
        std::memcpy(&Out[i * 4], &L, 2);
        std::memcpy(&Out[i * 4 + 2], &R, 2);
    }
    return Out;
}

// The frame indices of the non-silent frames of a played IndexedSignal.
std::vector<long> PlayedIndices(const std::vector<std::uint8_t> &Out)
{
    std::vector<long> Idx;
    for (std::size_t Pos = 0; Pos + 4 <= Out.size(); Pos += 4) {
        std::int16_t L, R;
        std::memcpy(&L, &Out[Pos], 2);
        std::memcpy(&R, &Out[Pos + 2], 2);
        if (L == 0 && R == 0)
            continue;
        Idx.push_back(static_cast<long>(-R - 1) * 30000 + (L - 1));
    }
    return Idx;
}

// Runs of consecutive indices, as (first, last) pairs.
std::vector<std::pair<long, long>> Runs(const std::vector<long> &Idx)
{
    std::vector<std::pair<long, long>> R;
    for (long I : Idx) {
        if (!R.empty() && I == R.back().second + 1)
            R.back().second = I;
        else
            R.push_back({I, I});
    }
    return R;
}

bool WaitIdle(TAuOutput &Out, std::chrono::milliseconds Timeout)
{
    const auto End = std::chrono::steady_clock::now() + Timeout;
    while (Out.Status() != tosIdle) {
        if (std::chrono::steady_clock::now() > End)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct Played {
    std::vector<std::uint8_t> Bytes;
    std::string Error;
};

} // namespace

// A chain plays bit-exactly at Volume 0, with nothing lost at the end: the drain plays out the
// last half second of a Latency 500 buffer (whose duration rounds to 0 s) before stopping.
TEST(SoundOutPlayback, PlaysBitExactlyToTheLastFrame)
{
    struct Case {
        std::uint32_t Rate, Latency;
        bool Prefetch;
    };
    for (const Case C : {Case{32000, 500, false}, Case{44100, 200, true}}) {
        SCOPED_TRACE(testing::Message() << C.Rate << " Hz, Latency " << C.Latency);
        testsupport::TempDir Dir;
        DiskAudio Disk(Dir / "out.raw");
        const auto Signal = IndexedSignal(C.Rate * 5 / 4); // 1.25 s
        TMemoryAudioInput In(Signal, 16, 2, C.Rate);
        In.SetBlockBytes(4096 + 4); // blocks that do not divide the buffer
        {
            TDXAudioOut Out;
            Out.SetLatency(C.Latency);
            Out.SetPrefetchData(C.Prefetch);
            Out.SetInput(&In);
            Out.Run();
            ASSERT_TRUE(WaitIdle(Out, 5s));
            EXPECT_EQ(Out.ExceptionMessage(), "");
            EXPECT_EQ(Out.Underruns(), 0u);
        }
        const auto Out = Disk.Played();
        const std::size_t First = testsupport::FirstSound(Out, 4, 0);
        ASSERT_LE(First + Signal.size(), Out.size()) << "the end of the sound was cut off";
        EXPECT_EQ(std::memcmp(Out.data() + First, Signal.data(), Signal.size()), 0);
        EXPECT_EQ(testsupport::EndOfSound(Out, 4, 0), First + Signal.size()) << "only silence after the sound";
        EXPECT_EQ(In.Closes.load(), 1);
    }
}

// Source -> converter -> output with the events on a window thread: the bytes arrive unchanged,
// OnDone runs on the window thread after the chain has been closed.
TEST(SoundOutPlayback, ChainPlaysUnchangedAndReportsDoneOnTheWindowThread)
{
    testkit::TWindowThread Window;
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw");
    const std::int64_t Bytes = 22050 * 4; // 0.5 s
    testkit::TByteSource Src(nullptr, Bytes, 3000, 16, 2, 44100);
    testkit::TPassConverter Pass;
    Pass.SetInput(&Src);
    TDXAudioOut Out;
    Out.SetLatency(200);
    Out.SetPrefetchData(false);
    Out.SetInput(&Pass);
    std::atomic<bool> Done{false}, OnWindow{false};
    Out.SetOnDone([&](TComponent *Sender) {
        OnWindow = Window.Queue().IsWindowThread() && Sender == &Out && Src.Closes.load() == 1;
        Done = true;
    });
    Out.Run();
    ASSERT_TRUE(Window.PumpUntil([&] { return Done.load(); }, 5s));
    EXPECT_TRUE(OnWindow.load());
    EXPECT_EQ(Pass.Closes.load(), 1);
    const auto Played = Disk.Played();
    const std::size_t First = testsupport::FirstSound(Played, 4, 0);
    ASSERT_LE(First + static_cast<std::size_t>(Bytes), Played.size());
    const auto Want = testkit::PatternBytes(0, static_cast<std::size_t>(Bytes));
    EXPECT_EQ(std::memcmp(Played.data() + First, Want.data(), Want.size()), 0);
}

// Volume -600 (hundredths of a decibel) scales the samples by 10^(-600/2000); set while idle it
// is kept for the run, and values beyond -10000 .. 0 are taken as the nearer end.
TEST(SoundOutPlayback, VolumeScalesByTheRightFactor)
{
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw");
    const auto Signal = IndexedSignal(3000);
    TMemoryAudioInput In(Signal, 16, 2, 16000);
    TDXAudioOut Out;
    Out.SetVolume(-20000);
    EXPECT_EQ(Out.Volume(), -10000);
    Out.SetVolume(5);
    EXPECT_EQ(Out.Volume(), 0);
    Out.SetVolume(-600);
    EXPECT_EQ(Out.Volume(), -600);
    Out.SetLatency(100);
    Out.SetInput(&In);
    Out.Run();
    ASSERT_TRUE(WaitIdle(Out, 5s));
    EXPECT_EQ(Out.Volume(), -600);

    const double G = std::pow(10.0, -600 / 2000.0);
    const auto Played = Disk.Played();
    const std::size_t First = testsupport::FirstSound(Played, 4, 0);
    ASSERT_LE(First + Signal.size(), Played.size());
    for (std::size_t i = 0; i < Signal.size() / 2; ++i) {
        std::int16_t S, P;
        std::memcpy(&S, &Signal[2 * i], 2);
        std::memcpy(&P, &Played[First + 2 * i], 2);
        ASSERT_EQ(P, static_cast<std::int16_t>(std::lrint(S * G))) << "sample " << i;
    }
}

// An input that stalls for longer than the buffer causes one underrun: counted, posted once,
// and followed by clean playback of everything after it.
TEST(SoundOutPlayback, StallLongerThanTheBufferIsOneReportedUnderrun)
{
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw");
    const std::uint32_t Rate = 16000;
    const auto Signal = IndexedSignal(Rate * 2); // 2 s
    TMemoryAudioInput In(Signal, 16, 2, Rate);
    In.StallAt(static_cast<std::int64_t>(Signal.size() / 4), 700); // after 0.5 s, for 0.7 s
    TDXAudioOut Out;
    Out.SetLatency(200);
    std::atomic<int> Posted{0};
    std::atomic<std::uint32_t> SeenCount{0};
    Out.SetOnUnderrun([&](TComponent *Sender) {
        ++Posted;
        SeenCount = static_cast<TDXAudioOut *>(Sender)->Underruns();
    });
    Out.SetInput(&In);
    Out.Run();
    ASSERT_TRUE(WaitIdle(Out, 8s));
    std::this_thread::sleep_for(200ms); // let the event thread deliver
    EXPECT_EQ(Out.Underruns(), 1u);
    EXPECT_EQ(Posted.load(), 1);
    EXPECT_EQ(SeenCount.load(), 1u);

    // Clean after the underrun: the last run of consecutive frames reaches the end of the signal
    // and holds everything from shortly after the stall on.
    const auto R = Runs(PlayedIndices(Disk.Played()));
    ASSERT_FALSE(R.empty());
    EXPECT_EQ(R.back().second, static_cast<long>(Rate * 2 - 1));
    EXPECT_LT(R.back().first, static_cast<long>(Rate / 2 + Rate * 2 / 5)) << "more than 0.4 s lost after the stall";
    EXPECT_EQ(R.front().first, 0);
}

// Pause stops the buffer where it stands and Resume plays on from there: nothing lost or
// repeated. Jump silences the free space and moves the input; the sound already written plays,
// then the sound from the new place.
TEST(SoundOutPlayback, PauseResumeAndJump)
{
    const std::uint32_t Rate = 16000;
    {
        testsupport::TempDir Dir;
        DiskAudio Disk(Dir / "out.raw");
        const auto Signal = IndexedSignal(Rate * 3 / 2);
        TMemoryAudioInput In(Signal, 16, 2, Rate);
        TDXAudioOut Out;
        Out.SetLatency(200);
        Out.SetInput(&In);
        Out.Run();
        std::this_thread::sleep_for(400ms);
        Out.Pause();
        EXPECT_EQ(Out.Status(), tosPaused);
        EXPECT_EQ(In.Pauses.load(), 1);
        std::this_thread::sleep_for(300ms);
        Out.Resume();
        EXPECT_EQ(In.Resumes.load(), 1);
        EXPECT_EQ(Out.Status(), tosPlaying);
        ASSERT_TRUE(WaitIdle(Out, 5s));
        const auto Played = Disk.Played();
        const auto R = Runs(PlayedIndices(Played));
        ASSERT_EQ(R.size(), 1u) << "frames lost or repeated around the pause";
        EXPECT_EQ(R[0], std::make_pair(0L, static_cast<long>(Rate * 3 / 2 - 1)));
        // The pause left a gap of silence of about its length.
        const std::size_t First = testsupport::FirstSound(Played, 4, 0);
        const std::size_t End = testsupport::EndOfSound(Played, 4, 0);
        EXPECT_GT(End - First, Signal.size() + Rate * 4 / 5); // at least 0.2 s of the 0.3 s
    }
    {
        testsupport::TempDir Dir;
        DiskAudio Disk(Dir / "out.raw");
        const auto Signal = IndexedSignal(Rate * 3);
        TMemoryAudioInput In(Signal, 16, 2, Rate);
        TDXAudioOut Out;
        Out.SetLatency(200);
        Out.SetInput(&In);
        Out.Run();
        std::this_thread::sleep_for(400ms);
        Out.Jump(500);
        EXPECT_EQ(In.Jumps.load(), 1);
        EXPECT_EQ(Out.Status(), tosPlaying);
        ASSERT_TRUE(WaitIdle(Out, 5s));
        const auto R = Runs(PlayedIndices(Disk.Played()));
        ASSERT_EQ(R.size(), 2u);
        EXPECT_EQ(R[0].first, 0);
        EXPECT_EQ(R[1].second, static_cast<long>(Rate * 3 - 1));
        // Half the length further on than where the input stood.
        EXPECT_NEAR(R[1].first - R[0].second, Rate * 3 / 2, Rate / 20);
    }
}

namespace {

// An output that tells whether a Pause has been asked for and not yet taken by the worker.
class TPauseProbeOut : public TDXAudioOut {
public:
    bool PauseRequested() const { return Thread->SetPause.load(); }
};

// A memory input whose end of data, when it is the first read of a step (a read that follows the
// previous one after a pause for polling, not one inside the same fill), is held until Release
// says so (2 s at most): the output's step that finds the input ended can then be caught by a
// Pause.
class TEndGateInput : public TMemoryAudioInput {
public:
    using TMemoryAudioInput::TMemoryAudioInput;
    std::atomic<bool> AtGate{false};
    std::function<bool()> Release;

protected:
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override
    {
        const auto Now = std::chrono::steady_clock::now();
        const bool AfterPause = Now - LastRead > 30ms;
        TMemoryAudioInput::ProduceBlock(Buffer, Bytes);
        if (Bytes == 0 && AfterPause && !AtGate.load()) {
            AtGate = true;
            while (!Release() && std::chrono::steady_clock::now() - Now < 2s)
                std::this_thread::sleep_for(1ms);
        }
        LastRead = std::chrono::steady_clock::now();
    }

private:
    std::chrono::steady_clock::time_point LastRead = std::chrono::steady_clock::now();
};

} // namespace

// Pause (or Jump) in the step that finds the input ended parks the worker with the sound still
// to be drained: Resume must wake it so that the drain plays out the rest and the run ends.
TEST(SoundOutPlayback, PauseOrJumpAsTheInputEndsStillFinishesTheRun)
{
    const std::uint32_t Rate = 16000;
    for (const bool UseJump : {false, true}) {
        SCOPED_TRACE(UseJump ? "Jump" : "Pause and Resume");
        testsupport::TempDir Dir;
        DiskAudio Disk(Dir / "out.raw");
        const auto Signal = IndexedSignal(Rate * 4 / 5);
        TEndGateInput In(Signal, 16, 2, Rate);
        TPauseProbeOut Out;
        In.Release = [&Out] { return Out.PauseRequested(); };
        Out.SetLatency(600);
        Out.SetPrefetchData(false);
        Out.SetInput(&In);
        Out.Run();
        const auto Until = std::chrono::steady_clock::now() + 5s;
        while (!In.AtGate.load() && std::chrono::steady_clock::now() < Until)
            std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(In.AtGate.load());
        if (UseJump) {
            Out.Jump(0);
        } else {
            Out.Pause();
            EXPECT_EQ(Out.Status(), tosPaused);
            Out.Resume();
        }
        ASSERT_TRUE(WaitIdle(Out, 3s)) << "the run stayed parked after the input had ended";
        EXPECT_EQ(Out.ExceptionMessage(), "");
        EXPECT_EQ(Out.Underruns(), 0u);
        EXPECT_EQ(In.Closes.load(), 1);
        const auto R = Runs(PlayedIndices(Disk.Played()));
        ASSERT_EQ(R.size(), 1u) << "frames lost or repeated";
        EXPECT_EQ(R[0], std::make_pair(0L, static_cast<long>(Rate * 4 / 5 - 1)));
    }
}

// Unsigned 8-bit: silence behind the sound is 128, never the zero bytes a new buffer starts as.
TEST(SoundOutFormats, EightBitSilenceIs128)
{
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw");
    std::vector<std::uint8_t> Signal(800, 200); // 0.1 s, shorter than the buffer
    TMemoryAudioInput In(Signal, 8, 1, 8000);
    TDXAudioOut Out;
    Out.SetLatency(300);
    Out.SetInput(&In);
    Out.Run();
    ASSERT_TRUE(WaitIdle(Out, 5s));
    const auto Played = Disk.Played();
    std::size_t Loud = 0;
    for (std::size_t i = 0; i < Played.size(); ++i) {
        ASSERT_TRUE(Played[i] == 128 || Played[i] == 200) << int(Played[i]) << " at " << i;
        Loud += Played[i] == 200;
    }
    EXPECT_EQ(Loud, Signal.size());
}

// 24-bit reaches SDL as 32-bit with the low byte zero; six and eight channels go as they are.
TEST(SoundOutFormats, TwentyFourBitAndSurroundPlayExactly)
{
    struct Case {
        std::uint32_t Bits, Chan;
    };
    for (const Case C : {Case{24, 2}, Case{16, 6}, Case{32, 8}}) {
        SCOPED_TRACE(testing::Message() << C.Bits << "-bit " << C.Chan << " channels");
        testsupport::TempDir Dir;
        DiskAudio Disk(Dir / "out.raw");
        const std::uint32_t Bytes = C.Bits / 8, Frames = 2400;
        std::vector<std::uint8_t> Signal(Frames * C.Chan * Bytes);
        for (std::size_t i = 0; i < Signal.size(); ++i)
            Signal[i] = static_cast<std::uint8_t>((i * 7 + i / 251) % 255 + 1);
        TMemoryAudioInput In(Signal, C.Bits, C.Chan, 24000);
        TDXAudioOut Out;
        Out.SetLatency(100);
        Out.SetInput(&In);
        Out.Run();
        ASSERT_TRUE(WaitIdle(Out, 5s));
        EXPECT_EQ(Out.ExceptionMessage(), "");
        const auto Played = Disk.Played();
        const std::uint32_t OutBytes = C.Bits == 24 ? 4 : Bytes;
        const std::size_t First = testsupport::FirstSound(Played, C.Chan * OutBytes, 0);
        ASSERT_LE(First + std::size_t{Frames} * C.Chan * OutBytes, Played.size());
        for (std::size_t s = 0; s < std::size_t{Frames} * C.Chan; ++s) {
            for (std::uint32_t b = 0; b < Bytes; ++b) {
                const std::uint8_t Want = Signal[s * Bytes + b];
                const std::uint8_t Got = Played[First + s * OutBytes + (OutBytes - Bytes) + b];
                ASSERT_EQ(Got, Want) << "sample " << s << " byte " << b;
            }
            if (C.Bits == 24) {
                ASSERT_EQ(Played[First + s * 4], 0);
            }
        }
    }
}

// Latency sets the buffer and the polling interval from the rate the device plays at.
TEST(SoundOutProperties, LatencyAndSpeedFactorShapeTheBuffer)
{
    const auto Signal = IndexedSignal(800);
    struct Case {
        std::uint32_t Rate, Latency;
        float Speed;
        std::uint32_t Frames, Polling, LatencyAfter;
    };
    for (const Case C : {Case{32000, 500, 1.0f, 16000, 166, 500}, Case{32000, 5, 1.0f, 320, 3, 10},
                         Case{44100, 100, 1.5f, 6615, 33, 100}, Case{44100, 0, 1.0f, 4000, 30, 0}}) {
        SCOPED_TRACE(testing::Message() << "Latency " << C.Latency << " speed " << C.Speed);
        TMemoryAudioInput In(Signal, 16, 2, C.Rate);
        TDXAudioOut Out;
        Out.SetFramesInBuffer(4000);
        Out.SetPollingInterval(30);
        Out.SetLatency(C.Latency);
        Out.SetSpeedFactor(C.Speed);
        Out.SetInput(&In);
        Out.Run();
        Out.SetFramesInBuffer(1); // ignored while busy
        ASSERT_TRUE(WaitIdle(Out, 5s));
        EXPECT_EQ(Out.ExceptionMessage(), "");
        EXPECT_EQ(Out.FramesInBuffer(), C.Frames);
        EXPECT_EQ(Out.PollingInterval(), C.Polling);
        EXPECT_EQ(Out.Latency(), C.LatencyAfter);
    }
}

TEST(SoundOutDevices, DeviceListAndInvalidDeviceNumber)
{
    const auto Signal = IndexedSignal(800);
    TMemoryAudioInput In(Signal, 16, 2, 8000);
    {
        TDXAudioOut Out;
        ASSERT_GE(Out.DeviceCount(), 1);
        EXPECT_FALSE(Out.GetDeviceName(0).empty());
        EXPECT_TRUE(Out.GetDeviceName(Out.DeviceCount()).empty());
        EXPECT_TRUE(Out.GetDeviceName(-1).empty());
        std::atomic<int> Exceptions{0};
        Out.SetOnThreadException([&](TComponent *) { ++Exceptions; });
        Out.SetDeviceNumber(Out.DeviceCount());
        Out.SetInput(&In);
        Out.Run();
        ASSERT_TRUE(WaitIdle(Out, 5s));
        EXPECT_EQ(Out.ExceptionMessage(), "Invalid device number");
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(Exceptions.load(), 1);
    }
    // No device at all.
    setenv("SDL_AUDIODRIVER", "nonexistent", 1);
    TDXAudioOut Out;
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    EXPECT_EQ(Out.DeviceCount(), 0);
    EXPECT_TRUE(Out.GetDeviceName(0).empty());
    Out.SetInput(&In);
    Out.Run();
    ASSERT_TRUE(WaitIdle(Out, 5s));
    EXPECT_EQ(Out.ExceptionMessage(), "Invalid device number");
}

// A device that stops taking data leaves no free space: after sixteen checks the run ends with
// "Audio output error" and OnThreadException.
TEST(SoundOutDevices, StalledDeviceEndsTheRunWithAudioOutputError)
{
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw", 1500); // the device takes one block every 1.5 s
    const auto Signal = IndexedSignal(48000);
    TMemoryAudioInput In(Signal, 16, 2, 48000);
    TDXAudioOut Out;
    Out.SetLatency(0);
    Out.SetFramesInBuffer(48000);
    Out.SetPollingInterval(10);
    std::atomic<int> Exceptions{0};
    Out.SetOnThreadException([&](TComponent *) { ++Exceptions; });
    Out.SetInput(&In);
    Out.Run();
    ASSERT_TRUE(WaitIdle(Out, 6s));
    EXPECT_EQ(Out.ExceptionMessage(), "Audio output error");
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(Exceptions.load(), 1);
}
