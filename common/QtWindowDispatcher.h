// Binds the audio library's window-thread delivery to the Qt event loop.
//
// The event thread hands each done, progress and generic event to the GUI thread through
// RunOnWindowThread and waits until it has run. The call waits in the queue inherited from
// TWindowCallQueue, and the GUI thread is woken with a queued Qt invocation, so the handler
// runs from the event loop like any other event. While the GUI thread waits for a worker (a
// synchronous Stop), the audio library calls RunQueuedCalls, which runs only these queued calls
// (no other Qt events), so the two threads cannot block each other.
//
// Longer waits of the audio library on the GUI thread (a network input connecting, a pause, a
// reset) call PumpWhileWaiting, which runs the queued calls and then processes all pending Qt
// events: the window repaints, its timers fire and user input is handled during the wait. Any
// slot may therefore run inside such a call; see IWindowThreadDispatcher::PumpWhileWaiting
// for what it may not do then.
#pragma once

#include "AuEvents.h"

#include <QObject>

#include <memory>

class TQtWindowDispatcher : public QObject, public TWindowCallQueue {
    Q_OBJECT
public:
    // Must be created on the GUI thread (the thread that runs the Qt event loop).
    TQtWindowDispatcher() = default;

    // Runs the queued calls, then QCoreApplication::processEvents(). GUI thread only.
    void PumpWhileWaiting() override;

protected:
    void CallQueued() override;
};

// Installs a TQtWindowDispatcher for the audio library for as long as it lives; created on the
// GUI thread, typically in main() before the window.
class TQtWindowDispatcherScope {
public:
    TQtWindowDispatcherScope();
    ~TQtWindowDispatcherScope();
    TQtWindowDispatcherScope(const TQtWindowDispatcherScope &) = delete;
    TQtWindowDispatcherScope &operator=(const TQtWindowDispatcherScope &) = delete;
    TQtWindowDispatcher &Dispatcher() { return *FDispatcher; }

private:
    std::shared_ptr<TQtWindowDispatcher> FDispatcher;
};
