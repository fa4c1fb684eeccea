#include "MediaBridgeWriter.h"

#include "AuText.h"
#include "FFmpegUtil.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- result texts ----

std::string WMResultText(WMResult Code)
{
    switch (Code) {
    case WM_S_OK: return "success";
    case WM_E_INVALIDARG: return "invalid argument";
    case WM_E_NOTREADY: return "the writer is not ready for this call";
    case WM_E_NOMATCHINGFORMAT: return "no matching codec format";
    case WM_E_NOCODEC: return "the WMA encoder is not available";
    case WM_E_NOVBRSUPPORT: return "the codec has no VBR formats";
    default: break;
    }
    if (Code < 0 && Code > -0x10000000)
        return ff::ErrorText(Code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(Code));
    return std::string("error ") + hex;
}

// ---- the codec list ----

namespace {

struct WMCodecFormatEntry {
    TWMStreamConfig Config;
};

struct WMCodecEntry {
    std::string Name;
    std::vector<WMCodecFormatEntry> Formats;
};

// The bitrate wmav2 really delivers for a nominal one: it rounds the bytes per frame down.
// Asks the encoder itself, so the table holds what files carry. 0 when refused. Different rates
// thus mostly get different bitrates, which the format search needs to tell them apart.
std::uint32_t EffectiveBitrate(const AVCodec *Codec, unsigned Rate, unsigned Channels, unsigned Nominal)
{
    AVCodecContext *ctx = avcodec_alloc_context3(Codec);
    if (!ctx)
        return 0;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = static_cast<int>(Rate);
    av_channel_layout_default(&ctx->ch_layout, static_cast<int>(Channels));
    ctx->bit_rate = Nominal;
    std::uint32_t result = 0;
    if (avcodec_open2(ctx, Codec, nullptr) == 0 && ctx->block_align > 0 && ctx->frame_size > 0) {
        // Rounded up, so that the encoder opened with this rate arrives at the same bytes per
        // frame again and the file's header states it.
        const std::uint64_t bits = static_cast<std::uint64_t>(ctx->block_align) * 8 * Rate;
        result = static_cast<std::uint32_t>((bits + ctx->frame_size - 1) / ctx->frame_size);
    }
    avcodec_free_context(&ctx);
    return result;
}

const std::vector<WMCodecEntry> &Codecs()
{
    static const std::vector<WMCodecEntry> codecs = [] {
        std::vector<WMCodecEntry> list;
        const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
        if (!codec)
            return list;
        WMCodecEntry entry;
        entry.Name = "Windows Media Audio (wmav2)";
        static const unsigned rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
        static const unsigned kbps[] = {32, 40, 48, 64, 80, 96, 128, 160, 192, 256, 320};
        for (unsigned rate : rates)
            for (unsigned channels : {1u, 2u})
                for (unsigned k : kbps) {
                    const unsigned rateLimit = rate <= 8000    ? 48u
                                               : rate <= 11025 ? 64u
                                               : rate <= 16000 ? 96u
                                               : rate <= 22050 ? 128u
                                               : rate <= 32000 ? 256u
                                                               : 320u;
                    const unsigned limit = std::min(rateLimit, channels == 1 ? 192u : 320u);
                    if (k > limit)
                        continue;
                    const std::uint32_t bitrate = EffectiveBitrate(codec, rate, channels, k * 1000);
                    if (bitrate == 0)
                        continue;
                    WMCodecFormatEntry f;
                    TMediaType &t = f.Config.MediaType;
                    t.IsAudio = true;
                    t.HasWaveFormat = true;
                    f.Config.Subtype = WMMEDIASUBTYPE_WMAudioV8;
                    t.Format.wFormatTag = WAVE_FORMAT_WMAUDIO2;
                    t.Format.nChannels = static_cast<std::uint16_t>(channels);
                    t.Format.nSamplesPerSec = rate;
                    t.Format.nAvgBytesPerSec = bitrate / 8;
                    t.Format.wBitsPerSample = 16;
                    f.Config.Bitrate = bitrate;
                    entry.Formats.push_back(f);
                }
        // Ascending by bitrate; equal bitrates (the low rates scale to the same bytes per
        // frame) from the highest rate down. With the search's rules this lets a format at the
        // input's own rate take over as soon as one comes: the search never replaces its choice
        // by a format of the same bitrate, so a lower rate listed first would keep it.
        std::stable_sort(entry.Formats.begin(), entry.Formats.end(),
                         [](const WMCodecFormatEntry &a, const WMCodecFormatEntry &b) {
                             if (a.Config.Bitrate != b.Config.Bitrate)
                                 return a.Config.Bitrate < b.Config.Bitrate;
                             return a.Config.MediaType.Format.nSamplesPerSec > b.Config.MediaType.Format.nSamplesPerSec;
                         });
        list.push_back(std::move(entry));
        return list;
    }();
    return codecs;
}

bool SameFormat(const TWMStreamConfig &a, const TWMStreamConfig &b)
{
    const TWaveFormat &x = a.MediaType.Format, &y = b.MediaType.Format;
    return a.Subtype == b.Subtype && a.Bitrate == b.Bitrate && x.nChannels == y.nChannels &&
           x.nSamplesPerSec == y.nSamplesPerSec && x.wBitsPerSample == y.wBitsPerSample;
}

} // namespace

