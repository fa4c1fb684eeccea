// The gain indicator: its level figure, the interval in audio time, the final zero report, and
// delivery of its reports on the window thread through the shared event handler.
#include "AuConverters.h"
#include "AuIndicators.h"
#include "ConverterTestKit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace convtest;
using namespace std::chrono_literals;

namespace {

// Runs the shared event thread for the test (as a live output would) and delivers window-
// thread calls on the test's own thread when pumped.
class GainIndicator : public ::testing::Test {
protected:
    void SetUp() override
    {
        Window = std::make_shared<TWindowCallQueue>();
        SetWindowThreadDispatcher(Window);
        SharedEventHandler()->RegisterOutput();
    }
    void TearDown() override
    {
        SharedEventHandler()->UnregisterOutput();
        SetWindowThreadDispatcher(nullptr);
        Window->Close();
    }

    // Wires the indicator's handler to record GainValue, on which thread it ran.
    void Watch(TFastGainIndicator &G)
    {
        G.SetOnGainData([this, &G](TComponent *Sender) {
            EXPECT_EQ(Sender, &G);
            EXPECT_EQ(std::this_thread::get_id(), WindowThread);
            Reports.push_back(G.GainValue());
        });
    }
    // Waits (pumping) until N reports have arrived.
    bool AwaitReports(std::size_t N)
    {
        return Window->PumpUntil([&] { return Reports.size() >= N; }, 5s);
    }

    // Reads one block of Request bytes and lets any report it caused arrive.
    std::uint32_t ReadBlock(TFastGainIndicator &G, std::uint32_t Request, std::size_t ExpectReports)
    {
        void *P = nullptr;
        std::uint32_t Bytes = Request;
        G.GetData(P, Bytes);
        EXPECT_TRUE(AwaitReports(ExpectReports));
        return Bytes;
    }

