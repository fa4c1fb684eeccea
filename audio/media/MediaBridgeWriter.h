// The MediaBridge unit's writer section: PCM to WMA files (FFmpeg's wmav2 encoder in the ASF
// container), and the wma_writer record the recording tap embeds with its routines.
//
// A thin runtime-like layer: a codec-format list to choose from, a profile holding the chosen
// stream, a file sink, and a writer that takes PCM samples on one input. The writer encodes on
// a thread of its own: WriteSample queues a copy of the block and returns; the writer's thread
// converts, encodes and writes, and reports failures (a full disk, a refused write) as status
// WMT_ERROR to the status callbacks advised on its sink, on that thread. A failed write also
// makes every later WriteSample return the error. EndWriting keeps what reached the disk when
// the disk was full or the file reached its size limit (the recording up to that moment, for
// the user to save); after any other failure it removes the half-written file.
//
// Result codes (WMResult): 0 is success; anything else is an FFmpeg error code (negative) or
// one of the codes of MediaTypes.h and below; WMResultText describes each.
#pragma once

#include "MediaTypes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TComponent;

using WMResult = std::int32_t;
constexpr WMResult WM_S_OK = 0;
constexpr WMResult WM_E_INVALIDARG = E_INVALIDARG_RESULT;   // a bad argument
constexpr WMResult WM_E_NOTREADY = E_UNEXPECTED_RESULT;     // called out of order
constexpr WMResult WM_E_NOMATCHINGFORMAT = static_cast<WMResult>(0xC00D0BBC); // no such format
constexpr WMResult WM_E_NOCODEC = static_cast<WMResult>(0xC00D0BC2);      // the encoder is missing
constexpr WMResult WM_E_NOVBRSUPPORT = static_cast<WMResult>(0xC00D0BC4); // codec has no VBR formats

// A readable English text for a result code.
std::string WMResultText(WMResult Code);

// Writer statuses passed to a status callback's OnStatus (WMT_ERROR, 0, is in MediaTypes.h).
constexpr std::uint8_t WMT_NO_RIGHTS = 9;
constexpr std::uint8_t WMT_NO_RIGHTS_EX = 26;
constexpr std::uint8_t WMT_ERROR_WITHURL = 30;

// Media subtypes of a codec format.
enum TWMSubtype : std::uint8_t { WMMEDIASUBTYPE_PCM, WMMEDIASUBTYPE_WMAudioV8, WMMEDIASUBTYPE_WMAudio_Lossless };

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
constexpr std::uint16_t WAVE_FORMAT_WMAUDIO2 = 0x0161;

// One stream's configuration: a codec format as the codec list offers it, plus the stream's
// number and names once it goes into a profile. For audio codec formats, wBitsPerSample of the
// format block is the sample size of the PCM the format takes.
class TWMStreamConfig {
public:
    TMediaType MediaType;
    TWMSubtype Subtype = WMMEDIASUBTYPE_PCM;
    std::uint32_t Bitrate = 0;       // bits per second the encoder delivers
    std::uint8_t VBRQuality = 0;     // the "_VBRQUALITY" property of a VBR format
    std::uint16_t StreamNumber = 0;
    std::u16string StreamName;
    std::u16string ConnectionName;

    std::uint32_t GetBitrate() const { return Bitrate; }
    void SetStreamNumber(std::uint16_t Value) { StreamNumber = Value; }
    void SetStreamName(const std::u16string &Value) { StreamName = Value; }
    void SetConnectionName(const std::u16string &Value) { ConnectionName = Value; }
};

// The audio codecs and their formats, as the layer offers them for choosing (process-wide,
// built once, thread-safe to read). One codec, wmav2, with constant-bitrate formats of 16-bit
// PCM at 8000, 11025, 16000, 22050, 32000, 44100 and 48000 Hz, mono and stereo, from 32 to
// 320 kbit/s (up to 48 kbit/s at 8000 Hz, 64 at 11025, 96 at 16000, 128 at 22050, 256 at
// 32000, 192 for mono); listed by ascending bitrate, equal bitrates from the highest rate
// down. The bitrate of each format is the one the encoder really delivers for it. wmav2 has
// no VBR and no lossless formats, so VBR enumeration is refused. Empty when FFmpeg lacks the
// encoder.
class TWMCodecInfo {
public:
    WMResult GetCodecInfoCount(std::uint32_t &Count) const;
    // Name "_VBRENABLED": true asks for the codec's VBR formats (WM_E_NOVBRSUPPORT here).
    WMResult SetCodecEnumerationSetting(std::uint32_t Codec, const std::string &Name, bool Value);
    WMResult GetCodecFormatCount(std::uint32_t Codec, std::uint32_t &Count) const;
    WMResult GetCodecFormat(std::uint32_t Codec, std::uint32_t Index, TWMStreamConfig &Config) const;
    // Name "_VBRQUALITY": the quality of a VBR format (WM_E_INVALIDARG for a CBR format).
    WMResult GetCodecFormatProp(std::uint32_t Codec, std::uint32_t Index, const std::string &Name,
                                std::uint32_t &Value) const;

private:
    bool FVBREnumeration = false;
};

