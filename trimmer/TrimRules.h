// The trimmer's arithmetic, kept apart from the window so it can be checked on its own: the
// reduction of 8-bit mono audio to one value pair per picture column, the line a pair draws,
// the frame size measured after a read and
// the names the program derives from files. Pure functions; any thread.
#pragma once

#include "SelectionLayers.h"

#include <QString>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

// One picture column's value pair: [0] the lower-half value, [1] the upper-half value.
using TWaveEntry = std::array<std::uint8_t, 2>;

// Spreads a stream of Size 8-bit unsigned samples (128 = silence) over Width columns with an
// accumulator: every sample takes Width from it; when it reaches 0 or less the column is
// complete and the accumulator gets Size back. Samples of 128 and above are summed into the
// upper value, the others into the lower one; both sums are divided by the column's sample
// count (truncating). Columns are written into Values from 0 on; samples beyond the last
// column (Values.size() - 1) are read and dropped; columns never completed keep what they held.
class TWaveAccumulator {
public:
    TWaveAccumulator(std::vector<TWaveEntry> &Values, std::int64_t Size, std::int64_t Width);
    void Add(const std::uint8_t *Samples, std::size_t Count);
    // Columns completed so far.
    std::size_t Columns() const { return FColumn; }

private:
    std::vector<TWaveEntry> &FValues;
    std::int64_t FSize;
    std::int64_t FWidth;
    std::int64_t FAcc;
    std::size_t FColumn = 0;
    std::int64_t FLo = 0, FHi = 0, FCount = 0;
};

// The two line ends of a column in picture rows (unclipped): R(v / 48 × ControlHeight) − 65
// for the lower and the upper value.
std::pair<int, int> WaveLineEnds(TWaveEntry Entry, int ControlHeight);

// The sample frames a stretch of picture columns stands for, of a file of TotalSamples frames:
// start R(T × PlayStart × 0.99 ÷ PictureWidth) (one per cent towards the beginning), end
// R(T × PlayEnd ÷ PictureWidth).
struct TFrameStretch {
    std::int64_t Start = 0;
    std::int64_t End = 0;
};
TFrameStretch StretchFrames(std::int64_t TotalSamples, long double PlayStart, long double PlayEnd,
                            std::int32_t PictureWidth);

// Bytes per decoded frame from what a whole read delivered: R(Position ÷ TotalSamples); 0 when
// nothing is known.
std::int32_t MeasureFrameBytes(std::int64_t Position, std::int64_t TotalSamples);

// True when the file name's extension, in upper case, is ".MP3".
bool IsMp3FileName(const QString &FileName);

// The application's title from its executable's path: the file name without folder and
// extension, the first letter in upper case and every later one in lower case.
QString ApplicationTitleFromPath(const QString &ExecutablePath);

// True when Data starts (after an ID3v2 tag, if any) with MPEG audio layer III frames: within
// the first 64 KiB a frame header whose frame is followed by another header of the same
// version, layer and rate (or by the end of the data).
bool LooksLikeMp3(const std::uint8_t *Data, std::size_t Size);
