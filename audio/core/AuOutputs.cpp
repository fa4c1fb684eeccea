#include "AuClasses.h"
#include "AuLocked.h"

#include "AuTags.h"
#include "AuText.h"

#include <algorithm>
#include <cmath>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::string MessageOf(std::exception_ptr E)
{
    try {
        std::rethrow_exception(E);
    } catch (const std::exception &X) {
        return X.what();
    } catch (...) {
        return "Unknown exception";
    }
}

int NiceOf(TThreadPriority P)
{
    static const int Nice[] = {19, 10, 5, 0, -5, -10, -15};
    return Nice[static_cast<int>(P)];
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TAuThread

TAuThread::TAuThread(TAuOutput *AParent) : Parent(AParent) {}

TAuThread::~TAuThread()
{
    if (FThread.joinable())
        Terminate();
}

void TAuThread::Start()
{
    FThread = std::thread([this] { Execute(); });
}

void TAuThread::Terminate()
{
    FTerminated = true;
    // The worker may be between two checks of its sleep: keep waking it until it has left.
    while (!FFinished.load()) {
        SoftWake();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (FThread.joinable())
        FThread.join();
}

void TAuThread::SoftSleep()
{
    SoftSleepEvent.Reset();
    Sleeping = true;
    SoftSleepEvent.Wait();
    Sleeping = false;
}

void TAuThread::SoftPause()
{
    SoftSleepEvent.Reset();
    Paused = true;
    PauseEvent.Set();
    // Stop sets Stop before it looks at Paused, so either it sees Paused and wakes this wait,
    // or the test below sees its Stop: a stop cannot slip in between and leave the worker asleep.
    if (!Stop.load())
        SoftSleepEvent.Wait();
    Paused = false;
}

void TAuThread::SetPriority(TThreadPriority Value)
{
    FPriority = Value;
    ApplyPriority();
}

void TAuThread::ApplyPriority()
{
    const int Tid = FTid.load();
    if (Tid == 0)
        return;
    // Best effort: raising the priority needs a privilege the user usually lacks.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(Tid), NiceOf(FPriority.load()));
}

void TAuThread::Execute()
{
    FThreadId = std::this_thread::get_id();
    FTid = static_cast<int>(::syscall(SYS_gettid));
    ApplyPriority();
    TAuOutput *P = Parent;
    // Wait for the first Run. Only a Run (which sets Busy first) or the end of the thread may
    // start the loop: a wake left over from Stop or Resume must not start a run.
    SoftSleepEvent.Reset();
    Sleeping = true;
    while (!RunRequested.exchange(false) && !FTerminated.load())
        SoftSleepEvent.Wait();
    Sleeping = false;
    while (!FTerminated.load()) {
        // Run counted the number up before requesting the run, and no other Run can come
        // before this one completes.
        const std::uint32_t ThisRun = P->FRunNumber.load();
        CurrentRun = ThisRun;
        try {
            P->PrepareSink();
            P->CanOutput = true;
            bool More = true;
            while (!Stop.load() && More) {
                const std::int32_t D = Delay.load();
                if (D > 5)
                    std::this_thread::sleep_for(std::chrono::milliseconds(D));
                const double Pr = P->Progress();
                if (Pr != P->CurProgr) {
                    P->CurProgr = Pr;
                    if (auto H = P->OnProgress())
                        SharedEventHandler()->PostOnProgress(P, H, ThisRun);
                }
                if (SetPause.exchange(false))
                    SoftPause();
                More = P->WriteStep(Stop.load());
            }
            Stop = false;
        } catch (...) {
            const std::string Msg = MessageOf(std::current_exception());
            {
                std::lock_guard<std::mutex> L(P->HandlersCS);
                P->FExceptionMessage = Msg;
            }
            if (auto H = P->OnThreadException())
                SharedEventHandler()->PostGenericEvent(P, H, ThisRun);
        }
        P->CompleteRun();
        if (auto H = P->OnSyncDone()) {
            try {
                H(P);
            } catch (...) {
            }
        }
        SharedEventHandler()->PostOnDone(P, this, ThisRun);
        {
            // Under RunCS, so that a Run either sees the worker asleep (and wakes it) or has
            // set Busy before this test.
            std::lock_guard<std::recursive_mutex> L(P->RunCS);
            if (RunRequested.exchange(false))
                continue;
            Stopped = true;
            SoftSleepEvent.Reset();
            Sleeping = true;
        }
        while (!RunRequested.exchange(false) && !FTerminated.load())
            SoftSleepEvent.Wait();
        Sleeping = false;
    }
    FFinished = true;
}

// ---------------------------------------------------------------------------------------------
// TAuOutput

TAuOutput::TAuOutput(TComponent *AOwner) : TComponent(AOwner)
{
    Thread = std::make_unique<TAuThread>(this);
    Thread->Start();
    SharedEventHandler()->RegisterOutput();
}

TAuOutput::~TAuOutput() { ShutDown(); }

void TAuOutput::ShutDown()
{
    if (FShutDown)
        return;
    FShutDown = true;
    try {
        Stop(false);
    } catch (...) {
    }
    // Cancel what the event thread holds about this output before the worker goes.
    SharedEventHandler()->ForgetSender(this);
    Thread->Terminate();
    SharedEventHandler()->UnregisterOutput();
}

void TAuOutput::SetInput(TAuInput *Value)
{
    if (Busy.load()) {
        Stop(false);
        FInput = Value;
        Run();
    } else {
        FInput = Value;
    }
}

void TAuOutput::Notification(TComponent *AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == FInput) {
        try {
            SetInput(nullptr); // stops a run; Run then refuses the missing input
        } catch (...) {
        }
        FInput = nullptr;
    }
}

void TAuOutput::Run()
{
    std::lock_guard<std::recursive_mutex> L(RunCS);
    {
        std::lock_guard<std::mutex> H(HandlersCS);
        FExceptionMessage.clear();
    }
    if (Busy.load())
        throw EAuException("Component is Busy");
    if (!FInput)
        throw EAuException("Input is not assigned");
    // Pause and stop requests of an earlier run (or a Stop while idle) do not carry over: a
    // stop flag left set would end this run's drain at once.
    Thread->SetPause = false;
    Thread->PauseEvent.Reset();
    Thread->Stop = false;
    FStopped = false;
    ++FRunNumber;
    Busy = true;
    Thread->Stopped = false;
    Thread->RunRequested = true;
    while (Thread->Sleeping.load()) {
        Thread->Stop = false;
        Thread->SoftWake();
        std::this_thread::yield();
    }
}

void TAuOutput::BlockingRun()
{
    {
        std::lock_guard<std::recursive_mutex> L(RunCS);
        if (Busy.load())
            throw EAuException("Component is Busy");
        FStopped = false;
        ++FRunNumber;
        Busy = true;
    }
    try {
        PrepareSink();
        CanOutput = true;
        while (WriteStep(false)) {
        }
    } catch (...) {
        // Close the chain and the sink before the caller sees the failure, so the output
        // does not stay busy.
        CompleteRun();
        throw;
    }
    if (Busy.load()) {
        CanOutput = false;
        try {
            FinishSink();
            FStopped = false;
        } catch (...) {
            Busy = false;
            throw;
        }
        Busy = false;
    }
}

void TAuOutput::CompleteRun()
{
    if (!Busy.load())
        return;
    try {
        CanOutput = false;
        FinishSink();
        FStopped = false;
        Busy = false;
    } catch (...) {
        Busy = false;
        // A sink that cannot be finished (e.g. a file that cannot be completed) is a failed
        // run: keep its message unless an earlier failure is already reported.
        const std::string Msg = MessageOf(std::current_exception());
        bool Report = false;
        {
            std::lock_guard<std::mutex> L(HandlersCS);
            if (FExceptionMessage.empty()) {
                FExceptionMessage = Msg;
                Report = true;
            }
        }
        if (Report && Thread && Thread->IsCurrentThread()) {
            if (auto H = OnThreadException())
                SharedEventHandler()->PostGenericEvent(this, H, WorkerRun());
        }
    }
}

void TAuOutput::Stop(bool Async)
{
    if (Thread && Thread->IsCurrentThread())
        throw EAuException("You are trying to stop this thread from the thread itself!");
    FStopped = true;
    if (!Thread)
        return;
    if (!Async)
        Thread->SilencedRun = FRunNumber.load();
    Thread->Stop = true;
    while (Thread->Paused.load()) {
        Thread->SoftWake();
        std::this_thread::yield();
    }
    if (Async)
        return;
    TEventHandler *H = SharedEventHandler();
    H->BlockEvents(this);
    H->ClearEvents(this);
    const auto D = WindowThreadDispatcher();
    const bool OnWindowThread = D && D->IsWindowThread();
    while (!Thread->Sleeping.load() && !Thread->Stopped.load()) {
        // The event thread may be waiting for this thread to run a handler.
        if (OnWindowThread)
            D->RunQueuedCalls();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    H->UnblockEvents(this);
}

void TAuOutput::Pause()
{
    if (!FInput)
        throw EAuException("Input is not assigned.");
    if (!Busy.load())
        return;
    // Already paused: a second request would only be honoured after the next Resume.
    if (Thread->Paused.load())
        return;
    Thread->SetPause = true;
    // Wait until the worker has paused, at most 5 s; a run that ends meanwhile never pauses,
    // so stop waiting then as well.
    // On the window thread the wait keeps pumping (WaitPumping).
    WaitPumping(5000, [this](std::uint32_t Ms) {
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
        for (;;) {
            if (Thread->PauseEvent.WaitFor(std::min<std::uint32_t>(Ms, 10)) || !Busy.load())
                return true;
            if (std::chrono::steady_clock::now() >= Deadline)
                return false;
        }
    });
    FInput->_Pause();
}

void TAuOutput::Resume()
{
    if (!Busy.load() || !Thread->Paused.load())
        return;
    if (FInput)
        FInput->_Resume();
    while (Thread->Paused.load()) {
        Thread->SoftWake();
        std::this_thread::yield();
    }
}

TOutputStatus TAuOutput::Status() const
{
    if (!Busy.load())
        return tosIdle;
    return Thread->Paused.load() ? tosPaused : tosPlaying;
}

double TAuOutput::Progress() const
{
    TAuInput *In = FInput;
    if (!In)
        return 0;
    const std::int64_t Sz = In->Size();
    if (Sz < 0)
        return -1;
    if (Sz == 0)
        return 0;
    return std::nearbyint(100.0 * static_cast<double>(In->Position()) / static_cast<double>(Sz));
}

std::int32_t TAuOutput::TimeElapsed() const
{
    TAuInput *In = FInput;
    if (!In)
        return 0;
    const std::uint64_t Rate = static_cast<std::uint64_t>(In->BitsPerSample() / 8) * In->Channels() * In->SampleRate();
    if (Rate == 0)
        return 0;
    return static_cast<std::int32_t>(std::nearbyint(static_cast<double>(In->Position()) / static_cast<double>(Rate)));
}

std::int32_t TAuOutput::Delay() const { return Thread ? Thread->Delay.load() : 0; }

void TAuOutput::SetDelay(std::int32_t Value)
{
    if (Value <= 100 && Thread)
        Thread->Delay = Value;
}

TThreadPriority TAuOutput::ThreadPriority() const { return Thread ? Thread->Priority() : tpNormal; }

void TAuOutput::SetThreadPriority(TThreadPriority Value)
{
    if (Thread)
        Thread->SetPriority(Value);
}

std::string TAuOutput::ExceptionMessage() const
{
    std::lock_guard<std::mutex> L(HandlersCS);
    return FExceptionMessage;
}

TOutputDoneEvent TAuOutput::OnDone() const
{
    return LockedGet(HandlersCS, FOnDone);
}

void TAuOutput::SetOnDone(TOutputDoneEvent Value)
{
    LockedSet(HandlersCS, FOnDone, std::move(Value));
}

TOutputDoneEvent TAuOutput::OnSyncDone() const
{
    return LockedGet(HandlersCS, FOnSyncDone);
}

void TAuOutput::SetOnSyncDone(TOutputDoneEvent Value)
{
    LockedSet(HandlersCS, FOnSyncDone, std::move(Value));
}

TOutputProgressEvent TAuOutput::OnProgress() const
{
    return LockedGet(HandlersCS, FOnProgress);
}

void TAuOutput::SetOnProgress(TOutputProgressEvent Value)
{
    LockedSet(HandlersCS, FOnProgress, std::move(Value));
}

TThreadExceptionEvent TAuOutput::OnThreadException() const
{
    return LockedGet(HandlersCS, FOnThreadException);
}

void TAuOutput::SetOnThreadException(TThreadExceptionEvent Value)
{
    LockedSet(HandlersCS, FOnThreadException, std::move(Value));
}

// ---------------------------------------------------------------------------------------------
// Streamed, file and tagged file outputs

TAuStreamedOutput::TAuStreamedOutput(TComponent *AOwner) : TAuOutput(AOwner) {}

TAuStreamedOutput::~TAuStreamedOutput()
{
    ShutDown();
    if (!FStreamAssigned)
        delete FStream;
}

void TAuStreamedOutput::SetStream(TStream *Value)
{
    if (!FStreamAssigned)
        delete FStream;
    FStream = Value;
    FStreamAssigned = Value != nullptr;
}

TAuFileOut::TAuFileOut(TComponent *AOwner) : TAuStreamedOutput(AOwner) {}

void TAuFileOut::SetFileName(const std::string &Value)
{
    FFileName = Value;
    FWideFileName = Utf8ToUtf16(Value);
}

void TAuFileOut::SetWideFileName(const std::u16string &Value)
{
    FWideFileName = Value;
    FFileName.clear();
}

void TAuFileOut::SetFileMode(TFileOutputMode) { FFileMode = foRewrite; }

TAuTaggedFileOut::TAuTaggedFileOut(TComponent *AOwner)
    : TAuFileOut(AOwner), FId3v1Tags(std::make_unique<TId3v1Tags>()),
      FId3v2Tags(std::make_unique<TId3v2Tags>()), FAPEv2Tags(std::make_unique<TAPEv2Tags>())
{
}

TAuTaggedFileOut::~TAuTaggedFileOut() { ShutDown(); }

void TAuTaggedFileOut::SetId3v1Tags(const TId3v1Tags *Value)
{
    if (Value)
        FId3v1Tags->Assign(*Value);
}

void TAuTaggedFileOut::SetId3v2Tags(const TId3v2Tags *Value)
{
    if (Value)
        FId3v2Tags->Assign(*Value);
}

void TAuTaggedFileOut::SetAPEv2Tags(const TAPEv2Tags *Value)
{
    if (Value)
        FAPEv2Tags->Assign(*Value);
}