// A profile: its format version and its streams.
struct TWMProfile {
    std::uint32_t Version = 0;
    std::vector<TWMStreamConfig> Streams;
};
WMResult CreateEmptyProfile(std::uint32_t Version, TWMProfile &Profile);
// Adds a stream: refused (WM_E_INVALIDARG) for stream number 0 or one already used, and
// (WM_E_NOMATCHINGFORMAT) for a format the codec list does not offer.
WMResult AddStream(TWMProfile &Profile, const TWMStreamConfig &Config);

class TWMErrorCallback;

// The file sink: the file the writer writes. Open creates or truncates it with mode 0600 and
// never writes through a link: a link at the name is replaced by a new file.
class TWMFileSink {
public:
    TWMFileSink() = default;
    ~TWMFileSink();
    TWMFileSink(const TWMFileSink &) = delete;
    TWMFileSink &operator=(const TWMFileSink &) = delete;

    WMResult Open(const std::u16string &FileName);
    // Registers a status callback; the sink keeps a reference.
    WMResult Advise(std::shared_ptr<TWMErrorCallback> Callback);

    // Closes the file and removes it (a file that does not hold a finished recording).
    void Discard();

private:
    friend class TWMWriter;
    void Report(std::uint32_t Status, WMResult Result);
    void Close();

    struct AVIOContext *FIO = nullptr;
    std::string FPath;
    std::mutex FCallbacksLock;
    std::vector<std::shared_ptr<TWMErrorCallback>> FCallbacks;
};

// A sample: a buffer the caller fills and hands to WriteSample; then Release frees it.
class TWMSample {
public:
    std::uint8_t *GetBuffer() { return FData.data(); }
    std::uint32_t GetMaxLength() const { return static_cast<std::uint32_t>(FData.size()); }
    WMResult SetLength(std::uint32_t Length);
    std::uint32_t GetLength() const { return FLength; }
    void Release() { delete this; }

private:
    friend class TWMWriter;
    TWMSample() = default;
    ~TWMSample() = default;
    std::vector<std::uint8_t> FData;
    std::uint32_t FLength = 0;
};

// The writer. Calls come from one thread (the tap's worker); the writer's own thread does the
// encoding between BeginWriting and EndWriting.
class TWMWriter {
public:
    TWMWriter();
    ~TWMWriter(); // ends writing (discarding the result) if still writing
    TWMWriter(const TWMWriter &) = delete;
    TWMWriter &operator=(const TWMWriter &) = delete;

    // The sink stays owned by the caller and must outlive the writer's writing.
    WMResult AddSink(TWMFileSink *Sink);
    WMResult SetProfile(const TWMProfile &Profile);
    // Header attributes (stream 0 only): Type 1 is UTF-16 text of Length bytes (no terminator).
    WMResult SetAttribute(std::uint16_t Stream, const std::u16string &Name, std::uint32_t Type,
                          const std::uint8_t *Value, std::uint16_t Length);
    WMResult GetInputCount(std::uint32_t &Count) const;
    WMResult GetInputProps(std::uint32_t Input, TMediaType &Type) const;
    // Accepts PCM, 16-bit, 1 or 2 channels, 1000..384000 Hz, with a consistent block.
    WMResult SetInputProps(std::uint32_t Input, const TMediaType &Type);
    WMResult BeginWriting();
    WMResult AllocateSample(std::uint32_t Size, TWMSample *&Sample);
    // Queues the sample's bytes for encoding (the sample stays the caller's). Time is the
    // sample's time stamp in 100 ns units; stamps must not go backwards (the PCM itself is
    // taken as contiguous). Blocks while more than about two seconds of audio wait. Returns the
    // writer's first failure once one has happened.
    WMResult WriteSample(std::uint32_t Input, std::int64_t Time, std::uint32_t Flags, TWMSample *Sample);
    // Drains the queue, flushes the encoder, finishes the file and closes it. After a failure
    // the file is removed and the failure returned.
    WMResult EndWriting();

private:
    struct Engine;
    void WriterThread();
    WMResult Fail(WMResult Code);

