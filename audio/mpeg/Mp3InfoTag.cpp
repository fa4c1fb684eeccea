// Reading and writing the Xing/Info frame and its LAME extension; reading VBRI; the CRCs.
#include "Mp3InfoTag.h"

#include "AuException.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

std::uint32_t be32(const std::uint8_t *p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

void putBe32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void putBe16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

constexpr std::uint32_t kFlagFrames = 1, kFlagBytes = 2, kFlagToc = 4, kFlagQuality = 8;

} // namespace

std::uint16_t Mp3Crc16Arc(const std::uint8_t *Data, std::size_t Size, std::uint16_t Crc)
{
    // A byte at a time: the music CRC runs over the whole clip.
    static constexpr std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned b = 0; b < 256; ++b) {
            unsigned c = b;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
            t[b] = static_cast<std::uint16_t>(c);
        }
        return t;
    }();
    for (std::size_t i = 0; i < Size; ++i)
        Crc = static_cast<std::uint16_t>((Crc >> 8) ^ table[(Crc ^ Data[i]) & 0xFF]);
    return Crc;
}

std::uint16_t Mp3FrameCrc(const std::uint8_t *Frame, const Mp3FrameHeader &H)
{
    std::uint16_t crc = 0xFFFF;
    const auto feed = [&crc](std::uint8_t byte) {
        for (int k = 7; k >= 0; --k) {
            const bool bit = ((byte >> k) & 1) != ((crc >> 15) & 1);
            crc = static_cast<std::uint16_t>(crc << 1);
            if (bit)
                crc ^= 0x8005;
        }
    };
    feed(Frame[2]);
    feed(Frame[3]);
    for (int i = 0; i < H.SideInfoSize(); ++i)
        feed(Frame[6 + i]);
    return crc;
}

Mp3TagFrame ReadMp3TagFrame(const std::uint8_t *Frame, std::size_t Size, const Mp3FrameHeader &H)
{
    Mp3TagFrame tag;
    // Writers place the Xing fields right after the side info and do not count a CRC.
    std::size_t at = 4 + static_cast<std::size_t>(H.SideInfoSize());
    if (at + 8 <= Size && (std::memcmp(Frame + at, "Xing", 4) == 0 || std::memcmp(Frame + at, "Info", 4) == 0)) {
        tag.Kind = Frame[at] == 'X' ? TMp3TagKind::Xing : TMp3TagKind::Info;
        const std::uint32_t flags = be32(Frame + at + 4);
        std::size_t p = at + 8;
        if ((flags & kFlagFrames) && p + 4 <= Size) {
            tag.HasFrames = true;
            tag.Frames = be32(Frame + p);
            p += 4;
        }
        if ((flags & kFlagBytes) && p + 4 <= Size) {
            tag.HasBytes = true;
            tag.Bytes = be32(Frame + p);
            p += 4;
        }
        if (flags & kFlagToc)
            p += 100;
        if ((flags & kFlagQuality) && p + 4 <= Size) {
            tag.HasQuality = true;
            tag.Quality = be32(Frame + p);
            p += 4;
        }
        if (p + Mp3LameTagSize <= Size) {
            const std::uint8_t *l = Frame + p;
            if (std::memcmp(l, "LAME", 4) == 0 || std::memcmp(l, "Lavf", 4) == 0 || std::memcmp(l, "Lavc", 4) == 0) {
                tag.Lame.Present = true;
                std::memcpy(tag.Lame.Bytes.data(), l, Mp3LameTagSize);
                tag.Lame.Delay = (l[21] << 4) | (l[22] >> 4);
                tag.Lame.Padding = ((l[22] & 0x0F) << 8) | l[23];
            }
        }
        return tag;
    }
    // VBRI sits 32 bytes after the header whatever the mode.
    at = 4 + 32;
    if (at + 18 <= Size && std::memcmp(Frame + at, "VBRI", 4) == 0) {
        tag.Kind = TMp3TagKind::Vbri;
        tag.HasBytes = true;
        tag.Bytes = be32(Frame + at + 10);
        tag.HasFrames = true;
        tag.Frames = be32(Frame + at + 14);
    }
    return tag;
}

