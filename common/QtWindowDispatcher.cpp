#include "QtWindowDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>

void TQtWindowDispatcher::CallQueued()
{
    // If the GUI thread drains the queue first (inside a synchronous Stop), this invocation
    // later finds nothing to do.
    QMetaObject::invokeMethod(this, [this] { RunQueuedCalls(); }, Qt::QueuedConnection);
}

void TQtWindowDispatcher::PumpWhileWaiting()
{
    if (!IsWindowThread())
        return;
    RunQueuedCalls();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
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
