// One file per song from a recording kept as broadcast: decoding a stretch near a title change
// (positions, warm-up, a refused frame) and saving AAC as .m4a (tags, chapters, the exact
// length, a failure that leaves the old file).
#include "AudioPeers.h"
#include "AuAdts.h"
#include "AuException.h"
#include "BroadcastFile.h"
#include "BroadcastLevels.h"
#include "BroadcastM4aFile.h"
#include "BroadcastOggFile.h"
#include "FFmpegUtil.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <tuple>

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

namespace {

// The raw AAC frames (ADTS headers left out) of an ADTS stream.
std::vector<std::vector<std::uint8_t>> rawFrames(const std::vector<std::uint8_t> &Adts)
{
    std::size_t dropped = 0;
    std::vector<std::vector<std::uint8_t>> out;
    for (const TAdtsFrame &f : ScanAdtsFrames(Adts.data(), Adts.size(), dropped))
        out.emplace_back(Adts.begin() + static_cast<long>(f.Offset + f.HeaderBytes),
                         Adts.begin() + static_cast<long>(f.Offset + f.Size));
    return out;
}

} // namespace

// A stretch saved as .m4a holds the station's own frames (copied back out as ADTS they are the
// stream's), the exact length in samples, the tags with a partial song said in the comment,
// and the chapters. A stretch with no frame or a target that cannot be written fails and
// leaves the file that was there.
TEST(BroadcastM4a, HoldsTheStationsFramesTagsAndChaptersAndAFailureLeavesTheOldFile)
{
    REQUIRE_PEERS("ffmpeg", "ffprobe");
    TempDir dir;
    const std::vector<std::uint8_t> aac = twoTones(dir, TBroadcastFormat::Aac);
    const std::vector<std::vector<std::uint8_t>> raw = rawFrames(aac);
    ASSERT_GT(raw.size(), 100u);

    TBroadcastTags tags;
    tags.Artist = "Nina Árbol";
    tags.Title = "Canción";
    tags.Album = "Fonolux Test Radio";
    tags.Comment = "http://127.0.0.1:8000/tone.aac";
    tags.Date = "2026-12-11";
    tags.Partial = true;
    tags.Chapters = {{0, 700, "Uno"}, {700, 1300, "Nina Árbol - Dos"}};
    const fs::path m4a = dir / "song.m4a";
    // Frames 10 (10.4 rounds down) to 70 (69.5 rounds up).
    const TBroadcastSaved saved = WriteM4aBroadcastFile(aac, 10 * 1024 + 400, 69 * 1024 + 512, tags, m4a.string());
    EXPECT_EQ(saved.Frames, 60u);
    EXPECT_EQ(saved.Samples, 60 * 1024);

    auto info = probe(m4a);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info["stream.codec_name"], "aac");
    EXPECT_EQ(info["stream.sample_rate"], "44100");
    EXPECT_EQ(info["stream.channels"], "2");
    EXPECT_EQ(info["stream.duration_ts"], std::to_string(60 * 1024));
    EXPECT_EQ(info["tag.title"], tags.Title);
    EXPECT_EQ(info["tag.artist"], tags.Artist);
    EXPECT_EQ(info["tag.album"], tags.Album);
    EXPECT_EQ(info["tag.comment"], tags.Comment + " (partial song)");
    EXPECT_EQ(info["tag.date"], tags.Date);
    const std::vector<ProbedChapter> chapters = probeChapters(m4a);
    ASSERT_EQ(chapters.size(), 2u);
    EXPECT_EQ(chapters[0].StartMs, 0);
    EXPECT_EQ(chapters[0].Title, "Uno");
    EXPECT_EQ(chapters[1].StartMs, 700);
    EXPECT_EQ(chapters[1].EndMs, 1300);
    EXPECT_EQ(chapters[1].Title, "Nina Árbol - Dos");
    EXPECT_EQ(ffmpegDecodedFrames(m4a, 2), 60 * 1024);

    const fs::path back = dir / "back.aac";
    runCommand("ffmpeg -nostdin -v error -y -i " + shellQuote(m4a.string()) + " -c:a copy -f adts " +
               shellQuote(back.string()));
    const std::vector<std::vector<std::uint8_t>> copied = rawFrames(readFile(back));
    ASSERT_EQ(copied.size(), 60u);
    EXPECT_TRUE(std::equal(copied.begin(), copied.end(), raw.begin() + 10));

    // Failures: nothing in the stretch, no AAC at all, a missing folder.
    const fs::path old = dir / "old.m4a";
    { std::ofstream(old) << "the old file"; }
    EXPECT_THROW(WriteM4aBroadcastFile(aac, 5000, 5100, tags, old.string()), EAuException);
    EXPECT_THROW(WriteM4aBroadcastFile(std::vector<std::uint8_t>(4000, 0x55), 0, -1, tags, old.string()), EAuException);
    // A station that changes its sample rate midway: one file's configuration cannot hold both.
    std::vector<std::uint8_t> changed = aac;
    runCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=d=1:r=48000 -c:a aac -f adts " +
               shellQuote((dir / "48k.aac").string()));
    const std::vector<std::uint8_t> other = readFile(dir / "48k.aac");
    ASSERT_FALSE(other.empty());
    changed.insert(changed.end(), other.begin(), other.end());
    EXPECT_THROW(WriteM4aBroadcastFile(changed, 0, -1, tags, old.string()), EAuException);
    EXPECT_EQ(readFile(old), std::vector<std::uint8_t>({'t', 'h', 'e', ' ', 'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'}));
    try {
        WriteM4aBroadcastFile(aac, 0, -1, tags, (dir / "missing" / "x.m4a").string());
        FAIL() << "no error for a missing folder";
    } catch (const EAuException &e) {
        EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos) << e.what();
    }
    for (const auto &entry : fs::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

namespace {

// An Ogg file's packets framed as the ring keeps them (length and duration in front), with the
// codec's headers, as the network input hands them over.
struct FramedOgg {
    TBroadcastStream Stream;
    std::vector<std::uint8_t> Framed;
    std::vector<std::int64_t> Starts; // each packet's first sample
    std::vector<std::int64_t> Durations;
};

FramedOgg framedOgg(const fs::path &File, TBroadcastFormat Format)
{
    FramedOgg f;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, File.c_str(), nullptr, nullptr) < 0)
        return f;
    ff::FormatInput in(raw);
    const AVCodecParameters *par = in->streams[0]->codecpar;
    f.Stream = {Format, std::vector<std::uint8_t>(par->extradata, par->extradata + par->extradata_size),
                par->sample_rate, par->ch_layout.nb_channels};
    const AVRational base = in->streams[0]->time_base;
    ff::Packet packet(av_packet_alloc());
    std::int64_t at = 0;
    while (av_read_frame(in.get(), packet.get()) == 0) {
        const auto samples = static_cast<std::uint32_t>(av_rescale_q(packet->duration, base, {1, par->sample_rate}));
        const auto size = static_cast<std::uint32_t>(packet->size);
        for (int k = 0; k < 4; ++k)
            f.Framed.push_back(static_cast<std::uint8_t>(size >> (8 * k)));
        for (int k = 0; k < 4; ++k)
            f.Framed.push_back(static_cast<std::uint8_t>(samples >> (8 * k)));
        f.Framed.insert(f.Framed.end(), packet->data, packet->data + packet->size);
        f.Starts.push_back(at);
        f.Durations.push_back(samples);
        at += samples;
        av_packet_unref(packet.get());
    }
    return f;
}

} // namespace

