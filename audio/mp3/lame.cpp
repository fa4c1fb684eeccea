#include "lame.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// LAME's own interface, declared here so that nothing of LAME is needed at build time. The
// values are those of LAME's published API (3.9x .. 3.100).
struct lame_global_struct;
using lame_t = lame_global_struct *;
using lame_report_function = void (*)(const char *format, va_list ap);

enum LameVbrMode { lame_vbr_off = 0, lame_vbr_rh = 2, lame_vbr_abr = 3, lame_vbr_mtrh = 4 };
enum LameMpegMode { lame_STEREO = 0, lame_JOINT_STEREO = 1, lame_DUAL_CHANNEL = 2, lame_MONO = 3 };

struct LameApi {
    lame_t (*init)();
    int (*close)(lame_t);
    int (*set_in_samplerate)(lame_t, int);
    int (*set_out_samplerate)(lame_t, int);
    int (*set_num_channels)(lame_t, int);
    int (*set_mode)(lame_t, int);
    int (*set_brate)(lame_t, int);
    int (*set_VBR)(lame_t, int);
    int (*set_VBR_q)(lame_t, int);
    int (*set_VBR_mean_bitrate_kbps)(lame_t, int);
    int (*set_VBR_min_bitrate_kbps)(lame_t, int);
    int (*set_VBR_max_bitrate_kbps)(lame_t, int);
    int (*set_copyright)(lame_t, int);
    int (*set_original)(lame_t, int);
    int (*set_error_protection)(lame_t, int);
    int (*set_extension)(lame_t, int);
    int (*set_strict_ISO)(lame_t, int);
    int (*set_disable_reservoir)(lame_t, int);
    int (*set_bWriteVbrTag)(lame_t, int);
    int (*set_emphasis)(lame_t, int);
    int (*set_quality)(lame_t, int);
    int (*set_errorf)(lame_t, lame_report_function);
    int (*set_debugf)(lame_t, lame_report_function);
    int (*set_msgf)(lame_t, lame_report_function);
    int (*init_params)(lame_t);
    int (*get_framesize)(const lame_t);
    int (*get_num_channels)(const lame_t);
    int (*encode_buffer)(lame_t, const short *, const short *, int, unsigned char *, int);
    int (*encode_buffer_interleaved)(lame_t, short *, int, unsigned char *, int);
    int (*encode_flush)(lame_t, unsigned char *, int);
    std::size_t (*get_lametag_frame)(const lame_t, unsigned char *, std::size_t);
};

std::mutex LoadLock;             // guards the loading below
std::atomic<bool> Loaded{false}; // set (release) once Api is complete; read (acquire) by callers
LameApi Api{};

// LAME reports through printf-style callbacks; its messages are not wanted on our stderr.
void Quiet(const char *, va_list) {}

template <typename F>
bool Resolve(void *Handle, const char *Name, F &Target, std::string &Missing)
{
    void *p = dlsym(Handle, Name);
    if (!p) {
        Missing = Name;
        return false;
    }
    Target = reinterpret_cast<F>(p);
    return true;
}

// One encoder stream.
struct Stream {
    lame_t gf = nullptr;
    std::uint32_t ChunkValues = 0; // 16-bit values per chunk
    std::uint32_t OutSize = 0;     // bytes the caller's output buffer holds
    bool VbrTag = false;
    bool Flushed = false;
    std::vector<std::uint8_t> TagFrame; // the VBR header frame, taken when flushing

    ~Stream()
    {
        if (gf)
            Api.close(gf);
    }
};

std::mutex StreamLock; // guards Streams and NextHandle
std::map<HBE_STREAM, std::unique_ptr<Stream>> Streams;
HBE_STREAM NextHandle = 1;

// The VBR header frame of the last stream this thread closed with a tag reserved.
thread_local std::vector<std::uint8_t> PendingTagFrame;

Stream *Find(HBE_STREAM Handle)
{
    std::lock_guard<std::mutex> lock(StreamLock);
    auto it = Streams.find(Handle);
    return it == Streams.end() ? nullptr : it->second.get();
}

bool AllOk(std::initializer_list<int> Results)
{
    for (int r : Results)
        if (r != 0)
            return false;
    return true;
}