    TWMFileSink *FSink = nullptr;
    bool FHaveProfile = false;
    TWMStreamConfig FStream;
    TMediaType FInputType;
    std::vector<std::pair<std::string, std::string>> FAttributes;
    std::unique_ptr<Engine> FEngine;

    std::thread FThread;
    std::mutex FQueueLock;
    std::condition_variable FQueueChanged;
    std::deque<std::vector<std::uint8_t>> FQueue; // guarded by FQueueLock
    std::size_t FQueuedBytes = 0;                 // guarded by FQueueLock
    std::size_t FQueueLimit = 0;
    bool FEnding = false;                         // guarded by FQueueLock
    std::atomic<WMResult> FError{WM_S_OK};        // first failure; set by either thread
    std::int64_t FLastTime = 0;
    bool FWriting = false;
};

// Reports the writer's errors to the wma_writer record (reference-counted through shared_ptr).
struct wma_writer;
class TWMErrorCallback {
public:
    static std::shared_ptr<TWMErrorCallback> Create(wma_writer *writer);
    explicit TWMErrorCallback(wma_writer *writer) : FWriter(writer) {}
    // Called on the writer's thread: statuses 0, 9, 26 and 30 go to the record's OnError with
    // its Owner and the status; others are ignored. Returns success.
    WMResult OnStatus(std::uint32_t Status, WMResult Result);

protected:
    wma_writer *FWriter;
};

using TWMWriterErrorProc = std::function<void(TComponent *owner, std::uint32_t reason)>;
using TWMConnectionProc = std::function<void(TComponent *owner)>;

// The writer side of a WMA recording, owned by the component that writes (the tap).
struct wma_writer {
    TComponent *Owner = nullptr;
    TWMWriter *writer = nullptr;
    TWMSample *buffer = nullptr;
    std::uint32_t input = 0;
    std::uint32_t BytesPerSecond = 0;
    std::int64_t TotalTime = 0;
    bool Initialized = false;
    TWMFileSink *file_sink = nullptr;
    void *network_sink = nullptr;   // not used: always null
    void *StatusCallback = nullptr; // not used: always null
    std::shared_ptr<TWMErrorCallback> ErrorCallback;
    TWMConnectionProc OnConnected;    // not used
    TWMConnectionProc OnDisconnected; // not used
    TWMWriterErrorProc OnError;
};

// Creates the sink and the writer for FileName (see the record): Initialized tells success.
void wma_writer_init(wma_writer &Writer, const std::u16string &FileName, TComponent *Owner,
                     TWMWriterErrorProc OnError);
// Chooses a codec format for PCM of Channels × Bits at SampleRate and configures the writer's
// profile and input. Target is the bitrate (bit/s; below 1000 kbit/s when VBR is off) or the VBR
// quality. Throws std::runtime_error "Failed to init codec" (also when the writer refuses the
// input's PCM format) or "fff".
void wma_writer_set_audio_properties(wma_writer &Writer, std::uint32_t Channels, std::uint32_t Bits,
                                     std::uint32_t Target, bool VBR, bool Lossless, std::uint32_t SampleRate);
// Sets a text header attribute of stream 0.
WMResult wma_writer_set_attribute(wma_writer &Writer, const std::u16string &Name, const std::u16string &Value);
// The codec format search: true with Config set when a format qualifies.
bool wma_writer_find_format(std::uint32_t Channels, std::uint32_t Bits, std::uint32_t Target, bool VBR,
                            bool Lossless, std::uint32_t SampleRate, TWMStreamConfig &Config);
WMResult wma_writer_begin(wma_writer &Writer);
// Writes one block; sets TotalTime to the time at its end. Returns the writer's result.
WMResult wma_writer_write(wma_writer &Writer, const void *Data, std::uint32_t Bytes);
// Ends writing (returns its result) and frees sink, writer and callback; Initialized := false.
WMResult wma_writer_free(wma_writer &Writer);
