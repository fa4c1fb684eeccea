#include "MediaFileReader.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// The stream adapter.

std::int32_t TAudioStream::Read(void *pv, std::uint32_t cb, std::uint32_t *pcbRead)
{
    std::int64_t n = 0;
    try {
        n = FStream ? FStream->Read(pv, cb) : 0;
    } catch (const std::exception &) {
        n = 0;
    }
    if (n < 0)
        n = 0;
    if (pcbRead)
        *pcbRead = static_cast<std::uint32_t>(n);
    return n > 0 ? 0 : -1;
}

std::int32_t TAudioStream::Write(const void *pv, std::uint32_t cb, std::uint32_t *pcbWritten)
{
    std::int64_t n = 0;
    try {
        n = FStream ? FStream->Write(pv, cb) : 0;
    } catch (const std::exception &) {
        n = 0;
    }
    if (n < 0)
        n = 0;
    if (pcbWritten)
        *pcbWritten = static_cast<std::uint32_t>(n);
    return n > 0 ? 0 : -1;
}

std::int32_t TAudioStream::Seek(std::int64_t dlibMove, std::uint32_t dwOrigin, std::uint64_t *libNewPosition)
{
    if (!FStream || dwOrigin > 2)
        return -1;
    const std::int64_t offset = dwOrigin == 0 ? dlibMove + FBase : dlibMove;
    std::int64_t pos = -1;
    try {
        pos = FStream->Seek(offset, static_cast<TSeekOrigin>(dwOrigin));
    } catch (const std::exception &) {
        return -1;
    }
    if (pos < FBase)
        return -1;
    if (libNewPosition)
        *libNewPosition = static_cast<std::uint64_t>(pos - FBase);
    return 0;
}

std::int32_t TAudioStream::SetSize(std::uint64_t libNewSize)
{
    return Seek(static_cast<std::int64_t>(libNewSize), 0, nullptr) == 0 ? 0 : -1;
}

std::int32_t TAudioStream::Stat(TStatStg &statstg, std::uint32_t)
{
    if (!FStream)
        return -1;
    std::int64_t size = 0;
    try {
        size = FStream->Size();
    } catch (const std::exception &) {
        return -1;
    }
    statstg.cbSize = static_cast<std::uint64_t>(std::max<std::int64_t>(0, size - FBase));
    statstg.grfLocksSupported = 0;
    return 0;
}

namespace {

const char *MetaValue(const AVDictionary *a, const AVDictionary *b, std::initializer_list<const char *> keys)
{
    for (const char *k : keys) {
        if (const AVDictionaryEntry *e = av_dict_get(a, k, nullptr, 0))
            return e->value;
        if (const AVDictionaryEntry *e = av_dict_get(b, k, nullptr, 0))
            return e->value;
    }
    return nullptr;
}

// An MP3 file's first frame says whether it is VBR ("Xing", "VBRI") or CBR ("Info"); -1 when
// the bytes do not tell.
int ScanMp3VbrTag(TAudioStream &Stream)
{
    std::uint64_t saved = 0;
    if (Stream.Seek(0, 1, &saved) != 0)
        return -1;
    auto readAt = [&Stream](std::uint64_t Offset, std::size_t Count) {
        std::vector<std::uint8_t> bytes(Count);
        std::uint32_t got = 0, total = 0;
        if (Stream.Seek(static_cast<std::int64_t>(Offset), 0, nullptr) == 0)
            while (total < bytes.size() &&
                   Stream.Read(bytes.data() + total, static_cast<std::uint32_t>(bytes.size() - total), &got) == 0)
                total += got;
        bytes.resize(total);
        return bytes;
    };
    // An ID3v2 tag may be large (cover pictures): the first frame is looked for behind it.
    std::uint64_t start = 0;
    const auto id3 = readAt(0, 10);
    if (id3.size() == 10 && std::memcmp(id3.data(), "ID3", 3) == 0) {
        const std::uint64_t size = (std::uint64_t(id3[6] & 0x7F) << 21) | (std::uint64_t(id3[7] & 0x7F) << 14) |
                                   (std::uint64_t(id3[8] & 0x7F) << 7) | std::uint64_t(id3[9] & 0x7F);
        start = 10 + size + ((id3[5] & 0x10) ? 10 : 0);
    }
    const auto head = readAt(start, 8192);
    Stream.Seek(static_cast<std::int64_t>(saved), 0, nullptr);
    // The tag sits within the first frame, at most ~40 bytes after its header.
    for (std::size_t i = 0; i + 4 < head.size() && i < 4096; ++i) {
        if (head[i] == 0xFF && (head[i + 1] & 0xE0) == 0xE0) {
            for (std::size_t j = i + 4; j + 4 <= head.size() && j < i + 48; ++j) {
                if (std::memcmp(&head[j], "Xing", 4) == 0 || std::memcmp(&head[j], "VBRI", 4) == 0)
                    return 1;
                if (std::memcmp(&head[j], "Info", 4) == 0)
                    return 0;
            }
            return 0; // a frame without a tag: constant bit rate
        }
    }
    return -1;
}

} // namespace