// Applies the record to a fresh encoder; false when LAME refuses a value.
bool Configure(lame_t gf, const BE_CONFIG &c)
{
    const bool mono = c.nMode == BE_MP3_MODE_MONO;
    int mode = lame_STEREO;
    switch (c.nMode) {
    case BE_MP3_MODE_STEREO: mode = lame_STEREO; break;
    case BE_MP3_MODE_JSTEREO: mode = lame_JOINT_STEREO; break;
    case BE_MP3_MODE_DUALCHANNEL: mode = lame_DUAL_CHANNEL; break;
    case BE_MP3_MODE_MONO: mode = lame_MONO; break;
    default: return false;
    }
    if (c.nPreset != LQP_NOPRESET && c.nPreset != LQP_NORMAL_QUALITY)
        return false;
    if (c.dwSampleRate == 0 || c.dwSampleRate > 192000 || c.dwReSampleRate > 192000)
        return false;

    bool ok = AllOk({Api.set_in_samplerate(gf, static_cast<int>(c.dwSampleRate)),
                     Api.set_num_channels(gf, mono ? 1 : 2), Api.set_mode(gf, mode),
                     Api.set_extension(gf, c.bPrivate ? 1 : 0),
                     Api.set_error_protection(gf, c.bCRC ? 1 : 0),
                     Api.set_copyright(gf, c.bCopyright ? 1 : 0),
                     Api.set_original(gf, c.bOriginal ? 1 : 0),
                     Api.set_bWriteVbrTag(gf, c.bWriteVBRHeader ? 1 : 0),
                     Api.set_disable_reservoir(gf, c.bNoRes ? 1 : 0),
                     Api.set_strict_ISO(gf, c.bStrictIso ? 1 : 0)});
    if (!ok)
        return false;
    // dwReSampleRate 0 asks for no resampling. Left to itself LAME would lower the rate for low
    // bit rates (44100 Hz at 96 kbit/s would become 32000 Hz), so the input's rate is asked for
    // whenever an MP3 stream can carry it; only other input rates are left to LAME's choice.
    std::uint32_t outRate = c.dwReSampleRate;
    if (outRate == 0) {
        static constexpr std::uint32_t mp3Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
        for (std::uint32_t r : mp3Rates)
            if (r == c.dwSampleRate)
                outRate = r;
    }
    if (outRate != 0 && Api.set_out_samplerate(gf, static_cast<int>(outRate)) != 0)
        return false;
    if (c.dwEmphasis != 0 && Api.set_emphasis(gf, static_cast<int>(c.dwEmphasis)) != 0)
        return false;
    if (c.nQuality != 0) {
        const unsigned low = c.nQuality & 0xFF, high = c.nQuality >> 8;
        if (high == (~low & 0xFF) && low <= 9 && Api.set_quality(gf, static_cast<int>(low)) != 0)
            return false;
    }
    if (c.dwBitrate > 640 || c.dwMaxBitrate > 640)
        return false;

    // The ABR rate: callers fill either kbit/s or bit/s.
    const std::uint32_t abrKbps = c.dwVbrAbr_bps < 1000 ? c.dwVbrAbr_bps : (c.dwVbrAbr_bps + 500) / 1000;
    const bool abr = c.nVbrMethod == VBR_METHOD_ABR && abrKbps != 0;
    if (abr) {
        ok = AllOk({Api.set_VBR(gf, lame_vbr_abr),
                    Api.set_VBR_mean_bitrate_kbps(gf, static_cast<int>(abrKbps))});
    } else if (c.bEnableVBR) {
        int method = lame_vbr_mtrh;
        switch (c.nVbrMethod) {
        case VBR_METHOD_NONE: method = lame_vbr_off; break;
        case VBR_METHOD_OLD: method = lame_vbr_rh; break;
        case VBR_METHOD_DEFAULT:
        case VBR_METHOD_NEW:
        case VBR_METHOD_MTRH: method = lame_vbr_mtrh; break;
        default: return false;
        }
        if (c.nVBRQuality < 0 || c.nVBRQuality > 9)
            return false;
        ok = AllOk({Api.set_VBR(gf, method), Api.set_VBR_q(gf, c.nVBRQuality)});
        if (ok && method == lame_vbr_off && c.dwBitrate != 0)
            ok = Api.set_brate(gf, static_cast<int>(c.dwBitrate)) == 0;
    } else {
        ok = Api.set_VBR(gf, lame_vbr_off) == 0;
        if (ok && c.dwBitrate != 0)
            ok = Api.set_brate(gf, static_cast<int>(c.dwBitrate)) == 0;
    }
    if (ok && (abr || c.bEnableVBR)) {
        if (c.dwBitrate != 0)
            ok = Api.set_VBR_min_bitrate_kbps(gf, static_cast<int>(c.dwBitrate)) == 0;
        if (ok && c.dwMaxBitrate != 0)
            ok = Api.set_VBR_max_bitrate_kbps(gf, static_cast<int>(c.dwMaxBitrate)) == 0;
    }
    return ok && Api.init_params(gf) >= 0;
}

} // namespace

