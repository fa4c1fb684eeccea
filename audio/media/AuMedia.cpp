#include "AuMedia.h"
#include "AuLocked.h"

#include "AuTags.h"
#include "AuText.h"

#include <cstdio>
#include <stdexcept>

// =============================================================================================
// TWMStreamedIn

TWMStreamedIn::TWMStreamedIn(TComponent *AOwner) : TAuTaggedFileIn(AOwner) {}

TWMStreamedIn::~TWMStreamedIn()
{
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    AsyncReaderClose(reader);
}

std::string TWMStreamedIn::ErrorMsg() const
{
    std::lock_guard<std::mutex> lock(FSmallCS);
    return FErrorMsg;
}

void TWMStreamedIn::SetErrorMsg(const std::string &Value)
{
    std::lock_guard<std::mutex> lock(FSmallCS);
    FErrorMsg = Value;
}

void TWMStreamedIn::SetErrorDetail(const std::string &Value)
{
    std::lock_guard<std::mutex> lock(FSmallCS);
    FErrorDetail = Value;
}

TStreamedAudioEvent TWMStreamedIn::OnStreamOpened() const
{
    return LockedGet(FSmallCS, FOnStreamOpened);
}

void TWMStreamedIn::SetOnStreamOpened(TStreamedAudioEvent Value)
{
    LockedSet(FSmallCS, FOnStreamOpened, std::move(Value));
}

void TWMStreamedIn::SetPacketSink(std::shared_ptr<IPacketSink> Sink)
{
    LockedSet(FSmallCS, FPacketSink, std::move(Sink));
}

TBroadcastStream TWMStreamedIn::BroadcastStream() const
{
    std::lock_guard<std::mutex> lock(FSmallCS);
    return FBroadcastStream;
}

TStreamedAudioEvent TWMStreamedIn::OnStartedPlaying() const
{
    return LockedGet(FSmallCS, FOnStartedPlaying);
}

void TWMStreamedIn::SetOnStartedPlaying(TStreamedAudioEvent Value)
{
    LockedSet(FSmallCS, FOnStartedPlaying, std::move(Value));
}

void TWMStreamedIn::Post(const TStreamedAudioEvent &Handler, std::uint32_t Run)
{
    if (Handler)
        SharedEventHandler()->PostGenericEvent(this, Handler, Run);
}

void TWMStreamedIn::SetBufferingTime(std::uint16_t Value)
{
    if (Value >= 1 && Value <= 60)
        FBufferingTime = Value;
}

bool TWMStreamedIn::HasAudio()
{
    OpenInputFile();
    return reader.has_audio;
}

std::string TWMStreamedIn::ErrorDetail()
{
    std::lock_guard<std::mutex> lock(FSmallCS);
    return FErrorDetail;
}

std::u16string TWMStreamedIn::StreamTitle()
{
    // A display read: while an opening or closing holds the lock there is no title yet.
    std::unique_lock<std::recursive_mutex> lock(OpenCS, std::try_to_lock);
    if (!lock.owns_lock() || FOpened.load() <= 0)
        return {};
    return AsyncReaderGetText(reader, "Title");
}

void TWMStreamedIn::ResetStretch(float NewStretch)
{
    FStretchFactor = NewStretch;
    TPumpingLock lock(OpenCS);
    AsyncReaderResetStretch(reader, NewStretch);
}

void TWMStreamedIn::_Pause()
{
    // The worker may hold the data lock while it waits for data: pump meanwhile.
    TPumpingLock lock(DataCS);
    AsyncReaderPause(reader);
}

void TWMStreamedIn::_Resume()
{
    // No data lock (a read may be waiting for data); OpenCS keeps a closing away.
    TPumpingLock lock(OpenCS);
    AsyncReaderResume(reader);
}

std::uint32_t TWMStreamedIn::TotalTime() { return FDurationSeconds.load(); }

bool TWMStreamedIn::SeekSource(std::int64_t &) { return false; }

