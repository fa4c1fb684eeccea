// The audio tap's recording state machine, driven block by block without an output thread.
#include "PipelineTestKit.h"

#include <gtest/gtest.h>

using namespace testkit;

namespace {

class TapTest : public ::testing::Test {
protected:
    TComponent Owner;
    TByteSource *Src = new TByteSource(&Owner, 100 * 1000, 1000);
    TMemoryTap *Tap = new TMemoryTap(&Owner);
    std::int64_t Pulled = 0; // bytes handed downstream so far

    void SetUp() override { Tap->SetInput(Src); }

    // One downstream block of 1000 bytes; returns its length.
    std::uint32_t Pull()
    {
        void *P = nullptr;
        std::uint32_t N = 1000;
        Tap->GetData(P, N);
        Pulled += N;
        return N;
    }
    std::vector<std::uint8_t> Bytes(std::int64_t From, std::size_t Count) { return PatternBytes(static_cast<std::uint64_t>(From), Count); }
};

} // namespace

TEST_F(TapTest, StartWithoutDataCreatesNoFileAndStaysPendingForTheNextRun)
{
    auto *Empty = new TByteSource(&Owner, 0);
    Tap->SetInput(Empty);
    Tap->StartRecord();
    Tap->Init();
    EXPECT_EQ(Pull(), 0u);
    Tap->Flush();
    EXPECT_EQ(Tap->OpenCount.load(), 0);
    EXPECT_EQ(Tap->Status(), tosIdle);
    // The request stays: the first block of the next run opens the file.
    Tap->SetInput(Src);
    Tap->Init();
    Pull();
    EXPECT_EQ(Tap->OpenCount.load(), 1);
    EXPECT_EQ(Tap->Status(), tosPlaying);
    Tap->Flush();
    EXPECT_EQ(Tap->CloseCount.load(), 1) << "closing the run closes the file";
    EXPECT_EQ(Tap->Status(), tosIdle);
}

TEST_F(TapTest, StartStopPauseTable)
{
    Tap->StopRecord(); // idle: nothing
    Tap->Init();
    Pull();
    Tap->StartRecord();
    Tap->StartRecord(); // twice before the first block: one file
    Tap->StopRecord();  // only a start is pending: does not cancel it
    EXPECT_EQ(Tap->Status(), tosIdle);
    Pull(); // bytes 1000..1999 open the file
    Pull(); // 2000..2999
    Tap->PauseRecord();
    EXPECT_EQ(Tap->Status(), tosPaused);
    Pull(); // 3000..3999 not written
    Tap->ResumeRecord();
    EXPECT_EQ(Tap->Status(), tosPlaying);
    Pull(); // 4000..4999
    Tap->PauseRecord();
    Tap->StopRecord(); // paused then stopped: closed at the next block, which is not written
    Pull();            // 5000..5999
    EXPECT_EQ(Tap->Status(), tosIdle);
    Pull();
    Tap->Flush();

    ASSERT_EQ(Tap->Files.size(), 1u);
    EXPECT_EQ(Tap->OpenCount.load(), 1);
    EXPECT_EQ(Tap->CloseCount.load(), 1);
    std::vector<std::uint8_t> Expect = Bytes(1000, 2000);
    const auto Tail = Bytes(4000, 1000);
    Expect.insert(Expect.end(), Tail.begin(), Tail.end());
    EXPECT_EQ(Tap->Files[0], Expect);
}

TEST_F(TapTest, EndOfDataClosesTheFileAndDataPassesUnchanged)
{
    auto *Short = new TByteSource(&Owner, 3500, 1000);
    Tap->SetInput(Short);
    Tap->StartRecord();
    Tap->Init();
    std::vector<std::uint8_t> Down;
    for (;;) {
        void *P = nullptr;
        std::uint32_t N = 1000;
        Tap->GetData(P, N);
        if (N == 0)
            break;
        Down.insert(Down.end(), static_cast<std::uint8_t *>(P), static_cast<std::uint8_t *>(P) + N);
    }
    EXPECT_EQ(Tap->CloseCount.load(), 1) << "end of data closes the file";
    EXPECT_EQ(Tap->Status(), tosIdle);
    Tap->Flush();
    EXPECT_EQ(Tap->CloseCount.load(), 1) << "and only once";
    EXPECT_EQ(Down, Bytes(0, 3500));
    ASSERT_EQ(Tap->Files.size(), 1u);
    EXPECT_EQ(Tap->Files[0], Down);
}

