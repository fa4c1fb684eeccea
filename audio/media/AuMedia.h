// Media inputs: TWMStreamedIn plays a network stream (internet radio); TWMIn decodes an audio
// file (WMA, MP3, WAV or FLAC) from a file name or an assigned stream.
//
// Data blocks: ProduceBlock hands out pointers into the input's own memory (a queued copy of a
// decoded piece for the stream input; the decoder's buffer for the file input), valid until the
// next GetData, ProduceBlock or Flush. 0 bytes = end of data.
//
// Threads and locks: the output's worker runs Init, GetData and Flush (DataCS held); the window
// thread reads formats and properties (they open the source under OpenCS) and calls _Pause,
// _Resume, ResetStretch. The stream input's reader thread queues decoded pieces under the
// record's CriticalSection; events (OnStreamOpened, OnStartedPlaying) are posted to the shared
// event handler and run on the window thread.
//
// Waiting on the window thread: connecting (HasAudio, a format getter, Valid), Pause (_Pause),
// Reset and the name setters may wait up to MaxWaitMilliseconds, for the connect itself or for
// a worker that holds the input's locks while it connects or waits for data. On the window
// thread these waits call the dispatcher's PumpWhileWaiting at least every 20 ms (see
// AuEvents.h, also for what a handler may do meanwhile). FileName, WideFileName, ErrorMsg,
// ErrorDetail, StreamTitle, TotalTime and the other display reads never wait for a connect.
#pragma once

#include "AuClasses.h"
#include "MediaBridge.h"
#include "MediaBridgeWriter.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class TId3v2Tags;

using TStreamedAudioEvent = std::function<void(TComponent *Sender)>;

// ---------------------------------------------------------------------------------------------
// The network stream input.
//
// FileName holds the station's address: http or https (ICY streams in MP3, AAC, Ogg Vorbis;
// plain files), or an HLS playlist. Any other scheme (file:, concat:, a plain path...) is
// refused with a message that says so. Opening connects and waits at most
// MaxWaitMilliseconds; it posts OnStreamOpened whether or not the connection succeeded (ErrorMsg
// tells which). Decoded audio arrives as 16-bit PCM at the stream's own rate and channels.
//
// Stale events: each opening (a real one: not the no-op on an input that is already open)
// counts RunNumber() up; OnStreamOpened is queued under the number of the opening it reports,
// OnStartedPlaying under that of the opening that is playing. A handler compares EventRun()
// (the number of the event being handled) with RunNumber(): they differ for an event of an
// earlier opening that arrives after a new one began (a stall restart, an abandoned station).
//
// Memory: decoded pieces wait in a queue; the reader stops reading while more than about four
// seconds of audio wait, so a stalled consumer never makes the queue grow without bound.
class TWMStreamedIn : public TAuTaggedFileIn {
public:
    explicit TWMStreamedIn(TComponent *AOwner = nullptr);
    ~TWMStreamedIn() override;

    // Opens the stream when it is not open (blocking up to MaxWaitMilliseconds, pumping on the
    // window thread; raises "Can't Connect" for an address that does not answer) and tells
    // whether it carries audio.
    bool HasAudio();
    // The number of the latest opening (0 before the first). Any thread.
    std::uint32_t RunNumber() const { return FRunNumber.load(); }
    // Inside a handler of this input's events: the opening the event belongs to; elsewhere
    // RunNumber(). Stale when EventRun() != RunNumber().
    std::uint32_t EventRun() const { return HandledEventRun(this, RunNumber()); }
    std::uint32_t Bitrate() const { return FBitrate; }
    // Empty unless opening or starting failed. Any thread.
    std::string ErrorMsg() const;
    TId3v2Tags *Id3v2Tags() const { return FId3v2Tags.get(); }
    bool TimedOut() const { return reader.TimedOut.load(); }
    // What went wrong at the last failed opening, in the media layer's words ("connecting to
    // http://...: Connection refused"); empty when nothing failed or nothing more is known.
    // Any thread; never waits.
    std::string ErrorDetail();
    // The reader's latest status code (0 none/error, 1 opened, 4 end, 11 started, 12 stopped,
    // 13 closed). Any thread.
    std::uint8_t ReaderStatus() const { return reader.status.load(); }
    // The stream's current title (ICY StreamTitle or the Ogg title), which changes while the
    // stream plays; Id3v2Tags holds the title at opening. Empty when closed, and while an
    // opening or closing is in progress (never waits). Any thread.
    std::u16string StreamTitle();

