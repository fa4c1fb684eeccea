// Keeping a station's own frames: the compressed ring's segments (a switch never splits or
// loses a packet, a planted link is not followed) and the saved file (MP3 with an Info frame of
// the exact length, ADTS AAC, tags, the frames unchanged, a failure that leaves the old file),
// stretches of a recording saved one after the other, chapters and the partial-song mark.
#include "AudioPeers.h"
#include "AuAdts.h"
#include "AuException.h"
#include "AuPacketRing.h"
#include "BroadcastFile.h"
#include "Mp3CutKit.h"
#include "Mp3Frames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <taglib/mpegfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/tableofcontentsframe.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> bytesOf(const std::string &s)
{
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

// Whether Needle occurs in Hay as one contiguous run.
bool contains(const std::vector<std::uint8_t> &Hay, const std::vector<std::uint8_t> &Needle)
{
    return !Needle.empty() && std::search(Hay.begin(), Hay.end(), Needle.begin(), Needle.end()) != Hay.end();
}

// The bytes after an ID3v2 tag at the front.
std::vector<std::uint8_t> afterId3v2(const std::vector<std::uint8_t> &File)
{
    if (File.size() < 10 || File[0] != 'I' || File[1] != 'D' || File[2] != '3')
        return File;
    const std::size_t size = (File[6] << 21) | (File[7] << 14) | (File[8] << 7) | File[9];
    return std::vector<std::uint8_t>(File.begin() + static_cast<long>(10 + size), File.end());
}

// A sine encoded by ffmpeg as a bare stream the way a station sends it (no Xing frame, no tag).
std::vector<std::uint8_t> encoded(const TempDir &Dir, const std::string &Args, const std::string &Name)
{
    const fs::path file = Dir / Name;
    runCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:d=3:r=44100 " + Args + " " +
               shellQuote(file.string()));
    return readFile(file);
}

TBroadcastTags someTags()
{
    TBroadcastTags t;
    SplitStreamTitle("  Nina Árbol - Canción del día ", t.Artist, t.Title);
    t.Album = "Fonolux Test Radio";
    t.Comment = "http://127.0.0.1:8000/tone.mp3";
    t.Date = "2026-12-11";
    return t;
}

} // namespace

TEST(PacketRing, SegmentsSwitchBetweenPacketsPauseDropsAndLinksAreNotFollowed)
{
    TempDir dir;
    TPacketRing ring;
    const std::string a = (dir / "a").string(), b = (dir / "b").string();
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("lost"), 4); // no segment yet
    ASSERT_TRUE(ring.StartSegment(a));
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("one"), 3);
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("two"), 3);
    EXPECT_EQ(ring.SegmentBytes(), 6u);
    ASSERT_TRUE(ring.StartSegment(b));
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("three"), 5);
    ring.SetPaused(true);
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("paused"), 6);
    ring.SetPaused(false);
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("four"), 4);
    ring.Stop();
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("after"), 5);
    EXPECT_FALSE(ring.Running());
    EXPECT_EQ(ring.PacketsSeen(), 7u);
    EXPECT_EQ(readFile(a), bytesOf("onetwo"));
    EXPECT_EQ(readFile(b), bytesOf("threefour"));
    EXPECT_EQ(fs::status(a).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // A segment started again is emptied first.
    ASSERT_TRUE(ring.StartSegment(a));
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("new"), 3);
    ring.Stop();
    EXPECT_EQ(readFile(a), bytesOf("new"));

    // A link planted at a segment's name is refused, its target untouched, and nothing is
    // written until a start succeeds.
    const fs::path victim = dir / "victim", link = dir / "link";
    { std::ofstream(victim) << "keep"; }
    fs::create_symlink(victim, link);
    EXPECT_FALSE(ring.StartSegment(link.string()));
    EXPECT_NE(ring.Error().find(link.string()), std::string::npos) << ring.Error();
    ring.OnPacket(reinterpret_cast<const std::uint8_t *>("x"), 1);
    EXPECT_FALSE(ring.Running());
    EXPECT_EQ(readFile(victim), bytesOf("keep"));
    ASSERT_TRUE(ring.StartSegment(b));
    EXPECT_TRUE(ring.Error().empty());
}