WMResult TWMCodecInfo::GetCodecInfoCount(std::uint32_t &Count) const
{
    Count = static_cast<std::uint32_t>(Codecs().size());
    return WM_S_OK;
}

WMResult TWMCodecInfo::SetCodecEnumerationSetting(std::uint32_t Codec, const std::string &Name, bool Value)
{
    if (Codec >= Codecs().size() || Name != "_VBRENABLED")
        return WM_E_INVALIDARG;
    if (Value)
        return WM_E_NOVBRSUPPORT; // wmav2 is a constant-bitrate codec
    FVBREnumeration = false;
    return WM_S_OK;
}

WMResult TWMCodecInfo::GetCodecFormatCount(std::uint32_t Codec, std::uint32_t &Count) const
{
    Count = 0;
    if (Codec >= Codecs().size())
        return WM_E_INVALIDARG;
    Count = static_cast<std::uint32_t>(Codecs()[Codec].Formats.size());
    return WM_S_OK;
}

WMResult TWMCodecInfo::GetCodecFormat(std::uint32_t Codec, std::uint32_t Index, TWMStreamConfig &Config) const
{
    if (Codec >= Codecs().size() || Index >= Codecs()[Codec].Formats.size())
        return WM_E_INVALIDARG;
    Config = Codecs()[Codec].Formats[Index].Config;
    return WM_S_OK;
}

WMResult TWMCodecInfo::GetCodecFormatProp(std::uint32_t Codec, std::uint32_t Index, const std::string &Name,
                                          std::uint32_t &Value) const
{
    Value = 0;
    if (Codec >= Codecs().size() || Index >= Codecs()[Codec].Formats.size() || Name != "_VBRQUALITY" ||
        !FVBREnumeration)
        return WM_E_INVALIDARG;
    Value = Codecs()[Codec].Formats[Index].Config.VBRQuality;
    return WM_S_OK;
}

WMResult CreateEmptyProfile(std::uint32_t Version, TWMProfile &Profile)
{
    Profile = TWMProfile();
    Profile.Version = Version;
    return WM_S_OK;
}

WMResult AddStream(TWMProfile &Profile, const TWMStreamConfig &Config)
{
    if (Config.StreamNumber == 0)
        return WM_E_INVALIDARG;
    for (const TWMStreamConfig &s : Profile.Streams)
        if (s.StreamNumber == Config.StreamNumber)
            return WM_E_INVALIDARG;
    bool known = false;
    for (const WMCodecEntry &c : Codecs())
        for (const WMCodecFormatEntry &f : c.Formats)
            known = known || SameFormat(f.Config, Config);
    if (!known)
        return WM_E_NOMATCHINGFORMAT;
    Profile.Streams.push_back(Config);
    return WM_S_OK;
}

// ---- the file sink ----

TWMFileSink::~TWMFileSink()
{
    Close();
}

