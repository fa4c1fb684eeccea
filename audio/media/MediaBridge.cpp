#include "MediaBridge.h"

#include "AuEvents.h"
#include "AuException.h"
#include "MediaFileReader.h"
#include "MediaNetReader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

std::uint32_t DurationToHundredths(std::int64_t Duration100ns)
{
    const std::int64_t v = RoundHalfEven(static_cast<double>(Duration100ns) / 100000.0);
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, UINT32_MAX));
}

std::int64_t DurationToSeconds(std::int64_t Duration100ns)
{
    return RoundHalfEven(static_cast<double>(Duration100ns) / 10000000.0);
}

wma_sync_reader::wma_sync_reader() = default;
wma_sync_reader::~wma_sync_reader() = default;
wma_sync_reader::wma_sync_reader(wma_sync_reader &&) noexcept = default;
wma_sync_reader &wma_sync_reader::operator=(wma_sync_reader &&) noexcept = default;

wma_async_reader::wma_async_reader() = default;
wma_async_reader::~wma_async_reader() = default;

namespace {

// Reads an attribute of up to 8 bytes into Value (little-endian, zero-extended).
bool ReadNumber(const THeaderInfo *Header, const std::string &Name, std::uint16_t Size, std::uint64_t &Value)
{
    if (!Header)
        return false;
    std::uint8_t bytes[8] = {};
    std::uint16_t length = Size;
    TAttrDataType type;
    if (Header->GetAttributeByName(Name, type, bytes, length) != 0)
        return false;
    Value = 0;
    std::memcpy(&Value, bytes, std::min<std::uint16_t>(length, 8));
    return true;
}

// The two-call text read: the length first (0 when absent or the call fails), then the text.
std::u16string ReadText(const THeaderInfo *Header, const std::string &Name)
{
    if (!Header)
        return {};
    TAttrDataType type;
    std::uint16_t length = 0;
    if (Header->GetAttributeByName(Name, type, nullptr, length) != 0 || length == 0)
        return {};
    std::vector<std::uint8_t> bytes(length);
    if (Header->GetAttributeByName(Name, type, bytes.data(), length) != 0 || type != WMT_TYPE_STRING)
        return {};
    std::u16string text(length / 2, u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    const auto nul = text.find(u'\0');
    if (nul != std::u16string::npos)
        text.resize(nul);
    return text;
}

} // namespace

// =============================================================================================
// Reading files

void SyncReaderClose(wma_sync_reader &Reader)
{
    if (Reader.reader)
        Reader.reader->Close();
    Reader.buffer = nullptr;
    Reader.buffer_length = 0;
    Reader.offset = 0;
    Reader.HeaderInfo = nullptr;
    Reader.reader.reset();
    Reader.AuStream.reset();
    Reader.AudioStream.reset();
}

void SyncReaderOpen(wma_sync_reader &Reader, TStream *Stream, const std::string &Formats, bool HighPrecision,
                    std::int32_t ChannelRequest)
{
    SyncReaderClose(Reader);
    Reader = wma_sync_reader{};
    Reader.reader = std::make_unique<TMediaFileReader>();
    Reader.AudioStream = std::make_shared<TAudioStream>();
    Reader.AudioStream->AssignStream(Stream);
    Reader.AuStream = Reader.AudioStream;
    auto giveUp = [&] {
        Reader.reader.reset();
        Reader.AuStream.reset();
        Reader.AudioStream.reset();
    };
    if (Reader.reader->OpenStream(*Reader.AuStream, Formats) != 0) {
        // A second try past the first 30 bytes of the stream.
        Reader.AuStream->SetBaseOffset(30);
        if (Reader.reader->OpenStream(*Reader.AuStream, Formats) != 0) {
            giveUp();
            return;
        }
    }
    TMediaFileReader &r = *Reader.reader;
    std::uint32_t outputs = 0;
    if (r.GetOutputCount(outputs) != 0) {
        giveUp();
        return;
    }
    for (std::uint32_t i = 0; i < outputs; ++i) {
        TMediaType type;
        if (r.GetOutputProps(i, type) != 0 || !type.IsAudio)
            continue;
        r.SetOutputSetting(i, "EnableDiscreteOutput", HighPrecision ? 1 : 0);
        // The setting changes what the output offers (discrete output keeps more than two
        // channels): the file's own channels are those of the current type after it.
        if (r.GetOutputProps(i, type) != 0 || !type.HasWaveFormat)
            continue;
        if (ChannelRequest == ChannelRequestMonoOrStereo) {
            Reader.channels = type.Format.nChannels;
            Reader.SampleRate = static_cast<std::int32_t>(type.Format.nSamplesPerSec);
        } else if (ChannelRequest > 2) {
            r.SetOutputSetting(i, "SpeakerConfig", static_cast<std::uint32_t>(ChannelRequest));
        }
        std::uint32_t formats = 0;
        r.GetOutputFormatCount(i, formats);
        for (std::uint32_t j = 0; j < formats; ++j) {
            TMediaType f;
            if (r.GetOutputFormat(i, j, f) != 0 || !f.HasWaveFormat)
                continue;
            const TWaveFormat &w = f.Format;
            bool qualifies;
            if (ChannelRequest == ChannelRequestMonoOrStereo)
                qualifies = w.nChannels == Reader.channels &&
                            w.nSamplesPerSec == static_cast<std::uint32_t>(Reader.SampleRate) &&
                            w.wBitsPerSample >= Reader.BitsPerSample;
            else if (ChannelRequest > 2)
                qualifies = w.nChannels == ChannelRequest;
            else
                qualifies = w.nChannels >= Reader.channels &&
                            w.nSamplesPerSec >= static_cast<std::uint32_t>(Reader.SampleRate) &&
                            w.wBitsPerSample >= Reader.BitsPerSample;
            if (!qualifies)
                continue;
            Reader.has_audio = true;
            Reader.output = i;
            if (ChannelRequest != ChannelRequestMonoOrStereo) {
                Reader.channels = w.nChannels;
                Reader.SampleRate = static_cast<std::int32_t>(w.nSamplesPerSec);
            }
            Reader.BitsPerSample = w.wBitsPerSample;
            r.SetOutputProps(i, f);
        }
    }
    if (!Reader.has_audio)
        return;
    r.GetStreamNumberForOutput(Reader.output, Reader.stream);
    Reader._protected = r.SetReadStreamSamples(Reader.stream, false) == NS_E_PROTECTED_CONTENT;
    Reader.HeaderInfo = &r.HeaderInfo();
    std::uint64_t duration = 0;
    Reader.duration = ReadNumber(Reader.HeaderInfo, "Duration", 8, duration) ? static_cast<std::int64_t>(duration) : 0;
}

void SyncReaderGetData(wma_sync_reader &Reader, std::uint8_t *&Buffer, std::uint32_t &Bytes)
{
    if (!Reader.reader) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    for (;;) {
        if (Reader.buffer && Reader.offset < Reader.buffer_length) {
            Buffer = const_cast<std::uint8_t *>(Reader.buffer) + Reader.offset;
            Bytes = std::min(Bytes, Reader.buffer_length - Reader.offset);
            Reader.offset += Bytes;
            return;
        }
        Reader.buffer = nullptr;
        Reader.offset = 0;
        const std::uint8_t *data = nullptr;
        std::uint32_t length = 0;
        if (Reader.reader->GetNextSample(Reader.stream, data, length) != 0) {
            Buffer = nullptr;
            Bytes = 0;
            return;
        }
        Reader.buffer = data;
        Reader.buffer_length = length;
    }
}

bool SyncReaderSeek(wma_sync_reader &Reader, std::int64_t Time)
{
    if (!Reader.reader || !Reader.has_audio)
        return false;
    Reader.buffer = nullptr;
    Reader.buffer_length = 0;
    Reader.offset = 0;
    return Reader.reader->SetRange(Time, 0) == 0;
}

std::uint32_t SyncReaderFormatCount(wma_sync_reader &Reader, bool Discrete)
{
    if (!Reader.reader)
        return 0;
    std::uint32_t count = 0;
    Reader.reader->SetOutputSetting(Reader.output, "EnableDiscreteOutput", Discrete ? 1 : 0);
    if (Reader.reader->GetOutputFormatCount(Reader.output, count) != 0)
        return 0;
    return count;
}

bool SyncReaderGetFormat(wma_sync_reader &Reader, std::uint32_t Index, bool Discrete, TWaveFormat &Format)
{
    if (!Reader.reader)
        return false;
    Reader.reader->SetOutputSetting(Reader.output, "EnableDiscreteOutput", Discrete ? 1 : 0);
    TMediaType type;
    if (Reader.reader->GetOutputFormat(Reader.output, Index, type) != 0 || !type.HasWaveFormat)
        return false;
    Format = type.Format;
    return true;
}

bool SyncReaderSelectFormat(wma_sync_reader &Reader, std::uint32_t Index, bool Discrete)
{
    if (!Reader.reader)
        return false;
    Reader.reader->SetOutputSetting(Reader.output, "EnableDiscreteOutput", Discrete ? 1 : 0);
    TMediaType type;
    if (Reader.reader->GetOutputFormat(Reader.output, Index, type) != 0)
        return false;
    if (Reader.reader->SetOutputProps(Reader.output, type) != 0)
        return false;
    if (type.HasWaveFormat) {
        Reader.channels = type.Format.nChannels;
        Reader.SampleRate = static_cast<std::int32_t>(type.Format.nSamplesPerSec);
        Reader.BitsPerSample = type.Format.wBitsPerSample;
    }
    return true;
}

bool SyncReaderGetDword(wma_sync_reader &Reader, const std::string &Name, std::uint32_t &Value)
{
    std::uint64_t v = 0;
    if (!ReadNumber(Reader.HeaderInfo, Name, 4, v))
        return false;
    Value = static_cast<std::uint32_t>(v);
    return true;
}

std::u16string SyncReaderGetText(wma_sync_reader &Reader, const std::string &Name)
{
    return ReadText(Reader.HeaderInfo, Name);
}

// =============================================================================================
// Reading network streams

void TStreamEvent::Set()
{
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FSet = true;
    }
    FCond.notify_all();
}

