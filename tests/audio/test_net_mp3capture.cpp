// A capture of a live MP3 stream from a loopback Icecast server, cut without re-encoding: no
// Info frame, no LAME tag, a first frame whose bit reservoir was never received. Clips decode
// to the capture's own samples (FFmpeg exactly, mpg123 within one step) and join without gaps.
#include "IcecastServer.h"
#include "Mp3CutKit.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(NetMp3Capture, ClipsOfACapturedStreamAreExactAndJoin)
{
    REQUIRE_PEERS("icecast2", "ffmpeg", "mpg123", "curl");
    IcecastServer server;
    ASSERT_TRUE(server.ok()) << server.problem();
    SourceOptions o;
    o.lavfi = "aevalsrc=0.3*sin(2*PI*(300+200*sin(2*PI*0.5*t))*t)+0.15*(random(0)*2-1)*gt(sin(2*PI*3*t)\\,0):s=44100";
    ASSERT_TRUE(server.startSource("/live.mp3", o));
    TempDir dir;
    const fs::path raw = dir / "raw.mp3";
    // What a listener receives in four seconds: the server's burst and then live frames.
    runCommand("curl -s --max-time 4 -o " + shellQuote(raw.string()) + " " + shellQuote(server.url("/live.mp3")));

    // The capture as a recorder keeps it: up to the end of its last whole frame.
    std::vector<std::uint8_t> bytes = readFile(raw);
    ASSERT_GT(bytes.size(), 20000u);
    const Mp3FrameIndex first = IndexMp3(bytes.data(), bytes.size());
    bytes.resize(first.Frames.back().Offset + static_cast<std::size_t>(first.Frames.back().Size));
    Source s;
    s.File = dir / "capture.mp3";
    writeBytes(s.File, bytes);
    s.Bytes = bytes;
    s.Index = IndexMp3(bytes.data(), bytes.size());
    s.Ffmpeg = ffmpegFloats(s.File);
    s.Mpg = mpg123Pcm(s.File);
    s.MadeUpHead = 2 * 1152;
    ASSERT_EQ(s.Index.Tag.Kind, TMp3TagKind::None);
    EXPECT_FALSE(s.Index.Gapless());
    // Without a LAME tag every frame's samples come out; the filterbank's last 529 never do.
    EXPECT_EQ(s.Index.TotalSamples(), s.Index.RawSamples());
    ASSERT_EQ(static_cast<std::int64_t>(s.Ffmpeg.size() / 2), s.Index.TotalSamples());
    EXPECT_EQ(static_cast<std::int64_t>(s.Mpg.size() / 2), s.Index.TotalSamples());

    const std::int64_t t = s.Index.TotalSamples();
    checkCut(s, 0, 4000, "from the first sample");
    checkCut(s, 30 * 1152, 40 * 1152, "frame boundaries");
    checkCut(s, t - 9999, t, "to the last sample");
    const std::int64_t cuts[] = {0, 5000, 23456, t / 2, t};
    std::vector<float> joined;
    for (std::size_t k = 0; k + 1 < std::size(cuts); ++k) {
        const std::vector<float> part = checkCut(s, cuts[k], cuts[k + 1], "part " + std::to_string(k));
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_EQ(joined.size(), s.Ffmpeg.size());
    EXPECT_TRUE(std::equal(joined.begin() + s.MadeUpHead * 2, joined.end(), s.Ffmpeg.begin() + s.MadeUpHead * 2));
}
