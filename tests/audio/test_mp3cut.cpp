// Cutting MP3 files without re-encoding, checked against real decoders: FFmpeg's decode of a
// clip must equal its decode of the source over the same samples, float for float; mpg123's
// within one step at 16 bit; both exact in length. Sources come from the lame and ffmpeg
// command lines.
#include "AuException.h"
#include "Mp3Cutter.h"
#include "Mp3Frames.h"
#include "Mp3InfoTag.h"

#include "AudioPeers.h"
#include "Mp3CutKit.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// The sources, made once for the whole program.
class Sources {
public:
    static Sources &get()
    {
        static Sources s;
        return s;
    }
    const Source &operator[](const std::string &Name)
    {
        auto it = FSources.find(Name);
        if (it == FSources.end())
            it = FSources.emplace(Name, make(Name)).first;
        return it->second;
    }
    const fs::path &dir() const { return FDir.path(); }

private:
    Source make(const std::string &name)
    {
        Source s;
        s.File = FDir / (name + ".mp3");
        const std::string out = shellQuote(s.File.string());
        if (name == "cbr128") {
            runCommand("lame --quiet -b 128 " + shellQuote(makeWav(dir(), name, 44100, 2, 6).string()) + " " + out);
        } else if (name == "vbr") {
            runCommand("lame --quiet -V2 " + shellQuote(makeWav(dir(), name, 44100, 2, 6).string()) + " " + out);
        } else if (name == "mono32k") {
            s.Channels = 1;
            runCommand("lame --quiet -m m -b 48 " + shellQuote(makeWav(dir(), name, 32000, 1, 6).string()) + " " + out);
        } else if (name == "stereo48k") {
            runCommand("lame --quiet -b 192 " + shellQuote(makeWav(dir(), name, 48000, 2, 5).string()) + " " + out);
        } else if (name == "mpeg2") {
            s.Channels = 1;
            runCommand("lame --quiet -m m -b 32 " + shellQuote(makeWav(dir(), name, 24000, 1, 5).string()) + " " + out);
        } else if (name == "mpeg25") {
            runCommand("lame --quiet -b 24 " + shellQuote(makeWav(dir(), name, 11025, 2, 12).string()) + " " + out);
        } else if (name == "crc") {
            runCommand("lame --quiet -p -b 96 " + shellQuote(makeWav(dir(), name, 44100, 2, 4).string()) + " " + out);
        } else if (name == "ffmpeg") {
            runCommand("ffmpeg -v error -y -i " + shellQuote(makeWav(dir(), name, 44100, 2, 5).string()) +
                       " -c:a libmp3lame -b:a 128k " + out);
        } else if (name == "capture") {
            // What a listener joining a stream records: raw frames from the middle of a
            // broadcast, no Info frame, the first frame's reservoir pointing into bytes that
            // were never received.
            const fs::path whole = FDir / "capture-whole.mp3";
            runCommand("lame --quiet -t -b 128 " + shellQuote(makeWav(dir(), name, 44100, 2, 6).string()) + " " +
                       shellQuote(whole.string()));
            const std::vector<std::uint8_t> all = readFile(whole);
            const Mp3FrameIndex ix = IndexMp3(all.data(), all.size());
            std::size_t from = 40;
            while (ix.Frames[from].MainDataBegin == 0)
                ++from;
            writeBytes(s.File, std::vector<std::uint8_t>(all.begin() + static_cast<long>(ix.Frames[from].Offset), all.end()));
            s.MadeUpHead = 2 * 1152;
        }
        s.Bytes = readFile(s.File);
        s.Index = IndexMp3(s.Bytes.data(), s.Bytes.size());
        s.Ffmpeg = ffmpegFloats(s.File);
        s.Mpg = mpg123Pcm(s.File);
        return s;
    }
    TempDir FDir;
    std::map<std::string, Source> FSources;
};

class Mp3CutSources : public ::testing::TestWithParam<std::string> {};

} // namespace

// The index's duration is what both decoders play from the source.
TEST_P(Mp3CutSources, IndexGivesTheExactLength)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    const Source &s = Sources::get()[GetParam()];
    ASSERT_FALSE(s.Ffmpeg.empty());
    EXPECT_EQ(s.Index.TotalSamples(), static_cast<std::int64_t>(s.Ffmpeg.size() / s.Channels));
    EXPECT_EQ(s.Index.TotalSamples(), static_cast<std::int64_t>(s.Mpg.size() / s.Channels));
    EXPECT_EQ(s.Index.SkippedBytes, 0u);
    EXPECT_FALSE(s.Index.Truncated);
}