void TWMStreamedIn::OpenInputFile()
{
    TPumpingLock lock(OpenCS);
    SetErrorMsg("");
    if (FOpened.load() > 0)
        return;
    if (FWideFileName.empty()) {
        SetErrorMsg("File name or URL is not assigned");
        throw EAuException("File name or URL is not assigned");
    }
    const std::uint32_t run = ++FRunNumber;
    FDurationSeconds = 0;
    AsyncReaderCreate(reader);
    if (!FProxyHost.empty())
        AsyncReaderSetProxy(reader, FProxyProtocol, FProxyHost, FProxyPort);
    if (!FLoggingURL.empty() && !AsyncReaderAddLoggingUrl(reader, FLoggingURL)) {
        AsyncReaderClose(reader);
        throw EAuException("Canoot add a logging URL");
    }
    reader.StretchFactor = FStretchFactor;
    reader.MaxWaitMilliseconds = FMaxWait;
    {
        std::lock_guard<std::mutex> lock(FSmallCS);
        reader.PacketSink = FPacketSink;
    }
    reader.TimedOut = false;
    try {
        AsyncReaderOpen(reader, Utf16ToUtf8(FWideFileName));
    } catch (const EAuException &e) {
        // A refused address or a refused start: nothing stays connected, and the window still
        // learns through OnStreamOpened that the attempt failed.
        SetErrorDetail(reader.ErrorText);
        AsyncReaderClose(reader);
        SetErrorMsg(e.what());
        Post(OnStreamOpened(), run);
        throw;
    }
    FValid = reader.has_audio;
    {
        std::lock_guard<std::mutex> lock(FSmallCS);
        FBroadcastStream = reader.Stream;
    }
    SetErrorDetail(reader.ErrorText);
    // The error texts are in place before the event is posted: its handler may run on the
    // window thread while this thread is still here.
    if (!reader.reader)
        SetErrorMsg("Bad URL");
    Post(OnStreamOpened(), run);
    if (!reader.reader)
        throw EAuException("Can't Connect");
    FChan = static_cast<std::uint32_t>(reader.channels);
    FBPS = static_cast<std::uint32_t>(reader.BitsPerSample);
    FSR = static_cast<std::uint32_t>(reader.SampleRate);
    FBitrate = reader.Bitrate;
    FDurationSeconds = static_cast<std::uint32_t>(reader.duration);
    FOpenedRun = run;
    const std::int64_t total = reader.duration * static_cast<std::int64_t>(FSR);
    if (total != 0) {
        FTotalSamples = total;
        FSize = total * FChan * (FBPS / 8);
    } else {
        FSize = -1;
        FTotalSamples = -1;
    }
    FSeekable = false;
    FId3v2Tags->Clear();
    FId3v2Tags->SetArtist(AsyncReaderGetText(reader, "Author"));
    FId3v2Tags->SetTitle(AsyncReaderGetText(reader, "Title"));
    FId3v2Tags->SetAlbum(AsyncReaderGetText(reader, "WM/AlbumTitle"));
    FId3v2Tags->SetGenre(AsyncReaderGetText(reader, "WM/Genre"));
    FId3v2Tags->SetTrack(Utf16ToUtf8(AsyncReaderGetText(reader, "WM/Track")));
    FId3v2Tags->SetYear(Utf16ToUtf8(AsyncReaderGetText(reader, "WM/Year")));
    FId3v2Tags->SetComment(AsyncReaderGetText(reader, "Copyright"));
    FFirstTime = true;
    ++FOpened;
}

void TWMStreamedIn::CloseInputFile()
{
    TPumpingLock lock(OpenCS);
    if (FOpened.load() <= 0)
        return;
    AsyncReaderClose(reader);
    FOpened = 0;
    std::lock_guard<std::mutex> small(FSmallCS);
    FBroadcastStream = TBroadcastStream{};
}

void TWMStreamedIn::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    AsyncReaderGetData(reader, Buffer, Bytes);
    if (FFirstTime) {
        FFirstTime = false;
        Post(OnStartedPlaying(), FOpenedRun.load());
    }
}

// =============================================================================================
// TWMIn

namespace {
std::int32_t ChannelRequest(TChannelsNumber Value)
{
    switch (Value) {
    case cnMaxAvailable:
        return ChannelRequestMaxAvailable;
    case cn5dot1:
        return 6;
    case cn7dot1:
        return 8;
    default:
        return ChannelRequestMonoOrStereo;
    }
}
} // namespace

TWMIn::TWMIn(TComponent *AOwner) : TAuTaggedFileIn(AOwner) {}

TWMIn::~TWMIn()
{
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    SyncReaderClose(reader);
}

bool TWMIn::NameOrStreamSet()
{
    TPumpingLock lock(OpenCS);
    return FStreamAssigned || !FWideFileName.empty();
}

bool TWMIn::HasAudio()
{
    OpenInputFile();
    return reader.has_audio;
}

bool TWMIn::IsProtected()
{
    OpenInputFile();
    return reader._protected;
}

std::uint32_t TWMIn::Bitrate()
{
    OpenInputFile();
    TPumpingLock lock(OpenCS);
    std::uint32_t value = 0;
    return SyncReaderGetDword(reader, "Bitrate", value) ? value : 0;
}

bool TWMIn::IsVBR()
{
    OpenInputFile();
    TPumpingLock lock(OpenCS);
    std::uint32_t value = 0;
    return SyncReaderGetDword(reader, "IsVBR", value) && value != 0;
}

TId3v2Tags *TWMIn::Id3v2Tags()
{
    OpenInputFile();
    return FId3v2Tags.get();
}

std::uint32_t TWMIn::Duration()
{
    OpenInputFile();
    return FDuration;
}

