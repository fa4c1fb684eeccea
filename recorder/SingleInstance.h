// One running recorder per user session.
//
// The first instance listens on a local socket "Fonolux09876" in a folder only this user can
// write to: $XDG_RUNTIME_DIR when it is the user's own and writable by nobody else, otherwise
// a folder "fonolux-<uid>" of our own in the temporary folder (made 0700; refused when it is a
// link or belongs to someone else). The socket file is its owner's alone, and both ends check
// that the other end runs as the same user. A later start connects, asks the first instance to show
// itself and exits. A socket file left behind by a run that crashed is replaced.
//
// What the running instance accepts is bounded: a request is one short line ("activate\n");
// a connection is closed after its first line, after more than MaxLine bytes without a line
// end, or after IdleTimeout without one; at most MaxConnections are open at a time (more are
// closed at once).
//
// Threads: everything runs on the thread that owns the object (the window thread).
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxLine = 64;
    static constexpr int MaxConnections = 8;

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // Becomes the running instance, or, when another one runs, asks it to come forward.
    // Returns true when this process is the running instance (also when no private folder
    // could be had: then it runs without the socket rather than not at all).
    bool claim();

    // The private folder of this user's socket (created when missing); empty when none can be
    // had, with the reason in Error when given.
    static QString socketFolder(QString *Error = nullptr);
    // The socket's path for this user session; empty when there is no private folder.
    static QString serverName();

    // How long a connection may stay without sending its line (1000 ms unless set).
    void setIdleTimeout(int Ms) { idleTimeoutMs_ = Ms; }
    // Connections the running instance holds open now.
    int openConnections() const { return open_; }

signals:
    // A later start asked the running instance to show itself.
    void activateRequested();

private:
    bool askRunningToActivate(const QString &Name);
    void accept(QLocalSocket *Socket);
    QLocalServer *server_ = nullptr;
    int idleTimeoutMs_ = 1000;
    int open_ = 0;
};
