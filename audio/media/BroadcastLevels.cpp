// Decoding a stretch of a broadcast recording to mono, frame by frame, with warm-up frames in
// front and silence for a frame the decoder refuses.
#include "BroadcastLevels.h"

#include "AuAdts.h"
#include "AuException.h"
#include "FFmpegUtil.h"

#include <algorithm>
#include <cstring>

namespace {

[[noreturn]] void fail(const std::string &Doing, int Rc)
{
    throw EAuException("Could not decode the recording (" + ff::Describe(Doing, Rc) + ")");
}

// The bytes of frame K: up to the next frame (an MP3 decoder reads only its frame's length),
// or the ADTS header's own length.
std::size_t frameBytes(TBroadcastFormat Format, const std::uint8_t *Stream, std::size_t Size,
                       const TBroadcastFrames &Frames, std::size_t K)
{
    const std::size_t at = Frames.Offsets[K];
    const std::size_t next = K + 1 < Frames.Offsets.size() ? Frames.Offsets[K + 1] : Size;
    std::size_t bytes = next > at && next <= Size ? next - at : 0;
    if (Format == TBroadcastFormat::Aac && bytes >= 7) {
        const std::uint8_t *p = Stream + at;
        const std::size_t length = (static_cast<std::size_t>(p[3] & 0x03) << 11) |
                                   (static_cast<std::size_t>(p[4]) << 3) | (p[5] >> 5);
        bytes = std::min(bytes, length);
    }
    return bytes;
}

// How many frames before First to decode and drop. MP3: the frame before First must come out
// right for the filterbank's history, so the frames before that must hold the bit reservoir it
// draws on (at most 511 bytes of main data). AAC: one frame of overlap, and one to spare.
std::size_t warmUpFrames(TBroadcastFormat Format, const std::uint8_t *Stream, std::size_t Size,
                         const TBroadcastFrames &Frames, std::size_t First)
{
    if (Format == TBroadcastFormat::Aac)
        return std::min<std::size_t>(First, 2);
    constexpr std::size_t kReservoir = 511, kHeaderAndSideInfo = 36;
    std::size_t warm = std::min<std::size_t>(First, 2), held = 0;
    while (warm < First && warm < 16) {
        const std::size_t k = First - warm; // the earliest frame decoded so far
        if (warm >= 2) {
            const std::size_t bytes = frameBytes(Format, Stream, Size, Frames, k);
            held += bytes > kHeaderAndSideInfo ? bytes - kHeaderAndSideInfo : 0;
            if (held >= kReservoir)
                break;
        }
        ++warm;
    }
    return warm;
}

// The mean of the frame's channels into Out (at most Room samples); the samples written.
std::size_t mixDown(const AVFrame *Frame, float *Out, std::size_t Room)
{
    const int channels = std::max(1, Frame->ch_layout.nb_channels);
    const std::size_t n = std::min<std::size_t>(Room, static_cast<std::size_t>(std::max(0, Frame->nb_samples)));
    const float scale = 1.0f / static_cast<float>(channels);
    const auto format = static_cast<AVSampleFormat>(Frame->format);
    const bool planar = av_sample_fmt_is_planar(format);
    for (std::size_t i = 0; i < n; ++i) {
        float sum = 0;
        for (int c = 0; c < channels; ++c) {
            const std::size_t at = planar ? i : i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c);
            const std::uint8_t *plane = Frame->extended_data[planar ? c : 0];
            switch (format) {
            case AV_SAMPLE_FMT_FLT:
            case AV_SAMPLE_FMT_FLTP:
                sum += reinterpret_cast<const float *>(plane)[at];
                break;
            case AV_SAMPLE_FMT_S16:
            case AV_SAMPLE_FMT_S16P:
                sum += reinterpret_cast<const std::int16_t *>(plane)[at] / 32768.0f;
                break;
            case AV_SAMPLE_FMT_S32:
            case AV_SAMPLE_FMT_S32P:
                sum += static_cast<float>(reinterpret_cast<const std::int32_t *>(plane)[at] / 2147483648.0);
                break;
            default:
                throw EAuException("Could not decode the recording: the decoder gave samples of an unknown kind.");
            }
        }
        Out[i] = sum * scale;
    }
    return n;
}

} // namespace

