// The WMA writer record on FFmpeg's wmav2 encoder: the codec format search, the files it
// writes (read back by ffprobe and ffmpeg), time stamps, and failures reported on its thread.
#include "MediaBridgeWriter.h"

#include "AudioPeers.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace testsupport;

namespace {

// PCM with three short bursts of 440 Hz (at frame 0, Mid and the last 500 frames) in silence,
// so that where the decoded audio starts and ends can be checked.
std::vector<std::int16_t> burstPcm(unsigned Rate, unsigned Channels, std::size_t Frames, std::size_t Mid)
{
    std::vector<std::int16_t> pcm(Frames * Channels, 0);
    const auto burst = [&](std::size_t from, std::size_t n) {
        for (std::size_t i = 0; i < n && from + i < Frames; ++i)
            for (unsigned c = 0; c < Channels; ++c)
                pcm[(from + i) * Channels + c] =
                    static_cast<std::int16_t>(std::lround(12000 * std::sin(2 * 3.14159265358979 * 440 * i / Rate)));
    };
    burst(0, 500);
    burst(Mid, 2000);
    burst(Frames - 500, 500);
    return pcm;
}

struct ErrorLog {
    std::atomic<int> Calls{0};
    std::atomic<std::uint32_t> Reason{0xFFFF};
    std::thread::id Thread;
};

} // namespace

TEST(WmaFormatSearch, ConstantBitrateChoosesTheInputsRateAndNearestBitrate)
{
    TWMStreamConfig c;
    // 256 kbit/s at 32000 Hz stereo, as the recorder asks.
    ASSERT_TRUE(wma_writer_find_format(2, 16, 256000, false, false, 32000, c));
    EXPECT_EQ(c.MediaType.Format.nSamplesPerSec, 32000u);
    EXPECT_EQ(c.MediaType.Format.nChannels, 2);
    EXPECT_EQ(c.GetBitrate(), 256000u);
    // Every rate of the table is kept for the bit rates it offers, the low ones too.
    for (unsigned rate : {11025u, 16000u, 22050u, 44100u, 48000u})
        for (unsigned ch : {1u, 2u}) {
            ASSERT_TRUE(wma_writer_find_format(ch, 16, 64000, false, false, rate, c));
            EXPECT_EQ(c.MediaType.Format.nSamplesPerSec, rate);
            EXPECT_EQ(c.MediaType.Format.nChannels, ch);
            EXPECT_NEAR(c.GetBitrate(), 64000.0, 500.0);
        }
    // Above what a rate offers, the highest bitrate at that rate.
    ASSERT_TRUE(wma_writer_find_format(2, 16, 320000, false, false, 22050, c));
    EXPECT_EQ(c.MediaType.Format.nSamplesPerSec, 22050u);
    EXPECT_NEAR(c.GetBitrate(), 128000.0, 500.0);
    // 8000 Hz, the lowest rate: below it no format would be nearer than "none chosen yet".
    for (unsigned ch : {1u, 2u}) {
        ASSERT_TRUE(wma_writer_find_format(ch, 16, 32000, false, false, 8000, c));
        EXPECT_EQ(c.MediaType.Format.nSamplesPerSec, 8000u);
        EXPECT_EQ(c.GetBitrate(), 32000u);
    }
    // 32 kbit/s at 44100 Hz: formats of equal bitrate come from the highest rate down, so the
    // input's own rate is not shut out by a lower rate of the same bitrate listed before it.
    ASSERT_TRUE(wma_writer_find_format(2, 16, 32000, false, false, 44100, c));
    EXPECT_EQ(c.MediaType.Format.nSamplesPerSec, 44100u);
    // A rate the table does not have gets the nearest one.
    ASSERT_TRUE(wma_writer_find_format(2, 16, 64000, false, false, 12000, c));
    EXPECT_EQ(c.MediaType.Format.nSamplesPerSec, 11025u);
}

TEST(WmaFormatSearch, NoFormatForTheChannelsOrSampleSizeFails)
{
    TWMStreamConfig c;
    EXPECT_FALSE(wma_writer_find_format(2, 24, 128000, false, false, 44100, c));
    EXPECT_FALSE(wma_writer_find_format(2, 8, 128000, false, false, 44100, c));
    EXPECT_FALSE(wma_writer_find_format(6, 16, 128000, false, false, 44100, c));
    // wmav2 offers neither VBR nor lossless formats.
    EXPECT_FALSE(wma_writer_find_format(2, 16, 90, true, false, 44100, c));
    EXPECT_FALSE(wma_writer_find_format(2, 16, 0, false, true, 44100, c));

    wma_writer w;
    TempDir dir;
    wma_writer_init(w, (dir / "x.wma").u16string(), nullptr, nullptr);
    ASSERT_TRUE(w.Initialized);
    try {
        wma_writer_set_audio_properties(w, 2, 24, 256, false, false, 32000);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Failed to init codec");
    }
    wma_writer_free(w);
    EXPECT_FALSE(std::filesystem::exists(dir / "x.wma")) << "a file that was never begun is not left behind";
}