void TStreamEvent::Pulse()
{
    {
        std::lock_guard<std::mutex> lock(FMutex);
        ++FPulses;
    }
    FCond.notify_all();
}

bool TStreamEvent::WaitFor(std::uint32_t Ms, const std::function<bool()> &Ready)
{
    std::unique_lock<std::mutex> lock(FMutex);
    const std::uint64_t pulses = FPulses;
    const bool woken = FCond.wait_for(lock, std::chrono::milliseconds(Ms), [&] {
        return FSet || FPulses != pulses || (Ready && Ready());
    });
    FSet = false;
    return woken;
}

std::int32_t TWMReaderCallback::OnStatus(std::uint8_t Status, std::int32_t Result)
{
    // The final code is stored before anyone is woken, so a waiter never sees a failed open as
    // "opened".
    FReader->status = Result != 0 ? WMT_CLOSED : Status;
    if (Status == WMT_OPENED) {
        if (FReader->Event)
            FReader->Event->Set();
    } else if (FReader->status == WMT_CLOSED || FReader->status == WMT_END_OF_FILE) {
        // Wake a reader thread waiting on an empty queue: no more samples will come.
        if (FReader->Event)
            FReader->Event->Pulse();
    }
    return 0;
}

std::int32_t TWMReaderCallback::OnSample(std::uint32_t Output, std::int64_t, const std::uint8_t *Data,
                                         std::uint32_t Length)
{
    if (Output != FReader->output || Length == 0 || !FReader->BlockList)
        return 0;
    TQueuedBlock block;
    block.Data.reset(new std::uint8_t[Length]);
    std::memcpy(block.Data.get(), Data, Length);
    block.Size = static_cast<std::int32_t>(Length);
    {
        std::lock_guard<std::mutex> lock(*FReader->CriticalSection);
        FReader->BlockList->push_back(std::move(block));
        FReader->BlockCount = FReader->BlockList->size();
        FReader->QueuedBytes += Length;
    }
    FReader->Event->Pulse();
    return 0;
}

