// The Xing/Info frame with its LAME extension (reading and writing), the VBRI header (reading),
// and the two CRC-16 variants MP3 files use.
//
// Pure functions over caller-owned bytes; any thread.
//
// Layout of the frame written here: a Layer III header without CRC, all-zero side info (the
// frame decodes to silence should a decoder play it), "Info" (constant bit rate) or "Xing"
// (variable), the flags 0x0F, the audio frame count, the byte count, the 100-entry TOC, the
// quality, then the 36-byte LAME extension: version string (9), revision and method (1),
// low-pass (1), replay gain (8), flags (1), bit rate (1), delay and padding (12 bits each, 3),
// misc (1), gain (1), preset (2), music length (4), music CRC (2), tag CRC (2).
#pragma once

#include "Mp3Frames.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Bytes the Xing fields (tag, flags, frames, bytes, TOC, quality) take.
inline constexpr int Mp3XingFieldsSize = 120;
// Bytes of the LAME extension after the Xing fields.
inline constexpr int Mp3LameTagSize = 36;

// Reads the Xing/Info or VBRI header of the frame at Frame (Size bytes, header H). Kind is None
// when the frame is an ordinary audio frame. Offset and Size of the result are left for the
// caller. The LAME extension counts as present only when its version string starts with one
// of the encoder names gapless decoders honour ("LAME", "Lavf", "Lavc").
Mp3TagFrame ReadMp3TagFrame(const std::uint8_t *Frame, std::size_t Size, const Mp3FrameHeader &H);

// CRC-16 with the reflected polynomial 0x8005 (0xA001), as the LAME extension uses for its
// music and tag CRCs. Continue a running CRC by passing it as Crc.
std::uint16_t Mp3Crc16Arc(const std::uint8_t *Data, std::size_t Size, std::uint16_t Crc = 0);

// The CRC a CRC-protected Layer III frame carries in its bytes 4 and 5: CRC-16 (polynomial
// 0x8005, initial 0xFFFF) over header bytes 2 and 3 and the side info. Frame must hold at least
// MainDataOffset() bytes.
std::uint16_t Mp3FrameCrc(const std::uint8_t *Frame, const Mp3FrameHeader &H);

// What the first frame of a clip says about the audio frames after it.
struct Mp3InfoParams {
    Mp3FrameHeader Template;       // the first audio frame's header: version, rate, mode, flags
    bool Cbr = true;               // "Info" when every audio frame has one bit rate, else "Xing"
    std::vector<int> FrameSizes;   // each audio frame's length in bytes, in stream order
    int Delay = 0;                 // samples a gapless decoder skips before the decoder delay
    int Padding = 0;               // samples of padding at the end, decoder delay included
    const Mp3TagFrame *Source = nullptr; // the source's tag frame: its LAME fields and quality
                                         // are kept (null or no LAME extension: fresh fields)
    std::uint16_t MusicCrc = 0;    // Mp3Crc16Arc over the audio frames' bytes
};

// Builds the tag frame. Its bit rate is the template's when the fields fit, else the smallest
// that fits; it has no CRC and no padding byte. Throws EAuException when Delay or Padding does
// not fit its 12 bits.
std::vector<std::uint8_t> MakeMp3InfoFrame(const Mp3InfoParams &Params);
