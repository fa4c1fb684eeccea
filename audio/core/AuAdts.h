// The frames of an ADTS AAC stream: where they lie, what their headers say, and the
// AudioSpecificConfig an MPEG-4 file needs in place of the headers.
//
// Pure functions over a caller-owned byte buffer; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Samples per channel of one AAC frame (one raw data block).
inline constexpr int AacFrameSamples = 1024;

// One whole ADTS frame of a buffer.
struct TAdtsFrame {
    std::size_t Offset = 0; // of the header, from the start of the buffer
    std::size_t Size = 0;   // the whole frame with its header
    int HeaderBytes = 7;    // 9 with the header's CRC; the raw block follows
};

// The whole ADTS frames of [Data, Data + Size) in order: bytes between frames (a
// resynchronisation) and a truncated last frame are no frames and are counted in Dropped.
std::vector<TAdtsFrame> ScanAdtsFrames(const std::uint8_t *Data, std::size_t Size, std::size_t &Dropped);

// What the fixed header of the ADTS frame at P (at least 7 readable bytes) says.
struct TAdtsConfig {
    int ObjectType = 0;        // MPEG-4 audio object type: the header's profile + 1 (2 = AAC LC)
    int RateIndex = 0;         // sampling frequency index
    int SampleRate = 0;        // Hz; 0 for a reserved index
    int Channels = 0;          // the channel configuration; 0: given in the stream (a PCE)
    int RawBlocks = 1;         // raw data blocks in the frame (1 almost always)
};
TAdtsConfig AdtsConfigOf(const std::uint8_t *P);

// The two-byte AudioSpecificConfig for Config (object type, rate index, channels).
std::vector<std::uint8_t> AudioSpecificConfig(const TAdtsConfig &Config);