TEST(PacketRing, TitleChangesAreMarkedWhereTheyFellInTheSegmentAndTheSegmentBefore)
{
    TempDir dir;
    TPacketRing ring;
    const std::string a = (dir / "a").string(), b = (dir / "b").string();
    auto packet = [&](const char *Text) { ring.OnPacket(reinterpret_cast<const std::uint8_t *>(Text), 4); };
    ring.OnStreamTitle("A - One"); // before any segment: the first one's title
    ASSERT_TRUE(ring.StartSegment(a));
    packet("aaaa");
    ring.OnStreamTitle("B - Two");
    ring.OnStreamTitle("B - Two"); // sent again: no change
    packet("bbbb");
    ASSERT_TRUE(ring.StartSegment(b));
    packet("cccc");
    ring.SetPaused(true);
    ring.OnStreamTitle("C - Three"); // while paused: where the recording goes on
    packet("xxxx");
    EXPECT_EQ(ring.CurrentTitle(), "C - Three");

    auto text = [](const std::vector<TTitleMark> &Marks) {
        std::string out;
        for (const TTitleMark &m : Marks)
            out += std::to_string(m.Byte) + (m.Change ? "*" : " ") + m.Title + ";";
        return out;
    };
    EXPECT_EQ(text(ring.Marks(a)), "0 A - One;4*B - Two;");
    EXPECT_EQ(text(ring.Marks(b)), "0 B - Two;4*C - Three;");
    EXPECT_TRUE(ring.Marks("elsewhere").empty());
    // Started again, a segment's marks begin afresh; the one two segments back is forgotten.
    ASSERT_TRUE(ring.StartSegment(a));
    EXPECT_EQ(text(ring.Marks(a)), "0 C - Three;");
    EXPECT_EQ(text(ring.Marks(b)), "0 B - Two;4*C - Three;");
}

TEST(BroadcastFile, AdtsFramesAreKeptWholeAndGarbageOrATruncatedEndIsLeftOut)
{
    TempDir dir;
    const std::vector<std::uint8_t> aac = encoded(dir, "-c:a aac -b:a 64k -f adts", "tone.aac");
    std::size_t frames = 0, dropped = 0;
    const std::vector<std::uint8_t> clean = WholeAdtsFrames(aac.data(), aac.size(), frames, dropped);
    ASSERT_GT(frames, 100u);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(clean, aac);

    // Noise before the first frame (a stream joined mid-frame) and a last frame cut short.
    std::vector<std::uint8_t> messy = {0x12, 0xFF, 0x00, 0x34};
    messy.insert(messy.end(), aac.begin(), aac.end() - 10);
    std::size_t frames2 = 0, dropped2 = 0;
    const std::vector<std::uint8_t> kept = WholeAdtsFrames(messy.data(), messy.size(), frames2, dropped2);
    EXPECT_EQ(frames2, frames - 1);
    EXPECT_GT(dropped2, 4u);
    ASSERT_FALSE(kept.empty());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), aac.begin()));
}