    // Where the station's compressed packets go (every packet of the audio stream, on the
    // reader thread, as TMediaNetReader::SetPacketSink says), from the next opening on; null =
    // none. Any thread.
    void SetPacketSink(std::shared_ptr<IPacketSink> Sink);
    // The format of those packets for the open stream: Mp3 or Aac when they can be kept as
    // they are, None otherwise and while closed. Any thread.
    TBroadcastFormat BroadcastFormat() const { return reader.Broadcast.load(); }
    // The open stream's codec headers, rate and channels for saving its packets (empty for
    // MP3 and AAC, and while closed). Any thread; a copy.
    TBroadcastStream BroadcastStream() const;

    // Bytes of decoded audio queued and not yet consumed. Any thread.
    std::uint64_t QueuedBytes() const { return reader.QueuedBytes.load(); }

    // Stores NewStretch and restarts the reader from the current position at that rate.
    void ResetStretch(float NewStretch);
    void _Pause() override;
    void _Resume() override;

    std::uint32_t TotalTime() override;

    float StretchFactor() const { return FStretchFactor; }
    void SetStretchFactor(float Value) { FStretchFactor = Value; }
    // BufferingTime and the three protocol switches are the input's published properties; the
    // media layer does not use them (FFmpeg buffers by itself and takes the protocol from the
    // address). BufferingTime values outside 1..60 are ignored.
    std::uint16_t BufferingTime() const { return FBufferingTime; }
    void SetBufferingTime(std::uint16_t Value);
    bool EnableHTTP() const { return FEnableHTTP; }
    void SetEnableHTTP(bool Value) { FEnableHTTP = Value; }
    bool EnableTCP() const { return FEnableTCP; }
    void SetEnableTCP(bool Value) { FEnableTCP = Value; }
    bool EnableUDP() const { return FEnableUDP; }
    void SetEnableUDP(bool Value) { FEnableUDP = Value; }
    std::uint32_t MaxWaitMilliseconds() const { return FMaxWait; }
    void SetMaxWaitMilliseconds(std::uint32_t Value) { FMaxWait = Value; }
    std::string ProxyProtocol() const { return FProxyProtocol; }
    void SetProxyProtocol(const std::string &Value) { FProxyProtocol = Value; }
    std::string ProxyHost() const { return FProxyHost; }
    void SetProxyHost(const std::string &Value) { FProxyHost = Value; }
    std::uint32_t ProxyPort() const { return FProxyPort; }
    void SetProxyPort(std::uint32_t Value) { FProxyPort = Value; }
    std::string LoggingURL() const { return FLoggingURL; }
    void SetLoggingURL(const std::string &Value) { FLoggingURL = Value; }

    TStreamedAudioEvent OnStreamOpened() const;
    void SetOnStreamOpened(TStreamedAudioEvent Value);
    TStreamedAudioEvent OnStartedPlaying() const;
    void SetOnStartedPlaying(TStreamedAudioEvent Value);

protected:
    void OpenInputFile() override;
    void CloseInputFile() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;
    // A stream cannot be repositioned.
    bool SeekSource(std::int64_t &SampleNum) override;

    void SetErrorMsg(const std::string &Value);
    void SetErrorDetail(const std::string &Value);
    // Queues Handler (when set) for the window thread under opening number Run.
    void Post(const TStreamedAudioEvent &Handler, std::uint32_t Run);

