// The network stream input against a real Icecast server on 127.0.0.1 (fed by ffmpeg) and
// against small scripted servers that misbehave.
#include "AuMedia.h"
#include "AuTags.h"
#include "AuText.h"
#include "IcecastServer.h"
#include "MediaNetReader.h"
#include "PipelineTestKit.h"
#include "ScriptedServer.h"
#include "StreamTestKit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::IcecastServer;
using testsupport::MakeMp3;
using testsupport::OpenError;
using testsupport::Pull;
using testsupport::ScriptedServer;
using testsupport::SourceOptions;
using testsupport::ToneHz;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class NetStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.ok()) << server.problem();
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

TEST_F(NetStream, TitleChangeArrivesWithinTwoSecondsEvenWithAQuoteSemicolonInside)
{
    ASSERT_TRUE(server.startSource("/live.mp3"));
    TWMStreamedIn in;
    in.SetFileName(server.url("/live.mp3"));
    testkit::TCollectOut out(nullptr, 4096);
    out.Keep = false;
    out.SetInput(&in);
    out.Run();
    ASSERT_TRUE(window.PumpUntil([&] { return out.BytesPulled.load() > 44100 * 4; }, 5s));

    const std::string title = "Guns N' Roses';Evil";
    ASSERT_TRUE(server.setTitle("/live.mp3", title));
    const auto t0 = Clock::now();
    EXPECT_TRUE(window.PumpUntil([&] { return Utf16ToUtf8(in.StreamTitle()) == title; }, 2s))
        << "title now \"" << Utf16ToUtf8(in.StreamTitle()) << "\"";
    EXPECT_LT(Seconds(Clock::now() - t0), 2.0);

    ASSERT_TRUE(server.setTitle("/live.mp3", "Second Song"));
    EXPECT_TRUE(window.PumpUntil([&] { return Utf16ToUtf8(in.StreamTitle()) == "Second Song"; }, 2s));
    out.Stop(false);
}

class NetStreamCodecs : public NetStream, public ::testing::WithParamInterface<const char *> {};

TEST_P(NetStreamCodecs, DecodesTheToneAtTheStreamsOwnRateAndChannels)
{
    SourceOptions o;
    o.codec = GetParam();
    o.sampleRate = 32000;
    o.channels = 1;
    o.toneHz = 1000;
    o.bitrateKbps = 64;
    ASSERT_TRUE(server.startSource("/codec", o));
    TWMStreamedIn in;
    in.SetFileName(server.url("/codec"));
    in.SetMaxWaitMilliseconds(5000);
    ASSERT_TRUE(in.HasAudio());
    EXPECT_EQ(in.SampleRate(), 32000u);
    EXPECT_EQ(in.Channels(), 1u);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.Size(), -1);
    in.Init();
    auto pcm = Pull(in, 32000 * 2 * 2);
    ASSERT_GE(pcm.size(), 32000u * 2) << int(in.ReaderStatus());
    EXPECT_NEAR(ToneHz(pcm, 1, 32000), 1000.0, 10.0);
    in.Flush();
}

INSTANTIATE_TEST_SUITE_P(IcyCodecs, NetStreamCodecs, ::testing::Values("mp3", "aac", "ogg"));

TEST_F(NetStream, OggTitleArrivesFromTheVorbisComments)
{
    SourceOptions o;
    o.codec = "ogg";
    ASSERT_TRUE(server.startSource("/live.ogg", o));
    TWMStreamedIn in;
    in.SetFileName(server.url("/live.ogg"));
    testkit::TCollectOut out(nullptr, 4096);
    out.Keep = false;
    out.SetInput(&in);
    out.Run();
    ASSERT_TRUE(window.PumpUntil([&] { return out.BytesPulled.load() > 0; }, 5s));
    ASSERT_TRUE(server.setTitle("/live.ogg", "Vorbis Title"));
    // Icecast starts a new Ogg stream for the new comments: that takes a few seconds, more on
    // a loaded machine.
    EXPECT_TRUE(window.PumpUntil([&] { return Utf16ToUtf8(in.StreamTitle()).find("Vorbis Title") != std::string::npos; }, 10s))
        << "title now \"" << Utf16ToUtf8(in.StreamTitle()) << "\"";
    out.Stop(false);
}

