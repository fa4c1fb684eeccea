// The asynchronous network reader: connecting, verifying, choosing the format, decoding on its thread.
#include "MediaNetReader.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

// FFmpeg's error codes alone do not tell a certificate failure or an unknown host from any
// other input/output error; its log lines do. What the reader thread's requests logged is kept
// here (per thread, so readers never see each other's lines) and read back to explain a
// failure. Lines of other threads pass to FFmpeg's own handler untouched.
thread_local bool tCapture = false;
thread_local std::vector<std::string> tLogged;

void CaptureLog(void *Avcl, int Level, const char *Fmt, va_list Args)
{
    // Only the lines that explain a failed request are kept (decoders of a noisy stream log
    // many others); they are told by their format strings.
    const auto explains = [](const char *f) {
        return f && (std::strstr(f, "ertificate") || std::strstr(f, "resolve hostname") || std::strstr(f, "HTTP error"));
    };
    if (tCapture && Level <= AV_LOG_WARNING && tLogged.size() < 16 && explains(Fmt)) {
        char line[512];
        va_list copy;
        va_copy(copy, Args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        std::vsnprintf(line, sizeof line, Fmt, copy);
#pragma GCC diagnostic pop
        va_end(copy);
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        tLogged.push_back(std::move(text));
    }
    av_log_default_callback(Avcl, Level, Fmt, Args);
}

// The first logged line containing Needle (case-insensitive), or empty.
std::string LoggedLine(const char *Needle)
{
    std::string needle(Needle);
    std::transform(needle.begin(), needle.end(), needle.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const std::string &line : tLogged) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find(needle) != std::string::npos)
            return line;
    }
    return {};
}

std::mutex gCaLock;
std::string gCaFile = std::filesystem::exists("/etc/ssl/certs/ca-certificates.crt")
                          ? "/etc/ssl/certs/ca-certificates.crt"
                          : std::string();

// FFmpeg's default io_open: the same function for every format context, kept from the first
// one allocated so the reader's own io_open can hand each request on to it.
std::atomic<decltype(AVFormatContext::io_open)> gDefaultOpen{nullptr};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The scheme of an address in lower case, empty when it has none.
std::string SchemeOf(const std::string &Url)
{
    size_t colon = Url.find(':');
    if (colon == std::string::npos || colon == 0)
        return {};
    for (size_t i = 0; i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(Url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return {};
    }
    return Lower(Url.substr(0, colon));
}

bool LooksLikeHls(const std::string &Url)
{
    std::string path = Lower(Url.substr(0, Url.find_first_of("?#")));
    return path.size() > 5 && (path.ends_with(".m3u8"));
}

// FFmpeg's demuxer for a content type, or null when the type says nothing useful.
const char *FormatForMime(const std::string &Mime)
{
    const std::string m = Lower(Trim(Mime.substr(0, Mime.find(';'))));
    if (m == "audio/mpeg" || m == "audio/mp3" || m == "audio/x-mpeg" || m == "audio/mpeg3" || m == "audio/x-mp3")
        return "mp3";
    if (m == "audio/aac" || m == "audio/aacp" || m == "audio/x-aac" || m == "audio/x-aacp")
        return "aac";
    if (m == "application/ogg" || m == "audio/ogg" || m == "audio/x-ogg" || m == "audio/vorbis" ||
        m == "application/x-ogg" || m == "audio/opus")
        return "ogg";
    if (m == "audio/flac" || m == "audio/x-flac")
        return "flac";
    if (m == "application/vnd.apple.mpegurl" || m == "application/x-mpegurl" || m == "audio/x-mpegurl" ||
        m == "audio/mpegurl")
        return "hls";
    return nullptr;
}

// The host of an address ("127.0.0.1", "radio.example.org"), empty when it has none.
std::string HostOf(const std::string &Url)
{
    char host[256] = "";
    av_url_split(nullptr, 0, nullptr, 0, host, sizeof host, nullptr, nullptr, 0, Url.c_str());
    return host;
}

// A decoded frame's rate and channel count lie in the range stations use (and the 32-bit byte
// rates of the pipeline can hold: 192000 Hz x 8 channels x 4 bytes is far below 2^32).
bool FitsStation(const AVFrame *Frame)
{
    return Frame->sample_rate >= static_cast<int>(TMediaNetReader::MinSampleRate) &&
           Frame->sample_rate <= static_cast<int>(TMediaNetReader::MaxSampleRate) &&
           Frame->ch_layout.nb_channels >= 1 &&
           Frame->ch_layout.nb_channels <= static_cast<int>(TMediaNetReader::MaxChannels);
}

bool InList(const char *Name, const char *List)
{
    return Name && av_match_list(Name, List, ',') > 0;
}

std::string OptString(void *Obj, const char *Name)
{
    std::uint8_t *value = nullptr;
    if (!Obj || av_opt_get(Obj, Name, AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value)
        return {};
    ff::AvString owner(value);
    return reinterpret_cast<const char *>(value);
}

} // namespace

bool ParseStreamTitle(const std::string &Packet, std::string &Title)
{
    static const std::string key = "StreamTitle='";
    size_t start = Packet.find(key);
    if (start == std::string::npos)
        return false;
    start += key.size();
    size_t end = Packet.find("';StreamUrl=", start);
    if (end == std::string::npos) {
        end = Packet.rfind("';");
        if (end == std::string::npos || end < start)
            end = Packet.find('\0', start);
        if (end == std::string::npos)
            end = Packet.size();
    }
    Title = Packet.substr(start, end - start);
    while (!Title.empty() && Title.back() == '\0')
        Title.pop_back();
    return true;
}

TMediaNetReader::TMediaNetReader()
{
    ff::QuietFFmpegLog();
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(CaptureLog); });
}