// ---------------------------------------------------------------------------------------------

// The reader's own I/O: every byte comes from the program's stream, so no URL is ever opened.
// While opening, a read or seek past the deadline gives up (AVERROR_EXIT), so a stream that
// delivers slowly cannot hold the caller for long.
int TMediaFileReader::ReadPacket(void *Opaque, std::uint8_t *Buf, int Size)
{
    auto *self = static_cast<TMediaFileReader *>(Opaque);
    if (self->PastDeadline())
        return AVERROR_EXIT;
    std::uint32_t n = 0;
    if (self->FStream->Read(Buf, static_cast<std::uint32_t>(Size), &n) != 0 || n == 0)
        return AVERROR_EOF;
    return static_cast<int>(n);
}

std::int64_t TMediaFileReader::SeekPacket(void *Opaque, std::int64_t Offset, int Whence)
{
    auto *self = static_cast<TMediaFileReader *>(Opaque);
    TAudioStream *s = self->FStream;
    if (Whence & AVSEEK_SIZE) {
        TStatStg st;
        return s->Stat(st, 0) == 0 ? static_cast<std::int64_t>(st.cbSize) : -1;
    }
    if (self->PastDeadline())
        return AVERROR_EXIT;
    Whence &= ~AVSEEK_FORCE;
    std::uint32_t origin = Whence == SEEK_SET ? 0 : Whence == SEEK_CUR ? 1 : Whence == SEEK_END ? 2 : 3;
    std::uint64_t pos = 0;
    if (s->Seek(Offset, origin, &pos) != 0)
        return -1;
    return static_cast<std::int64_t>(pos);
}

int TMediaFileReader::Interrupted(void *Opaque) { return static_cast<TMediaFileReader *>(Opaque)->PastDeadline() ? 1 : 0; }

// A demuxer that reads further files or addresses named inside the data (playlists, manifests,
// concatenation scripts) opens them through this: a local file never does, so every request is
// refused.
int TMediaFileReader::RefuseNestedOpen(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
    return AVERROR(EPERM);
}

bool TMediaFileReader::PastDeadline() const { return FDeadlineArmed && FClock() >= FDeadline; }

void TMediaFileReader::SetOpenBound(std::chrono::milliseconds Bound, TClock Clock)
{
    FOpenBound = Bound;
    FClock = Clock ? std::move(Clock) : TClock([] { return std::chrono::steady_clock::now(); });
}

TMediaFileReader::TMediaFileReader()
    : FClock([] { return std::chrono::steady_clock::now(); })
{
    ff::QuietFFmpegLog();
}

TMediaFileReader::~TMediaFileReader() { Close(); }

std::int32_t TMediaFileReader::Fail(const std::string &Doing, std::int32_t Code)
{
    FLastError = ff::Describe(Doing, Code);
    return Code;
}