TEST(BroadcastFile, SavedMp3AndAacHoldTheStationsFramesUnchangedWithTagsAndTheExactLength)
{
    REQUIRE_PEERS("ffmpeg", "ffprobe");
    TempDir dir;
    const TBroadcastTags tags = someTags();
    EXPECT_EQ(tags.Artist, "Nina Árbol");
    EXPECT_EQ(tags.Title, "Canción del día");

    // MP3: a bare capture starting a few frames in, as a station is joined.
    const std::vector<std::uint8_t> whole = encoded(dir, "-c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3", "tone.mp3");
    const Mp3FrameIndex wholeIndex = IndexMp3(whole.data(), whole.size());
    ASSERT_GT(wholeIndex.Frames.size(), 50u);
    const std::vector<std::uint8_t> capture(whole.begin() + static_cast<long>(wholeIndex.Frames[5].Offset), whole.end());
    const fs::path mp3 = dir / "saved.mp3";
    const TBroadcastSaved saved = WriteBroadcastFile(TBroadcastFormat::Mp3, capture, tags, mp3.string());
    const std::vector<std::uint8_t> file = readFile(mp3);
    const Mp3FrameIndex index = IndexMp3(file.data(), file.size());
    EXPECT_EQ(index.Tag.Kind, TMp3TagKind::Info);
    EXPECT_TRUE(index.Gapless());
    // The frames after the Info frame (and the silent frame in front, when there is one) are
    // the capture's own bytes.
    ASSERT_EQ(index.Frames.size(), saved.Frames);
    const std::size_t first = saved.SilentFirst ? 1 : 0;
    const std::vector<std::uint8_t> audio(file.begin() + static_cast<long>(index.Frames[first].Offset), file.end());
    EXPECT_TRUE(contains(capture, audio));
    EXPECT_GE(audio.size() + 418, capture.size());
    // The exact length: what a gapless decoder plays is what the capture holds.
    EXPECT_EQ(saved.Samples, IndexMp3(capture.data(), capture.size()).TotalSamples());
    EXPECT_EQ(ffmpegDecodedFrames(mp3, 1), saved.Samples);
    auto info = probe(mp3);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info["tag.title"], tags.Title);
    EXPECT_EQ(info["tag.artist"], tags.Artist);
    EXPECT_EQ(info["tag.album"], tags.Album);
    EXPECT_EQ(info["tag.comment"], tags.Comment);
    EXPECT_EQ(info["tag.date"], tags.Date);
    EXPECT_FALSE(fs::exists(dir / ".saved.mp3.part"));

    // AAC: the ADTS frames after the tag are the stream's bytes.
    const std::vector<std::uint8_t> aac = encoded(dir, "-c:a aac -b:a 64k -f adts", "tone.aac");
    const fs::path saac = dir / "saved.aac";
    const TBroadcastSaved savedAac = WriteBroadcastFile(TBroadcastFormat::Aac, aac, tags, saac.string());
    EXPECT_GT(savedAac.Frames, 100u);
    EXPECT_EQ(afterId3v2(readFile(saac)), aac);
    info = probe(saac);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info["stream.codec_name"], "aac");
    EXPECT_EQ(info["tag.title"], tags.Title);
    EXPECT_EQ(info["tag.album"], tags.Album);
}

TEST(BroadcastFile, NoAudioOrAnUnwritableFolderFailsAndLeavesTheOldFileAsItWas)
{
    TempDir dir;
    const fs::path target = dir / "old.mp3";
    { std::ofstream(target) << "the old file"; }
    const std::vector<std::uint8_t> noise(5000, 0x55);
    EXPECT_THROW(WriteBroadcastFile(TBroadcastFormat::Mp3, noise, {}, target.string()), EAuException);
    EXPECT_THROW(WriteBroadcastFile(TBroadcastFormat::Aac, noise, {}, target.string()), EAuException);
    EXPECT_THROW(WriteBroadcastFile(TBroadcastFormat::None, noise, {}, target.string()), EAuException);
    // A stretch outside the recording or empty.
    const std::vector<std::uint8_t> frame1 = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_THROW(WriteBroadcastRange(TBroadcastFormat::Aac, frame1, 5000, 9000, {}, target.string()), EAuException);
    EXPECT_THROW(WriteBroadcastRange(TBroadcastFormat::Aac, frame1, 0, 0, {}, target.string()), EAuException);
    EXPECT_EQ(readFile(target), bytesOf("the old file"));
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    // One ADTS frame of 16 bytes: audio enough to get as far as writing.
    const std::vector<std::uint8_t> frame = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    try {
        WriteBroadcastFile(TBroadcastFormat::Aac, frame, {}, (dir / "missing" / "x.aac").string());
        FAIL() << "no error for a missing folder";
    } catch (const EAuException &e) {
        EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos) << e.what();
    }
}

