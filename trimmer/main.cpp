// Snipolux's entry: the window-thread dispatcher, then the window on the file named by the
// first argument (if any), and the event loop.
#include "DisplaySetup.h"
#include "ProgramOptions.h"
#include "QuitSignals.h"
#include "QtWindowDispatcher.h"
#include "TrimMain.h"
#include "WebPane.h"

#include <QApplication>
#include <QFile>

#define SNIPOLUX_TEXT(x) #x
#define SNIPOLUX_VERSION_TEXT(a, b, c, d) SNIPOLUX_TEXT(a) "." SNIPOLUX_TEXT(b) "." SNIPOLUX_TEXT(c) "." SNIPOLUX_TEXT(d)

int main(int argc, char **argv)
{
    // Answered before the application object exists, so that they need no display.
    const ProgramInfo info{
        "Snipolux",
        SNIPOLUX_VERSION_TEXT(FONOLUX_VERSION_MAJOR, FONOLUX_VERSION_MINOR, FONOLUX_VERSION_PATCH, FONOLUX_VERSION_TWEAK),
        "Usage: snipolux [[--] FILE.mp3]\n"
        "       snipolux --help | --version\n"
        "\n"
        "Snipolux opens an MP3 file, draws its waveform and plays it; drag the two bars over\n"
        "the picture (or use the marker buttons while it plays) to mark a stretch, and save\n"
        "that stretch as a new MP3 file. FILE.mp3, when given, is opened at start; files can\n"
        "also be opened from the toolbar or dropped on the window. After \"--\" a file name\n"
        "is taken as it stands, even one that begins with \"-\".\n"
        "\n"
        "  --help     show this text and exit\n"
        "  --version  show the version and exit\n"};
    if (answerProgramOptions(argc, argv, info))
        return 0;

    // The web pane's engine wants its settings before the application object exists.
    WebPane::prepareApplication();
    prepareDisplay();
    // The toolkit sees only what comes before "--"; the file name after it is the window's.
    int toolkitArgc = argumentsBeforeDoubleDash(argc, argv);
    QStringList fileArguments;
    if (toolkitArgc < argc) {
        fileArguments << QStringLiteral("--");
        for (int i = toolkitArgc + 1; i < argc; ++i)
            fileArguments << QFile::decodeName(argv[i]);
    }
    QApplication app(toolkitArgc, argv);
    displayReady();
    QApplication::setApplicationName(QStringLiteral("Snipolux"));
    // Ties the window to its launcher and icon (org.zorbel.Snipolux.desktop) on the desktop.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.zorbel.Snipolux"));

    // Pipeline events (done, progress) reach the window through the event loop; installed
    // before the window creates its audio components.
    TQtWindowDispatcherScope dispatcher;

    TForm1 form(QApplication::arguments().mid(1) + fileArguments);
    form.show();
    // A logout, kill or Ctrl+C closes the window the normal way.
    installQuitSignals(&form);
    return app.exec();
}