std::string LameLibraryName()
{
    const char *env = std::getenv("FONOLUX_LAME_LIBRARY");
    return env && *env ? std::string(env) : std::string("libmp3lame.so.0");
}

bool LameLibraryLoaded()
{
    return Loaded.load(std::memory_order_acquire);
}

bool LameLoadLibrary(std::string *Error)
{
    if (Loaded.load(std::memory_order_acquire))
        return true;
    std::lock_guard<std::mutex> lock(LoadLock);
    if (Loaded.load(std::memory_order_relaxed))
        return true;
    const std::string name = LameLibraryName();
    void *h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        if (Error) {
            const char *e = dlerror();
            *Error = e ? e : ("cannot load " + name);
        }
        return false;
    }
    LameApi api{};
    std::string missing;
    const bool all =
        Resolve(h, "lame_init", api.init, missing) && Resolve(h, "lame_close", api.close, missing) &&
        Resolve(h, "lame_set_in_samplerate", api.set_in_samplerate, missing) &&
        Resolve(h, "lame_set_out_samplerate", api.set_out_samplerate, missing) &&
        Resolve(h, "lame_set_num_channels", api.set_num_channels, missing) &&
        Resolve(h, "lame_set_mode", api.set_mode, missing) &&
        Resolve(h, "lame_set_brate", api.set_brate, missing) &&
        Resolve(h, "lame_set_VBR", api.set_VBR, missing) &&
        Resolve(h, "lame_set_VBR_q", api.set_VBR_q, missing) &&
        Resolve(h, "lame_set_VBR_mean_bitrate_kbps", api.set_VBR_mean_bitrate_kbps, missing) &&
        Resolve(h, "lame_set_VBR_min_bitrate_kbps", api.set_VBR_min_bitrate_kbps, missing) &&
        Resolve(h, "lame_set_VBR_max_bitrate_kbps", api.set_VBR_max_bitrate_kbps, missing) &&
        Resolve(h, "lame_set_copyright", api.set_copyright, missing) &&
        Resolve(h, "lame_set_original", api.set_original, missing) &&
        Resolve(h, "lame_set_error_protection", api.set_error_protection, missing) &&
        Resolve(h, "lame_set_extension", api.set_extension, missing) &&
        Resolve(h, "lame_set_strict_ISO", api.set_strict_ISO, missing) &&
        Resolve(h, "lame_set_disable_reservoir", api.set_disable_reservoir, missing) &&
        Resolve(h, "lame_set_bWriteVbrTag", api.set_bWriteVbrTag, missing) &&
        Resolve(h, "lame_set_emphasis", api.set_emphasis, missing) &&
        Resolve(h, "lame_set_quality", api.set_quality, missing) &&
        Resolve(h, "lame_set_errorf", api.set_errorf, missing) &&
        Resolve(h, "lame_set_debugf", api.set_debugf, missing) &&
        Resolve(h, "lame_set_msgf", api.set_msgf, missing) &&
        Resolve(h, "lame_init_params", api.init_params, missing) &&
        Resolve(h, "lame_get_framesize", api.get_framesize, missing) &&
        Resolve(h, "lame_get_num_channels", api.get_num_channels, missing) &&
        Resolve(h, "lame_encode_buffer", api.encode_buffer, missing) &&
        Resolve(h, "lame_encode_buffer_interleaved", api.encode_buffer_interleaved, missing) &&
        Resolve(h, "lame_encode_flush", api.encode_flush, missing) &&
        Resolve(h, "lame_get_lametag_frame", api.get_lametag_frame, missing);
    if (!all) {
        dlclose(h);
        if (Error)
            *Error = name + " has no entry point " + missing;
        return false;
    }
    Api = api;
    // The library stays loaded for the rest of the process; the handle is never closed.
    Loaded.store(true, std::memory_order_release);
    return true;
}

