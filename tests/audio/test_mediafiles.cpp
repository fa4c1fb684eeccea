// The file inputs on real media files made at test time with ffmpeg (and lame): lengths from
// the header, the MP3 input's extra third of a second, seeking, output formats, tags, and files
// that are empty, truncated, corrupt or not audio at all, or crafted to make the reader open
// addresses named inside them.
#include "AuMedia.h"
#include "AuMp3In.h"
#include "AuTags.h"
#include "AuText.h"
#include "MediaFileReader.h"
#include "Processes.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

using testsupport::runProgram;
using testsupport::TempDir;

namespace {

class MediaFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PEERS("ffmpeg");
    }

    // Runs ffmpeg with Args and the output file Name; returns its path.
    std::string Make(const std::string &Name, std::vector<std::string> Args)
    {
        std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
        argv.insert(argv.end(), Args.begin(), Args.end());
        const std::string path = (dir / Name).string();
        argv.push_back(path);
        EXPECT_EQ(runProgram(argv), 0) << Name;
        return path;
    }
    // A stereo MP3 of noise (not periodic, so any misplacement shows).
    std::string NoiseMp3(const std::string &Name, double Seconds)
    {
        return Make(Name, {"-f", "lavfi", "-i", "anoisesrc=r=44100:a=0.3:d=" + std::to_string(Seconds), "-ac", "2",
                           "-c:a", "libmp3lame", "-b:a", "128k"});
    }

    static std::vector<std::uint8_t> ReadFile(const std::string &Path)
    {
        std::ifstream f(Path, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
    static void WriteFile(const std::string &Path, const std::vector<std::uint8_t> &Data)
    {
        std::ofstream f(Path, std::ios::binary);
        f.write(reinterpret_cast<const char *>(Data.data()), static_cast<std::streamsize>(Data.size()));
    }

    // Everything a run of the input delivers.
    static std::vector<std::uint8_t> ReadAll(TAuInput &In, std::size_t Limit = SIZE_MAX)
    {
        std::vector<std::uint8_t> out;
        while (out.size() < Limit) {
            void *buf = nullptr;
            std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(8192, Limit - out.size()));
            In.GetData(buf, n);
            if (n == 0)
                break;
            const auto *b = static_cast<const std::uint8_t *>(buf);
            out.insert(out.end(), b, b + n);
        }
        return out;
    }
    static std::vector<std::uint8_t> Run(TAuInput &In)
    {
        In.Init();
        auto data = ReadAll(In);
        In.Flush();
        return data;
    }

    TempDir dir;
};

} // namespace

TEST_F(MediaFiles, TheLengthComesFromTheHeaderRoundedToHundredthsAndCapsTheRun)
{
    // 8040 frames at 8000 Hz: 1.005 s, i.e. 100.5 hundredths, which rounds to 100 (even).
    const auto wav = Make("a.wav", {"-f", "lavfi", "-i", "sine=f=300:r=8000:d=2", "-af", "atrim=end_sample=8040",
                                    "-c:a", "pcm_s16le"});
    TWMIn in;
    in.SetFileName(wav);
    ASSERT_TRUE(in.Valid());
    EXPECT_EQ(in.Duration(), 100u);
    EXPECT_EQ(in.TotalSamples(), 8000);
    EXPECT_EQ(in.Size(), 16000);
    EXPECT_EQ(in.SampleRate(), 8000u);
    EXPECT_EQ(in.Channels(), 1u);
    // The decoder has 8040 frames; the run stops at the header's 8000.
    EXPECT_EQ(Run(in).size(), 16000u);

    // 2.01 s at 8000 Hz is 16080 frames exactly; 2.01 has no exact binary form, and the frame
    // count must not come out one short of the last frame for it.
    const auto exact = Make("b.wav", {"-f", "lavfi", "-i", "sine=f=300:r=8000:d=3", "-af", "atrim=end_sample=16080",
                                      "-c:a", "pcm_s16le"});
    TWMIn other;
    other.SetFileName(exact);
    EXPECT_EQ(other.Duration(), 201u);
    EXPECT_EQ(other.TotalSamples(), 16080);
    EXPECT_EQ(Run(other).size(), 16080u * 2);
}