WMResult TWMFileSink::Open(const std::u16string &FileName)
{
    if (FIO)
        return WM_E_NOTREADY;
    if (FileName.empty())
        return WM_E_INVALIDARG;
    FPath = Utf16ToUtf8(FileName);
    // The file is opened here, private (0600) and never through a link: a link planted at the
    // name (these are fixed names in a working folder) is removed and a new file made in its
    // place. FFmpeg then opens that very file through the descriptor's /proc entry, whatever
    // happens to the name meanwhile.
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(FPath.c_str(), flags, 0600);
    if (fd < 0 && errno == ELOOP && ::unlink(FPath.c_str()) == 0)
        fd = ::open(FPath.c_str(), flags | O_EXCL, 0600);
    if (fd < 0) {
        const int err = errno;
        FPath.clear();
        return AVERROR(err);
    }
    // A file that was there keeps its contents' privacy too.
    ::fchmod(fd, 0600);
    const int r = avio_open(&FIO, ("file:/proc/self/fd/" + std::to_string(fd)).c_str(), AVIO_FLAG_WRITE);
    ::close(fd);
    if (r < 0) {
        FIO = nullptr;
        return r;
    }
    return WM_S_OK;
}

WMResult TWMFileSink::Advise(std::shared_ptr<TWMErrorCallback> Callback)
{
    if (!Callback)
        return WM_E_INVALIDARG;
    std::lock_guard<std::mutex> lock(FCallbacksLock);
    FCallbacks.push_back(std::move(Callback));
    return WM_S_OK;
}

void TWMFileSink::Report(std::uint32_t Status, WMResult Result)
{
    std::vector<std::shared_ptr<TWMErrorCallback>> callbacks;
    {
        std::lock_guard<std::mutex> lock(FCallbacksLock);
        callbacks = FCallbacks;
    }
    for (auto &c : callbacks)
        c->OnStatus(Status, Result);
}

void TWMFileSink::Close()
{
    if (FIO)
        avio_closep(&FIO);
}

void TWMFileSink::Discard()
{
    Close();
    if (!FPath.empty())
        std::remove(FPath.c_str());
    FPath.clear();
}

WMResult TWMSample::SetLength(std::uint32_t Length)
{
    if (Length > FData.size())
        return WM_E_INVALIDARG;
    FLength = Length;
    return WM_S_OK;
}

// ---- the writer ----

// FFmpeg's side of one file, used only by the writer's thread once writing has begun.
struct TWMWriter::Engine {
    AVFormatContext *Format = nullptr;
    AVCodecContext *Codec = nullptr;
    SwrContext *Resampler = nullptr;
    AVAudioFifo *Fifo = nullptr;
    AVFrame *Frame = nullptr;
    AVPacket *Packet = nullptr;
    AVStream *Stream = nullptr;
    std::int64_t NextPts = 0;
    unsigned InChannels = 0;
    std::vector<float> Planes; // conversion output, one plane after the other
    bool HeaderWritten = false;

    ~Engine()
    {
        av_packet_free(&Packet);
        av_frame_free(&Frame);
        if (Fifo)
            av_audio_fifo_free(Fifo);
        swr_free(&Resampler);
        avcodec_free_context(&Codec);
        if (Format) {
            Format->pb = nullptr; // the sink owns the I/O context
            avformat_free_context(Format);
        }
    }

    // Sends every whole frame the FIFO holds (all of it, padded with silence, when Final) and
    // writes the packets that come out.
    int Encode(bool Final)
    {
        const int size = Codec->frame_size;
        while (av_audio_fifo_size(Fifo) >= size || (Final && av_audio_fifo_size(Fifo) > 0)) {
            int r = av_frame_make_writable(Frame);
            if (r < 0)
                return r;
            const int n = std::min(size, av_audio_fifo_size(Fifo));
            r = av_audio_fifo_read(Fifo, reinterpret_cast<void **>(Frame->data), n);
            if (r < 0)
                return r;
            if (n < size) // the encoder takes whole frames only
                av_samples_set_silence(Frame->data, n, size - n, Codec->ch_layout.nb_channels, Codec->sample_fmt);
            Frame->nb_samples = size;
            Frame->pts = NextPts;
            NextPts += size;
            if ((r = avcodec_send_frame(Codec, Frame)) < 0 || (r = Drain()) < 0)
                return r;
        }
        if (Final) {
            int r = avcodec_send_frame(Codec, nullptr);
            if (r < 0 || (r = Drain()) < 0)
                return r;
        }
        return 0;
    }