std::vector<std::uint8_t> MakeMp3InfoFrame(const Mp3InfoParams &Params)
{
    if (Params.Delay < 0 || Params.Delay > 4095 || Params.Padding < 0 || Params.Padding > 4095)
        throw EAuException("The clip's encoder delay or padding does not fit the Info frame.");
    const Mp3FrameHeader &t = Params.Template;
    const int side = t.SideInfoSize();
    const int needed = 4 + side + Mp3XingFieldsSize + Mp3LameTagSize;
    int index = t.BitrateIndex;
    if (Mp3FrameBytesOf(t.Version, Mp3BitrateOf(t.Version, index), t.SampleRate, 0) < needed) {
        index = 1;
        while (index < 14 && Mp3FrameBytesOf(t.Version, Mp3BitrateOf(t.Version, index), t.SampleRate, 0) < needed)
            ++index;
    }
    const int size = Mp3FrameBytesOf(t.Version, Mp3BitrateOf(t.Version, index), t.SampleRate, 0);
    std::vector<std::uint8_t> f(static_cast<std::size_t>(size), 0);

    // Same header but: no CRC, the chosen bit rate, no padding, no mode extension.
    std::uint32_t raw = t.Raw;
    raw |= 1u << 16;
    raw = (raw & ~(0xFu << 12)) | (static_cast<std::uint32_t>(index) << 12);
    raw &= ~(1u << 9);
    raw &= ~(3u << 4);
    putBe32(f.data(), raw);

    std::uint8_t *x = f.data() + 4 + side;
    std::memcpy(x, Params.Cbr ? "Info" : "Xing", 4);
    putBe32(x + 4, kFlagFrames | kFlagBytes | kFlagToc | kFlagQuality);
    const std::uint32_t frames = static_cast<std::uint32_t>(Params.FrameSizes.size());
    std::uint64_t audioBytes = 0;
    for (int s : Params.FrameSizes)
        audioBytes += static_cast<std::uint64_t>(s);
    const std::uint64_t total = audioBytes + static_cast<std::uint64_t>(size);
    putBe32(x + 8, frames);
    putBe32(x + 12, static_cast<std::uint32_t>(total));
    // TOC: entry i is the byte position (of 256ths of the stream) where i per cent of the
    // frames have passed.
    {
        std::uint64_t pos = static_cast<std::uint64_t>(size);
        std::size_t frame = 0;
        for (int i = 0; i < 100; ++i) {
            const std::size_t target = static_cast<std::size_t>(static_cast<std::uint64_t>(i) * frames / 100);
            while (frame < target)
                pos += static_cast<std::uint64_t>(Params.FrameSizes[frame++]);
            x[16 + i] = static_cast<std::uint8_t>(std::min<std::uint64_t>(255, pos * 256 / total));
        }
    }
    const Mp3TagFrame *src = Params.Source;
    putBe32(x + 116, src && src->HasQuality ? src->Quality : 0);

    std::uint8_t *l = x + Mp3XingFieldsSize;
    if (src && src->Lame.Present) {
        std::memcpy(l, src->Lame.Bytes.data(), Mp3LameTagSize);
    } else {
        std::memcpy(l, "LAME3.100", 9);
        l[9] = Params.Cbr ? 1 : 0; // revision 0; method 1 is constant bit rate, 0 unknown
        l[20] = static_cast<std::uint8_t>(Params.Cbr ? std::min(255, t.Bitrate) : 0);
    }
    l[21] = static_cast<std::uint8_t>(Params.Delay >> 4);
    l[22] = static_cast<std::uint8_t>(((Params.Delay & 0x0F) << 4) | (Params.Padding >> 8));
    l[23] = static_cast<std::uint8_t>(Params.Padding & 0xFF);
    putBe32(l + 28, static_cast<std::uint32_t>(total));
    putBe16(l + 32, Params.MusicCrc);
    const std::size_t crcAt = static_cast<std::size_t>(l + 34 - f.data());
    putBe16(l + 34, Mp3Crc16Arc(f.data(), crcAt));
    return f;
}
