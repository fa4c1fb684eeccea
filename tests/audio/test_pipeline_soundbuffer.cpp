// The looping buffer on SDL's disk driver: what the device plays lands in a file in real time.
#include "DiskAudio.h"
#include "SoundBuffer.h"

#include <csignal>
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;
using testsupport::DiskAudio;

namespace {

// SDL's dummy driver unless the environment names one (each test that needs the disk driver
// chooses it itself).
const bool DummyDriverChosen = (setenv("SDL_AUDIODRIVER", "dummy", 0), true);

DSW_WaveFormat Format(std::uint16_t Chan, std::uint32_t Rate, std::uint16_t Bits)
{
    DSW_WaveFormat F;
    F.wFormatTag = (Chan > 2 || Bits == 24) ? 0xFFFE : 1;
    F.nChannels = Chan;
    F.nSamplesPerSec = Rate;
    F.wBitsPerSample = Bits;
    F.nBlockAlign = static_cast<std::uint16_t>(Chan * Bits / 8);
    F.nAvgBytesPerSec = Rate * F.nBlockAlign;
    return F;
}

void Open(DSoundWrapper &DSW, const DSW_WaveFormat &F, std::uint32_t Size)
{
    ASSERT_EQ(DSW_OpenDevice(DSW, ""), DSW_OK) << DSW.dsw_LastError;
    ASSERT_EQ(DSW_CreateBuffer(DSW, F, Size), DSW_OK) << DSW.dsw_LastError;
}

std::u16string Description(const DSW_DeviceInfo &D)
{
    return std::u16string(D.description);
}

} // namespace

TEST(SoundBufferDevices, DefaultFirstThenWhatSdlReportsAndNoneWithoutDriver)
{
    DSW_Devices Devs;
    DSW_EnumerateDevices(Devs); // the test environment's dummy driver: one device
    ASSERT_EQ(Devs.devcount, 2);
    EXPECT_TRUE(Devs.dinfo[0].devname.empty());
    EXPECT_FALSE(Description(Devs.dinfo[0]).empty());
    EXPECT_EQ(Devs.dinfo[1].devname, "System audio output device");
    EXPECT_EQ(Description(Devs.dinfo[1]), u"System audio output device");

    DSoundWrapper DSW;
    EXPECT_EQ(DSW_OpenDevice(DSW, "no such device"), DSW_ERR_NODEVICE);
    EXPECT_FALSE(DSW.dsw_LastError.empty());

    setenv("SDL_AUDIODRIVER", "nonexistent", 1);
    DSW_EnumerateDevices(Devs);
    EXPECT_EQ(Devs.devcount, 0);
    EXPECT_EQ(DSW_OpenDevice(DSW, ""), DSW_ERR_NODEVICE);
    EXPECT_NE(DSW.dsw_LastError.find("SDL"), std::string::npos) << DSW.dsw_LastError;
    setenv("SDL_AUDIODRIVER", "dummy", 1);
}

TEST(SoundBufferDevices, StartingSdlLeavesTheProgramsSignalsAlone)
{
    // SDL's audio starts its event layer, which by default takes SIGINT and SIGTERM for itself:
    // a program using it would no longer end on Ctrl+C, logout or kill.
    struct sigaction before[2] {}, after[2] {};
    const int signals[2] = {SIGINT, SIGTERM};
    for (int i = 0; i < 2; ++i)
        sigaction(signals[i], nullptr, &before[i]);
    DSW_Devices Devs;
    DSW_EnumerateDevices(Devs);
    DSoundWrapper DSW;
    ASSERT_EQ(DSW_OpenDevice(DSW, ""), DSW_OK) << DSW.dsw_LastError;
    for (int i = 0; i < 2; ++i) {
        sigaction(signals[i], nullptr, &after[i]);
        EXPECT_EQ(after[i].sa_handler, before[i].sa_handler) << "signal " << signals[i];
    }
    DSW_Release(DSW);
}

TEST(SoundBufferDevices, DescriptionsAreCutTo127Units)
{
    DSW_DeviceInfo D;
    DSW_SetDescription(D, std::string(200, 'x'));
    EXPECT_EQ(Description(D), std::u16string(127, u'x'));
    // A character outside the basic plane at the cut is left out whole, not split.
    DSW_SetDescription(D, std::string(126, 'a') + "\xF0\x9F\x8E\xB5" + "b");
    EXPECT_EQ(Description(D), std::u16string(126, u'a'));
    DSW_SetDescription(D, "Ger\xC3\xA4t \xFF!");
    EXPECT_EQ(Description(D), u"Ger\u00E4t \uFFFD!");
}

