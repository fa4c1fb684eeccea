// Event delivery of the pipeline: the auto-reset event, the window-thread dispatcher
// interface with a plain queue implementation, and the shared event handler (the process's
// one event thread).
//
// Threads involved:
// - the window thread runs every etOnDone, etOnProgress and etGeneric handler, one at a time;
// - output workers and other component threads post events (any thread may post);
// - the event thread takes records from the queue in order and hands each handler to the
//   window thread through the installed IWindowThreadDispatcher, waiting until it has run
//   (etNonGUI handlers run on the event thread itself).
// The window thread, while it waits for a worker in a synchronous Stop, keeps running the calls
// queued for it (IWindowThreadDispatcher::RunQueuedCalls), so the two cannot block each other.
//
// Runs and stale events: every record carries the run number of its sender at the time it was
// queued (an output's Run, a tap's StartRecord, a network input's opening each count one up).
// After Stop(Async) and a new Run, an OnDone or OnThreadException of the earlier run can still
// arrive once the new run has started. A handler tells them apart by comparing the sender's
// EventRun() (the number the event being handled was queued under) with its RunNumber() (the
// latest run): the event is stale when they differ.
//
// Long waits on the window thread: where the library waits on the window thread for something
// that may take long (a network input connecting, a pause reaching the worker, a lock held by a
// worker that is connecting or reading), it calls the dispatcher's PumpWhileWaiting at least
// every 20 ms, so the window keeps processing its messages. See PumpWhileWaiting for what a
// handler may do while it runs inside such a wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TComponent;
class TAuThread;

// Handlers: a callable taking the component the event is about.
using TGenericEvent = std::function<void(TComponent *Sender)>;
using TOutputDoneEvent = std::function<void(TComponent *Sender)>;
using TOutputProgressEvent = std::function<void(TComponent *Sender)>;
using TThreadExceptionEvent = std::function<void(TComponent *Sender)>;

// An auto-reset event: Set releases one waiter (or the next Wait) and clears itself.
// All members are thread-safe.
class TAuEvent {
public:
    explicit TAuEvent(bool InitiallySet = false) : FSet(InitiallySet) {}
    void Set();
    void Reset();
    // Waits until set, then clears it.
    void Wait();
    // Waits at most Ms milliseconds; true (and cleared) when it was set.
    bool WaitFor(std::uint32_t Ms);

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    bool FSet;
};

// How the audio library reaches the window (GUI) thread. The programs bind it to their event
// loop; TWindowCallQueue is a plain implementation that tests pump by hand.
class IWindowThreadDispatcher {
public:
    virtual ~IWindowThreadDispatcher() = default;
    // Runs Call on the window thread and returns once it has run (true), or once the dispatcher
    // has been closed without running it (false). Called by the event thread; when called on
    // the window thread itself it runs Call at once.
    virtual bool RunOnWindowThread(const std::function<void()> &Call) = 0;
    // True on the window thread.
    virtual bool IsWindowThread() const = 0;
    // Runs the calls queued for the window thread so far. Window thread only; other threads
    // return at once.
    virtual void RunQueuedCalls() = 0;
    // Called on the window thread, at least every 20 ms, while the library waits there for
    // something that may take long (WaitPumping). The default runs the queued calls; a binding
    // to an event loop also processes the loop's pending events.
    //
    // Re-entrancy: handlers (the library's events and the window's own) may run during such a
    // wait, inside the call that waits, and possibly with that component's locks held by this
    // thread. A handler may read any display property, post work, start runs (Run) and stop
    // them asynchronously (Stop(Async), StopRecord). It must not, while the wait lasts: destroy
    // the waiting component or the chain it belongs to, change its source (file name, stream,
    // Input), call a synchronous Stop (it may wait for a worker that waits for this thread's
    // lock), or start another wait on the same component (HasAudio, Pause, Reset). A window
    // guards against this with a "busy" flag of its own, set around the waiting call.
    virtual void PumpWhileWaiting() { RunQueuedCalls(); }
};

