// Layer III frame headers and the frame index of an MP3 file.
#include "Mp3Frames.h"

#include "AuException.h"
#include "Mp3InfoTag.h"

#include <algorithm>
#include <cstring>

namespace {

// Bit rates in kbit/s by [MPEG-1 ? 0 : 1][layer - 1][index].
constexpr int kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
constexpr int kSampleRates[3] = {44100, 48000, 32000};

// The length of a Layer I or II frame, only to recognise such a stream.
int otherLayerBytes(const Mp3FrameHeader &h)
{
    if (h.Layer == 1)
        return (12000 * h.Bitrate / h.SampleRate + h.Padding) * 4;
    return 144000 * h.Bitrate / h.SampleRate + h.Padding;
}

bool isId3v2At(const std::uint8_t *p, std::size_t left)
{
    return left >= 10 && p[0] == 'I' && p[1] == 'D' && p[2] == '3' && p[3] != 0xFF && p[4] != 0xFF &&
           (p[6] | p[7] | p[8] | p[9]) < 0x80;
}

std::uint32_t le32(const std::uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A Layer III header at P that the stream of First can continue with, and its frame length.
bool frameAt(const std::uint8_t *data, std::size_t p, std::size_t end, const Mp3FrameHeader &first,
             Mp3FrameHeader &h)
{
    return p + 4 <= end && ParseMp3Header(data + p, h) == TMp3HeaderResult::Ok && first.SameStream(h);
}

// A frame at P that is confirmed by a frame of the same stream right after it, or that ends
// exactly at the end of the audio.
bool confirmedFrameAt(const std::uint8_t *data, std::size_t p, std::size_t end, const Mp3FrameHeader &first,
                      Mp3FrameHeader &h)
{
    if (!frameAt(data, p, end, first, h))
        return false;
    const std::size_t next = p + static_cast<std::size_t>(h.FrameBytes());
    Mp3FrameHeader n;
    return next == end || frameAt(data, next, end, h, n);
}

// True when frames of First's stream follow each other from P to exactly End.
bool framesRunTo(const std::uint8_t *data, std::size_t p, std::size_t end, const Mp3FrameHeader &first)
{
    Mp3FrameHeader h;
    while (p < end && frameAt(data, p, end, first, h))
        p += static_cast<std::size_t>(h.FrameBytes());
    return p == end;
}

} // namespace

int Mp3FrameHeader::SideInfoSize() const
{
    if (Version == 1)
        return Mode == 3 ? 17 : 32;
    return Mode == 3 ? 9 : 17;
}

int Mp3FrameHeader::FrameBytes() const
{
    return Mp3FrameBytesOf(Version, Bitrate, SampleRate, Padding);
}

bool Mp3FrameHeader::SameStream(const Mp3FrameHeader &Other) const
{
    return Version == Other.Version && Layer == Other.Layer && SampleRate == Other.SampleRate &&
           Channels() == Other.Channels();
}

int Mp3BitrateOf(int Version, int Index)
{
    if (Index < 1 || Index > 14)
        return 0;
    return kBitrates[Version == 1 ? 0 : 1][2][Index];
}

int Mp3FrameBytesOf(int Version, int BitrateKbps, int SampleRate, int Padding)
{
    const int factor = Version == 1 ? 144000 : 72000;
    return factor * BitrateKbps / SampleRate + Padding;
}

TMp3HeaderResult ParseMp3Header(const std::uint8_t *P, Mp3FrameHeader &H)
{
    const std::uint32_t raw = (static_cast<std::uint32_t>(P[0]) << 24) | (P[1] << 16) | (P[2] << 8) | P[3];
    if ((raw & 0xFFE00000u) != 0xFFE00000u)
        return TMp3HeaderResult::NoSync;
    const int versionBits = (raw >> 19) & 3;
    const int layerBits = (raw >> 17) & 3;
    const int bitrateIndex = (raw >> 12) & 15;
    const int rateIndex = (raw >> 10) & 3;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 15 || rateIndex == 3 || (raw & 3) == 2)
        return TMp3HeaderResult::NoSync;
    H.Raw = raw;
    H.Version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    H.Layer = 4 - layerBits;
    H.Crc = ((raw >> 16) & 1) == 0;
    H.BitrateIndex = bitrateIndex;
    H.Bitrate = kBitrates[H.Version == 1 ? 0 : 1][H.Layer - 1][bitrateIndex];
    H.SampleRate = kSampleRates[rateIndex] / (H.Version == 1 ? 1 : H.Version == 2 ? 2 : 4);
    H.Padding = (raw >> 9) & 1;
    H.Mode = (raw >> 6) & 3;
    if (H.Layer != 3)
        return bitrateIndex == 0 ? TMp3HeaderResult::NoSync : TMp3HeaderResult::OtherLayer;
    return bitrateIndex == 0 ? TMp3HeaderResult::FreeFormat : TMp3HeaderResult::Ok;
}

