#include "AuEvents.h"

#include "AuClasses.h"

#include <algorithm>

// ---------------------------------------------------------------------------------------------
// TAuEvent

void TAuEvent::Set()
{
    {
        std::lock_guard<std::mutex> L(FMutex);
        FSet = true;
    }
    FCond.notify_one();
}

void TAuEvent::Reset()
{
    std::lock_guard<std::mutex> L(FMutex);
    FSet = false;
}

void TAuEvent::Wait()
{
    std::unique_lock<std::mutex> L(FMutex);
    FCond.wait(L, [this] { return FSet; });
    FSet = false;
}

bool TAuEvent::WaitFor(std::uint32_t Ms)
{
    std::unique_lock<std::mutex> L(FMutex);
    if (!FCond.wait_for(L, std::chrono::milliseconds(Ms), [this] { return FSet; }))
        return false;
    FSet = false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// The installed dispatcher

namespace {

struct TDispatcherSlot {
    std::mutex M;
    std::shared_ptr<IWindowThreadDispatcher> D;
};

// Never destroyed: event threads may still look at it while the process exits.
TDispatcherSlot &DispatcherSlot()
{
    static auto *Slot = new TDispatcherSlot;
    return *Slot;
}

// Depth of handlers handed over by an event thread that run on this thread right now.
thread_local int tDeliveryDepth = 0;
// Set on an event thread.
thread_local bool tIsEventThread = false;

} // namespace

void SetWindowThreadDispatcher(std::shared_ptr<IWindowThreadDispatcher> Dispatcher)
{
    auto &S = DispatcherSlot();
    std::lock_guard<std::mutex> L(S.M);
    S.D = std::move(Dispatcher);
}

std::shared_ptr<IWindowThreadDispatcher> WindowThreadDispatcher()
{
    auto &S = DispatcherSlot();
    std::lock_guard<std::mutex> L(S.M);
    return S.D;
}

bool OnWindowThread()
{
    const auto D = WindowThreadDispatcher();
    return D && D->IsWindowThread();
}

bool WaitPumping(std::uint32_t TimeoutMs, const std::function<bool(std::uint32_t Ms)> &WaitSlice)
{
    const auto D = WindowThreadDispatcher();
    if (!D || !D->IsWindowThread())
        return WaitSlice(TimeoutMs);
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now()).count();
        const auto Slice = static_cast<std::uint32_t>(std::clamp<long long>(Left, 0, PumpIntervalMs));
        if (WaitSlice(Slice))
            return true;
        if (Left <= 0)
            return false;
        D->PumpWhileWaiting();
    }
}

