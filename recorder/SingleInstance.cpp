#include "SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

namespace {
const QByteArray kActivate = QByteArrayLiteral("activate\n");
}

SingleInstance::SingleInstance(QObject *parent) : QObject(parent) {}

QString SingleInstance::serverName()
{
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/uid") + QString::number(getuid());
    return base + QStringLiteral("/Fonolux09876");
}

bool SingleInstance::askRunningToActivate()
{
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(1000))
        return false;
    socket.write(kActivate);
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
    return true;
}

bool SingleInstance::claim()
{
    // Two starts at the same moment: only one listen can succeed on an abstract name; the other
    // finds the winner when it tries to connect again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (askRunningToActivate())
            return false;
        auto *server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
        if (server->listen(serverName())) {
            server_ = server;
            connect(server_, &QLocalServer::newConnection, this, [this] {
                while (QLocalSocket *s = server_->nextPendingConnection()) {
                    connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
                    // The request may arrive in pieces; act on whole lines only.
                    connect(s, &QLocalSocket::readyRead, this, [this, s] {
                        while (s->canReadLine())
                            if (s->readLine() == kActivate)
                                emit activateRequested();
                    });
                }
            });
            return true;
        }
        delete server;
        QThread::msleep(50);
    }
    // Neither reachable nor free: run anyway rather than refuse to start at all.
    return true;
}