std::uint32_t TWMIn::FormatsCount()
{
    if (IsBusy() || !NameOrStreamSet())
        return 0;
    OpenInputFile();
    TPumpingLock lock(OpenCS);
    return SyncReaderFormatCount(reader, FHighPrecision);
}

TWMAFormatSpec TWMIn::GetFormatSpec(std::int32_t Index)
{
    TWMAFormatSpec spec;
    if (IsBusy() || !NameOrStreamSet())
        return spec;
    OpenInputFile();
    if (Index < 0)
        return spec;
    TPumpingLock lock(OpenCS);
    TWaveFormat format;
    if (SyncReaderGetFormat(reader, static_cast<std::uint32_t>(Index), FHighPrecision, format)) {
        spec.Channels = format.nChannels;
        spec.BitsPerSample = format.wBitsPerSample;
        spec.SampleRate = format.nSamplesPerSec;
    }
    return spec;
}

void TWMIn::SetFormatSelected(std::int32_t Value)
{
    if (IsBusy())
        return;
    OpenInputFile();
    TPumpingLock lock(OpenCS);
    if (Value == -2) {
        SyncReaderSelectFormat(reader, 0, true);
        FFormat = 0;
    } else if (Value >= 0) {
        SyncReaderSelectFormat(reader, static_cast<std::uint32_t>(Value), FHighPrecision);
        FFormat = Value;
    }
    TakeLength();
}

void TWMIn::SetHighPrecision(bool Value)
{
    if (IsBusy() || FOutputChannels != cnMonoOrStereo)
        return;
    TPumpingLock lock(OpenCS);
    FHighPrecision = Value;
    if (FOpened.load() > 0) {
        CloseInputFile();
        OpenInputFile();
    }
}

void TWMIn::SetOutputChannels(TChannelsNumber Value)
{
    if (IsBusy())
        return;
    TPumpingLock lock(OpenCS);
    if (Value != cnMonoOrStereo)
        FHighPrecision = true;
    FOutputChannels = Value;
    if (FOpened.load() > 0) {
        CloseInputFile();
        OpenInputFile();
    }
}

void TWMIn::TakeLength()
{
    FDuration = DurationToHundredths(reader.duration);
    FChan = static_cast<std::uint32_t>(reader.channels);
    FBPS = static_cast<std::uint32_t>(reader.BitsPerSample);
    FSR = static_cast<std::uint32_t>(reader.SampleRate);
    // Hundredths of a second times the rate, truncated: in whole numbers, because a double
    // holds most hundredths only approximately and would often come out one frame short.
    const std::int64_t total = static_cast<std::int64_t>(FDuration) * FSR / 100;
    FTotalSamples = total;
    FSize = total * FChan * (FBPS / 8);
}

void TWMIn::OpenInputFile()
{
    TPumpingLock lock(OpenCS);
    if (FOpened.load() > 0)
        return;
    if (!FStreamAssigned && FWideFileName.empty())
        throw EAuException("File name is not assigned");
    if (!FStreamAssigned) {
        delete FStream; // a stream of ours left from an attempt that could not read the file
        FStream = nullptr;
        FStream = new TAuFileStream(FWideFileName, fmOpenRead | fmShareDenyWrite);
    }
    SyncReaderOpen(reader, FStream, FileFormats(), FHighPrecision, ChannelRequest(FOutputChannels));
    FValid = reader.has_audio;
    if (!reader.reader) {
        if (!FStreamAssigned) {
            delete FStream;
            FStream = nullptr;
        } else {
            try {
                FStream->Seek(0, soBeginning);
            } catch (const EAuException &) {
            }
        }
        return;
    }
    if (reader._protected) {
        SyncReaderClose(reader);
        throw EAuException("File is protected");
    }
    TakeLength();
    FSeekable = true;
    FId3v2Tags->Clear();
    FCommonTags->Clear();
    const std::u16string artist = SyncReaderGetText(reader, "Author");
    const std::u16string title = SyncReaderGetText(reader, "Title");
    const std::u16string album = SyncReaderGetText(reader, "WM/AlbumTitle");
    const std::u16string genre = SyncReaderGetText(reader, "WM/Genre");
    const std::string track = Utf16ToUtf8(SyncReaderGetText(reader, "WM/Track"));
    const std::string year = Utf16ToUtf8(SyncReaderGetText(reader, "WM/Year"));
    FId3v2Tags->SetArtist(artist);
    FId3v2Tags->SetTitle(title);
    FId3v2Tags->SetAlbum(album);
    FId3v2Tags->SetGenre(genre);
    FId3v2Tags->SetTrack(track);
    FId3v2Tags->SetYear(year);
    FId3v2Tags->SetComment(SyncReaderGetText(reader, "Copyright"));
    FCommonTags->SetArtist(artist);
    FCommonTags->SetTitle(title);
    FCommonTags->SetAlbum(album);
    FCommonTags->SetGenre(genre);
    FCommonTags->SetTrack(track);
    FCommonTags->SetYear(year);
    ++FOpened;
}

