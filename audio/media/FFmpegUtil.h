// Small owners for FFmpeg handles and the turning of FFmpeg error codes into text.
//
// Every FFmpeg object the media layer allocates is held by one of these owners from the moment
// it exists, so no early return or exception can leak it. Error codes become text only here, at
// the boundary: a message always names what was being done ("opening http://...: Connection
// refused").
//
// Internal to the media layer: this header brings in FFmpeg's, so only the layer's own sources
// (and tests that link FFmpeg themselves) include it.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libswresample/swresample.h>
}

#include <memory>
#include <string>

namespace ff {

// An input format context opened by avformat_open_input. Does not close a custom AVIOContext:
// that has its own owner (IOContext), which must outlive this one.
struct FormatInputDeleter {
    void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};
using FormatInput = std::unique_ptr<AVFormatContext, FormatInputDeleter>;

struct CodecContextDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

struct SwrDeleter {
    void operator()(SwrContext *s) const { swr_free(&s); }
};
using Resampler = std::unique_ptr<SwrContext, SwrDeleter>;

struct FilterGraphDeleter {
    void operator()(AVFilterGraph *g) const { avfilter_graph_free(&g); }
};
using FilterGraph = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;

// An AVIOContext made with avio_alloc_context over our own callbacks: frees its buffer (which
// FFmpeg may have replaced) and then the context.
struct CustomIODeleter {
    void operator()(AVIOContext *io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
using CustomIO = std::unique_ptr<AVIOContext, CustomIODeleter>;

// An AVIOContext opened with avio_open2 on a URL: closed with avio_closep.
struct OpenedIODeleter {
    void operator()(AVIOContext *io) const { avio_closep(&io); }
};
using OpenedIO = std::unique_ptr<AVIOContext, OpenedIODeleter>;

// An options dictionary; FFmpeg calls take Dict.ptr and may replace it.
struct Dict {
    AVDictionary *ptr = nullptr;
    Dict() = default;
    Dict(const Dict &) = delete;
    Dict &operator=(const Dict &) = delete;
    ~Dict() { av_dict_free(&ptr); }
    void Set(const char *key, const std::string &value) { av_dict_set(&ptr, key, value.c_str(), 0); }
    const char *Get(const char *key) const
    {
        AVDictionaryEntry *e = av_dict_get(ptr, key, nullptr, 0);
        return e ? e->value : nullptr;
    }
};

// A string FFmpeg allocated (av_opt_get and friends); freed with av_free.
struct AvFreeDeleter {
    void operator()(void *p) const { av_free(p); }
};
using AvString = std::unique_ptr<std::uint8_t, AvFreeDeleter>;

// av_strerror's text for an FFmpeg (negative) error code.
std::string ErrorText(int code);

// FFmpeg's own console messages are off (errors reach the user through our messages); the
// environment variable FONOLUX_FFMPEG_LOG=1 keeps them for debugging. Safe to call often.
void QuietFFmpegLog();

// "<doing>: <error text>", the form every media error message takes.
std::string Describe(const std::string &doing, int code);

} // namespace ff
