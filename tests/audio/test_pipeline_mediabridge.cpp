// The network record's queue and wait rules, driven through its own callback (no network), and
// the stream input's checks that need no server.
#include "AuMedia.h"
#include "MediaBridge.h"
#include "PipelineTestKit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A record set up as an open stream with audio, without a reader behind it.
struct OpenRecord {
    wma_async_reader r;
    OpenRecord(std::uint32_t MaxWait = 2000)
    {
        r.MaxWaitMilliseconds = MaxWait;
        r.Event = std::make_unique<TStreamEvent>();
        r.CriticalSection = std::make_unique<std::mutex>();
        r.BlockList = std::make_unique<std::deque<TQueuedBlock>>();
        r.WMReaderCallback = std::make_shared<TWMReaderCallback>(&r);
        r.output = 0;
        r.status = WMT_STARTED;
    }
    void Sample(std::uint32_t Size, std::uint8_t Fill)
    {
        std::vector<std::uint8_t> data(Size, Fill);
        r.WMReaderCallback->OnSample(0, 0, data.data(), Size);
    }
    std::uint32_t Read(std::uint32_t Want, std::uint8_t *First = nullptr)
    {
        void *buf = nullptr;
        AsyncReaderGetData(r, buf, Want);
        if (First && Want)
            *First = *static_cast<std::uint8_t *>(buf);
        return Want;
    }
};

} // namespace

TEST(StreamRecord, AnAnswerNeverSpansTwoBlocksAndBlocksAreHandedOutInOrder)
{
    OpenRecord o;
    o.Sample(1000, 1);
    o.Sample(3000, 2);
    std::uint8_t first = 0;
    EXPECT_EQ(o.Read(4096, &first), 1000u);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(o.Read(1000, &first), 1000u);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(o.Read(4096, &first), 2000u);
    EXPECT_EQ(first, 2);
    // Samples of other outputs are not queued.
    std::vector<std::uint8_t> other(500, 9);
    o.r.WMReaderCallback->OnSample(1, 0, other.data(), 500);
    o.r.status = WMT_END_OF_FILE;
    EXPECT_EQ(o.Read(4096), 0u);
    EXPECT_EQ(o.r.QueuedBytes.load(), 0u);
}

TEST(StreamRecord, AfterPauseAnEmptyQueueWaitsEvenWhenTheReaderReportedClosed)
{
    OpenRecord o(3000);
    o.r.status = WMT_CLOSED;
    o.r.Paused = true;
    std::thread late([&] {
        std::this_thread::sleep_for(200ms);
        o.Sample(500, 7);
    });
    const auto t0 = Clock::now();
    std::uint8_t first = 0;
    EXPECT_EQ(o.Read(4096, &first), 500u);
    late.join();
    EXPECT_EQ(first, 7);
    EXPECT_GE(Clock::now() - t0, 150ms);
    EXPECT_FALSE(o.r.Paused.load());
    EXPECT_EQ(o.r.status.load(), WMT_STARTED);
}

TEST(StreamRecord, WithoutPauseAnEndedStreamEndsAtOnceAndTheRateIsReset)
{
    OpenRecord o(3000);
    o.r.StretchFactor = 1.5f;
    o.r.status = WMT_CLOSED;
    const auto t0 = Clock::now();
    EXPECT_EQ(o.Read(4096), 0u);
    EXPECT_LT(Clock::now() - t0, 100ms);
    EXPECT_FALSE(o.r.TimedOut.load());
    EXPECT_EQ(o.r.StretchFactor, 1.0f);
}

TEST(StreamRecord, NoSampleWithinTheWaitTimesOutButTheEndWakesAWaiterAtOnce)
{
    {
        OpenRecord o(300);
        const auto t0 = Clock::now();
        EXPECT_EQ(o.Read(4096), 0u);
        EXPECT_GE(Clock::now() - t0, 290ms);
        EXPECT_TRUE(o.r.TimedOut.load());
        // Latched: the next read does not wait again.
        const auto t1 = Clock::now();
        EXPECT_EQ(o.Read(4096), 0u);
        EXPECT_LT(Clock::now() - t1, 50ms);
    }
    {
        OpenRecord o(5000);
        std::thread end([&] {
            std::this_thread::sleep_for(100ms);
            o.r.WMReaderCallback->OnStatus(WMT_ERROR, -5);
        });
        const auto t0 = Clock::now();
        EXPECT_EQ(o.Read(4096), 0u);
        end.join();
        EXPECT_LT(Clock::now() - t0, 1s);
        EXPECT_EQ(o.r.status.load(), WMT_CLOSED);
        EXPECT_FALSE(o.r.TimedOut.load());
    }
}

