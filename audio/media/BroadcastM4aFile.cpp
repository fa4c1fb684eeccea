// The AAC broadcast recording as .m4a: ADTS headers stripped, the raw frames muxed by FFmpeg
// with their AudioSpecificConfig, tags and chapters, written and renamed.
#include "BroadcastM4aFile.h"

#include "AuAdts.h"
#include "AuException.h"
#include "AuSafeFile.h"
#include "BroadcastMux.h"

#include <algorithm>
#include <cstring>

namespace {

// The frame whose start lies nearest to Sample, at most Frames.
std::size_t frameNearest(std::int64_t Sample, std::size_t Frames)
{
    const std::int64_t k = (std::max<std::int64_t>(Sample, 0) + AacFrameSamples / 2) / AacFrameSamples;
    return static_cast<std::size_t>(std::min<std::int64_t>(k, static_cast<std::int64_t>(Frames)));
}

// Tags.Chapters as the container's chapter list (the context owns what is added).
void addChapters(AVFormatContext *Out, const std::vector<TBroadcastChapter> &Chapters)
{
    if (Chapters.empty())
        return;
    Out->chapters = static_cast<AVChapter **>(av_calloc(Chapters.size(), sizeof(AVChapter *)));
    if (!Out->chapters)
        throw EAuException("Could not save the recording: out of memory");
    for (const TBroadcastChapter &c : Chapters) {
        auto *chapter = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
        if (!chapter)
            throw EAuException("Could not save the recording: out of memory");
        Out->chapters[Out->nb_chapters] = chapter;
        chapter->id = Out->nb_chapters++;
        chapter->time_base = AVRational{1, 1000};
        chapter->start = c.StartMs;
        chapter->end = std::max(c.EndMs, c.StartMs);
        if (!c.Title.empty())
            av_dict_set(&chapter->metadata, "title", c.Title.c_str(), 0);
    }
}

} // namespace

TBroadcastSaved WriteM4aBroadcastFile(const std::vector<std::uint8_t> &Stream, std::int64_t Begin, std::int64_t End,
                                      const TBroadcastTags &Tags, const std::string &Path)
{
    std::string why;
    if (!ReplaceableTarget(Path, why))
        throw EAuException(why);
    TBroadcastSaved saved;
    const std::vector<TAdtsFrame> frames = ScanAdtsFrames(Stream.data(), Stream.size(), saved.DroppedBytes);
    const std::size_t first = frameNearest(Begin, frames.size());
    const std::size_t last = End < 0 ? frames.size() : frameNearest(End, frames.size());
    if (first >= last)
        throw EAuException(frames.empty() ? "The recording holds no AAC audio."
                                          : "The stretch of the recording to save holds no audio.");
    // The file's one AudioSpecificConfig is the first frame's; frames of several raw blocks or
    // with the channels given in the stream have no place in it.
    const TAdtsConfig config = AdtsConfigOf(Stream.data() + frames[first].Offset);
    if (config.SampleRate == 0 || config.Channels == 0 || config.RawBlocks != 1)
        throw EAuException("The station's AAC stream cannot be saved as .m4a; save it as .aac instead.");
    for (std::size_t k = first + 1; k < last; ++k) {
        const TAdtsConfig other = AdtsConfigOf(Stream.data() + frames[k].Offset);
        if (other.ObjectType != config.ObjectType || other.RateIndex != config.RateIndex ||
            other.Channels != config.Channels || other.RawBlocks != 1)
            throw EAuException("The station changed its AAC format during the recording, which one .m4a file "
                               "cannot hold; save it as .aac instead.");
    }
    const std::vector<std::uint8_t> asc = AudioSpecificConfig(config);

    bmux::TPartFile part(Path);
    bmux::FormatOutput out = bmux::OpenOutput("ipod", part, "MPEG-4");
    AVStream *st = avformat_new_stream(out.get(), nullptr);
    if (!st)
        throw EAuException("Could not save the recording: out of memory");
    AVCodecParameters *par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_AAC;
    par->sample_rate = config.SampleRate;
    par->frame_size = AacFrameSamples;
    av_channel_layout_default(&par->ch_layout, config.Channels);
    par->extradata = static_cast<std::uint8_t *>(av_mallocz(asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata)
        throw EAuException("Could not save the recording: out of memory");
    std::copy(asc.begin(), asc.end(), par->extradata);
    par->extradata_size = static_cast<int>(asc.size());
    const AVRational base{1, config.SampleRate};
    st->time_base = base;
    bmux::SetTags(&out->metadata, Tags);
    addChapters(out.get(), Tags.Chapters);

    bmux::Check(avformat_write_header(out.get(), nullptr), "writing the MPEG-4 headers");
    ff::Packet packet(av_packet_alloc());
    if (!packet)
        throw EAuException("Could not save the recording: out of memory");
    for (std::size_t k = first; k < last; ++k) {
        const TAdtsFrame &f = frames[k];
        const std::size_t bytes = f.Size - static_cast<std::size_t>(f.HeaderBytes);
        av_packet_unref(packet.get());
        bmux::Check(av_new_packet(packet.get(), static_cast<int>(bytes)), "copying a frame");
        std::memcpy(packet->data, Stream.data() + f.Offset + f.HeaderBytes, bytes);
        packet->stream_index = 0;
        // Counted in frames from the first kept one; the muxer may have changed the time base.
        packet->pts = packet->dts =
            av_rescale_q(static_cast<std::int64_t>(k - first) * AacFrameSamples, base, st->time_base);
        packet->duration = av_rescale_q(AacFrameSamples, base, st->time_base);
        packet->flags |= AV_PKT_FLAG_KEY;
        bmux::Check(av_write_frame(out.get(), packet.get()), "writing a frame");
    }
    bmux::Check(av_write_trailer(out.get()), "finishing the MPEG-4 file");
    bmux::Check(avio_closep(&out->pb), "closing " + part.Path());
    part.Place();
    saved.Frames = last - first;
    saved.Samples = static_cast<std::int64_t>(saved.Frames) * AacFrameSamples;
    return saved;
}
