// The frame index of an MP3 file: Layer III frame headers, the tags around the audio, the
// Xing/Info/VBRI frame, and the exact sample timeline a gapless decoder plays.
//
// Pure functions over a caller-owned byte buffer; no I/O, no threads, no FFmpeg. Any thread
// may build an index; an index is a plain value and holds offsets only, never a pointer into
// the buffer it was built from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The fixed delay of a Layer III decoder's filterbank (granule overlap and polyphase synthesis),
// in samples: a decoder's output lags the encoded signal by this much.
inline constexpr int Mp3DecoderDelay = 529;

// One MPEG audio frame header as it stands in the stream.
struct Mp3FrameHeader {
    std::uint32_t Raw = 0;  // the four header bytes, big-endian
    int Version = 0;        // 1 (MPEG-1), 2 (MPEG-2), 25 (MPEG-2.5)
    int Layer = 0;          // 1, 2 or 3
    bool Crc = false;       // protection bit clear: a 16-bit CRC follows the header
    int BitrateIndex = 0;   // 1..14; 0 is free format
    int Bitrate = 0;        // kbit/s
    int SampleRate = 0;     // Hz
    int Padding = 0;        // 0 or 1 (one extra byte)
    int Mode = 0;           // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono

    int Channels() const { return Mode == 3 ? 1 : 2; }
    // Samples per channel one frame decodes to: 1152 (MPEG-1), 576 (MPEG-2/2.5).
    int SamplesPerFrame() const { return Version == 1 ? 1152 : 576; }
    // Bytes of Layer III side information after the header (and the CRC).
    int SideInfoSize() const;
    // Header, CRC and side info: where the main-data area starts inside the frame.
    int MainDataOffset() const { return 4 + (Crc ? 2 : 0) + SideInfoSize(); }
    // The whole frame's length in bytes.
    int FrameBytes() const;
    // True when Other can follow this header in one stream (version, layer, rate, channels).
    bool SameStream(const Mp3FrameHeader &Other) const;
};

// What ParseMp3Header found at a position.
enum class TMp3HeaderResult {
    Ok,         // a valid Layer III header with a bit rate
    NoSync,     // not a frame header at all (or a reserved field)
    FreeFormat, // Layer III, bit rate index 0
    OtherLayer, // a valid Layer I or II header
};

// Parses the four bytes at P (the caller guarantees four readable bytes). H is filled for Ok,
// FreeFormat and OtherLayer.
TMp3HeaderResult ParseMp3Header(const std::uint8_t *P, Mp3FrameHeader &H);

// Bit rate in kbit/s of Index (1..14) for Version; 0 otherwise.
int Mp3BitrateOf(int Version, int Index);
// The frame length in bytes of a Layer III frame of these properties.
int Mp3FrameBytesOf(int Version, int BitrateKbps, int SampleRate, int Padding);

// One audio frame of the index.
struct Mp3Frame {
    std::size_t Offset = 0;      // of the header, from the start of the buffer
    int Size = 0;                // whole frame, bytes
    Mp3FrameHeader Header;
    int MainDataBegin = 0;       // bytes of main data taken from earlier frames (bit reservoir)
    int MainDataSize() const { return Size - Header.MainDataOffset(); }
};

// The Xing/Info or VBRI frame in front of the audio, when there is one.
enum class TMp3TagKind { None, Xing, Info, Vbri };

// The 36-byte LAME extension after the Xing fields, as found in the source.
struct Mp3LameTag {
    bool Present = false;
    std::array<std::uint8_t, 36> Bytes{}; // from the version string to the tag CRC
    int Delay = 0;                        // encoder delay (12 bits)
    int Padding = 0;                      // samples of padding at the end (12 bits)
};

struct Mp3TagFrame {
    TMp3TagKind Kind = TMp3TagKind::None;
    std::size_t Offset = 0;     // of the tag frame's header
    int Size = 0;               // the tag frame's length in bytes
    bool HasFrames = false;
    std::uint32_t Frames = 0;   // frame count the tag claims (may be wrong; the index counts)
    bool HasBytes = false;
    std::uint32_t Bytes = 0;
    bool HasQuality = false;
    std::uint32_t Quality = 0;
    Mp3LameTag Lame;
};

// Where the tags around the audio lie, as [offset, offset + size) of the buffer.
struct Mp3ByteRange {
    std::size_t Offset = 0;
    std::size_t Size = 0;
};

// The index of a whole MP3 file.
struct Mp3FrameIndex {
    std::vector<Mp3Frame> Frames;   // audio frames only (not the Xing/Info/VBRI frame)
    Mp3TagFrame Tag;
    Mp3ByteRange Id3v2;             // all ID3v2 tags at the front (size 0: none)
    Mp3ByteRange Id3v1;             // the 128-byte ID3v1 block at the end (size 0: none)
    std::size_t AudioBegin = 0, AudioEnd = 0; // the region searched for frames
    std::size_t SkippedBytes = 0;   // bytes between frames that belonged to no frame
    bool Truncated = false;         // the last frame ran past the end and was left out
    int SampleRate = 0;
    int Channels = 0;
    int SamplesPerFrame = 0;

    // True when the source has a LAME tag a gapless decoder honours (delay and padding).
    bool Gapless() const { return Tag.Lame.Present; }
    // Samples a gapless decoder drops at the start of the decoder's raw output: the encoder
    // delay plus the decoder delay with a LAME tag, none without (a raw capture).
    std::int64_t StartSkip() const;
    // The decoder's raw output: every audio frame's samples.
    std::int64_t RawSamples() const { return static_cast<std::int64_t>(Frames.size()) * SamplesPerFrame; }
    // The raw output position after the last played sample. Without a LAME tag the decoder
    // never flushes its filterbank, so the last 529 samples of the signal never come out.
    std::int64_t RawEnd() const;
    // Samples per channel a gapless decoder plays from this file.
    std::int64_t TotalSamples() const { return RawEnd() - StartSkip(); }
    // True when the audio frames do not all share one bit rate.
    bool Vbr() const;
};

// Builds the index of the MP3 file in [Data, Data + Size). Throws EAuException with a message
// for the user when the bytes hold no Layer III stream, a free-format stream or another layer.
// Garbage between frames is skipped and a truncated last frame left out (both noted).
Mp3FrameIndex IndexMp3(const std::uint8_t *Data, std::size_t Size);
