// The recorder's bus service on a session bus of the test's own (the test command runs every
// test under dbus-run-session), driven by busctl as an outside client: properties, commands
// reaching the player's hooks, refused addresses, signalled changes, and the quiet start
// without a bus.
#include "Mpris.h"
#include "RecorderTestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

struct BusctlResult {
    int exitCode = -1;
    QString out, err;
};

// Runs busctl --user with the arguments while this process keeps serving the bus.
BusctlResult busctl(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("busctl"), QStringList{QStringLiteral("--user")} + args);
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        p.waitForFinished(5);
    }
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()).trimmed(),
            QString::fromUtf8(p.readAllStandardError()).trimmed()};
}

const QString kService = QString::fromLatin1(MprisService::ServiceName);
const QString kPath = QString::fromLatin1(MprisService::ObjectPath);
const QString kPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kRoot = QStringLiteral("org.mpris.MediaPlayer2");

BusctlResult get(const QString &iface, const QString &prop)
{
    return busctl({QStringLiteral("get-property"), kService, kPath, iface, prop});
}
BusctlResult call(const QString &method, const QStringList &args = {})
{
    return busctl(QStringList{QStringLiteral("call"), kService, kPath, kPlayer, method} + args);
}

class Mpris : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        testApp();
        ASSERT_TRUE(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
            << "no session bus: the test runs under dbus-run-session";
    }
    void SetUp() override
    {
        hooks.raise = [this] { log << QStringLiteral("raise"); };
        hooks.play = [this] { log << QStringLiteral("play"); };
        hooks.pause = [this] { log << QStringLiteral("pause"); };
        hooks.stop = [this] { log << QStringLiteral("stop"); };
        hooks.openUri = [this](const QString &u) {
            log << QStringLiteral("open ") + u;
            return QString();
        };
        hooks.setVolume = [this](double v) { volumes.push_back(v); };
        service = std::make_unique<MprisService>(hooks);
        ASSERT_TRUE(service->start());
    }
    MprisHooks hooks;
    std::unique_ptr<MprisService> service;
    QStringList log;
    std::vector<double> volumes;
};

// Collects PropertiesChanged signals of the player's object on a second bus connection.
class SignalWatch : public QObject {
    Q_OBJECT
public:
    SignalWatch() : conn(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("watch")))
    {
        conn.connect(QString(), kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                     QStringLiteral("PropertiesChanged"), this, SLOT(onChanged(QString, QVariantMap, QStringList)));
    }
    ~SignalWatch() override { QDBusConnection::disconnectFromBus(QStringLiteral("watch")); }
    // Waits up to ms for a change of that property; its value.
    QVariant waitFor(const QString &prop, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            for (const auto &c : changes)
                if (c.contains(prop))
                    return c.value(prop);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return {};
    }
    QDBusConnection conn;
    std::vector<QVariantMap> changes;
public slots:
    void onChanged(const QString &, const QVariantMap &props, const QStringList &) { changes.push_back(props); }
};

} // namespace

TEST(MprisRules, PlaybackStatusFollowsTheRecorderState)
{
    for (TRecState s : {rsPlaying, rsPrerecStart, rsPrerecTap2, rsPrerecTap1, rsRecording, rsRecordingPlain, rsRecordPaused})
        EXPECT_EQ(MprisPlaybackStatus(s), QStringLiteral("Playing")) << s;
    EXPECT_EQ(MprisPlaybackStatus(rsPlayPaused), QStringLiteral("Paused"));
    for (TRecState s : {rsIdle, rsRestarting, rsClosing})
        EXPECT_EQ(MprisPlaybackStatus(s), QStringLiteral("Stopped")) << s;
}

TEST(MprisRules, VolumeMapsTheSliderScaleAndClamps)
{
    EXPECT_EQ(MprisVolumeFromSlider(-4000), 0.0);
    EXPECT_EQ(MprisVolumeFromSlider(0), 1.0);
    EXPECT_EQ(MprisVolumeFromSlider(-1000), 0.75);
    EXPECT_EQ(MprisVolumeFromSlider(-9000), 0.0);
    EXPECT_EQ(MprisSliderFromVolume(1.5), 0);
    EXPECT_EQ(MprisSliderFromVolume(-2.0), -4000);
    EXPECT_EQ(MprisSliderFromVolume(std::nan("")), -4000);
    for (int p = -4000; p <= 0; p += 37)
        EXPECT_EQ(MprisSliderFromVolume(MprisVolumeFromSlider(p)), p);
}

TEST(MprisRules, OnlyHttpAndHttpsAddressesAreAccepted)
{
    EXPECT_TRUE(MprisAcceptsUri(QStringLiteral("http://127.0.0.1:8000/live.mp3")));
    EXPECT_TRUE(MprisAcceptsUri(QStringLiteral("HTTPS://radio.example.org/a")));
    for (const char *bad : {"file:///etc/passwd", "/etc/passwd", "ftp://h/x", "http://", "concat:a|b", "data:,x", ""})
        EXPECT_FALSE(MprisAcceptsUri(QString::fromLatin1(bad))) << bad;
}

TEST_F(Mpris, AnOutsideClientReadsTheIdentityAndTheCapabilities)
{
    EXPECT_EQ(get(kRoot, QStringLiteral("Identity")).out, QStringLiteral("s \"Fonolux\""));
    EXPECT_EQ(get(kRoot, QStringLiteral("DesktopEntry")).out, QStringLiteral("s \"fonolux\""));
    EXPECT_EQ(get(kPlayer, QStringLiteral("CanGoNext")).out, QStringLiteral("b false"));
    EXPECT_EQ(get(kPlayer, QStringLiteral("CanSeek")).out, QStringLiteral("b false"));
    EXPECT_EQ(get(kPlayer, QStringLiteral("CanControl")).out, QStringLiteral("b true"));
    EXPECT_EQ(get(kPlayer, QStringLiteral("PlaybackStatus")).out, QStringLiteral("s \"Stopped\""));
    EXPECT_EQ(busctl({QStringLiteral("call"), kService, kPath, kRoot, QStringLiteral("Raise")}).exitCode, 0);
    EXPECT_EQ(log, QStringList{QStringLiteral("raise")});
}

