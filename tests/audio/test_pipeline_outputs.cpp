// Outputs with their worker threads and event delivery through a test "window thread" (the
// test's own thread, pumping a TWindowCallQueue).
#include "PipelineTestKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

using namespace testkit;
using namespace std::chrono_literals;

namespace {

class OutputTest : public ::testing::Test {
protected:
    TWindowThread W;
    TComponent Owner;
    TByteSource *Src = new TByteSource(&Owner, 200000, 1000);
    TCollectOut *Out = new TCollectOut(&Owner, 1000);
    std::thread::id WindowId = std::this_thread::get_id();
    int Done = 0, Progresses = 0, Exceptions = 0;
    bool AllOnWindowThread = true;

    void SetUp() override
    {
        Out->SetInput(Src);
        Out->SetOnDone([this](TComponent *S) {
            EXPECT_EQ(S, Out);
            Note();
            ++Done;
        });
        Out->SetOnProgress([this](TComponent *) {
            Note();
            ++Progresses;
        });
        Out->SetOnThreadException([this](TComponent *) {
            Note();
            ++Exceptions;
        });
    }
    void TearDown() override { Owner.DestroyComponents(); }
    void Note()
    {
        if (std::this_thread::get_id() != WindowId)
            AllOnWindowThread = false;
    }
    // A source that never ends and keeps each block short.
    void Endless()
    {
        Src = new TByteSource(&Owner, -1, 1000);
        Src->StepDelay = 200us;
        Out->SetInput(Src);
    }
    bool WaitIdle() { return W.PumpUntil([&] { return Out->Status() == tosIdle; }); }
};

} // namespace

TEST_F(OutputTest, RunToTheEndDeliversDataProgressAndDoneOnTheWindowThread)
{
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 1; }));
    EXPECT_EQ(Out->Data(), PatternBytes(0, 200000));
    EXPECT_EQ(Out->Status(), tosIdle);
    EXPECT_EQ(Out->Prepares.load(), 1);
    EXPECT_EQ(Out->Finishes.load(), 1);
    EXPECT_FALSE(Src->IsBusy());
    EXPECT_GE(Progresses, 1);
    EXPECT_LE(Progresses, 101) << "progress is posted only when the rounded value changes";
    EXPECT_EQ(Out->Progress(), 100.0);
    EXPECT_EQ(Out->TimeElapsed(), 1); // 200000 bytes at 176400 bytes/s
    EXPECT_EQ(Exceptions, 0);
    EXPECT_TRUE(AllOnWindowThread);
    EXPECT_EQ(Out->ExceptionMessage(), "");
}

TEST_F(OutputTest, EmptySourceRunsOneStepAndCompletes)
{
    auto *Empty = new TByteSource(&Owner, 0);
    Out->SetInput(Empty);
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 1; }));
    EXPECT_EQ(Out->Prepares.load(), 1);
    EXPECT_EQ(Out->Steps.load(), 1);
    EXPECT_EQ(Out->Finishes.load(), 1);
}

TEST_F(OutputTest, RunWhileBusyAndWithoutInputRaise)
{
    Endless();
    Out->Run();
    try {
        Out->Run();
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Component is Busy");
    }
    EXPECT_EQ(Out->Status(), tosPlaying) << "the first run goes on";
    Out->Stop(false);

    TCollectOut Bare;
    try {
        Bare.Run();
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input is not assigned");
    }
    EXPECT_EQ(Bare.Status(), tosIdle);
    try {
        Bare.Pause();
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "Input is not assigned.");
    }
}

TEST_F(OutputTest, SynchronousStopDeliversNoDoneAsynchronousDoes)
{
    Endless();
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 5; }));
    Out->Stop(false);
    EXPECT_EQ(Out->Finishes.load(), 1) << "returns only after FinishSink";
    EXPECT_EQ(Out->Status(), tosIdle);
    EXPECT_FALSE(Src->IsBusy());
    W.PumpFor(300ms);
    EXPECT_EQ(Done, 0);

    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 20; }));
    Out->Stop(true);
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 1; }));
    EXPECT_EQ(Out->Finishes.load(), 2);
    EXPECT_EQ(Out->Status(), tosIdle);
}