void TMediaNetReader::SetTrustedCaFile(const std::string &Path)
{
    std::lock_guard<std::mutex> lock(gCaLock);
    gCaFile = Path;
}

std::string TMediaNetReader::TrustedCaFile()
{
    std::lock_guard<std::mutex> lock(gCaLock);
    return gCaFile;
}

std::string MediaTrustedCaFile()
{
    return TMediaNetReader::TrustedCaFile();
}

TMediaNetReader::~TMediaNetReader() { Close(); }

int TMediaNetReader::InterruptCallback(void *Opaque)
{
    return static_cast<TMediaNetReader *>(Opaque)->FAbort.load(std::memory_order_relaxed) ? 1 : 0;
}

std::int32_t TMediaNetReader::SetProxy(const std::string &Protocol, const std::string &Host, std::uint32_t Port)
{
    const std::string p = Lower(Protocol);
    if (!p.empty() && p != "http" && p != "https")
        return E_INVALIDARG_RESULT;
    if (Host.empty()) {
        FProxy.clear();
        return 0;
    }
    FProxy = "http://" + Host + (Port ? ":" + std::to_string(Port) : std::string());
    return 0;
}

std::int32_t TMediaNetReader::AddLoggingUrl(const std::string &Url)
{
    const std::string s = SchemeOf(Url);
    if (s != "http" && s != "https")
        return E_INVALIDARG_RESULT;
    FLoggingUrls.push_back(Url);
    return 0;
}

std::string TMediaNetReader::LastError() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FLastError;
}

void TMediaNetReader::SetError(const std::string &Doing, std::int32_t Code)
{
    const std::string reason = Reason(Code);
    std::lock_guard<std::mutex> lock(FLock);
    FLastError = Doing + ": " + reason;
}

std::string TMediaNetReader::Reason(std::int32_t Code) const
{
    if (!FOwnReason.empty())
        return FOwnReason;
    const std::string certificate = LoggedLine("certificate");
    if (!certificate.empty()) {
        std::string host = HostOf(FRequestUrl);
        return "certificate not trusted for " + (host.empty() ? std::string("the server") : host) + " (" +
               certificate + ")";
    }
    const std::string resolve = LoggedLine("resolve hostname");
    if (!resolve.empty()) {
        // "Failed to resolve hostname NAME: why": the name is the one the user typed or got.
        std::string name = HostOf(FRequestUrl);
        return "name not found: " + (name.empty() ? resolve : name);
    }
    std::string http = LoggedLine("HTTP error ");
    if (!http.empty())
        http = http.substr(http.find("HTTP error ") + 11); // "404 Not Found"
    switch (Code) {
    case AVERROR(ECONNREFUSED):
        return "connection refused";
    case AVERROR(ETIMEDOUT):
        return FTimeoutMs ? "timed out (no answer within " + std::to_string(FTimeoutMs) + " ms)" : "timed out";
    case AVERROR(EHOSTUNREACH):
    case AVERROR(ENETUNREACH):
        return "host not reachable";
    case AVERROR_HTTP_BAD_REQUEST:
    case AVERROR_HTTP_UNAUTHORIZED:
    case AVERROR_HTTP_FORBIDDEN:
    case AVERROR_HTTP_NOT_FOUND:
    case AVERROR_HTTP_OTHER_4XX:
    case AVERROR_HTTP_SERVER_ERROR:
        if (!http.empty())
            return "server error: HTTP " + http;
        return "server error: " + ff::ErrorText(Code);
    case AVERROR_INVALIDDATA:
        return "not an audio stream";
    default:
        break;
    }
    if (!http.empty())
        return "server error: HTTP " + http;
    return ff::ErrorText(Code);
}

