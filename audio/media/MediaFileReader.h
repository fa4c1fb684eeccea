// The synchronous media reader: decodes an audio file held in a byte stream of the program,
// pulled one decoded piece at a time on the caller's thread. It stands in for the platform
// runtime's synchronous reader, with the same vocabulary: outputs (one per stream of the file),
// output formats (the PCM forms an audio output can be delivered in), output settings, header
// attributes, a read range.
//
// What the layer offers for an audio output (all at the stream's own sample rate):
//   - the stream's own channel count at 16 bits; without "EnableDiscreteOutput" more than two
//     channels are folded down to stereo;
//   - with "EnableDiscreteOutput" on and a source deeper than 16 bits (lossless codecs), the same
//     channels at 24 bits too;
//   - a mono fold-down at 16 bits when the output has more than one channel;
//   - with "SpeakerConfig" 6 or 8, that many channels (up- or down-mixed) at 16 bits, and 24
//     bits when the source is deep and discrete output is on.
// The first format listed is an output's current format until another is chosen.
//
// Threading: one thread at a time (the component's open lock or data lock orders the callers).
//
// Internal to the media layer: this header brings in FFmpeg's, so only the layer's own sources
// (and tests that link FFmpeg themselves) include it.
#pragma once

#include "AuStreams.h"
#include "FFmpegUtil.h"
#include "MediaDecoder.h"
#include "MediaTypes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Size field of the status record Stat fills.
struct TStatStg {
    std::uint64_t cbSize = 0;
    std::uint32_t grfLocksSupported = 0;
};

// The stream adapter: presents a TStream of the program (not owned) to the reader. Results are
// 0 for success and -1 for failure, as the runtime's stream interface has them; an exception of
// the stream (an I/O error) becomes -1 here, so none ever crosses FFmpeg's C code. Positions are
// 64-bit throughout, so files beyond 4 GB seek correctly.
//
// BaseOffset hides the first bytes of the stream: the reader then sees the stream as if it began
// there (the reader's second opening attempt starts at offset 30).
class TAudioStream {
public:
    void AssignStream(TStream *Stream) { FStream = Stream; }
    TStream *Stream() const { return FStream; }
    void SetBaseOffset(std::int64_t Offset) { FBase = Offset; }
    std::int64_t BaseOffset() const { return FBase; }

    std::int32_t Read(void *pv, std::uint32_t cb, std::uint32_t *pcbRead);
    std::int32_t Write(const void *pv, std::uint32_t cb, std::uint32_t *pcbWritten);
    std::int32_t Seek(std::int64_t dlibMove, std::uint32_t dwOrigin, std::uint64_t *libNewPosition);
    std::int32_t SetSize(std::uint64_t libNewSize);
    std::int32_t Stat(TStatStg &statstg, std::uint32_t grfStatFlag);
    std::int32_t CopyTo() { return -1; }
    std::int32_t Commit() { return -1; }
    std::int32_t Revert() { return -1; }
    std::int32_t LockRegion() { return -1; }
    std::int32_t UnlockRegion() { return -1; }
    std::int32_t Clone(TAudioStream **Out)
    {
        if (Out)
            *Out = nullptr;
        return -1;
    }

private:
    TStream *FStream = nullptr;
    std::int64_t FBase = 0;
};

class TMediaFileReader {
public:
    TMediaFileReader();
    ~TMediaFileReader();
    TMediaFileReader(const TMediaFileReader &) = delete;
    TMediaFileReader &operator=(const TMediaFileReader &) = delete;

    using TClock = std::function<std::chrono::steady_clock::time_point()>;

    // Opens the file the stream holds, from the stream's base offset. 0, or an FFmpeg error
    // (AVERROR_INVALIDDATA for data FFmpeg cannot read). The stream must outlive the reader.
    //
    // Formats names the FFmpeg demuxers that may read it ("mp3", or a comma-separated list
    // like "asf,mp3,wav"); data that FFmpeg finds to be of another format is refused
    // (AVERROR(EINVAL)), and so is an empty list. Whatever the data says, the reader never
    // opens anything but the stream: no file, no address.
    // Opening gives up with AVERROR_EXIT once it has taken longer than the open bound.
    std::int32_t OpenStream(TAudioStream &Stream, const std::string &Formats);
    // How long opening may take (10 s unless set), measured by Clock (steady_clock when
    // empty). Before OpenStream.
    void SetOpenBound(std::chrono::milliseconds Bound, TClock Clock = {});
    std::int32_t Close();
    // Text of the last failure, naming what was being done.
    const std::string &LastError() const { return FLastError; }

