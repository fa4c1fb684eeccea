// The broadcast recording's file: tag, (Info frame,) the station's frames; written and renamed.
#include "BroadcastFile.h"

#include "AuException.h"
#include "AuSafeFile.h"
#include "Mp3Cutter.h"
#include "Mp3Frames.h"

#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace {

std::string trimmed(const std::string &s)
{
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

TagLib::String utf8(const std::string &s)
{
    return TagLib::String(s, TagLib::String::UTF8);
}

void setText(TagLib::ID3v2::Tag &Tag, const char *Id, const std::string &Value)
{
    if (Value.empty())
        return;
    auto *frame = new TagLib::ID3v2::TextIdentificationFrame(TagLib::ByteVector(Id), TagLib::String::UTF8);
    frame->setText(utf8(Value));
    Tag.addFrame(frame); // the tag owns its frames
}

TagLib::ByteVector renderTag(const TBroadcastTags &Tags)
{
    TagLib::ID3v2::Tag tag;
    setText(tag, "TIT2", Tags.Title);
    setText(tag, "TPE1", Tags.Artist);
    setText(tag, "TALB", Tags.Album);
    setText(tag, "TDRC", Tags.Date);
    if (!Tags.Comment.empty()) {
        auto *comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
        comment->setLanguage("eng");
        comment->setText(utf8(Tags.Comment));
        tag.addFrame(comment);
    }
    return tag.render();
}

// Owns the descriptor of the hidden file and removes the file unless it was put in place.
class TPartFile {
public:
    TPartFile(const std::string &Target) : FTarget(Target)
    {
        std::random_device rd;
        const std::uint64_t tag = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
        FPath = HiddenPartName(Target, tag);
        FFd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (FFd < 0)
            fail("create");
    }
    ~TPartFile()
    {
        if (FFd >= 0)
            ::close(FFd);
        if (!FPlaced)
            ::unlink(FPath.c_str());
    }
    TPartFile(const TPartFile &) = delete;
    TPartFile &operator=(const TPartFile &) = delete;

    void write(const std::uint8_t *P, std::size_t N)
    {
        while (N > 0) {
            const ssize_t w = ::write(FFd, P, N);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                fail("write");
            P += w;
            N -= static_cast<std::size_t>(w);
        }
    }
    void place()
    {
        const int fd = FFd;
        FFd = -1;
        if (::close(fd) != 0)
            fail("write");
        std::string error;
        if (!ReplaceByPart(FPath, FTarget, error))
            throw EAuException("Could not put the recording in place as " + FTarget + ": " + error);
        FPlaced = true;
    }

private:
    [[noreturn]] void fail(const char *What)
    {
        throw EAuException(std::string("Could not ") + What + " " + FPath + ": " + std::strerror(errno));
    }
    std::string FTarget, FPath;
    int FFd = -1;
    bool FPlaced = false;
};

} // namespace

void SplitStreamTitle(const std::string &StreamTitle, std::string &Artist, std::string &Title)
{
    const auto dash = StreamTitle.find(" - ");
    if (dash == std::string::npos) {
        Artist.clear();
        Title = trimmed(StreamTitle);
        return;
    }
    Artist = trimmed(StreamTitle.substr(0, dash));
    Title = trimmed(StreamTitle.substr(dash + 3));
}

std::vector<std::uint8_t> WholeAdtsFrames(const std::uint8_t *Data, std::size_t Size, std::size_t &Frames,
                                          std::size_t &Dropped)
{
    std::vector<std::uint8_t> out;
    out.reserve(Size);
    Frames = 0;
    Dropped = 0;
    std::size_t pos = 0;
    while (pos < Size) {
        // Header: 12 bits of sync, layer 0, then the 13-bit frame length over bytes 3 to 5.
        const bool header = Size - pos >= 7 && Data[pos] == 0xFF && (Data[pos + 1] & 0xF6) == 0xF0;
        std::size_t length = 0;
        if (header)
            length = (static_cast<std::size_t>(Data[pos + 3] & 0x03) << 11) |
                     (static_cast<std::size_t>(Data[pos + 4]) << 3) | (Data[pos + 5] >> 5);
        const std::size_t headerBytes = header && (Data[pos + 1] & 0x01) == 0 ? 9 : 7; // with CRC: 9
        if (!header || length < headerBytes) {
            ++Dropped;
            ++pos;
            continue;
        }
        if (length > Size - pos) {
            Dropped += Size - pos; // the last frame was cut short
            break;
        }
        out.insert(out.end(), Data + pos, Data + pos + length);
        ++Frames;
        pos += length;
    }
    return out;
}

TBroadcastSaved WriteBroadcastFile(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                   const TBroadcastTags &Tags, const std::string &Path)
{
    std::string why;
    if (!ReplaceableTarget(Path, why))
        throw EAuException(why);
    TBroadcastSaved saved;
    std::vector<std::uint8_t> audio;
    switch (Format) {
    case TBroadcastFormat::Mp3: {
        const Mp3FrameIndex index = IndexMp3(Stream.data(), Stream.size());
        if (index.Frames.empty() || index.TotalSamples() <= 0)
            throw EAuException("The recording holds no MP3 audio.");
        // The whole recording: the cutter keeps every frame as it is and puts the Info frame
        // with the exact length in front.
        Mp3Clip clip = CutMp3(Stream.data(), Stream.size(), index, 0, index.TotalSamples());
        saved.Frames = static_cast<std::size_t>(clip.AudioFrames);
        saved.SilentFirst = clip.ReservoirFrame;
        saved.DroppedBytes = index.SkippedBytes;
        saved.Samples = clip.Samples;
        audio = std::move(clip.Audio);
        break;
    }
    case TBroadcastFormat::Aac:
        audio = WholeAdtsFrames(Stream.data(), Stream.size(), saved.Frames, saved.DroppedBytes);
        if (saved.Frames == 0)
            throw EAuException("The recording holds no AAC audio.");
        break;
    case TBroadcastFormat::Vorbis:
    case TBroadcastFormat::Opus: // pages are the media layer's work (WriteOggBroadcastFile)
    case TBroadcastFormat::None:
        throw EAuException("The station's format cannot be saved as broadcast.");
    }
    const TagLib::ByteVector tag = renderTag(Tags);
    TPartFile part(Path);
    part.write(reinterpret_cast<const std::uint8_t *>(tag.data()), tag.size());
    part.write(audio.data(), audio.size());
    part.place();
    return saved;
}