    int Drain()
    {
        for (;;) {
            int r = avcodec_receive_packet(Codec, Packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return 0;
            if (r < 0)
                return r;
            av_packet_rescale_ts(Packet, Codec->time_base, Stream->time_base);
            Packet->stream_index = Stream->index;
            r = av_interleaved_write_frame(Format, Packet);
            if (r < 0)
                return r;
            if (Format->pb && Format->pb->error < 0)
                return Format->pb->error;
        }
    }

    // Converts PCM bytes (16-bit interleaved) into the FIFO; null Data drains the converter.
    int Convert(const std::uint8_t *Data, std::size_t Bytes)
    {
        const int inSamples = Data ? static_cast<int>(Bytes / (2 * InChannels)) : 0;
        const int outMax = swr_get_out_samples(Resampler, inSamples);
        if (outMax <= 0)
            return 0;
        const int channels = Codec->ch_layout.nb_channels;
        Planes.resize(static_cast<std::size_t>(outMax) * channels);
        std::uint8_t *out[2] = {reinterpret_cast<std::uint8_t *>(Planes.data()),
                                reinterpret_cast<std::uint8_t *>(Planes.data() + (channels > 1 ? outMax : 0))};
        const std::uint8_t *in[1] = {Data};
        const int got = swr_convert(Resampler, out, outMax, Data ? in : nullptr, inSamples);
        if (got < 0)
            return got;
        if (got > 0 && av_audio_fifo_write(Fifo, reinterpret_cast<void **>(out), got) < got)
            return AVERROR(ENOMEM);
        return 0;
    }
};

TWMWriter::TWMWriter() = default;

TWMWriter::~TWMWriter()
{
    if (FWriting)
        EndWriting();
}

WMResult TWMWriter::AddSink(TWMFileSink *Sink)
{
    if (!Sink)
        return WM_E_INVALIDARG;
    if (FWriting || FSink)
        return WM_E_NOTREADY;
    FSink = Sink;
    return WM_S_OK;
}

WMResult TWMWriter::SetProfile(const TWMProfile &Profile)
{
    if (FWriting)
        return WM_E_NOTREADY;
    if (Profile.Streams.size() != 1 || !Profile.Streams[0].MediaType.IsAudio)
        return WM_E_INVALIDARG;
    FStream = Profile.Streams[0];
    FHaveProfile = true;
    // The input takes PCM; at first in the stream's own rate and channels.
    FInputType = TMediaType();
    FInputType.IsAudio = true;
    FInputType.HasWaveFormat = true;
    TWaveFormat &w = FInputType.Format;
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = FStream.MediaType.Format.nChannels;
    w.nSamplesPerSec = FStream.MediaType.Format.nSamplesPerSec;
    w.wBitsPerSample = 16;
    w.nBlockAlign = static_cast<std::uint16_t>(w.nChannels * 2);
    w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
    return WM_S_OK;
}

WMResult TWMWriter::SetAttribute(std::uint16_t Stream, const std::u16string &Name, std::uint32_t Type,
                                 const std::uint8_t *Value, std::uint16_t Length)
{
    if (FWriting)
        return WM_E_NOTREADY;
    if (Stream != 0 || Type != 1 || Name.empty() || (Length % 2) != 0 || (!Value && Length != 0))
        return WM_E_INVALIDARG;
    std::u16string text(Length / 2, u'\0');
    if (Length)
        std::memcpy(text.data(), Value, Length);
    FAttributes.emplace_back(Utf16ToUtf8(Name), Utf16ToUtf8(text));
    return WM_S_OK;
}

WMResult TWMWriter::GetInputCount(std::uint32_t &Count) const
{
    Count = FHaveProfile ? 1 : 0;
    return WM_S_OK;
}

WMResult TWMWriter::GetInputProps(std::uint32_t Input, TMediaType &Type) const
{
    if (!FHaveProfile || Input != 0)
        return WM_E_INVALIDARG;
    Type = FInputType;
    return WM_S_OK;
}

WMResult TWMWriter::SetInputProps(std::uint32_t Input, const TMediaType &Type)
{
    if (FWriting)
        return WM_E_NOTREADY;
    if (!FHaveProfile || Input != 0)
        return WM_E_INVALIDARG;
    const TWaveFormat &w = Type.Format;
    if (!Type.IsAudio || !Type.HasWaveFormat ||
        w.wFormatTag != WAVE_FORMAT_PCM || w.wBitsPerSample != 16 || w.nChannels < 1 || w.nChannels > 2 ||
        w.nSamplesPerSec < 1000 || w.nSamplesPerSec > 384000 || w.nBlockAlign != w.nChannels * 2 ||
        w.nAvgBytesPerSec != w.nSamplesPerSec * w.nBlockAlign)
        return WM_E_INVALIDARG;
    FInputType = Type;
    return WM_S_OK;
}

WMResult TWMWriter::BeginWriting()
{
    if (FWriting || !FSink || !FSink->FIO || !FHaveProfile)
        return WM_E_NOTREADY;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    if (!codec)
        return WM_E_NOCODEC;
    auto e = std::make_unique<Engine>();
    int r = avformat_alloc_output_context2(&e->Format, nullptr, "asf", nullptr);
    if (r < 0)
        return r;
    e->Format->pb = FSink->FIO;
    for (const auto &[name, value] : FAttributes)
        av_dict_set(&e->Format->metadata, name.c_str(), value.c_str(), 0);

    const TWaveFormat &out = FStream.MediaType.Format;
    const TWaveFormat &in = FInputType.Format;
    e->Codec = avcodec_alloc_context3(codec);
    if (!e->Codec)
        return AVERROR(ENOMEM);
    e->Codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    e->Codec->sample_rate = static_cast<int>(out.nSamplesPerSec);
    av_channel_layout_default(&e->Codec->ch_layout, out.nChannels);
    e->Codec->bit_rate = FStream.Bitrate;
    e->Codec->time_base = AVRational{1, e->Codec->sample_rate};
    if (e->Format->oformat->flags & AVFMT_GLOBALHEADER)
        e->Codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((r = avcodec_open2(e->Codec, codec, nullptr)) < 0)
        return r;
    e->Stream = avformat_new_stream(e->Format, nullptr);
    if (!e->Stream)
        return AVERROR(ENOMEM);
    e->Stream->time_base = e->Codec->time_base;
    if ((r = avcodec_parameters_from_context(e->Stream->codecpar, e->Codec)) < 0)
        return r;

    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, in.nChannels);
    r = swr_alloc_set_opts2(&e->Resampler, &e->Codec->ch_layout, AV_SAMPLE_FMT_FLTP, e->Codec->sample_rate, &inLayout,
                            AV_SAMPLE_FMT_S16, static_cast<int>(in.nSamplesPerSec), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (r < 0 || (r = swr_init(e->Resampler)) < 0)
        return r;
    e->InChannels = in.nChannels;
    e->Fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, e->Codec->ch_layout.nb_channels, e->Codec->frame_size * 4);
    e->Frame = av_frame_alloc();
    e->Packet = av_packet_alloc();
    if (!e->Fifo || !e->Frame || !e->Packet)
        return AVERROR(ENOMEM);
    e->Frame->format = AV_SAMPLE_FMT_FLTP;
    e->Frame->sample_rate = e->Codec->sample_rate;
    e->Frame->nb_samples = e->Codec->frame_size;
    if ((r = av_channel_layout_copy(&e->Frame->ch_layout, &e->Codec->ch_layout)) < 0 ||
        (r = av_frame_get_buffer(e->Frame, 0)) < 0)
        return r;
    // Decoders drop the first frame's worth of output (the encoder's delay, which ASF cannot
    // record); one frame of silence in front keeps the recording whole and in place.
    if (av_audio_fifo_size(e->Fifo) == 0) {
        std::vector<float> silence(static_cast<std::size_t>(e->Codec->frame_size), 0.0f);
        void *planes[2] = {silence.data(), silence.data()};
        if (av_audio_fifo_write(e->Fifo, planes, e->Codec->frame_size) < e->Codec->frame_size)
            return AVERROR(ENOMEM);
    }
    if ((r = avformat_write_header(e->Format, nullptr)) < 0)
        return r;
    e->HeaderWritten = true;