std::int32_t TMediaFileReader::OpenStream(TAudioStream &Stream, const std::string &Formats)
{
    Close();
    FLastError.clear();
    FStream = &Stream;
    // Only the named demuxers may read the data. FFmpeg still probes which one the data suits
    // (so noise or a picture is not taken for audio) and refuses a file that suits another one:
    // left to all of them, it would take a file for whatever it looks like (a playlist, a
    // manifest) whatever its name says.
    if (Formats.empty())
        return Fail("opening the media stream (no file format allowed)", AVERROR(EINVAL));
    if (Stream.Seek(0, 0, nullptr) != 0)
        return Fail("opening the media stream", AVERROR(EIO));
    constexpr int bufferSize = 32 * 1024;
    auto *buffer = static_cast<std::uint8_t *>(av_malloc(bufferSize));
    if (!buffer)
        return Fail("opening the media stream", AVERROR(ENOMEM));
    AVIOContext *io = avio_alloc_context(buffer, bufferSize, 0, this, ReadPacket, nullptr, SeekPacket);
    if (!io) {
        av_free(buffer);
        return Fail("opening the media stream", AVERROR(ENOMEM));
    }
    FIO.reset(io);
    AVFormatContext *ctx = avformat_alloc_context();
    if (!ctx)
        return Fail("opening the media stream", AVERROR(ENOMEM));
    ctx->pb = io;
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    ctx->io_open = RefuseNestedOpen;
    ctx->interrupt_callback.callback = Interrupted;
    ctx->interrupt_callback.opaque = this;
    FDeadline = FClock() + FOpenBound;
    FDeadlineArmed = true;
    // Options as well as fields: nested contexts take their whitelists from the options.
    ff::Dict options;
    options.Set("protocol_whitelist", "file");
    options.Set("format_whitelist", Formats);
    // A failure once the bound has passed is the bound's doing, whatever FFmpeg made of the
    // refused reads.
    int rc = avformat_open_input(&ctx, "", nullptr, &options.ptr); // frees ctx on failure
    if (rc < 0) {
        const bool late = PastDeadline();
        FDeadlineArmed = false;
        FIO.reset();
        if (late)
            return Fail("reading the media header (it took too long)", AVERROR_EXIT);
        return Fail("reading the media header", rc);
    }
    FFormat.reset(ctx);
    rc = avformat_find_stream_info(ctx, nullptr);
    const bool late = PastDeadline();
    FDeadlineArmed = false;
    if (rc < 0 || late) {
        Close();
        if (late)
            return Fail("reading the stream information (it took too long)", AVERROR_EXIT);
        return Fail("reading the stream information", rc);
    }
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream *st = ctx->streams[i];
        const AVCodecParameters *par = st->codecpar;
        TOutput out;
        out.StreamIndex = static_cast<int>(i);
        out.Audio = par->codec_type == AVMEDIA_TYPE_AUDIO && par->ch_layout.nb_channels > 0 &&
                    par->sample_rate > 0 && par->codec_id != AV_CODEC_ID_NONE;
        if (out.Audio) {
            out.Channels = static_cast<unsigned>(par->ch_layout.nb_channels);
            out.SampleRate = static_cast<unsigned>(par->sample_rate);
            out.RawBits = static_cast<unsigned>(par->bits_per_raw_sample);
            out.Current = FormatsOf(out).front();
        }
        FOutputs.push_back(out);
    }
    FillHeader(Stream);
    return 0;
}