// Two stretches of a mid-stream capture cut one after the other play back, in FFmpeg and in
// mpg123, as exactly the capture's samples: nothing lost or repeated at the cut, which lies
// inside a frame. The first carries chapters and the partial-song mark.
TEST(BroadcastRange, Mp3StretchesJoinGaplesslyAndCarryChaptersAndThePartialMark)
{
    REQUIRE_PEERS("lame", "ffmpeg", "ffprobe", "mpg123");
    TempDir dir;
    const fs::path whole = dir / "whole.mp3";
    runCommand("lame --quiet -t -b 128 " + shellQuote(makeWav(dir.path(), "music", 44100, 2, 6).string()) + " " +
               shellQuote(whole.string()));
    const std::vector<std::uint8_t> all = readFile(whole);
    const Mp3FrameIndex wholeIndex = IndexMp3(all.data(), all.size());
    std::size_t from = 30; // joined where the frame's reservoir reaches into frames never received
    while (wholeIndex.Frames.at(from).MainDataBegin == 0)
        ++from;
    const std::vector<std::uint8_t> capture(all.begin() + static_cast<long>(wholeIndex.Frames[from].Offset), all.end());
    const fs::path captureFile = dir / "capture.mp3";
    writeBytes(captureFile, capture);

    const TBroadcastFrames frames = IndexBroadcastFrames(TBroadcastFormat::Mp3, capture);
    ASSERT_EQ(frames.Offsets.size(), wholeIndex.Frames.size() - from);
    EXPECT_EQ(frames.Offsets[1], wholeIndex.Frames[from + 1].Offset - wholeIndex.Frames[from].Offset);
    EXPECT_EQ(frames.SamplesPerFrame, 1152);
    EXPECT_EQ(frames.SampleRate, 44100);
    const std::vector<float> ffWhole = ffmpegFloats(captureFile);
    const std::vector<std::int16_t> mpgWhole = mpg123Pcm(captureFile);
    ASSERT_EQ(static_cast<std::int64_t>(ffWhole.size() / 2), frames.Samples());

    TBroadcastTags first = someTags();
    first.Partial = true;
    first.Chapters = {{0, 1500, "Nina Árbol - Uno"}, {1500, 2600, "Otro - Dos"}};
    const std::int64_t cut = 100 * 1152 + 333;
    const fs::path a = dir / "a.mp3", b = dir / "b.mp3";
    EXPECT_EQ(WriteBroadcastRange(TBroadcastFormat::Mp3, capture, 0, cut, first, a.string()).Samples, cut);
    EXPECT_EQ(WriteBroadcastRange(TBroadcastFormat::Mp3, capture, cut, frames.Samples(), someTags(), b.string()).Samples,
              frames.Samples() - cut);

    // The capture's first two frames are made up by each decoder in its own way.
    const std::size_t head = 2 * 1152 * 2;
    std::vector<float> ff = ffmpegFloats(a);
    const std::vector<float> ffB = ffmpegFloats(b);
    ff.insert(ff.end(), ffB.begin(), ffB.end());
    ASSERT_EQ(ff.size(), ffWhole.size());
    EXPECT_TRUE(std::equal(ff.begin() + head, ff.end(), ffWhole.begin() + head));
    std::vector<std::int16_t> mpg = mpg123Pcm(a);
    const std::vector<std::int16_t> mpgB = mpg123Pcm(b);
    mpg.insert(mpg.end(), mpgB.begin(), mpgB.end());
    ASSERT_EQ(mpg.size(), mpgWhole.size());
    int worst = 0;
    for (std::size_t i = head; i < mpg.size(); ++i)
        worst = std::max(worst, std::abs(mpg[i] - mpgWhole[i]));
    EXPECT_LE(worst, 1);

    const std::vector<ProbedChapter> chapters = probeChapters(a);
    ASSERT_EQ(chapters.size(), 2u);
    EXPECT_EQ(chapters[0].StartMs, 0);
    EXPECT_EQ(chapters[0].EndMs, 1500);
    EXPECT_EQ(chapters[0].Title, "Nina Árbol - Uno");
    EXPECT_EQ(chapters[1].StartMs, 1500);
    EXPECT_EQ(chapters[1].EndMs, 2600);
    EXPECT_EQ(chapters[1].Title, "Otro - Dos");
    auto info = probe(a);
    EXPECT_EQ(info["tag.partial"], "yes");
    EXPECT_EQ(info["tag.comment"], first.Comment + " (partial song)");
    EXPECT_EQ(info["tag.title"], first.Title);
    info = probe(b);
    EXPECT_EQ(info.count("tag.partial"), 0u);
    EXPECT_EQ(info["tag.comment"], first.Comment);
    EXPECT_TRUE(probeChapters(b).empty());

    // The table of contents lists the chapters in order, top-level and ordered.
    TagLib::MPEG::File file(a.c_str());
    ASSERT_TRUE(file.isValid() && file.ID3v2Tag());
    const TagLib::ID3v2::FrameList tocs = file.ID3v2Tag()->frameList("CTOC");
    ASSERT_EQ(tocs.size(), 1u);
    const auto *toc = dynamic_cast<const TagLib::ID3v2::TableOfContentsFrame *>(tocs.front());
    ASSERT_NE(toc, nullptr);
    EXPECT_TRUE(toc->isTopLevel());
    EXPECT_TRUE(toc->isOrdered());
    ASSERT_EQ(toc->entryCount(), 2u);
    EXPECT_EQ(toc->childElements()[0], TagLib::ByteVector("chp0"));
    EXPECT_EQ(toc->childElements()[1], TagLib::ByteVector("chp1"));
}