TEST(SoundBufferDevices, InvalidSequencesInANameBecomeReplacementsAndNeverEndIt)
{
    DSW_DeviceInfo D;
    // Overlong forms of NUL and of DEL, a truncated sequence, an encoded surrogate: each one
    // U+FFFD, and the rest of the name stays.
    DSW_SetDescription(D, std::string("Ausgang \xC0\x80 links"));
    EXPECT_EQ(Description(D), u"Ausgang \uFFFD links");
    DSW_SetDescription(D, std::string("Karte \xE0\x80\x80 2 \xC1\xBF"));
    EXPECT_EQ(Description(D), u"Karte \uFFFD 2 \uFFFD");
    DSW_SetDescription(D, std::string("HDMI \xE2\x82 3 \xED\xA0\x80 ok"));
    EXPECT_EQ(Description(D), u"HDMI \uFFFD 3 \uFFFD ok");
}

// Written once and never refreshed, the buffer plays round and round as a hardware ring would.
TEST(SoundBufferPlayback, PlaysTheRingRoundAndRoundFromPositionZero)
{
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw");
    const std::uint32_t Frames = 2000; // 0.25 s at 8000 Hz
    const auto Signal = testsupport::TestSignal16(Frames);
    {
        DSoundWrapper DSW;
        Open(DSW, Format(2, 8000, 16), Frames * 4);
        DSW_Write(DSW, Signal.data(), static_cast<std::uint32_t>(Signal.size()));
        EXPECT_EQ(DSW.dsw_WriteOffset, 0u);
        EXPECT_EQ(DSW.dsw_FramesWritten, Frames);
        DSW_Start(DSW);
        std::this_thread::sleep_for(700ms);
        DSW_Stop(DSW);
    }
    const auto Out = Disk.Played();
    const std::size_t First = testsupport::FirstSound(Out, 4, 0);
    ASSERT_LT(First + 2 * Signal.size(), Out.size()) << "less than two laps played";
    const std::size_t End = testsupport::EndOfSound(Out, 4, 0);
    for (std::size_t Pos = First; Pos < End; Pos += Signal.size()) {
        const std::size_t N = std::min(Signal.size(), End - Pos);
        ASSERT_EQ(std::memcmp(Out.data() + Pos, Signal.data(), N), 0) << "lap at byte " << Pos;
    }
}

// A writer that keeps ahead of the device gets its data played bit-exactly and no underflow;
// a writer that stops for longer than a lap is caught by the clock check.
TEST(SoundBufferPlayback, StreamsExactlyAndCountsAnUnseenLapAsUnderflow)
{
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw");
    const std::uint32_t Size = 1600 * 4; // 0.2 s at 8000 Hz
    const auto Signal = testsupport::TestSignal16(8000, 7);
    DSoundWrapper DSW;
    Open(DSW, Format(2, 8000, 16), Size);
    std::size_t Sent = 0;
    DSW_Write(DSW, Signal.data(), Size);
    Sent = Size;
    DSW_Start(DSW);
    while (Sent < Signal.size()) {
        std::this_thread::sleep_for(20ms);
        std::uint32_t Free = DSW_FreeSpace(DSW) / 4 * 4;
        Free = static_cast<std::uint32_t>(std::min<std::size_t>(Free, Signal.size() - Sent));
        DSW_Write(DSW, Signal.data() + Sent, Free);
        Sent += Free;
    }
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 0u);
    // Nothing written from here on: the device plays the tail, then laps over stale data.
    std::this_thread::sleep_for(500ms);
    const std::uint32_t Free = DSW_FreeSpace(DSW);
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 1u);
    // The write offset moved to the device's W; all but the busy block is free.
    EXPECT_LE(Free, Size);
    EXPECT_GE(Free, Size - 4 * DSW_DeviceBlockFrames(1600));
    DSW_Stop(DSW);
    DSW_Release(DSW);

    const auto Out = Disk.Played();
    const std::size_t First = testsupport::FirstSound(Out, 4, 0);
    ASSERT_LE(First + Signal.size(), Out.size());
    EXPECT_EQ(std::memcmp(Out.data() + First, Signal.data(), Signal.size()), 0);
}

