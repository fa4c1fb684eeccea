// One recorder per session: a second start asks the first to come forward and exits with 0.
#include "RecorderTestSupport.h"

#include "SingleInstance.h"

#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testApp();
        runtime = QString::fromStdString(runtimeDir.path().string());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    }
    QProcessEnvironment childEnvironment(const FormEnv &env) const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        e.insert(QStringLiteral("XDG_DATA_HOME"), env.home());
        e.insert(QStringLiteral("XDG_CONFIG_HOME"), env.home());
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return e;
    }
    testsupport::TempDir runtimeDir;
    QString runtime;
};

TEST_F(SingleInstanceTest, ASecondStartExitsWithZeroAndRestoresTheFirstWindow)
{
    FormEnv env;
    SingleInstance instance;
    ASSERT_TRUE(instance.claim());
    TForm1 form;
    QObject::connect(&instance, &SingleInstance::activateRequested, &form, &TForm1::ActivateFromOtherStart);
    form.show();
    form.setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(form.isMinimized());

    QProcess second;
    second.setProcessEnvironment(childEnvironment(env));
    second.start(QStringLiteral(FONOLUX_BIN), {});
    ASSERT_TRUE(second.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([&] { return second.state() == QProcess::NotRunning; }, 15000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return !form.isMinimized(); }, 5000));
}

TEST_F(SingleInstanceTest, TwoStartsOfTheProgramLeaveOneRunning)
{
    FormEnv env;
    QProcess first;
    first.setProcessEnvironment(childEnvironment(env));
    first.start(QStringLiteral(FONOLUX_BIN), {});
    ASSERT_TRUE(first.waitForStarted(5000));
    // The first instance has its socket before it creates the window that seeds the folder.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(env.dataFolder() + QStringLiteral("Fonolux.INI")); }, 15000));

    QProcess second;
    second.setProcessEnvironment(childEnvironment(env));
    second.start(QStringLiteral(FONOLUX_BIN), {});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate();
    if (!first.waitForFinished(5000)) {
        first.kill();
        first.waitForFinished(5000);
    }
}

TEST_F(SingleInstanceTest, ARequestThatArrivesInPiecesStillActivatesAndEndsTheConnection)
{
    SingleInstance instance;
    ASSERT_TRUE(instance.claim());
    QSignalSpy spy(&instance, &SingleInstance::activateRequested);
    QLocalSocket client;
    client.connectToServer(SingleInstance::serverName());
    ASSERT_TRUE(client.waitForConnected(2000));
    client.write("acti");
    ASSERT_TRUE(client.waitForBytesWritten(2000));
    QTest::qWait(100);
    EXPECT_EQ(spy.count(), 0);
    client.write("vate\n");
    ASSERT_TRUE(client.waitForBytesWritten(2000));
    EXPECT_TRUE(waitUntil([&] { return spy.count() == 1; }, 2000));
    // One line per connection: the running instance hangs up after it.
    EXPECT_TRUE(waitUntil([&] { return client.state() == QLocalSocket::UnconnectedState; }, 2000));

    // Anything else is no request.
    QLocalSocket other;
    other.connectToServer(SingleInstance::serverName());
    ASSERT_TRUE(other.waitForConnected(2000));
    other.write("hello\n");
    ASSERT_TRUE(other.waitForBytesWritten(2000));
    EXPECT_TRUE(waitUntil([&] { return other.state() == QLocalSocket::UnconnectedState; }, 2000));
    EXPECT_EQ(spy.count(), 1);
}

