// prepareDisplay / displayReady: the shared-memory switch and the start-up GL warning.
#include "DisplaySetup.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace {

bool setShmSwitch = false;
QtMessageHandler previousHandler = nullptr;

void startupMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith(u"QXcbIntegration: Cannot create platform"))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

void prepareDisplay()
{
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) {
        qputenv("QT_XCB_NO_MITSHM", "1");
        setShmSwitch = true;
    }
    previousHandler = qInstallMessageHandler(startupMessages);
}

void displayReady()
{
    // The connection to the display exists now and has read the switch.
    if (setShmSwitch)
        qunsetenv("QT_XCB_NO_MITSHM");
    setShmSwitch = false;
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}
