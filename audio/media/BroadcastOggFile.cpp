// The Ogg broadcast recording: the kept packets muxed again into pages, written and renamed.
#include "BroadcastOggFile.h"

#include "AuException.h"
#include "AuSafeFile.h"
#include "FFmpegUtil.h"

#include <unistd.h>

#include <random>

namespace {

// An output context with its file: the file closed, then the context freed.
struct OutputDeleter {
    void operator()(AVFormatContext *c) const
    {
        if (c->pb)
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
using FormatOutput = std::unique_ptr<AVFormatContext, OutputDeleter>;

std::uint32_t le32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void check(int Rc, const std::string &Doing)
{
    if (Rc < 0)
        throw EAuException("Could not save the recording (" + Doing + "): " + ff::ErrorText(Rc));
}

// Removes the hidden file unless it was put in place.
struct PartGuard {
    std::string Path;
    bool Placed = false;
    ~PartGuard()
    {
        if (!Placed)
            ::unlink(Path.c_str());
    }
};

} // namespace

TBroadcastSaved WriteOggBroadcastFile(const TBroadcastStream &Stream, const std::vector<std::uint8_t> &Framed,
                                      const TBroadcastTags &Tags, const std::string &Path)
{
    if (!IsOggFormat(Stream.Format) || Stream.Headers.empty() || Stream.SampleRate <= 0 || Stream.Channels <= 0)
        throw EAuException("The station's format cannot be saved as broadcast.");
    std::string why;
    if (!ReplaceableTarget(Path, why))
        throw EAuException(why);

    // The packets first: nothing is created for a recording without any.
    struct Record {
        std::size_t Offset;
        std::uint32_t Size, Samples;
    };
    std::vector<Record> records;
    TBroadcastSaved saved;
    std::size_t pos = 0;
    while (Framed.size() - pos >= OggPacketHeaderBytes) {
        const std::uint32_t size = le32(Framed.data() + pos);
        const std::uint32_t samples = le32(Framed.data() + pos + 4);
        if (size == 0 || size > Framed.size() - pos - OggPacketHeaderBytes)
            break;
        records.push_back({pos + OggPacketHeaderBytes, size, samples});
        pos += OggPacketHeaderBytes + size;
    }
    saved.DroppedBytes = Framed.size() - pos;
    if (records.empty())
        throw EAuException("The recording holds no audio.");

    const bool opus = Stream.Format == TBroadcastFormat::Opus;
    std::random_device rd;
    PartGuard part{HiddenPartName(Path, (static_cast<std::uint64_t>(rd()) << 32) ^ rd())};
    ff::QuietFFmpegLog();
    AVFormatContext *raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, opus ? "opus" : "ogg", part.Path.c_str()),
          "setting up the Ogg writer");
    FormatOutput out(raw);
    AVStream *st = avformat_new_stream(out.get(), nullptr);
    if (!st)
        throw EAuException("Could not save the recording: out of memory");
    AVCodecParameters *par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = opus ? AV_CODEC_ID_OPUS : AV_CODEC_ID_VORBIS;
    par->sample_rate = Stream.SampleRate;
    av_channel_layout_default(&par->ch_layout, Stream.Channels);
    par->extradata = static_cast<std::uint8_t *>(av_mallocz(Stream.Headers.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata)
        throw EAuException("Could not save the recording: out of memory");
    std::copy(Stream.Headers.begin(), Stream.Headers.end(), par->extradata);
    par->extradata_size = static_cast<int>(Stream.Headers.size());
    // Opus counts granules at 48 kHz whatever the input rate was.
    const AVRational base{1, opus ? 48000 : Stream.SampleRate};
    st->time_base = base;
    for (auto [key, value] : {std::pair{"title", &Tags.Title}, {"artist", &Tags.Artist}, {"album", &Tags.Album},
                              {"comment", &Tags.Comment}, {"date", &Tags.Date}})
        if (!value->empty())
            av_dict_set(&out->metadata, key, value->c_str(), 0);

    // O_EXCL through FFmpeg's file protocol is not offered; the hidden name is a fresh random one.
    check(avio_open(&out->pb, part.Path.c_str(), AVIO_FLAG_WRITE), "creating " + part.Path);
    check(avformat_write_header(out.get(), nullptr), "writing the Ogg headers");
    ff::Packet packet(av_packet_alloc());
    if (!packet)
        throw EAuException("Could not save the recording: out of memory");
    std::int64_t at = 0;
    for (const Record &r : records) {
        av_packet_unref(packet.get());
        check(av_new_packet(packet.get(), static_cast<int>(r.Size)), "copying a packet");
        std::copy(Framed.begin() + static_cast<long>(r.Offset), Framed.begin() + static_cast<long>(r.Offset + r.Size),
                  packet->data);
        packet->stream_index = 0;
        packet->pts = packet->dts = av_rescale_q(at, base, st->time_base);
        packet->duration = av_rescale_q(r.Samples, base, st->time_base);
        at += r.Samples;
        check(av_write_frame(out.get(), packet.get()), "writing a page");
        ++saved.Frames;
    }
    check(av_write_trailer(out.get()), "finishing the Ogg stream");
    check(avio_closep(&out->pb), "closing " + part.Path);
    if (!ReplaceByPart(part.Path, Path, why))
        throw EAuException("Could not put the recording in place as " + Path + ": " + why);
    part.Placed = true;
    saved.Samples = at;
    return saved;
}
