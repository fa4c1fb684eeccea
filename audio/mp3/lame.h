// The MP3 encoder's stream interface: the BE_CONFIG record and the five be... entry points,
// implemented on LAME's own library (libmp3lame.so.0), which is loaded with dlopen the first
// time it is needed. The library's file name can be replaced through the environment variable
// FONOLUX_LAME_LIBRARY (a test points it at a missing file to see the missing-library path).
//
// Streams: beInitStream hands out a 32-bit handle for an encoder configured from BE_CONFIG.
// Each handle belongs to one thread at a time: beEncodeChunk, beDeinitStream and beCloseStream
// on one handle must not run concurrently; different handles may be used on different threads
// at the same time. The handle table itself is guarded by a process-wide mutex.
//
// VBR header: beWriteVBRHeader takes only a file name, so the header frame of the last stream
// that this thread closed with a VBR tag enabled is kept per thread until it is written (or
// until the thread closes another such stream). An encoding run therefore calls beDeinitStream,
// beCloseStream and beWriteVBRHeader on the same thread, as the MP3 output's worker does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using BE_ERR = std::uint32_t;
using HBE_STREAM = std::uint32_t;

// Results.
constexpr BE_ERR BE_ERR_SUCCESSFUL = 0x00000000;
constexpr BE_ERR BE_ERR_INVALID_FORMAT = 0x00000001;            // dwConfig or the record's size
constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 0x00000002; // a value LAME refuses
constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 0x00000003;
constexpr BE_ERR BE_ERR_INVALID_HANDLE = 0x00000004;
constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 0x00000005;
// Codes of this implementation: the library could not be loaded; a file could not be
// read or written (beWriteVBRHeader); no VBR header is waiting to be written.
constexpr BE_ERR BE_ERR_LIBRARY_NOT_LOADED = 0x00000100;
constexpr BE_ERR BE_ERR_FILE_ACCESS = 0x00000101;
constexpr BE_ERR BE_ERR_NO_VBR_HEADER = 0x00000102;

// dwConfig: the only configuration kind accepted is LAME's own.
constexpr std::uint32_t BE_CONFIG_LAME = 256;

// nMode.
constexpr std::int32_t BE_MP3_MODE_STEREO = 0;
constexpr std::int32_t BE_MP3_MODE_JSTEREO = 1;
constexpr std::int32_t BE_MP3_MODE_DUALCHANNEL = 2;
constexpr std::int32_t BE_MP3_MODE_MONO = 3;

// nVbrMethod.
constexpr std::int32_t VBR_METHOD_NONE = -1;
constexpr std::int32_t VBR_METHOD_DEFAULT = 0;
constexpr std::int32_t VBR_METHOD_OLD = 1;
constexpr std::int32_t VBR_METHOD_NEW = 2;
constexpr std::int32_t VBR_METHOD_MTRH = 3;
constexpr std::int32_t VBR_METHOD_ABR = 4;

// nPreset: only "none" is supported; any other preset is refused with
// BE_ERR_INVALID_FORMAT_PARAMETERS rather than silently ignored.
constexpr std::int32_t LQP_NOPRESET = -1;
constexpr std::int32_t LQP_NORMAL_QUALITY = 0;

