// The recorder window on the desktop's session bus, driven by busctl and watched by dbus-monitor
// as outside clients, with a loopback Icecast station and SDL's disk driver: what the desktop's
// player controls do to the window and what they are shown of it. Every test runs under a
// session bus of its own (the test command starts it with dbus-run-session).
#include "Mpris.h"
#include "ReceiveTestSupport.h"
#include "ScriptedServer.h"
#include "StreamTestKit.h"

#include "AuSoundOut.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSlider>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

const QString kService = QString::fromLatin1(MprisService::ServiceName);
const QString kPath = QString::fromLatin1(MprisService::ObjectPath);
const QString kPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kRoot = QStringLiteral("org.mpris.MediaPlayer2");

struct BusctlResult {
    int exitCode = -1;
    QString out, err;
};

// Runs busctl --user while this process goes on answering the bus.
BusctlResult busctl(const QStringList &args)
{
    QProcess p;
    // "--": a negative number is a value, not an option.
    p.start(QStringLiteral("busctl"), QStringList{QStringLiteral("--user"), QStringLiteral("--")} + args);
    if (!p.waitForStarted(5000))
        return {-1, QString(), QStringLiteral("busctl did not start: ") + p.errorString()};
    waitUntil([&] { return p.state() == QProcess::NotRunning; }, 15000);
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()).trimmed(),
            QString::fromUtf8(p.readAllStandardError()).trimmed()};
}

BusctlResult call(const QString &method, const QStringList &args = {}, const QString &iface = kPlayer)
{
    return busctl(QStringList{QStringLiteral("call"), kService, kPath, iface, method} + args);
}

QString property(const QString &name, const QString &iface = kPlayer)
{
    return busctl({QStringLiteral("get-property"), kService, kPath, iface, name}).out;
}

BusctlResult setVolume(const QString &value)
{
    return busctl({QStringLiteral("set-property"), kService, kPath, kPlayer, QStringLiteral("Volume"),
                   QStringLiteral("d"), value});
}

QString status()
{
    return property(QStringLiteral("PlaybackStatus"));
}

// The environment a started fonolux runs in: this test's home for its data and settings, a
// private runtime folder (owner-only, as the desktop makes it) and no display.
QProcessEnvironment programEnvironment(FormEnv &env, const testsupport::TempDir &runtime)
{
    QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
    pe.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime.path().string()));
    pe.insert(QStringLiteral("XDG_DATA_HOME"), env.home());
    pe.insert(QStringLiteral("XDG_CONFIG_HOME"), env.home());
    pe.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QFile::setPermissions(QString::fromStdString(runtime.path().string()),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return pe;
}

// dbus-monitor printing every PropertiesChanged signal of the player's object.
class Monitor {
public:
    Monitor()
    {
        p.start(QStringLiteral("dbus-monitor"),
                {QStringLiteral("--session"),
                 QStringLiteral("type='signal',interface='org.freedesktop.DBus.Properties',"
                                "member='PropertiesChanged',path='/org/mpris/MediaPlayer2'")});
        started = p.waitForStarted(5000);
        // It prints its own connection's greeting once it listens.
        waitUntil([&] { return read().contains("NameLost") || text.contains("NameAcquired"); }, 3000);
    }
    ~Monitor()
    {
        p.kill();
        p.waitForFinished(5000);
    }
    const QByteArray &read()
    {
        text += p.readAllStandardOutput();
        return text;
    }
    // Whether a signal after position `from` carried needle.
    bool saw(const QByteArray &needle, qsizetype from = 0) { return read().indexOf(needle, from) >= 0; }

    QProcess p;
    bool started = false;
    QByteArray text;
};

class DesktopBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        testApp();
        ASSERT_TRUE(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
            << "no session bus: the test runs under dbus-run-session";
    }
    void startWindow(bool captureSound = false)
    {
        e = std::make_unique<ReceiveEnv>(captureSound);
        ASSERT_TRUE(e->form->startDesktopBus());
        ASSERT_EQ(property(QStringLiteral("Identity"), kRoot), QStringLiteral("s \"Fonolux\""));
    }
    bool statusBecomes(const QString &expected, int timeoutMs = 20000)
    {
        const QString want = QStringLiteral("s \"%1\"").arg(expected);
        return waitUntil([&] { return status() == want; }, timeoutMs);
    }
    std::unique_ptr<ReceiveEnv> e;
};

} // namespace