TEST_F(NetStream, SourceDyingMidStreamEndsTheDataWithinTheWait)
{
    ASSERT_TRUE(server.startSource("/dies.mp3"));
    TWMStreamedIn in;
    in.SetFileName(server.url("/dies.mp3"));
    in.SetMaxWaitMilliseconds(3000);
    testkit::TCollectOut out(nullptr, 4096);
    out.Keep = false;
    out.SetInput(&in);
    out.Run();
    ASSERT_TRUE(window.PumpUntil([&] { return out.BytesPulled.load() > 44100 * 4; }, 5s));
    server.killSource("/dies.mp3");
    const auto t0 = Clock::now();
    EXPECT_TRUE(window.PumpUntil([&] { return out.Status() == tosIdle; }, 5s));
    EXPECT_LT(Seconds(Clock::now() - t0), 3.5);
}

TEST_F(NetStream, AMissingMountCannotConnect)
{
    TWMStreamedIn in;
    in.SetFileName(server.url("/nothing-here.mp3"));
    in.SetMaxWaitMilliseconds(3000);
    const auto t0 = Clock::now();
    EXPECT_THROW(in.HasAudio(), EAuException);
    EXPECT_LT(Seconds(Clock::now() - t0), 1.0);
    EXPECT_EQ(in.ErrorMsg(), "Bad URL");
}

// ---------------------------------------------------------------------------------------------
// Servers that misbehave.

namespace {

class Misbehaving : public ::testing::Test {
protected:
    testkit::TWindowThread window;
    testkit::TCollectOut keeper;
};

// Serves Body after a live-stream style header (no length), as fast as the peer takes it.
ScriptedServer::Script ServeBody(std::shared_ptr<const std::vector<std::uint8_t>> Body, std::string Extra = "")
{
    return [Body, Extra](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n" + Extra + "\r\n");
        ScriptedServer::sendAll(s, Body->data(), Body->size());
    };
}

} // namespace