TEST_F(OutputTest, PauseWaitsPumpingTheWindowThread)
{
    // Each step takes 300 ms: Pause waits for the step to end and keeps the window pumped.
    Src = new TByteSource(&Owner, -1, 1000);
    Src->StepDelay = 300ms;
    Out->SetInput(Src);
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Src->Produced.load() > 0; }));
    int DuringPause = 0;
    W.Queue().OnPump = [&] { ++DuringPause; };
    const auto T0 = std::chrono::steady_clock::now();
    Out->Pause();
    const auto T1 = std::chrono::steady_clock::now();
    W.Queue().OnPump = nullptr;
    EXPECT_EQ(Out->Status(), tosPaused);
    EXPECT_GE(DuringPause, 2) << "waited " << (T1 - T0) / 1ms << " ms";
    EXPECT_LT(W.Queue().LongestGap(T0, T1), 100ms);
    Out->Stop(false);
}

TEST(PumpingWaits, ALockHeldElsewherePumpsOnlyOnTheWindowThread)
{
    TWindowThread W;
    std::recursive_mutex M;
    std::atomic<bool> Held{false};
    std::thread Holder([&] {
        std::lock_guard<std::recursive_mutex> L(M);
        Held = true;
        std::this_thread::sleep_for(300ms);
    });
    while (!Held)
        std::this_thread::sleep_for(1ms);
    bool Posted = false;
    const auto T0 = std::chrono::steady_clock::now();
    {
        TPumpingLock L(M);
        Posted = true;
    }
    const auto T1 = std::chrono::steady_clock::now();
    Holder.join();
    EXPECT_TRUE(Posted);
    EXPECT_GE(T1 - T0, 250ms);
    EXPECT_GE(W.Queue().Pumps.size(), 3u);
    EXPECT_LT(W.Queue().LongestGap(T0, T1), 100ms);

    // Re-entrant on the same thread, and no pumping off the window thread.
    W.Queue().Pumps.clear();
    std::thread Other([&] {
        TPumpingLock Outer(M);
        TPumpingLock Inner(M);
        EXPECT_EQ(WaitPumping(30, [](std::uint32_t Ms) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
                      return false;
                  }),
                  false);
    });
    Other.join();
    EXPECT_TRUE(W.Queue().Pumps.empty());
    EXPECT_TRUE(WaitPumping(1000, [](std::uint32_t) { return true; }));
}

TEST_F(OutputTest, PauseResumeAndPauseThenStop)
{
    Endless();
    Out->Pause(); // idle: nothing
    Out->Resume();
    Out->Run();
    Out->Resume(); // not paused: nothing
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 3; }));
    Out->Pause();
    EXPECT_EQ(Out->Status(), tosPaused);
    EXPECT_EQ(Src->Pauses.load(), 1);
    const int Steps = Out->Steps.load();
    W.PumpFor(50ms);
    EXPECT_EQ(Out->Steps.load(), Steps) << "a paused worker takes no steps";
    Out->Pause(); // already paused: returns at once, and one Resume still resumes
    Out->Resume();
    EXPECT_EQ(Src->Resumes.load(), 1);
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > Steps + 3; }));
    EXPECT_EQ(Out->Status(), tosPlaying);

    Out->Pause();
    Out->Stop(false); // the paused worker is woken and ends the run
    EXPECT_EQ(Out->Status(), tosIdle);
    EXPECT_EQ(Out->Finishes.load(), 1);
}

