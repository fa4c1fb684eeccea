// Fonolux's entry: one instance per user session, then the main window and its event loop.
#include "Main.h"
#include "DisplaySetup.h"
#include "ProgramOptions.h"
#include "QuitSignals.h"
#include "QtWindowDispatcher.h"
#include "SingleInstance.h"
#include "WebPane.h"

#include <QApplication>

#define FONOLUX_TEXT(x) #x
#define FONOLUX_VERSION_TEXT(a, b, c, d) FONOLUX_TEXT(a) "." FONOLUX_TEXT(b) "." FONOLUX_TEXT(c) "." FONOLUX_TEXT(d)

int main(int argc, char **argv)
{
    // Answered before the application object exists, so that they need no display.
    const ProgramInfo info{
        "Fonolux",
        FONOLUX_VERSION_TEXT(FONOLUX_VERSION_MAJOR, FONOLUX_VERSION_MINOR, FONOLUX_VERSION_PATCH, FONOLUX_VERSION_TWEAK),
        "Usage: fonolux [--help | --version]\n"
        "\n"
        "Fonolux receives internet radio stations, plays them and records them as MP3 files.\n"
        "It takes no file or address: choose a genre and a station on its Radio page.\n"
        "Its settings and station list are kept in $XDG_DATA_HOME/Zorbel/Fonolux/\n"
        "(~/.local/share/Zorbel/Fonolux/ by default).\n"
        "\n"
        "  --help     show this text and exit\n"
        "  --version  show the version and exit\n"};
    if (answerProgramOptions(argc, argv, info))
        return 0;

    WebPane::prepareApplication();
    prepareDisplay();
    QApplication app(argc, argv);
    displayReady();
    QApplication::setApplicationName(QStringLiteral("Fonolux"));
    // Ties the window to its launcher and icon (org.zorbel.Fonolux.desktop) on the desktop.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.zorbel.Fonolux"));

    SingleInstance instance;
    if (!instance.claim())
        return 0; // the running instance was asked to come forward

    // Pipeline events (done, progress, levels, stream events) reach the window through the
    // event loop; installed before the window creates any audio component.
    TQtWindowDispatcherScope dispatcher;

    TForm1 form;
    if (form.terminateRequested())
        return 1;
    QObject::connect(&instance, &SingleInstance::activateRequested, &form, &TForm1::ActivateFromOtherStart);
    form.show();
    // Logout, kill and Ctrl+C close the window as the user would, so nothing recorded is cut off.
    installQuitSignals(&form);
    // The desktop's media-player controls, when there is a session bus.
    form.startDesktopBus();
    return app.exec();
}