// Installs the dispatcher the event thread uses (nullptr: none). Without a dispatcher,
// window-thread handlers run on the event thread itself. Any thread; takes effect at the next
// delivery (a delivery in progress keeps the dispatcher it started with alive).
void SetWindowThreadDispatcher(std::shared_ptr<IWindowThreadDispatcher> Dispatcher);
std::shared_ptr<IWindowThreadDispatcher> WindowThreadDispatcher();

// The longest a pumping wait goes without calling PumpWhileWaiting.
constexpr std::uint32_t PumpIntervalMs = 10;

// True when a dispatcher is installed and this is its window thread.
bool OnWindowThread();
// Waits until WaitSlice returns true or TimeoutMs have passed; returns WaitSlice's last
// answer. WaitSlice(Ms) waits at most Ms milliseconds for the awaited thing and tells whether it
// came (it may return early). On the window thread the wait is cut into slices of at most
// PumpIntervalMs with PumpWhileWaiting called between them; elsewhere WaitSlice gets the whole
// remaining time.
bool WaitPumping(std::uint32_t TimeoutMs, const std::function<bool(std::uint32_t Ms)> &WaitSlice);

// A scoped lock of a re-entrant mutex that, on the window thread, keeps pumping
// (PumpWhileWaiting) while another thread holds the mutex; elsewhere a plain lock.
class TPumpingLock {
public:
    explicit TPumpingLock(std::recursive_mutex &M);
    ~TPumpingLock() { FM.unlock(); }
    TPumpingLock(const TPumpingLock &) = delete;
    TPumpingLock &operator=(const TPumpingLock &) = delete;

private:
    std::recursive_mutex &FM;
};

// The run number of the event being handled for Sender on this thread (innermost first), or
// Default when no handler of Sender runs on this thread. Components' EventRun() use it.
std::uint32_t HandledEventRun(const TComponent *Sender, std::uint32_t Default);

// Marks, for its lifetime, that a handler of Sender for the event of run Run runs on this
// thread (the event thread sets it around every handler; a component calling a handler
// directly on another thread sets it itself).
class TEventRunScope {
public:
    TEventRunScope(const TComponent *Sender, std::uint32_t Run);
    ~TEventRunScope();
    TEventRunScope(const TEventRunScope &) = delete;
    TEventRunScope &operator=(const TEventRunScope &) = delete;
};

// A queue of calls for the thread that created it (the "window thread"). Other threads post
// with RunOnWindowThread and wait; the window thread runs them with RunQueuedCalls or
// PumpUntil. Close (also done by the destructor) releases every waiter with false; calls
// posted afterwards are refused at once.
class TWindowCallQueue : public IWindowThreadDispatcher {
public:
    TWindowCallQueue();
    ~TWindowCallQueue() override;

    bool RunOnWindowThread(const std::function<void()> &Call) override;
    bool IsWindowThread() const override;
    void RunQueuedCalls() override;

    // Window thread: runs queued calls until Done() is true or Timeout has passed, sleeping
    // on the queue in between (no busy wait). Returns Done()'s last value.
    bool PumpUntil(const std::function<bool()> &Done, std::chrono::milliseconds Timeout);
    // Window thread: runs queued calls for the whole Duration.
    void PumpFor(std::chrono::milliseconds Duration);
    void Close();

protected:
    // Called on the posting thread, with the queue's lock held, right after a call was queued:
    // a binding to an event loop wakes that loop here (it must not call back into the queue).
    virtual void CallQueued() {}

private:
    struct TCall;
    const std::thread::id FWindowThread;
    mutable std::mutex FMutex;
    std::condition_variable FQueued;
    std::deque<std::shared_ptr<TCall>> FCalls;
    bool FClosed = false;
};

enum TEventType { etOnProgress, etOnDone, etGeneric, etNonGUI };