void TMediaNetReader::SetRequestOptions(AVDictionary **Options) const
{
    av_dict_set(Options, "protocol_whitelist", ProtocolWhitelist, 0);
    if (FTimeoutMs)
        av_dict_set(Options, "timeout", std::to_string(static_cast<std::int64_t>(FTimeoutMs) * 1000).c_str(), 0);
    av_dict_set(Options, "user_agent", "Fonolux/0.9", 0);
    if (!FProxy.empty())
        av_dict_set(Options, "http_proxy", FProxy.c_str(), 0);
    // https: the certificate must be valid for the host and signed by a trusted authority.
    av_dict_set(Options, "tls_verify", "1", 0);
    const std::string ca = TrustedCaFile();
    if (!ca.empty())
        av_dict_set(Options, "ca_file", ca.c_str(), 0);
}

std::int32_t TMediaNetReader::RefuseDowngrade(const std::string &Url, AVIOContext *Io)
{
    // FFmpeg follows redirects by itself; an https address that ended on plain http would play
    // unprotected what the user asked to get protected.
    if (SchemeOf(Url) != "https")
        return 0;
    const std::string location = OptString(Io, "location");
    if (location.empty() || SchemeOf(location) == "https")
        return 0;
    FOwnReason = "refused: the https address was redirected to an unprotected address (" + location + ")";
    return AVERROR(EACCES);
}

int TMediaNetReader::OpenRequest(AVFormatContext *S, AVIOContext **Pb, const char *Url, int Flags,
                                 AVDictionary **Options)
{
    auto *self = static_cast<TMediaNetReader *>(S->opaque);
    const auto open = gDefaultOpen.load();
    if (!self || !open)
        return AVERROR(EINVAL);
    ff::Dict local;
    AVDictionary **options = Options ? Options : &local.ptr;
    self->SetRequestOptions(options);
    // FFmpeg insists that an option's whitelist equals the context's own.
    if (S->protocol_whitelist)
        av_dict_set(options, "protocol_whitelist", S->protocol_whitelist, 0);
    self->FRequestUrl = Url ? Url : "";
    int rc = open(S, Pb, Url, Flags, options);
    if (rc >= 0 && *Pb) {
        if (int refused = self->RefuseDowngrade(self->FRequestUrl, *Pb); refused < 0) {
            avio_closep(Pb);
            return refused;
        }
    }
    return rc;
}

std::int32_t TMediaNetReader::ChooseFormat(const std::string &Mime, const AVInputFormat *&Format)
{
    const char *byType = FormatForMime(Mime);
    if (byType && (std::strcmp(byType, "mp3") == 0 || std::strcmp(byType, "aac") == 0)) {
        // Many AAC stations announce themselves as audio/mpeg (and the odd MP3 one as AAC):
        // the first frames decide between the two; anything else keeps what the type says.
        const AVInputFormat *probed = nullptr;
        if (av_probe_input_buffer2(FIO.get(), &probed, FRequestUrl.c_str(), nullptr, 0, 4096) >= 0 && probed &&
            (std::strcmp(probed->name, "mp3") == 0 || std::strcmp(probed->name, "aac") == 0))
            byType = probed->name;
        else if (FAbort)
            return AVERROR_EXIT;
    }
    if (byType) {
        Format = av_find_input_format(byType);
        return Format ? 0 : AVERROR_DEMUXER_NOT_FOUND;
    }
    // No telling content type: look at the first bytes, as FFmpeg would, but name what was
    // found when it is not a station's format instead of opening it.
    const AVInputFormat *probed = nullptr;
    const int rc = av_probe_input_buffer2(FIO.get(), &probed, FRequestUrl.c_str(), nullptr, 0, 16384);
    const std::string type = Lower(Trim(Mime.substr(0, Mime.find(';'))));
    if (rc < 0 || !probed) {
        // A time-out or a close keeps its own words; a body that ended or broke off before
        // any format showed (a short page) is not audio.
        if (FAbort || rc == AVERROR(ETIMEDOUT) || rc == AVERROR_EXIT)
            return rc;
        FOwnReason = "not an audio stream" + (type.empty() ? std::string() : " (the server sent " + type + ")");
        return AVERROR_INVALIDDATA;
    }
    if (!InList(probed->name, StationFormats)) {
        const bool text = type.starts_with("text/") || type.find("html") != std::string::npos;
        FOwnReason = text ? "not an audio stream (the server sent " + type + ")"
                          : std::string("not a format radio stations use: ") +
                                (probed->long_name ? probed->long_name : probed->name);
        return AVERROR_INVALIDDATA;
    }
    Format = probed;
    return 0;
}

std::int32_t TMediaNetReader::Open(const std::string &Url, std::shared_ptr<IMediaReaderCallback> Callback)
{
    Close();
    FRefusal.clear();
    const std::string scheme = SchemeOf(Url);
    if (scheme != "http" && scheme != "https" && scheme != "hls") {
        FRefusal = "the address \"" + Url + "\" is not a network stream (only http and https addresses can be played)";
        return E_INVALIDARG_RESULT;
    }
    if (!Callback)
        return E_INVALIDARG_RESULT;
    FCallback = std::move(Callback);
    FAbort = false;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FRun = TRun::Idle;
        FRestart = false;
        FOpened = false;
        FEnded = false;
        FOutput = TMediaType{};
        FLastError.clear();
    }
    FHeader.Clear();
    FThread = std::thread(&TMediaNetReader::ThreadMain, this, Url);
    return 0;
}