TEST(SoundBufferPlayback, StoppedAfterFillingSilenceThePausedBufferKeepsItsPlace)
{
    testsupport::TempDir Dir;
    DiskAudio Disk(Dir / "out.raw");
    const std::uint32_t Frames = 1600;
    DSoundWrapper DSW;
    Open(DSW, Format(1, 8000, 8), Frames);
    std::vector<std::uint8_t> Ones(Frames, 200);
    DSW_Write(DSW, Ones.data(), Frames);
    DSW_Start(DSW);
    std::this_thread::sleep_for(100ms);
    DSW_Stop(DSW);
    EXPECT_FALSE(DSW.dsw_OutputRunning);
    // Silence (128 for 8-bit) goes into the space already played; the rest stays.
    DSW_FillSilence(DSW, 128);
    EXPECT_EQ(DSW.dsw_OutputUnderflows, 0u);
    const auto Filled = static_cast<std::size_t>(DSW.dsw_FramesWritten) - Frames;
    EXPECT_GT(Filled, 0u);
    DSW_Restart(DSW);
    std::this_thread::sleep_for(600ms); // a lap is 200 ms; slack for a loaded machine
    DSW_Stop(DSW);
    DSW_Release(DSW);
    // The device's own pause silence is 128 for unsigned 8-bit too; the data is 200.
    const auto Out = Disk.Played();
    std::size_t i = 0;
    while (i < Out.size() && Out[i] != 200)
        ++i;
    const std::size_t First = i;
    while (i < Out.size() && Out[i] != 128)
        ++i;
    EXPECT_EQ(i - First, Frames) << "every frame of the first lap plays once, across the stop";
    const std::size_t Quiet = i;
    while (i < Out.size() && Out[i] == 128)
        ++i;
    EXPECT_EQ(i - Quiet, Filled) << "then the silence written into the played stretch";
    ASSERT_LT(i, Out.size());
    EXPECT_EQ(Out[i], 200) << "then the stale rest of the ring, as a hardware buffer would";
}

// Volume in hundredths of a decibel becomes a gain of 10^(v/2000); 0 plays bit-exactly.
TEST(SoundBufferFormats, VolumeScalesEveryFormatByTheRightFactor)
{
    const double G = std::pow(10.0, -600 / 2000.0);
    struct Case {
        std::uint16_t Bits, Chan;
    };
    for (const Case C : {Case{16, 2}, Case{8, 1}, Case{24, 6}, Case{32, 8}}) {
        SCOPED_TRACE(testing::Message() << C.Bits << "-bit " << C.Chan << " channels");
        testsupport::TempDir Dir;
        DiskAudio Disk(Dir / "out.raw");
        const std::uint32_t Frames = 800;
        const std::uint32_t InBytes = C.Bits / 8, OutBytes = C.Bits == 24 ? 4 : C.Bits / 8;
        std::vector<std::uint8_t> Ring(Frames * C.Chan * InBytes);
        std::vector<std::int64_t> Values(Frames * C.Chan);
        for (std::size_t i = 0; i < Values.size(); ++i) {
            const std::int64_t Full = (std::int64_t{1} << (C.Bits - 1)) - 1;
            std::int64_t V = static_cast<std::int64_t>(i % 97 + 1) * Full / 97 * ((i & 1) ? -1 : 1);
            if (C.Bits == 8)
                V = 128 + V;
            Values[i] = V;
            for (std::uint32_t b = 0; b < InBytes; ++b)
                Ring[i * InBytes + b] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(V) >> (8 * b));
        }
        DSoundWrapper DSW;
        Open(DSW, Format(C.Chan, 8000, C.Bits), static_cast<std::uint32_t>(Ring.size()));
        DSW_Write(DSW, Ring.data(), static_cast<std::uint32_t>(Ring.size()));
        ASSERT_EQ(DSW_SetVolume(DSW, -600), DSW_OK);
        EXPECT_EQ(DSW_SetVolume(DSW, 1), DSW_ERR_PARAM);
        EXPECT_EQ(DSW_SetVolume(DSW, -10001), DSW_ERR_PARAM);
        std::int32_t Vol = 0;
        ASSERT_EQ(DSW_GetVolume(DSW, Vol), DSW_OK);
        EXPECT_EQ(Vol, -600);
        DSW_Start(DSW);
        std::this_thread::sleep_for(300ms); // a lap is 100 ms
        DSW_Stop(DSW);
        DSW_Release(DSW);
        const auto Out = Disk.Played();
        const std::uint8_t Silence = C.Bits == 8 ? 128 : 0;
        const std::size_t First = testsupport::FirstSound(Out, C.Chan * OutBytes, Silence);
        ASSERT_LE(First + Frames * C.Chan * OutBytes, Out.size());
        for (std::size_t i = 0; i < Values.size(); ++i) {
            std::uint64_t Raw = 0;
            for (std::uint32_t b = 0; b < OutBytes; ++b)
                Raw |= static_cast<std::uint64_t>(Out[First + i * OutBytes + b]) << (8 * b);
            std::int64_t Got = static_cast<std::int64_t>(Raw);
            if (C.Bits == 8) {
                ASSERT_NEAR(Got - 128, (Values[i] - 128) * G, 0.51) << "sample " << i;
            } else {
                const int Shift = 64 - 8 * static_cast<int>(OutBytes); // sign-extend
                Got = static_cast<std::int64_t>(Raw << Shift) >> Shift;
                const double Want = (C.Bits == 24 ? Values[i] * 256.0 : double(Values[i])) * G;
                const double Tol = C.Bits == 24 ? 256 * 0.51 : 0.51;
                ASSERT_NEAR(static_cast<double>(Got), Want, Tol) << "sample " << i;
            }
        }
    }
}

