// The broadcast savers' shared pieces: output context, hidden file, tags, error text.
#include "BroadcastMux.h"

#include "AuException.h"
#include "AuSafeFile.h"

#include <unistd.h>

#include <random>

namespace bmux {

void OutputDeleter::operator()(AVFormatContext *c) const
{
    if (c->pb)
        avio_closep(&c->pb);
    avformat_free_context(c);
}

void Check(int Rc, const std::string &Doing)
{
    if (Rc < 0)
        throw EAuException("Could not save the recording (" + Doing + "): " + ff::ErrorText(Rc));
}

TPartFile::TPartFile(const std::string &Target) : FTarget(Target)
{
    std::random_device rd;
    FPath = HiddenPartName(Target, (static_cast<std::uint64_t>(rd()) << 32) ^ rd());
}

TPartFile::~TPartFile()
{
    if (!FPlaced)
        ::unlink(FPath.c_str());
}

void TPartFile::Place()
{
    std::string why;
    if (!ReplaceByPart(FPath, FTarget, why))
        throw EAuException("Could not put the recording in place as " + FTarget + ": " + why);
    FPlaced = true;
}

FormatOutput OpenOutput(const char *Format, const TPartFile &Part, const std::string &What)
{
    ff::QuietFFmpegLog();
    AVFormatContext *raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, Format, Part.Path().c_str()), "setting up the " + What + " writer");
    FormatOutput out(raw);
    // O_EXCL through FFmpeg's file protocol is not offered; the hidden name is a fresh random one.
    Check(avio_open(&out->pb, Part.Path().c_str(), AVIO_FLAG_WRITE), "creating " + Part.Path());
    return out;
}

void SetTags(AVDictionary **Metadata, const TBroadcastTags &Tags)
{
    std::string comment = Tags.Comment;
    if (Tags.Partial)
        comment = comment.empty() ? "(partial song)" : comment + " (partial song)";
    for (auto [key, value] : {std::pair{"title", &Tags.Title}, {"artist", &Tags.Artist}, {"album", &Tags.Album},
                              {"comment", &comment}, {"date", &Tags.Date}})
        if (!value->empty())
            av_dict_set(Metadata, key, value->c_str(), 0);
}

} // namespace bmux
