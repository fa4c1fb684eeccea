// The scheduler driving the recorder: timers fired through the scheduler step with an injected
// local clock and tick count, tuning and playing a loopback Icecast station, recording it,
// stopping and saving it without a dialog, and the Timers page's handlers.
#include "RecorderTestSupport.h"

#include "AuMedia.h"
#include "IcecastServer.h"
#include "UserStore.h"
#include "VerticalLabel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimeEdit>
#include <QTimer>

#include <chrono>

using testsupport::IcecastServer;

namespace {

// The clocks the window reads in these tests: a local time the test sets, and the real tick
// count plus an offset the test can jump forward (to end a 20-second wait at once).
struct TestClock {
    QDateTime now{QDate(2026, 12, 9), QTime(10, 0, 0)};
    std::uint32_t tickOffset = 0;

    static std::uint32_t realTicks()
    {
        using namespace std::chrono;
        return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
};

bool panelLockedOf(const Talarm &a)
{
    return !a.fplay->isEnabled() && !a.fgenre->isEnabled() && !a.Fstarttime->isEnabled();
}

// The duration ffprobe reads from a file, in seconds; -1 when it cannot.
double probeSeconds(const QString &file)
{
    QProcess p;
    p.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                        QStringLiteral("format=duration"), QStringLiteral("-of"),
                                        QStringLiteral("csv=p=0"), file});
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        return -1;
    bool ok = false;
    const double d = QString::fromUtf8(p.readAllStandardOutput()).trimmed().toDouble(&ok);
    return ok ? d : -1;
}

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TForm1::setTickSource([this] { return TestClock::realTicks() + clock.tickOffset; });
    }
    void TearDown() override
    {
        form.reset();
        TForm1::setTickSource({});
    }

    // A station list with the loopback station first, then the window, shown, with the main
    // timer stopped: the test runs the scheduler step itself.
    void startWindow(const QString &stationUrl)
    {
        env.writeData(QStringLiteral("stations.ini"),
                      (QStringLiteral("[Loopback]\nTone=") + stationUrl +
                       QStringLiteral("\nOther=http://127.0.0.1:9/none.mp3\n[Jazz]\nFirst Jazz=http://jazz.example.com:8000/a\n"
                                      "Second Jazz=http://jazz.example.com:8000/b\n"))
                          .toUtf8());
        form = std::make_unique<TForm1>();
        form->SchedulerNow = [this] { return clock.now; };
        form->cbPreRec->setChecked(false);
        form->show();
        form->Timer1->stop();
    }

    // A one-shot timer i on the loopback station, play mode `play`, armed.
    Talarm &oneShot(int i, int play, std::optional<QTime> start, std::optional<QTime> stop)
    {
        Talarm &a = form->alarms[static_cast<size_t>(i)];
        a.setplay(play);
        a.setgenre(QStringLiteral("Loopback"));
        if (start) {
            a.setstartdate(DateTimeValue::fromQDateTime(clock.now));
            a.setstarttime(DateTimeValue::fromDateTime(clock.now.date(), *start));
            a.setcheckstart(true);
        }
        if (stop) {
            a.setstopdate(DateTimeValue::fromQDateTime(clock.now));
            a.setstoptime(DateTimeValue::fromDateTime(clock.now.date(), *stop));
            a.setcheckstop(true);
        }
        a.chkenbl();
        EXPECT_TRUE(a.fenabled->isEnabled());
        a.setenabled(true);
        EXPECT_TRUE(a.getenabled());
        return a;
    }

    // Runs the scheduler step with the local clock at t.
    void stepAt(const QTime &t)
    {
        clock.now.setTime(t);
        form->SchedulerStep();
    }

    // While fn runs, jumps the tick count 21 s ahead after `afterMs` real milliseconds, so that
    // an automatic stop's 20-second wait ends then.
    template <typename F>
    void withTwentySecondsPassing(int afterMs, F &&fn)
    {
        QTimer jump;
        jump.setSingleShot(true);
        QObject::connect(&jump, &QTimer::timeout, [this] { clock.tickOffset += 21000; });
        jump.start(afterMs);
        fn();
    }

    bool waitForState(TRecState s, int ms = 20000)
    {
        return waitUntil([&] { return form->RecState == s; }, ms);
    }

    FormEnv env;
    TestClock clock;
    std::unique_ptr<TForm1> form;
};

#define REQUIRE_ICECAST(server) ASSERT_TRUE((server).ok()) << (server).problem();