// Cuts at frame boundaries, inside frames, at the first and the last sample, one frame and one
// sample.
TEST_P(Mp3CutSources, ClipsDecodeToTheSourcesSamples)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    const Source &s = Sources::get()[GetParam()];
    const std::int64_t t = s.Index.TotalSamples();
    const std::int64_t spf = s.Index.SamplesPerFrame;
    // The decoder's output starts StartSkip samples into frame 0: this is a frame boundary.
    const std::int64_t boundary = 20 * spf - s.Index.StartSkip();
    checkCut(s, boundary, boundary + 30 * spf, "frame boundaries");
    checkCut(s, boundary, boundary + spf, "one frame");
    checkCut(s, 12345, 54321, "inside frames");
    checkCut(s, 0, 5000, "from the first sample");
    checkCut(s, t - 7000, t, "to the last sample");
    checkCut(s, 0, t, "the whole file");
    checkCut(s, 31111, 31112, "one sample");
}

// Clips that follow each other decode to the source without a gap or an overlap.
TEST_P(Mp3CutSources, ConsecutiveClipsJoinExactly)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    const Source &s = Sources::get()[GetParam()];
    const std::int64_t t = s.Index.TotalSamples();
    const std::int64_t cuts[] = {0, 777, 40000, 40001, t / 2, t - 1, t};
    std::vector<float> joined;
    for (std::size_t k = 0; k + 1 < std::size(cuts); ++k) {
        const std::vector<float> part = checkCut(s, cuts[k], cuts[k + 1], "part " + std::to_string(k));
        joined.insert(joined.end(), part.begin(), part.end());
    }
    ASSERT_EQ(joined.size(), s.Ffmpeg.size());
    EXPECT_TRUE(std::equal(joined.begin() + s.MadeUpHead * s.Channels, joined.end(),
                           s.Ffmpeg.begin() + s.MadeUpHead * s.Channels));
}

INSTANTIATE_TEST_SUITE_P(Encoders, Mp3CutSources,
                         ::testing::Values("cbr128", "vbr", "mono32k", "stereo48k", "mpeg2", "mpeg25", "crc",
                                           "ffmpeg", "capture"));

// What the clip's first frame says: audio frames only, the source's LAME version, the
// delay and padding of the cut, a tag CRC as LAME computes it, Info for a constant rate.
TEST(Mp3Cut, InfoFrameDescribesTheClip)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    for (const std::string name : {"cbr128", "vbr", "ffmpeg", "capture"}) {
        SCOPED_TRACE(name);
        const Source &s = Sources::get()[name];
        if (s.Index.Tag.Lame.Present) {
            // Our CRC reproduces the encoder's own.
            const std::uint8_t *tag = s.Bytes.data() + s.Index.Tag.Offset;
            const std::size_t crcAt = 4 + static_cast<std::size_t>(s.Index.Frames[0].Header.SideInfoSize()) +
                                      Mp3XingFieldsSize + 34;
            EXPECT_EQ(Mp3Crc16Arc(tag, crcAt), (tag[crcAt] << 8) | tag[crcAt + 1]);
        }
        const Mp3Clip clip = CutMp3(s.Bytes.data(), s.Bytes.size(), s.Index, 20000, 90000);
        const Mp3FrameIndex back = IndexMp3(clip.Audio.data(), clip.Audio.size());
        EXPECT_EQ(back.Tag.Kind, name == "vbr" ? TMp3TagKind::Xing : TMp3TagKind::Info);
        EXPECT_EQ(back.Tag.Frames, back.Frames.size());
        EXPECT_EQ(back.Tag.Bytes, clip.Audio.size());
        EXPECT_EQ(static_cast<int>(back.Frames.size()), clip.AudioFrames);
        ASSERT_TRUE(back.Tag.Lame.Present);
        EXPECT_EQ(back.Tag.Lame.Delay, clip.Delay);
        EXPECT_EQ(back.Tag.Lame.Padding, clip.Padding);
        EXPECT_GE(clip.Padding, Mp3DecoderDelay);
        EXPECT_EQ(back.TotalSamples(), 70000);
        // The version string and every field before delay and padding are the source's.
        if (s.Index.Tag.Lame.Present) {
            EXPECT_EQ(std::memcmp(back.Tag.Lame.Bytes.data(), s.Index.Tag.Lame.Bytes.data(), 21), 0);
        }
        const std::uint8_t *l = clip.Audio.data() + 4 + back.Frames[0].Header.SideInfoSize() + Mp3XingFieldsSize;
        EXPECT_EQ(Mp3Crc16Arc(clip.Audio.data(), static_cast<std::size_t>(l + 34 - clip.Audio.data())),
                  (l[34] << 8) | l[35]);
    }
}

