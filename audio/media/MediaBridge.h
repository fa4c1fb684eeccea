// The bridge between the audio components and the media readers: the records the components
// embed (wma_sync_reader for files, wma_async_reader for network streams) and the routines that
// open, read, seek, pause, restretch and close them. The readers themselves (MediaFileReader.h,
// MediaNetReader.h) do the FFmpeg work; these routines hold the components' algorithms.
//
// Reader part and writer part are kept apart: everything here reads. The WMA writer has its own
// section of this unit (its own header and source files).
//
// Errors raise EAuException with the message the component documents.
//
// The readers are only declared here: their headers bring in FFmpeg's, which stay inside the
// media layer, so the components' users (the windows) compile without them.
#pragma once

#include "AuPacketRing.h"
#include "AuStreams.h"
#include "MediaTypes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Channel requests of the file reader (TChannelsNumber turns into these).
constexpr std::int32_t ChannelRequestMaxAvailable = -1;
constexpr std::int32_t ChannelRequestMonoOrStereo = 0;

class TAudioStream;     // MediaFileReader.h
class TMediaFileReader; // MediaFileReader.h
class TMediaNetReader;  // MediaNetReader.h

// Rounding of a header duration (100 ns units) to hundredths of a second, halves to even.
std::uint32_t DurationToHundredths(std::int64_t Duration100ns);
// ... and to whole seconds, halves to even.
std::int64_t DurationToSeconds(std::int64_t Duration100ns);

// =============================================================================================
// Reading files

// The synchronous reader of a file input. Used by one thread at a time (the input's OpenCS and
// DataCS order its callers).
struct wma_sync_reader {
    // Out of line, where the reader's type is complete.
    wma_sync_reader();
    ~wma_sync_reader();
    wma_sync_reader(wma_sync_reader &&) noexcept;
    wma_sync_reader &operator=(wma_sync_reader &&) noexcept;

    std::shared_ptr<TAudioStream> AudioStream; // the adapter over the input's stream
    std::unique_ptr<TMediaFileReader> reader;  // nil when not open
    // The decoded piece being handed out (owned by reader, valid until its next read); nil
    // between pieces.
    const std::uint8_t *buffer = nullptr;
    std::uint32_t buffer_length = 0;
    THeaderInfo *HeaderInfo = nullptr; // reader's header attributes
    std::uint32_t offset = 0;          // bytes of buffer already handed out
    std::shared_ptr<TAudioStream> AuStream; // the adapter as the reader holds it
    std::uint16_t stream = 0;
    std::uint32_t output = 0;
    bool has_audio = false;
    bool _protected = false;
    std::int32_t channels = 0;
    std::int32_t SampleRate = 0;
    std::int32_t BitsPerSample = 0;
    std::int64_t duration = 0; // 100 ns units
};

// Opens the reader on Stream (not owned; it must outlive the reader), read by the demuxers
// Formats names (see TMediaFileReader::OpenStream). HighPrecision is the
// "EnableDiscreteOutput" setting; ChannelRequest is -1 (richest), 0 (the file's own channels
// and rate), 6 or 8. When the data cannot be read, Reader.reader stays nil. Never raises.
void SyncReaderOpen(wma_sync_reader &Reader, TStream *Stream, const std::string &Formats, bool HighPrecision,
                    std::int32_t ChannelRequest);
// Closes the reader and releases the held piece, the header accessor and the adapter.
void SyncReaderClose(wma_sync_reader &Reader);
// The next bytes in place: at most Bytes of the held piece (fetching the next piece when it is
// used up). Bytes = 0 and Buffer nil at the end. Buffer stays valid until the next call.
void SyncReaderGetData(wma_sync_reader &Reader, std::uint8_t *&Buffer, std::uint32_t &Bytes);
// Starts reading at Time (100 ns units) to the end; the held piece is dropped, so the next
// bytes come from the new position. False when the reader cannot reposition.
bool SyncReaderSeek(wma_sync_reader &Reader, std::int64_t Time);
// Output formats of the chosen output with "EnableDiscreteOutput" set to Discrete.
std::uint32_t SyncReaderFormatCount(wma_sync_reader &Reader, bool Discrete);
// Format Index (with discrete output as given); false when there is none or it is not PCM.
bool SyncReaderGetFormat(wma_sync_reader &Reader, std::uint32_t Index, bool Discrete, TWaveFormat &Format);
// Makes format Index current (discrete output as given); a PCM format updates channels,
// SampleRate and BitsPerSample. False when it could not be chosen.
bool SyncReaderSelectFormat(wma_sync_reader &Reader, std::uint32_t Index, bool Discrete);
// A 4- or 8-byte attribute; false when it cannot be read.
bool SyncReaderGetDword(wma_sync_reader &Reader, const std::string &Name, std::uint32_t &Value);
// A text attribute by name (two calls: length, then text); empty when absent or unreadable.
std::u16string SyncReaderGetText(wma_sync_reader &Reader, const std::string &Name);

// =============================================================================================
// Reading network streams