TEST(SoundBufferFormats, RefusesWhatItCannotPlay)
{
    DSoundWrapper DSW;
    ASSERT_EQ(DSW_OpenDevice(DSW, ""), DSW_OK);
    EXPECT_EQ(DSW_CreateBuffer(DSW, Format(2, 44100, 12), 4800), DSW_ERR_BADFORMAT);
    EXPECT_EQ(DSW_CreateBuffer(DSW, Format(2, 44100, 16), 4802), DSW_ERR_BADFORMAT);
    EXPECT_EQ(DSW_CreateBuffer(DSW, Format(9, 44100, 16), 9 * 2 * 100), DSW_ERR_BADFORMAT);
    std::int32_t Vol = 5;
    EXPECT_EQ(DSW_GetVolume(DSW, Vol), DSW_ERR_NODEVICE);
    EXPECT_EQ(Vol, 5);
    EXPECT_EQ(DSW_FreeSpace(DSW), 0u);
    DSW_Release(DSW);
    DSW_Release(DSW);
    EXPECT_FALSE(DSW.dsw_pDirectSound);
}

// The clock check: a device found to have gone round the whole buffer since the last check has
// passed the write offset, even where the positions alone look harmless (here the write offset
// lies a quarter buffer ahead of the play position). A stop, on the other hand, is not time the
// device played: after a restart the check starts afresh.
TEST(SoundBufferUnderflow, UnseenLapCountsWhereverThePositionsStand)
{
    const std::uint32_t Size = 1600 * 4; // 0.2 s at 8000 Hz
    const auto Signal = testsupport::TestSignal16(1600, 3);
    DSoundWrapper DSW;
    Open(DSW, Format(2, 8000, 16), Size);
    DSW_Write(DSW, Signal.data(), Size);
    DSW_Start(DSW);
    std::this_thread::sleep_for(60ms);
    DSW_Stop(DSW); // freezes the positions; the record is then set up as if still running
    {
        std::lock_guard<std::mutex> L(DSW.dsw_Lock);
        DSW.dsw_OutputRunning = true;
    }
    DSW_FreeSpace(DSW); // notes the play position
    {
        std::lock_guard<std::mutex> L(DSW.dsw_Lock);
        EXPECT_EQ(DSW.dsw_OutputUnderflows, 0u);
        const std::uint32_t P = DSW.dsw_LastPlayCursor;
        DSW.dsw_WriteOffset = (P + Size / 4) % Size;
        DSW.dsw_LastPlayCursor = P;
        // 1.1 laps ago, with the play position unchanged since: one whole lap unseen.
        DSW.dsw_LastPlayTime -= DSW.dsw_CounterTicksPerBuffer * 11 / 10;
    }
    EXPECT_EQ(DSW_Underflows(DSW), 0u);
    DSW_FreeSpace(DSW);
    EXPECT_EQ(DSW_Underflows(DSW), 1u);
    DSW_Release(DSW); // the disk and dummy drivers open one device at a time

    // A stop longer than the buffer, then a restart with plenty still to play: no underflow.
    DSoundWrapper Fresh;
    Open(Fresh, Format(2, 8000, 16), Size);
    DSW_Write(Fresh, Signal.data(), Size);
    DSW_Start(Fresh);
    std::this_thread::sleep_for(40ms);
    DSW_Stop(Fresh);
    DSW_FreeSpace(Fresh);
    std::this_thread::sleep_for(300ms);
    DSW_Restart(Fresh);
    std::this_thread::sleep_for(20ms);
    DSW_FreeSpace(Fresh);
    EXPECT_EQ(DSW_Underflows(Fresh), 0u);
    DSW_Stop(Fresh);
}
