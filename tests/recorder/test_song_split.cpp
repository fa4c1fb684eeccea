// Song boundaries without a window: the quietest stretch near a title change, the station's
// learned offset, the split of a stream at its title changes, and the songs' file names.
#include "SongSplit.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int Rate = 44100;
constexpr int Spf = 1152;

// Tone with silent stretches [Begin, End) (samples).
std::vector<float> toneWithPauses(std::size_t Size, const std::vector<std::pair<std::size_t, std::size_t>> &Pauses,
                                  float Level = 0.5f)
{
    std::vector<float> pcm(Size);
    for (std::size_t i = 0; i < Size; ++i)
        pcm[i] = Level * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / Rate));
    for (auto [b, e] : Pauses)
        for (std::size_t i = b; i < e && i < Size; ++i)
            pcm[i] = 0;
    return pcm;
}

// A stream of Frames frames of 100 bytes each, decoded from Pcm by the fake decoder.
TSongSplitInput streamOf(const std::vector<float> &Pcm, std::vector<TTitleMark> Marks)
{
    TSongSplitInput in;
    in.Frames.SamplesPerFrame = Spf;
    in.Frames.SampleRate = Rate;
    for (std::size_t k = 0; k < Pcm.size() / Spf; ++k)
        in.Frames.Offsets.push_back(k * 100);
    in.Marks = std::move(Marks);
    in.Decode = [Pcm](std::size_t First, std::size_t Count) {
        TBroadcastPcm out;
        out.SampleRate = Rate;
        const auto b = Pcm.begin() + static_cast<long>(First * Spf);
        out.Mono.assign(b, b + static_cast<long>(std::min(Count * Spf, Pcm.size() - First * Spf)));
        return out;
    };
    return in;
}

std::uint64_t byteAtSecond(double s)
{
    return static_cast<std::uint64_t>(s * Rate / Spf) * 100;
}

} // namespace

TEST(SongSplit, TheQuietestStretchIsThePauseWholeAndTheNearerOfTwoEqualOnes)
{
    // A 1-s pause at 3 s in 8 s of tone: found whole, its middle at 3.5 s.
    const auto pcm = toneWithPauses(8 * Rate, {{3 * Rate, 4 * Rate}});
    const TQuietStretch q = QuietestStretch(pcm, Rate);
    EXPECT_NEAR(q.Begin, 3 * Rate, Rate / 100);
    EXPECT_NEAR(q.End, 4 * Rate, Rate / 100);
    EXPECT_NEAR(q.Middle(), 3.5 * Rate, Rate / 100);

    // A pause shorter than 300 ms loses to a quieter passage that is long enough.
    auto quietTone = toneWithPauses(8 * Rate, {{1 * Rate, 1 * Rate + Rate / 10}});
    for (std::size_t i = 5 * Rate; i < 6 * Rate; ++i)
        quietTone[i] *= 0.01f;
    const TQuietStretch longer = QuietestStretch(quietTone, Rate);
    EXPECT_GE(longer.Begin, 5 * Rate - Rate / 100);
    EXPECT_LE(longer.End, 6 * Rate + Rate / 100);

    // Two equal pauses: the one nearer the preferred sample.
    const auto two = toneWithPauses(10 * Rate, {{1 * Rate, 2 * Rate}, {7 * Rate, 8 * Rate}});
    EXPECT_NEAR(QuietestStretch(two, Rate, 300, 6 * Rate).Middle(), 7.5 * Rate, Rate / 100);
    EXPECT_NEAR(QuietestStretch(two, Rate, 300, 3 * Rate).Middle(), 1.5 * Rate, Rate / 100);

    // Too little audio: nothing found.
    EXPECT_EQ(QuietestStretch(std::vector<float>(Rate / 10), Rate).End, 0);
    EXPECT_EQ(QuietestStretch(pcm, 0).End, 0);
}

TEST(SongSplit, TheLearnedOffsetIsTheMedianOfTheLastBoundariesAndSurvivesBadText)
{
    TSongOffset o;
    EXPECT_EQ(o.ExpectedMs(), 0);
    for (int ms : {-2000, -2500, 40000, -2200})
        o.Add(ms);
    // 40000 is held at the search's reach; the median of four is the mean of the middle two.
    EXPECT_EQ(o.ExpectedMs(), (-2200 + -2000) / 2);
    EXPECT_EQ(o.Text(), "-2000,-2500,6000,-2200");
    for (int i = 0; i < 20; ++i)
        o.Add(100);
    EXPECT_EQ(o.Text(), "100,100,100,100,100,100,100,100");

    const TSongOffset read = TSongOffset::FromText("-1500,x,,  ,-1700,99999999999999,-1600");
    EXPECT_EQ(read.Text(), "-1500,-1700,-1600");
    EXPECT_EQ(read.ExpectedMs(), -1600);
    EXPECT_TRUE(TSongOffset::FromText("").Empty());
}

