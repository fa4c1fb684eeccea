// The trimmer's arithmetic without a window: the column accumulator, the line a value pair
// draws, columns to sample frames, the measured frame size and the names taken from files.
#include "SelectionLayers.h"
#include "TrimRules.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <algorithm>

TEST(TrimRules, RoundingIsToNearestWithHalvesToEven)
{
    EXPECT_EQ(RoundHalfEven(2.5L), 2);
    EXPECT_EQ(RoundHalfEven(3.5L), 4);
    EXPECT_EQ(RoundHalfEven(-0.5L), 0);
    EXPECT_EQ(RoundHalfEven(106.6667L), 107);
}

TEST(TrimRules, SilenceAndNearSilenceGiveTheirPairsAndLines)
{
    // Pure digital silence: every byte 128, so all of it is in the upper sum.
    std::vector<TWaveEntry> values(10);
    std::vector<std::uint8_t> silence(1000, 128);
    TWaveAccumulator a(values, 1000, 10);
    a.Add(silence.data(), silence.size());
    EXPECT_EQ(a.Columns(), 10u);
    for (const auto &e : values)
        EXPECT_EQ(e, (TWaveEntry{0, 128}));
    // ... which draws over the whole picture height (80-pixel control, 82-row picture).
    const auto [top, bottom] = WaveLineEnds({0, 128}, 80);
    EXPECT_EQ(top, -65);
    EXPECT_EQ(bottom, 148);

    // Near-silence: 127 and 128 alternating lies symmetrically around 64: a short line at the
    // middle of the picture.
    std::vector<std::uint8_t> near(1000);
    for (std::size_t i = 0; i < near.size(); ++i)
        near[i] = i % 2 ? 128 : 127;
    TWaveAccumulator b(values, 1000, 10);
    b.Add(near.data(), near.size());
    EXPECT_EQ(values[3], (TWaveEntry{63, 64}));
    const auto [y0, y1] = WaveLineEnds(values[3], 80);
    EXPECT_EQ(y0, 40);
    EXPECT_EQ(y1, 42);
    // The value 64 maps to about the middle of the 82-row picture.
    EXPECT_EQ(WaveLineEnds({64, 64}, 80).first, 42);
}

TEST(TrimRules, AccumulatorSpreadsUnevenSizesAndKeepsWhatItNeverReaches)
{
    // 1003 bytes over 7 columns: every byte lands in exactly one column, columns differ in
    // size by at most one byte, and the sums are divided by each column's own count.
    std::vector<TWaveEntry> values(7, TWaveEntry{9, 9});
    std::vector<std::uint8_t> ramp(1003);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<std::uint8_t>(i * 256 / ramp.size());
    TWaveAccumulator a(values, 1003, 7);
    // Fed in uneven pieces, as blocks arrive.
    a.Add(ramp.data(), 100);
    a.Add(ramp.data() + 100, 1);
    a.Add(ramp.data() + 101, 902);
    EXPECT_EQ(a.Columns(), 7u);
    // Column 0 holds bytes 0..143 (143 × 7 = 1001 < 1003 ≤ 144 × 7): all below 128.
    long lo = 0;
    for (int i = 0; i < 144; ++i)
        lo += ramp[static_cast<std::size_t>(i)];
    EXPECT_EQ(values[0], (TWaveEntry{static_cast<std::uint8_t>(lo / 144), 0}));
    // The last column is all above 128.
    EXPECT_EQ(values[6][0], 0);
    EXPECT_GT(values[6][1], 200);

    // A size announced larger than the data (the decoder's extra third of a second): the
    // columns never completed keep their earlier contents.
    std::vector<TWaveEntry> old(8, TWaveEntry{1, 2});
    std::vector<std::uint8_t> part(600, 128);
    TWaveAccumulator c(old, 800, 8);
    c.Add(part.data(), part.size());
    EXPECT_EQ(c.Columns(), 6u);
    EXPECT_EQ(old[5], (TWaveEntry{0, 128}));
    EXPECT_EQ(old[6], (TWaveEntry{1, 2}));
    EXPECT_EQ(old[7], (TWaveEntry{1, 2}));

    // More data than announced: the surplus is read and dropped, nothing is written beyond.
    std::vector<TWaveEntry> few(4);
    std::vector<std::uint8_t> many(1000, 200);
    TWaveAccumulator d(few, 400, 4);
    d.Add(many.data(), many.size());
    EXPECT_EQ(d.Columns(), 4u);
    EXPECT_EQ(few.size(), 4u);
}