    FEngine = std::move(e);
    FQueueLimit = std::max<std::size_t>(in.nAvgBytesPerSec * 2, 1 << 16);
    FQueue.clear();
    FQueuedBytes = 0;
    FEnding = false;
    FError = WM_S_OK;
    FLastTime = 0;
    FWriting = true;
    FThread = std::thread(&TWMWriter::WriterThread, this);
    return WM_S_OK;
}

WMResult TWMWriter::AllocateSample(std::uint32_t Size, TWMSample *&Sample)
{
    Sample = new TWMSample();
    Sample->FData.resize(Size);
    return WM_S_OK;
}

WMResult TWMWriter::WriteSample(std::uint32_t Input, std::int64_t Time, std::uint32_t, TWMSample *Sample)
{
    if (!FWriting)
        return WM_E_NOTREADY;
    if (Input != 0 || !Sample || Time < FLastTime || Sample->FLength % FInputType.Format.nBlockAlign != 0)
        return WM_E_INVALIDARG;
    if (const WMResult e = FError.load())
        return e;
    FLastTime = Time;
    if (Sample->FLength == 0)
        return WM_S_OK;
    // The sample is the caller's to release; its buffer moves into the queue, saving a copy.
    std::vector<std::uint8_t> data = std::move(Sample->FData);
    data.resize(Sample->FLength);
    Sample->FLength = 0;
    std::unique_lock<std::mutex> lock(FQueueLock);
    FQueueChanged.wait(lock, [this] { return FQueuedBytes < FQueueLimit || FError.load() != WM_S_OK; });
    if (const WMResult e = FError.load())
        return e;
    FQueuedBytes += data.size();
    FQueue.push_back(std::move(data));
    lock.unlock();
    FQueueChanged.notify_all();
    return WM_S_OK;
}

