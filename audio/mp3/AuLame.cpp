#include "AuLame.h"

#include "AuSafeFile.h"
#include "AuTags.h"
#include "AuText.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

namespace {

// TagLib's C binding, declared here; the library is loaded at run time.
struct TagLib_File;
struct TagLib_Tag;

struct TagLibApi {
    void (*id3v2_set_default_text_encoding)(int);
    TagLib_File *(*file_new)(const char *);
    TagLib_File *(*file_new_type)(const char *, int); // optional
    TagLib_Tag *(*file_tag)(const TagLib_File *);
    int (*file_is_valid)(const TagLib_File *);
    void (*tag_set_title)(TagLib_Tag *, const char *);
    void (*tag_set_artist)(TagLib_Tag *, const char *);
    void (*tag_set_album)(TagLib_Tag *, const char *);
    void (*tag_set_genre)(TagLib_Tag *, const char *);
    void (*tag_set_year)(TagLib_Tag *, unsigned);
    void (*tag_set_track)(TagLib_Tag *, unsigned);
    int (*file_save)(TagLib_File *);
    void (*file_free)(TagLib_File *);
    void (*set_strings_unicode)(int); // optional
};

constexpr int TagLib_ID3v2_UTF16 = 1;
constexpr int TagLib_File_MPEG = 0;

std::mutex TagLibCS;                   // guards loading and every call into TagLib
std::atomic<bool> TagLibIsLoaded{false}; // set (release) once TagLibFns is complete
TagLibApi TagLibFns{};

std::string TagLibName()
{
    const char *env = std::getenv("FONOLUX_TAGLIB_LIBRARY");
    return env && *env ? std::string(env) : std::string("libtag_c.so.0");
}

template <typename F>
bool Sym(void *Handle, const char *Name, F &Target)
{
    Target = reinterpret_cast<F>(dlsym(Handle, Name));
    return Target != nullptr;
}

// Reads an integer the way a user writes one: optional blanks, optional sign, digits, blanks.
bool ReadsAsInteger(const std::string &Text, long long &Value)
{
    std::size_t i = 0, n = Text.size();
    while (i < n && (Text[i] == ' ' || Text[i] == '\t'))
        ++i;
    while (n > i && (Text[n - 1] == ' ' || Text[n - 1] == '\t'))
        --n;
    bool negative = false;
    if (i < n && (Text[i] == '+' || Text[i] == '-'))
        negative = Text[i++] == '-';
    if (i == n || n - i > 10)
        return false;
    long long v = 0;
    for (; i < n; ++i) {
        if (Text[i] < '0' || Text[i] > '9')
            return false;
        v = v * 10 + (Text[i] - '0');
    }
    Value = negative ? -v : v;
    return Value >= INT32_MIN && Value <= INT32_MAX;
}

// UTF-8 to Latin-1; characters beyond U+00FF become '?'.
std::string ToLatin1(const std::string &Utf8)
{
    std::string out;
    for (char16_t c : Utf8ToUtf16(Utf8)) {
        if (c >= 0xDC00 && c <= 0xDFFF)
            continue; // second half of a pair: its first half already gave '?'
        out += c <= 0xFF ? static_cast<char>(c) : '?';
    }
    return out;
}

} // namespace

std::uint32_t MP3BitRateKbps(TMP3BitRate Value)
{
    static const std::uint32_t kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320};
    return Value < sizeof kbps / sizeof kbps[0] ? kbps[Value] : 0;
}

bool TagLibLoaded()
{
    return TagLibIsLoaded.load(std::memory_order_acquire);
}