// The column-to-frame formulas themselves are checked with the selection layers; here only
// what the stretch adds: the start from the start column, the end from the end column, and
// nothing without a file or a picture.
TEST(TrimRules, AStretchTakesItsEndsFromTheTwoColumns)
{
    const TFrameStretch part = StretchFrames(441000, 1, 960, 1920);
    EXPECT_EQ(part.Start, PlayStartFrame(441000, 1, 1920));
    EXPECT_EQ(part.End, PlayEndFrame(441000, 960, 1920));
    EXPECT_EQ(StretchFrames(0, 0, 1920, 1920).End, 0);
    EXPECT_EQ(StretchFrames(441000, 0, 1920, 0).End, 0);
}

TEST(TrimRules, FrameSize)
{
    // Three seconds decoded of the 3⅓ announced: 3.6 bytes a frame rounds to 4.
    EXPECT_EQ(MeasureFrameBytes(3 * 44100 * 4, 3 * 44100 + 14700), 4);
    // One second of 1⅓: 3.0.
    EXPECT_EQ(MeasureFrameBytes(44100 * 4, 44100 + 14700), 3);
    EXPECT_EQ(MeasureFrameBytes(0, 100), 0);
    EXPECT_EQ(MeasureFrameBytes(100, 0), 0);
}

TEST(TrimRules, NamesTakenFromFiles)
{
    EXPECT_TRUE(IsMp3FileName(QStringLiteral("/a/b/song.mp3")));
    EXPECT_TRUE(IsMp3FileName(QStringLiteral("/a/b/SONG.MP3")));
    EXPECT_TRUE(IsMp3FileName(QStringLiteral("x.Mp3")));
    EXPECT_FALSE(IsMp3FileName(QStringLiteral("/a/b/song.wav")));
    EXPECT_FALSE(IsMp3FileName(QStringLiteral("/a/b.mp3/song")));
    EXPECT_FALSE(IsMp3FileName(QStringLiteral("mp3")));
    EXPECT_FALSE(IsMp3FileName(QString()));
    EXPECT_FALSE(IsMp3FileName(QStringLiteral("song.mp3.bak")));

    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("/usr/bin/snipolux")), QStringLiteral("Snipolux"));
    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("C:/x/SNIPOLUX.EXE")), QStringLiteral("Snipolux"));
    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("/opt/kerfoLUX")), QStringLiteral("Kerfolux"));
}

TEST(TrimRules, Mp3RecognisedByTwoFrameHeadersInARow)
{
    // MPEG-1 layer III, 128 kbit/s, 44100 Hz: 417 bytes a frame without padding.
    std::vector<std::uint8_t> two(834, 0);
    const std::uint8_t header[] = {0xFF, 0xFB, 0x90, 0x00};
    std::copy(header, header + 4, two.begin());
    std::copy(header, header + 4, two.begin() + 417);
    EXPECT_TRUE(LooksLikeMp3(two.data(), two.size()));

    // Behind an ID3v2 tag of 20 bytes.
    std::vector<std::uint8_t> tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 20};
    tagged.resize(30, 0);
    tagged.insert(tagged.end(), two.begin(), two.end());
    EXPECT_TRUE(LooksLikeMp3(tagged.data(), tagged.size()));

    // One lone header followed by something else is chance, not MP3.
    std::vector<std::uint8_t> lone = two;
    lone[417] = 'x';
    lone.resize(2000, 'x');
    EXPECT_FALSE(LooksLikeMp3(lone.data(), lone.size()));

    const std::string text = "This is a text file that somebody named song.mp3.\n";
    EXPECT_FALSE(LooksLikeMp3(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
    // Layer II frames are not layer III.
    std::vector<std::uint8_t> layer2 = two;
    layer2[1] = layer2[418] = 0xFD;
    EXPECT_FALSE(LooksLikeMp3(layer2.data(), layer2.size()));
}