TEST_F(Misbehaving, AListenerThatNeverAnswersTimesOutWithinTheWaitAndStillPostsStreamOpened)
{
    ScriptedServer silent([](int, ScriptedServer &srv) {
        while (!srv.stopping())
            std::this_thread::sleep_for(10ms);
    });
    TWMStreamedIn in;
    in.SetFileName(silent.url());
    in.SetMaxWaitMilliseconds(1000);
    std::atomic<int> opened{0};
    std::string errorSeen;
    in.SetOnStreamOpened([&](TComponent *) {
        ++opened;
        errorSeen = in.ErrorMsg();
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(OpenError(in), "Can't Connect");
    const double took = Seconds(Clock::now() - t0);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 1.6);
    EXPECT_EQ(in.ErrorMsg(), "Bad URL");
    EXPECT_TRUE(in.TimedOut());
    EXPECT_NE(in.ErrorDetail().find("no answer within 1000 ms"), std::string::npos) << in.ErrorDetail();
    EXPECT_TRUE(window.PumpUntil([&] { return opened == 1; }, 2s));
    EXPECT_EQ(errorSeen, "Bad URL");
    EXPECT_FALSE(in.Valid());
}

TEST_F(Misbehaving, ConnectingKeepsTheWindowPumpedAndNameAndStatusReadsNeverWait)
{
    ScriptedServer silent([](int, ScriptedServer &srv) {
        while (!srv.stopping())
            std::this_thread::sleep_for(10ms);
    });
    TWMStreamedIn in;
    in.SetFileName(silent.url());
    in.SetMaxWaitMilliseconds(600);
    auto &pumps = window.Queue();

    // The window thread connects itself.
    auto t0 = Clock::now();
    EXPECT_EQ(OpenError(in), "Can't Connect");
    auto t1 = Clock::now();
    EXPECT_GE(t1 - t0, 550ms);
    EXPECT_GE(pumps.Pumps.size(), 5u);
    EXPECT_LT(pumps.LongestGap(t0, t1), 100ms);

    // The worker connects; the window reads names and status meanwhile without waiting, and
    // a name change waits for the connect to give up while pumping.
    testkit::TCollectOut out;
    out.SetInput(&in);
    out.Run();
    ASSERT_TRUE(window.PumpUntil([&] { return silent.connections() == 2; }, 3s));
    std::this_thread::sleep_for(50ms);
    const auto r0 = Clock::now();
    EXPECT_EQ(in.FileName(), silent.url());
    EXPECT_EQ(in.WideFileName(), Utf8ToUtf16(silent.url()));
    (void)in.ErrorDetail();
    EXPECT_EQ(in.StreamTitle(), u"");
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_LT(Clock::now() - r0, 50ms) << "a display read waited for the connect";
    pumps.Pumps.clear();
    t0 = Clock::now();
    in.SetFileName(silent.url("/other"));
    t1 = Clock::now();
    EXPECT_GE(t1 - t0, 200ms) << "the setter waits for the opening to end";
    EXPECT_LT(pumps.LongestGap(t0, t1), 100ms);
    ASSERT_TRUE(window.PumpUntil([&] { return out.Status() == tosIdle; }, 3s));
    EXPECT_EQ(out.ExceptionMessage(), "Can't Connect");
    EXPECT_EQ(in.FileName(), silent.url("/other"));
}

TEST_F(Misbehaving, AnOpeningsEventArrivingAfterTheNextOpeningBeganIsStale)
{
    TWMStreamedIn in;
    in.SetFileName("http://127.0.0.1:" + std::to_string(testsupport::freePort()) + "/x.mp3");
    in.SetMaxWaitMilliseconds(2000);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen; // (EventRun, RunNumber)
    in.SetOnStreamOpened([&](TComponent *) { seen.emplace_back(in.EventRun(), in.RunNumber()); });
    EXPECT_EQ(in.RunNumber(), 0u);
    EXPECT_EQ(OpenError(in), "Can't Connect");
    EXPECT_EQ(in.RunNumber(), 1u);
    // The window did not get to the first attempt's event before retrying.
    EXPECT_EQ(OpenError(in), "Can't Connect");
    EXPECT_EQ(in.RunNumber(), 2u);
    ASSERT_TRUE(window.PumpUntil([&] { return seen.size() == 2; }, 3s));
    EXPECT_EQ(seen[0], std::make_pair(1u, 2u)) << "stale: of the first attempt";
    EXPECT_EQ(seen[1], std::make_pair(2u, 2u));
}

TEST_F(Misbehaving, AClosedPortFailsAtOnce)
{
    TWMStreamedIn in;
    in.SetFileName("http://127.0.0.1:" + std::to_string(testsupport::freePort()) + "/x.mp3");
    in.SetMaxWaitMilliseconds(5000);
    const auto t0 = Clock::now();
    EXPECT_EQ(OpenError(in), "Can't Connect");
    EXPECT_LT(Seconds(Clock::now() - t0), 0.5);
    EXPECT_EQ(in.ErrorMsg(), "Bad URL");
    EXPECT_NE(in.ErrorDetail().find("connection refused"), std::string::npos) << in.ErrorDetail();
}

TEST_F(Misbehaving, AHeaderThatNeverEndsOrAGarbageBodyGivesUpWithinTheWait)
{
    ScriptedServer endlessHeader([](int s, ScriptedServer &srv) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\n");
        while (!srv.stopping() && ScriptedServer::sendAll(s, "X-Filler: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n"))
            std::this_thread::sleep_for(1ms);
    });
    ScriptedServer garbage([](int s, ScriptedServer &srv) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
        std::vector<std::uint8_t> junk(4096);
        std::uint32_t x = 12345;
        while (!srv.stopping()) {
            for (auto &b : junk) {
                x = x * 1103515245u + 12345u;
                b = static_cast<std::uint8_t>(x >> 24);
            }
            if (!ScriptedServer::sendAll(s, junk.data(), junk.size()))
                break;
            std::this_thread::sleep_for(2ms);
        }
    });
    {
        TWMStreamedIn in;
        in.SetFileName(endlessHeader.url());
        in.SetMaxWaitMilliseconds(1500);
        const auto t0 = Clock::now();
        EXPECT_EQ(OpenError(in), "Can't Connect");
        EXPECT_LT(Seconds(Clock::now() - t0), 2.2);
        EXPECT_EQ(in.ErrorMsg(), "Bad URL");
    }
    {
        // Noise with an audio content type: either no connection or a stream without audio,
        // never data.
        TWMStreamedIn in;
        in.SetFileName(garbage.url());
        in.SetMaxWaitMilliseconds(1500);
        const auto t0 = Clock::now();
        const std::string error = OpenError(in);
        EXPECT_TRUE(error == "Can't Connect" || error == "no audio") << error;
        EXPECT_LT(Seconds(Clock::now() - t0), 2.2);
        EXPECT_FALSE(in.Valid());
        in.Init();
        void *buf = nullptr;
        std::uint32_t n = 4096;
        in.GetData(buf, n);
        EXPECT_EQ(n, 0u);
        in.Reset();
    }
}