    std::int32_t GetOutputCount(std::uint32_t &Count) const;
    // The output's current media type.
    std::int32_t GetOutputProps(std::uint32_t Output, TMediaType &Type) const;
    // "EnableDiscreteOutput" (BOOL) and "SpeakerConfig" (DWORD); other names are refused.
    std::int32_t SetOutputSetting(std::uint32_t Output, const std::string &Name, std::uint32_t Value);
    std::int32_t GetOutputFormatCount(std::uint32_t Output, std::uint32_t &Count) const;
    std::int32_t GetOutputFormat(std::uint32_t Output, std::uint32_t Index, TMediaType &Type) const;
    // Makes one of the output's offered formats current.
    std::int32_t SetOutputProps(std::uint32_t Output, const TMediaType &Type);
    std::int32_t GetStreamNumberForOutput(std::uint32_t Output, std::uint16_t &Stream) const;
    // Compressed delivery is not offered; decoded delivery always succeeds (FFmpeg reads no
    // protected content, so the protected-content refusal never comes from this layer).
    std::int32_t SetReadStreamSamples(std::uint16_t Stream, bool Compressed);

    // The next decoded piece of Stream as interleaved PCM in the output's current format. Data
    // points into the reader's own buffer, valid until the next call, SetRange or Close. Any
    // failure (also the end) is non-zero: AVERROR_EOF at the end.
    std::int32_t GetNextSample(std::uint16_t Stream, const std::uint8_t *&Data, std::uint32_t &Length);
    // Repositions reading at Start (100 ns units from the beginning); Duration 0 = to the end.
    // The next sample begins exactly at Start (decoding starts a little earlier so that codecs
    // with a bit reservoir deliver the same samples as a continuous read).
    std::int32_t SetRange(std::int64_t Start, std::int64_t Duration);

    THeaderInfo &HeaderInfo() { return FHeader; }

private:
    struct TOutput {
        int StreamIndex = -1;
        bool Audio = false;
        unsigned Channels = 0;
        unsigned SampleRate = 0;
        unsigned RawBits = 0;
        bool Discrete = false;
        std::uint32_t SpeakerConfig = 0;
        TWaveFormat Current;
    };

    std::vector<TWaveFormat> FormatsOf(const TOutput &Out) const;
    void FillHeader(TAudioStream &Stream);
    std::int32_t StartDecoding(std::uint32_t Output);
    std::int32_t Fail(const std::string &Doing, std::int32_t Code);

    // FFmpeg's callbacks; Opaque is the reader.
    static int ReadPacket(void *Opaque, std::uint8_t *Buf, int Size);
    static std::int64_t SeekPacket(void *Opaque, std::int64_t Offset, int Whence);
    static int Interrupted(void *Opaque);
    static int RefuseNestedOpen(AVFormatContext *Context, AVIOContext **Pb, const char *Url, int Flags,
                                AVDictionary **Options);
    bool PastDeadline() const;

    TAudioStream *FStream = nullptr;
    TClock FClock;
    std::chrono::milliseconds FOpenBound{10000};
    std::chrono::steady_clock::time_point FDeadline{};
    bool FDeadlineArmed = false; // only while opening
    ff::CustomIO FIO;          // must outlive FFormat
    ff::FormatInput FFormat;
    std::vector<TOutput> FOutputs;
    THeaderInfo FHeader;
    std::string FLastError;

    // Decoding state of the output being read.
    int FReadOutput = -1;
    TAudioDecoder FDecoder;
    TPcmConverter FConverter;
    ff::Packet FPacket;
    bool FInputEnded = false;
    std::int64_t FSkipUntil = AV_NOPTS_VALUE; // stream time base: drop samples before this
    // Time stamp of the first sample a read from the start delivers: range starts count from it,
    // so a seek lands where a continuous read would be (decoders that drop their first frames
    // as delay, like WMA's, start later than the container's start time).
    std::int64_t FFirstPts = AV_NOPTS_VALUE;
    bool FFromStart = false; // nothing was skipped since decoding began at the start

    std::int32_t FindFirstPts();
};