bool LoadTagLib()
{
    std::lock_guard<std::mutex> lock(TagLibCS);
    if (TagLibIsLoaded.load(std::memory_order_relaxed))
        return true;
    void *h = dlopen(TagLibName().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return false;
    TagLibApi api{};
    const bool all = Sym(h, "taglib_id3v2_set_default_text_encoding", api.id3v2_set_default_text_encoding) &&
                     Sym(h, "taglib_file_new", api.file_new) && Sym(h, "taglib_file_tag", api.file_tag) &&
                     Sym(h, "taglib_file_is_valid", api.file_is_valid) &&
                     Sym(h, "taglib_tag_set_title", api.tag_set_title) &&
                     Sym(h, "taglib_tag_set_artist", api.tag_set_artist) &&
                     Sym(h, "taglib_tag_set_album", api.tag_set_album) &&
                     Sym(h, "taglib_tag_set_genre", api.tag_set_genre) &&
                     Sym(h, "taglib_tag_set_year", api.tag_set_year) &&
                     Sym(h, "taglib_tag_set_track", api.tag_set_track) &&
                     Sym(h, "taglib_file_save", api.file_save) && Sym(h, "taglib_file_free", api.file_free);
    if (!all) {
        dlclose(h);
        return false;
    }
    // Optional: opening by type works whatever the file's extension.
    Sym(h, "taglib_file_new_type", api.file_new_type);
    Sym(h, "taglib_set_strings_unicode", api.set_strings_unicode);
    TagLibFns = api;
    TagLibIsLoaded.store(true, std::memory_order_release);
    return true;
}

std::vector<std::uint8_t> MakeId3v1Block(const TId3v1Tags &Tags)
{
    std::vector<std::uint8_t> block(128, 0);
    std::memcpy(block.data(), "TAG", 3);
    const auto put = [&](std::size_t Offset, const std::string &Text) {
        const std::string latin = ToLatin1(Text);
        std::memcpy(block.data() + Offset, latin.data(), std::min<std::size_t>(latin.size(), 30));
    };
    put(3, Tags.Title());
    put(33, Tags.Artist());
    put(63, Tags.Album());
    const unsigned year = Tags.Year();
    if (year >= 1000 && year <= 9999) {
        const std::string digits = std::to_string(year);
        std::memcpy(block.data() + 93, digits.data(), 4);
    }
    put(97, Tags.Comment());
    return block;
}

// ---- TMP3Out ----

TMP3Out::TMP3Out(TComponent *AOwner) : TAuTaggedFileOut(AOwner)
{
    LameLoadLibrary();
    LoadTagLib();
}

TMP3Out::~TMP3Out()
{
    ShutDown();
}

void TMP3Out::FillConfig(std::uint32_t Channels, std::uint32_t SampleRate)
{
    std::memset(&Config, 0, sizeof Config);
    Config.dwConfig = BE_CONFIG_LAME;
    Config.dwStructVersion = 1;
    Config.dwStructSize = sizeof(BE_CONFIG);
    Config.dwSampleRate = SampleRate;
    Config.dwReSampleRate = 0;
    if (Channels == 1)
        Config.nMode = BE_MP3_MODE_MONO;
    else
        Config.nMode = FMode == mmDual ? BE_MP3_MODE_STEREO : static_cast<std::int32_t>(FMode);
    Config.dwBitrate = MP3BitRateKbps(FBitRate);
    Config.dwMaxBitrate = MP3BitRateKbps(FMaximumBitrate);
    Config.bPrivate = 0;
    Config.bCRC = FCRC;
    Config.bCopyright = FCopyright;
    Config.bOriginal = FOriginal;
    Config.bWriteVBRHeader = FEnableVBR;
    Config.bEnableVBR = FEnableVBR;
    Config.nVBRQuality = FEnableVBR ? static_cast<std::int32_t>(FVBRQuality) : 0;
    Config.dwVbrAbr_bps = MP3BitRateKbps(FAverageBitrate);
    Config.nVbrMethod = Config.dwVbrAbr_bps != 0 ? VBR_METHOD_ABR : VBR_METHOD_NEW;
    Config.bNoRes = FEnableBitReservoir ? 0 : -1;
    Config.bStrictIso = FStrictISO ? -1 : 0;
}

void TMP3Out::PrepareSink()
{
    FWriteFailed = false;
    FOwnFile = false;
    FTagsFailed = false;
    FPartName.clear();
    _Stream = 0;
    if (!LameLoadLibrary())
        throw EAuException("libmp3lame.so.0 library could not be loaded.");
    if (!FInput)
        throw EAuException("Input is not assigned");
    if (!FStreamAssigned) {
        if (FWideFileName.empty())
            throw EAuException("File name is not assigned.");
        // Written to a new hidden file beside the target, which takes the target's place only
        // when the MP3 is complete; the share mode does not apply to a new file here.
        const std::string target = Utf16ToUtf8(FWideFileName);
        std::string refused;
        if (!ReplaceableTarget(target, refused))
            throw EAuException(refused);
        std::random_device random;
        for (int attempt = 0;; ++attempt) {
            const std::uint64_t tag = (static_cast<std::uint64_t>(random()) << 32) ^ random();
            FPartName = HiddenPartName(target, tag);
            try {
                FStream = new TAuFileStream(Utf8ToUtf16(FPartName), fmCreateNew);
                FOwnFile = true;
                break;
            } catch (const EAuException &) {
                // Another name is tried only when this one is taken (by anything, a link too).
                struct stat st {};
                const bool taken = ::lstat(FPartName.c_str(), &st) == 0;
                FPartName.clear();
                if (!taken || attempt >= 16)
                    throw;
            }
        }
    }
    FInput->Init();
    const std::uint32_t bits = FInput->BitsPerSample(), channels = FInput->Channels();
    if (bits != 16 || channels < 1 || channels > 2)
        throw EAuException("The MP3 encoder takes 16-bit mono or stereo input, not " + std::to_string(bits) +
                           "-bit with " + std::to_string(channels) + " channels.");
    FInputChannels = channels;
    FillConfig(channels, FInput->SampleRate());
    // A mono encoding of a stereo input: the encoder is told about one channel, so the
    // samples are mixed down to one channel before they reach it.
    FDownmix = channels == 2 && Config.nMode == BE_MP3_MODE_MONO;

    std::uint32_t samples = 0;
    const BE_ERR r = beInitStream(&Config, &samples, &mp3buf_size, &_Stream);
    if (r != BE_ERR_SUCCESSFUL) {
        _Stream = 0;
        ReleaseRun(true);
        Busy = false;
        FInput->Flush();
        throw EAuException("LAME Error: " + std::to_string(r));
    }
    BufferSize = channels * samples;
    Buffer.assign(BufferSize, 0);
    mp3buf.assign(mp3buf_size, 0);
}

void TMP3Out::WriteOut(const void *Data, std::uint32_t Bytes)
{
    if (Bytes == 0)
        return;
    std::int64_t written = 0;
    try {
        written = FStream->Write(Data, Bytes);
    } catch (const EAuException &) {
        // The stream reports a failed write (a full disk, an I/O error) by raising; to the
        // encoder output that is a write that wrote less than it was given.
        written = -1;
    } catch (...) {
        FWriteFailed = true;
        throw;
    }
    if (written < static_cast<std::int64_t>(Bytes)) {
        FWriteFailed = true;
        throw EAuException("Error writing down mp3 file");
    }
}

bool TMP3Out::WriteStep(bool Abort)
{
    if (Abort)
        return false;
    bool eof = false;
    std::uint32_t bytes = FInput->FillBuffer(Buffer.data(), BufferSize, eof);
    if (bytes == 0)
        return false;
    auto *pcm = reinterpret_cast<std::int16_t *>(Buffer.data());
    // Whole sample frames only: a stray byte at the end of a malformed input is dropped.
    std::uint32_t values = bytes / (2 * FInputChannels) * FInputChannels;
    if (FDownmix) {
        for (std::uint32_t i = 0; i < values / 2; ++i)
            pcm[i] = static_cast<std::int16_t>((pcm[2 * i] + pcm[2 * i + 1]) / 2);
        values /= 2;
    }
    std::uint32_t produced = 0;
    const BE_ERR r = beEncodeChunk(_Stream, values, pcm, mp3buf.data(), &produced);
    if (r != BE_ERR_SUCCESSFUL)
        throw EAuException("LAME Error: " + std::to_string(r));
    WriteOut(mp3buf.data(), produced);
    return !eof;
}

void TMP3Out::ReleaseRun(bool Failed)
{
    if (_Stream != 0) {
        beCloseStream(_Stream);
        _Stream = 0;
        if (Failed)
            beWriteVBRHeader(nullptr); // drops a header frame the closed stream may have left
    }
    if (!FStreamAssigned && FStream) {
        delete FStream; // closes the file
        FStream = nullptr;
        if (Failed && FOwnFile) {
            std::remove(FPartName.c_str());
            FPartName.clear();
        }
    }
    FOwnFile = false;
    Buffer.clear();
    Buffer.shrink_to_fit();
    mp3buf.clear();
    mp3buf.shrink_to_fit();
}

void TMP3Out::FinishSink()
{
    // The Input is flushed whatever happens below.
    struct FlushInput {
        TAuInput *In;
        ~FlushInput()
        {
            if (In) {
                try {
                    In->Flush();
                } catch (...) {
                }
            }
        }
    } flush{FInput};

    if (_Stream == 0 || FWriteFailed) {
        // PrepareSink stopped part-way, or a write failed: the file is not a recording.
        ReleaseRun(true);
        return;
    }
    try {
        std::uint32_t produced = 0;
        if (beDeinitStream(_Stream, mp3buf.data(), &produced) == BE_ERR_SUCCESSFUL)
            WriteOut(mp3buf.data(), produced);
        const std::vector<std::uint8_t> id3v1 = MakeId3v1Block(*FId3v1Tags);
        WriteOut(id3v1.data(), static_cast<std::uint32_t>(id3v1.size()));
    } catch (...) {
        ReleaseRun(true);
        throw;
    }
    const bool vbrHeader = Config.bEnableVBR != 0;
    ReleaseRun(false);
    // The header and the tags go into the file just written: the hidden one when this run
    // made it, the named one beside an assigned stream.
    const std::string written = FPartName.empty() ? FFileName : FPartName;
    if (vbrHeader && !FFileName.empty())
        beWriteVBRHeader(written.c_str());
    else if (vbrHeader)
        beWriteVBRHeader(nullptr); // not written without a FileName: drop the kept frame
    std::string tagError;
    if (!FFileName.empty() && TagLibLoaded()) {
        try {
            WriteId3v2Tags(written);
        } catch (const EAuException &e) {
            // The MP3 itself is complete: it is kept, and the run still reports the failure.
            FTagsFailed = true;
            tagError = e.what();
        }
    }
    if (!FPartName.empty()) {
        std::string error;
        const bool placed = ReplaceByPart(FPartName, Utf16ToUtf8(FWideFileName), error);
        if (!placed)
            std::remove(FPartName.c_str());
        FPartName.clear();
        if (!placed) {
            FTagsFailed = false;
            throw EAuException(error);
        }
    }
    if (FTagsFailed)
        throw EAuException(tagError);
}

void TMP3Out::WriteId3v2Tags(const std::string &name)
{
    std::lock_guard<std::mutex> lock(TagLibCS);
    const TagLibApi &t = TagLibFns;
    t.id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
    if (t.set_strings_unicode)
        t.set_strings_unicode(1);
    TagLib_File *file = t.file_new_type ? t.file_new_type(name.c_str(), TagLib_File_MPEG) : t.file_new(name.c_str());
    // A file TagLib cannot open at all is as invalid as one it opens without a tag.
    TagLib_Tag *tag = file ? t.file_tag(file) : nullptr;
    if (!file || !t.file_is_valid(file) || !tag) {
        if (file)
            t.file_free(file);
        throw EAuException("Failed to write tags");
    }
    const TId3v2Tags &tags = *FId3v2Tags;
    t.tag_set_title(tag, Utf16ToUtf8(tags.Title()).c_str());
    t.tag_set_artist(tag, Utf16ToUtf8(tags.Artist()).c_str());
    t.tag_set_album(tag, Utf16ToUtf8(tags.Album()).c_str());
    t.tag_set_genre(tag, Utf16ToUtf8(tags.Genre()).c_str());
    long long value = 0;
    // Negative numbers are no year or track number: skipped like any other non-number.
    if (!tags.Year().empty() && ReadsAsInteger(tags.Year(), value) && value >= 0)
        t.tag_set_year(tag, static_cast<unsigned>(value));
    if (!tags.Track().empty() && ReadsAsInteger(tags.Track(), value) && value >= 0)
        t.tag_set_track(tag, static_cast<unsigned>(value));
    const bool saved = t.file_save(file) != 0;
    t.file_free(file);
    if (!saved)
        throw EAuException("Failed to save tags");
}