// The encoder configuration, version-1 layout: packed, 331 bytes. Booleans are 32-bit
// (0 = false, anything else = true). How each field reaches LAME:
//   dwSampleRate      input sample rate (Hz)          dwReSampleRate  output rate; 0 = the input's
//                     rate when MP3 has it (no resampling), else LAME's choice
//   nMode             stereo, joint, dual, mono; mono means a one-channel input, else two
//   dwBitrate         CBR bit rate (kbit/s, 0 = LAME's default); VBR: minimum bit rate
//   dwMaxBitrate      VBR/ABR: maximum bit rate (kbit/s, 0 = none)
//   nPreset           LQP_NOPRESET or LQP_NORMAL_QUALITY (both: no preset)
//   dwMpegVersion, dwPsyModel   not used: the sample rates decide the MPEG version
//   dwEmphasis        emphasis (0 none, 1 50/15 ms, 3 CCITT J.17)
//   bPrivate, bCRC, bCopyright, bOriginal   private bit, CRC protection, copyright, original
//   bWriteVBRHeader   reserve the first frame for the VBR (Xing/Info) header
//   bEnableVBR        VBR by nVbrMethod with quality nVBRQuality (0 best .. 9)
//   dwVbrAbr_bps      ABR mean bit rate: below 1000 read as kbit/s, else bit/s
//   nVbrMethod        VBR_METHOD_...; ABR (4) with a non-zero dwVbrAbr_bps selects ABR even
//                     when bEnableVBR is false; other methods only act with bEnableVBR
//   bNoRes            no bit reservoir           bStrictIso   strict ISO compliance
//   nQuality          0 = LAME's default algorithm quality; else low byte 0..9 when the high
//                     byte is its complement (the published convention), otherwise ignored
#pragma pack(push, 1)
struct BE_CONFIG {
    std::uint32_t dwConfig;
    std::uint32_t dwStructVersion;
    std::uint32_t dwStructSize;
    std::uint32_t dwSampleRate;
    std::uint32_t dwReSampleRate;
    std::int32_t nMode;
    std::uint32_t dwBitrate;
    std::uint32_t dwMaxBitrate;
    std::int32_t nPreset;
    std::uint32_t dwMpegVersion;
    std::uint32_t dwPsyModel;
    std::uint32_t dwEmphasis;
    std::int32_t bPrivate;
    std::int32_t bCRC;
    std::int32_t bCopyright;
    std::int32_t bOriginal;
    std::int32_t bWriteVBRHeader;
    std::int32_t bEnableVBR;
    std::int32_t nVBRQuality;
    std::uint32_t dwVbrAbr_bps;
    std::int32_t nVbrMethod;
    std::int32_t bNoRes;
    std::int32_t bStrictIso;
    std::uint16_t nQuality;
    std::uint8_t btReserved[255 - 4 * sizeof(std::uint32_t) - sizeof(std::uint16_t)];
};
#pragma pack(pop)
static_assert(sizeof(BE_CONFIG) == 331, "BE_CONFIG must keep its published size");

// Loads LAME's library if it is not loaded yet (thread-safe; a failure is retried at the next
// call). Returns true when it is loaded. On failure Error (when given) receives the loader's text.
bool LameLoadLibrary(std::string *Error = nullptr);
// True once the library is loaded; it then stays loaded for the process.
bool LameLibraryLoaded();
// The library name the loader uses: FONOLUX_LAME_LIBRARY when set and not empty, else
// "libmp3lame.so.0".
std::string LameLibraryName();

// Configures an encoder. On success *dwSamples is the number of 16-bit values one chunk holds
// (frame size × channels), *dwBufferSize the size the output buffer of beEncodeChunk and
// beDeinitStream must have, and *phbeStream the new stream's handle. Loads the library when
// needed (BE_ERR_LIBRARY_NOT_LOADED when it cannot).
BE_ERR beInitStream(const BE_CONFIG *pbeConfig, std::uint32_t *dwSamples, std::uint32_t *dwBufferSize,
                    HBE_STREAM *phbeStream);
// Encodes nSamples interleaved 16-bit values (at most *dwSamples of beInitStream; 0 is
// allowed and produces nothing). pOutput holds *dwBufferSize bytes, owned by the caller;
// *pdwOutput receives the bytes produced, possibly 0 (the encoder buffers internally).
BE_ERR beEncodeChunk(HBE_STREAM hbeStream, std::uint32_t nSamples, const std::int16_t *pSamples,
                     std::uint8_t *pOutput, std::uint32_t *pdwOutput);
// Flushes the encoder's last frames into pOutput (*dwBufferSize bytes). Call once, at the end.
BE_ERR beDeinitStream(HBE_STREAM hbeStream, std::uint8_t *pOutput, std::uint32_t *pdwOutput);
// Frees the stream. If it was flushed with a VBR header reserved, the header frame is kept for
// this thread's next beWriteVBRHeader.
BE_ERR beCloseStream(HBE_STREAM hbeStream);
// Writes the kept VBR header frame over the first MP3 frame of the file (after an ID3v2 tag at
// its start, if any). The file is left untouched unless a frame header is found where the
// frame belongs. Returns BE_ERR_NO_VBR_HEADER when nothing is kept, BE_ERR_FILE_ACCESS when
// the file cannot be opened, read or written. A null name only discards the kept frame.
BE_ERR beWriteVBRHeader(const char *lpszFileName);

// A readable English text for a result code.
std::string beErrorText(BE_ERR Code);
