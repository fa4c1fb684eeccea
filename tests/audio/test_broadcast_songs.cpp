// One file per song from a recording kept as broadcast: decoding a stretch near a title change
// (positions, warm-up, a refused frame) and saving AAC as .m4a (tags, chapters, the exact
// length, a failure that leaves the old file).
#include "AudioPeers.h"
#include "AuException.h"
#include "BroadcastFile.h"
#include "BroadcastLevels.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr std::int64_t kGapBegin = kRate, kGapEnd = kRate * 3 / 2; // the silence between the tones

// A tone, half a second of silence, a tone again: 2.5 s of stereo encoded as a bare stream (no
// Info frame, no tag) the way a station sends it.
std::vector<std::uint8_t> twoTones(const TempDir &Dir, TBroadcastFormat Format)
{
    const fs::path wav = Dir / "tones.wav";
    runCommand("ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=0.5*sin(2*PI*440*t)*(lt(t\\,1)+gte(t\\,1.5)):s=" +
               std::to_string(kRate) + ":c=stereo:d=2.5\" " + shellQuote(wav.string()));
    const fs::path out = Dir / (Format == TBroadcastFormat::Mp3 ? "tones.mp3" : "tones.aac");
    if (Format == TBroadcastFormat::Mp3)
        runCommand("lame --quiet -t -b 128 " + shellQuote(wav.string()) + " " + shellQuote(out.string()));
    else
        runCommand("ffmpeg -nostdin -v error -y -i " + shellQuote(wav.string()) + " -c:a aac -b:a 96k -f adts " +
                   shellQuote(out.string()));
    return readFile(out);
}

// Where the silence starts (the first sample followed by 200 quiet ones) and ends (the next
// loud sample), searched from From.
std::pair<std::int64_t, std::int64_t> gapOf(const std::vector<float> &Mono, std::int64_t From)
{
    std::int64_t quiet = 0, begin = -1;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(Mono.size()); ++i) {
        const float a = std::fabs(Mono[static_cast<std::size_t>(i)]);
        if (begin < 0) {
            quiet = a < 0.02f ? quiet + 1 : 0;
            if (quiet == 200)
                begin = i - 199;
        } else if (a > 0.05f) {
            return {From + begin, From + i};
        }
    }
    return {From + begin, -1};
}

} // namespace

// Decoding a stretch puts the gap where it lies in the stream, however far in the stretch
// starts: the warm-up frames make it decode exactly as the whole stream does, and a frame the
// decoder refuses is silence of its length, with every later sample in place.
TEST(BroadcastLevels, StretchesDecodeInPlaceAndARefusedFrameKeepsLaterPositions)
{
    REQUIRE_PEERS("ffmpeg", "lame");
    TempDir dir;
    for (const TBroadcastFormat format : {TBroadcastFormat::Mp3, TBroadcastFormat::Aac}) {
        const bool mp3 = format == TBroadcastFormat::Mp3;
        SCOPED_TRACE(mp3 ? "MP3" : "AAC");
        const std::vector<std::uint8_t> stream = twoTones(dir, format);
        const TBroadcastFrames frames = IndexBroadcastFrames(format, stream);
        ASSERT_GT(frames.Offsets.size(), 90u);
        const std::size_t spf = static_cast<std::size_t>(frames.SamplesPerFrame);

        const TBroadcastPcm whole =
            DecodeBroadcastStretch(format, stream.data(), stream.size(), frames, 0, frames.Offsets.size() + 10);
        EXPECT_EQ(whole.SampleRate, kRate);
        ASSERT_EQ(static_cast<std::int64_t>(whole.Mono.size()), frames.Samples());

        // The encoders' delay: lame's 576 plus the decoder's 529 for MP3, FFmpeg's 1024 priming
        // samples for AAC. The edges come out 0 to 2 samples after it (a sine's rise through the
        // threshold); a frame's shift is far outside.
        const std::int64_t delay = mp3 ? 576 + 529 : 1024;
        const std::size_t first = 30, count = 40; // from 0.78 s (MP3) or 0.70 s (AAC) on
        const TBroadcastPcm part = DecodeBroadcastStretch(format, stream.data(), stream.size(), frames, first, count);
        ASSERT_EQ(part.Mono.size(), count * spf);
        const auto [begin, end] = gapOf(part.Mono, static_cast<std::int64_t>(first * spf));
        EXPECT_NEAR(static_cast<double>(begin - kGapBegin), static_cast<double>(delay), 16.0);
        EXPECT_NEAR(static_cast<double>(end - kGapEnd), static_cast<double>(delay), 16.0);
        std::size_t differ = 0;
        for (std::size_t i = 0; i < part.Mono.size(); ++i)
            differ += std::fabs(part.Mono[i] - whole.Mono[first * spf + i]) > 1e-4f;
        EXPECT_EQ(differ, 0u) << "samples differ from the whole stream's decode";

        // A frame made unreadable inside the stretch: its header (MP3) or its payload (AAC).
        std::vector<std::uint8_t> broken = stream;
        const std::size_t bad = first + 5, at = frames.Offsets[bad];
        if (mp3)
            std::fill(broken.begin() + static_cast<long>(at), broken.begin() + static_cast<long>(at + 4), 0);
        else
            std::fill(broken.begin() + static_cast<long>(at + 7), broken.begin() + static_cast<long>(frames.Offsets[bad + 1]),
                      0xFF);
        const TBroadcastPcm hurt = DecodeBroadcastStretch(format, broken.data(), broken.size(), frames, first, count);
        ASSERT_EQ(hurt.Mono.size(), part.Mono.size());
        if (mp3) {
            EXPECT_TRUE(std::all_of(hurt.Mono.begin() + 5 * spf, hurt.Mono.begin() + 6 * spf, [](float v) { return v == 0; }));
        }
        // Three frames on, the decoder has its history back and the samples are the same.
        differ = 0;
        for (std::size_t i = 9 * spf; i < part.Mono.size(); ++i)
            differ += std::fabs(hurt.Mono[i] - part.Mono[i]) > 1e-4f;
        EXPECT_EQ(differ, 0u) << "samples after the refused frame moved or changed";

        // A stretch past the end is cut to the frames there are.
        EXPECT_EQ(DecodeBroadcastStretch(format, stream.data(), stream.size(), frames, frames.Offsets.size() - 3, 10)
                      .Mono.size(),
                  3 * spf);
    }
    EXPECT_THROW(DecodeBroadcastStretch(TBroadcastFormat::Vorbis, nullptr, 0, {}, 0, 1), EAuException);
}