// An auto-reset event that can also be pulsed: Pulse wakes the threads waiting at that moment
// and leaves no signal behind. WaitFor also returns as soon as Ready() holds, so a sample that
// arrives between a consumer's queue test and its wait is never slept through.
class TStreamEvent {
public:
    void Set();
    void Pulse();
    // True when set or pulsed (the signal is consumed) or when Ready() returned true; false
    // after Ms milliseconds.
    bool WaitFor(std::uint32_t Ms, const std::function<bool()> &Ready);

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    bool FSet = false;
    std::uint64_t FPulses = 0;
};

// One queued piece of decoded PCM: an owned copy of one reader sample.
struct TQueuedBlock {
    std::unique_ptr<std::uint8_t[]> Data;
    std::int32_t Size = 0;
    std::int32_t Used = 0; // bytes already handed out
};

struct wma_async_reader;

// The reader's callback: stores status codes, queues samples. Called on the reader's thread
// and on the threads that start, stop and close the reader.
class TWMReaderCallback : public IMediaReaderCallback {
public:
    explicit TWMReaderCallback(wma_async_reader *Reader) : FReader(Reader) {}
    std::int32_t OnStatus(std::uint8_t Status, std::int32_t Result) override;
    std::int32_t OnSample(std::uint32_t Output, std::int64_t Time, const std::uint8_t *Data,
                          std::uint32_t Length) override;
    std::uint64_t QueuedBytes() const override;

private:
    wma_async_reader *FReader;
};

// The record of a network stream input. Fields written by the reader's threads are atomics;
// BlockList is guarded by CriticalSection (its count is also kept in BlockCount, read without
// the lock).
struct wma_async_reader {
    // Out of line, where the reader's type is complete.
    wma_async_reader();
    ~wma_async_reader();

    std::atomic<std::uint8_t> status{0};
    std::unique_ptr<TMediaNetReader> reader; // nil when closed or not connected
    std::uint32_t MaxWaitMilliseconds = 0;
    float StretchFactor = 1.0f;
    std::unique_ptr<std::deque<TQueuedBlock>> BlockList; // exists while a stream with audio is open
    std::shared_ptr<TWMReaderCallback> WMReaderCallback;
    std::unique_ptr<TStreamEvent> Event;
    std::unique_ptr<std::mutex> CriticalSection;
    THeaderInfo *HeaderInfo = nullptr;
    std::atomic<bool> TimedOut{false};
    std::atomic<bool> Paused{false};
    std::uint32_t output = 0;
    bool has_audio = false;
    std::int32_t channels = 0, SampleRate = 0, BitsPerSample = 0;
    std::uint32_t Bitrate = 0;
    std::int64_t duration = 0; // whole seconds; 0 for a live stream
    // Given to each reader before it opens (kept across AsyncReaderCreate); the reader calls it
    // on its thread with every compressed packet. Window thread, before AsyncReaderOpen.
    std::shared_ptr<IPacketSink> PacketSink;
    // The format of the packets given to PacketSink, once opened (None when closed).
    std::atomic<TBroadcastFormat> Broadcast{TBroadcastFormat::None};
    TBroadcastStream Stream; // the same with the codec headers; written by AsyncReaderOpen

    // Bookkeeping of our own: queued blocks and their bytes (the reader holds back above a few
    // seconds of audio), and the text of the last failure for messages.
    std::atomic<std::size_t> BlockCount{0};
    std::atomic<std::uint64_t> QueuedBytes{0};
    std::string ErrorText;
};

// Clears the record, sets MaxWaitMilliseconds 10000 and StretchFactor 1.0, creates the reader.
void AsyncReaderCreate(wma_async_reader &Reader);
// Proxy host and port for Protocol.
void AsyncReaderSetProxy(wma_async_reader &Reader, const std::string &Protocol, const std::string &Host,
                         std::uint32_t Port);
// False when the reader refuses the logging address.
bool AsyncReaderAddLoggingUrl(wma_async_reader &Reader, const std::string &Url);
// Connects to Url and starts it (see TWMStreamedIn). Waits at most MaxWaitMilliseconds for the
// connection (pumping on the window thread, see WaitPumping). On a connection that did not
// complete, reader is nil afterwards (TimedOut set).
// Raises EAuException "Result <decimal>" when the request itself is refused (an address that is
// not a network stream; ErrorText then says so), "Failed seting buffering." and
// "Result <8 hex digits>" as documented.
void AsyncReaderOpen(wma_async_reader &Reader, const std::string &Url);
// True when the queue holds a block; waits at most MaxWaitMilliseconds for one otherwise.
bool AsyncReaderWaitForData(wma_async_reader &Reader);
// The next bytes in place (at most Bytes, never more than one block); Bytes = 0 at the end.
void AsyncReaderGetData(wma_async_reader &Reader, void *&Buffer, std::uint32_t &Bytes);
void AsyncReaderPause(wma_async_reader &Reader);
void AsyncReaderResume(wma_async_reader &Reader);
// Pauses and starts again from the current position at NewStretch.
void AsyncReaderResetStretch(wma_async_reader &Reader, float NewStretch);
// Stops and closes the reader, wakes a waiting reader thread and frees every queued block.
void AsyncReaderClose(wma_async_reader &Reader);
// A header text (two calls: length, then text); empty when absent.
std::u16string AsyncReaderGetText(wma_async_reader &Reader, const std::string &Name);
