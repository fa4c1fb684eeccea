#include "MediaDecoder.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

#include <cstring>

int TAudioDecoder::Open(const AVStream *Stream)
{
    Close();
    const AVCodec *codec = avcodec_find_decoder(Stream->codecpar->codec_id);
    if (!codec)
        return AVERROR_DECODER_NOT_FOUND;
    ff::CodecContext ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        return AVERROR(ENOMEM);
    int rc = avcodec_parameters_to_context(ctx.get(), Stream->codecpar);
    if (rc < 0)
        return rc;
    ctx->pkt_timebase = Stream->time_base;
    rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc < 0)
        return rc;
    FFrame.reset(av_frame_alloc());
    if (!FFrame)
        return AVERROR(ENOMEM);
    FCodec = std::move(ctx);
    return 0;
}

void TAudioDecoder::Close()
{
    FCodec.reset();
    FFrame.reset();
}

int TAudioDecoder::Send(const AVPacket *Packet)
{
    if (!FCodec)
        return AVERROR(EINVAL);
    return avcodec_send_packet(FCodec.get(), Packet);
}

int TAudioDecoder::Receive(AVFrame *&Frame)
{
    if (!FCodec)
        return AVERROR(EINVAL);
    av_frame_unref(FFrame.get());
    int rc = avcodec_receive_frame(FCodec.get(), FFrame.get());
    if (rc == 0)
        Frame = FFrame.get();
    return rc;
}

void TAudioDecoder::Flush()
{
    if (FCodec)
        avcodec_flush_buffers(FCodec.get());
}

// ---------------------------------------------------------------------------------------------

int TPcmConverter::Convert(const AVFrame *Frame, unsigned Channels, unsigned Bits,
                           const std::uint8_t *&Data, std::uint32_t &Length, unsigned Rate)
{
    if (Channels == 0 || Channels > 8 || (Bits != 16 && Bits != 24 && Bits != 32) || Frame->sample_rate <= 0)
        return AVERROR(EINVAL);
    const int outRate = Rate > 0 ? static_cast<int>(Rate) : Frame->sample_rate;
    AVChannelLayout inLayout{};
    if (Frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || Frame->ch_layout.nb_channels <= 0)
        av_channel_layout_default(&inLayout, Frame->ch_layout.nb_channels > 0 ? Frame->ch_layout.nb_channels : 1);
    else if (int rc = av_channel_layout_copy(&inLayout, &Frame->ch_layout); rc < 0)
        return rc;

    const bool same = FSwr && FInFormat == Frame->format && FInRate == Frame->sample_rate &&
                      av_channel_layout_compare(&FInLayout, &inLayout) == 0 && FOutChannels == Channels &&
                      FOutBits == Bits && FOutRate == outRate;
    if (!same) {
        FSwr.reset();
        AVChannelLayout outLayout{};
        av_channel_layout_default(&outLayout, static_cast<int>(Channels));
        SwrContext *swr = nullptr;
        const AVSampleFormat outFormat = Bits == 16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
        int rc = swr_alloc_set_opts2(&swr, &outLayout, outFormat, outRate, &inLayout,
                                     static_cast<AVSampleFormat>(Frame->format), Frame->sample_rate, 0, nullptr);
        ff::Resampler owner(swr);
        av_channel_layout_uninit(&outLayout);
        if (rc >= 0)
            rc = swr_init(owner.get());
        if (rc < 0) {
            av_channel_layout_uninit(&inLayout);
            return rc;
        }
        FSwr = std::move(owner);
        av_channel_layout_uninit(&FInLayout);
        FInLayout = inLayout;
        FInFormat = Frame->format;
        FInRate = Frame->sample_rate;
        FOutChannels = Channels;
        FOutBits = Bits;
        FOutRate = outRate;
    } else {
        av_channel_layout_uninit(&inLayout);
    }

    const unsigned sampleBytes = Bits == 16 ? 2 : 4;
    // At the frame's own rate this is the frame's length; resampling may give a little more.
    const int capacity = swr_get_out_samples(FSwr.get(), Frame->nb_samples);
    if (capacity < 0)
        return capacity;
    const std::size_t need = static_cast<std::size_t>(capacity) * Channels * sampleBytes;
    if (FBuffer.size() < need)
        FBuffer.resize(need);
    std::uint8_t *out = FBuffer.data();
    int frames = swr_convert(FSwr.get(), &out, capacity, const_cast<const std::uint8_t **>(Frame->extended_data),
                             Frame->nb_samples);
    if (frames < 0)
        return frames;
    std::size_t values = static_cast<std::size_t>(frames) * Channels;
    if (Bits == 24) {
        // Keep the upper three bytes of each 32-bit value; writing never overtakes reading.
        for (std::size_t i = 0; i < values; ++i)
            std::memmove(out + i * 3, out + i * 4 + 1, 3);
        Length = static_cast<std::uint32_t>(values * 3);
    } else {
        Length = static_cast<std::uint32_t>(values * sampleBytes);
    }
    Data = out;
    return 0;
}