    wma_async_reader reader;
    std::uint32_t FBitrate = 0;
    float FStretchFactor = 1.0f;
    std::uint16_t FBufferingTime = 2;
    bool FEnableHTTP = false, FEnableTCP = false, FEnableUDP = false;
    std::uint32_t FMaxWait = 10000;
    std::string FProxyProtocol, FProxyHost;
    std::uint32_t FProxyPort = 0;
    std::string FLoggingURL;
    std::string FErrorMsg;    // guarded by FSmallCS
    std::string FErrorDetail; // guarded by FSmallCS
    std::atomic<std::uint32_t> FRunNumber{0};       // openings begun (under OpenCS)
    std::atomic<std::uint32_t> FOpenedRun{0};       // the opening that succeeded last
    std::atomic<std::uint32_t> FDurationSeconds{0}; // of the open stream; 0 live or closed
    TStreamedAudioEvent FOnStreamOpened, FOnStartedPlaying; // guarded by FSmallCS
    std::shared_ptr<IPacketSink> FPacketSink;                // guarded by FSmallCS
    TBroadcastStream FBroadcastStream;                       // guarded by FSmallCS
    bool FFirstTime = false; // worker, under DataCS

private:
    mutable std::mutex FSmallCS;
};

// ---------------------------------------------------------------------------------------------
// The file input.

enum TChannelsNumber : std::uint8_t { cnMaxAvailable, cnMonoOrStereo, cn5dot1, cn7dot1 };

struct TWMAFormatSpec {
    std::uint32_t BitsPerSample = 0;
    std::uint32_t Channels = 0;
    std::uint32_t SampleRate = 0;
};

// Decodes a file to PCM. Only the formats FileFormats names are read (WMA, the ring's own files;
// MP3, WAV and FLAC), and a file never makes the input open anything else: data that looks
// like a playlist or a manifest is no audio, however it is named. The input's length comes from the header's duration (hundredths of a
// second), so a run never delivers more than that even when the decoder has more. Seeking is
// sample-exact for MP3 (the decoder starts a little before the target and drops what precedes
// it) and within a millisecond for WMA.
class TWMIn : public TAuTaggedFileIn {
public:
    explicit TWMIn(TComponent *AOwner = nullptr);
    ~TWMIn() override;

    bool HasAudio();
    bool IsProtected();
    std::uint32_t Bitrate();
    bool IsVBR();
    TId3v2Tags *Id3v2Tags();
    std::uint32_t FormatsCount();
    TWMAFormatSpec GetFormatSpec(std::int32_t Index);
    std::int32_t FormatSelected() const { return FFormat; }
    void SetFormatSelected(std::int32_t Value);

    bool HighPrecision() const { return FHighPrecision; }
    void SetHighPrecision(bool Value);
    TChannelsNumber OutputChannels() const { return FOutputChannels; }
    void SetOutputChannels(TChannelsNumber Value);

    std::int64_t StartSample() const { return FStartSample.load(); }
    void SetStartSample(std::int64_t Value) { FStartSample = Value; }
    std::int64_t EndSample() const { return FEndSample.load(); }
    void SetEndSample(std::int64_t Value) { FEndSample = Value; }

    // The header duration in hundredths of a second (opens the file).
    std::uint32_t Duration();

protected:
    void OpenInputFile() override;
    void CloseInputFile() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;
    bool SeekSource(std::int64_t &SampleNum) override;
    // FDuration, the format, FTotalSamples and FSize from the reader (opening steps 6-8);
    // TMP3In adds its third of a second.
    virtual void TakeLength();
    // The FFmpeg demuxers that may read the file (see TMediaFileReader::OpenStream).
    virtual const char *FileFormats() const { return "asf,mp3,wav,flac"; }
    bool NameOrStreamSet();