BE_ERR beInitStream(const BE_CONFIG *pbeConfig, std::uint32_t *dwSamples, std::uint32_t *dwBufferSize,
                    HBE_STREAM *phbeStream)
{
    if (!pbeConfig || !dwSamples || !dwBufferSize || !phbeStream)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const BE_CONFIG &c = *pbeConfig;
    if (c.dwConfig != BE_CONFIG_LAME || c.dwStructVersion < 1 || c.dwStructSize != sizeof(BE_CONFIG))
        return BE_ERR_INVALID_FORMAT;
    if (!LameLoadLibrary())
        return BE_ERR_LIBRARY_NOT_LOADED;

    auto s = std::make_unique<Stream>();
    s->gf = Api.init();
    if (!s->gf)
        return BE_ERR_NO_MORE_HANDLES;
    Api.set_errorf(s->gf, Quiet);
    Api.set_debugf(s->gf, Quiet);
    Api.set_msgf(s->gf, Quiet);
    if (!Configure(s->gf, c))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    const int frame = Api.get_framesize(s->gf);
    const int channels = Api.get_num_channels(s->gf);
    if (frame <= 0 || channels <= 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    s->ChunkValues = static_cast<std::uint32_t>(frame * channels);
    // LAME's worst case for n samples per channel is 1.25 n + 7200 bytes; the flush needs 7200.
    s->OutSize = static_cast<std::uint32_t>(frame) * 5 / 4 + 7200;
    s->VbrTag = c.bWriteVBRHeader != 0;

    std::lock_guard<std::mutex> lock(StreamLock);
    HBE_STREAM handle = NextHandle;
    while (handle == 0 || Streams.count(handle)) // skip 0 and handles still in use after wrap-around
        ++handle;
    NextHandle = handle + 1;
    *dwSamples = s->ChunkValues;
    *dwBufferSize = s->OutSize;
    Streams.emplace(handle, std::move(s));
    *phbeStream = handle;
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beEncodeChunk(HBE_STREAM hbeStream, std::uint32_t nSamples, const std::int16_t *pSamples,
                     std::uint8_t *pOutput, std::uint32_t *pdwOutput)
{
    Stream *s = Find(hbeStream);
    if (!s)
        return BE_ERR_INVALID_HANDLE;
    if (!pdwOutput || !pOutput || (nSamples != 0 && !pSamples) || s->Flushed)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = 0;
    const bool stereo = Api.get_num_channels(s->gf) == 2;
    if (nSamples > s->ChunkValues || (stereo && nSamples % 2 != 0))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (nSamples == 0)
        return BE_ERR_SUCCESSFUL;
    int produced;
    if (stereo) {
        // LAME's interleaved entry point takes a non-const pointer but only reads the samples.
        produced = Api.encode_buffer_interleaved(s->gf, const_cast<short *>(pSamples), static_cast<int>(nSamples / 2),
                                                 pOutput, static_cast<int>(s->OutSize));
    } else {
        produced = Api.encode_buffer(s->gf, pSamples, pSamples, static_cast<int>(nSamples), pOutput,
                                     static_cast<int>(s->OutSize));
    }
    if (produced == -1)
        return BE_ERR_BUFFER_TOO_SMALL;
    if (produced < 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = static_cast<std::uint32_t>(produced);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beDeinitStream(HBE_STREAM hbeStream, std::uint8_t *pOutput, std::uint32_t *pdwOutput)
{
    Stream *s = Find(hbeStream);
    if (!s)
        return BE_ERR_INVALID_HANDLE;
    if (!pOutput || !pdwOutput)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = 0;
    if (s->Flushed)
        return BE_ERR_SUCCESSFUL;
    const int produced = Api.encode_flush(s->gf, pOutput, static_cast<int>(s->OutSize));
    if (produced == -1)
        return BE_ERR_BUFFER_TOO_SMALL;
    if (produced < 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    s->Flushed = true;
    *pdwOutput = static_cast<std::uint32_t>(produced);
    if (s->VbrTag) {
        // The header frame is complete only now that every frame has been counted.
        std::vector<std::uint8_t> frame(2880);
        const std::size_t n = Api.get_lametag_frame(s->gf, frame.data(), frame.size());
        if (n > 0 && n <= frame.size()) {
            frame.resize(n);
            s->TagFrame = std::move(frame);
        }
    }
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beCloseStream(HBE_STREAM hbeStream)
{
    std::unique_ptr<Stream> s;
    {
        std::lock_guard<std::mutex> lock(StreamLock);
        auto it = Streams.find(hbeStream);
        if (it == Streams.end())
            return BE_ERR_INVALID_HANDLE;
        s = std::move(it->second);
        Streams.erase(it);
    }
    if (!s->TagFrame.empty())
        PendingTagFrame = std::move(s->TagFrame);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beWriteVBRHeader(const char *lpszFileName)
{
    if (PendingTagFrame.empty())
        return BE_ERR_NO_VBR_HEADER;
    const std::vector<std::uint8_t> frame = std::move(PendingTagFrame);
    PendingTagFrame.clear();
    if (!lpszFileName)
        return BE_ERR_FILE_ACCESS;
    std::FILE *f = std::fopen(lpszFileName, "r+b");
    if (!f)
        return BE_ERR_FILE_ACCESS;
    BE_ERR result = BE_ERR_FILE_ACCESS;
    unsigned char head[10];
    long offset = 0;
    if (std::fread(head, 1, sizeof head, f) == sizeof head) {
        if (std::memcmp(head, "ID3", 3) == 0) {
            // Skip an ID3v2 tag: 10-byte header, synchsafe size, optional 10-byte footer.
            offset = 10 + ((head[6] & 0x7F) << 21 | (head[7] & 0x7F) << 14 | (head[8] & 0x7F) << 7 | (head[9] & 0x7F));
            if (head[5] & 0x10)
                offset += 10;
        }
        unsigned char sync[2];
        if (std::fseek(f, offset, SEEK_SET) == 0 && std::fread(sync, 1, 2, f) == 2) {
            // Overwrite only what is the frame LAME reserved: an MPEG audio frame header whose
            // first two bytes match those of the header frame.
            if (sync[0] == 0xFF && (sync[1] & 0xE0) == 0xE0 && frame.size() >= 2 && sync[0] == frame[0] &&
                (sync[1] & 0xFE) == (frame[1] & 0xFE)) {
                if (std::fseek(f, offset, SEEK_SET) == 0 &&
                    std::fwrite(frame.data(), 1, frame.size(), f) == frame.size() && std::fflush(f) == 0)
                    result = BE_ERR_SUCCESSFUL;
            } else {
                result = BE_ERR_INVALID_FORMAT;
            }
        }
    }
    if (std::fclose(f) != 0)
        result = BE_ERR_FILE_ACCESS;
    return result;
}

std::string beErrorText(BE_ERR Code)
{
    switch (Code) {
    case BE_ERR_SUCCESSFUL: return "success";
    case BE_ERR_INVALID_FORMAT: return "invalid configuration record or file format";
    case BE_ERR_INVALID_FORMAT_PARAMETERS: return "the encoder refused a configuration value";
    case BE_ERR_NO_MORE_HANDLES: return "no more encoder streams";
    case BE_ERR_INVALID_HANDLE: return "invalid encoder stream handle";
    case BE_ERR_BUFFER_TOO_SMALL: return "output buffer too small";
    case BE_ERR_LIBRARY_NOT_LOADED: return LameLibraryName() + " library could not be loaded";
    case BE_ERR_FILE_ACCESS: return "the file could not be read or written";
    case BE_ERR_NO_VBR_HEADER: return "no VBR header is waiting to be written";
    default: return "unknown encoder error " + std::to_string(Code);
    }
}
