// Fonolux's entry: one instance per user session, then the main window and its event loop.
#include "Main.h"
#include "QtWindowDispatcher.h"
#include "SingleInstance.h"
#include "TestDriver.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fonolux"));

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
    installTestDriverFromEnvironment(&form);
    return app.exec();
}