// A cut in the middle of a stream whose kept frames reach back into dropped ones gets a silent
// frame carrying those bytes: at the stream's own rate when they fit (a constant-rate stream
// stays constant), else at the smallest rate that holds them.
TEST(Mp3Cut, ReservoirFrameCarriesTheMissingBytes)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    const Source &s = Sources::get()["cbr128"];
    int sameRate = 0, raised = 0;
    for (std::int64_t b = 1000; b < 200000; b += 3000) {
        const Mp3CutPlan plan = PlanMp3Cut(s.Index, b, b + 5000);
        if (!plan.ReservoirFrame)
            continue;
        const Mp3Clip clip = CutMp3(s.Bytes.data(), s.Bytes.size(), s.Index, b, b + 5000);
        const Mp3FrameIndex back = IndexMp3(clip.Audio.data(), clip.Audio.size());
        const Mp3Frame &silent = back.Frames[0];
        EXPECT_EQ(silent.MainDataBegin, 0);
        const Mp3Frame &kept = s.Index.Frames[clip.FirstFrame];
        if (clip.ReservoirBytes <= kept.MainDataSize()) {
            ++sameRate;
            EXPECT_EQ(silent.Header.Raw, kept.Header.Raw);
            EXPECT_FALSE(back.Vbr());
            EXPECT_EQ(back.Tag.Kind, TMp3TagKind::Info);
        } else {
            ++raised;
            EXPECT_GE(silent.MainDataSize(), clip.ReservoirBytes);
            const int lower = Mp3FrameBytesOf(1, Mp3BitrateOf(1, silent.Header.BitrateIndex - 1), 44100, 0) -
                              silent.Header.MainDataOffset();
            EXPECT_LT(lower, clip.ReservoirBytes) << "a lower rate would have held the bytes";
            EXPECT_EQ(back.Tag.Kind, TMp3TagKind::Xing);
        }
        // The bytes stand at the end of the silent frame, as the source had them at the end of
        // the main data before the first kept frame.
        const Mp3Frame &prev = s.Index.Frames[clip.FirstFrame - 1];
        const std::size_t n = static_cast<std::size_t>(std::min(prev.MainDataSize(), clip.ReservoirBytes));
        EXPECT_EQ(std::memcmp(clip.Audio.data() + silent.Offset + silent.Size - n,
                              s.Bytes.data() + prev.Offset + prev.Size - n, n),
                  0);
    }
    EXPECT_GT(sameRate, 3);
    EXPECT_GT(raised, 3);
}

// CRC-protected frames: our frame CRC is the encoder's, so the silent frame we write carries a
// valid one.
TEST(Mp3Cut, FrameCrcMatchesTheEncoders)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    const Source &s = Sources::get()["crc"];
    ASSERT_TRUE(s.Index.Frames[0].Header.Crc);
    for (std::size_t k = 0; k < s.Index.Frames.size(); k += 7) {
        const std::uint8_t *f = s.Bytes.data() + s.Index.Frames[k].Offset;
        EXPECT_EQ(Mp3FrameCrc(f, s.Index.Frames[k].Header), (f[4] << 8) | f[5]) << "frame " << k;
    }
}

namespace {

// Writes Bytes to a file, indexes and cuts [B, E) and compares FFmpeg's decode of the clip
// with Want (the undamaged source's samples of the stretch).
void expectClipOf(const std::vector<std::uint8_t> &Bytes, std::int64_t B, std::int64_t E, const Source &Clean)
{
    const Mp3FrameIndex ix = IndexMp3(Bytes.data(), Bytes.size());
    const Mp3Clip clip = CutMp3(Bytes.data(), Bytes.size(), ix, B, E);
    const fs::path file = Sources::get().dir() / "damaged-clip.mp3";
    writeBytes(file, clip.Audio);
    const std::vector<float> ff = ffmpegFloats(file, true);
    ASSERT_EQ(static_cast<std::int64_t>(ff.size()), (E - B) * 2);
    EXPECT_TRUE(std::equal(ff.begin(), ff.end(), Clean.Ffmpeg.begin() + B * 2));
}

std::string refusal(const std::vector<std::uint8_t> &Bytes)
{
    try {
        IndexMp3(Bytes.data(), Bytes.size());
    } catch (const EAuException &e) {
        return e.what();
    }
    return "(accepted)";
}

} // namespace

