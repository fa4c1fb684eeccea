// Snipolux's entry: the window-thread dispatcher, then the window on the file named by the
// first argument (if any), and the event loop.
#include "QtWindowDispatcher.h"
#include "TrimMain.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Snipolux"));

    // Pipeline events (done, progress) reach the window through the event loop; installed
    // before the window creates its audio components.
    TQtWindowDispatcherScope dispatcher;

    TForm1 form(QApplication::arguments().mid(1));
    form.show();
    return app.exec();
}
