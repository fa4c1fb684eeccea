// The broadcast recording's file: tag, (Info frame,) the station's frames; written and renamed.
#include "BroadcastFile.h"

#include "AuAdts.h"
#include "AuException.h"
#include "AuSafeFile.h"
#include "Mp3Cutter.h"
#include "Mp3Frames.h"

#include <taglib/chapterframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
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
    // A partial song is said in the comment too, for players that show nothing else.
    std::string comment = Tags.Comment;
    if (Tags.Partial)
        comment = comment.empty() ? "(partial song)" : comment + " (partial song)";
    if (!comment.empty()) {
        auto *frame = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
        frame->setLanguage("eng");
        frame->setText(utf8(comment));
        tag.addFrame(frame);
    }
    if (Tags.Partial)
        tag.addFrame(new TagLib::ID3v2::UserTextIdentificationFrame("PARTIAL", TagLib::StringList("yes")));
    if (!Tags.Chapters.empty()) {
        auto *toc = new TagLib::ID3v2::TableOfContentsFrame("toc");
        toc->setIsTopLevel(true);
        toc->setIsOrdered(true);
        for (std::size_t k = 0; k < Tags.Chapters.size(); ++k) {
            const TBroadcastChapter &c = Tags.Chapters[k];
            const TagLib::ByteVector id(("chp" + std::to_string(k)).c_str());
            TagLib::ID3v2::FrameList title;
            if (!c.Title.empty()) {
                auto *t = new TagLib::ID3v2::TextIdentificationFrame("TIT2", TagLib::String::UTF8);
                t->setText(utf8(c.Title));
                title.append(t); // the chapter frame takes it over
            }
            // No byte offsets: players go by the times.
            tag.addFrame(new TagLib::ID3v2::ChapterFrame(id, c.StartMs, c.EndMs, 0xFFFFFFFFu, 0xFFFFFFFFu, title));
            toc->addChildElement(id);
        }
        tag.addFrame(toc);
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
    const std::vector<TAdtsFrame> frames = ScanAdtsFrames(Data, Size, Dropped);
    std::vector<std::uint8_t> out;
    out.reserve(Size - Dropped);
    for (const TAdtsFrame &f : frames)
        out.insert(out.end(), Data + f.Offset, Data + f.Offset + f.Size);
    Frames = frames.size();
    return out;
}

TBroadcastFrames IndexBroadcastFrames(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream)
{
    TBroadcastFrames index;
    if (Format == TBroadcastFormat::Mp3) {
        Mp3FrameIndex mp3;
        try {
            mp3 = IndexMp3(Stream.data(), Stream.size());
        } catch (const EAuException &) {
            return index; // no Layer III stream: no frames
        }
        index.Offsets.reserve(mp3.Frames.size());
        for (const Mp3Frame &f : mp3.Frames)
            index.Offsets.push_back(f.Offset);
        index.SamplesPerFrame = mp3.SamplesPerFrame;
        index.SampleRate = mp3.SampleRate;
    } else if (Format == TBroadcastFormat::Aac) {
        std::size_t dropped = 0;
        const std::vector<TAdtsFrame> frames = ScanAdtsFrames(Stream.data(), Stream.size(), dropped);
        index.Offsets.reserve(frames.size());
        for (const TAdtsFrame &f : frames)
            index.Offsets.push_back(f.Offset);
        if (!frames.empty()) {
            index.SamplesPerFrame = AacFrameSamples;
            index.SampleRate = AdtsConfigOf(Stream.data() + frames.front().Offset).SampleRate;
        }
    }
    return index;
}

namespace {

// The stretch [Begin, End) of Stream (End < 0: to the end) as the bytes after the tag.
std::vector<std::uint8_t> stretchAudio(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                       std::int64_t Begin, std::int64_t End, TBroadcastSaved &Saved)
{
    std::vector<std::uint8_t> audio;
    switch (Format) {
    case TBroadcastFormat::Mp3: {
        const Mp3FrameIndex index = IndexMp3(Stream.data(), Stream.size());
        if (index.Frames.empty() || index.TotalSamples() <= 0)
            throw EAuException("The recording holds no MP3 audio.");
        // Positions count from the first frame's first sample; the cutter counts what a gapless
        // decoder plays, which differs only for a stream that starts with an Info frame.
        const std::int64_t total = index.TotalSamples();
        const std::int64_t b = std::clamp<std::int64_t>(Begin - index.StartSkip(), 0, total);
        const std::int64_t e = End < 0 ? total : std::clamp<std::int64_t>(End - index.StartSkip(), 0, total);
        if (b >= e)
            throw EAuException("The stretch of the recording to save holds no audio.");
        Mp3Clip clip = CutMp3(Stream.data(), Stream.size(), index, b, e);
        Saved.Frames = static_cast<std::size_t>(clip.AudioFrames);
        Saved.SilentFirst = clip.ReservoirFrame;
        Saved.DroppedBytes = index.SkippedBytes;
        Saved.Samples = clip.Samples;
        audio = std::move(clip.Audio);
        break;
    }
    case TBroadcastFormat::Aac: {
        const std::vector<TAdtsFrame> frames = ScanAdtsFrames(Stream.data(), Stream.size(), Saved.DroppedBytes);
        if (frames.empty())
            throw EAuException("The recording holds no AAC audio.");
        const auto frameAt = [&](std::int64_t Sample) {
            const std::int64_t k = (std::max<std::int64_t>(Sample, 0) + AacFrameSamples / 2) / AacFrameSamples;
            return static_cast<std::size_t>(std::min<std::int64_t>(k, static_cast<std::int64_t>(frames.size())));
        };
        const std::size_t first = frameAt(Begin), last = End < 0 ? frames.size() : frameAt(End);
        if (first >= last)
            throw EAuException("The stretch of the recording to save holds no audio.");
        for (std::size_t k = first; k < last; ++k)
            audio.insert(audio.end(), Stream.data() + frames[k].Offset,
                         Stream.data() + frames[k].Offset + frames[k].Size);
        Saved.Frames = last - first;
        break;
    }
    case TBroadcastFormat::Vorbis:
    case TBroadcastFormat::Opus: // pages are the media layer's work (WriteOggBroadcastFile)
    case TBroadcastFormat::None:
        throw EAuException("The station's format cannot be saved as broadcast.");
    }
    return audio;
}

TBroadcastSaved writeStretch(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream, std::int64_t Begin,
                             std::int64_t End, const TBroadcastTags &Tags, const std::string &Path)
{
    std::string why;
    if (!ReplaceableTarget(Path, why))
        throw EAuException(why);
    TBroadcastSaved saved;
    const std::vector<std::uint8_t> audio = stretchAudio(Format, Stream, Begin, End, saved);
    const TagLib::ByteVector tag = renderTag(Tags);
    TPartFile part(Path);
    part.write(reinterpret_cast<const std::uint8_t *>(tag.data()), tag.size());
    part.write(audio.data(), audio.size());
    part.place();
    return saved;
}

} // namespace

TBroadcastSaved WriteBroadcastFile(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                   const TBroadcastTags &Tags, const std::string &Path)
{
    return writeStretch(Format, Stream, 0, -1, Tags, Path);
}

TBroadcastSaved WriteBroadcastRange(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                    std::int64_t Begin, std::int64_t End, const TBroadcastTags &Tags,
                                    const std::string &Path)
{
    if (End < 0 || Begin >= End)
        throw EAuException("The stretch of the recording to save holds no audio.");
    return writeStretch(Format, Stream, Begin, End, Tags, Path);
}