// Damage a file can have: the index keeps what is valid and the clip of it is exact.
TEST(Mp3CutDamaged, TruncatedGarbledOrLyingFilesGiveClipsOfWhatIsValid)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    const Source &s = Sources::get()["cbr128"];
    {
        SCOPED_TRACE("the last frame cut short");
        const std::vector<std::uint8_t> bytes(s.Bytes.begin(), s.Bytes.end() - 150);
        const Mp3FrameIndex ix = IndexMp3(bytes.data(), bytes.size());
        EXPECT_TRUE(ix.Truncated);
        EXPECT_EQ(ix.Frames.size(), s.Index.Frames.size() - 1);
        expectClipOf(bytes, 1000, ix.TotalSamples(), s);
    }
    {
        SCOPED_TRACE("garbage between two frames");
        std::vector<std::uint8_t> bytes = s.Bytes;
        std::mt19937 random(7);
        std::vector<std::uint8_t> garbage(333);
        for (std::uint8_t &g : garbage)
            g = static_cast<std::uint8_t>(random() % 3 == 0 ? 0xFF : random());
        bytes.insert(bytes.begin() + static_cast<long>(s.Index.Frames[60].Offset), garbage.begin(), garbage.end());
        const Mp3FrameIndex ix = IndexMp3(bytes.data(), bytes.size());
        EXPECT_EQ(ix.SkippedBytes, garbage.size());
        EXPECT_EQ(ix.Frames.size(), s.Index.Frames.size());
        expectClipOf(bytes, 50000, 100000, s);
    }
    {
        SCOPED_TRACE("an Info frame that claims ten times the frames");
        std::vector<std::uint8_t> bytes = s.Bytes;
        ASSERT_TRUE(s.Index.Tag.HasFrames);
        std::uint8_t *count = bytes.data() + s.Index.Tag.Offset + 4 + 32 + 8;
        const std::uint32_t lie = s.Index.Tag.Frames * 10;
        for (int k = 0; k < 4; ++k)
            count[k] = static_cast<std::uint8_t>(lie >> (24 - 8 * k));
        const Mp3FrameIndex ix = IndexMp3(bytes.data(), bytes.size());
        EXPECT_EQ(ix.Frames.size(), s.Index.Frames.size());
        EXPECT_EQ(ix.TotalSamples(), s.Index.TotalSamples());
        expectClipOf(bytes, 3000, 60000, s);
    }
}

// What cannot be cut says so in words; cut short or garbled anywhere, a file never crashes the
// cutter (the sanitizer builds and the fuzzer check this harder).
TEST(Mp3CutDamaged, RefusalsSayWhyAndDamageNeverCrashes)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    EXPECT_NE(refusal({}).find("No MPEG audio Layer III"), std::string::npos);
    EXPECT_NE(refusal(std::vector<std::uint8_t>(5000, 0x55)).find("No MPEG audio Layer III"), std::string::npos);

    const fs::path wav = makeWav(Sources::get().dir(), "refused", 44100, 2, 1);
    const fs::path free = Sources::get().dir() / "free.mp3";
    runCommand("lame --quiet --freeformat -b 400 " + shellQuote(wav.string()) + " " + shellQuote(free.string()));
    EXPECT_NE(refusal(readFile(free)).find("free-format"), std::string::npos) << refusal(readFile(free));
    const fs::path layer2 = Sources::get().dir() / "layer2.mp2";
    runCommand("ffmpeg -v error -y -i " + shellQuote(wav.string()) + " -c:a mp2 " + shellQuote(layer2.string()));
    EXPECT_NE(refusal(readFile(layer2)).find("Layer II,"), std::string::npos) << refusal(readFile(layer2));

    const Source &s = Sources::get()["vbr"];
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> bytes(s.Bytes.begin(), s.Bytes.begin() + static_cast<long>(random() % s.Bytes.size()));
        for (int k = 0; k < 20 && !bytes.empty(); ++k)
            bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
        try {
            const Mp3FrameIndex ix = IndexMp3(bytes.data(), bytes.size());
            const std::int64_t t = ix.TotalSamples();
            if (t > 0) {
                const Mp3Clip clip = CutMp3(bytes.data(), bytes.size(), ix, static_cast<std::int64_t>(random() % t), t);
                EXPECT_EQ(IndexMp3(clip.Audio.data(), clip.Audio.size()).TotalSamples(), clip.Samples);
            }
        } catch (const EAuException &) {
        }
    }
}