TEST_F(MediaFiles, AWmaFileReportsItsHeaderLengthAndDecodes)
{
    const auto wma = Make("a.wma", {"-f", "lavfi", "-i", "sine=f=440:r=44100:d=12.345", "-ac", "2", "-c:a", "wmav2",
                                    "-b:a", "128k", "-metadata", "title=Recorded", "-metadata", "artist=Somebody"});
    TWMIn in;
    in.SetFileName(wma);
    ASSERT_TRUE(in.HasAudio());
    EXPECT_FALSE(in.IsProtected());
    EXPECT_EQ(in.SampleRate(), 44100u);
    EXPECT_EQ(in.Channels(), 2u);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_NEAR(in.Duration(), 1235.0, 2.0);
    EXPECT_EQ(in.TotalSamples(), static_cast<std::int64_t>(in.Duration()) * 441);
    EXPECT_EQ(in.Size(), in.TotalSamples() * 4);
    EXPECT_EQ(Utf16ToUtf8(in.Id3v2Tags()->Title()), "Recorded");
    EXPECT_EQ(Utf16ToUtf8(in.CommonTags()->Title()), "Recorded");
    EXPECT_GT(in.Bitrate(), 100000u);
    const auto size = in.Size();
    const auto data = Run(in);
    EXPECT_LE(static_cast<std::int64_t>(data.size()), size);
    EXPECT_NEAR(data.size() / 4.0 / 44100.0, 12.345, 0.15);
}

TEST_F(MediaFiles, TheMp3InputExpectsAThirdOfASecondMoreAndReadsToTheRealEnd)
{
    const auto mp3 = NoiseMp3("n.mp3", 5);
    TWMIn wm;
    wm.SetFileName(mp3);
    TMP3In mp;
    mp.SetFileName(mp3);
    ASSERT_TRUE(wm.Valid());
    ASSERT_TRUE(mp.Valid());
    EXPECT_EQ(mp.TotalSamples() - wm.TotalSamples(), 14700);
    EXPECT_EQ(mp.Size() - wm.Size(), 58800);
    // Gapless MP3: exactly the five seconds that were encoded, not cut by the header length.
    EXPECT_EQ(Run(mp).size(), 5u * 44100 * 4);
}

TEST_F(MediaFiles, JoinedMp3sOfTwoRatesPlayAtTheRateTheFileReports)
{
    const auto high = Make("high.mp3", {"-f", "lavfi", "-i", "sine=f=440:r=44100:d=3", "-ac", "2", "-c:a", "libmp3lame",
                                        "-b:a", "128k", "-write_xing", "0"});
    const auto low = Make("low.mp3", {"-f", "lavfi", "-i", "sine=f=440:r=22050:d=3", "-ac", "2", "-c:a", "libmp3lame",
                                      "-b:a", "64k", "-write_xing", "0", "-id3v2_version", "0"});
    auto joined = ReadFile(high);
    const auto tail = ReadFile(low);
    joined.insert(joined.end(), tail.begin(), tail.end());
    const std::string path = (dir / "joined.mp3").string();
    WriteFile(path, joined);
    TMP3In in;
    in.SetFileName(path);
    ASSERT_EQ(in.SampleRate(), 44100u);
    const auto data = Run(in);
    // Whatever the length estimate lets through of the second part, it is the same 440 Hz tone:
    // rising zero crossings of the left channel from 3.3 s on.
    const auto *pcm = reinterpret_cast<const std::int16_t *>(data.data());
    const std::size_t frames = data.size() / 4, first = 44100 * 33 / 10;
    ASSERT_GT(frames, first + 44100 / 2);
    std::size_t rises = 0;
    for (std::size_t i = first + 1; i < frames; ++i)
        if (pcm[(i - 1) * 2] < 0 && pcm[i * 2] >= 0)
            ++rises;
    EXPECT_NEAR(rises / ((frames - first) / 44100.0), 440.0, 10.0);
}

TEST_F(MediaFiles, SeekingThenReadingGivesTheSameSamplesAsAContinuousRead)
{
    const auto mp3 = NoiseMp3("n.mp3", 10);
    TMP3In in;
    in.SetFileName(mp3);
    const auto whole = Run(in);
    ASSERT_EQ(whole.size(), 10u * 44100 * 4);
    for (std::int64_t frame : {0LL, 12345LL, 200000LL, 300007LL, 44100LL * 9}) {
        in.Init();
        ASSERT_TRUE(in.Seek(frame));
        EXPECT_EQ(in.Position(), frame * 4);
        const auto part = ReadAll(in, 44100 * 4);
        in.Flush();
        ASSERT_GT(part.size(), 0u);
        ASSERT_LE(frame * 4 + static_cast<std::int64_t>(part.size()), static_cast<std::int64_t>(whole.size()));
        EXPECT_EQ(std::memcmp(part.data(), whole.data() + frame * 4, part.size()), 0) << "frame " << frame;
    }
    // A preset start (Seek while closed) gives the same.
    ASSERT_TRUE(in.Seek(100000));
    const auto preset = Run(in);
    ASSERT_EQ(preset.size(), whole.size() - 100000 * 4);
    EXPECT_EQ(std::memcmp(preset.data(), whole.data() + 100000 * 4, preset.size()), 0);
}

