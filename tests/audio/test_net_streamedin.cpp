// The network stream input against a real Icecast server on 127.0.0.1 (fed by ffmpeg) and
// against small scripted servers that misbehave.
#include "AuMedia.h"
#include "AuTags.h"
#include "AuText.h"
#include "IcecastServer.h"
#include "PipelineTestKit.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::IcecastServer;
using testsupport::ScriptedServer;
using testsupport::SourceOptions;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Pulls at least Bytes bytes of 16-bit PCM from an opened input (Init done); stops at the end.
std::vector<std::int16_t> Pull(TAuInput &In, std::size_t Bytes)
{
    std::vector<std::int16_t> out;
    while (out.size() * 2 < Bytes) {
        void *buf = nullptr;
        std::uint32_t n = 4096;
        In.GetData(buf, n);
        if (n == 0)
            break;
        const auto *s = static_cast<const std::int16_t *>(buf);
        out.insert(out.end(), s, s + n / 2);
    }
    return out;
}

// The tone's frequency measured by zero crossings of the left channel of interleaved stereo.
double ToneHz(const std::vector<std::int16_t> &Pcm, unsigned Channels, unsigned Rate)
{
    // Skips the first half second (an encoder's start-up) and counts rising crossings with a
    // little hysteresis, so coding noise around zero is not counted.
    const std::size_t frames = Pcm.size() / Channels, first = Rate / 2;
    if (frames <= first + Rate / 4)
        return 0;
    std::size_t rises = 0;
    bool low = false;
    for (std::size_t i = first; i < frames; ++i) {
        const int v = Pcm[i * Channels];
        if (v < -200)
            low = true;
        else if (v > 200 && low) {
            low = false;
            ++rises;
        }
    }
    return rises / (static_cast<double>(frames - first) / Rate);
}

class NetStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server.ok())
            GTEST_SKIP() << server.problem();
    }
    IcecastServer server;
    testkit::TWindowThread window;
    // Keeps the shared event thread alive, so posted events are delivered.
    testkit::TCollectOut keeper;
};

} // namespace

TEST_F(NetStream, LiveMp3StreamReportsFormatBitrateStationAndNoLength)
{
    SourceOptions o;
    o.toneHz = 440;
    ASSERT_TRUE(server.startSource("/live.mp3", o));
    TWMStreamedIn in;
    in.SetFileName(server.url("/live.mp3"));
    in.SetMaxWaitMilliseconds(5000);
    std::atomic<int> opened{0}, started{0};
    in.SetOnStreamOpened([&](TComponent *) { ++opened; });
    in.SetOnStartedPlaying([&](TComponent *) { ++started; });

    const auto t0 = Clock::now();
    ASSERT_TRUE(in.HasAudio());
    EXPECT_LT(Seconds(Clock::now() - t0), 1.0) << "connecting to a loopback stream should be quick";
    EXPECT_EQ(in.SampleRate(), 44100u);
    EXPECT_EQ(in.Channels(), 2u);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.Bitrate(), 128000u);
    EXPECT_EQ(in.ErrorMsg(), "");
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_EQ(in.TotalSamples(), -1);
    EXPECT_EQ(in.Size(), -1);
    EXPECT_EQ(Utf16ToUtf8(in.Id3v2Tags()->Artist()), "Fonolux Test Radio");
    EXPECT_EQ(Utf16ToUtf8(in.Id3v2Tags()->Genre()), "Test Tones");

    in.Init();
    auto pcm = Pull(in, 44100 * 4 * 2);
    ASSERT_GE(pcm.size(), 44100u * 2 * 2) << int(in.ReaderStatus()) << " timedout " << in.TimedOut();
    EXPECT_NEAR(ToneHz(pcm, 2, 44100), 440.0, 5.0);
    EXPECT_TRUE(window.PumpUntil([&] { return opened == 1 && started == 1; }, 3s));
    in.Flush();
    EXPECT_EQ(in.ReaderStatus(), WMT_CLOSED);
}