TEST(SongSplit, EachTitleChangeMovesToThePauseNearItAndRecordThisSongDropsWhatCameBefore)
{
    // Songs of 9 s with 1-s pauses at 9..10 s, 19..20 s and 29..30 s; the titles change
    // 2.5 s after, 2 s before and 3 s after each pause's middle; the same title sent again is
    // no change; the stream ends at 36 s.
    const auto pcm = toneWithPauses(36 * Rate, {{9 * Rate, 10 * Rate}, {19 * Rate, 20 * Rate}, {29 * Rate, 30 * Rate}});
    const std::vector<TTitleMark> marks = {{0, "A - One", false},
                                           {byteAtSecond(12.0), "B - Two", true},
                                           {byteAtSecond(15.0), "B - Two", true},
                                           {byteAtSecond(17.5), "C - Three", true},
                                           {byteAtSecond(32.5), "D - Four", true}};
    const TSongSplitInput in = streamOf(pcm, marks);
    const TSongSplit split = SplitSongs(in);
    ASSERT_EQ(split.Songs.size(), 4u);
    const double middles[] = {9.5, 19.5, 29.5};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_NEAR(split.Songs[k].End / double(Rate), middles[k], 0.05) << k;
        EXPECT_EQ(split.Songs[k + 1].Begin, split.Songs[k].End); // no gap, no overlap
    }
    EXPECT_EQ(split.Songs[0].Title, "A - One");
    EXPECT_EQ(split.Songs[3].Title, "D - Four");
    EXPECT_TRUE(split.Songs[0].JoinedMidway);
    EXPECT_FALSE(split.Songs[1].Partial());
    EXPECT_TRUE(split.Songs[3].CutShort);
    EXPECT_EQ(split.Songs[3].End, in.Frames.Samples());
    ASSERT_EQ(split.OffsetsMs.size(), 3u);
    EXPECT_NEAR(split.OffsetsMs[0], -2500, 60);
    EXPECT_NEAR(split.OffsetsMs[1], 2000, 60);

    // Chapters count from the first song's start.
    const auto chapters = SongChapters(split.Songs, Rate);
    ASSERT_EQ(chapters.size(), 4u);
    EXPECT_EQ(chapters[0].StartMs, 0u);
    EXPECT_EQ(chapters[1].StartMs, chapters[0].EndMs);
    EXPECT_NEAR(chapters[1].StartMs, 9500, 50);
    EXPECT_EQ(chapters[3].Title, "D - Four");

    // Recording from the change to "C - Three" (mark 3): the earlier songs are dropped and
    // the first kept one is whole.
    const TSongSplit fromThree = SplitSongs(in, 3);
    ASSERT_EQ(fromThree.Songs.size(), 2u);
    EXPECT_EQ(fromThree.Songs[0].Title, "C - Three");
    EXPECT_FALSE(fromThree.Songs[0].JoinedMidway);
    EXPECT_NEAR(fromThree.Songs[0].Begin / double(Rate), 19.5, 0.05);

    // A learned offset moves the search: a title 5.5 s late with the offset -5000 still finds
    // its own pause, not the next one.
    TSongSplitInput late = streamOf(pcm, {{0, "A", false}, {byteAtSecond(15.0), "B", true}});
    late.OffsetMs = -5000;
    EXPECT_NEAR(SplitSongs(late).Songs[0].End / double(Rate), 9.5, 0.05);

    // No decoder: the boundary stays at the title change's frame.
    TSongSplitInput blind = streamOf(pcm, {{0, "A", false}, {byteAtSecond(12.0), "B", true}});
    blind.Decode = nullptr;
    EXPECT_EQ(SplitSongs(blind).Songs[0].End, static_cast<std::int64_t>(12.0 * Rate / Spf) * Spf);
}

TEST(SongSplit, SongFileNamesAreSafeOnEveryCommonFileSystem)
{
    EXPECT_EQ(SongFileStem("Artist - Title"), "Artist - Title");
    EXPECT_EQ(SongFileStem("  AC/DC -  Back\tIn: Black?  "), "AC_DC - Back In_ Black_");
    EXPECT_EQ(SongFileStem("..hidden"), "__hidden");
    EXPECT_EQ(SongFileStem("a\x01" "b|c<d>e\"f*g\\h"), "a_b_c_d_e_f_g_h");
    EXPECT_EQ(SongFileStem("Ends with a dot."), "Ends with a dot_");
    EXPECT_EQ(SongFileStem(""), "Unknown song");
    EXPECT_EQ(SongFileStem(" \t "), "Unknown song");
    // Long names are cut at a whole character.
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += "\xC3\xA9"; // é
    const std::string cut = SongFileStem(longName);
    EXPECT_LE(cut.size(), 150u);
    EXPECT_EQ(cut.size() % 2, 0u);
}