TEST_F(Mpris, CommandsReachThePlayerAndPlayPauseFollowsTheStatus)
{
    EXPECT_EQ(call(QStringLiteral("Play")).exitCode, 0);
    service->setPlaybackStatus(rsPrerecTap1);
    EXPECT_EQ(get(kPlayer, QStringLiteral("PlaybackStatus")).out, QStringLiteral("s \"Playing\""));
    EXPECT_EQ(call(QStringLiteral("PlayPause")).exitCode, 0); // playing: pauses
    service->setPlaybackStatus(rsPlayPaused);
    EXPECT_EQ(call(QStringLiteral("PlayPause")).exitCode, 0); // paused: plays
    EXPECT_EQ(call(QStringLiteral("Pause")).exitCode, 0);
    EXPECT_EQ(call(QStringLiteral("Stop")).exitCode, 0);
    EXPECT_EQ(log, (QStringList{QStringLiteral("play"), QStringLiteral("pause"), QStringLiteral("play"),
                                QStringLiteral("pause"), QStringLiteral("stop")}));
}

TEST_F(Mpris, OpenUriTunesToHttpAndRefusesLocalFilesWithABusError)
{
    EXPECT_EQ(call(QStringLiteral("OpenUri"), {QStringLiteral("s"), QStringLiteral("http://127.0.0.1:8000/live.mp3")}).exitCode, 0);
    const auto refused = call(QStringLiteral("OpenUri"), {QStringLiteral("s"), QStringLiteral("file:///etc/passwd")});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("http"))) << refused.err.toStdString();
    EXPECT_EQ(log, QStringList{QStringLiteral("open http://127.0.0.1:8000/live.mp3")});

    // A tuning the player itself refuses is an error for the client too.
    hooks.openUri = [](const QString &) { return QStringLiteral("busy saving"); };
    service = std::make_unique<MprisService>(hooks);
    ASSERT_TRUE(service->start());
    const auto busy = call(QStringLiteral("OpenUri"), {QStringLiteral("s"), QStringLiteral("https://127.0.0.1/x")});
    EXPECT_NE(busy.exitCode, 0);
    EXPECT_TRUE(busy.err.contains(QStringLiteral("busy saving"))) << busy.err.toStdString();
}

TEST_F(Mpris, VolumeRoundTripsOnTheSliderScaleAndIsClamped)
{
    service->setVolumeFromSlider(-1000);
    EXPECT_EQ(get(kPlayer, QStringLiteral("Volume")).out, QStringLiteral("d 0.75"));
    EXPECT_EQ(busctl({QStringLiteral("set-property"), kService, kPath, kPlayer, QStringLiteral("Volume"),
                      QStringLiteral("d"), QStringLiteral("1.7")}).exitCode, 0);
    EXPECT_EQ(busctl({QStringLiteral("set-property"), kService, kPath, kPlayer, QStringLiteral("Volume"),
                      QStringLiteral("d"), QStringLiteral("0.5")}).exitCode, 0);
    EXPECT_EQ(volumes, (std::vector<double>{1.0, 0.5}));
}

TEST_F(Mpris, ATitleChangeIsSignalledAndReadableAsMetadata)
{
    SignalWatch watch;
    service->setPlaybackStatus(rsPlaying);
    EXPECT_EQ(watch.waitFor(QStringLiteral("PlaybackStatus"), 1000).toString(), QStringLiteral("Playing"));
    QElapsedTimer t;
    t.start();
    service->setNowPlaying(QStringLiteral("Night Song"), QStringLiteral("Demo Station"), QStringLiteral("Local"));
    EXPECT_TRUE(watch.waitFor(QStringLiteral("Metadata"), 1000).isValid());
    EXPECT_LT(t.elapsed(), 1000);
    const auto meta = get(kPlayer, QStringLiteral("Metadata")).out;
    EXPECT_TRUE(meta.contains(QStringLiteral("\"xesam:title\" s \"Night Song\""))) << meta.toStdString();
    EXPECT_TRUE(meta.contains(QStringLiteral("\"xesam:album\" s \"Local\""))) << meta.toStdString();
    EXPECT_TRUE(meta.contains(QStringLiteral("\"xesam:artist\" as 1 \"Demo Station\""))) << meta.toStdString();
    EXPECT_TRUE(meta.contains(QStringLiteral("mpris:trackid"))) << meta.toStdString();
}

TEST(MprisWithoutBus, StartsQuietlyAndDoesNothing)
{
    // A separate process, so that this one's bus stays untouched: no bus address at all.
    testApp();
    if (qEnvironmentVariableIsSet("MPRIS_NO_BUS_CHILD")) {
        MprisService s(MprisHooks{});
        EXPECT_FALSE(s.start());
        s.setPlaybackStatus(rsPlaying);
        s.setNowPlaying(QStringLiteral("t"), QStringLiteral("s"), QStringLiteral("g"));
        return;
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(QStringLiteral("MPRIS_NO_BUS_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir::tempPath() + QStringLiteral("/no-bus-here"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=MprisWithoutBus.StartsQuietlyAndDoesNothing")});
    ASSERT_TRUE(child.waitForFinished(30000)) << child.errorString().toStdString();
    const QByteArray out = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("1 test")) << "the child ran the test: " << out.toStdString();
}

#include "test_mpris.moc"