void TMediaFileReader::FillHeader(TAudioStream &Stream)
{
    FHeader.Clear();
    AVFormatContext *ctx = FFormat.get();
    if (ctx->duration > 0 && ctx->duration != AV_NOPTS_VALUE)
        FHeader.SetQword("Duration", static_cast<std::uint64_t>(ctx->duration) * 10);
    std::int64_t bitrate = ctx->bit_rate;
    const AVDictionary *streamMeta = nullptr;
    const AVCodecParameters *audio = nullptr;
    for (const TOutput &o : FOutputs)
        if (o.Audio) {
            audio = ctx->streams[o.StreamIndex]->codecpar;
            streamMeta = ctx->streams[o.StreamIndex]->metadata;
            break;
        }
    if (audio && audio->bit_rate > 0)
        bitrate = audio->bit_rate;
    if (bitrate > 0)
        FHeader.SetDword("Bitrate", static_cast<std::uint32_t>(std::min<std::int64_t>(bitrate, UINT32_MAX)));
    if (audio && audio->codec_id == AV_CODEC_ID_MP3) {
        int vbr = ScanMp3VbrTag(Stream);
        if (vbr >= 0)
            FHeader.SetBool("IsVBR", vbr == 1);
    } else if (audio) {
        FHeader.SetBool("IsVBR", audio->codec_id == AV_CODEC_ID_VORBIS || audio->codec_id == AV_CODEC_ID_OPUS);
    }
    struct {
        const char *Name;
        std::initializer_list<const char *> Keys;
    } const texts[] = {
        {"Title", {"title"}},
        {"Author", {"artist", "author", "album_artist"}},
        {"WM/AlbumTitle", {"album"}},
        {"WM/Genre", {"genre"}},
        {"WM/Track", {"track"}},
        {"WM/Year", {"date", "year"}},
        {"Copyright", {"copyright"}},
        {"Description", {"comment", "description"}},
    };
    for (const auto &t : texts)
        if (const char *v = MetaValue(ctx->metadata, streamMeta, t.Keys))
            FHeader.SetText(t.Name, Latin1OrUtf8ToUtf8(v));
}

std::int32_t TMediaFileReader::Close()
{
    FDecoder.Close();
    FConverter.Reset();
    FPacket.reset();
    FReadOutput = -1;
    FInputEnded = false;
    FSkipUntil = AV_NOPTS_VALUE;
    FFirstPts = AV_NOPTS_VALUE;
    FFromStart = false;
    FFormat.reset(); // before the custom I/O it reads through
    FIO.reset();
    FOutputs.clear();
    FHeader.Clear();
    FStream = nullptr;
    return 0;
}

std::vector<TWaveFormat> TMediaFileReader::FormatsOf(const TOutput &Out) const
{
    std::vector<TWaveFormat> list;
    if (!Out.Audio)
        return list;
    const unsigned channels = (!Out.Discrete && Out.Channels > 2) ? 2 : std::min(Out.Channels, 8u);
    const bool deep = Out.Discrete && Out.RawBits > 16;
    list.push_back(TWaveFormat::Pcm(channels, Out.SampleRate, 16));
    if (deep)
        list.push_back(TWaveFormat::Pcm(channels, Out.SampleRate, 24));
    if (channels > 1)
        list.push_back(TWaveFormat::Pcm(1, Out.SampleRate, 16));
    if ((Out.SpeakerConfig == 6 || Out.SpeakerConfig == 8) && Out.SpeakerConfig != channels) {
        list.push_back(TWaveFormat::Pcm(Out.SpeakerConfig, Out.SampleRate, 16));
        if (deep)
            list.push_back(TWaveFormat::Pcm(Out.SpeakerConfig, Out.SampleRate, 24));
    }
    return list;
}

std::int32_t TMediaFileReader::GetOutputCount(std::uint32_t &Count) const
{
    if (!FFormat)
        return E_UNEXPECTED_RESULT;
    Count = static_cast<std::uint32_t>(FOutputs.size());
    return 0;
}

std::int32_t TMediaFileReader::GetOutputProps(std::uint32_t Output, TMediaType &Type) const
{
    if (Output >= FOutputs.size())
        return E_INVALIDARG_RESULT;
    const TOutput &o = FOutputs[Output];
    Type = TMediaType{};
    Type.IsAudio = o.Audio;
    Type.HasWaveFormat = o.Audio;
    if (o.Audio)
        Type.Format = o.Current;
    return 0;
}

std::int32_t TMediaFileReader::SetOutputSetting(std::uint32_t Output, const std::string &Name, std::uint32_t Value)
{
    if (Output >= FOutputs.size() || !FOutputs[Output].Audio)
        return E_INVALIDARG_RESULT;
    TOutput &o = FOutputs[Output];
    if (Name == "EnableDiscreteOutput")
        o.Discrete = Value != 0;
    else if (Name == "SpeakerConfig")
        o.SpeakerConfig = Value;
    else
        return E_INVALIDARG_RESULT;
    const auto list = FormatsOf(o);
    if (std::find(list.begin(), list.end(), o.Current) == list.end())
        o.Current = list.front();
    return 0;
}