TEST_F(Misbehaving, AStreamThatChangesItsRateKeepsPlayingAtTheRateItOpenedWith)
{
    // A station switching to a source at another rate (a fallback mount, a new encoder): the
    // pipeline was built for the opening rate, so later audio must arrive at that rate too.
    testsupport::TempDir dir;
    auto body = std::make_shared<std::vector<std::uint8_t>>(MakeMp3(dir, 3));
    ASSERT_EQ(testsupport::runProgram({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                                       "sine=f=440:r=22050:d=3", "-ac", "2", "-c:a", "libmp3lame", "-b:a", "64k",
                                       "-write_xing", "0", "-id3v2_version", "0", (dir / "low.mp3").string()}),
              0);
    const auto low = testsupport::ReadFileBytes(dir / "low.mp3");
    ASSERT_FALSE(low.empty());
    body->insert(body->end(), low.begin(), low.end());
    ScriptedServer srv(ServeBody(body));
    // Also played twice as fast: the tempo filter is rebuilt for the new rate.
    for (const float stretch : {1.0f, 2.0f}) {
        TWMStreamedIn in;
        in.SetFileName(srv.url());
        in.SetMaxWaitMilliseconds(4000);
        in.SetStretchFactor(stretch);
        ASSERT_TRUE(in.HasAudio());
        ASSERT_EQ(in.SampleRate(), 44100u);
        in.Init();
        auto pcm = Pull(in, 1u << 30);
        in.Flush();
        // Six seconds at 44100 Hz (a few frames may be lost at the switch), and the second half
        // is still a 440 Hz tone, not one an octave up.
        EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, 6.0 / stretch, 0.2) << stretch;
        const std::size_t half = static_cast<std::size_t>(44100 * 2 * 3.5 / stretch);
        const std::vector<std::int16_t> second(pcm.begin() + static_cast<long>(std::min(pcm.size(), half)), pcm.end());
        EXPECT_NEAR(ToneHz(second, 2, 44100), 440.0, 8.0) << stretch;
    }
}

TEST_F(Misbehaving, ATruncatedStreamDeliversWhatCameAndEndsPromptly)
{
    testsupport::TempDir dir;
    auto mp3 = std::make_shared<std::vector<std::uint8_t>>(MakeMp3(dir, 5));
    ASSERT_GT(mp3->size(), 40000u);
    mp3->resize(mp3->size() / 2 + 333); // cut mid-frame
    ScriptedServer srv(ServeBody(mp3));
    TWMStreamedIn in;
    in.SetFileName(srv.url());
    in.SetMaxWaitMilliseconds(4000);
    ASSERT_TRUE(in.HasAudio());
    in.Init();
    const auto t0 = Clock::now();
    auto pcm = Pull(in, 1u << 30);
    EXPECT_LT(Seconds(Clock::now() - t0), 2.0) << "the end must not wait for a time-out";
    EXPECT_FALSE(in.TimedOut());
    // A server without ICY headers gives no station texts.
    EXPECT_EQ(in.Id3v2Tags()->Genre(), u"");
    EXPECT_EQ(in.Id3v2Tags()->Artist(), u"");
    // About half of five seconds arrived.
    EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, 2.5, 0.3);
    in.Flush();
}

