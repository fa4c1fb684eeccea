// The clip file: tags from the source, the cut stream, written and synced.
#include "Mp3ClipFile.h"

#include "AuException.h"

#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/textidentificationframe.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Owns the descriptor of the file being written.
class TClipFd {
public:
    explicit TClipFd(const std::string &path) : FPath(path)
    {
        FFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (FFd < 0)
            fail("create");
    }
    ~TClipFd()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TClipFd(const TClipFd &) = delete;
    TClipFd &operator=(const TClipFd &) = delete;

    void write(const std::uint8_t *p, std::size_t n)
    {
        while (n > 0) {
            const ssize_t w = ::write(FFd, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                fail("write");
            p += w;
            n -= static_cast<std::size_t>(w);
        }
    }
    // On disk before the caller renames it over the chosen file.
    void finish()
    {
        if (::fsync(FFd) != 0)
            fail("write");
        const int fd = FFd;
        FFd = -1;
        if (::close(fd) != 0)
            fail("write");
    }

private:
    [[noreturn]] void fail(const char *what)
    {
        const int err = errno;
        throw EAuException(std::string("Cannot ") + what + " \"" + FPath + "\": " + std::strerror(err));
    }
    std::string FPath;
    int FFd = -1;
};

// The source's ID3v2 tag for the clip: its frames kept but those that locate things in the
// source's audio, its length frame (when it has one) set to the clip's. Rendered in memory so
// the file is written once. Empty when there is no tag; the source's bytes unchanged when
// TagLib cannot read them.
std::vector<std::uint8_t> clipTag(const std::uint8_t *tagBytes, std::size_t size, std::int64_t ms)
{
    if (size == 0)
        return {};
    TagLib::ByteVector bytes(reinterpret_cast<const char *>(tagBytes), static_cast<unsigned>(size));
    TagLib::ByteVectorStream stream(bytes);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    if (!file.isValid() || !file.hasID3v2Tag())
        return std::vector<std::uint8_t>(tagBytes, tagBytes + size);
    TagLib::ID3v2::Tag *tag = file.ID3v2Tag();
    const bool hadLength = !tag->frameList("TLEN").isEmpty();
    for (const char *id : {"TLEN", "MLLT", "SEEK", "ASPI"})
        tag->removeFrames(id);
    if (hadLength) {
        auto *length = new TagLib::ID3v2::TextIdentificationFrame("TLEN", TagLib::String::Latin1);
        length->setText(TagLib::String::number(static_cast<int>(ms)));
        tag->addFrame(length);
    }
    const TagLib::ID3v2::Version version = tag->header()->majorVersion() == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
    const TagLib::ByteVector rendered = tag->render(version);
    return std::vector<std::uint8_t>(rendered.begin(), rendered.end());
}

} // namespace

Mp3Clip WriteMp3ClipFile(const std::uint8_t *Data, std::size_t Size, std::int64_t Begin, std::int64_t End,
                         const std::string &Path)
{
    return WriteMp3ClipFile(Data, Size, IndexMp3(Data, Size), Begin, End, Path);
}

Mp3Clip WriteMp3ClipFile(const std::uint8_t *Data, std::size_t Size, const Mp3FrameIndex &index, std::int64_t Begin,
                         std::int64_t End, const std::string &Path)
{
    Mp3Clip clip = CutMp3(Data, Size, index, Begin, End);
    const std::vector<std::uint8_t> tag =
        clipTag(Data + index.Id3v2.Offset, index.Id3v2.Size, clip.Samples * 1000 / index.SampleRate);
    TClipFd out(Path);
    out.write(tag.data(), tag.size());
    out.write(clip.Audio.data(), clip.Audio.size());
    out.write(Data + index.Id3v1.Offset, index.Id3v1.Size);
    out.finish();
    return clip;
}
