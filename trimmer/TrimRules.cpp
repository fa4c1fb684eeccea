// The trimmer's arithmetic: column accumulator, line ends, column-to-frame mapping, names.
#include "TrimRules.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

TWaveAccumulator::TWaveAccumulator(std::vector<TWaveEntry> &Values, std::int64_t Size, std::int64_t Width)
    : FValues(Values), FSize(Size), FWidth(Width), FAcc(Size)
{
}

void TWaveAccumulator::Add(const std::uint8_t *Samples, std::size_t Count)
{
    // Kept in locals for the loop: an hour of audio is over 150 million samples, and the
    // stores into Values would otherwise make the compiler reload every member per sample.
    std::int64_t acc = FAcc, lo = FLo, hi = FHi, count = FCount;
    std::size_t column = FColumn;
    const std::int64_t width = FWidth, size = FSize;
    for (std::size_t k = 0; k < Count; ++k) {
        const std::uint8_t b = Samples[k];
        acc -= width;
        if (b >= 128)
            hi += b;
        else
            lo += b;
        ++count;
        if (acc <= 0) {
            if (column < FValues.size()) {
                FValues[column] = {static_cast<std::uint8_t>(lo / count), static_cast<std::uint8_t>(hi / count)};
                ++column;
            }
            lo = hi = count = 0;
            acc += size;
        }
    }
    FAcc = acc;
    FLo = lo;
    FHi = hi;
    FCount = count;
    FColumn = column;
}

std::pair<int, int> WaveLineEnds(TWaveEntry Entry, int ControlHeight)
{
    const auto end = [ControlHeight](std::uint8_t v) {
        return static_cast<int>(RoundHalfEven(static_cast<long double>(v) / 48.0L * ControlHeight)) - 65;
    };
    return {end(Entry[0]), end(Entry[1])};
}

TFrameStretch StretchFrames(std::int64_t TotalSamples, long double PlayStart, long double PlayEnd,
                            std::int32_t PictureWidth)
{
    TFrameStretch s;
    if (PictureWidth <= 0 || TotalSamples <= 0)
        return s;
    s.Start = PlayStartFrame(TotalSamples, PlayStart, PictureWidth);
    s.End = PlayEndFrame(TotalSamples, PlayEnd, PictureWidth);
    return s;
}

std::int32_t MeasureFrameBytes(std::int64_t Position, std::int64_t TotalSamples)
{
    if (TotalSamples <= 0 || Position <= 0)
        return 0;
    return static_cast<std::int32_t>(
        RoundHalfEven(static_cast<long double>(Position) / static_cast<long double>(TotalSamples)));
}

bool IsMp3FileName(const QString &FileName)
{
    const QString name = QFileInfo(FileName).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot >= 0 && name.mid(dot).toUpper() == QStringLiteral(".MP3");
}

QString ApplicationTitleFromPath(const QString &ExecutablePath)
{
    const QString base = QFileInfo(ExecutablePath).completeBaseName();
    if (base.isEmpty())
        return base;
    return base.left(1).toUpper() + base.mid(1).toLower();
}

namespace {

// Length in bytes of the layer III frame whose header starts at p, or 0 when it is none.
std::size_t mp3FrameLength(const std::uint8_t *p, unsigned &key)
{
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return 0;
    const unsigned version = (p[1] >> 3) & 3; // 0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1
    const unsigned layer = (p[1] >> 1) & 3;   // 1 = layer III
    const unsigned bitrateIndex = p[2] >> 4;
    const unsigned rateIndex = (p[2] >> 2) & 3;
    const unsigned padding = (p[2] >> 1) & 1;
    if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;
    static const unsigned kbps1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const unsigned kbps2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const unsigned rates[] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    unsigned rate = rates[rateIndex];
    if (version == 2)
        rate /= 2;
    else if (version == 0)
        rate /= 4;
    const unsigned bitrate = (mpeg1 ? kbps1 : kbps2)[bitrateIndex] * 1000;
    key = (p[1] & 0x1E) << 8 | (p[2] & 0x0C);
    return (mpeg1 ? 144 : 72) * bitrate / rate + padding;
}

} // namespace

bool LooksLikeMp3(const std::uint8_t *Data, std::size_t Size)
{
    std::size_t start = 0;
    if (Size >= 10 && Data[0] == 'I' && Data[1] == 'D' && Data[2] == '3') {
        const std::size_t tag = (std::size_t(Data[6] & 0x7F) << 21) | (std::size_t(Data[7] & 0x7F) << 14) |
                                (std::size_t(Data[8] & 0x7F) << 7) | std::size_t(Data[9] & 0x7F);
        start = 10 + tag + ((Data[5] & 0x10) ? 10 : 0);
    }
    const std::size_t limit = std::min(Size, start + 65536);
    for (std::size_t i = start; i + 4 <= limit; ++i) {
        unsigned key = 0;
        const std::size_t len = mp3FrameLength(Data + i, key);
        if (len < 4)
            continue;
        const std::size_t next = i + len;
        if (next == Size || (next + 128 == Size && Data[next] == 'T' && Data[next + 1] == 'A' && Data[next + 2] == 'G'))
            return true;
        unsigned nextKey = 0;
        if (next + 4 <= Size && mp3FrameLength(Data + next, nextKey) >= 4 && nextKey == key)
            return true;
    }
    return false;
}
