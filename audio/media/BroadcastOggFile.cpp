// The Ogg broadcast recording: the kept packets muxed again into pages, written and renamed.
#include "BroadcastOggFile.h"

#include "AuException.h"
#include "AuSafeFile.h"
#include "BroadcastMux.h"

namespace {

std::uint32_t le32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The packets of Framed whose start lies in [Begin, End) (End < 0: to the end), written to Path.
TBroadcastSaved writeOgg(const TBroadcastStream &Stream, const std::vector<std::uint8_t> &Framed, std::int64_t Begin,
                         std::int64_t End, const TBroadcastTags &Tags, const std::string &Path)
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
    std::int64_t start = 0; // of the packet at pos, in the durations' samples
    bool any = false;
    while (Framed.size() - pos >= OggPacketHeaderBytes) {
        const std::uint32_t size = le32(Framed.data() + pos);
        const std::uint32_t samples = le32(Framed.data() + pos + 4);
        if (size == 0 || size > Framed.size() - pos - OggPacketHeaderBytes)
            break;
        any = true;
        if (start >= Begin && (End < 0 || start < End))
            records.push_back({pos + OggPacketHeaderBytes, size, samples});
        start += samples;
        pos += OggPacketHeaderBytes + size;
    }
    saved.DroppedBytes = Framed.size() - pos;
    if (records.empty())
        throw EAuException(any ? "The stretch of the recording to save holds no audio." : "The recording holds no audio.");

    const bool opus = Stream.Format == TBroadcastFormat::Opus;
    bmux::TPartFile part(Path);
    bmux::FormatOutput out = bmux::OpenOutput(opus ? "opus" : "ogg", part, "Ogg");
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
    bmux::SetTags(&out->metadata, Tags);

    bmux::Check(avformat_write_header(out.get(), nullptr), "writing the Ogg headers");
    ff::Packet packet(av_packet_alloc());
    if (!packet)
        throw EAuException("Could not save the recording: out of memory");
    std::int64_t at = 0;
    for (const Record &r : records) {
        av_packet_unref(packet.get());
        bmux::Check(av_new_packet(packet.get(), static_cast<int>(r.Size)), "copying a packet");
        std::copy(Framed.begin() + static_cast<long>(r.Offset), Framed.begin() + static_cast<long>(r.Offset + r.Size),
                  packet->data);
        packet->stream_index = 0;
        packet->pts = packet->dts = av_rescale_q(at, base, st->time_base);
        packet->duration = av_rescale_q(r.Samples, base, st->time_base);
        at += r.Samples;
        bmux::Check(av_write_frame(out.get(), packet.get()), "writing a page");
        ++saved.Frames;
    }
    bmux::Check(av_write_trailer(out.get()), "finishing the Ogg stream");
    bmux::Check(avio_closep(&out->pb), "closing " + part.Path());
    part.Place();
    saved.Samples = at;
    return saved;
}

} // namespace

TBroadcastSaved WriteOggBroadcastFile(const TBroadcastStream &Stream, const std::vector<std::uint8_t> &Framed,
                                      const TBroadcastTags &Tags, const std::string &Path)
{
    return writeOgg(Stream, Framed, 0, -1, Tags, Path);
}

TBroadcastSaved WriteOggBroadcastRange(const TBroadcastStream &Stream, const std::vector<std::uint8_t> &Framed,
                                       std::int64_t Begin, std::int64_t End, const TBroadcastTags &Tags,
                                       const std::string &Path)
{
    if (End < 0 || Begin >= End)
        throw EAuException("The stretch of the recording to save holds no audio.");
    return writeOgg(Stream, Framed, Begin, End, Tags, Path);
}