TEST_F(SchedulerTest, AOneShotPlayTimerFiresOnceTunesAndPlaysAndIsDisarmed)
{
    IcecastServer icecast;
    REQUIRE_ICECAST(icecast);
    ASSERT_TRUE(icecast.startSource("/tone.mp3"));
    const QString url = QString::fromStdString(icecast.url("/tone.mp3"));
    startWindow(url);
    Talarm &a = oneShot(0, 2, QTime(10, 5, 0), std::nullopt);
    EXPECT_EQ(a.url, url);
    EXPECT_EQ(a.fenabled->text(), QStringLiteral("Timer Enabled "));

    stepAt(QTime(10, 4, 58, 500));
    EXPECT_EQ(form->RecState, rsIdle);
    EXPECT_TRUE(a.getcheckstart());
    stepAt(QTime(10, 5, 0));
    EXPECT_FALSE(a.getcheckstart()) << "a one-shot start is used up";
    EXPECT_FALSE(a.getenabled()) << "nothing left to do: disarmed";
    EXPECT_EQ(a.fenabled->text(), QStringLiteral("Timer Disabled "));
    EXPECT_EQ(form->cbgnr->currentText(), QStringLiteral("Loopback"));
    EXPECT_EQ(form->ComboBox1->currentText(), QStringLiteral("Tone"));
    ASSERT_TRUE(waitForState(rsPlaying)) << form->Label14->text().toStdString() << " "
                                         << env.messages.join(u'|').toStdString();
    EXPECT_EQ(form->currentStreamUrl(), url);
    // The second look within the moment's two seconds does nothing.
    stepAt(QTime(10, 5, 1, 500));
    QTest::qWait(300);
    EXPECT_EQ(form->RecState, rsPlaying);
    form->PageControl1->setCurrentWidget(form->TabSheet2);
    saveScreenshot(form.get(), QStringLiteral("timers-after-one-shot"));
}

TEST_F(SchedulerTest, ARecordTimerOnThePlayingStationOnlyStartsRecordingAndAStopSavesWithoutADialog)
{
    IcecastServer icecast;
    REQUIRE_ICECAST(icecast);
    ASSERT_TRUE(icecast.startSource("/tone.mp3"));
    const QString url = QString::fromStdString(icecast.url("/tone.mp3"));
    startWindow(url);
    form->saveDialogHook = [] {
        ADD_FAILURE() << "a scheduled stop must not ask for a file name";
        return QString();
    };
    // The user plays the station.
    form->cbgnr->setCurrentIndex(0);
    form->cbgnrChange();
    form->BitBtn1Click();
    ASSERT_TRUE(waitForState(rsPlaying)) << env.messages.join(u'|').toStdString();
    ASSERT_EQ(form->currentStreamUrl(), url);

    Talarm &a = oneShot(1, 1, QTime(10, 5, 0), QTime(10, 5, 6));
    stepAt(QTime(10, 5, 0, 200));
    EXPECT_FALSE(a.getcheckstart());
    EXPECT_TRUE(a.getenabled()) << "the stop is still ahead";
    EXPECT_TRUE(panelLockedOf(a));
    // No reconnection: recording starts at the next level report on the same connection.
    ASSERT_TRUE(waitForState(rsRecordingPlain, 5000));
    EXPECT_FALSE(form->RecordOnFlow);
    for (int s = 2; s < 6; ++s)
        stepAt(QTime(10, 5, s));
    EXPECT_EQ(form->RecState, rsRecordingPlain);
    QTest::qWait(3000); // some seconds of sound

    const std::uint32_t began = TForm1::tickNow();
    QElapsedTimer real;
    real.start();
    withTwentySecondsPassing(1500, [&] { stepAt(QTime(10, 5, 6)); });
    EXPECT_GE(TForm1::tickNow() - began, 20000u) << "an automatic stop lasts 20 s";
    EXPECT_GE(real.elapsed(), 1400);
    EXPECT_EQ(form->RecState, rsIdle);
    EXPECT_FALSE(a.getcheckstop());
    EXPECT_FALSE(a.getenabled());
    EXPECT_FALSE(form->AutoSave);
    const QDir autoSaved(form->path() + QStringLiteral("AutoSaved"));
    const QStringList mp3 = autoSaved.entryList({QStringLiteral("*.mp3")}, QDir::Files);
    ASSERT_EQ(mp3.size(), 1) << autoSaved.path().toStdString();
    EXPECT_GT(QFileInfo(autoSaved.filePath(mp3[0])).size(), 20000);
}

