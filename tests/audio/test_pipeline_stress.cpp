// Many quick cycles of the output's controls from the window thread while events flow: no
// deadlock, no lost run, nothing left running.
#include "PipelineTestKit.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace testkit;
using namespace std::chrono_literals;

TEST(PipelineStress, ThousandCyclesOfRunPauseResumeStopWhileEventsFlow)
{
    TWindowThread W;
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 8 << 20, 4096); // 1 % = 20 blocks
    Src->Fill = false;
    auto *Conv = new TPassConverter(&Owner);
    Conv->SetInput(Src);
    auto *Out = new TCollectOut(&Owner, 4096);
    Out->Keep = false;
    Out->SetInput(Conv);
    int Done = 0, Progress = 0;
    Out->SetOnDone([&](TComponent *) { ++Done; });
    Out->SetOnProgress([&](TComponent *) { ++Progress; });

    // A second output runs beside it all the time, so records of two senders interleave.
    auto *Src2 = new TByteSource(&Owner, 16 << 20, 512);
    Src2->Fill = false;
    Src2->StepDelay = 50us;
    auto *Out2 = new TCollectOut(&Owner, 512);
    Out2->Keep = false;
    Out2->SetInput(Src2);
    int Progress2 = 0;
    Out2->SetOnProgress([&](TComponent *) { ++Progress2; });
    Out2->Run();

    std::mt19937 Rng(20261209);
    int Runs = 0, AsyncStops = 0;
    for (int I = 0; I < 1000; ++I) {
        Out->Run();
        ++Runs;
        W.Queue().RunQueuedCalls();
        if (Rng() % 2) {
            Out->Pause();
            const TOutputStatus S = Out->Status();
            EXPECT_TRUE(S == tosPaused || S == tosIdle);
            if (Rng() % 2)
                Out->Resume();
        }
        const bool Async = Rng() % 2;
        Out->Stop(Async);
        if (Async) {
            ++AsyncStops;
            ASSERT_TRUE(W.PumpUntil([&] { return Out->Status() == tosIdle; }, 10s)) << "cycle " << I;
        } else {
            ASSERT_EQ(Out->Status(), tosIdle) << "cycle " << I;
        }
    }
    Out2->Stop(false);
    W.PumpFor(200ms);

    EXPECT_EQ(Out->Prepares.load(), Runs);
    EXPECT_EQ(Out->Finishes.load(), Runs);
    EXPECT_FALSE(Src->IsBusy());
    EXPECT_FALSE(Conv->IsBusy());
    EXPECT_FALSE(Src2->IsBusy());
    // Done events arrive for asynchronous stops and runs that reached their end (a late one is
    // dropped when the next run is stopped synchronously); progress flowed throughout.
    EXPECT_GT(Done, 0);
    EXPECT_LE(Done, Runs);
    EXPECT_GT(AsyncStops, 0);
    EXPECT_GT(Progress, 0);
    EXPECT_GT(Progress2, 0);
}

TEST(PipelineStress, OutputsCreatedAndDestroyedWhileAnotherThreadPosts)
{
    TWindowThread W;
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, -1, 1024);
    Src->Fill = false;
    auto *Poster = new TComponent(&Owner);
    std::atomic<bool> Quit{false};
    std::atomic<int> Handled{0};
    std::thread PostThread([&] {
        while (!Quit.load()) {
            SharedEventHandler()->PostGenericEvent(Poster, [&](TComponent *) { ++Handled; });
            std::this_thread::sleep_for(200us);
        }
    });
    for (int I = 0; I < 200; ++I) {
        auto *Out = new TCollectOut(nullptr, 1024);
        Out->Keep = false;
        Out->SetInput(Src);
        Out->SetOnProgress([](TComponent *) {});
        Out->Run();
        W.PumpUntil([&] { return Out->Steps.load() > 2; }, 5s);
        delete Out; // the last output: ends the event thread, possibly with a call pending
        W.Queue().RunQueuedCalls();
    }
    Quit = true;
    PostThread.join();
    EXPECT_FALSE(Src->IsBusy());
    EXPECT_FALSE(SharedEventHandler()->ThreadRunning());
    EXPECT_GT(Handled.load(), 0);
}