WMResult TWMWriter::Fail(WMResult Code)
{
    WMResult expected = WM_S_OK;
    if (FError.compare_exchange_strong(expected, Code)) {
        FQueueChanged.notify_all();
        if (FSink)
            FSink->Report(WMT_ERROR, Code);
    }
    return Code;
}

void TWMWriter::WriterThread()
{
    Engine &e = *FEngine;
    for (;;) {
        std::vector<std::uint8_t> block;
        {
            std::unique_lock<std::mutex> lock(FQueueLock);
            FQueueChanged.wait(lock, [this] { return !FQueue.empty() || FEnding; });
            if (FQueue.empty())
                break; // ending and nothing left
            block = std::move(FQueue.front());
            FQueue.pop_front();
            FQueuedBytes -= block.size();
        }
        FQueueChanged.notify_all();
        if (FError.load() != WM_S_OK)
            continue; // after a failure the rest is discarded
        int r = e.Convert(block.data(), block.size());
        if (r >= 0)
            r = e.Encode(false);
        if (r < 0)
            Fail(r);
    }
    if (FError.load() == WM_S_OK) {
        int r = e.Convert(nullptr, 0);
        if (r >= 0)
            r = e.Encode(true);
        if (r >= 0)
            r = av_write_trailer(e.Format);
        if (r >= 0 && e.Format->pb) {
            avio_flush(e.Format->pb);
            r = e.Format->pb->error;
        }
        if (r < 0)
            Fail(r);
    }
    // Closing writes what is still buffered; a failure there is a failure of the file too.
    e.Format->pb = nullptr;
    const int r = avio_closep(&FSink->FIO);
    if (r < 0 && FError.load() == WM_S_OK)
        Fail(r);
}