    wma_sync_reader reader;
    std::uint32_t FDuration = 0;
    bool FHighPrecision = false;
    TChannelsNumber FOutputChannels = cnMonoOrStereo;
    std::int32_t FFormat = 0;
};

// ---------------------------------------------------------------------------------------------
// The WMA recording tap.
//
// A tap (TAudioTap) that writes the blocks passing through it into a WMA file: wmav2 in ASF,
// through the MediaBridge writer (MediaBridgeWriter.h), whose codec format is chosen for the
// Input's format from DesiredBitrate (below 1000: kbit/s). The file carries the header
// attributes of Id3v2Tags. The hooks run on the output's worker inside the tap's GetData;
// blocks are queued to the writer's own thread, which encodes and writes them.
//
// OnOutputError(Sender = the tap, Reason = the writer's status, 0 for an error) is called on the
// writer's thread when writing fails (a full disk, for instance); a handler that touches the
// window must pass the work to the window thread itself. The failure also makes the next
// block's write raise "Failed to write data: <8 hex digits>" (the writer's result, e.g.
// FFFFFFE4 for a full disk), which ends the output's run, and the unfinished file is removed.

using TOutputErrorEvent = std::function<void(TComponent *Sender, std::uint32_t Reason)>;

class TWMATap : public TAudioTap {
public:
    explicit TWMATap(TComponent *AOwner = nullptr);
    ~TWMATap() override;

    // Takes effect at the next file. The setter copies the given set (Assign); it may be
    // called while a recording runs, the next file's open takes a consistent copy.
    TId3v2Tags *Id3v2Tags() const { return FTags.get(); }
    void SetId3v2Tags(const TId3v2Tags *Value);
    std::uint32_t DesiredBitrate() const { return FBitrate; }
    void SetDesiredBitrate(std::uint32_t Value) { FBitrate = Value; }
    bool Lossless() const { return FLossless; }
    void SetLossless(bool Value) { FLossless = Value; }
    bool VBR() const { return FVBR; }
    void SetVBR(bool Value) { FVBR = Value; }
    std::uint8_t VBRQuality() const { return FVBRQuality; }
    void SetVBRQuality(std::uint8_t Value) { FVBRQuality = Value; }
    // Any thread. The handler is called on the writer's own thread (neither the window thread
    // nor the output's worker) when writing the file fails; inside it EventRun() is the
    // recording it belongs to. It must post and return, never block: the worker may at that moment wait for
    // the writer's thread (closing the file joins it) while holding the chain's locks, so a
    // handler that waits for the window thread, calls the tap or its output, or takes a chain
    // lock can deadlock. Post the report to the window thread (a window-call queue) and act
    // there, checking EventRun() against RunNumber().
    TOutputErrorEvent OnOutputError() const;
    void SetOnOutputError(TOutputErrorEvent Value);

protected:
    // Raises EAuException "File name is not assigned.", std::runtime_error "Cannot create file",
    // "Failed to init codec" or "fff", and EAuException "Filed to set data writer, possible
    // reason: required WMA codec not installed.".
    void OpenTapFile() override;
    // Ends writing (its result is ignored) and frees the writer; Writer.Initialized := false.
    void CloseTapFile() override;
    void WriteTapBlock(const void *Block, std::uint32_t BufferLen) override;

    std::unique_ptr<TId3v2Tags> FTags;
    std::uint32_t FBitrate = 0;
    bool FLossless = false;
    bool FVBR = false;
    std::uint8_t FVBRQuality = 0;
    wma_writer Writer;

private:
    void WriterError(TComponent *Owner, std::uint32_t Reason);

    std::mutex FTagsCS;            // guards FTags between SetId3v2Tags and OpenTapFile (worker)
    mutable std::mutex FHandlerCS; // guards FOnOutputError (window thread vs writer thread)
    TOutputErrorEvent FOnOutputError;
};
