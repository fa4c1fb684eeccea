// The asynchronous media reader: connects to a network stream (ICY/Icecast over http or https
// carrying MP3, AAC or Ogg Vorbis; HLS playlists as FFmpeg reads them; plain audio files served
// over http), decodes it on a reader thread of its own and hands each decoded piece, as
// interleaved 16-bit PCM at the stream's own rate and channel count, to a callback. It stands in
// for the platform runtime's asynchronous reader.
//
// Sequence: Open (returns at once; the thread connects and reports WMT_OPENED with a result),
// GetOutputCount/GetOutputProps/HeaderInfo, Start (WMT_STARTED), samples..., then Pause/Resume,
// Stop (WMT_STOPPED) and Close (WMT_CLOSED). The end of the stream is WMT_END_OF_FILE; a
// failure while reading is WMT_ERROR with the FFmpeg error as result.
//
// Safety: only network protocols are allowed (http, https, tcp, tls, crypto, hls) - a station
// address, a redirect or a playlist entry can never open a local file. Open refuses any other
// scheme at once. FFmpeg's "timeout" bounds the connect and every read; an interrupt callback
// lets Close end a blocked connect or read at once. Every request, the nested ones of an HLS
// playlist included, verifies the server's certificate against the trust store (TrustedCaFile)
// and may not be redirected from https to plain http. Only the formats and codecs stations use
// are opened (StationFormats, StationCodecs), at 8 to 192 kHz with 1 to 8 channels; anything
// else is refused with a message saying what was found.
//
// Failures are described in plain words (LastError): "connection refused", "timed out", "name
// not found", "not an audio stream", "certificate not trusted for HOST", "server error: HTTP
// 500 ...", each after what was being done ("connecting to http://...").
//
// Memory: the reader thread holds back (stops reading) while the callback reports that more than
// HoldBackSeconds of decoded audio is waiting to be consumed, so a consumer that stops reading
// never makes the queue grow without bound.
//
// Threading: every public call comes from the owner's threads (one at a time or from the owner's
// own lock); the callback is called on the reader thread (OnSample, WMT_OPENED, WMT_END_OF_FILE,
// WMT_ERROR) and on the caller's thread (WMT_STARTED from Start, WMT_STOPPED from Stop,
// WMT_CLOSED from Close). The callback must be thread-safe.
#pragma once

#include "AuPacketRing.h"
#include "FFmpegUtil.h"
#include "MediaDecoder.h"
#include "MediaTypes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The StreamTitle of a raw ICY metadata block ("StreamTitle='...';StreamUrl='...';", padded
// with NULs). A title may itself contain "';" (FFmpeg's own parser cuts it there), so the value
// runs to the "';" that precedes the next field or the end. False when the block has no
// StreamTitle. Pure; any thread.
bool ParseStreamTitle(const std::string &Packet, std::string &Title);

class TMediaNetReader {
public:
    static constexpr double HoldBackSeconds = 4.0;
    static constexpr const char *ProtocolWhitelist = "http,https,tcp,tls,crypto,hls";
    // Demuxers a station may use: MP3, ADTS AAC, Ogg (Vorbis, Opus, FLAC), FLAC, HLS and the
    // MPEG-TS (or packed audio) segments of HLS.
    static constexpr const char *StationFormats = "mp3,aac,ogg,flac,hls,mpegts";
    static constexpr const char *StationCodecs = "mp3float,mp3,aac,aac_fixed,aac_latm,vorbis,libvorbis,opus,libopus,flac";
    static constexpr unsigned MinSampleRate = 8000, MaxSampleRate = 192000, MaxChannels = 8;

    // The certificate authorities https servers are checked against, for every reader of the
    // process: the system's trust store by default; a test gives its own server's certificate.
    // Empty = FFmpeg's own default store. Any thread, before the readers that should use it open.
    static void SetTrustedCaFile(const std::string &Path);
    static std::string TrustedCaFile();

    TMediaNetReader();
    ~TMediaNetReader(); // closes
    TMediaNetReader(const TMediaNetReader &) = delete;
    TMediaNetReader &operator=(const TMediaNetReader &) = delete;

    // Network configuration, before Open. (FFmpeg buffers by itself and chooses its protocol
    // as the address says: there is no buffering time or protocol switch to set.)
    // An http proxy ("http" or empty protocol) for http and https addresses; others are refused.
    std::int32_t SetProxy(const std::string &Protocol, const std::string &Host, std::uint32_t Port);
    std::int32_t AddLoggingUrl(const std::string &Url);
    void ResetLoggingUrlList() { FLoggingUrls.clear(); }
    // Bound of the connect and of each read (FFmpeg's "timeout"); 0 = FFmpeg's default.
    void SetTimeoutMilliseconds(std::uint32_t Ms) { FTimeoutMs = Ms; }

