#include "QtWindowDispatcher.h"

#include <QMetaObject>

TQtWindowDispatcher::TQtWindowDispatcher() : FGuiThread(std::this_thread::get_id()) {}

TQtWindowDispatcher::~TQtWindowDispatcher() { Close(); }

bool TQtWindowDispatcher::IsWindowThread() const { return std::this_thread::get_id() == FGuiThread; }

bool TQtWindowDispatcher::RunOnWindowThread(const std::function<void()> &Call)
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
    // Wake the event loop; if the GUI thread drains the queue first (inside a synchronous
    // Stop), the queued invocation later finds nothing to do.
    QMetaObject::invokeMethod(this, [this] { RunQueuedCalls(); }, Qt::QueuedConnection);
    FChanged.wait(L, [&] { return C->Done || C->Dropped; });
    return C->Done;
}

void TQtWindowDispatcher::RunQueuedCalls()
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
        // A handler's exception must not unwind through the Qt event loop.
        try {
            C->Fn();
        } catch (...) {
        }
        std::lock_guard<std::mutex> L(FMutex);
        C->Done = true;
        FChanged.notify_all();
    }
}

void TQtWindowDispatcher::Close()
{
    std::lock_guard<std::mutex> L(FMutex);
    FClosed = true;
    for (auto &C : FCalls)
        C->Dropped = true;
    FCalls.clear();
    FChanged.notify_all();
}

TQtWindowDispatcherScope::TQtWindowDispatcherScope() : FDispatcher(std::make_shared<TQtWindowDispatcher>())
{
    SetWindowThreadDispatcher(FDispatcher);
}

TQtWindowDispatcherScope::~TQtWindowDispatcherScope()
{
    SetWindowThreadDispatcher(nullptr);
    FDispatcher->Close();
}