TEST_F(Misbehaving, AnIcyMetadataBlockWithABogusLengthDoesNoHarm)
{
    testsupport::TempDir dir;
    const auto mp3 = MakeMp3(dir, 4);
    ASSERT_GT(mp3.size(), 30000u);
    // Every 8192 audio bytes a metadata block: its length byte claims 255 * 16 bytes, which
    // are then audio, text and junk mixed; the stream itself is cut short at the end.
    auto body = std::make_shared<std::vector<std::uint8_t>>();
    for (size_t pos = 0; pos < mp3.size(); pos += 8192) {
        const size_t n = std::min<size_t>(8192, mp3.size() - pos);
        body->insert(body->end(), mp3.begin() + static_cast<long>(pos), mp3.begin() + static_cast<long>(pos + n));
        body->push_back(0xFF);
        const std::string meta = "StreamTitle='bogus";
        body->insert(body->end(), meta.begin(), meta.end());
    }
    ScriptedServer srv(ServeBody(body, "icy-metaint: 8192\r\n"));
    TWMStreamedIn in;
    in.SetFileName(srv.url());
    in.SetMaxWaitMilliseconds(2000);
    bool audio = false;
    try {
        audio = in.HasAudio();
    } catch (const EAuException &e) {
        EXPECT_STREQ(e.what(), "Can't Connect");
    }
    if (audio) {
        in.Init();
        auto pcm = Pull(in, 1u << 30);
        EXPECT_LT(pcm.size() / 2.0 / 44100.0, 4.5);
        in.Flush();
    }
    in.Reset();
}

TEST_F(Misbehaving, TheQueueIsHeldToAFewSecondsWhileNobodyReadsAndNothingIsLost)
{
    testsupport::TempDir dir;
    const auto mp3 = std::make_shared<std::vector<std::uint8_t>>(MakeMp3(dir, 40));
    ScriptedServer fast(ServeBody(mp3));
    TWMStreamedIn in;
    in.SetFileName(fast.url());
    in.SetMaxWaitMilliseconds(4000);
    ASSERT_TRUE(in.HasAudio());
    in.Init();
    // The server hands out all forty seconds at once; the reader must stop at about four.
    std::this_thread::sleep_for(1500ms);
    const double queued = in.QueuedBytes() / (44100.0 * 4);
    EXPECT_LT(queued, TMediaNetReader::HoldBackSeconds + 0.5);
    EXPECT_GT(queued, 1.0);
    auto pcm = Pull(in, 1u << 30);
    EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, 40.0, 0.1);
    in.Flush();
}

TEST_F(Misbehaving, AStretchFactorOfTwoPlaysTwiceAsFast)
{
    testsupport::TempDir dir;
    const auto mp3 = std::make_shared<std::vector<std::uint8_t>>(MakeMp3(dir, 8));
    ScriptedServer fast(ServeBody(mp3));
    TWMStreamedIn in;
    in.SetFileName(fast.url());
    in.SetStretchFactor(2.0f);
    ASSERT_TRUE(in.HasAudio());
    in.Init();
    auto pcm = Pull(in, 1u << 30);
    EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, 4.0, 0.15);
    // The pitch stays: still a 440 Hz tone.
    EXPECT_NEAR(ToneHz(pcm, 2, 44100), 440.0, 8.0);
    in.Flush();
}

TEST_F(Misbehaving, ARedirectToALocalFileIsRefused)
{
    ScriptedServer redirect([](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 302 Found\r\nLocation: file:///etc/passwd\r\n\r\n");
    });
    TWMStreamedIn in;
    in.SetFileName(redirect.url());
    in.SetMaxWaitMilliseconds(2000);
    EXPECT_EQ(OpenError(in), "Can't Connect");
}