TEST(WmaWriter, EachBlockIsStampedWithTheTimeAtItsEnd)
{
    TempDir dir;
    wma_writer w;
    wma_writer_init(w, (dir / "t.wma").u16string(), nullptr, nullptr);
    ASSERT_TRUE(w.Initialized);
    wma_writer_set_audio_properties(w, 2, 16, 256, false, false, 32000);
    EXPECT_EQ(w.BytesPerSecond, 128000u);
    ASSERT_EQ(wma_writer_begin(w), WM_S_OK);
    EXPECT_EQ(w.TotalTime, 0);
    std::vector<std::uint8_t> block(12800);
    ASSERT_EQ(wma_writer_write(w, block.data(), 12800), WM_S_OK);
    EXPECT_EQ(w.TotalTime, 1000000); // 0.1 s, stamped at its end
    // 4 bytes at 128000 B/s are 312.5 ticks: rounded half to even, 312.
    ASSERT_EQ(wma_writer_write(w, block.data(), 4), WM_S_OK);
    EXPECT_EQ(w.TotalTime, 1000312);
    ASSERT_EQ(wma_writer_write(w, block.data(), 12), WM_S_OK); // 937.5 -> 938
    EXPECT_EQ(w.TotalTime, 1001250);
    // A block that is not whole sample frames is refused, not misread.
    EXPECT_NE(wma_writer_write(w, block.data(), 6), WM_S_OK);
    EXPECT_EQ(wma_writer_free(w), WM_S_OK);
    EXPECT_TRUE(std::filesystem::exists(dir / "t.wma"));
}

TEST(WmaWriter, MonoInputAtAnotherRateIsConverted)
{
    REQUIRE_PEERS("ffprobe", "ffmpeg");
    TempDir dir;
    const auto file = dir / "mono.wma";
    const std::size_t frames = 12000 * 2;
    const auto pcm = burstPcm(12000, 1, frames, 10000);
    wma_writer w;
    wma_writer_init(w, file.u16string(), nullptr, nullptr);
    ASSERT_TRUE(w.Initialized);
    wma_writer_set_audio_properties(w, 1, 16, 64, false, false, 12000);
    ASSERT_EQ(wma_writer_begin(w), WM_S_OK);
    ASSERT_EQ(wma_writer_write(w, pcm.data(), static_cast<std::uint32_t>(pcm.size() * 2)), WM_S_OK);
    EXPECT_EQ(wma_writer_free(w), WM_S_OK);
    const auto p = probe(file);
    EXPECT_EQ(p.at("stream.sample_rate"), "11025");
    EXPECT_EQ(p.at("stream.channels"), "1");
    const Decoded d = decodeOnsets(file, 1, {10000 * 11025 / 12000 - 100});
    EXPECT_NEAR(static_cast<double>(d.Frames), frames * 11025.0 / 12000, 1024.0 + 64);
    ASSERT_EQ(d.Onsets.size(), 1u);
    EXPECT_NEAR(static_cast<double>(d.Onsets[0]), 10000 * 11025.0 / 12000, 40.0);
}

TEST(WmaWriter, LowestRateRecordsAtItsOwnRate)
{
    REQUIRE_PEERS("ffprobe", "ffmpeg");
    TempDir dir;
    const auto file = dir / "low.wma";
    const std::size_t frames = 8000 * 3;
    const auto pcm = burstPcm(8000, 2, frames, 12000);
    wma_writer w;
    wma_writer_init(w, file.u16string(), nullptr, nullptr);
    ASSERT_TRUE(w.Initialized);
    wma_writer_set_audio_properties(w, 2, 16, 32, false, false, 8000);
    ASSERT_EQ(wma_writer_begin(w), WM_S_OK);
    ASSERT_EQ(wma_writer_write(w, pcm.data(), static_cast<std::uint32_t>(pcm.size() * 2)), WM_S_OK);
    EXPECT_EQ(w.TotalTime, 30000000);
    EXPECT_EQ(wma_writer_free(w), WM_S_OK);
    const auto p = probe(file);
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.at("stream.sample_rate"), "8000");
    EXPECT_EQ(p.at("stream.channels"), "2");
    const Decoded d = decodeOnsets(file, 2, {12000 - 100});
    EXPECT_GE(d.Frames, static_cast<long long>(frames));
    EXPECT_LT(d.Frames, static_cast<long long>(frames) + 2048);
    ASSERT_EQ(d.Onsets.size(), 1u);
    EXPECT_NEAR(static_cast<double>(d.Onsets[0]), 12000.0, 10.0);
}