TPumpingLock::TPumpingLock(std::recursive_mutex &M) : FM(M)
{
    if (FM.try_lock())
        return;
    const auto D = WindowThreadDispatcher();
    if (!D || !D->IsWindowThread()) {
        FM.lock();
        return;
    }
    // No timed wait on a plain recursive mutex: poll it, pumping every PumpIntervalMs.
    auto NextPump = std::chrono::steady_clock::now();
    while (!FM.try_lock()) {
        if (std::chrono::steady_clock::now() >= NextPump) {
            D->PumpWhileWaiting();
            NextPump = std::chrono::steady_clock::now() + std::chrono::milliseconds(PumpIntervalMs);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

namespace {
struct THandledEvent {
    const TComponent *Sender;
    std::uint32_t Run;
};
thread_local std::vector<THandledEvent> tHandled;
} // namespace

std::uint32_t HandledEventRun(const TComponent *Sender, std::uint32_t Default)
{
    for (auto It = tHandled.rbegin(); It != tHandled.rend(); ++It)
        if (It->Sender == Sender)
            return It->Run;
    return Default;
}

TEventRunScope::TEventRunScope(const TComponent *Sender, std::uint32_t Run) { tHandled.push_back({Sender, Run}); }

TEventRunScope::~TEventRunScope() { tHandled.pop_back(); }

// ---------------------------------------------------------------------------------------------
// TWindowCallQueue

struct TWindowCallQueue::TCall {
    std::function<void()> Fn;
    bool Done = false;
    bool Dropped = false;
    std::condition_variable Cv;
};

TWindowCallQueue::TWindowCallQueue() : FWindowThread(std::this_thread::get_id()) {}

TWindowCallQueue::~TWindowCallQueue() { Close(); }

bool TWindowCallQueue::IsWindowThread() const { return std::this_thread::get_id() == FWindowThread; }

bool TWindowCallQueue::RunOnWindowThread(const std::function<void()> &Call)
{
    if (IsWindowThread()) {
        Call();
        return true;
    }
    auto C = std::make_shared<TCall>();
    C->Fn = Call;
    std::unique_lock<std::mutex> L(FMutex);
    if (FClosed)
        return false;
    FCalls.push_back(C);
    FQueued.notify_all();
    CallQueued();
    C->Cv.wait(L, [&] { return C->Done || C->Dropped; });
    return C->Done;
}

void TWindowCallQueue::RunQueuedCalls()
{
    if (!IsWindowThread())
        return;
    for (;;) {
        std::shared_ptr<TCall> C;
        {
            std::lock_guard<std::mutex> L(FMutex);
            if (FCalls.empty())
                return;
            C = FCalls.front();
            FCalls.pop_front();
        }
        // A handler's exception stays on the window thread; the poster only learns it ran.
        try {
            C->Fn();
        } catch (...) {
        }
        std::lock_guard<std::mutex> L(FMutex);
        C->Done = true;
        C->Cv.notify_all();
    }
}

bool TWindowCallQueue::PumpUntil(const std::function<bool()> &Done, std::chrono::milliseconds Timeout)
{
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
        RunQueuedCalls();
        if (Done())
            return true;
        const auto Now = std::chrono::steady_clock::now();
        if (Now >= Deadline)
            return Done();
        // Sleep on the queue; wake at least every 2 ms to re-test Done, which may depend on
        // state that changes without a queued call.
        const auto Slice = std::min<std::chrono::steady_clock::duration>(Deadline - Now, std::chrono::milliseconds(2));
        std::unique_lock<std::mutex> L(FMutex);
        FQueued.wait_for(L, Slice, [this] { return !FCalls.empty() || FClosed; });
    }
}

void TWindowCallQueue::PumpFor(std::chrono::milliseconds Duration)
{
    PumpUntil([] { return false; }, Duration);
}

void TWindowCallQueue::Close()
{
    std::lock_guard<std::mutex> L(FMutex);
    FClosed = true;
    for (auto &C : FCalls) {
        C->Dropped = true;
        C->Cv.notify_all();
    }
    FCalls.clear();
}

// ---------------------------------------------------------------------------------------------
// TEventHandler

struct TEventHandler::TRunner {
    std::thread Th;
    std::atomic<bool> Terminated{false};
    std::atomic<bool> Finished{false};
    TAuEvent _Evt;
    std::shared_ptr<TEventRecord> CurrentEvent; // guarded by the handler's CS
};

TEventHandler *SharedEventHandler()
{
    // Never destroyed: posting stays safe on any thread until the process ends.
    static auto *H = new TEventHandler;
    return H;
}

TEventHandler::TEventHandler() = default;

TEventHandler::~TEventHandler()
{
    {
        std::lock_guard<std::recursive_mutex> L(CS);
        if (FRunner) {
            FRunner->Terminated = true;
            FRunner->_Evt.Set();
            FRetired.push_back(std::move(FRunner));
        }
    }
    JoinRetired();
}

bool TEventHandler::InEventDelivery() { return tDeliveryDepth > 0 || tIsEventThread; }

bool TEventHandler::ThreadRunning() const
{
    std::lock_guard<std::recursive_mutex> L(CS);
    return FRunner != nullptr;
}

std::uint64_t TEventHandler::Generation() const
{
    std::lock_guard<std::recursive_mutex> L(CS);
    return FGeneration;
}

void TEventHandler::RegisterOutput()
{
    JoinRetired();
    std::lock_guard<std::recursive_mutex> L(CS);
    if (++FOutputCount == 1 || !FRunner) {
        auto R = std::make_shared<TRunner>();
        FRunner = R;
        ++FGeneration;
        R->Th = std::thread([this, R] { Execute(R); });
    }
}

void TEventHandler::UnregisterOutput()
{
    {
        std::lock_guard<std::recursive_mutex> L(CS);
        if (FOutputCount > 0 && --FOutputCount == 0 && FRunner) {
            FRunner->Terminated = true;
            FRunner->_Evt.Set();
            FRetired.push_back(std::move(FRunner));
            FRunner.reset();
            // Nobody is left to deliver them; a later thread must not act on them.
            Events.clear();
        }
    }
    JoinRetired();
}

void TEventHandler::JoinRetired()
{
    // An event thread may be waiting for the handler this thread is running: it cannot be
    // joined from here. It ends by itself and is joined later.
    if (InEventDelivery())
        return;
    std::vector<std::shared_ptr<TRunner>> Ending;
    {
        std::lock_guard<std::recursive_mutex> L(CS);
        Ending.swap(FRetired);
    }
    for (auto &R : Ending) {
        // The ending thread may be waiting for the window thread: keep its calls running.
        while (!R->Finished.load()) {
            if (auto D = WindowThreadDispatcher(); D && D->IsWindowThread())
                D->RunQueuedCalls();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        R->Th.join();
    }
}

void TEventHandler::Post(std::shared_ptr<TEventRecord> Rec, bool AtHead)
{
    std::lock_guard<std::recursive_mutex> L(CS);
    if (!FRunner)
        return;
    if (std::find(BlockedSenders.begin(), BlockedSenders.end(), Rec->Sender) != BlockedSenders.end())
        return;
    if (AtHead)
        Events.push_front(std::move(Rec));
    else
        Events.push_back(std::move(Rec));
    FRunner->_Evt.Set();
}

void TEventHandler::PostOnDone(TComponent *Sender, TAuThread *Thread, std::uint32_t Run)
{
    auto R = std::make_shared<TEventRecord>();
    R->_type = etOnDone;
    R->Sender = Sender;
    R->Thread = Thread;
    R->Run = Run;
    Post(std::move(R), false);
}

void TEventHandler::PostOnProgress(TComponent *Sender, const TOutputProgressEvent &Handler, std::uint32_t Run)
{
    auto R = std::make_shared<TEventRecord>();
    R->_type = etOnProgress;
    R->Sender = Sender;
    R->Handler = Handler;
    R->Run = Run;
    Post(std::move(R), false);
}

void TEventHandler::PostGenericEvent(TComponent *Sender, const TGenericEvent &Handler, std::uint32_t Run)
{
    auto R = std::make_shared<TEventRecord>();
    R->_type = etGeneric;
    R->Sender = Sender;
    R->Handler = Handler;
    R->Run = Run;
    Post(std::move(R), false);
}

void TEventHandler::PostNonGuiEvent(TComponent *Sender, const TGenericEvent &Handler, std::uint32_t Run)
{
    auto R = std::make_shared<TEventRecord>();
    R->_type = etNonGUI;
    R->Sender = Sender;
    R->Handler = Handler;
    R->Run = Run;
    Post(std::move(R), true);
}

void TEventHandler::ClearEvents(TComponent *Sender)
{
    std::lock_guard<std::recursive_mutex> L(CS);
    Events.erase(std::remove_if(Events.begin(), Events.end(),
                                [Sender](const auto &R) { return R->Sender == Sender; }),
                 Events.end());
}

void TEventHandler::ClearEvents(TComponent *Sender, std::uint32_t Run)
{
    std::lock_guard<std::recursive_mutex> L(CS);
    Events.erase(std::remove_if(Events.begin(), Events.end(),
                                [Sender, Run](const auto &R) { return R->Sender == Sender && R->Run == Run; }),
                 Events.end());
}

void TEventHandler::BlockEvents(TComponent *Sender)
{
    std::lock_guard<std::recursive_mutex> L(CS);
    BlockedSenders.push_back(Sender);
}

void TEventHandler::UnblockEvents(TComponent *Sender)
{
    std::lock_guard<std::recursive_mutex> L(CS);
    auto It = std::find(BlockedSenders.rbegin(), BlockedSenders.rend(), Sender);
    if (It != BlockedSenders.rend())
        BlockedSenders.erase(std::next(It).base());
}

void TEventHandler::ForgetSender(TComponent *Sender)
{
    std::lock_guard<std::recursive_mutex> L(CS);
    ClearEvents(Sender);
    auto Cancel = [Sender](const std::shared_ptr<TRunner> &R) {
        if (R && R->CurrentEvent && R->CurrentEvent->Sender == Sender)
            R->CurrentEvent->Cancelled = true;
    };
    Cancel(FRunner);
    for (auto &R : FRetired)
        Cancel(R);
}

void TEventHandler::Execute(std::shared_ptr<TRunner> Self)
{
    tIsEventThread = true;
    while (!Self->Terminated.load()) {
        for (;;) {
            std::shared_ptr<TEventRecord> Rec;
            {
                std::lock_guard<std::recursive_mutex> L(CS);
                if (Self->Terminated.load() || Events.empty())
                    break;
                Rec = Events.front();
                Events.pop_front();
                Self->CurrentEvent = Rec;
            }
            Deliver(*Self, Rec);
            std::lock_guard<std::recursive_mutex> L(CS);
            Self->CurrentEvent.reset();
        }
        // Every post and the terminate flag set the event, which belongs to this process alone,
        // so the thread sleeps until there is something to do instead of looking every 100 ms.
        Self->_Evt.Wait();
    }
    Self->Finished = true;
}

void TEventHandler::CallOnWindowThread(const std::shared_ptr<TEventRecord> &Rec)
{
    auto Call = [Rec] {
        // Cancelled is set on the window thread when the sender goes away, so this test and
        // the destruction are ordered.
        if (Rec->Cancelled.load())
            return;
        ++tDeliveryDepth;
        {
            TEventRunScope Scope(Rec->Sender, Rec->Run);
            try {
                Rec->Handler(Rec->Sender);
            } catch (...) {
            }
        }
        --tDeliveryDepth;
    };
    if (auto D = WindowThreadDispatcher())
        D->RunOnWindowThread(Call);
    else
        Call();
}

void TEventHandler::Deliver(TRunner &Self, const std::shared_ptr<TEventRecord> &Rec)
{
    switch (Rec->_type) {
    case etOnDone: {
        // Wait until the run is over: the worker is asleep, or already busy with a later run
        // (whose own records are queued behind this one and must not be touched). The worker
        // object stays valid while the record is not cancelled (the output cancels it under CS
        // before deleting its worker).
        for (;;) {
            {
                std::lock_guard<std::recursive_mutex> L(CS);
                if (Rec->Cancelled.load() || Self.Terminated.load())
                    return;
                if (Rec->Thread->Sleeping.load() || Rec->Thread->CurrentRun.load() != Rec->Run)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ClearEvents(Rec->Sender, Rec->Run);
        {
            std::lock_guard<std::recursive_mutex> L(CS);
            if (Rec->Cancelled.load())
                return;
            TOutputDoneEvent Done = Rec->Thread->Parent->OnDone();
            if (!Done || Rec->Thread->SilencedRun.load() == Rec->Run)
                return;
            Rec->Handler = std::move(Done);
        }
        CallOnWindowThread(Rec);
        break;
    }
    case etNonGUI:
        if (!Rec->Cancelled.load() && Rec->Handler) {
            TEventRunScope Scope(Rec->Sender, Rec->Run);
            try {
                Rec->Handler(Rec->Sender);
            } catch (...) {
            }
        }
        break;
    case etOnProgress:
    case etGeneric:
        if (Rec->Handler)
            CallOnWindowThread(Rec);
        break;
    }
}