TEST_F(Misbehaving, AnHlsPlaylistPlays)
{
    testsupport::TempDir dir;
    ASSERT_EQ(testsupport::runProgram({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                                       "sine=f=440:r=44100:d=6", "-ac", "2", "-c:a", "aac", "-b:a", "96k", "-f",
                                       "hls", "-hls_time", "2", "-hls_list_size", "0",
                                       (dir / "list.m3u8").string()}),
              0);
    ScriptedServer files([&dir](int s, ScriptedServer &) {
        const std::string req = ScriptedServer::readRequest(s);
        const size_t a = req.find(' '), b = req.find(' ', a + 1);
        std::string name = req.substr(a + 2, b - a - 2);
        if (name.find('/') != std::string::npos || name.find("..") != std::string::npos)
            name.clear();
        FILE *f = name.empty() ? nullptr : std::fopen((dir / name).c_str(), "rb");
        if (!f) {
            ScriptedServer::sendAll(s, "HTTP/1.0 404 Not Found\r\n\r\n");
            return;
        }
        std::string body;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            body.append(buf, n);
        std::fclose(f);
        const bool list = name.ends_with(".m3u8");
        ScriptedServer::sendAll(s, std::string("HTTP/1.0 200 OK\r\nContent-Type: ") +
                                       (list ? "application/vnd.apple.mpegurl" : "video/mp2t") +
                                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    });
    TWMStreamedIn in;
    in.SetFileName(files.url("/list.m3u8"));
    // Opening a playlist takes several requests; the wait is generous so a loaded machine
    // does not fail it.
    in.SetMaxWaitMilliseconds(10000);
    ASSERT_TRUE(in.HasAudio()) << in.ErrorMsg();
    EXPECT_EQ(in.SampleRate(), 44100u);
    EXPECT_EQ(in.Channels(), 2u);
    in.Init();
    auto pcm = Pull(in, 1u << 30);
    EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, 6.0, 0.2);
    EXPECT_NEAR(ToneHz(pcm, 2, 44100), 440.0, 5.0);
    in.Flush();
}

TEST_F(NetStream, TheTitleAtOpeningFillsTheTagSet)
{
    ASSERT_TRUE(server.startSource("/titled.mp3"));
    ASSERT_TRUE(server.setTitle("/titled.mp3", "Already Playing"));
    // Icecast hands a new listener a burst of about four seconds from before the connect; the
    // title has to be older than that to be in it.
    std::this_thread::sleep_for(5s);
    TWMStreamedIn in;
    in.SetFileName(server.url("/titled.mp3"));
    ASSERT_TRUE(in.HasAudio());
    EXPECT_EQ(Utf16ToUtf8(in.Id3v2Tags()->Title()), "Already Playing");
    EXPECT_EQ(Utf16ToUtf8(in.StreamTitle()), "Already Playing");
    in.Reset();
}

TEST_F(NetStream, PausingTheOutputPausesTheReaderAndTheStreamGoesOnAfterResume)
{
    ASSERT_TRUE(server.startSource("/pause.mp3"));
    TWMStreamedIn in;
    in.SetFileName(server.url("/pause.mp3"));
    in.SetMaxWaitMilliseconds(1500);
    testkit::TCollectOut out(nullptr, 4096);
    out.Keep = false;
    out.SetInput(&in);
    out.Run();
    ASSERT_TRUE(window.PumpUntil([&] { return out.BytesPulled.load() > 44100 * 4 * 2; }, 5s));
    out.Pause();
    EXPECT_EQ(out.Status(), tosPaused);
    // Longer than the wait for data: a paused stream must not count as timed out.
    window.PumpFor(2500ms);
    const auto before = out.BytesPulled.load();
    out.Resume();
    EXPECT_TRUE(window.PumpUntil([&] { return out.BytesPulled.load() > before + 44100 * 4; }, 5s));
    EXPECT_EQ(out.Status(), tosPlaying);
    EXPECT_FALSE(in.TimedOut());
    out.Stop(false);
    EXPECT_EQ(in.ReaderStatus(), WMT_CLOSED);
}