TEST_F(MediaFiles, SeekingInAWmaFileLandsWithinAMillisecond)
{
    const auto wma = Make("n.wma", {"-f", "lavfi", "-i", "anoisesrc=r=44100:a=0.3:d=6", "-ac", "2", "-c:a", "wmav2",
                                    "-b:a", "128k"});
    TWMIn in;
    in.SetFileName(wma);
    const auto whole = Run(in);
    ASSERT_GT(whole.size(), 5u * 44100 * 4);
    const std::int64_t frame = 100000;
    in.Init();
    ASSERT_TRUE(in.Seek(frame));
    const auto part = ReadAll(in, 8192);
    in.Flush();
    ASSERT_EQ(part.size(), 8192u);
    long found = -1000;
    for (long shift = -44; shift <= 44 && found == -1000; ++shift)
        if (std::memcmp(part.data(), whole.data() + (frame + shift) * 4, part.size()) == 0)
            found = shift;
    EXPECT_NE(found, -1000) << "no continuous-read position within 1 ms matches";
}

TEST_F(MediaFiles, OutputFormatsCanBeListedAndChosen)
{
    const auto mp3 = NoiseMp3("n.mp3", 2);
    TWMIn in;
    in.SetFileName(mp3);
    EXPECT_EQ(in.FormatsCount(), 2u);
    const auto stereo = in.GetFormatSpec(0);
    EXPECT_EQ(stereo.Channels, 2u);
    EXPECT_EQ(stereo.BitsPerSample, 16u);
    EXPECT_EQ(stereo.SampleRate, 44100u);
    const auto mono = in.GetFormatSpec(1);
    EXPECT_EQ(mono.Channels, 1u);
    const auto none = in.GetFormatSpec(-1);
    EXPECT_EQ(none.Channels + none.BitsPerSample + none.SampleRate, 0u);
    const auto beyond = in.GetFormatSpec(7);
    EXPECT_EQ(beyond.Channels, 0u);

    in.SetFormatSelected(1);
    EXPECT_EQ(in.FormatSelected(), 1);
    EXPECT_EQ(in.Channels(), 1u);
    EXPECT_EQ(in.Size(), in.TotalSamples() * 2);
    const auto monoData = Run(in);
    EXPECT_NEAR(monoData.size() / 2.0 / 44100.0, 2.0, 0.05);

    in.SetFormatSelected(-2);
    EXPECT_EQ(in.FormatSelected(), 0);
    EXPECT_EQ(in.Channels(), 2u);
}

TEST_F(MediaFiles, WhileARunGoesOnFormatQueriesAndSettingsAreIgnored)
{
    const auto mp3 = NoiseMp3("n.mp3", 1);
    TWMIn in;
    in.SetFileName(mp3);
    in.Init();
    EXPECT_EQ(in.FormatsCount(), 0u);
    EXPECT_EQ(in.GetFormatSpec(0).Channels, 0u);
    in.SetOutputChannels(cn5dot1);
    EXPECT_EQ(in.OutputChannels(), cnMonoOrStereo);
    in.SetHighPrecision(true);
    EXPECT_FALSE(in.HighPrecision());
    in.SetFormatSelected(1);
    EXPECT_EQ(in.FormatSelected(), 0);
    in.Flush();
}

TEST_F(MediaFiles, FiveOneChannelsForceHighPrecisionAndDeliverSixChannels)
{
    const auto mp3 = NoiseMp3("n.mp3", 2);
    TWMIn in;
    in.SetFileName(mp3);
    EXPECT_EQ(in.Channels(), 2u);
    in.SetOutputChannels(cn5dot1);
    EXPECT_TRUE(in.HighPrecision());
    in.SetHighPrecision(false);
    EXPECT_TRUE(in.HighPrecision()) << "ignored while the channels are not mono-or-stereo";
    EXPECT_EQ(in.Channels(), 6u);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    const auto data = Run(in);
    EXPECT_NEAR(data.size() / 12.0 / 44100.0, 2.0, 0.05);

    in.SetOutputChannels(cnMaxAvailable);
    EXPECT_EQ(in.Channels(), 2u);
}