TEST_F(SchedulerTest, TheVolumeLabelTellsWhetherTimerZerosMomentIsNow)
{
    startWindow(QStringLiteral("http://127.0.0.1:9/none.mp3"));
    Talarm &a = form->alarms[0];
    a.setgenre(QStringLiteral("Loopback"));
    a.setcheckrepeat(true);
    a.setrepeat(0);
    a.setstarttime(DateTimeValue::fromDateTime(QDate(2000, 1, 1), QTime(0, 15, 0)));
    // A start date far ahead plays no part for a repeating timer.
    a.setstartdate(DateTimeValue::fromDateTime(QDate(2040, 1, 1), QTime()));
    a.setcheckstart(true);
    ASSERT_TRUE(a.fenabled->isEnabled());
    a.setenabled(true);

    clock.now.setTime(QTime(10, 14, 59));
    form->MMLabel2Click();
    clock.now.setTime(QTime(11, 15, 1));
    form->MMLabel2Click();
    clock.now.setTime(QTime(11, 15, 2));
    emit form->timerPanels[0].volumeLabel->clicked();
    EXPECT_EQ(env.messages,
              (QStringList{QStringLiteral("Not triggered"), QStringLiteral("triggered"), QStringLiteral("Not triggered")}));
}

TEST_F(SchedulerTest, ChangingATimersGenreTakesTheFirstStationsAddress)
{
    startWindow(QStringLiteral("http://127.0.0.1:9/tone.mp3"));
    Talarm &a = form->alarms[2];
    a.fgenre->setCurrentIndex(1);
    emit a.fgenre->activated(1);
    EXPECT_EQ(a.fstation->count(), 2);
    EXPECT_EQ(a.getstation(), QStringLiteral("First Jazz"));
    EXPECT_EQ(a.url, QStringLiteral("http://jazz.example.com:8000/a"));
    a.fstation->setCurrentIndex(1);
    emit a.fstation->activated(1);
    EXPECT_EQ(a.url, QStringLiteral("http://jazz.example.com:8000/b"));
    // A sender that belongs to no timer touches none.
    QComboBox stray;
    stray.setProperty("Tag", 7);
    form->cbognr0Change(&stray);
    form->cbostn0Change(&stray);
    EXPECT_EQ(a.url, QStringLiteral("http://jazz.example.com:8000/b"));
    EXPECT_TRUE(form->alarms[0].url.isEmpty());
}

TEST_F(SchedulerTest, AOneShotForTomorrowEarlierThanNowCannotBeArmedUnlessRepeating)
{
    startWindow(QStringLiteral("http://127.0.0.1:9/tone.mp3"));
    Talarm &a = form->alarms[0];
    a.setgenre(QStringLiteral("Loopback"));
    a.setstartdate(DateTimeValue::fromQDateTime(clock.now.addDays(1)));
    a.setstarttime(DateTimeValue::fromDateTime(QDate(2000, 1, 1), QTime(9, 0, 0)));
    a.setcheckstart(true);
    EXPECT_FALSE(a.fenabled->isEnabled());
    // Later today can be armed.
    a.setstartdate(DateTimeValue::fromQDateTime(clock.now));
    a.setstarttime(DateTimeValue::fromDateTime(QDate(2000, 1, 1), QTime(11, 0, 0)));
    a.chkenbl();
    EXPECT_TRUE(a.fenabled->isEnabled());
    // Back to tomorrow 09:00: only the repeat check makes it valid.
    a.setstartdate(DateTimeValue::fromQDateTime(clock.now.addDays(1)));
    a.setstarttime(DateTimeValue::fromDateTime(QDate(2000, 1, 1), QTime(9, 0, 0)));
    a.chkenbl();
    EXPECT_FALSE(a.fenabled->isEnabled());
    a.setcheckrepeat(true); // the check box's click handler runs chkenbl
    EXPECT_TRUE(a.fenabled->isEnabled());
    // The user's click arms it and locks the panel; a second click opens it again.
    a.fenabled->click();
    EXPECT_TRUE(a.getenabled());
    EXPECT_EQ(a.fenabled->text(), QStringLiteral("Timer Enabled "));
    EXPECT_FALSE(a.fplay->isEnabled());
    a.fenabled->click();
    EXPECT_FALSE(a.getenabled());
    EXPECT_EQ(a.fenabled->text(), QStringLiteral("Timer Disabled "));
    EXPECT_TRUE(a.fplay->isEnabled());
}