std::int32_t TMediaFileReader::GetOutputFormatCount(std::uint32_t Output, std::uint32_t &Count) const
{
    if (Output >= FOutputs.size())
        return E_INVALIDARG_RESULT;
    Count = static_cast<std::uint32_t>(FormatsOf(FOutputs[Output]).size());
    return 0;
}

std::int32_t TMediaFileReader::GetOutputFormat(std::uint32_t Output, std::uint32_t Index, TMediaType &Type) const
{
    if (Output >= FOutputs.size())
        return E_INVALIDARG_RESULT;
    const auto list = FormatsOf(FOutputs[Output]);
    if (Index >= list.size())
        return E_INVALIDARG_RESULT;
    Type = TMediaType{};
    Type.IsAudio = true;
    Type.HasWaveFormat = true;
    Type.Format = list[Index];
    return 0;
}

std::int32_t TMediaFileReader::SetOutputProps(std::uint32_t Output, const TMediaType &Type)
{
    if (Output >= FOutputs.size() || !Type.IsAudio || !Type.HasWaveFormat)
        return E_INVALIDARG_RESULT;
    TOutput &o = FOutputs[Output];
    const auto list = FormatsOf(o);
    if (std::find(list.begin(), list.end(), Type.Format) == list.end())
        return E_INVALIDARG_RESULT;
    o.Current = Type.Format;
    return 0;
}

std::int32_t TMediaFileReader::GetStreamNumberForOutput(std::uint32_t Output, std::uint16_t &Stream) const
{
    if (Output >= FOutputs.size())
        return E_INVALIDARG_RESULT;
    Stream = static_cast<std::uint16_t>(Output + 1);
    return 0;
}

std::int32_t TMediaFileReader::SetReadStreamSamples(std::uint16_t Stream, bool Compressed)
{
    if (Compressed || Stream == 0 || Stream > FOutputs.size())
        return E_INVALIDARG_RESULT;
    return StartDecoding(Stream - 1u);
}

std::int32_t TMediaFileReader::StartDecoding(std::uint32_t Output)
{
    if (Output >= FOutputs.size() || !FOutputs[Output].Audio)
        return E_INVALIDARG_RESULT;
    if (FReadOutput == static_cast<int>(Output) && FDecoder.IsOpen())
        return 0;
    FReadOutput = static_cast<int>(Output);
    FInputEnded = false;
    FFirstPts = AV_NOPTS_VALUE;
    FFromStart = true;
    FConverter.Reset();
    if (!FPacket)
        FPacket.reset(av_packet_alloc());
    if (!FPacket)
        return Fail("allocating a packet", AVERROR(ENOMEM));
    int rc = FDecoder.Open(FFormat->streams[FOutputs[Output].StreamIndex]);
    if (rc < 0)
        return Fail("opening the audio decoder", rc);
    return 0;
}

