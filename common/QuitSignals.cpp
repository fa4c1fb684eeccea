// Signals that end the program, turned into a close of its window on the window thread.
#include "QuitSignals.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <memory>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int SignalSockets[2] = {-1, -1};

extern "C" void OnQuitSignal(int Signal)
{
    const int saved = errno;
    const char code = static_cast<char>(Signal);
    // A full socket (a storm of signals) loses only repeats; nothing else is safe here.
    [[maybe_unused]] const ssize_t n = ::write(SignalSockets[0], &code, 1);
    errno = saved;
}

} // namespace

bool installQuitSignals(QWidget *Window)
{
    if (SignalSockets[0] >= 0)
        return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalSockets) != 0)
        return false;
    auto *notifier = new QSocketNotifier(SignalSockets[1], QSocketNotifier::Read, Window);
    QPointer<QWidget> window(Window);
    auto closing = std::make_shared<bool>(false);
    QObject::connect(notifier, &QSocketNotifier::activated, Window, [window, closing] {
        char codes[16];
        while (::read(SignalSockets[1], codes, sizeof codes) > 0) {
        }
        if (*closing || !window)
            return;
        *closing = true;
        window->close();
        // A close the window refused (it asked and the user said no) leaves it open; the next
        // signal may try again.
        if (window && window->isVisible())
            *closing = false;
    });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &action, nullptr);
    return true;
}