    // Where the station's compressed packets go, before they are decoded: every packet of the
    // audio stream, in stream order, from the first one read (while opening) on. Called on the
    // reader thread (see IPacketSink). Before Open; null = none.
    void SetPacketSink(std::shared_ptr<IPacketSink> Sink) { FSink = std::move(Sink); }
    // Which of the formats the sink can keep the packets in: Mp3 for a bare MP3 stream, Aac for
    // ADTS AAC (packets as they are), Vorbis or Opus in Ogg (each packet framed as
    // TOggPacketHeader says); None for anything else (FLAC, HLS segments). Valid after a
    // successful WMT_OPENED.
    TBroadcastFormat BroadcastFormat() const { return FBroadcast.load(); }
    // The stream's codec headers, rate and channels for saving the packets (see
    // TBroadcastStream). Valid after a successful WMT_OPENED, until Close.
    const TBroadcastStream &BroadcastStream() const { return FBroadcastStream; }

    // Checks the address and starts connecting on the reader thread. E_INVALIDARG_RESULT (and
    // RefusalText) for an address that is not a network stream; 0 otherwise - the outcome then
    // arrives as WMT_OPENED.
    std::int32_t Open(const std::string &Url, std::shared_ptr<IMediaReaderCallback> Callback);
    const std::string &RefusalText() const { return FRefusal; }
    // The text of the last connect or read failure ("opening http://...: Connection refused").
    std::string LastError() const;

    // Valid after a successful WMT_OPENED.
    std::int32_t GetOutputCount(std::uint32_t &Count) const;
    std::int32_t GetOutputProps(std::uint32_t Output, TMediaType &Type) const;
    // "Duration" (QWORD, 100 ns; absent for a live stream), "Bitrate" (DWORD, bits per second),
    // "Title" (the current ICY StreamTitle or Vorbis title, updated while the stream plays),
    // "Author" (icy-name), "WM/Genre" (icy-genre), "Description" (icy-description), and the
    // container's own tags where it has them.
    THeaderInfo &HeaderInfo() { return FHeader; }

    // Starts (or restarts) delivery at Rate (1.0 normal; other rates through a tempo filter).
    // Start < 0 (all bits set) continues from the current position; 0 from the beginning, which
    // a live stream treats like the current position.
    std::int32_t Start(std::int64_t Start, std::int64_t Duration, float Rate);
    std::int32_t Pause();
    std::int32_t Resume();
    std::int32_t Stop();
    std::int32_t Close();

private:
    enum class TRun { Idle, Running, Paused, Stopped };

    void ThreadMain(std::string Url);
    std::int32_t Connect(const std::string &Url);
    std::int32_t Prime();
    std::int32_t ReadStep();
    void PassPacket();
    std::int32_t Deliver(AVFrame *Frame);
    std::int32_t DeliverConverted(AVFrame *Frame);
    void ReadIcyHeaders();
    void UpdateTitle();
    // The header's "Title" := Title (UTF-8), and the packet sink is told.
    void SetTitle(const std::string &Title);
    void SetError(const std::string &Doing, std::int32_t Code);
    std::string Reason(std::int32_t Code) const;
    void SetRequestOptions(AVDictionary **Options) const;
    std::int32_t RefuseDowngrade(const std::string &Url, AVIOContext *Io);
    std::int32_t ChooseFormat(const std::string &Mime, const AVInputFormat *&Format);
    static int InterruptCallback(void *Opaque);
    // FFmpeg's io_open for the format context: every request it makes (the playlist and the
    // segments of HLS) gets the reader's request options and the downgrade check.
    static int OpenRequest(AVFormatContext *S, AVIOContext **Pb, const char *Url, int Flags, AVDictionary **Options);

    // Configuration.
    std::string FProxy;
    std::vector<std::string> FLoggingUrls;
    std::uint32_t FTimeoutMs = 0;
    std::string FRefusal;

    std::shared_ptr<IMediaReaderCallback> FCallback;
    std::shared_ptr<IPacketSink> FSink; // set before Open, read by the reader thread
    std::atomic<TBroadcastFormat> FBroadcast{TBroadcastFormat::None}; // written before WMT_OPENED
    TBroadcastStream FBroadcastStream;                                  // written before WMT_OPENED
    std::vector<std::uint8_t> FFramed; // reader thread: an Ogg packet with its frame header
    std::thread FThread;
    std::atomic<bool> FAbort{false}; // read by the interrupt callback
    THeaderInfo FHeader;

    // Guarded by FLock: run state, output description, errors.
    mutable std::mutex FLock;
    std::condition_variable FWake;
    TRun FRun = TRun::Idle;
    bool FRestart = false;   // Start came: rebuild the tempo filter before the next piece
    float FRate = 1.0f;
    bool FOpened = false;
    bool FEnded = false;
    TMediaType FOutput;
    std::string FLastError;

    // Reader thread only: why the last request was refused by us rather than by FFmpeg, and
    // the address of the last request (the host a certificate failure names).
    std::string FOwnReason;
    std::string FRequestUrl;

    // Reader thread only.
    ff::OpenedIO FIO; // must outlive FFormat
    ff::FormatInput FFormat;
    int FStreamIndex = -1;
    TAudioDecoder FDecoder;
    TPcmConverter FConverter;
    TTempoFilter FTempo;
    float FTempoRate = 1.0f;
    ff::Packet FPacket;
    std::deque<ff::Frame> FPrimed; // frames decoded while opening, delivered after Start
    std::string FIcyPacket;        // last raw ICY metadata seen
    bool FIcyServer = false;       // the server answered with ICY headers (titles will come)
    std::uint64_t FHoldBackBytes = 0;
    bool FInputEnded = false;
};
