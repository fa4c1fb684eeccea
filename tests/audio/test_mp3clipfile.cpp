// Writing a clip file: the source's ID3v2 frames and ID3v1 block go with the clip, the length
// frame says the clip's length, the audio between them decodes exactly as the cut promised,
// and a file that cannot be written says why.
#include "AuException.h"
#include "Mp3ClipFile.h"
#include "Mp3Frames.h"

#include "AudioPeers.h"
#include "TestSupport.h"

#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::vector<float> ffmpegFloats(const fs::path &File)
{
    const std::string out =
        runCommand("ffmpeg -v error -i " + shellQuote(File.string()) + " -f f32le -c:a pcm_f32le - 2>/dev/null");
    std::vector<float> v(out.size() / sizeof(float));
    std::memcpy(v.data(), out.data(), v.size() * sizeof(float));
    return v;
}

// Three seconds of noise and tone by lame with title, artist, an ID3v1 block, and (added
// through TagLib) a length frame and a user text frame.
fs::path taggedSource(const TempDir &Dir)
{
    const fs::path wav = Dir / "s.wav", mp3 = Dir / "source.mp3";
    runCommand("ffmpeg -v error -y -f lavfi -i \"aevalsrc=0.3*sin(2*PI*440*t)+0.1*(random(0)*2-1)|0.2*(random(1)*2-1):s=44100:d=3\" " +
               shellQuote(wav.string()));
    runCommand("lame --quiet -b 160 --tt 'Morning Song' --ta 'The Players' --add-id3v2 " + shellQuote(wav.string()) +
               " " + shellQuote(mp3.string()));
    TagLib::MPEG::File f(mp3.c_str());
    TagLib::ID3v2::Tag *tag = f.ID3v2Tag(true);
    auto *length = new TagLib::ID3v2::TextIdentificationFrame("TLEN", TagLib::String::Latin1);
    length->setText("3000");
    tag->addFrame(length);
    auto *user = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
    user->setDescription("Studio");
    user->setText("Hall Two");
    tag->addFrame(user);
    f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate);
    return mp3;
}

} // namespace

TEST(Mp3ClipFile, TagsGoWithTheClipAndTheLengthIsTheClips)
{
    REQUIRE_PEERS("lame", "ffmpeg");
    TempDir dir;
    const fs::path source = taggedSource(dir);
    const std::vector<std::uint8_t> bytes = readFile(source);
    const Mp3FrameIndex ix = IndexMp3(bytes.data(), bytes.size());
    ASSERT_GT(ix.Id3v2.Size, 0u);
    ASSERT_EQ(ix.Id3v1.Size, 128u);

    const fs::path clip = dir / "clip.mp3";
    const Mp3Clip c = WriteMp3ClipFile(bytes.data(), bytes.size(), 22050, 22050 + 66150, clip.string());
    EXPECT_EQ(c.Samples, 66150);

    TagLib::MPEG::File f(clip.c_str());
    ASSERT_TRUE(f.isValid());
    ASSERT_TRUE(f.hasID3v2Tag());
    TagLib::ID3v2::Tag *tag = f.ID3v2Tag();
    EXPECT_EQ(tag->title(), TagLib::String("Morning Song"));
    EXPECT_EQ(tag->artist(), TagLib::String("The Players"));
    EXPECT_EQ(tag->header()->majorVersion(), 3u);
    ASSERT_EQ(tag->frameList("TLEN").size(), 1u);
    EXPECT_EQ(tag->frameList("TLEN").front()->toString(), TagLib::String("1500"));
    const auto *user = TagLib::ID3v2::UserTextIdentificationFrame::find(tag, "Studio");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->fieldList().back(), TagLib::String("Hall Two"));
    ASSERT_TRUE(f.hasID3v1Tag());
    EXPECT_EQ(f.ID3v1Tag()->title(), TagLib::String("Morning Song"));

    // The tags do not disturb the cut: FFmpeg plays exactly the stretch.
    const std::vector<float> whole = ffmpegFloats(source), part = ffmpegFloats(clip);
    ASSERT_EQ(part.size(), 66150u * 2);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 22050 * 2));
}

TEST(Mp3ClipFile, AFileThatCannotBeWrittenSaysWhy)
{
    REQUIRE_PEERS("lame", "ffmpeg");
    TempDir dir;
    const std::vector<std::uint8_t> bytes = readFile(taggedSource(dir));
    const std::string nowhere = (dir / "missing" / "clip.mp3").string();
    try {
        WriteMp3ClipFile(bytes.data(), bytes.size(), 0, 1000, nowhere);
        FAIL() << "no error";
    } catch (const EAuException &e) {
        EXPECT_NE(std::string(e.what()).find(nowhere), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(nowhere));
}