// Tags in front of and behind the audio are not audio: an ID3v2.4 tag with its footer in
// front, APEv2 and ID3v1 behind. A VBRI frame in front is a tag frame, which FFmpeg skips too.
TEST(Mp3CutTags, TagsAroundTheAudioAndAVbriFrameAreNoAudio)
{
    REQUIRE_PEERS("lame", "ffmpeg", "mpg123");
    const Source &s = Sources::get()["capture"];
    const std::vector<std::uint8_t> &audio = s.Bytes;

    std::vector<std::uint8_t> id3 = {'I', 'D', '3', 4, 0, 0x10, 0, 0, 0, 20};
    const std::uint8_t frame[] = {'T', 'I', 'T', '2', 0, 0, 0, 10, 0, 0, 3, 'A', ' ', 'T', 'i', 't', 'l', 'e', 0, 0};
    id3.insert(id3.end(), std::begin(frame), std::end(frame));
    std::vector<std::uint8_t> footer = {'3', 'D', 'I', 4, 0, 0x10, 0, 0, 0, 20};
    id3.insert(id3.end(), footer.begin(), footer.end());
    // An APEv2 tag with one item, header and footer both present.
    const std::string item = std::string("\x05\0\0\0\0\0\0\0Title\0Hello", 19);
    const auto apeBlock = [&](bool header) {
        std::vector<std::uint8_t> b = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0};
        const std::uint32_t size = static_cast<std::uint32_t>(item.size() + 32);
        for (int k = 0; k < 4; ++k)
            b.push_back(static_cast<std::uint8_t>(size >> (8 * k)));
        b.insert(b.end(), {1, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(header ? 0xE0 : 0x80)});
        b.resize(32, 0);
        return b;
    };
    std::vector<std::uint8_t> ape = apeBlock(true);
    ape.insert(ape.end(), item.begin(), item.end());
    const std::vector<std::uint8_t> apeFooter = apeBlock(false);
    ape.insert(ape.end(), apeFooter.begin(), apeFooter.end());
    std::vector<std::uint8_t> id3v1(128, 0);
    std::memcpy(id3v1.data(), "TAGA Title", 10);

    std::vector<std::uint8_t> tagged = id3;
    tagged.insert(tagged.end(), audio.begin(), audio.end());
    tagged.insert(tagged.end(), ape.begin(), ape.end());
    tagged.insert(tagged.end(), id3v1.begin(), id3v1.end());
    const Mp3FrameIndex ix = IndexMp3(tagged.data(), tagged.size());
    EXPECT_EQ(ix.Id3v2.Size, id3.size());
    EXPECT_EQ(ix.Id3v1.Size, 128u);
    EXPECT_EQ(ix.AudioEnd, id3.size() + audio.size());
    EXPECT_EQ(ix.SkippedBytes, 0u);
    EXPECT_EQ(ix.Frames.size(), s.Index.Frames.size());

    // A VBRI frame: the first frame's header, 32 bytes, then "VBRI" and its fields.
    const Mp3Frame &first = s.Index.Frames[0];
    std::vector<std::uint8_t> vbri(audio.begin() + static_cast<long>(first.Offset),
                                   audio.begin() + static_cast<long>(first.Offset) + first.Size);
    std::fill(vbri.begin() + 4, vbri.end(), 0);
    std::memcpy(vbri.data() + 36, "VBRI\0\1\0\0\0\x4b", 10);
    const std::uint32_t frames = static_cast<std::uint32_t>(s.Index.Frames.size());
    for (int k = 0; k < 4; ++k)
        vbri[50 + k] = static_cast<std::uint8_t>(frames >> (24 - 8 * k));
    std::vector<std::uint8_t> withVbri = vbri;
    withVbri.insert(withVbri.end(), audio.begin(), audio.end());
    const Mp3FrameIndex vx = IndexMp3(withVbri.data(), withVbri.size());
    EXPECT_EQ(vx.Tag.Kind, TMp3TagKind::Vbri);
    EXPECT_EQ(vx.Tag.Frames, frames);
    EXPECT_EQ(vx.Frames.size(), s.Index.Frames.size());
    const fs::path file = Sources::get().dir() / "vbri.mp3";
    writeBytes(file, withVbri);
    EXPECT_EQ(static_cast<std::int64_t>(ffmpegFloats(file).size() / 2), vx.TotalSamples());
}
