// One running recorder per user session.
//
// The first instance listens on a local socket named "Fonolux09876" (in the abstract socket
// namespace, qualified by the user's runtime folder, so no socket file is ever left behind and
// each desktop session has its own). A later start connects, asks the first instance to show
// itself and exits.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject *parent = nullptr);

    // Becomes the running instance, or, when another one runs, asks it to come forward.
    // Returns true when this process is the running instance.
    bool claim();

    // The socket name used for this user session.
    static QString serverName();

signals:
    // A later start asked the running instance to show itself.
    void activateRequested();

private:
    bool askRunningToActivate();
    QLocalServer *server_ = nullptr;
};