WMResult TWMWriter::EndWriting()
{
    if (!FWriting)
        return WM_E_NOTREADY;
    {
        std::lock_guard<std::mutex> lock(FQueueLock);
        FEnding = true;
    }
    FQueueChanged.notify_all();
    FThread.join();
    FWriting = false;
    FEngine.reset();
    const WMResult result = FError.load();
    // A full disk (or a file-size limit) stops a recording part-way: what reached the disk is
    // the recording up to that moment and stays for the user. Any other failure leaves no
    // half-written file behind.
    if (result != WM_S_OK) {
        std::error_code ec;
        const bool full = result == AVERROR(ENOSPC) || result == AVERROR(EFBIG);
        if (!full || std::filesystem::file_size(FSink->FPath, ec) == 0 || ec)
            FSink->Discard();
    }
    return result;
}

// ---- the record's routines ----

std::shared_ptr<TWMErrorCallback> TWMErrorCallback::Create(wma_writer *writer)
{
    return std::make_shared<TWMErrorCallback>(writer);
}

WMResult TWMErrorCallback::OnStatus(std::uint32_t Status, WMResult)
{
    switch (Status) {
    case WMT_ERROR:
    case WMT_NO_RIGHTS:
    case WMT_NO_RIGHTS_EX:
    case WMT_ERROR_WITHURL:
        if (FWriter && FWriter->OnError)
            FWriter->OnError(FWriter->Owner, Status);
        break;
    default: break;
    }
    return WM_S_OK;
}

void wma_writer_init(wma_writer &Writer, const std::u16string &FileName, TComponent *Owner, TWMWriterErrorProc OnError)
{
    Writer = wma_writer();
    Writer.Owner = Owner;
    Writer.OnError = std::move(OnError);
    auto sink = std::make_unique<TWMFileSink>();
    auto writer = std::make_unique<TWMWriter>();
    writer->AddSink(sink.get());
    if (sink->Open(FileName) != WM_S_OK)
        return;
    Writer.ErrorCallback = TWMErrorCallback::Create(&Writer);
    sink->Advise(Writer.ErrorCallback);
    Writer.file_sink = sink.release();
    Writer.writer = writer.release();
    Writer.Initialized = true;
}

bool wma_writer_find_format(std::uint32_t Channels, std::uint32_t Bits, std::uint32_t Target, bool VBR,
                            bool Lossless, std::uint32_t SampleRate, TWMStreamConfig &Config)
{
    TWMCodecInfo info;
    bool chosen = false;
    std::uint32_t chosenBitrate = 0, chosenRate = 0, bestQuality = 0;
    bool mark = false;
    const auto distance = [](std::int64_t a, std::int64_t b) { return a > b ? a - b : b - a; };
    std::uint32_t codecs = 0;
    info.GetCodecInfoCount(codecs);
    for (std::uint32_t c = 0; c < codecs; ++c) {
        if ((VBR || Lossless) && info.SetCodecEnumerationSetting(c, "_VBRENABLED", true) != WM_S_OK)
            continue;
        for (std::uint32_t i = 0;; ++i) {
            TWMStreamConfig format;
            if (info.GetCodecFormat(c, i, format) != WM_S_OK)
                break;
            const TWaveFormat &w = format.MediaType.Format;
            if (Lossless) {
                mark = format.Subtype == WMMEDIASUBTYPE_WMAudio_Lossless;
            } else if (VBR) {
                std::uint32_t quality = 0;
                info.GetCodecFormatProp(c, i, "_VBRQUALITY", quality);
                if (distance(Target, quality) < distance(Target, bestQuality)) {
                    bestQuality = quality;
                    mark = true;
                }
            } else {
                mark = distance(format.GetBitrate(), Target) < distance(chosenBitrate, Target);
            }
            if (!mark)
                continue;
            if ((VBR || Lossless) && !chosen) {
                Config = format; // a fallback whatever its channels
                chosen = true;
            }
            if (w.nChannels == Channels && w.wBitsPerSample == Bits &&
                distance(w.nSamplesPerSec, SampleRate) <= distance(chosenRate, SampleRate)) {
                Config = format;
                chosen = true;
                chosenBitrate = format.GetBitrate();
                chosenRate = w.nSamplesPerSec;
            }
        }
    }
    return chosen;
}

