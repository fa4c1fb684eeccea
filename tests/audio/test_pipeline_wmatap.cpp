// TWMATap in a running chain: what its files hold (read back by ffprobe and ffmpeg), its
// configuration failures, and a full disk reported on the writer's thread.
#include "AuMedia.h"
#include "AuTags.h"

#include "AudioPeers.h"
#include "PcmSource.h"
#include "PipelineTestKit.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <functional>
#include <semaphore>
#include <thread>

using namespace testsupport;

namespace {

constexpr unsigned Rate = 32000;
constexpr std::uint32_t BlockBytes = 12800; // 0.1 s of 32000 Hz stereo 16-bit

// Silence with a 440 Hz burst of 2000 frames starting at each of the given frames.
std::vector<std::int16_t> bursts(std::size_t Frames, const std::vector<std::size_t> &Starts)
{
    std::vector<std::int16_t> pcm(Frames * 2, 0);
    for (std::size_t s : Starts)
        for (std::size_t i = 0; i < 2000 && s + i < Frames; ++i) {
            const auto v = static_cast<std::int16_t>(std::lround(12000 * std::sin(2 * M_PI * 440 * i / Rate)));
            pcm[(s + i) * 2] = pcm[(s + i) * 2 + 1] = v;
        }
    return pcm;
}

// Pulls blocks of BlockBytes and keeps them; before step k (0-based) it calls OnStep(k).
class TStepOut : public TAuOutput {
public:
    explicit TStepOut(TComponent *AOwner) : TAuOutput(AOwner) {}
    ~TStepOut() override { ShutDown(); }
    std::function<void(int)> OnStep;
    std::vector<std::uint8_t> Data;

protected:
    void PrepareSink() override
    {
        FStep = 0;
        Data.clear();
        FInput->Init();
    }
    bool WriteStep(bool Abort) override
    {
        if (Abort)
            return false;
        if (OnStep)
            OnStep(FStep);
        ++FStep;
        void *buf = nullptr;
        std::uint32_t bytes = BlockBytes;
        FInput->GetData(buf, bytes);
        if (bytes == 0)
            return false;
        const auto *p = static_cast<const std::uint8_t *>(buf);
        Data.insert(Data.end(), p, p + bytes);
        return true;
    }
    void FinishSink() override { FInput->Flush(); }

private:
    int FStep = 0;
};

struct Chain {
    TComponent Owner;
    TPcmSource *Source;
    TWMATap *Tap;
    TStepOut *Out;
    Chain(const std::vector<std::int16_t> &Pcm, std::uint32_t Channels = 2, std::uint32_t SampleRate = Rate)
        : Source(new TPcmSource(&Owner, Pcm, Channels, SampleRate, BlockBytes)), Tap(new TWMATap(&Owner)),
          Out(new TStepOut(&Owner))
    {
        Tap->SetInput(Source);
        Out->SetInput(Tap);
        Tap->SetDesiredBitrate(256);
    }
};

std::string runFailure(Chain &C)
{
    try {
        C.Out->BlockingRun();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(WMATap, FileHoldsExactlyTheBlocksBetweenStartAndStop)
{
    REQUIRE_PEERS("ffprobe", "ffmpeg");
    TempDir dir;
    const auto file = dir / "temp0.wma";
    // 6 s in blocks of 3200 frames; recording starts before step 10 and stops before step 40:
    // blocks 10..38 are written (the stop takes effect at the block of step 39).
    const std::size_t frames = Rate * 6;
    const std::size_t first = 10 * 3200, end = 39 * 3200;
    const auto pcm = bursts(frames, {first - 3000, first, first + 20000, end - 2500, end + 100});
    Chain c(pcm);
    c.Tap->SetFileName(file.string());
    TId3v2Tags tags;
    tags.SetTitle(u"Morgenstund – live");
    c.Tap->SetId3v2Tags(&tags);
    c.Out->OnStep = [&](int k) {
        if (k == 10)
            c.Tap->StartRecord();
        if (k == 39)
            c.Tap->StopRecord();
    };
    c.Out->BlockingRun();
    EXPECT_EQ(c.Tap->Status(), tosIdle);
    // Downstream gets every byte, unchanged.
    ASSERT_EQ(c.Out->Data.size(), pcm.size() * 2);
    EXPECT_EQ(std::memcmp(c.Out->Data.data(), pcm.data(), c.Out->Data.size()), 0);

    const auto p = probe(file);
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.at("stream.codec_name"), "wmav2");
    EXPECT_EQ(p.at("stream.sample_rate"), "32000");
    EXPECT_EQ(p.at("stream.bit_rate"), "256000");
    EXPECT_EQ(p.at("tag.title"), "Morgenstund – live");
    EXPECT_EQ(p.count("tag.artist"), 0u);
    EXPECT_EQ(p.count("tag.album"), 0u);
    const double seconds = static_cast<double>(end - first) / Rate;
    EXPECT_NEAR(std::stod(p.at("format.duration")), seconds, 2 * 2048.0 / Rate);

    const Decoded d = decodeOnsets(file, 2, {0, 20000 - 100, static_cast<long long>(end - first) - 2600});
    EXPECT_GE(d.Frames, static_cast<long long>(end - first));
    EXPECT_LT(d.Frames, static_cast<long long>(end - first) + 2048);
    ASSERT_EQ(d.Onsets.size(), 3u);
    EXPECT_LE(d.Onsets[0], 3) << "the file starts with the first recorded block";
    EXPECT_NEAR(static_cast<double>(d.Onsets[1]), 20000.0, 3.0);
    EXPECT_NEAR(static_cast<double>(d.Onsets[2]), static_cast<double>(end - first) - 2500, 3.0);
}

TEST(WMATap, IdleOnlyOnceTheFileIsWhole)
{
    REQUIRE_PEERS("ffprobe", "ffmpeg");
    TempDir dir;
    const auto file = dir / "temp0.wma";
    // 8 s in 0.1 s blocks, recorded from the first block and stopped before step 40: 4 s, of
    // which the writer still holds up to 2 s in its queue when the stop is taken up.
    constexpr int StopStep = 40;
    const std::size_t recorded = StopStep * 3200;
    Chain c(bursts(Rate * 8, {0, recorded - 2500}));
    c.Tap->SetFileName(file.string());
    std::binary_semaphore reached{0}, stopped{0};
    c.Out->OnStep = [&](int k) {
        if (k == StopStep) {
            reached.release();
            stopped.acquire();
        }
    };
    c.Tap->StartRecord();
    std::thread worker([&] { c.Out->BlockingRun(); });
    reached.acquire();
    // As the window does before it saves: stop, wait for tosIdle, then take the file at once.
    c.Tap->StopRecord();
    stopped.release();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (c.Tap->Status() != tosIdle && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    const bool idle = c.Tap->Status() == tosIdle;
    const auto taken = dir / "taken.wma";
    if (idle)
        std::filesystem::copy_file(file, taken);
    worker.join();
    ASSERT_TRUE(idle) << "the tap never became idle";

    const auto p = probe(taken);
    ASSERT_FALSE(p.empty()) << "the file taken at tosIdle has no valid header";
    EXPECT_NEAR(std::stod(p.at("format.duration")), static_cast<double>(recorded) / Rate, 2 * 2048.0 / Rate);
    const Decoded d = decodeOnsets(taken, 2, {0, static_cast<long long>(recorded) - 2600});
    EXPECT_GE(d.Frames, static_cast<long long>(recorded)) << "queued audio was missing at tosIdle";
    EXPECT_LT(d.Frames, static_cast<long long>(recorded) + 2048);
    ASSERT_EQ(d.Onsets.size(), 2u);
    EXPECT_NEAR(static_cast<double>(d.Onsets[1]), static_cast<double>(recorded) - 2500, 3.0);
}

TEST(WMATap, NextRecordingIsANewFileWithTheNewTags)
{
    REQUIRE_PEERS("ffprobe");
    TempDir dir;
    Chain c(bursts(Rate * 2, {0}));
    TId3v2Tags tags;
    tags.SetArtist(u"Sender Eins");
    tags.SetAlbum(u"Abendprogramm");
    tags.SetGenre(u"Klassik");
    tags.SetYear("2011");
    tags.SetTrack("4");
    tags.SetComment(u"(c) Sender");
    c.Tap->SetId3v2Tags(&tags);
    for (const char *name : {"temp0.wma", "temp1.wma"}) {
        c.Tap->SetFileName((dir / name).string());
        c.Tap->StartRecord();
        c.Out->BlockingRun(); // the end of the data closes the file
        EXPECT_EQ(c.Tap->Status(), tosIdle);
        tags.SetArtist(u"Sender Zwei");
        c.Tap->SetId3v2Tags(&tags);
    }
    const auto a = probe(dir / "temp0.wma"), b = probe(dir / "temp1.wma");
    EXPECT_EQ(a.at("tag.artist"), "Sender Eins");
    EXPECT_EQ(b.at("tag.artist"), "Sender Zwei");
    EXPECT_EQ(b.at("tag.album"), "Abendprogramm");
    EXPECT_EQ(b.at("tag.genre"), "Klassik");
    EXPECT_EQ(b.at("tag.wm_year"), "2011");
    EXPECT_EQ(b.at("tag.wm_track"), "4");
    EXPECT_EQ(b.at("tag.copyright"), "(c) Sender"); // the comment goes into "Copyright"
    EXPECT_EQ(b.count("tag.title"), 0u);
    EXPECT_NEAR(std::stod(b.at("format.duration")), 2.0, 2 * 2048.0 / Rate);
}

TEST(WMATap, TagsSetDuringARunReachTheNextFileWhole)
{
    // The window thread copies new tags in while the worker opens file after file.
    REQUIRE_PEERS("ffprobe");
    TempDir dir;
    Chain c(bursts(Rate * 3, {}));
    const auto file = dir / "temp0.wma";
    c.Tap->SetFileName(file.string());
    c.Out->OnStep = [&](int k) {
        if (k % 2 == 0)
            c.Tap->StartRecord();
        else
            c.Tap->StopRecord();
    };
    std::atomic<bool> running{true};
    std::thread window([&] {
        TId3v2Tags a, b;
        a.SetTitle(u"Erster Titel");
        a.SetArtist(u"Sender A");
        b.SetTitle(u"Zweiter Titel");
        b.SetArtist(u"Sender B");
        for (int i = 0; running.load(); ++i)
            c.Tap->SetId3v2Tags(i % 2 ? &a : &b);
    });
    c.Out->BlockingRun();
    running = false;
    window.join();
    const auto p = probe(file);
    ASSERT_FALSE(p.empty());
    const bool first = p.at("tag.title") == "Erster Titel" && p.at("tag.artist") == "Sender A";
    const bool second = p.at("tag.title") == "Zweiter Titel" && p.at("tag.artist") == "Sender B";
    EXPECT_TRUE(first || second) << p.at("tag.title") << " / " << p.at("tag.artist");
}

TEST(WMATap, ConfigurationFailuresEndTheRunWithTheirMessages)
{
    TempDir dir;
    {
        // 24-bit input: no codec format takes it.
        TComponent owner;
        auto *src = new TPcmSource(&owner, std::vector<std::uint8_t>(60000, 3), 24, 2, Rate, 6000);
        auto *tap = new TWMATap(&owner);
        auto *out = new TStepOut(&owner);
        tap->SetInput(src);
        out->SetInput(tap);
        tap->SetFileName((dir / "a.wma").string());
        tap->StartRecord();
        try {
            out->BlockingRun();
            ADD_FAILURE() << "no exception";
        } catch (const std::exception &e) {
            EXPECT_STREQ(e.what(), "Failed to init codec");
        }
        EXPECT_FALSE(std::filesystem::exists(dir / "a.wma"));
        EXPECT_EQ(src->Closes.load(), src->Opens.load());
    }
    {
        Chain c(bursts(Rate, {}));
        c.Tap->StartRecord();
        EXPECT_EQ(runFailure(c), "File name is not assigned.");
    }
    {
        Chain c(bursts(Rate, {}));
        c.Tap->SetFileName((dir / "no such folder" / "x.wma").string());
        c.Tap->StartRecord();
        EXPECT_EQ(runFailure(c), "Cannot create file");
    }
    {
        // A start without any data creates no file.
        Chain c(std::vector<std::int16_t>{});
        c.Tap->SetFileName((dir / "never.wma").string());
        c.Tap->StartRecord();
        c.Out->BlockingRun();
        EXPECT_FALSE(std::filesystem::exists(dir / "never.wma"));
    }
}

TEST(WMATapFullDisk, WriterErrorArrivesOnItsThreadAndWhatFitIsKeptReadable)
{
    TempDir dir;
    const SmallDisk mnt(dir.path());
    if (!mnt.mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << mnt.error() << "); full-disk test skipped";

    testkit::TWindowThread w;
    Chain c(bursts(Rate * 20, {0, Rate * 5})); // 20 s at 256 kbit/s: about 640 KB
    const auto file = mnt / "temp0.wma";
    c.Tap->SetFileName(file.string());
    std::atomic<int> errors{0}, done{0};
    std::atomic<std::uint32_t> reason{0xFFFF};
    std::atomic<bool> onOtherThread{false};
    std::thread::id worker;
    c.Out->OnStep = [&](int k) {
        if (k == 0)
            worker = std::this_thread::get_id();
    };
    const std::thread::id window = std::this_thread::get_id();
    c.Tap->SetOnOutputError([&](TComponent *Sender, std::uint32_t Reason) {
        if (Sender == c.Tap) {
            reason = Reason;
            onOtherThread = std::this_thread::get_id() != window && std::this_thread::get_id() != worker;
        }
        ++errors;
    });
    c.Out->SetOnDone([&](TComponent *) { ++done; });
    c.Tap->StartRecord();
    c.Out->Run();
    ASSERT_TRUE(w.PumpUntil([&] { return done.load() == 1; }));
    EXPECT_EQ(errors.load(), 1);
    EXPECT_EQ(reason.load(), 0u);
    EXPECT_TRUE(onOtherThread.load()) << "OnOutputError runs on the writer's thread";
    const std::string message = c.Out->ExceptionMessage();
    EXPECT_EQ(message, "Failed to write data: FFFFFFE4"); // ENOSPC as the writer's result
    // What reached the disk before it filled is the recording up to then, and it reads.
    ASSERT_TRUE(std::filesystem::exists(file)) << "the part that fit was removed";
    // (Its header was never finished, so it states no duration: decode it to count.)
    EXPECT_EQ(probe(file).at("stream.codec_name"), "wmav2");
    EXPECT_GT(ffmpegDecodedFrames(file, 2), static_cast<long long>(Rate)) << "less than a second of it reads";
    EXPECT_EQ(c.Tap->Status(), tosIdle);
}