TEST_F(OutputTest, DoneHandlerMayRunAgain)
{
    auto *Small = new TByteSource(&Owner, 5000, 1000);
    Out->SetInput(Small);
    Out->SetOnDone([this](TComponent *) {
        if (++Done < 3)
            Out->Run();
    });
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 3 && Out->Status() == tosIdle; }));
    EXPECT_EQ(Out->Prepares.load(), 3);
    EXPECT_EQ(Out->Finishes.load(), 3);
    EXPECT_EQ(Out->Data().size(), 15000u);
}

TEST_F(OutputTest, ADoneOfARunFollowedAtOnceByAnotherIsDeliveredAsStaleAndTheNewRunsEventsStay)
{
    // The first run's OnSyncDone starts a second run at once. The first run's OnDone is
    // delivered once the worker has moved on to the second run, marked as of run 1; the
    // second run's own events (its OnDone above all) are not swallowed by it.
    bool Again = true; // worker only
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Dones; // (EventRun, RunNumber)
    Out->SetOnSyncDone([&](TComponent *) {
        if (Again) {
            Again = false;
            Out->Run();
        }
    });
    Out->SetOnDone([&](TComponent *) { Dones.emplace_back(Out->EventRun(), Out->RunNumber()); });
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Dones.size() == 2; }));
    W.PumpFor(100ms);
    EXPECT_EQ(Out->Prepares.load(), 2);
    ASSERT_EQ(Dones.size(), 2u);
    EXPECT_EQ(Dones[0], std::make_pair(1u, 2u)) << "the first run's done is recognisably stale";
    EXPECT_EQ(Dones[1], std::make_pair(2u, 2u));
    EXPECT_EQ(Out->Data().size(), 400000u);
}

TEST_F(OutputTest, LateEventsOfAStoppedRunArriveMarkedWithTheirRun)
{
    // Run 1 fails; its OnThreadException and OnDone wait for the window thread, which (like a
    // window busy elsewhere) does not pump before it has started run 2 - the stall restart.
    struct TSeen {
        char Kind;
        std::uint32_t EventRun, RunNumber;
    };
    std::vector<TSeen> Seen;
    Out->SetOnDone([&](TComponent *) { Seen.push_back({'D', Out->EventRun(), Out->RunNumber()}); });
    Out->SetOnThreadException([&](TComponent *) { Seen.push_back({'X', Out->EventRun(), Out->RunNumber()}); });
    EXPECT_EQ(Out->RunNumber(), 0u);
    EXPECT_EQ(Out->EventRun(), 0u) << "outside a handler: the current run";
    Endless();
    Out->FailStep = "broken pipe";
    Out->Run();
    const auto Deadline = std::chrono::steady_clock::now() + 10s;
    while (Out->Status() != tosIdle && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(Out->Status(), tosIdle);
    Out->FailStep.clear();
    Out->Run();
    EXPECT_EQ(Out->RunNumber(), 2u);
    ASSERT_TRUE(W.PumpUntil([&] { return Seen.size() == 2; }));
    EXPECT_EQ(Out->Status(), tosPlaying) << "run 2 goes on";
    Out->Stop(true);
    ASSERT_TRUE(W.PumpUntil([&] { return Seen.size() == 3; }));
    W.PumpFor(50ms);
    ASSERT_EQ(Seen.size(), 3u);
    EXPECT_EQ(Seen[0].Kind, 'X');
    EXPECT_EQ(Seen[1].Kind, 'D');
    EXPECT_EQ(Seen[2].Kind, 'D');
    for (int I : {0, 1}) {
        EXPECT_EQ(Seen[I].EventRun, 1u);
        EXPECT_EQ(Seen[I].RunNumber, 2u);
    }
    EXPECT_EQ(Seen[2].EventRun, 2u);
    EXPECT_EQ(Seen[2].RunNumber, 2u);

    // A synchronous stop still silences its run's done, and BlockingRun counts a run too.
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 3; }));
    Out->Stop(false);
    W.PumpFor(100ms);
    EXPECT_EQ(Seen.size(), 3u);
    EXPECT_EQ(Out->RunNumber(), 3u);
    Out->SetInput(new TByteSource(&Owner, 3000, 1000));
    Out->BlockingRun();
    EXPECT_EQ(Out->RunNumber(), 4u);
}