void wma_writer_set_audio_properties(wma_writer &Writer, std::uint32_t Channels, std::uint32_t Bits,
                                     std::uint32_t Target, bool VBR, bool Lossless, std::uint32_t SampleRate)
{
    if (!VBR && Target < 1000)
        Target *= 1000;
    TWMStreamConfig config;
    if (!wma_writer_find_format(Channels, Bits, Target, VBR, Lossless, SampleRate, config))
        throw std::runtime_error("Failed to init codec");
    TWMProfile profile;
    CreateEmptyProfile(0x90000, profile);
    config.SetStreamNumber(1);
    config.SetStreamName(u"NAAudioStream");
    config.SetConnectionName(u"NAAudioConnection");
    if (AddStream(profile, config) != WM_S_OK)
        throw std::runtime_error("fff");
    if (Writer.writer->SetProfile(profile) != WM_S_OK)
        throw std::runtime_error("fff");
    std::uint32_t inputs = 0;
    Writer.writer->GetInputCount(inputs);
    for (std::uint32_t i = 0; i < inputs; ++i) {
        TMediaType type;
        if (Writer.writer->GetInputProps(i, type) != WM_S_OK)
            continue;
        if (!type.IsAudio || !type.HasWaveFormat)
            continue;
        Writer.input = i;
        TWaveFormat &w = type.Format;
        w.wFormatTag = WAVE_FORMAT_PCM;
        w.nChannels = static_cast<std::uint16_t>(Channels);
        w.nSamplesPerSec = SampleRate;
        w.wBitsPerSample = static_cast<std::uint16_t>(Bits);
        w.nBlockAlign = static_cast<std::uint16_t>(Channels * Bits / 8);
        w.nAvgBytesPerSec = SampleRate * w.nBlockAlign;
        Writer.BytesPerSecond = w.nAvgBytesPerSec;
        // An input format the writer refuses would have it read the PCM as something else.
        if (Writer.writer->SetInputProps(i, type) != WM_S_OK)
            throw std::runtime_error("Failed to init codec");
        break;
    }
}

WMResult wma_writer_set_attribute(wma_writer &Writer, const std::u16string &Name, const std::u16string &Value)
{
    if (!Writer.writer)
        return WM_E_NOTREADY;
    if (Value.size() > 0x7FFF)
        return WM_E_INVALIDARG;
    return Writer.writer->SetAttribute(0, Name, 1, reinterpret_cast<const std::uint8_t *>(Value.data()),
                                       static_cast<std::uint16_t>(Value.size() * 2));
}

WMResult wma_writer_begin(wma_writer &Writer)
{
    if (!Writer.writer)
        return WM_E_NOTREADY;
    return Writer.writer->BeginWriting();
}

WMResult wma_writer_write(wma_writer &Writer, const void *Data, std::uint32_t Bytes)
{
    if (!Writer.writer || Writer.BytesPerSecond == 0)
        return WM_E_NOTREADY;
    WMResult r = Writer.writer->AllocateSample(Bytes, Writer.buffer);
    if (r != WM_S_OK)
        return r;
    if (Bytes)
        std::memcpy(Writer.buffer->GetBuffer(), Data, Bytes);
    Writer.buffer->SetLength(Bytes);
    // The block's duration in 100 ns units, rounded half to even; the stamp is its end.
    const double ticks = static_cast<double>(Bytes) / Writer.BytesPerSecond / 0.0000001;
    Writer.TotalTime += static_cast<std::int64_t>(std::nearbyint(ticks));
    r = Writer.writer->WriteSample(Writer.input, Writer.TotalTime, 0, Writer.buffer);
    Writer.buffer->Release();
    Writer.buffer = nullptr;
    return r;
}

WMResult wma_writer_free(wma_writer &Writer)
{
    WMResult r = WM_S_OK;
    if (Writer.writer) {
        r = Writer.writer->EndWriting();
        // A file whose writing never began holds no recording: it is not left behind.
        if (r == WM_E_NOTREADY && Writer.file_sink)
            Writer.file_sink->Discard();
        delete Writer.writer;
        Writer.writer = nullptr;
    }
    delete Writer.file_sink;
    Writer.file_sink = nullptr;
    Writer.ErrorCallback.reset();
    Writer.Initialized = false;
    return r;
}
