// Scanning ADTS frames and reading their fixed headers.
#include "AuAdts.h"

namespace {

constexpr int kRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                            16000, 12000, 11025, 8000,  7350,  0,     0,     0};

} // namespace

std::vector<TAdtsFrame> ScanAdtsFrames(const std::uint8_t *Data, std::size_t Size, std::size_t &Dropped)
{
    std::vector<TAdtsFrame> frames;
    Dropped = 0;
    std::size_t pos = 0;
    while (pos < Size) {
        // Header: 12 bits of sync, layer 0, then the 13-bit frame length over bytes 3 to 5.
        const bool header = Size - pos >= 7 && Data[pos] == 0xFF && (Data[pos + 1] & 0xF6) == 0xF0;
        std::size_t length = 0;
        if (header)
            length = (static_cast<std::size_t>(Data[pos + 3] & 0x03) << 11) |
                     (static_cast<std::size_t>(Data[pos + 4]) << 3) | (Data[pos + 5] >> 5);
        const int headerBytes = header && (Data[pos + 1] & 0x01) == 0 ? 9 : 7; // with CRC: 9
        if (!header || length < static_cast<std::size_t>(headerBytes)) {
            ++Dropped;
            ++pos;
            continue;
        }
        if (length > Size - pos) {
            Dropped += Size - pos; // the last frame was cut short
            break;
        }
        frames.push_back({pos, length, headerBytes});
        pos += length;
    }
    return frames;
}

TAdtsConfig AdtsConfigOf(const std::uint8_t *P)
{
    TAdtsConfig c;
    c.ObjectType = ((P[2] >> 6) & 0x03) + 1;
    c.RateIndex = (P[2] >> 2) & 0x0F;
    c.SampleRate = kRates[c.RateIndex];
    c.Channels = ((P[2] & 0x01) << 2) | (P[3] >> 6);
    c.RawBlocks = (P[6] & 0x03) + 1;
    return c;
}

std::vector<std::uint8_t> AudioSpecificConfig(const TAdtsConfig &Config)
{
    // 5 bits of object type, 4 of rate index, 4 of channel configuration, 3 zero flags.
    const unsigned bits = (static_cast<unsigned>(Config.ObjectType & 0x1F) << 11) |
                          (static_cast<unsigned>(Config.RateIndex & 0x0F) << 7) |
                          (static_cast<unsigned>(Config.Channels & 0x0F) << 3);
    return {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
}