std::int64_t Mp3FrameIndex::StartSkip() const
{
    return Gapless() ? Tag.Lame.Delay + Mp3DecoderDelay : 0;
}

std::int64_t Mp3FrameIndex::RawEnd() const
{
    std::int64_t end = RawSamples();
    if (Gapless())
        end = std::min(end, end + Mp3DecoderDelay - Tag.Lame.Padding);
    return std::max(end, StartSkip());
}

bool Mp3FrameIndex::Vbr() const
{
    for (const Mp3Frame &f : Frames)
        if (f.Header.Bitrate != Frames.front().Header.Bitrate)
            return true;
    return false;
}

Mp3FrameIndex IndexMp3(const std::uint8_t *Data, std::size_t Size)
{
    Mp3FrameIndex ix;
    std::size_t begin = 0;
    // ID3v2 tags at the front, each with its optional 10-byte footer; some files carry two.
    while (isId3v2At(Data + begin, Size - begin)) {
        const std::uint8_t *p = Data + begin;
        std::size_t len = 10 + ((p[6] << 21) | (p[7] << 14) | (p[8] << 7) | p[9]) + ((p[5] & 0x10) ? 10 : 0);
        begin = std::min(Size, begin + len);
    }
    ix.Id3v2 = {0, begin};

    // Tags at the end: ID3v1 last, APEv2 and Lyrics3 v2 before it.
    std::size_t end = Size;
    if (end - begin >= 128 && std::memcmp(Data + end - 128, "TAG", 3) == 0) {
        end -= 128;
        ix.Id3v1 = {end, 128};
    }
    if (end - begin >= 32 && std::memcmp(Data + end - 32, "APETAGEX", 8) == 0) {
        const std::uint8_t *footer = Data + end - 32;
        const std::size_t len = le32(footer + 12) + ((le32(footer + 20) & 0x80000000u) ? 32 : 0);
        if (len <= end - begin)
            end -= len;
    }
    if (end - begin >= 15 && std::memcmp(Data + end - 9, "LYRICS200", 9) == 0) {
        std::size_t len = 0;
        bool digits = true;
        for (int k = 0; k < 6; ++k) {
            const std::uint8_t c = Data[end - 15 + k];
            digits = digits && c >= '0' && c <= '9';
            len = len * 10 + (c - '0');
        }
        if (digits && len + 15 <= end - begin)
            end -= len + 15;
    }
    ix.AudioBegin = begin;
    ix.AudioEnd = end;

    // The first frame: a header whose successor confirms it. The first stream found decides:
    // another layer or a free-format stream is refused.
    std::size_t p = begin;
    Mp3FrameHeader first;
    bool found = false;
    for (; p + 4 <= end; ++p) {
        if (Data[p] != 0xFF)
            continue;
        Mp3FrameHeader h;
        const TMp3HeaderResult r = ParseMp3Header(Data + p, h);
        if (r == TMp3HeaderResult::Ok) {
            if (confirmedFrameAt(Data, p, end, h, h)) {
                first = h;
                found = true;
                break;
            }
        } else if (r == TMp3HeaderResult::OtherLayer) {
            const std::size_t next = p + static_cast<std::size_t>(otherLayerBytes(h));
            Mp3FrameHeader n;
            if (next + 4 <= end && ParseMp3Header(Data + next, n) == TMp3HeaderResult::OtherLayer &&
                n.Layer == h.Layer && n.SampleRate == h.SampleRate)
                throw EAuException("This file holds MPEG audio Layer " + std::string(h.Layer == 1 ? "I" : "II") +
                                   ", not Layer III (MP3); it cannot be cut without re-encoding.");
        } else if (r == TMp3HeaderResult::FreeFormat) {
            // A free-format stream repeats the same header (but for the padding bit).
            const std::uint32_t mask = 0xFFFFFDFFu & ~0x30u;
            for (std::size_t q = p + 4; q + 4 <= end && q < p + 4096; ++q) {
                Mp3FrameHeader n;
                if (ParseMp3Header(Data + q, n) == TMp3HeaderResult::FreeFormat && (n.Raw & mask) == (h.Raw & mask))
                    throw EAuException("This MP3 file is a free-format stream (no bit rate in its frame headers); "
                                       "it cannot be cut without re-encoding.");
            }
        }
    }
    if (!found)
        throw EAuException("No MPEG audio Layer III (MP3) frames were found in this file.");
    ix.SkippedBytes = p - begin;
    ix.SampleRate = first.SampleRate;
    ix.Channels = first.Channels();
    ix.SamplesPerFrame = first.SamplesPerFrame();

    ix.Frames.reserve((end - p) / static_cast<std::size_t>(first.FrameBytes()) + 16);
    bool firstFrame = true;
    while (p + 4 <= end) {
        Mp3FrameHeader h;
        if (frameAt(Data, p, end, first, h)) {
            const std::size_t size = static_cast<std::size_t>(h.FrameBytes());
            if (p + size > end && framesRunTo(Data, p, Size, first)) {
                // What looked like tags at the end is audio ("TAG" or "APETAGEX" inside the
                // last frames): the frames run exactly to the end of the file.
                end = Size;
                ix.AudioEnd = Size;
                ix.Id3v1 = {};
            }
            if (p + size > end) {
                ix.Truncated = true;
                ix.SkippedBytes += end - p;
                p = end;
                break;
            }
            if (firstFrame) {
                firstFrame = false;
                Mp3TagFrame tag = ReadMp3TagFrame(Data + p, size, h);
                if (tag.Kind != TMp3TagKind::None) {
                    tag.Offset = p;
                    tag.Size = static_cast<int>(size);
                    ix.Tag = tag;
                    p += size;
                    continue;
                }
            }
            Mp3Frame f;
            f.Offset = p;
            f.Size = static_cast<int>(size);
            f.Header = h;
            const std::uint8_t *side = Data + p + 4 + (h.Crc ? 2 : 0);
            f.MainDataBegin = h.Version == 1 ? (side[0] << 1) | (side[1] >> 7) : side[0];
            ix.Frames.push_back(f);
            p += size;
            continue;
        }
        // Not a frame of this stream: find the next confirmed one.
        std::size_t q = p + 1;
        Mp3FrameHeader n;
        while (q + 4 <= end && !(Data[q] == 0xFF && confirmedFrameAt(Data, q, end, first, n)))
            ++q;
        if (q + 4 > end) {
            // What is left may still be a frame cut short at the end.
            ix.SkippedBytes += end - p;
            p = end;
            break;
        }
        ix.SkippedBytes += q - p;
        p = q;
    }
    ix.SkippedBytes += end - p;
    if (ix.Frames.empty())
        throw EAuException("This MP3 file holds no audio frames.");
    return ix;
}