void TPcmConverter::Reset()
{
    FSwr.reset();
    av_channel_layout_uninit(&FInLayout);
    FInFormat = -1;
}

// ---------------------------------------------------------------------------------------------

TTempoFilter::~TTempoFilter() { Close(); }

void TTempoFilter::Close()
{
    FGraph.reset();
    FSource = FSink = nullptr;
    FOut.reset();
}

int TTempoFilter::Open(const AVFrame *Sample, double Rate)
{
    Close();
    ff::FilterGraph graph(avfilter_graph_alloc());
    ff::Frame out(av_frame_alloc());
    if (!graph || !out)
        return AVERROR(ENOMEM);
    char layout[128] = "";
    AVChannelLayout l{};
    if (Sample->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&l, Sample->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&l, &Sample->ch_layout);
    av_channel_layout_describe(&l, layout, sizeof layout);
    av_channel_layout_uninit(&l);
    const std::string args = "time_base=1/" + std::to_string(Sample->sample_rate) +
                             ":sample_rate=" + std::to_string(Sample->sample_rate) + ":sample_fmt=" +
                             av_get_sample_fmt_name(static_cast<AVSampleFormat>(Sample->format)) +
                             ":channel_layout=" + layout;
    AVFilterContext *src = nullptr, *sink = nullptr;
    int rc = avfilter_graph_create_filter(&src, avfilter_get_by_name("abuffer"), "in", args.c_str(), nullptr,
                                          graph.get());
    if (rc < 0)
        return rc;
    rc = avfilter_graph_create_filter(&sink, avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr,
                                      graph.get());
    if (rc < 0)
        return rc;
    // One atempo covers 0.5 .. 100; chain halvings for slower rates.
    std::string chain;
    double r = Rate;
    while (r < 0.5) {
        chain += "atempo=0.5,";
        r /= 0.5;
    }
    chain += "atempo=" + std::to_string(r);
    AVFilterInOut *outputs = avfilter_inout_alloc();
    AVFilterInOut *inputs = avfilter_inout_alloc();
    if (!outputs || !inputs) {
        avfilter_inout_free(&outputs);
        avfilter_inout_free(&inputs);
        return AVERROR(ENOMEM);
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = src;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    rc = avfilter_graph_parse_ptr(graph.get(), chain.c_str(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&outputs);
    avfilter_inout_free(&inputs);
    if (rc < 0)
        return rc;
    rc = avfilter_graph_config(graph.get(), nullptr);
    if (rc < 0)
        return rc;
    FGraph = std::move(graph);
    FInRate = Sample->sample_rate;
    FInChannels = Sample->ch_layout.nb_channels;
    FInFormat = Sample->format;
    FSource = src;
    FSink = sink;
    FOut = std::move(out);
    return 0;
}

bool TTempoFilter::Fits(const AVFrame *Frame) const
{
    return Frame->sample_rate == FInRate && Frame->ch_layout.nb_channels == FInChannels && Frame->format == FInFormat;
}

int TTempoFilter::Push(AVFrame *Frame)
{
    if (!FGraph)
        return AVERROR(EINVAL);
    return av_buffersrc_add_frame_flags(FSource, Frame, AV_BUFFERSRC_FLAG_KEEP_REF);
}

int TTempoFilter::Pull(AVFrame *&Out)
{
    if (!FGraph)
        return AVERROR(EINVAL);
    av_frame_unref(FOut.get());
    int rc = av_buffersink_get_frame(FSink, FOut.get());
    if (rc == 0)
        Out = FOut.get();
    return rc;
}