TEST_F(SchedulerTest, AMomentFoundWhileATriggerRunsIsCarriedOutAfterItOnce)
{
    startWindow(QStringLiteral("http://127.0.0.1:9/none.mp3"));
    // Timer 0 starts playing at 10:05:00; timer 1 has a stop at 10:05:01, found while timer
    // 0's start still waits.
    Talarm &a = oneShot(0, 2, QTime(10, 5, 0), std::nullopt);
    Talarm &b = oneShot(1, 2, std::nullopt, QTime(10, 5, 1));
    bool bStopWasStillSetInside = false;
    bool nestedRan = false;
    QTimer::singleShot(0, form.get(), [&] {
        // Runs inside timer 0's trig (its waits process events).
        nestedRan = true;
        stepAt(QTime(10, 5, 1));
        bStopWasStillSetInside = b.getcheckstop();
    });
    withTwentySecondsPassing(200, [&] { stepAt(QTime(10, 5, 0)); });
    EXPECT_TRUE(nestedRan);
    EXPECT_TRUE(bStopWasStillSetInside) << "the second trigger must wait for the first";
    EXPECT_FALSE(a.getcheckstart());
    EXPECT_FALSE(b.getcheckstop()) << "the waiting stop was carried out";
    EXPECT_FALSE(form->trigSequencer.running());
    EXPECT_EQ(form->trigSequencer.waiting(), 0u);
}

TEST_F(SchedulerTest, EndToEndAOneShotRecordTimerOnTheRealClockLeavesOneMp3)
{
    IcecastServer icecast;
    REQUIRE_ICECAST(icecast);
    ASSERT_TRUE(icecast.startSource("/tone.mp3"));
    TForm1::setTickSource({});
    startWindow(QString::fromStdString(icecast.url("/tone.mp3")));
    form->SchedulerNow = [] { return QDateTime::currentDateTime(); };
    form->Timer1->start();

    // Whole seconds, two to three seconds ahead; the stop six seconds after the start.
    QDateTime start = QDateTime::currentDateTime().addSecs(3);
    start.setTime(QTime(start.time().hour(), start.time().minute(), start.time().second()));
    const QDateTime stop = start.addSecs(6);
    if (stop.date() != QDateTime::currentDateTime().date())
        GTEST_SKIP() << "too close to midnight for a one-shot timer on today's date";
    Talarm &a = form->alarms[0];
    a.setplay(1);
    a.setgenre(QStringLiteral("Loopback"));
    a.setstartdate(DateTimeValue::fromQDateTime(start));
    a.setstarttime(DateTimeValue::fromQDateTime(start));
    a.setstopdate(DateTimeValue::fromQDateTime(stop));
    a.setstoptime(DateTimeValue::fromQDateTime(stop));
    a.setcheckstart(true);
    a.setcheckstop(true);
    ASSERT_TRUE(a.fenabled->isEnabled());
    a.fenabled->click();
    ASSERT_TRUE(a.getenabled());

    // The automatic stop runs inside a tick of the main timer and processes events while it
    // waits, so the moments are noted by a watcher that runs among those events.
    QElapsedTimer real;
    real.start();
    qint64 recordingBegan = -1, recordingEnded = -1;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (recordingBegan < 0 && form->RecState == rsRecordingPlain)
            recordingBegan = real.elapsed();
        if (recordingBegan >= 0 && recordingEnded < 0 && form->RecState != rsRecordingPlain)
            recordingEnded = real.elapsed();
    });
    watcher.start(5);
    ASSERT_TRUE(waitUntil([&] { return recordingEnded >= 0; }, 30000))
        << form->Label14->text().toStdString() << " " << env.messages.join(u'|').toStdString();
    // The stop's trigger, and with it the automatic stop, has ended.
    ASSERT_TRUE(waitUntil([&] { return !form->trigSequencer.running() && form->RecState == rsIdle; }, 40000));
    EXPECT_GE(real.elapsed() - recordingEnded, 19000) << "the automatic stop lasts 20 s";

    const QDir autoSaved(form->path() + QStringLiteral("AutoSaved"));
    const QStringList mp3 = autoSaved.entryList({QStringLiteral("*.mp3")}, QDir::Files);
    ASSERT_EQ(mp3.size(), 1);
    const double seconds = probeSeconds(autoSaved.filePath(mp3[0]));
    const double expected = (recordingEnded - recordingBegan) / 1000.0;
    EXPECT_NEAR(seconds, expected, 1.5) << "recorded for about " << expected << " s";
    EXPECT_FALSE(a.getenabled());
    EXPECT_FALSE(a.getcheckstart());
    EXPECT_FALSE(a.getcheckstop());
}

} // namespace