// Stretches of an Ogg recording saved one after the other hold every packet once, each in
// the stretch its start lies in, with granules from 0 again: each file's length is its
// packets' durations.
TEST(BroadcastOgg, StretchesTakeThePacketsStartingInThemAndCountGranulesFromZero)
{
    REQUIRE_PEERS("ffmpeg", "ffprobe");
    TempDir dir;
    for (const TBroadcastFormat format : {TBroadcastFormat::Vorbis, TBroadcastFormat::Opus}) {
        const bool opus = format == TBroadcastFormat::Opus;
        SCOPED_TRACE(opus ? "Opus" : "Vorbis");
        const fs::path source = dir / (opus ? "tone.opus" : "tone.ogg");
        runCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:d=3:r=48000 -ac 2 -c:a " +
                   std::string(opus ? "libopus" : "libvorbis") + " " + shellQuote(source.string()));
        const FramedOgg ogg = framedOgg(source, format);
        ASSERT_GT(ogg.Starts.size(), 20u);
        const std::int64_t cut = ogg.Starts[ogg.Starts.size() / 2] + 1; // inside a packet
        const std::int64_t end = ogg.Starts.back() + 1;
        std::size_t packets = 0;
        for (const auto &[b, e, name] : {std::tuple{std::int64_t{0}, cut, "a"}, std::tuple{cut, end, "b"}}) {
            const fs::path part = dir / (std::string(name) + (opus ? ".opus" : ".ogg"));
            const TBroadcastSaved saved = WriteOggBroadcastRange(ogg.Stream, ogg.Framed, b, e, {}, part.string());
            const auto kept = static_cast<std::size_t>(
                std::count_if(ogg.Starts.begin(), ogg.Starts.end(), [&](std::int64_t s) { return s >= b && s < e; }));
            EXPECT_EQ(saved.Frames, kept);
            packets += saved.Frames;
            const std::string count = runCommand("ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
                                                 "-of csv=p=0 " + shellQuote(part.string()));
            EXPECT_EQ(std::stoul(count), kept) << count;
            // The file's granules count the kept packets' samples from 0.
            std::int64_t keptSamples = 0;
            for (std::size_t k = 0; k < ogg.Starts.size(); ++k)
                if (ogg.Starts[k] >= b && ogg.Starts[k] < e)
                    keptSamples += ogg.Durations[k];
            EXPECT_EQ(saved.Samples, keptSamples);
            const std::string listed = runCommand("ffprobe -v error -show_entries packet=pts,duration -of csv=p=0 " +
                                                  shellQuote(part.string()));
            std::int64_t fileEnd = 0;
            std::istringstream lines(listed);
            for (std::string line; std::getline(lines, line);)
                if (const std::size_t comma = line.find(','); comma != std::string::npos && comma > 0)
                    fileEnd = std::max<std::int64_t>(fileEnd, std::stoll(line.substr(0, comma)) + std::stoll(line.substr(comma + 1)));
            // FFmpeg's timestamps of an Opus file leave out its pre-skip (OpusHead bytes 10-11).
            const std::int64_t preSkip = opus ? ogg.Stream.Headers.at(10) | (ogg.Stream.Headers.at(11) << 8) : 0;
            EXPECT_EQ(fileEnd, keptSamples - preSkip);
        }
        EXPECT_EQ(packets, ogg.Starts.size());
        EXPECT_THROW(WriteOggBroadcastRange(ogg.Stream, ogg.Framed, end, end + 100, {}, (dir / "none.ogg").string()),
                     EAuException);
    }
}