std::int32_t TMediaNetReader::GetOutputCount(std::uint32_t &Count) const
{
    std::lock_guard<std::mutex> lock(FLock);
    if (!FOpened)
        return E_UNEXPECTED_RESULT;
    Count = FStreamIndex < 0 ? 0u : static_cast<std::uint32_t>(FStreamIndex + 1);
    return 0;
}

std::int32_t TMediaNetReader::GetOutputProps(std::uint32_t Output, TMediaType &Type) const
{
    std::lock_guard<std::mutex> lock(FLock);
    if (!FOpened || FStreamIndex < 0 || Output > static_cast<std::uint32_t>(FStreamIndex))
        return E_INVALIDARG_RESULT;
    // Only the stream being decoded has a PCM format; the others are described as not audio.
    Type = Output == static_cast<std::uint32_t>(FStreamIndex) ? FOutput : TMediaType{};
    return 0;
}

std::int32_t TMediaNetReader::Start(std::int64_t, std::int64_t, float Rate)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FOpened)
            return E_UNEXPECTED_RESULT;
    }
    // Reported before the thread may run: a short stream could otherwise end (and report
    // WMT_END_OF_FILE) before "started" arrives and overwrites it.
    FCallback->OnStatus(WMT_STARTED, 0);
    {
        std::lock_guard<std::mutex> lock(FLock);
        FRun = TRun::Running;
        FRate = Rate > 0.0f ? Rate : 1.0f;
        FRestart = true;
    }
    FWake.notify_all();
    return 0;
}

std::int32_t TMediaNetReader::Pause()
{
    std::lock_guard<std::mutex> lock(FLock);
    if (!FOpened)
        return E_UNEXPECTED_RESULT;
    if (FRun == TRun::Running)
        FRun = TRun::Paused;
    return 0;
}

std::int32_t TMediaNetReader::Resume()
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FOpened)
            return E_UNEXPECTED_RESULT;
        if (FRun == TRun::Paused)
            FRun = TRun::Running;
    }
    FWake.notify_all();
    return 0;
}

std::int32_t TMediaNetReader::Stop()
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FOpened)
            return E_UNEXPECTED_RESULT;
        FRun = TRun::Stopped;
    }
    FWake.notify_all();
    FCallback->OnStatus(WMT_STOPPED, 0);
    return 0;
}

std::int32_t TMediaNetReader::Close()
{
    if (!FThread.joinable() && !FCallback)
        return 0;
    FAbort = true;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FRun = TRun::Stopped;
    }
    FWake.notify_all();
    if (FThread.joinable())
        FThread.join();
    // The thread has ended: its FFmpeg state can go on this thread.
    FPrimed.clear();
    FTempo.Close();
    FConverter.Reset();
    FDecoder.Close();
    FPacket.reset();
    FFormat.reset();
    FIO.reset();
    FStreamIndex = -1;
    FBroadcast = TBroadcastFormat::None;
    FBroadcastStream = TBroadcastStream{};
    FInputEnded = false;
    FIcyPacket.clear();
    FIcyServer = false;
    bool wasOpened;
    {
        std::lock_guard<std::mutex> lock(FLock);
        wasOpened = FOpened;
        FOpened = false;
        FRun = TRun::Idle;
    }
    if (FCallback && wasOpened)
        FCallback->OnStatus(WMT_CLOSED, 0);
    FCallback.reset();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Reader thread.

void TMediaNetReader::ThreadMain(std::string Url)
{
    std::int32_t rc = Connect(Url);
    if (rc == 0)
        rc = Prime();
    if (rc < 0) {
        if (FAbort)
            rc = AVERROR_EXIT;
        FCallback->OnStatus(WMT_OPENED, rc);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(FLock);
        FOpened = true;
    }
    FCallback->OnStatus(WMT_OPENED, 0);

    for (;;) {
        bool restart;
        float rate;
        {
            std::unique_lock<std::mutex> lock(FLock);
            FWake.wait(lock, [&] { return FAbort.load() || FRun == TRun::Running; });
            if (FAbort)
                return;
            restart = FRestart;
            FRestart = false;
            rate = FRate;
        }
        if (restart) {
            FTempo.Close(); // opened again at the next frame when the rate is not 1
            FTempoRate = rate;
        }
        if (FStreamIndex < 0)
            return; // nothing to decode: the owner sees no audio output
        if (FCallback->QueuedBytes() > FHoldBackBytes) {
            // The consumer is behind by more than HoldBackSeconds: read nothing until it catches up.
            std::unique_lock<std::mutex> lock(FLock);
            FWake.wait_for(lock, std::chrono::milliseconds(20), [&] { return FAbort.load(); });
            continue;
        }
        if (!FPrimed.empty()) {
            ff::Frame frame = std::move(FPrimed.front());
            FPrimed.pop_front();
            rc = Deliver(frame.get());
        } else {
            rc = ReadStep();
        }
        if (rc == AVERROR_EOF) {
            {
                std::lock_guard<std::mutex> lock(FLock);
                FEnded = true;
            }
            FCallback->OnStatus(WMT_END_OF_FILE, 0);
            return;
        }
        if (rc < 0) {
            if (FAbort)
                return;
            SetError("reading the stream", rc);
            {
                std::lock_guard<std::mutex> lock(FLock);
                FEnded = true;
            }
            FCallback->OnStatus(WMT_ERROR, rc);
            return;
        }
    }
}