std::uint64_t TWMReaderCallback::QueuedBytes() const { return FReader->QueuedBytes.load(); }

void AsyncReaderCreate(wma_async_reader &Reader)
{
    AsyncReaderClose(Reader);
    Reader.status = 0;
    Reader.reader = std::make_unique<TMediaNetReader>();
    Reader.MaxWaitMilliseconds = 10000;
    Reader.StretchFactor = 1.0f;
    Reader.BlockList.reset();
    Reader.WMReaderCallback.reset();
    Reader.Event.reset();
    Reader.CriticalSection.reset();
    Reader.HeaderInfo = nullptr;
    Reader.TimedOut = false;
    Reader.Paused = false;
    Reader.output = 0;
    Reader.has_audio = false;
    Reader.channels = Reader.SampleRate = Reader.BitsPerSample = 0;
    Reader.Bitrate = 0;
    Reader.duration = 0;
    Reader.Broadcast = TBroadcastFormat::None;
    Reader.Stream = TBroadcastStream{};
    Reader.BlockCount = 0;
    Reader.QueuedBytes = 0;
    Reader.ErrorText.clear();
}

void AsyncReaderSetProxy(wma_async_reader &Reader, const std::string &Protocol, const std::string &Host,
                         std::uint32_t Port)
{
    if (Reader.reader)
        Reader.reader->SetProxy(Protocol, Host, Port);
}