TEST_F(OutputTest, AStopWhileIdleDoesNotCutTheNextRunShort)
{
    // The worker is between two runs (in OnSyncDone) when the window stops the idle output and
    // runs it again: the stop must not carry over into that run.
    auto *Clip = new TByteSource(&Owner, 20000, 1000);
    Out->SetInput(Clip);
    std::atomic<int> Phase{0};
    Out->SetOnSyncDone([&](TComponent *) {
        if (Phase == 0) {
            Phase = 1;
            while (Phase != 2)
                std::this_thread::sleep_for(1ms);
        }
    });
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Phase.load() == 1; }));
    Out->Stop();
    Out->ClearData();
    Out->Run();
    Phase = 2;
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 2 && Out->Status() == tosIdle; }));
    EXPECT_EQ(Out->Data().size(), 20000u) << "the second run played the whole clip";
    EXPECT_TRUE(Out->Data() == PatternBytes(0, 20000));
}

TEST_F(OutputTest, StopFromTheWorkerRaisesItsMessage)
{
    std::string Msg;
    Out->SetOnSyncDone([&](TComponent *) {
        try {
            Out->Stop(true);
        } catch (const EAuException &E) {
            Msg = E.what();
        }
    });
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 1; }));
    EXPECT_EQ(Msg, "You are trying to stop this thread from the thread itself!");
}

TEST_F(OutputTest, DelayAboveHundredIsIgnored)
{
    EXPECT_EQ(Out->Delay(), 0);
    Out->SetDelay(50);
    Out->SetDelay(250);
    EXPECT_EQ(Out->Delay(), 50);
    Out->SetThreadPriority(tpLower);
    EXPECT_EQ(Out->ThreadPriority(), tpLower);
}

TEST_F(OutputTest, UnknownSizeGivesProgressMinusOneAndOneEvent)
{
    Endless();
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 50; }));
    EXPECT_EQ(Out->Progress(), -1.0);
    Out->Stop(true);
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 1; }));
    EXPECT_EQ(Progresses, 1);
}

TEST_F(OutputTest, ThreadExceptionsEndTheRunAndAreReported)
{
    Out->FailStep = "disk full";
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 1; }));
    EXPECT_EQ(Exceptions, 1);
    EXPECT_EQ(Out->ExceptionMessage(), "disk full");
    EXPECT_EQ(Out->Finishes.load(), 1);
    EXPECT_FALSE(Src->IsBusy());

    Out->FailStep.clear();
    Out->FailPrepare = "no device";
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 2; }));
    EXPECT_EQ(Out->ExceptionMessage(), "no device");
    EXPECT_EQ(Out->Finishes.load(), 2) << "FinishSink copes with a failed PrepareSink";

    // A sink that cannot be finished is a failed run, not a silent success.
    Out->FailPrepare.clear();
    Out->FailFinish = "cannot complete file";
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 3; }));
    EXPECT_EQ(Out->ExceptionMessage(), "cannot complete file");
    EXPECT_EQ(Exceptions, 3);
    EXPECT_EQ(Out->Status(), tosIdle);
}

TEST_F(OutputTest, BlockingRunPostsNothingAndLeavesNoBusyOutputOnFailure)
{
    Out->BlockingRun();
    EXPECT_EQ(Out->Data(), PatternBytes(0, 200000));
    W.PumpFor(150ms);
    EXPECT_EQ(Done, 0);
    EXPECT_EQ(Progresses, 0);
    Out->FailStep = "broken";
    EXPECT_THROW(Out->BlockingRun(), EAuException);
    EXPECT_EQ(Out->Status(), tosIdle);
    EXPECT_FALSE(Src->IsBusy()) << "the chain is closed";
    Out->FailStep.clear();
    Out->ClearData();
    Out->BlockingRun();
    EXPECT_EQ(Out->Data().size(), 200000u);
}