std::int32_t TMediaNetReader::Connect(const std::string &Url)
{
    tCapture = true;
    tLogged.clear();
    FOwnReason.clear();
    FRequestUrl = Url;
    const AVIOInterruptCB interrupt{&TMediaNetReader::InterruptCallback, this};

    const AVInputFormat *fmt = nullptr;
    if (LooksLikeHls(Url) || SchemeOf(Url) == "hls") {
        fmt = av_find_input_format("hls");
    } else {
        ff::Dict opts;
        SetRequestOptions(&opts.ptr);
        opts.Set("icy", "1");
        AVIOContext *io = nullptr;
        int rc = avio_open2(&io, Url.c_str(), AVIO_FLAG_READ, &interrupt, &opts.ptr);
        if (rc < 0) {
            SetError("connecting to " + Url, rc);
            return rc;
        }
        FIO.reset(io);
        if ((rc = RefuseDowngrade(Url, io)) < 0) {
            SetError("connecting to " + Url, rc);
            return rc;
        }
        rc = ChooseFormat(OptString(io, "mime_type"), fmt);
        if (rc < 0) {
            SetError("reading the stream header of " + Url, rc);
            return rc;
        }
        if (std::strcmp(fmt->name, "hls") == 0)
            FIO.reset(); // the playlist reader opens the address itself
    }

    AVFormatContext *ctx = avformat_alloc_context();
    if (!ctx)
        return AVERROR(ENOMEM);
    ctx->interrupt_callback = interrupt;
    if (!gDefaultOpen.load())
        gDefaultOpen = ctx->io_open;
    ctx->opaque = this;
    ctx->io_open = &TMediaNetReader::OpenRequest;
    if (FIO) {
        ctx->pb = FIO.get();
        ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    ff::Dict fopts;
    SetRequestOptions(&fopts.ptr);
    fopts.Set("format_whitelist", StationFormats);
    fopts.Set("codec_whitelist", StationCodecs);
    // Small probes: a live stream delivers data at its own pace, and FFmpeg's default probe
    // sizes would wait seconds for it.
    fopts.Set("probesize", "32768");
    fopts.Set("formatprobesize", "16384");
    fopts.Set("analyzeduration", "500000");
    int rc = avformat_open_input(&ctx, Url.c_str(), fmt, &fopts.ptr); // frees ctx on failure
    if (rc < 0) {
        SetError("reading the stream header of " + Url, rc);
        return rc;
    }
    FFormat.reset(ctx);

    bool needInfo = ctx->nb_streams == 0;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters *par = ctx->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && (par->codec_id == AV_CODEC_ID_NONE || par->sample_rate <= 0))
            needInfo = true;
    }
    if (needInfo || (fmt && std::strcmp(fmt->name, "hls") == 0)) {
        rc = avformat_find_stream_info(ctx, nullptr);
        if (rc < 0) {
            SetError("reading the stream information of " + Url, rc);
            return rc;
        }
    }
    FStreamIndex = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (FStreamIndex < 0) {
        FStreamIndex = -1;
        return 0; // opened, but without audio
    }
    // Only the decoders of the station codecs ever see station bytes.
    const AVCodec *decoder = avcodec_find_decoder(ctx->streams[FStreamIndex]->codecpar->codec_id);
    if (!decoder || !InList(decoder->name, StationCodecs)) {
        const char *name = avcodec_get_name(ctx->streams[FStreamIndex]->codecpar->codec_id);
        FOwnReason = std::string("not a format radio stations use: ") + (name ? name : "unknown") + " audio";
        SetError("opening the audio decoder for " + Url, AVERROR_DECODER_NOT_FOUND);
        return AVERROR_DECODER_NOT_FOUND;
    }
    rc = FDecoder.Open(ctx->streams[FStreamIndex]);
    if (rc < 0) {
        SetError("opening the audio decoder for " + Url, rc);
        return rc;
    }
    FPacket.reset(av_packet_alloc());
    if (!FPacket)
        return AVERROR(ENOMEM);
    {
        // Only a bare stream's packets are whole frames that make a stream on their own.
        const AVCodecID codec = ctx->streams[FStreamIndex]->codecpar->codec_id;
        const char *format = ctx->iformat->name;
        const AVCodecParameters *par = ctx->streams[FStreamIndex]->codecpar;
        TBroadcastFormat kept = TBroadcastFormat::None;
        if (std::strcmp(format, "mp3") == 0 && codec == AV_CODEC_ID_MP3)
            kept = TBroadcastFormat::Mp3;
        else if (std::strcmp(format, "aac") == 0 && codec == AV_CODEC_ID_AAC)
            kept = TBroadcastFormat::Aac;
        else if (std::strcmp(format, "ogg") == 0 && par->extradata_size > 0 &&
                 (codec == AV_CODEC_ID_VORBIS || codec == AV_CODEC_ID_OPUS))
            kept = codec == AV_CODEC_ID_VORBIS ? TBroadcastFormat::Vorbis : TBroadcastFormat::Opus;
        FBroadcastStream = TBroadcastStream{};
        FBroadcastStream.Format = kept;
        if (IsOggFormat(kept)) {
            FBroadcastStream.Headers.assign(par->extradata, par->extradata + par->extradata_size);
            FBroadcastStream.SampleRate = par->sample_rate;
            FBroadcastStream.Channels = par->ch_layout.nb_channels;
        }
        FBroadcast = kept;
    }

    // Header attributes known before any audio.
    const bool live = FIO ? (FIO->seekable & AVIO_SEEKABLE_NORMAL) == 0 : ctx->duration <= 0;
    if (!live && ctx->duration > 0 && ctx->duration != AV_NOPTS_VALUE)
        FHeader.SetQword("Duration", static_cast<std::uint64_t>(ctx->duration) * 10);
    const AVDictionary *meta = ctx->metadata;
    for (auto [name, key] : {std::pair{"Title", "title"}, {"Author", "artist"}, {"WM/AlbumTitle", "album"},
                             {"WM/Genre", "genre"}, {"WM/Year", "date"}, {"Copyright", "copyright"}})
        if (const AVDictionaryEntry *e = av_dict_get(meta, key, nullptr, 0))
            FHeader.SetText(name, Latin1OrUtf8ToUtf8(e->value));
    ReadIcyHeaders();
    const AVCodecParameters *par = ctx->streams[FStreamIndex]->codecpar;
    TAttrDataType type;
    std::uint16_t len = 0;
    if (FHeader.GetAttributeByName("Bitrate", type, nullptr, len) != 0) {
        std::int64_t br = par->bit_rate > 0 ? par->bit_rate : ctx->bit_rate;
        if (br > 0)
            FHeader.SetDword("Bitrate", static_cast<std::uint32_t>(std::min<std::int64_t>(br, UINT32_MAX)));
    }
    return 0;
}

