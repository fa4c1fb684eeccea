// The decoding pieces both media readers share: an audio decoder for one stream, a converter
// from decoded frames to interleaved integer PCM, and the tempo filter used when a stream plays
// faster or slower than recorded.
//
// None of these is thread-safe; each belongs to the one thread that reads its stream.
//
// Internal to the media layer: this header brings in FFmpeg's, so only the layer's own sources
// (and tests that link FFmpeg themselves) include it.
#pragma once

#include "FFmpegUtil.h"
#include "MediaTypes.h"

#include <cstdint>
#include <string>
#include <vector>

// Decodes the packets of one audio stream into frames.
class TAudioDecoder {
public:
    // Opens the stream's decoder; 0 or an FFmpeg error (AVERROR_DECODER_NOT_FOUND when FFmpeg
    // has no decoder for the codec).
    int Open(const AVStream *Stream);
    bool IsOpen() const { return FCodec != nullptr; }
    void Close();

    // Hands a packet to the decoder (nil = end of input, after which Receive drains what the
    // decoder still holds). Corrupt packets give AVERROR_INVALIDDATA; callers skip them.
    int Send(const AVPacket *Packet);
    // The next decoded frame, valid until the next call: 0, AVERROR(EAGAIN) when the decoder
    // needs another packet, AVERROR_EOF when drained after the end of input.
    int Receive(AVFrame *&Frame);
    // Drops everything the decoder holds (after a seek).
    void Flush();

    const AVCodecContext *Context() const { return FCodec.get(); }

private:
    ff::CodecContext FCodec;
    ff::Frame FFrame;
};

// Converts decoded frames to interleaved little-endian integer PCM: 16-, 24- or 32-bit, any
// channel count (FFmpeg's default layout for that count; down- and up-mixing as swresample does
// them), at the frame's own sample rate or at a given one (a stream whose rate changes midway
// keeps the rate it was opened with).
class TPcmConverter {
public:
    TPcmConverter() = default;
    TPcmConverter(const TPcmConverter &) = delete;
    TPcmConverter &operator=(const TPcmConverter &) = delete;
    ~TPcmConverter() { Reset(); }
    // Data points into the converter's own buffer and stays valid until the next Convert.
    // Rate 0 keeps the frame's own rate. Returns 0 or an FFmpeg error.
    int Convert(const AVFrame *Frame, unsigned Channels, unsigned Bits, const std::uint8_t *&Data,
                std::uint32_t &Length, unsigned Rate = 0);
    void Reset();

private:
    ff::Resampler FSwr;
    AVChannelLayout FInLayout{};
    int FInFormat = -1;
    int FInRate = 0;
    unsigned FOutChannels = 0;
    unsigned FOutBits = 0;
    int FOutRate = 0;
    std::vector<std::uint8_t> FBuffer;
};

// Plays frames faster or slower (Rate > 1 is faster) without changing the pitch: FFmpeg's
// atempo filter, chained where the rate lies outside one atempo's range of 0.5 .. 100.
class TTempoFilter {
public:
    ~TTempoFilter();
    // Builds the graph for frames shaped like Sample; 0 or an FFmpeg error.
    int Open(const AVFrame *Sample, double Rate);
    bool IsOpen() const { return FGraph != nullptr; }
    void Close();
    // Pushes a frame (nil = end of input) and pulls the next filtered frame: 0 with Out filled,
    // AVERROR(EAGAIN) when the filter needs more input, AVERROR_EOF at the end.
    int Push(AVFrame *Frame);
    int Pull(AVFrame *&Out);
    // The graph takes frames of the rate, channel count and sample format it was built for.
    bool Fits(const AVFrame *Frame) const;

private:
    ff::FilterGraph FGraph;
    AVFilterContext *FSource = nullptr; // owned by FGraph
    AVFilterContext *FSink = nullptr;   // owned by FGraph
    ff::Frame FOut;
    int FInRate = 0, FInChannels = 0, FInFormat = -1;
};