void TWMIn::CloseInputFile()
{
    TPumpingLock lock(OpenCS);
    if (FOpened.load() <= 0)
        return;
    SyncReaderClose(reader);
    FOpened = 0;
    if (FStreamAssigned) {
        if (FStream) {
            try {
                FStream->Seek(0, soBeginning);
            } catch (const EAuException &) {
            }
        }
    } else {
        delete FStream;
        FStream = nullptr;
    }
}

void TWMIn::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (!reader.reader) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    const std::int64_t size = FSize.load();
    if (size > 0) {
        const std::int64_t left = std::max<std::int64_t>(0, size - FPosition.load());
        if (Bytes > left)
            Bytes = static_cast<std::uint32_t>(left);
    }
    std::uint8_t *data = nullptr;
    SyncReaderGetData(reader, data, Bytes);
    Buffer = data;
}

bool TWMIn::SeekSource(std::int64_t &SampleNum)
{
    if (!IsBusy() || FSR == 0)
        return false;
    // The exact time of the frame (100 ns units). Scaling by the length instead would use the
    // selection's length during a run with a selection, and TMP3In's extended length, and so
    // land in the wrong place.
    const std::int64_t time = RoundHalfEven(static_cast<double>(SampleNum) * 10000000.0 / FSR);
    return SyncReaderSeek(reader, time);
}

// ---------------------------------------------------------------------------------------------
// TWMATap

TWMATap::TWMATap(TComponent *AOwner) : TAudioTap(AOwner), FTags(std::make_unique<TId3v2Tags>()) {}

TWMATap::~TWMATap()
{
    // A file still open (the tap destroyed outside a run's end) is finished here; this also
    // waits for the writer's thread, so no error report arrives after the tap is gone.
    wma_writer_free(Writer);
}

void TWMATap::SetId3v2Tags(const TId3v2Tags *Value)
{
    if (Value) {
        std::lock_guard<std::mutex> lock(FTagsCS);
        FTags->Assign(*Value);
    }
}

TOutputErrorEvent TWMATap::OnOutputError() const
{
    return LockedGet(FHandlerCS, FOnOutputError);
}

void TWMATap::SetOnOutputError(TOutputErrorEvent Value)
{
    LockedSet(FHandlerCS, FOnOutputError, std::move(Value));
}

void TWMATap::WriterError(TComponent *, std::uint32_t Reason)
{
    const TOutputErrorEvent handler = OnOutputError();
    if (handler) {
        TEventRunScope scope(this, RecordingRun());
        handler(this, Reason);
    }
}

void TWMATap::OpenTapFile()
{
    std::u16string name;
    {
        std::lock_guard<std::mutex> lock(NameCS);
        name = FWideFileName;
    }
    if (name.empty())
        throw EAuException("File name is not assigned.");
    wma_writer_free(Writer); // a writer left from an earlier open that failed part-way
    wma_writer_init(Writer, name, this,
                    [this](TComponent *Owner, std::uint32_t Reason) { WriterError(Owner, Reason); });
    if (!Writer.Initialized)
        throw std::runtime_error("Cannot create file");
    wma_writer_set_audio_properties(Writer, Channels(), BitsPerSample(), FVBR ? FVBRQuality : FBitrate, FVBR,
                                    FLossless, SampleRate());
    TId3v2Tags tags;
    {
        std::lock_guard<std::mutex> lock(FTagsCS);
        tags.Assign(*FTags);
    }
    const std::pair<const char16_t *, std::u16string> attributes[] = {
        {u"Author", tags.Artist()},
        {u"WM/AlbumTitle", tags.Album()},
        {u"WM/Genre", tags.Genre()},
        {u"WM/Year", Utf8ToUtf16(tags.Year())},
        {u"WM/Track", Utf8ToUtf16(tags.Track())},
        {u"Title", tags.Title()},
        {u"Copyright", tags.Comment()},
    };
    for (const auto &[attribute, text] : attributes)
        if (!text.empty())
            wma_writer_set_attribute(Writer, attribute, text);
    if (wma_writer_begin(Writer) != WM_S_OK)
        throw EAuException("Filed to set data writer, possible reason: required WMA codec not installed.");
    Writer.TotalTime = 0;
}

void TWMATap::WriteTapBlock(const void *Block, std::uint32_t BufferLen)
{
    const WMResult r = wma_writer_write(Writer, Block, BufferLen);
    if (r != WM_S_OK) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(r));
        throw EAuException(std::string("Failed to write data: ") + hex);
    }
}

void TWMATap::CloseTapFile()
{
    wma_writer_free(Writer);
}