    std::shared_ptr<TWindowCallQueue> Window;
    const std::thread::id WindowThread = std::this_thread::get_id();
    std::vector<std::uint16_t> Reports;
};

TEST_F(GainIndicator, SilenceReportsZeroEverySeventhBlockAndAtTheEnd)
{
    // 32000 Hz stereo 16-bit, 4096-byte blocks of 32 ms: 7 x 3200 >= 20000 (Interval 200).
    TMemorySource Src(16, 2, 32000, std::vector<std::uint8_t>(4096 * 30, 0));
    TFastGainIndicator G;
    EXPECT_EQ(G.Interval(), 100u);
    G.SetInterval(200);
    G.SetInput(&Src);
    Watch(G);
    G.Init();
    for (int Block = 1; Block <= 30; ++Block) {
        const std::size_t Want = std::size_t(Block / 7);
        ASSERT_EQ(ReadBlock(G, 4096, Want), 4096u);
        // Nothing more than that arrives.
        Window->PumpFor(1ms);
        ASSERT_EQ(Reports.size(), Want) << "after block " << Block;
    }
    EXPECT_EQ(G.Position(), 4096 * 30);
    G.Flush();
    ASSERT_TRUE(AwaitReports(5));
    EXPECT_EQ(Reports, (std::vector<std::uint16_t>{0, 0, 0, 0, 0}));
}

TEST_F(GainIndicator, FullScaleSwingGivesAbout132AndTheLastReportIsZero)
{
    // 16-bit mono: +32767 and -32767 alternating every three samples.
    std::vector<std::int16_t> S(8000);
    for (std::size_t i = 0; i < S.size(); ++i)
        S[i] = (i / 3) % 2 ? -32767 : 32767;
    std::vector<std::uint8_t> Data(S.size() * 2);
    std::memcpy(Data.data(), S.data(), Data.size());
    TMemorySource Src(16, 1, 8000, Data);
    TFastGainIndicator G;
    G.SetInterval(100);
    G.SetInput(&Src);
    Watch(G);
    G.Init();
    // 100 ms at 8000 Hz is 800 frames: blocks of 1600 bytes, one report each.
    for (std::size_t Block = 1; Block <= 5; ++Block) {
        ASSERT_EQ(ReadBlock(G, 1600, Block), 1600u);
        EXPECT_EQ(Reports.back(), 132);
        EXPECT_EQ(G.GainValue(), 132);
    }
    G.Flush();
    ASSERT_TRUE(AwaitReports(6));
    EXPECT_EQ(Reports.back(), 0);
    EXPECT_EQ(G.GainValue(), 0);
}

TEST_F(GainIndicator, HandsOutTheInputsBlocksAndMeasuresAcrossChannels)
{
    // Stereo 8-bit: left at +0.5, right at -0.5. Differences three samples apart straddle the
    // channels: every one is 1.0, so the level is round(20 log10(10^6 + 1)) = 120.
    std::vector<std::uint8_t> Data;
    for (int f = 0; f < 4000; ++f) {
        Data.push_back(192);
        Data.push_back(64);
    }
    TMemorySource Src(8, 2, 8000, Data, 100000);
    TFastGainIndicator G;
    G.SetInterval(500);
    G.SetInput(&Src);
    Watch(G);
    G.Init();
    void *P = nullptr;
    std::uint32_t Bytes = 8000; // exactly 500 ms
    G.GetData(P, Bytes);
    ASSERT_EQ(Bytes, 8000u);
    EXPECT_EQ(P, Src.DataPtr()); // the input's own block, untouched
    EXPECT_EQ(std::memcmp(P, Data.data(), Bytes), 0);
    ASSERT_TRUE(AwaitReports(1));
    EXPECT_EQ(Reports[0], 120);
    G.Flush();
}

TEST_F(GainIndicator, AudioTimeOfAnUnfinishedIntervalCarriesIntoTheNextRun)
{
    TMemorySource Src(16, 2, 32000, std::vector<std::uint8_t>(4096 * 10, 0));
    TFastGainIndicator G;
    G.SetInterval(200);
    G.SetInput(&Src);
    Watch(G);
    G.Init();
    for (int i = 0; i < 3; ++i)
        ReadBlock(G, 4096, 0);
    G.Flush(); // reports 0 once
    ASSERT_TRUE(AwaitReports(1));
    G.Init();
    for (int i = 0; i < 3; ++i)
        ReadBlock(G, 4096, 1);
    Window->PumpFor(1ms);
    EXPECT_EQ(Reports.size(), 1u);
    ReadBlock(G, 4096, 2); // the seventh block over both runs
    G.Flush();
    EXPECT_TRUE(AwaitReports(3));
}

// An output that collects what its worker pulls, 4096 bytes at a time.
class TCollectingOutput : public TAuOutput {
public:
    ~TCollectingOutput() override { ShutDown(); }
    std::vector<std::uint8_t> Data; // written by the worker; read after the run

protected:
    void PrepareSink() override { Input()->Init(); }
    bool WriteStep(bool Abort) override
    {
        void *P = nullptr;
        std::uint32_t Bytes = 4096;
        Input()->GetData(P, Bytes);
        const auto *B = static_cast<const std::uint8_t *>(P);
        if (Bytes > 0)
            Data.insert(Data.end(), B, B + Bytes);
        return Bytes > 0 && !Abort;
    }
    void FinishSink() override { Input()->Flush(); }
};

TEST_F(GainIndicator, ReportsReachTheWindowThreadFromAnOutputsWorker)
{
    // The recorder's listening chain without the network and the taps: 2 s of 44100 Hz
    // stereo, resampled to 32000 Hz, measured every 200 ms, pulled by an output's worker.
    const std::size_t Frames = 2 * 44100;
    TMemorySource Src(16, 2, 44100, ToPcm16(Interleave({Sine(440, 44100, Frames, 0.5),
                                                        Sine(550, 44100, Frames, 0.5)})));
    TFastResampler Resampler;
    Resampler.SetInput(&Src);
    Resampler.SetOutSampleRate(32000);
    TFastGainIndicator G;
    G.SetInterval(200);
    G.SetInput(&Resampler);
    Watch(G);
    TCollectingOutput Out;
    Out.SetInput(&G);
    bool Done = false;
    Out.SetOnDone([&](TComponent *) { Done = true; });
    Out.Run();
    ASSERT_TRUE(Window->PumpUntil([&] { return Done; }, 10s));
    EXPECT_EQ(Out.ExceptionMessage(), "");
    // Each 6400-frame chunk of the resampler is handed out as six blocks of 1024 frames and
    // one of 256: exactly 200 ms, so one report per chunk, then the zero at the close. (The
    // handlers run after the fast run has ended, so they all read the final 0: delivery is
    // asynchronous by design.)
    EXPECT_EQ(Out.Data.size(), 64000u * 4);
    EXPECT_EQ(Reports.size(), 11u) << ::testing::PrintToString(Reports);
    ASSERT_FALSE(Reports.empty());
    EXPECT_EQ(Reports.back(), 0);
}

TEST_F(GainIndicator, RefusesMoreThanTwoChannels)
{
    TMemorySource Src(16, 6, 48000, std::vector<std::uint8_t>(1200, 0));
    TFastGainIndicator G;
    G.SetInput(&Src);
    try {
        G.Init();
        ADD_FAILURE();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Only mono or stereo soures are supported.");
    }
    EXPECT_FALSE(G.IsBusy());
    EXPECT_EQ(Src.Opened(), 1);
    EXPECT_EQ(Src.Closed(), 1);

    TFastGainIndicator Unwired;
    try {
        Unwired.Init();
        ADD_FAILURE();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input is not assigned");
    }
}

} // namespace
