// Types shared by the two media readers (the file reader and the network reader) that stand in
// for the platform's media runtime: status codes, result codes, the PCM format description of
// an output, and the header attribute store with its by-name lookup.
//
// Results follow the runtime's convention: 0 is success, anything else a failure code. Failures
// that come from FFmpeg carry FFmpeg's negative error code, so ff::ErrorText can describe them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The file of certificate authorities that every https request of the network reader trusts
// (the system's trust store unless a test gave another), for the playlist fetch to trust the
// same ones. Any thread.
std::string MediaTrustedCaFile();

// Status codes a reader reports to its callback.
constexpr std::uint8_t WMT_ERROR = 0;       // the stream failed (the result says why)
constexpr std::uint8_t WMT_OPENED = 1;      // an open request completed (successfully or not)
constexpr std::uint8_t WMT_END_OF_FILE = 4; // every sample has been delivered
constexpr std::uint8_t WMT_STARTED = 11;
constexpr std::uint8_t WMT_STOPPED = 12;
constexpr std::uint8_t WMT_CLOSED = 13;

// Result codes of our own (FFmpeg's codes are negative errno-like values).
constexpr std::int32_t NS_E_PROTECTED_CONTENT = static_cast<std::int32_t>(0xC00D0BBDu);
constexpr std::int32_t ASF_E_NOTFOUND = static_cast<std::int32_t>(0xC00D07F0u);
constexpr std::int32_t ASF_E_BUFFERTOOSMALL = static_cast<std::int32_t>(0xC00D07F1u);
constexpr std::int32_t E_INVALIDARG_RESULT = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t E_UNEXPECTED_RESULT = static_cast<std::int32_t>(0x8000FFFFu);

// The PCM format block of an output format (the fields of a WAVEFORMATEX the components read).
struct TWaveFormat {
    std::uint16_t wFormatTag = 1; // 1 = integer PCM, the only kind the readers deliver
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;

    static TWaveFormat Pcm(unsigned Channels, unsigned SampleRate, unsigned Bits);
    bool operator==(const TWaveFormat &) const = default;
};

// The media type of an output: its major type and, for audio, the PCM format block.
struct TMediaType {
    bool IsAudio = false;        // major type audio
    bool HasWaveFormat = false;  // the format block is a TWaveFormat
    TWaveFormat Format;
};

// Attribute data types, as stored.
enum TAttrDataType : std::uint16_t {
    WMT_TYPE_DWORD = 0,
    WMT_TYPE_STRING = 1, // UTF-16, NUL-terminated; length in bytes includes the NUL
    WMT_TYPE_BINARY = 2,
    WMT_TYPE_BOOL = 3,   // 4 bytes
    WMT_TYPE_QWORD = 4,
    WMT_TYPE_WORD = 5
};

// Header attributes of an open file or stream, looked up by name ("Duration", "Bitrate", "IsVBR",
// "Title", "Author", "WM/AlbumTitle", ...). Thread-safe: the network reader updates "Title" on
// its own thread while the window thread reads.
class THeaderInfo {
public:
    // With Value nil: Length := the value's size in bytes, result 0. With a buffer: copies the
    // value when Length is large enough (result 0, Length := size), else ASF_E_BUFFERTOOSMALL.
    // An absent name gives ASF_E_NOTFOUND.
    std::int32_t GetAttributeByName(const std::string &Name, TAttrDataType &Type, std::uint8_t *Value,
                                    std::uint16_t &Length) const;

    void SetDword(const std::string &Name, std::uint32_t Value);
    void SetBool(const std::string &Name, bool Value);
    void SetQword(const std::string &Name, std::uint64_t Value);
    // UTF-8 in; stored as UTF-16 with a terminating NUL. An empty text removes the attribute.
    void SetText(const std::string &Name, const std::string &Utf8);
    void Remove(const std::string &Name);
    void Clear();

    // Convenience readers for the media layer's own use.
    bool GetText(const std::string &Name, std::u16string &Text) const;

private:
    struct TAttr {
        TAttrDataType Type;
        std::vector<std::uint8_t> Bytes;
    };
    mutable std::mutex FLock;
    std::map<std::string, TAttr> FAttrs;
};

// Rounds a ratio to the nearest integer, halves to even (the rounding every duration uses).
std::int64_t RoundHalfEven(double Value);

// Bytes that are not valid UTF-8 are taken as Latin-1 and converted; valid UTF-8 stays.
std::string Latin1OrUtf8ToUtf8(const std::string &Text);

// The network reader's callback (MediaNetReader.h): status reports and decoded pieces.
class IMediaReaderCallback {
public:
    virtual ~IMediaReaderCallback() = default;
    // Result: 0 success, otherwise the failure code (FFmpeg's, or one of the codes above).
    virtual std::int32_t OnStatus(std::uint8_t Status, std::int32_t Result) = 0;
    // Data is the reader's buffer, valid only during the call: copy what you keep. Time is the
    // piece's presentation time in 100 ns units.
    virtual std::int32_t OnSample(std::uint32_t Output, std::int64_t Time, const std::uint8_t *Data,
                                  std::uint32_t Length) = 0;
    // Bytes of decoded audio received and not yet consumed; the reader holds back above its
    // limit. Called on the reader thread.
    virtual std::uint64_t QueuedBytes() const = 0;
};
