// One recorder per session: a second start asks the first to come forward and exits with 0.
#include "RecorderTestSupport.h"

#include "SingleInstance.h"

#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTest>

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

TEST_F(SingleInstanceTest, ARequestThatArrivesInPiecesStillActivates)
{
    SingleInstance instance;
    ASSERT_TRUE(instance.claim());
    QSignalSpy spy(&instance, &SingleInstance::activateRequested);
    QLocalSocket client;
    client.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    client.connectToServer(SingleInstance::serverName());
    ASSERT_TRUE(client.waitForConnected(2000));
    client.write("acti");
    ASSERT_TRUE(client.waitForBytesWritten(2000));
    QTest::qWait(100);
    EXPECT_EQ(spy.count(), 0);
    client.write("vate\n");
    ASSERT_TRUE(client.waitForBytesWritten(2000));
    EXPECT_TRUE(waitUntil([&] { return spy.count() == 1; }, 2000));
    // Anything else is no request.
    client.write("hello\n");
    ASSERT_TRUE(client.waitForBytesWritten(2000));
    QTest::qWait(100);
    EXPECT_EQ(spy.count(), 1);
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