TEST_F(MediaFiles, DiscreteOutputOffersTheDepthOfALosslessSource)
{
    const auto flac = Make("deep.flac", {"-f", "lavfi", "-i", "sine=f=440:r=48000:d=1", "-ac", "2", "-c:a", "flac",
                                         "-sample_fmt", "s32", "-bits_per_raw_sample", "24"});
    TWMIn in;
    in.SetFileName(flac);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.FormatsCount(), 2u);
    in.SetHighPrecision(true);
    EXPECT_EQ(in.BitsPerSample(), 24u);
    EXPECT_EQ(in.FormatsCount(), 3u);
    const auto data = Run(in);
    EXPECT_EQ(data.size(), 48000u * 2 * 3);
}

TEST_F(MediaFiles, DiscreteOutputOfASurroundFileKeepsAllItsChannels)
{
    const auto flac = Make("six.flac", {"-f", "lavfi", "-i", "sine=f=440:r=48000:d=1", "-ac", "6", "-c:a", "flac",
                                        "-sample_fmt", "s32", "-bits_per_raw_sample", "24"});
    TWMIn in;
    in.SetFileName(flac);
    ASSERT_TRUE(in.HasAudio());
    EXPECT_EQ(in.Channels(), 2u) << "folded down to stereo without discrete output";
    in.SetHighPrecision(true);
    ASSERT_TRUE(in.HasAudio()) << "the file's own six channels are on offer with discrete output";
    EXPECT_EQ(in.Channels(), 6u);
    EXPECT_EQ(in.BitsPerSample(), 24u);
    EXPECT_EQ(Run(in).size(), 48000u * 6 * 3);
}

TEST_F(MediaFiles, TagsGoToId3v2AndCommonTagsWithCopyrightOnlyAsTheId3v2Comment)
{
    const auto mp3 = Make("t.mp3", {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "libmp3lame", "-metadata",
                                    "title=Song \xc3\xa9", "-metadata", "artist=Band", "-metadata", "album=Disc",
                                    "-metadata", "genre=Jazz", "-metadata", "track=7", "-metadata", "date=2021",
                                    "-metadata", "copyright=Label 2021"});
    TWMIn in;
    in.SetFileName(mp3);
    TId3v2Tags *t = in.Id3v2Tags();
    EXPECT_EQ(Utf16ToUtf8(t->Title()), "Song \xc3\xa9");
    EXPECT_EQ(Utf16ToUtf8(t->Artist()), "Band");
    EXPECT_EQ(Utf16ToUtf8(t->Album()), "Disc");
    EXPECT_EQ(Utf16ToUtf8(t->Genre()), "Jazz");
    EXPECT_EQ(t->Track(), "7");
    EXPECT_EQ(t->Year(), "2021");
    EXPECT_EQ(Utf16ToUtf8(t->Comment()), "Label 2021");
    TCommonTags *c = in.CommonTags();
    EXPECT_EQ(Utf16ToUtf8(c->Title()), "Song \xc3\xa9");
    EXPECT_EQ(Utf16ToUtf8(c->Artist()), "Band");
    EXPECT_EQ(c->Year(), "2021");
    for (int i = 0; i < c->GetIdCount(); ++i)
        EXPECT_NE(c->GetAsString(c->GetId(i)), "Label 2021") << c->GetId(i);

    const auto plain = Make("p.mp3", {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "libmp3lame", "-metadata", "title=X"});
    TWMIn other;
    other.SetFileName(plain);
    EXPECT_EQ(other.Id3v2Tags()->Year(), "");
    EXPECT_EQ(other.CommonTags()->Year(), "");
    EXPECT_EQ(other.Id3v2Tags()->Comment(), u"");
}