std::int32_t TMediaFileReader::GetNextSample(std::uint16_t Stream, const std::uint8_t *&Data, std::uint32_t &Length)
{
    if (!FFormat || Stream == 0 || Stream > FOutputs.size())
        return E_INVALIDARG_RESULT;
    if (int rc = StartDecoding(Stream - 1u); rc != 0)
        return rc;
    const TOutput &out = FOutputs[static_cast<std::size_t>(FReadOutput)];
    const AVStream *st = FFormat->streams[out.StreamIndex];
    int failures = 0;
    for (;;) {
        AVFrame *frame = nullptr;
        int rc = FDecoder.Receive(frame);
        if (rc == 0) {
            const std::uint8_t *data = nullptr;
            std::uint32_t length = 0;
            // At the output's rate: a file whose rate changes midway (joined MP3s) keeps the
            // rate it reports.
            rc = FConverter.Convert(frame, out.Current.nChannels, out.Current.wBitsPerSample, data, length,
                                    out.Current.nSamplesPerSec);
            if (rc < 0)
                return Fail("converting decoded audio", rc);
            if (FFromStart && FFirstPts == AV_NOPTS_VALUE)
                FFirstPts = frame->best_effort_timestamp;
            if (FSkipUntil != AV_NOPTS_VALUE) {
                const std::int64_t pts = frame->best_effort_timestamp;
                if (pts == AV_NOPTS_VALUE) {
                    FSkipUntil = AV_NOPTS_VALUE;
                } else {
                    const std::int64_t skip =
                        av_rescale_q(FSkipUntil - pts, st->time_base,
                                     AVRational{1, static_cast<int>(out.Current.nSamplesPerSec)});
                    const std::uint32_t align = out.Current.nBlockAlign;
                    if (skip >= 0 && static_cast<std::uint64_t>(skip) * align >= length)
                        continue; // wholly before the range start
                    if (skip > 0) {
                        data += skip * align;
                        length -= static_cast<std::uint32_t>(skip * align);
                    }
                    FSkipUntil = AV_NOPTS_VALUE;
                }
            }
            if (length == 0)
                continue;
            Data = data;
            Length = length;
            return 0;
        }
        if (rc == AVERROR_EOF)
            return AVERROR_EOF;
        if (rc == AVERROR(EAGAIN)) {
            if (FInputEnded)
                return AVERROR_EOF;
            rc = av_read_frame(FFormat.get(), FPacket.get());
            if (rc < 0) {
                // The end, or data that cannot be read any further (a truncated file): drain.
                FInputEnded = true;
                FDecoder.Send(nullptr);
                continue;
            }
            if (FPacket->stream_index == out.StreamIndex) {
                rc = FDecoder.Send(FPacket.get());
                if (rc < 0 && rc != AVERROR(EAGAIN) && ++failures > 1000) {
                    av_packet_unref(FPacket.get());
                    return Fail("decoding audio", rc);
                }
            }
            av_packet_unref(FPacket.get());
            continue;
        }
        // A frame the decoder could not make: skip it, but never loop on a decoder that fails
        // forever.
        if (++failures > 1000)
            return Fail("decoding audio", rc);
    }
}

std::int32_t TMediaFileReader::SetRange(std::int64_t Start, std::int64_t)
{
    if (!FFormat || FReadOutput < 0)
        return E_UNEXPECTED_RESULT;
    const AVStream *st = FFormat->streams[FOutputs[static_cast<std::size_t>(FReadOutput)].StreamIndex];
    const std::int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    if (FFirstPts == AV_NOPTS_VALUE)
        FindFirstPts();
    const std::int64_t first = FFirstPts != AV_NOPTS_VALUE ? FFirstPts : origin;
    const std::int64_t target = first + av_rescale_q(std::max<std::int64_t>(0, Start), AVRational{1, 10000000}, st->time_base);
    // Start decoding a little before the target: a codec's first frames after a jump are
    // incomplete (MP3's bit reservoir needs the frames before).
    const std::int64_t preroll = av_rescale_q(200, AVRational{1, 1000}, st->time_base);
    const std::int64_t seekTo = std::max(origin, target - preroll);
    int rc = av_seek_frame(FFormat.get(), st->index, seekTo, AVSEEK_FLAG_BACKWARD);
    if (rc < 0)
        return Fail("seeking in the media stream", rc);
    FDecoder.Flush();
    FInputEnded = false;
    FSkipUntil = target;
    FFromStart = false;
    return 0;
}

std::int32_t TMediaFileReader::FindFirstPts()
{
    const AVStream *st = FFormat->streams[FOutputs[static_cast<std::size_t>(FReadOutput)].StreamIndex];
    const std::int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    int rc = av_seek_frame(FFormat.get(), st->index, origin, AVSEEK_FLAG_BACKWARD);
    if (rc < 0)
        return rc;
    FDecoder.Flush();
    FInputEnded = false;
    FSkipUntil = AV_NOPTS_VALUE;
    FFromStart = true;
    const std::uint8_t *data = nullptr;
    std::uint32_t length = 0;
    return GetNextSample(static_cast<std::uint16_t>(FReadOutput + 1), data, length);
}
