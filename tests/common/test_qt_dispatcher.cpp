// The Qt binding of pipeline event delivery: handlers run on the GUI thread from the Qt event
// loop, and a synchronous stop on the GUI thread never deadlocks against the event thread.
#include "PipelineTestKit.h"
#include "QtWindowDispatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

int gArgc = 1;
char gArg0[] = "test";
char *gArgv[] = {gArg0, nullptr};

QCoreApplication &App()
{
    static QCoreApplication *A = new QCoreApplication(gArgc, gArgv);
    return *A;
}

// Runs the Qt event loop until Done or the timeout; true when Done.
bool SpinUntil(const std::function<bool()> &Done, int TimeoutMs = 10000)
{
    QElapsedTimer T;
    T.start();
    while (!Done() && T.elapsed() < TimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return Done();
}

} // namespace

TEST(QtWindowDispatcher, DeliversDoneAndProgressOnTheGuiThreadFromTheEventLoop)
{
    App();
    TQtWindowDispatcherScope Scope;
    testkit::TByteSource Src(nullptr, 64 * 1024, 1024);
    testkit::TCollectOut Out(nullptr, 1024);
    Out.SetInput(&Src);

    const auto Gui = std::this_thread::get_id();
    std::atomic<int> Done{0}, Progress{0}, WrongThread{0};
    Out.SetOnDone([&](TComponent *) {
        if (std::this_thread::get_id() != Gui)
            ++WrongThread;
        ++Done;
    });
    Out.SetOnProgress([&](TComponent *) {
        if (std::this_thread::get_id() != Gui)
            ++WrongThread;
        ++Progress;
    });
    Out.Run();
    ASSERT_TRUE(SpinUntil([&] { return Done.load() == 1; }));
    EXPECT_EQ(WrongThread.load(), 0);
    EXPECT_GT(Progress.load(), 0);
    EXPECT_EQ(Out.Data().size(), 64u * 1024u);
}

TEST(QtWindowDispatcher, SynchronousStopWhileTheEventThreadWaitsForTheGuiThread)
{
    App();
    TQtWindowDispatcherScope Scope;
    for (int Round = 0; Round < 50; ++Round) {
        testkit::TByteSource Src(nullptr, -1, 512);
        Src.Fill = false;
        testkit::TCollectOut Out(nullptr, 512);
        Out.Keep = false;
        Out.SetInput(&Src);
        std::atomic<int> Generic{0};
        // A generic event per block keeps the event thread waiting on the GUI thread most of
        // the time, which is exactly when a synchronous stop must not block.
        Src.OnProduce = [&] { SharedEventHandler()->PostGenericEvent(&Src, [&](TComponent *) { ++Generic; }); };
        Out.Run();
        SpinUntil([&] { return Generic.load() > 3; }, 2000);
        Out.Stop(false);
        EXPECT_EQ(Out.Status(), tosIdle);
    }
}

TEST(QtWindowDispatcher, ClosedDispatcherReleasesWaitingPosters)
{
    App();
    auto D = std::make_shared<TQtWindowDispatcher>();
    std::atomic<int> Result{-1};
    std::thread Poster([&] { Result = D->RunOnWindowThread([] {}) ? 1 : 0; });
    // Give the poster time to queue its call, then close without running the loop.
    QThread::msleep(50);
    D->Close();
    Poster.join();
    EXPECT_EQ(Result.load(), 0);
    // Calls posted after closing are refused at once.
    std::thread Late([&] { Result = D->RunOnWindowThread([] {}) ? 1 : 0; });
    Late.join();
    EXPECT_EQ(Result.load(), 0);
}

TEST(QtWindowDispatcher, ALongWaitKeepsTimersAndPostedHandlersRunning)
{
    App();
    TQtWindowDispatcherScope Scope;
    testkit::TCollectOut Keeper; // keeps the event thread alive
    TComponent Poster;
    std::recursive_mutex Lock;
    std::atomic<bool> Held{false};
    std::thread Holder([&] {
        std::lock_guard<std::recursive_mutex> L(Lock);
        Held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    });
    while (!Held)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int Ticks = 0;
    QTimer Timer;
    QObject::connect(&Timer, &QTimer::timeout, [&] { ++Ticks; });
    Timer.start(20);
    bool Handled = false;
    SharedEventHandler()->PostGenericEvent(&Poster, [&](TComponent *) { Handled = true; });
    {
        TPumpingLock L(Lock); // waits about 400 ms on the GUI thread
        EXPECT_GE(Ticks, 5) << "the window's timer kept firing during the wait";
        EXPECT_TRUE(Handled) << "a handler posted meanwhile ran";
    }
    Holder.join();
}