bool AsyncReaderAddLoggingUrl(wma_async_reader &Reader, const std::string &Url)
{
    return Reader.reader && Reader.reader->AddLoggingUrl(Url) == 0;
}

namespace {
// Undoes what the open set up, after the reader failed to connect.
void ReleaseAfterFailedOpen(wma_async_reader &Reader)
{
    if (Reader.reader) {
        Reader.ErrorText = Reader.reader->LastError();
        Reader.reader->Close();
    }
    Reader.reader.reset();
    Reader.WMReaderCallback.reset();
    Reader.Event.reset();
    Reader.CriticalSection.reset();
}
} // namespace

void AsyncReaderOpen(wma_async_reader &Reader, const std::string &Url)
{
    if (!Reader.reader)
        throw EAuException("Result " + std::to_string(E_UNEXPECTED_RESULT));
    TMediaNetReader &r = *Reader.reader;
    r.SetTimeoutMilliseconds(Reader.MaxWaitMilliseconds);
    r.SetPacketSink(Reader.PacketSink);

    Reader.Event = std::make_unique<TStreamEvent>();
    Reader.CriticalSection = std::make_unique<std::mutex>();
    Reader.WMReaderCallback = std::make_shared<TWMReaderCallback>(&Reader);

    if (std::int32_t rc = r.Open(Url, Reader.WMReaderCallback); rc != 0) {
        // The message is the code alone; why the address was refused is kept for display.
        const std::string text = "Result " + std::to_string(rc);
        Reader.ErrorText = r.RefusalText().empty() ? text : text + ": " + r.RefusalText();
        Reader.WMReaderCallback.reset();
        Reader.Event.reset();
        Reader.CriticalSection.reset();
        throw EAuException(text);
    }

    // On the window thread the wait pumps (a station may take the whole wait to answer).
    WaitPumping(Reader.MaxWaitMilliseconds, [&](std::uint32_t Ms) {
        Reader.Event->WaitFor(Ms, [&] { return Reader.status.load() != 0; });
        return Reader.status.load() != 0;
    });
    if (Reader.status != WMT_OPENED) {
        const bool noAnswer = Reader.status == 0;
        ReleaseAfterFailedOpen(Reader);
        if (noAnswer || Reader.ErrorText.empty())
            Reader.ErrorText = "connecting to " + Url + ": timed out (no answer within " +
                               std::to_string(Reader.MaxWaitMilliseconds) + " ms)";
        Reader.TimedOut = true;
        return;
    }
    std::uint32_t outputs = 0;
    if (r.GetOutputCount(outputs) != 0) {
        ReleaseAfterFailedOpen(Reader);
        return;
    }
    for (std::uint32_t i = 0; i < outputs; ++i) {
        TMediaType type;
        if (r.GetOutputProps(i, type) != 0 || !type.IsAudio || !type.HasWaveFormat)
            continue;
        Reader.has_audio = true;
        Reader.output = i;
        Reader.channels = type.Format.nChannels;
        Reader.SampleRate = static_cast<std::int32_t>(type.Format.nSamplesPerSec);
        Reader.BitsPerSample = type.Format.wBitsPerSample;
    }
    if (!Reader.has_audio)
        return;
    Reader.Broadcast = r.BroadcastFormat();
    Reader.Stream = r.BroadcastStream();
    Reader.HeaderInfo = &r.HeaderInfo();
    std::uint64_t duration = 0, bitrate = 0;
    Reader.duration = ReadNumber(Reader.HeaderInfo, "Duration", 8, duration)
                          ? DurationToSeconds(static_cast<std::int64_t>(duration))
                          : 0;
    Reader.Bitrate = ReadNumber(Reader.HeaderInfo, "Bitrate", 4, bitrate) ? static_cast<std::uint32_t>(bitrate) : 0;
    {
        std::lock_guard<std::mutex> lock(*Reader.CriticalSection);
        Reader.BlockList = std::make_unique<std::deque<TQueuedBlock>>();
    }
    if (std::int32_t rc = r.Start(0, 0, Reader.StretchFactor); rc != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<std::uint32_t>(rc));
        throw EAuException(std::string("Result ") + hex);
    }
}