// One queued event; the event thread frees it after delivery.
struct TEventRecord {
    TEventType _type = etGeneric;
    TComponent *Sender = nullptr;
    std::int32_t i = 0;
    // The sender's run number when the record was queued (see EventRun).
    std::uint32_t Run = 0;
    // DoneEvent, ProgressEvent or GenericEvent according to _type (all one signature here).
    TGenericEvent Handler;
    TAuThread *Thread = nullptr; // etOnDone: the output's worker
    // Set (under CS) when Sender goes away; a cancelled record never touches Sender again.
    std::atomic<bool> Cancelled{false};
};

// The process-wide event queue and its event thread. The object lives as long as the process
// (so posting is always safe); its thread exists while at least one output exists: the first
// output's registration starts it, the last one's unregistration ends it (queued records are
// then dropped), and a new output starts a new thread. Posts while no thread runs are dropped.
//
// All members are thread-safe. CS guards the queue, the blocked senders and CurrentEvent; no
// handler is called with CS held.
class TEventHandler {
public:
    // Run is the sender's run number the record belongs to (0 for senders that count none).
    // Append an etOnDone record for run Run of the output whose worker is Thread. It is
    // delivered once that run is over: the worker has gone back to sleep or started a later run.
    void PostOnDone(TComponent *Sender, TAuThread *Thread, std::uint32_t Run = 0);
    void PostOnProgress(TComponent *Sender, const TOutputProgressEvent &Handler, std::uint32_t Run = 0);
    void PostGenericEvent(TComponent *Sender, const TGenericEvent &Handler, std::uint32_t Run = 0);
    // Insert an etNonGUI record at the head of the queue; its handler runs on the event thread.
    void PostNonGuiEvent(TComponent *Sender, const TGenericEvent &Handler, std::uint32_t Run = 0);

    // Remove and free every queued record of Sender (a record being delivered is not touched).
    void ClearEvents(TComponent *Sender);
    // ... only those of run Run.
    void ClearEvents(TComponent *Sender, std::uint32_t Run);
    // Refuse new posts of Sender until UnblockEvents(Sender). Nested blocks (also of different
    // senders) are kept as a list, so an inner unblock does not lift an outer block.
    void BlockEvents(TComponent *Sender);
    void UnblockEvents(TComponent *Sender);

    // True while an event thread runs; Generation counts the event threads started so far.
    bool ThreadRunning() const;
    std::uint64_t Generation() const;
    // True on the event thread, or on the window thread inside a handler the event thread
    // handed over.
    static bool InEventDelivery();

    // Output registry (TAuOutput's constructor and destructor).
    void RegisterOutput();
    void UnregisterOutput();
    // Drops everything about Sender: its queued records, and the record being delivered is
    // marked cancelled. Called when any component goes away.
    void ForgetSender(TComponent *Sender);

    TEventHandler();
    ~TEventHandler();
    TEventHandler(const TEventHandler &) = delete;
    TEventHandler &operator=(const TEventHandler &) = delete;

private:
    struct TRunner;
    void Post(std::shared_ptr<TEventRecord> Rec, bool AtHead);
    void Execute(std::shared_ptr<TRunner> Self);
    void Deliver(TRunner &Self, const std::shared_ptr<TEventRecord> &Rec);
    void CallOnWindowThread(const std::shared_ptr<TEventRecord> &Rec);
    void JoinRetired();

    mutable std::recursive_mutex CS;
    std::deque<std::shared_ptr<TEventRecord>> Events;
    std::vector<TComponent *> BlockedSenders;
    int FOutputCount = 0;
    std::uint64_t FGeneration = 0;
    // The running event thread; it holds its wake-up event (_Evt, private to the process) and
    // the record it is delivering (CurrentEvent).
    std::shared_ptr<TRunner> FRunner;
    std::vector<std::shared_ptr<TRunner>> FRetired; // ended threads not yet joined
};

// The process's shared event handler (never null).
TEventHandler *SharedEventHandler();
