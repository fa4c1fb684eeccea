// The clip file: tags from the source, the cut stream, written and synced.
#include "Mp3ClipFile.h"

#include "AuException.h"

#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
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
    void finish()
    {
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

// The ID3v2 tag copied byte for byte now names the source's audio: set its length and drop the
// frames that locate things in the source's stream.
void fixTags(const std::string &path, std::int64_t ms)
{
    TagLib::MPEG::File file(path.c_str(), false);
    if (!file.isValid() || !file.hasID3v2Tag())
        return;
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
    if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate))
        throw EAuException("Cannot write the tags of \"" + path + "\".");
}

} // namespace

Mp3Clip WriteMp3ClipFile(const std::uint8_t *Data, std::size_t Size, std::int64_t Begin, std::int64_t End,
                         const std::string &Path)
{
    const Mp3FrameIndex index = IndexMp3(Data, Size);
    Mp3Clip clip = CutMp3(Data, Size, index, Begin, End);
    {
        TClipFd out(Path);
        out.write(Data + index.Id3v2.Offset, index.Id3v2.Size);
        out.write(clip.Audio.data(), clip.Audio.size());
        out.write(Data + index.Id3v1.Offset, index.Id3v1.Size);
        out.finish();
    }
    if (index.Id3v2.Size > 0)
        fixTags(Path, clip.Samples * 1000 / index.SampleRate);
    // On disk before the caller renames it over the chosen file.
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        throw EAuException("Cannot write \"" + Path + "\": " + std::strerror(err));
    return clip;
}
