// The single-instance socket: its private folder, claiming the name, and the bounded reading
// of requests.
#include "SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kActivate = QByteArrayLiteral("activate\n");

// Whether Folder is a real directory (no link) of this user that nobody else can write to.
bool privateFolder(const QByteArray &Folder, QString *Why)
{
    struct stat st {};
    if (::lstat(Folder.constData(), &st) != 0) {
        if (Why)
            *Why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        if (Why)
            *Why = QStringLiteral("it is not a folder of this user that only this user can write to");
        return false;
    }
    return true;
}

// The uid of the process at the other end of a connected local socket, or -1.
long long peerUid(qintptr Descriptor)
{
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (Descriptor < 0 || ::getsockopt(static_cast<int>(Descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return -1;
    return static_cast<long long>(cred.uid);
}

// Holds an exclusive lock on the folder's lock file while two starts decide who runs, so that
// replacing a stale socket file never removes the socket of an instance that just started.
class ClaimLock {
public:
    explicit ClaimLock(const QString &Folder)
    {
        const QByteArray name = QFile::encodeName(Folder + QStringLiteral("/Fonolux09876.lock"));
        fd_ = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        // Another start holds it for a second at most; one that hangs is not waited for long.
        for (int attempt = 0; fd_ >= 0; ++attempt) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
                break;
            if (attempt >= 100) {
                ::close(fd_);
                fd_ = -1;
                break;
            }
            ::usleep(50 * 1000);
        }
    }
    ~ClaimLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    ClaimLock(const ClaimLock &) = delete;
    ClaimLock &operator=(const ClaimLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace

SingleInstance::SingleInstance(QObject *parent) : QObject(parent) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketFolder(QString *Error)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && privateFolder(QFile::encodeName(runtime), nullptr))
        return runtime;
    // No usable runtime folder: one of our own in the temporary folder, made private before
    // anything is put into it.
    const QString own = QDir::tempPath() + QStringLiteral("/fonolux-") + QString::number(::getuid());
    const QByteArray ownName = QFile::encodeName(own);
    if (::mkdir(ownName.constData(), 0700) != 0 && errno != EEXIST) {
        if (Error)
            *Error = QStringLiteral("Cannot create %1: %2").arg(own, QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }
    QString why;
    if (!privateFolder(ownName, &why)) {
        if (Error)
            *Error = QStringLiteral("Cannot use %1: %2").arg(own, why);
        return QString();
    }
    ::chmod(ownName.constData(), 0700);
    return own;
}

QString SingleInstance::serverName()
{
    const QString folder = socketFolder();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/Fonolux09876");
}

bool SingleInstance::askRunningToActivate(const QString &Name)
{
    QLocalSocket socket;
    socket.connectToServer(Name);
    if (!socket.waitForConnected(1000))
        return false;
    // A socket in our own folder is ours; the check keeps it so should the folder ever be shared.
    if (peerUid(socket.socketDescriptor()) != static_cast<long long>(::getuid())) {
        socket.abort();
        return false;
    }
    socket.write(kActivate);
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
    return true;
}

void SingleInstance::accept(QLocalSocket *s)
{
    if (open_ >= MaxConnections || peerUid(s->socketDescriptor()) != static_cast<long long>(::getuid())) {
        s->abort();
        s->deleteLater();
        return;
    }
    ++open_;
    connect(s, &QObject::destroyed, this, [this] { --open_; });
    connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
    // Qt stops reading from the socket once this much is buffered, so a sender that never
    // ends its line cannot make the buffer grow.
    s->setReadBufferSize(MaxLine);
    QPointer<QLocalSocket> guard(s);
    QTimer::singleShot(idleTimeoutMs_, s, [guard] {
        if (guard)
            guard->abort();
    });
    // The request may arrive in pieces; one whole line is acted on, then the connection ends.
    connect(s, &QLocalSocket::readyRead, this, [this, s] {
        if (s->canReadLine()) {
            const bool activate = s->readLine(MaxLine + 1) == kActivate;
            s->disconnectFromServer();
            if (activate)
                emit activateRequested();
        } else if (s->bytesAvailable() >= MaxLine) {
            s->abort();
        }
    });
}

bool SingleInstance::claim()
{
    QString why;
    const QString folder = socketFolder(&why);
    if (folder.isEmpty()) {
        // No private place for the socket: run anyway rather than refuse to start at all.
        qWarning("Fonolux runs without its single-instance socket: %s", qPrintable(why));
        return true;
    }
    const QString name = folder + QStringLiteral("/Fonolux09876");
    const ClaimLock lock(folder);
    if (askRunningToActivate(name))
        return false;
    if (!lock.held())
        return true; // without the lock a socket file that looks stale may be a new one's
    // Nobody answers: a file at the name is left from a run that ended without removing it.
    QLocalServer::removeServer(name);
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->setMaxPendingConnections(MaxConnections);
    if (!server->listen(name)) {
        qWarning("Fonolux runs without its single-instance socket: %s", qPrintable(server->errorString()));
        delete server;
        return true;
    }
    server_ = server;
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = server_->nextPendingConnection())
            accept(s);
    });
    return true;
}
