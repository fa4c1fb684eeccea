// Ending by signal closes the window through its own close handling, on the window thread.
#include "QuitSignals.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

namespace {

int gArgc = 1;
char gArg0[] = "test";
char *gArgv[] = {gArg0, nullptr};

class Window : public QWidget {
public:
    bool refuse = false;
    int closeEvents = 0;
    Qt::HANDLE closedOn = nullptr;

protected:
    void closeEvent(QCloseEvent *e) override
    {
        ++closeEvents;
        closedOn = QThread::currentThreadId();
        if (refuse)
            e->ignore();
        else
            e->accept();
    }
};

bool SpinUntil(const std::function<bool()> &Done, int TimeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!Done() && t.elapsed() < TimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return Done();
}

} // namespace

TEST(QuitSignals, TermIntAndHupCloseTheWindowOnItsThreadAndARefusedCloseMayBeAskedAgain)
{
    QApplication app(gArgc, gArgv);
    QApplication::setQuitOnLastWindowClosed(false);
    Window w;
    w.show();
    ASSERT_TRUE(installQuitSignals(&w));

    // The window asks and the user keeps it: it stays, and the next signal asks again.
    w.refuse = true;
    std::raise(SIGTERM); // without the handler this would end the test program
    ASSERT_TRUE(SpinUntil([&] { return w.closeEvents == 1; }));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.closedOn, QThread::currentThreadId());

    w.refuse = false;
    std::raise(SIGINT);
    ASSERT_TRUE(SpinUntil([&] { return w.closeEvents == 2; }));
    EXPECT_FALSE(w.isVisible());

    // Once closed, further signals do not act again (a storm of them during the close).
    std::raise(SIGHUP);
    std::raise(SIGTERM);
    SpinUntil([] { return false; }, 200);
    EXPECT_EQ(w.closeEvents, 2);
}