TEST(StreamRecord, ASignalLeftOverFromOpeningDoesNotEndTheData)
{
    OpenRecord o(1000);
    o.r.WMReaderCallback->OnStatus(WMT_OPENED, 0); // sets the event; nobody consumes it
    o.r.status = WMT_STARTED;
    std::thread late([&] {
        std::this_thread::sleep_for(150ms);
        o.Sample(100, 3);
    });
    EXPECT_EQ(o.Read(4096), 100u);
    late.join();
    EXPECT_FALSE(o.r.TimedOut.load());
}

TEST(StreamRecord, DurationsRoundHalfToEven)
{
    EXPECT_EQ(DurationToHundredths(123450000), 1234u); // 12.345 s
    EXPECT_EQ(DurationToHundredths(123450001), 1235u);
    EXPECT_EQ(DurationToHundredths(123550000), 1236u);
    EXPECT_EQ(DurationToHundredths(0), 0u);
    EXPECT_EQ(DurationToSeconds(25000000), 2);
    EXPECT_EQ(DurationToSeconds(35000000), 4);
    EXPECT_EQ(DurationToSeconds(34999999), 3);
}

TEST(StreamRecord, Latin1TitlesBecomeUtf8AndUtf8StaysAsItIs)
{
    EXPECT_EQ(Latin1OrUtf8ToUtf8("Caf\xe9 M\xfcller"), "Caf\xc3\xa9 M\xc3\xbcller");
    EXPECT_EQ(Latin1OrUtf8ToUtf8("Caf\xc3\xa9"), "Caf\xc3\xa9");
    EXPECT_EQ(Latin1OrUtf8ToUtf8("\xe2\x82"), "\xc3\xa2\xc2\x82"); // truncated UTF-8 is Latin-1
}

// ---------------------------------------------------------------------------------------------

namespace {
class StreamInputChecks : public ::testing::Test {
protected:
    testkit::TWindowThread window;
    testkit::TCollectOut keeper; // keeps the event thread, so posted events arrive
};
} // namespace

TEST_F(StreamInputChecks, AnEmptyAddressIsNotAssigned)
{
    TWMStreamedIn in;
    try {
        in.HasAudio();
        FAIL() << "no exception";
    } catch (const EAuException &e) {
        EXPECT_STREQ(e.what(), "File name or URL is not assigned");
    }
    EXPECT_EQ(in.ErrorMsg(), "File name or URL is not assigned");
}

TEST_F(StreamInputChecks, LocalFilesAndOtherSchemesAreRefusedWithAClearMessage)
{
    for (const std::string url : {"file:///etc/passwd", "concat:/etc/passwd|/etc/hosts", "/etc/passwd",
                                  "subfile,,start,0,end,100,,:/etc/passwd", "pipe:0", "udp://127.0.0.1:9"}) {
        TWMStreamedIn in;
        in.SetFileName(url);
        in.SetMaxWaitMilliseconds(2000);
        std::atomic<int> opened{0};
        in.SetOnStreamOpened([&](TComponent *) { ++opened; });
        std::string message;
        try {
            in.HasAudio();
        } catch (const EAuException &e) {
            message = e.what();
        }
        EXPECT_EQ(message, "Result " + std::to_string(E_INVALIDARG_RESULT)) << url;
        EXPECT_EQ(in.ErrorMsg(), message);
        EXPECT_NE(in.ErrorDetail().find("not a network stream"), std::string::npos) << in.ErrorDetail();
        EXPECT_TRUE(window.PumpUntil([&] { return opened == 1; }, 2s)) << url;
        EXPECT_FALSE(in.Valid());
    }
}

TEST_F(StreamInputChecks, BufferingTimeKeepsItsRange)
{
    TWMStreamedIn in;
    EXPECT_EQ(in.BufferingTime(), 2);
    in.SetBufferingTime(0);
    EXPECT_EQ(in.BufferingTime(), 2);
    in.SetBufferingTime(61);
    EXPECT_EQ(in.BufferingTime(), 2);
    in.SetBufferingTime(1);
    EXPECT_EQ(in.BufferingTime(), 1);
    in.SetBufferingTime(60);
    EXPECT_EQ(in.BufferingTime(), 60);
    EXPECT_EQ(in.MaxWaitMilliseconds(), 10000u);
    EXPECT_EQ(in.StretchFactor(), 1.0f);
}

TEST_F(StreamInputChecks, AClosedInputDeliversNothingAndNeedsNoNetwork)
{
    TWMStreamedIn in;
    EXPECT_EQ(in.ReaderStatus(), 0);
    EXPECT_EQ(in.StreamTitle(), u"");
    EXPECT_EQ(in.TotalTime(), 0u);
    EXPECT_FALSE(in.TimedOut());
}