TBroadcastPcm DecodeBroadcastStretch(TBroadcastFormat Format, const std::uint8_t *Stream, std::size_t Size,
                                     const TBroadcastFrames &Frames, std::size_t First, std::size_t Count)
{
    if (Format != TBroadcastFormat::Mp3 && Format != TBroadcastFormat::Aac)
        throw EAuException("Only MP3 and AAC recordings can be decoded near a title change.");
    TBroadcastPcm pcm;
    pcm.SampleRate = Frames.SampleRate;
    const std::size_t frames = Frames.Offsets.size();
    First = std::min(First, frames);
    Count = std::min(Count, frames - First);
    const std::size_t spf = static_cast<std::size_t>(std::max(0, Frames.SamplesPerFrame));
    pcm.Mono.assign(Count * spf, 0.0f); // a frame that gives nothing stays silent
    if (Count == 0 || spf == 0)
        return pcm;

    ff::QuietFFmpegLog();
    const AVCodec *codec = avcodec_find_decoder(Format == TBroadcastFormat::Mp3 ? AV_CODEC_ID_MP3 : AV_CODEC_ID_AAC);
    if (!codec)
        fail("finding the decoder", AVERROR_DECODER_NOT_FOUND);
    ff::CodecContext ctx(avcodec_alloc_context3(codec));
    ff::Packet packet(av_packet_alloc());
    ff::Frame frame(av_frame_alloc());
    if (!ctx || !packet || !frame)
        fail("setting up the decoder", AVERROR(ENOMEM));
    if (const int rc = avcodec_open2(ctx.get(), codec, nullptr); rc < 0)
        fail("opening the decoder", rc);

    const std::size_t warm = warmUpFrames(Format, Stream, Size, Frames, First);
    std::vector<float> wide; // a frame decoded at twice the headers' rate
    for (std::size_t k = First - warm; k < First + Count; ++k) {
        const std::size_t bytes = frameBytes(Format, Stream, Size, Frames, k);
        if (bytes == 0)
            continue;
        av_packet_unref(packet.get());
        if (const int rc = av_new_packet(packet.get(), static_cast<int>(bytes)); rc < 0)
            fail("copying a frame", rc);
        std::memcpy(packet->data, Stream + Frames.Offsets[k], bytes);
        // A refused frame gives nothing: its stretch stays silent and the next frame goes on.
        if (avcodec_send_packet(ctx.get(), packet.get()) < 0)
            continue;
        // Both decoders give one frame per packet, without delay; whatever comes out belongs to
        // frame k, and only its first frame's worth is kept.
        std::size_t filled = 0;
        while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
            if (k >= First && filled < spf) {
                // HE-AAC: the headers give the core's rate, the decoder doubles it with the
                // spectral band replication; each pair of samples becomes one, so positions
                // stay in the headers' samples.
                const std::size_t n = static_cast<std::size_t>(std::max(0, frame->nb_samples));
                const std::size_t factor = filled == 0 && n > spf && n % spf == 0 ? n / spf : 1;
                if (factor > 1) {
                    wide.resize(n);
                    mixDown(frame.get(), wide.data(), n);
                    float *out = pcm.Mono.data() + (k - First) * spf;
                    for (std::size_t i = 0; i < spf; ++i) {
                        float sum = 0;
                        for (std::size_t j = 0; j < factor; ++j)
                            sum += wide[i * factor + j];
                        out[i] = sum / static_cast<float>(factor);
                    }
                    filled = spf;
                } else {
                    filled += mixDown(frame.get(), pcm.Mono.data() + (k - First) * spf + filled, spf - filled);
                }
            }
            av_frame_unref(frame.get());
        }
    }
    return pcm;
}