void TMediaNetReader::ReadIcyHeaders()
{
    const std::string headers = OptString(FFormat->pb, "icy_metadata_headers");
    FIcyServer = !headers.empty();
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t end = headers.find('\n', pos);
        if (end == std::string::npos)
            end = headers.size();
        const std::string line = headers.substr(pos, end - pos);
        pos = end + 1;
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = Lower(Trim(line.substr(0, colon)));
        const std::string value = Latin1OrUtf8ToUtf8(Trim(line.substr(colon + 1)));
        if (value.empty())
            continue;
        if (key == "icy-name")
            FHeader.SetText("Author", value);
        else if (key == "icy-genre")
            FHeader.SetText("WM/Genre", value);
        else if (key == "icy-description")
            FHeader.SetText("Description", value);
        else if (key == "icy-br") {
            const long kbps = std::strtol(value.c_str(), nullptr, 10);
            if (kbps > 0 && kbps < 100000)
                FHeader.SetDword("Bitrate", static_cast<std::uint32_t>(kbps * 1000));
        }
    }
}

void TMediaNetReader::UpdateTitle()
{
    AVFormatContext *ctx = FFormat.get();
    if (ctx->event_flags & AVFMT_EVENT_FLAG_METADATA_UPDATED) {
        ctx->event_flags &= ~AVFMT_EVENT_FLAG_METADATA_UPDATED;
        const std::string packet = OptString(ctx->pb, "icy_metadata_packet");
        std::string title;
        if (packet != FIcyPacket && ParseStreamTitle(packet, title)) {
            FIcyPacket = packet;
            SetTitle(Latin1OrUtf8ToUtf8(title));
        } else if (const AVDictionaryEntry *e = av_dict_get(ctx->metadata, "StreamTitle", nullptr, 0)) {
            if (packet.empty())
                SetTitle(Latin1OrUtf8ToUtf8(e->value));
        }
    }
    if (FStreamIndex >= 0) {
        AVStream *st = ctx->streams[FStreamIndex];
        if (st->event_flags & AVSTREAM_EVENT_FLAG_METADATA_UPDATED) {
            st->event_flags &= ~AVSTREAM_EVENT_FLAG_METADATA_UPDATED;
            const AVDictionaryEntry *t = av_dict_get(st->metadata, "title", nullptr, 0);
            const AVDictionaryEntry *a = av_dict_get(st->metadata, "artist", nullptr, 0);
            std::string title = t ? t->value : "";
            if (a && a->value[0])
                title = title.empty() ? std::string(a->value) : std::string(a->value) + " - " + title;
            if (!title.empty())
                SetTitle(Latin1OrUtf8ToUtf8(title));
        }
    }
}