TEST_F(DesktopBus, OpenUriPlaysTheStationAndPlayPauseStopActAsTheRadioPagesButtons)
{
    Station station;
    REQUIRE_STATION(station);
    startWindow(true);
    TForm1 &f = *e->form;

    // Nothing plays: pausing and stopping do nothing.
    EXPECT_EQ(call(QStringLiteral("Pause")).exitCode, 0);
    EXPECT_EQ(call(QStringLiteral("Stop")).exitCode, 0);
    f.WaitPumping(300);
    EXPECT_EQ(f.RecState, rsIdle);
    EXPECT_EQ(status(), QStringLiteral("s \"Stopped\""));

    // OpenUri tunes to the address as a typed station and receives it.
    const BusctlResult opened = call(QStringLiteral("OpenUri"), {QStringLiteral("s"), station.url()});
    ASSERT_EQ(opened.exitCode, 0) << opened.err.toStdString();
    ASSERT_TRUE(statusBecomes(QStringLiteral("Playing")));
    EXPECT_EQ(f.RecState, rsPlaying);
    EXPECT_EQ(f.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(f.ComboBox1->currentText(), station.url());
    EXPECT_EQ(f.statusPanelText(), station.url());
    ASSERT_TRUE(waitUntil([&] { return e->disk->Played().size() > 32000u * 4u * 2u; }, 15000));
    {
        const std::vector<std::uint8_t> bytes = e->disk->Played();
        const std::size_t first = testsupport::FirstSound(bytes, 4, 0);
        ASSERT_LT(first + 32000u * 4u, bytes.size()) << "the output carried no sound";
        std::vector<std::int16_t> pcm((bytes.size() - first) / 2);
        std::memcpy(pcm.data(), bytes.data() + first, pcm.size() * 2);
        EXPECT_NEAR(testsupport::ToneHz(pcm, 2, 32000), 440.0, 5.0);
    }

    // Pause and PlayPause go through the pause button: the output pauses and resumes.
    ASSERT_TRUE(e->levelReports(2));
    EXPECT_EQ(call(QStringLiteral("Pause")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Paused")));
    EXPECT_EQ(f.RecState, rsPlayPaused);
    EXPECT_EQ(f.DXAudioOut1->Status(), tosPaused);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Play Paused"));
    EXPECT_EQ(call(QStringLiteral("PlayPause")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Playing")));
    EXPECT_EQ(f.DXAudioOut1->Status(), tosPlaying);
    ASSERT_TRUE(e->levelReports(2));
    EXPECT_EQ(call(QStringLiteral("PlayPause")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Paused")));

    // Stop from a paused playback: resumed first, as the Receive button is off while paused.
    EXPECT_EQ(call(QStringLiteral("Stop")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Stopped")));
    EXPECT_TRUE(waitUntil([&] { return f.RecState == rsIdle && f.DXAudioOut1->Status() == tosIdle; }, 10000));
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Idle"));
    EXPECT_TRUE(f.ComboBox1->isEnabled());

    // Play receives the station in the box again: the address OpenUri left there.
    EXPECT_EQ(call(QStringLiteral("Play")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Playing")));
    EXPECT_EQ(f.statusPanelText(), station.url());

    // OpenUri while a station plays: that one stops and the new address plays.
    testsupport::SourceOptions other;
    other.toneHz = 660;
    ASSERT_TRUE(station.server.startSource("/other.mp3", other));
    const QString otherUrl = QString::fromStdString(station.server.url("/other.mp3"));
    ASSERT_TRUE(e->levelReports(2));
    EXPECT_EQ(call(QStringLiteral("OpenUri"), {QStringLiteral("s"), otherUrl}).exitCode, 0);
    ASSERT_TRUE(waitUntil([&] { return f.statusPanelText() == otherUrl && f.RecState == rsPlaying; }, 20000));
    const std::size_t from = e->disk->Played().size();
    ASSERT_TRUE(waitUntil([&] { return e->disk->Played().size() > from + 32000u * 4u * 2u; }, 15000));
    {
        const std::vector<std::uint8_t> bytes = e->disk->Played();
        // The last second: the new station's tone only.
        std::vector<std::int16_t> pcm(32000u * 2u);
        std::memcpy(pcm.data(), bytes.data() + bytes.size() - pcm.size() * 2, pcm.size() * 2);
        EXPECT_NEAR(testsupport::ToneHz(pcm, 2, 32000), 660.0, 5.0);
    }
    EXPECT_EQ(call(QStringLiteral("Stop")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Stopped")));
}

// Stop from the desktop while a slow station connects: the connect gives up and nothing plays.
TEST_F(DesktopBus, StopWhileAStationConnectsGivesTheConnectUp)
{
    testsupport::TempDir dir;
    const auto body = std::make_shared<const std::vector<std::uint8_t>>(testsupport::MakeMp3(dir, 10));
    // Each answer comes after a second; then a good MP3 stream, so only the stop keeps it silent.
    using testsupport::ScriptedServer;
    ScriptedServer slow([body](int s, ScriptedServer &server) {
        ScriptedServer::readRequest(s);
        for (int i = 0; i < 100 && !server.stopping(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
        ScriptedServer::sendAll(s, body->data(), body->size());
    });
    startWindow();
    TForm1 &f = *e->form;
    e->tune(QString::fromStdString(slow.url()));
    BusctlResult stop;
    QTimer::singleShot(300, &f, [&] { stop = call(QStringLiteral("Stop")); });
    f.BitBtn1Click();
    EXPECT_EQ(stop.exitCode, 0) << stop.err.toStdString();
    EXPECT_EQ(f.RecState, rsIdle);
    f.WaitPumping(500);
    EXPECT_EQ(f.RecState, rsIdle);
    EXPECT_EQ(f.DXAudioOut1->Status(), tosIdle);
    EXPECT_EQ(status(), QStringLiteral("s \"Stopped\""));
    EXPECT_TRUE(f.BitBtn1->isEnabled());
}

TEST_F(DesktopBus, ARunningRecordingIsNeitherStoppedNorPausedNorRetunedFromTheBus)
{
    Station station;
    REQUIRE_STATION(station);
    startWindow();
    TForm1 &f = *e->form;
    const QString target = e->env.home() + QStringLiteral("/kept.mp3");
    f.saveDialogHook = [&] { return target; };
    e->tune(station.url());
    ASSERT_TRUE(e->receive());
    ASSERT_TRUE(e->levelReports(2));
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    EXPECT_EQ(status(), QStringLiteral("s \"Playing\""));

    // The Receive and pause buttons are off while recording: so are Stop, Pause and PlayPause.
    for (const QString &method : {QStringLiteral("Stop"), QStringLiteral("Pause"), QStringLiteral("PlayPause")})
        EXPECT_EQ(call(method).exitCode, 0) << method.toStdString();
    const BusctlResult retune =
        call(QStringLiteral("OpenUri"), {QStringLiteral("s"), QStringLiteral("http://127.0.0.1:1/other.mp3")});
    EXPECT_NE(retune.exitCode, 0);
    EXPECT_TRUE(retune.err.contains(QStringLiteral("recording"))) << retune.err.toStdString();
    f.WaitPumping(1000);
    EXPECT_EQ(f.RecState, rsRecordingPlain);
    EXPECT_EQ(f.ComboBox1->currentText(), station.url());

    // The recording ends and is saved as the Record button does it.
    f.RecordButtonClick();
    EXPECT_EQ(f.lastSaveName(), target);
    EXPECT_TRUE(QFileInfo(target).size() > 0);
    EXPECT_TRUE(statusBecomes(QStringLiteral("Playing")));
}

TEST_F(DesktopBus, ATitleChangedAtTheStationArrivesInMetadataWithASignalWithinASecond)
{
    Station station;
    REQUIRE_STATION(station);
    startWindow();
    TForm1 &f = *e->form;
    e->tune(station.url(), QStringLiteral("Tones"));
    EXPECT_EQ(call(QStringLiteral("Play")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Playing")));

    // Station and genre as the window connected them.
    QString meta;
    ASSERT_TRUE(waitUntil([&] {
        meta = property(QStringLiteral("Metadata"));
        return meta.contains(QStringLiteral("\"xesam:album\" s \"Tones\""));
    }, 5000)) << meta.toStdString();
    EXPECT_TRUE(meta.contains(QStringLiteral("\"xesam:artist\" as 1 \"%1\"").arg(station.url()))) << meta.toStdString();
    const QRegularExpression trackId(QStringLiteral("\"mpris:trackid\" o \"([^\"]+)\""));
    const QString firstTrack = trackId.match(meta).captured(1);
    EXPECT_FALSE(firstTrack.isEmpty()) << meta.toStdString();

    Monitor monitor;
    ASSERT_TRUE(monitor.started) << "dbus-monitor did not start";
    const qsizetype before = monitor.read().size();
    ASSERT_TRUE(station.server.setTitle(station.mount, "Night Song"));
    // When the window's input first has the new title, and when the bus carried it.
    QElapsedTimer clock;
    clock.start();
    qint64 arrived = -1, signalled = -1;
    waitUntil([&] {
        if (arrived < 0 && f.WMStreamedIn1->StreamTitle() == u"Night Song")
            arrived = clock.elapsed();
        if (signalled < 0 && monitor.saw("Night Song", before))
            signalled = clock.elapsed();
        return arrived >= 0 && signalled >= 0;
    }, 20000);
    ASSERT_GE(arrived, 0) << "the station's new title never reached the input";
    ASSERT_GE(signalled, 0) << "no PropertiesChanged carried the title:\n" << monitor.text.toStdString();
    EXPECT_LT(signalled - arrived, 1000);

    meta = property(QStringLiteral("Metadata"));
    EXPECT_TRUE(meta.contains(QStringLiteral("\"xesam:title\" s \"Night Song\""))) << meta.toStdString();
    EXPECT_NE(trackId.match(meta).captured(1), firstTrack) << "a new title is a new track";

    // Stopping empties what is shown.
    EXPECT_EQ(call(QStringLiteral("Stop")).exitCode, 0);
    ASSERT_TRUE(statusBecomes(QStringLiteral("Stopped")));
    meta = property(QStringLiteral("Metadata"));
    EXPECT_FALSE(meta.contains(QStringLiteral("xesam:title"))) << meta.toStdString();
}

TEST_F(DesktopBus, VolumeFollowsThePlaybackSliderBothWaysAndIsClamped)
{
    startWindow();
    TForm1 &f = *e->form;
    f.Slider->setValue(0);

    EXPECT_EQ(setVolume(QStringLiteral("0.5")).exitCode, 0);
    EXPECT_EQ(f.Slider->value(), -2000);
    EXPECT_EQ(f.DXAudioOut1->Volume(), -2000);
    EXPECT_EQ(property(QStringLiteral("Volume")), QStringLiteral("d 0.5"));
    EXPECT_EQ(setVolume(QStringLiteral("1.7")).exitCode, 0);
    EXPECT_EQ(f.Slider->value(), 0);
    EXPECT_EQ(property(QStringLiteral("Volume")), QStringLiteral("d 1"));
    EXPECT_EQ(setVolume(QStringLiteral("-3")).exitCode, 0);
    EXPECT_EQ(f.Slider->value(), -4000);
    EXPECT_EQ(property(QStringLiteral("Volume")), QStringLiteral("d 0"));

    // The slider moved in the window: the bus is told.
    Monitor monitor;
    ASSERT_TRUE(monitor.started);
    const qsizetype before = monitor.read().size();
    f.Slider->setValue(-1000);
    EXPECT_TRUE(waitUntil([&] { return monitor.saw("0.75", before); }, 3000)) << monitor.text.toStdString();
    EXPECT_EQ(property(QStringLiteral("Volume")), QStringLiteral("d 0.75"));
}

TEST_F(DesktopBus, OpenUriRefusesLocalFilesWithABusErrorAndRaiseShowsTheWindow)
{
    startWindow();
    TForm1 &f = *e->form;
    const QString before = f.ComboBox1->currentText();
    for (const QString &uri : {QStringLiteral("file:///etc/passwd"), QStringLiteral("/etc/passwd"),
                               QStringLiteral("concat:/etc/passwd|/etc/hosts")}) {
        const BusctlResult r = call(QStringLiteral("OpenUri"), {QStringLiteral("s"), uri});
        EXPECT_NE(r.exitCode, 0) << uri.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("Only http and https"))) << r.err.toStdString();
    }
    f.WaitPumping(300);
    EXPECT_EQ(f.RecState, rsIdle);
    EXPECT_EQ(f.ComboBox1->currentText(), before);

    // An address nobody answers is tried as the Receive button would, and ends stopped.
    const QString dead = QStringLiteral("http://127.0.0.1:1/none.mp3");
    EXPECT_EQ(call(QStringLiteral("OpenUri"), {QStringLiteral("s"), dead}).exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return f.ComboBox1->currentText() == dead; }, 5000));
    EXPECT_TRUE(waitUntil([&] { return f.RecState == rsIdle && f.BitBtn1->isEnabled(); }, 20000));
    EXPECT_EQ(status(), QStringLiteral("s \"Stopped\""));

    f.show();
    f.setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(f.isMinimized());
    EXPECT_EQ(call(QStringLiteral("Raise"), {}, kRoot).exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return !f.isMinimized(); }, 5000));
}

TEST_F(DesktopBus, OfTwoProgramsOnOneBusTheFirstKeepsTheNameAndQuitEndsIt)
{
    FormEnv env;
    testsupport::TempDir runtime;
    const QProcessEnvironment pe = programEnvironment(env, runtime);

    QProcess first;
    first.setProcessEnvironment(pe);
    first.start(QStringLiteral(FONOLUX_BIN), {});
    ASSERT_TRUE(first.waitForStarted(5000));
    const QString owner = QStringLiteral("PID=%1").arg(first.processId());
    auto ownerStatus = [] { return busctl({QStringLiteral("status"), kService}); };
    ASSERT_TRUE(waitUntil([&] { return ownerStatus().out.contains(owner); }, 20000))
        << "the program did not publish itself: " << first.readAllStandardError().toStdString();

    QProcess second;
    second.setProcessEnvironment(pe);
    second.start(QStringLiteral(FONOLUX_BIN), {});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_TRUE(ownerStatus().out.contains(owner));

    EXPECT_EQ(call(QStringLiteral("Raise"), {}, kRoot).exitCode, 0);
    EXPECT_EQ(property(QStringLiteral("CanQuit"), kRoot), QStringLiteral("b true"));
    EXPECT_EQ(call(QStringLiteral("Quit"), {}, kRoot).exitCode, 0);
    const bool ended = waitUntil([&] { return first.state() == QProcess::NotRunning; }, 20000);
    if (!ended) {
        first.kill();
        first.waitForFinished(5000);
    }
    ASSERT_TRUE(ended) << "Quit did not end the program";
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_NE(ownerStatus().exitCode, 0) << "the name outlived the program";
}

TEST_F(DesktopBus, WithoutASessionBusTheProgramRunsAndSaysNothingOfIt)
{
    FormEnv env;
    testsupport::TempDir runtime;
    QProcessEnvironment pe = programEnvironment(env, runtime);
    pe.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));

    QProcess program;
    program.setProcessEnvironment(pe);
    program.start(QStringLiteral(FONOLUX_BIN), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    // Up and past the start once its settings folder exists and a moment has passed.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(env.dataFolder() + QStringLiteral("Fonolux.INI")); }, 20000));
    waitUntil([] { return false; }, 1500);
    EXPECT_EQ(program.state(), QProcess::Running);
    program.terminate();
    if (!program.waitForFinished(10000)) {
        program.kill();
        program.waitForFinished(5000);
    }
    const QString said = QString::fromUtf8(program.readAllStandardError() + program.readAllStandardOutput());
    EXPECT_FALSE(said.contains(QStringLiteral("bus"), Qt::CaseInsensitive)) << said.toStdString();
}