// AAC stretches keep whole frames, each end rounded to the nearest frame, so stretches cut one
// after the other tile the stream; the index skips bytes that are no frame.
TEST(BroadcastRange, AacStretchesRoundToWholeFramesAndTileTheStream)
{
    REQUIRE_PEERS("ffmpeg");
    TempDir dir;
    const std::vector<std::uint8_t> aac = encoded(dir, "-c:a aac -b:a 64k -f adts", "tone.aac");
    std::vector<std::uint8_t> messy = {0x12, 0xFF, 0x00, 0x34};
    messy.insert(messy.end(), aac.begin(), aac.end());
    const TBroadcastFrames frames = IndexBroadcastFrames(TBroadcastFormat::Aac, messy);
    std::size_t dropped = 0;
    const std::vector<TAdtsFrame> scanned = ScanAdtsFrames(aac.data(), aac.size(), dropped);
    ASSERT_EQ(frames.Offsets.size(), scanned.size());
    EXPECT_EQ(frames.Offsets[0], 4u);
    EXPECT_EQ(frames.Offsets[7], scanned[7].Offset + 4);
    EXPECT_EQ(frames.SamplesPerFrame, 1024);
    EXPECT_EQ(frames.SampleRate, 44100);

    // 20.499 frames rounds down, 50.5 up; an end past the stream is cut to it.
    const std::int64_t cuts[] = {0, 20 * 1024 + 511, 50 * 1024 + 512, frames.Samples() + 5000};
    const std::size_t expected[] = {20, 31, scanned.size() - 51};
    std::vector<std::uint8_t> joined;
    for (std::size_t k = 0; k < 3; ++k) {
        const fs::path part = dir / ("part" + std::to_string(k) + ".aac");
        EXPECT_EQ(WriteBroadcastRange(TBroadcastFormat::Aac, messy, cuts[k], cuts[k + 1], someTags(), part.string()).Frames,
                  expected[k]);
        const std::vector<std::uint8_t> body = afterId3v2(readFile(part));
        joined.insert(joined.end(), body.begin(), body.end());
    }
    EXPECT_EQ(joined, aac);
}