TEST_F(MediaFiles, AMemoryStreamReadsLikeTheFileAndIsRewoundAfterTheRun)
{
    const auto mp3 = NoiseMp3("n.mp3", 3);
    TMP3In byName;
    byName.SetFileName(mp3);
    const auto expected = Run(byName);
    TMemoryStream memory(ReadFile(mp3));
    TMP3In byStream;
    byStream.SetStream(&memory);
    EXPECT_TRUE(byStream.Valid());
    EXPECT_EQ(byStream.TotalSamples(), byName.TotalSamples());
    EXPECT_EQ(Run(byStream), expected);
    EXPECT_EQ(memory.Position(), 0);
    EXPECT_EQ(Run(byStream), expected) << "a second run reads the stream again";
}

TEST_F(MediaFiles, EmptyCorruptTruncatedAndNonAudioFilesEndCleanly)
{
    const auto mp3 = NoiseMp3("good.mp3", 4);
    const auto bytes = ReadFile(mp3);
    const std::string empty = (dir / "empty.mp3").string(), junk = (dir / "junk.mp3").string(),
                      text = (dir / "text.mp3").string(), cut = (dir / "cut.mp3").string(),
                      holed = (dir / "holed.mp3").string();
    WriteFile(empty, {});
    std::vector<std::uint8_t> noise(100000);
    std::uint32_t x = 7;
    for (auto &b : noise) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    WriteFile(junk, noise);
    const std::string words = "This is not a sound file, just a few words of text.\n";
    WriteFile(text, std::vector<std::uint8_t>(words.begin(), words.end()));
    WriteFile(cut, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * 6 / 10)));
    auto holedBytes = bytes;
    for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 5000; ++i)
        holedBytes[i] = noise[i % noise.size()];
    WriteFile(holed, holedBytes);
    const auto png = Make("picture.png", {"-f", "lavfi", "-i", "color=c=red:s=64x64", "-frames:v", "1"});

    for (const auto &path : {empty, junk, text, png}) {
        TMP3In in;
        in.SetFileName(path);
        EXPECT_FALSE(in.Valid()) << path;
        EXPECT_TRUE(Run(in).empty()) << path;
    }
    {
        TMP3In in;
        in.SetFileName(cut);
        EXPECT_TRUE(in.Valid());
        const auto data = Run(in);
        EXPECT_NEAR(data.size() / 4.0 / 44100.0, 2.4, 0.15);
    }
    {
        TMP3In in;
        in.SetFileName(holed);
        EXPECT_TRUE(in.Valid());
        // The damaged stretch (5000 bytes, about a third of a second) is dropped, the rest plays.
        const double seconds = Run(in).size() / 4.0 / 44100.0;
        EXPECT_GT(seconds, 3.5);
        EXPECT_LE(seconds, 4.0);
    }
}

TEST_F(MediaFiles, BitRateAndVariableBitRateComeFromTheFile)
{
    const auto cbr = NoiseMp3("cbr.mp3", 2);
    const auto vbr = Make("vbr.mp3", {"-f", "lavfi", "-i", "anoisesrc=r=44100:a=0.3:d=2", "-ac", "2", "-c:a",
                                      "libmp3lame", "-q:a", "2"});
    TWMIn c, v;
    c.SetFileName(cbr);
    v.SetFileName(vbr);
    EXPECT_EQ(c.Bitrate(), 128000u);
    EXPECT_FALSE(c.IsVBR());
    EXPECT_TRUE(v.IsVBR());

    // Behind an ID3v2 tag larger than any fixed look-ahead (a long comment, as a cover picture).
    const auto tagged = Make("tagged.mp3", {"-f", "lavfi", "-i", "anoisesrc=r=44100:a=0.3:d=2", "-ac", "2", "-c:a",
                                            "libmp3lame", "-q:a", "2", "-metadata",
                                            "comment=" + std::string(100000, 'x')});
    TWMIn t;
    t.SetFileName(tagged);
    EXPECT_TRUE(t.IsVBR());
}