// A connection made with plain system calls, so that the test itself buffers nothing.
int rawConnect(const QString &Name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(Name);
    std::memcpy(addr.sun_path, path.constData(), std::min<std::size_t>(path.size(), sizeof addr.sun_path - 1));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the other end has closed fd (a read gives end of file or a reset).
bool closedByPeer(int fd)
{
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

TEST_F(SingleInstanceTest, ALineWithoutEndAndIdleConnectionsAreCutOff)
{
    SingleInstance instance;
    instance.setIdleTimeout(300);
    ASSERT_TRUE(instance.claim());
    QSignalSpy spy(&instance, &SingleInstance::activateRequested);

    // 32 MiB without a line end: the instance hangs up long before taking it all.
    const int flood = rawConnect(SingleInstance::serverName());
    ASSERT_GE(flood, 0);
    const std::string chunk(64 * 1024, 'a');
    std::size_t sent = 0;
    bool refused = false;
    const auto began = std::chrono::steady_clock::now();
    while (sent < 32u * 1024 * 1024 && std::chrono::steady_clock::now() - began < std::chrono::seconds(20)) {
        const ssize_t n = ::send(flood, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (errno == EPIPE || errno == ECONNRESET) {
            refused = true;
            break;
        } else
            QTest::qWait(5);
    }
    ::close(flood);
    EXPECT_TRUE(refused) << sent << " bytes were taken";
    EXPECT_LT(sent, 4u * 1024 * 1024);

    // Connections that send nothing: more than the cap, all closed within the idle time.
    std::vector<int> idle;
    for (int i = 0; i < 3 * SingleInstance::MaxConnections; ++i) {
        const int fd = rawConnect(SingleInstance::serverName());
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    EXPECT_TRUE(waitUntil([&] { return std::all_of(idle.begin(), idle.end(), closedByPeer); }, 5000));
    EXPECT_LE(instance.openConnections(), SingleInstance::MaxConnections);
    EXPECT_TRUE(waitUntil([&] { return instance.openConnections() == 0; }, 5000));
    for (int fd : idle)
        ::close(fd);
    EXPECT_EQ(spy.count(), 0);

    // The instance still answers a proper request.
    SingleInstance later;
    EXPECT_FALSE(later.claim());
    EXPECT_TRUE(waitUntil([&] { return spy.count() == 1; }, 2000));
}

TEST_F(SingleInstanceTest, TheSocketIsPrivateAndAStaleOneIsReplaced)
{
    // A socket file left by a run that crashed: bound, never removed, nobody listening.
    const QString name = SingleInstance::serverName();
    ASSERT_EQ(name, runtime + QStringLiteral("/Fonolux09876"));
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, QFile::encodeName(name).constData(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    SingleInstance instance;
    ASSERT_TRUE(instance.claim());
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(name).constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077, 0u) << "group or others may use the socket";
    EXPECT_NE(st.st_mode & 0600, 0u);
    SingleInstance second;
    EXPECT_FALSE(second.claim()) << "the new socket answers";

    // A runtime folder others can write to is not used: a private one of our own is made.
    testsupport::TempDir tmp;
    const QString shared = QString::fromStdString(tmp.path().string()) + QStringLiteral("/shared");
    ASSERT_EQ(::mkdir(QFile::encodeName(shared).constData(), 0777), 0);
    ::chmod(QFile::encodeName(shared).constData(), 0777);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(shared));
    qputenv("TMPDIR", QFile::encodeName(QString::fromStdString(tmp.path().string())));
    const QString own = SingleInstance::socketFolder();
    qunsetenv("TMPDIR");
    EXPECT_EQ(own, QString::fromStdString(tmp.path().string()) + QStringLiteral("/fonolux-") +
                       QString::number(::getuid()));
    ASSERT_EQ(::lstat(QFile::encodeName(own).constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // That folder made first by another user is not used: the program then runs on its own
    // rather than exit because someone else holds the name.
    if (::getuid() == 0) {
        ASSERT_EQ(::chown(QFile::encodeName(own).constData(), 65534, 65534), 0);
        qputenv("TMPDIR", QFile::encodeName(QString::fromStdString(tmp.path().string())));
        QString why;
        EXPECT_TRUE(SingleInstance::socketFolder(&why).isEmpty());
        EXPECT_FALSE(why.isEmpty());
        SingleInstance alone;
        EXPECT_TRUE(alone.claim());
        qunsetenv("TMPDIR");
    }
}

TEST_F(SingleInstanceTest, ANewSessionOrAFinishedInstanceLeavesTheNameFree)
{
    {
        SingleInstance a;
        ASSERT_TRUE(a.claim());
        SingleInstance b;
        EXPECT_FALSE(b.claim());
    }
    SingleInstance c;
    EXPECT_TRUE(c.claim()) << "no stale name after the first instance ended";
}

} // namespace