TEST_F(OutputTest, InputSwappedDuringARunRestartsOnTheNewInput)
{
    Endless();
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 3; }));
    auto *Next = new TByteSource(&Owner, 3000, 1000);
    Out->SetInput(Next);
    ASSERT_TRUE(W.PumpUntil([&] { return Done == 1; }));
    EXPECT_FALSE(Src->IsBusy());
    const auto D = Out->Data();
    ASSERT_GE(D.size(), 3000u);
    EXPECT_EQ(std::vector<std::uint8_t>(D.end() - 3000, D.end()), PatternBytes(0, 3000));

    Endless();
    Out->Run();
    EXPECT_THROW(Out->SetInput(nullptr), EAuException);
    EXPECT_EQ(Out->Status(), tosIdle);
}

TEST_F(OutputTest, DestroyedInputStopsTheRunningOutput)
{
    Endless();
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 3; }));
    delete Src;
    EXPECT_EQ(Out->Input(), nullptr);
    EXPECT_EQ(Out->Status(), tosIdle);
    EXPECT_EQ(Out->Finishes.load(), 1);
}

TEST_F(OutputTest, SynchronousStopKeepsRunningWindowCallsWhileItWaits)
{
    // The worker's next block waits for a handler that only the window thread can run; the
    // window thread is inside Stop(false) at that moment.
    Endless();
    std::atomic<bool> HandlerRan{false};
    std::atomic<bool> Armed{false};
    Src->OnProduce = [&] {
        if (!Armed.exchange(false))
            return;
        SharedEventHandler()->PostGenericEvent(Src, [&](TComponent *) { HandlerRan = true; });
        while (!HandlerRan.load())
            std::this_thread::sleep_for(1ms);
    };
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 3; }));
    Armed = true;
    Out->Stop(false);
    EXPECT_EQ(Out->Status(), tosIdle);
}

TEST(OutputLifetime, DestroyingARunningOutputStopsItFirst)
{
    TWindowThread W;
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, -1, 1000);
    int Done = 0;
    {
        TCollectOut Out;
        Out.SetInput(Src);
        Out.SetOnDone([&](TComponent *) { ++Done; });
        Out.Run();
        W.PumpUntil([&] { return Out.Steps.load() > 5; });
    }
    EXPECT_FALSE(Src->IsBusy());
    EXPECT_EQ(Src->Closes.load(), 1);
    W.PumpFor(100ms);
    EXPECT_EQ(Done, 0);
}

TEST(OutputLifetime, EventThreadEndsWithTheLastOutputAndStartsWithANewOne)
{
    TWindowThread W;
    TEventHandler *H = SharedEventHandler();
    ASSERT_FALSE(H->ThreadRunning()) << "no output exists between tests";
    auto A = std::make_unique<TCollectOut>();
    auto B = std::make_unique<TCollectOut>();
    ASSERT_TRUE(H->ThreadRunning());
    const auto G = H->Generation();
    A.reset();
    EXPECT_TRUE(H->ThreadRunning());
    B.reset();
    EXPECT_FALSE(H->ThreadRunning());
    auto C = std::make_unique<TCollectOut>();
    EXPECT_TRUE(H->ThreadRunning());
    EXPECT_EQ(H->Generation(), G + 1);

    // Posts while a window-thread call is pending must not hold up the end of the thread.
    TComponent Poster;
    bool Ran = false;
    H->PostGenericEvent(&Poster, [&](TComponent *) { Ran = true; });
    C.reset(); // the last output: pumps the pending call while the thread ends
    EXPECT_FALSE(H->ThreadRunning());
    H->PostGenericEvent(&Poster, [&](TComponent *) { FAIL() << "no thread: dropped"; });
    W.PumpFor(50ms);
    (void)Ran;
}