TEST_F(MediaFiles, MissingNamesAndFilesAreReported)
{
    TWMIn unnamed;
    EXPECT_EQ(unnamed.FormatsCount(), 0u);
    EXPECT_EQ(unnamed.GetFormatSpec(0).Channels, 0u);
    try {
        unnamed.HasAudio();
        FAIL() << "no exception";
    } catch (const EAuException &e) {
        EXPECT_STREQ(e.what(), "File name is not assigned");
    }
    TWMIn missing;
    missing.SetFileName((dir / "absent.wma").string());
    EXPECT_FALSE(missing.Valid());
    try {
        missing.Init();
        FAIL() << "no exception";
    } catch (const EAuException &e) {
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
    missing.Reset();
}

namespace {

// A server on 127.0.0.1 that takes every connection and never answers; destroying it closes
// them, which ends a client that waits for an answer.
std::unique_ptr<testsupport::ScriptedServer> SilentServer()
{
    return std::make_unique<testsupport::ScriptedServer>([](int, testsupport::ScriptedServer &Server) {
        while (!Server.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
}

// An ID3v2 header (no frames) and then Text: FFmpeg's probe skips the tag and looks at Text.
std::vector<std::uint8_t> BehindId3(const std::string &Text)
{
    std::vector<std::uint8_t> bytes = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
    bytes.insert(bytes.end(), Text.begin(), Text.end());
    return bytes;
}

// A memory stream that hands out at most 512 bytes a read, each read moving a clock on by a
// second.
class SlowStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    std::int64_t Read(void *Buffer, std::int64_t Count) override
    {
        Now += std::chrono::seconds(1);
        return TMemoryStream::Read(Buffer, std::min<std::int64_t>(Count, 512));
    }
    std::chrono::steady_clock::time_point Now{};
};

} // namespace

// Playlists and manifests behind an ID3 tag, named ".mp3": FFmpeg would take them for what they
// look like and fetch the segments they name. The file inputs never connect anywhere and never
// wait on the silent server: the open ends without audio.
TEST_F(MediaFiles, CraftedFilesNeverMakeTheInputsConnect)
{
    auto server = SilentServer();
    const std::string base = server->url("/");
    const std::pair<const char *, std::string> crafted[] = {
        {"dash.mp3", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
                     "type=\"static\" mediaPresentationDuration=\"PT10S\" minBufferTime=\"PT1S\" "
                     "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\">\n<Period><AdaptationSet "
                     "mimeType=\"audio/mp4\"><Representation id=\"a\" bandwidth=\"128000\" codecs=\"mp4a.40.2\">\n"
                     "<BaseURL>" + base + "a.mp4</BaseURL><SegmentBase indexRange=\"0-100\"/></Representation>"
                     "</AdaptationSet></Period></MPD>\n"},
        {"hls.mp3", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + base + "seg.ts\n#EXT-X-ENDLIST\n"},
        {"local.mp3", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + (dir / "dash.mp3").string() +
                          "\n#EXT-X-ENDLIST\n"},
    };
    for (const auto &[name, text] : crafted)
        WriteFile((dir / name).string(), BehindId3(text));

    auto openAll = [&] {
        for (const auto &[name, text] : crafted) {
            TMP3In mp3;
            mp3.SetFileName((dir / name).string());
            EXPECT_FALSE(mp3.Valid()) << name;
            EXPECT_TRUE(Run(mp3).empty()) << name;
            TWMIn any;
            any.SetFileName((dir / name).string());
            EXPECT_FALSE(any.Valid()) << name;
        }
    };
    auto done = std::async(std::launch::async, openAll);
    int connections = -1;
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "opening the crafted files waits on the network";
        connections = server->connections();
        server.reset(); // closes the connections the inputs wait on
    }
    done.get();
    if (server)
        connections = server->connections();
    EXPECT_EQ(connections, 0) << "a crafted file made the inputs connect to " << base;
}

// Opening gives up once it has taken longer than its bound (here on a clock the stream moves),
// with a message that says so; within the bound the same file opens.
TEST_F(MediaFiles, OpeningEndsAtItsBound)
{
    const auto bytes = ReadFile(NoiseMp3("long.mp3", 20));
    SlowStream slow(bytes);
    TAudioStream adapter;
    adapter.AssignStream(&slow);
    TMediaFileReader reader;
    reader.SetOpenBound(std::chrono::seconds(3), [&slow] { return slow.Now; });
    EXPECT_EQ(reader.OpenStream(adapter, "mp3"), AVERROR_EXIT);
    EXPECT_NE(reader.LastError().find("took too long"), std::string::npos) << reader.LastError();
    EXPECT_LE(slow.Now.time_since_epoch(), std::chrono::seconds(4)) << "reading went on past the bound";
    slow.Now = {};

    reader.SetOpenBound(std::chrono::hours(1), [&slow] { return slow.Now; });
    EXPECT_EQ(reader.OpenStream(adapter, "mp3"), 0) << reader.LastError();
    // Data of another format than the allowed ones is refused, whatever it holds.
    EXPECT_NE(reader.OpenStream(adapter, "asf,wav"), 0);
}