TEST_F(TapTest, OutputPauseAndResumeControlTheRecordingPause)
{
    Tap->Init();
    Tap->StartRecord();
    Pull();
    Tap->PauseRecord();
    Tap->_Pause();  // the output pauses too
    Tap->_Resume(); // resuming the output clears the recording pause, whoever asked for it
    EXPECT_EQ(Tap->Status(), tosPlaying);
    EXPECT_EQ(Src->Pauses.load(), 1) << "passed on to the input";
    EXPECT_EQ(Src->Resumes.load(), 1);
    Tap->Flush();
}

namespace {

// Notes the tap's Status while its file is being closed (as a window polling it would see
// it), and can fail the close.
class TClosingProbeTap : public TMemoryTap {
public:
    using TMemoryTap::TMemoryTap;
    std::vector<TOutputStatus> StatusWhileClosing;
    bool FailClose = false;

protected:
    void CloseTapFile() override
    {
        StatusWhileClosing.push_back(Status());
        TMemoryTap::CloseTapFile();
        if (FailClose)
            throw EAuException("disk gone");
    }
};

} // namespace

TEST(TapClosing, StatusStaysBusyUntilTheFileIsClosedHoweverTheRecordingEnds)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 100 * 1000, 1000);
    auto *Short = new TByteSource(&Owner, 2500, 1000);
    auto *Tap = new TClosingProbeTap(&Owner);
    auto Pull = [&] {
        void *P = nullptr;
        std::uint32_t N = 1000;
        Tap->GetData(P, N);
        return N;
    };
    Tap->SetInput(Src);
    Tap->Init();

    // Stopped: closed at the next block.
    Tap->StartRecord();
    Pull();
    Tap->StopRecord();
    EXPECT_EQ(Tap->Status(), tosPlaying) << "the stop is taken up at the next block";
    Pull();
    // Paused, then stopped.
    Tap->StartRecord();
    Pull();
    Tap->PauseRecord();
    Tap->StopRecord();
    Pull();
    // The run closed while recording.
    Tap->StartRecord();
    Pull();
    Tap->Flush();
    // The end of the data.
    Tap->SetInput(Short);
    Tap->Init();
    Tap->StartRecord();
    while (Pull() > 0) {
    }
    Tap->Flush();

    EXPECT_EQ(Tap->CloseCount.load(), 4);
    EXPECT_EQ(Tap->StatusWhileClosing,
              (std::vector<TOutputStatus>{tosPlaying, tosPlaying, tosPlaying, tosPlaying}))
        << "tosIdle before the file was closed";
    EXPECT_EQ(Tap->Status(), tosIdle);

    // A close that fails still ends in tosIdle, and the failure is raised.
    Tap->SetInput(Src);
    Tap->Init();
    Tap->StartRecord();
    Pull();
    Tap->FailClose = true;
    Tap->StopRecord();
    EXPECT_THROW(Pull(), EAuException);
    EXPECT_EQ(Tap->StatusWhileClosing.back(), tosPlaying);
    EXPECT_EQ(Tap->Status(), tosIdle);
    Tap->FailClose = false;
    Tap->Flush();
    EXPECT_EQ(Tap->CloseCount.load(), 5) << "a failed close is not repeated";
}

TEST(TapChain, TwoTapsInARowRecordTheSameBytesAndPassThemUnchanged)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 50000, 777);
    auto *Tap1 = new TMemoryTap(&Owner);
    auto *Tap2 = new TMemoryTap(&Owner);
    auto *Out = new TCollectOut(&Owner, 1000);
    Tap1->SetInput(Src);
    Tap2->SetInput(Tap1);
    Out->SetInput(Tap2);
    Out->BlockingRun();
    const auto Plain = Out->Data();
    Out->ClearData();
    Tap1->StartRecord();
    Tap2->StartRecord();
    Out->BlockingRun();
    EXPECT_EQ(Out->Data(), Plain);
    EXPECT_EQ(Plain, PatternBytes(0, 50000));
    ASSERT_EQ(Tap1->Files.size(), 1u);
    ASSERT_EQ(Tap2->Files.size(), 1u);
    EXPECT_EQ(Tap1->Files[0], Plain);
    EXPECT_EQ(Tap2->Files[0], Plain);
    EXPECT_EQ(Tap2->Size(), 50000);
}

TEST(TapChain, OpeningWithoutInputRaises)
{
    TMemoryTap Tap;
    try {
        Tap.Init();
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input not assigned");
    }
}