TEST(OutputLifetime, OutputDestroyedInItsOwnDoneHandler)
{
    TWindowThread W;
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 4000, 1000);
    auto *Out = new TCollectOut;
    bool Gone = false;
    Out->SetInput(Src);
    Out->SetOnDone([&](TComponent *S) {
        delete static_cast<TCollectOut *>(S);
        Gone = true;
    });
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Gone; }));
    // The event thread ended from within its own delivery; a new output starts a fresh one.
    TCollectOut Again;
    Again.SetInput(Src);
    int Done = 0;
    Again.SetOnDone([&](TComponent *) { ++Done; });
    Again.Run();
    EXPECT_TRUE(W.PumpUntil([&] { return Done == 1; }));
}

TEST(OutputLifetime, EventsOfADestroyedComponentAreNotDelivered)
{
    TWindowThread W;
    TCollectOut Keep; // keeps the event thread alive
    auto *Poster = new TComponent;
    int Calls = 0;
    // Hold the window thread busy so the records queue up, then destroy the sender.
    for (int I = 0; I < 5; ++I)
        SharedEventHandler()->PostGenericEvent(Poster, [&](TComponent *) { ++Calls; });
    delete Poster; // on the window thread, before any of them ran
    W.PumpFor(200ms);
    EXPECT_EQ(Calls, 0);
}

TEST(OutputChains, TapRecordsWhileTheWindowThreadStartsAndStopsIt)
{
    TWindowThread W;
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, -1, 1000);
    Src->StepDelay = 100us;
    auto *Tap = new TMemoryTap(&Owner);
    Tap->SetInput(Src);
    auto *Out = new TCollectOut(&Owner, 1000);
    Out->SetInput(Tap);
    Out->Run();
    ASSERT_TRUE(W.PumpUntil([&] { return Out->Steps.load() > 5; }));
    Tap->StartRecord();
    ASSERT_TRUE(W.PumpUntil([&] { return Tap->Status() == tosPlaying; }));
    W.PumpUntil([&] { return Out->Steps.load() > 40; });
    Tap->StopRecord();
    ASSERT_TRUE(W.PumpUntil([&] { return Tap->Status() == tosIdle; }));
    Out->Stop(false);
    ASSERT_EQ(Tap->Files.size(), 1u);
    const auto &F = Tap->Files[0];
    ASSERT_GT(F.size(), 0u);
    // The file is one unbroken stretch of what passed downstream.
    const auto D = Out->Data();
    const auto It = std::search(D.begin(), D.end(), F.begin(), F.end());
    EXPECT_NE(It, D.end());
    EXPECT_EQ(D, PatternBytes(0, D.size()));
}

TEST(OutputChains, WindowThreadReadsFormatAndProgressWhileTheWorkerOpensAndReads)
{
    TWindowThread W;
    const auto Pcm = PatternBytes(0, 44100 * 4);
    TMemoryStream Mem(MakeRawPcm(44100, 2, 16, Pcm)); // outlives the input reading it
    TComponent Owner;
    auto *In = new TRawFileIn(&Owner, 512);
    In->SetStream(&Mem);
    auto *Conv = new TPassConverter(&Owner);
    Conv->SetInput(In);
    auto *Out = new TCollectOut(&Owner, 512);
    Out->SetInput(Conv);
    int Done = 0;
    Out->SetOnDone([&](TComponent *) { ++Done; });
    for (int Run = 0; Run < 20; ++Run) {
        Out->Run();
        W.PumpUntil([&] {
            // Display reads, as a window timer does them.
            EXPECT_EQ(Conv->BitsPerSample(), 16u);
            EXPECT_EQ(In->SampleRate(), 44100u);
            const double P = Out->Progress();
            EXPECT_TRUE(P >= 0 && P <= 100);
            EXPECT_LE(Out->TimeElapsed(), 1);
            return Done == Run + 1;
        });
    }
    EXPECT_EQ(Done, 20);
    EXPECT_EQ(Out->Data().size(), 20 * Pcm.size());
}