void TMediaNetReader::SetTitle(const std::string &Title)
{
    FHeader.SetText("Title", Title);
    // Told before the packet that follows the change is passed on.
    if (FSink)
        FSink->OnStreamTitle(Title);
}

std::int32_t TMediaNetReader::Prime()
{
    if (FStreamIndex < 0)
        return 0;
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    // FFmpeg keeps the metadata interval to itself; servers use 8 to 32 KB.
    const std::int64_t metaint = FIcyServer ? 64 * 1024 : 0;
    std::u16string title;
    // Audio counts as found once a few frames in a row decoded with one format: a garbage body
    // that happens to contain a frame header now and then never gets there (and the open then
    // times out), and what came before a decoding error is dropped.
    constexpr std::size_t wanted = 3;
    // In a bare MP3 or AAC stream real frames follow each other without a gap; the demuxer
    // skipping bytes between two packets means it is hunting for frames in noise.
    const bool bare = std::strcmp(FFormat->iformat->name, "mp3") == 0 || std::strcmp(FFormat->iformat->name, "aac") == 0;
    std::int64_t nextPos = -1;
    bool burstOver = false;
    for (;;) {
        if (FPrimed.size() >= wanted) {
            // An ICY stream sends its first title after metaint bytes. A server's burst usually
            // covers that at once: read on while the burst lasts (reads that do not wait), so
            // the title is known at opening, but never wait on the network for it.
            const bool wantTitle = metaint > 0 && !FHeader.GetText("Title", title);
            const bool titleNear = FFormat->pb && avio_tell(FFormat->pb) < metaint + 8192;
            if (!wantTitle || !titleNear || burstOver || Clock::now() - began > std::chrono::milliseconds(250))
                break;
        }
        if (FAbort)
            return AVERROR_EXIT;
        const auto readStart = Clock::now();
        int rc = av_read_frame(FFormat.get(), FPacket.get());
        if (FPrimed.size() >= wanted && Clock::now() - readStart > std::chrono::milliseconds(4))
            burstOver = true;
        if (rc < 0) {
            if (!FPrimed.empty())
                break; // a short stream: what was decoded plays, then the end comes
            SetError("reading the first audio of the stream", rc);
            return rc;
        }
        UpdateTitle();
        if (FPacket->stream_index == FStreamIndex) {
            PassPacket();
            bool broken = FDecoder.Send(FPacket.get()) < 0;
            if (bare && FPacket->pos >= 0) {
                broken = broken || (nextPos >= 0 && FPacket->pos != nextPos);
                nextPos = FPacket->pos + FPacket->size;
            }
            AVFrame *frame = nullptr;
            for (;;) {
                rc = FDecoder.Receive(frame);
                if (rc != 0) {
                    broken = broken || (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF);
                    break;
                }
                const AVFrame *first = FPrimed.empty() ? nullptr : FPrimed.front().get();
                if (first && (first->sample_rate != frame->sample_rate ||
                              first->ch_layout.nb_channels != frame->ch_layout.nb_channels))
                    broken = true;
                ff::Frame copy(av_frame_clone(frame));
                if (!copy)
                    return AVERROR(ENOMEM);
                FPrimed.push_back(std::move(copy));
            }
            if (broken)
                FPrimed.clear();
        }
        av_packet_unref(FPacket.get());
    }
    const AVFrame *first = FPrimed.front().get();
    if (!FitsStation(first)) {
        const int n = first->ch_layout.nb_channels;
        FOwnReason = "unsupported audio format: " + std::to_string(first->sample_rate) + " Hz, " +
                     std::to_string(n) + (n == 1 ? " channel" : " channels") +
                     " (stations use 8000 to 192000 Hz and 1 to 8 channels)";
        SetError("reading the first audio of " + FRequestUrl, AVERROR_INVALIDDATA);
        return AVERROR_INVALIDDATA;
    }
    const unsigned channels = static_cast<unsigned>(first->ch_layout.nb_channels);
    TMediaType type;
    type.IsAudio = true;
    type.HasWaveFormat = true;
    type.Format = TWaveFormat::Pcm(channels, static_cast<unsigned>(first->sample_rate), 16);
    FHoldBackBytes = static_cast<std::uint64_t>(HoldBackSeconds * type.Format.nAvgBytesPerSec);
    {
        std::lock_guard<std::mutex> lock(FLock);
        FOutput = type;
    }
    TAttrDataType t;
    std::uint16_t len = 0;
    if (FHeader.GetAttributeByName("Bitrate", t, nullptr, len) != 0 && FDecoder.Context()->bit_rate > 0)
        FHeader.SetDword("Bitrate", static_cast<std::uint32_t>(FDecoder.Context()->bit_rate));
    return 0;
}