bool AsyncReaderWaitForData(wma_async_reader &Reader)
{
    if (Reader.BlockCount.load() > 0)
        return true;
    if (Reader.Paused) {
        Reader.status = WMT_STARTED;
        Reader.Paused = false;
    } else if (Reader.status == WMT_CLOSED || Reader.status == WMT_END_OF_FILE || Reader.TimedOut) {
        Reader.StretchFactor = 1.0f;
        return false;
    }
    if (!Reader.Event)
        return false;
    // Waits until a block comes, the stream ends, or MaxWaitMilliseconds pass; a stray wake-up
    // (the signal left from the open) only means looking again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Reader.MaxWaitMilliseconds);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        Reader.Event->WaitFor(static_cast<std::uint32_t>(left), [&] {
            const auto s = Reader.status.load();
            return Reader.BlockCount.load() > 0 || s == WMT_CLOSED || s == WMT_END_OF_FILE;
        });
        if (Reader.BlockCount.load() > 0)
            return true;
        const auto s = Reader.status.load();
        if (s == WMT_CLOSED || s == WMT_END_OF_FILE) {
            // The stream ended while we waited: that is the end of data, not a time-out.
            Reader.StretchFactor = 1.0f;
            return false;
        }
    }
    if (Reader.BlockCount.load() > 0)
        return true;
    Reader.TimedOut = true;
    return false;
}

void AsyncReaderGetData(wma_async_reader &Reader, void *&Buffer, std::uint32_t &Bytes)
{
    if (!Reader.BlockList) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    for (;;) {
        if (!AsyncReaderWaitForData(Reader)) {
            Buffer = nullptr;
            Bytes = 0;
            return;
        }
        std::lock_guard<std::mutex> lock(*Reader.CriticalSection);
        TQueuedBlock &block = Reader.BlockList->front();
        if (block.Used >= block.Size) {
            // Handed out completely by an earlier call: its bytes are no longer in use.
            Reader.QueuedBytes -= static_cast<std::uint64_t>(block.Size);
            Reader.BlockList->pop_front();
            Reader.BlockCount = Reader.BlockList->size();
            continue;
        }
        Buffer = block.Data.get() + block.Used;
        const auto left = static_cast<std::uint32_t>(block.Size - block.Used);
        if (left < Bytes) {
            Bytes = left;
            block.Used = block.Size;
        } else {
            block.Used += static_cast<std::int32_t>(Bytes);
        }
        return;
    }
}

void AsyncReaderPause(wma_async_reader &Reader)
{
    if (Reader.reader)
        Reader.reader->Pause();
    Reader.Paused = true;
}

void AsyncReaderResume(wma_async_reader &Reader)
{
    if (Reader.reader)
        Reader.reader->Resume();
}

void AsyncReaderResetStretch(wma_async_reader &Reader, float NewStretch)
{
    if (!Reader.reader)
        return;
    Reader.reader->Pause();
    Reader.reader->Start(-1, 0, NewStretch);
}

void AsyncReaderClose(wma_async_reader &Reader)
{
    Reader.MaxWaitMilliseconds = 2000;
    if (Reader.reader) {
        Reader.reader->ResetLoggingUrlList();
        Reader.reader->Stop();
        Reader.reader->Close(); // joins the reader thread: no callback runs after this
    }
    Reader.reader.reset();
    Reader.Broadcast = TBroadcastFormat::None;
    Reader.Stream = TBroadcastStream{};
    Reader.WMReaderCallback.reset();
    Reader.HeaderInfo = nullptr;
    if (Reader.Event)
        Reader.Event->Set();
    Reader.Event.reset();
    Reader.BlockList.reset();
    Reader.CriticalSection.reset();
    Reader.BlockCount = 0;
    Reader.QueuedBytes = 0;
}

std::u16string AsyncReaderGetText(wma_async_reader &Reader, const std::string &Name)
{
    return ReadText(Reader.HeaderInfo, Name);
}