std::int32_t TMediaNetReader::ReadStep()
{
    AVFrame *frame = nullptr;
    if (FInputEnded) {
        int rc = FDecoder.Receive(frame);
        if (rc == 0)
            return Deliver(frame);
        if (FTempo.IsOpen()) {
            FTempo.Push(nullptr);
            AVFrame *out = nullptr;
            while (FTempo.Pull(out) == 0)
                if (int d = DeliverConverted(out); d < 0)
                    return d;
            FTempo.Close();
        }
        return AVERROR_EOF;
    }
    int rc = av_read_frame(FFormat.get(), FPacket.get());
    if (rc == AVERROR_EOF) {
        FInputEnded = true;
        FDecoder.Send(nullptr);
        return 0;
    }
    if (rc < 0)
        return rc;
    UpdateTitle();
    if (FPacket->stream_index == FStreamIndex) {
        PassPacket();
        rc = FDecoder.Send(FPacket.get());
        av_packet_unref(FPacket.get());
        if (rc < 0)
            return 0; // a corrupt packet: skip it
        while (FDecoder.Receive(frame) == 0)
            if (int d = Deliver(frame); d < 0)
                return d;
        return 0;
    }
    av_packet_unref(FPacket.get());
    return 0;
}

void TMediaNetReader::PassPacket()
{
    if (!FSink || !FPacket->data || FPacket->size <= 0)
        return;
    if (!IsOggFormat(FBroadcast.load())) {
        FSink->OnPacket(FPacket->data, static_cast<std::size_t>(FPacket->size));
        return;
    }
    // Ogg: the packet's length and duration in front, so that pages can be rebuilt from it.
    const auto size = static_cast<std::uint32_t>(FPacket->size);
    std::int64_t duration = FPacket->duration;
    const AVStream *st = FFormat->streams[FStreamIndex];
    if (duration > 0 && st->codecpar->sample_rate > 0)
        duration = av_rescale_q(duration, st->time_base, AVRational{1, st->codecpar->sample_rate});
    const auto samples = static_cast<std::uint32_t>(duration > 0 && duration < UINT32_MAX ? duration : 0);
    FFramed.resize(OggPacketHeaderBytes + size);
    for (int k = 0; k < 4; ++k) {
        FFramed[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(size >> (8 * k));
        FFramed[static_cast<std::size_t>(4 + k)] = static_cast<std::uint8_t>(samples >> (8 * k));
    }
    std::memcpy(FFramed.data() + OggPacketHeaderBytes, FPacket->data, size);
    FSink->OnPacket(FFramed.data(), FFramed.size());
}

std::int32_t TMediaNetReader::Deliver(AVFrame *Frame)
{
    // A frame outside the rates and channel counts of stations (a corrupt header midway) is
    // dropped: converting it could ask the resampler for absurd buffer sizes.
    if (!FitsStation(Frame))
        return 0;
    if (FTempoRate == 1.0f)
        return DeliverConverted(Frame);
    if (FTempo.IsOpen() && !FTempo.Fits(Frame))
        FTempo.Close(); // the stream changed its format: a graph for the new one
    if (!FTempo.IsOpen()) {
        if (int rc = FTempo.Open(Frame, FTempoRate); rc < 0) {
            SetError("setting up the tempo filter", rc);
            return rc;
        }
    }
    if (int rc = FTempo.Push(Frame); rc < 0)
        return rc;
    AVFrame *out = nullptr;
    while (FTempo.Pull(out) == 0)
        if (int rc = DeliverConverted(out); rc < 0)
            return rc;
    return 0;
}

std::int32_t TMediaNetReader::DeliverConverted(AVFrame *Frame)
{
    const std::uint8_t *data = nullptr;
    std::uint32_t length = 0;
    // Written before the thread reports opened. A stream that changes its rate or channels
    // midway is converted to the format it opened with, which the pipeline was built for.
    const unsigned channels = FOutput.Format.nChannels;
    int rc = FConverter.Convert(Frame, channels, 16, data, length, FOutput.Format.nSamplesPerSec);
    if (rc < 0) {
        SetError("converting decoded audio", rc);
        return rc;
    }
    if (length == 0)
        return 0;
    std::int64_t time = 0;
    if (Frame->best_effort_timestamp != AV_NOPTS_VALUE && FStreamIndex >= 0)
        time = av_rescale_q(Frame->best_effort_timestamp, FFormat->streams[FStreamIndex]->time_base,
                            AVRational{1, 10000000});
    FCallback->OnSample(static_cast<std::uint32_t>(FStreamIndex), time, data, length);
    return 0;
}
