// The recorder's pure rules: the layout table, the stall decision, the clocks, recording files
// and the automatic save's numbering.
#include "ButtonPictures.h"
#include "RecorderRules.h"

#include <QApplication>
#include <QToolButton>

#include <QSet>

#include <gtest/gtest.h>

// What the layouts promise the user, state by state, rather than the table itself: Receive
// stops whatever receives, a recording can only be stopped from its own button, the station
// and folder controls are for the idle window only, and paused states keep Set Up closed.
TEST(StateLayout, EachStateOffersOnlyWhatItCanDo)
{
    using S = TSwitch;
    const TRecState receiving[] = {rsPlaying, rsPrerecStart, rsPrerecTap2, rsPrerecTap1};
    for (TRecState s : receiving) {
        const TStateLayout l = StateLayout(s);
        EXPECT_EQ(l.BitBtn1, S::On);
        EXPECT_EQ(l.BitBtn1Picture, bpStop);
        EXPECT_EQ(l.RecordButton, S::On);
        EXPECT_EQ(l.RecordPicture, bpRecord);
        EXPECT_EQ(l.PauseRecordButton, S::Off) << "nothing to pause before a recording";
        EXPECT_EQ(l.Status, s == rsPlaying ? QStringLiteral("Playing") : QStringLiteral("Pre-Recording"));
    }
    for (TRecState s : {rsRecording, rsRecordingPlain}) {
        const TStateLayout l = StateLayout(s);
        EXPECT_EQ(l.BitBtn1, S::Off) << "a recording is not stopped by Receive";
        EXPECT_EQ(l.BitBtn2, S::Off);
        EXPECT_EQ(l.RecordPicture, bpStopRecording);
        EXPECT_EQ(l.PauseRecordButton, S::On);
        EXPECT_EQ(l.Status, QStringLiteral("Recording"));
    }
    const TStateLayout idle = StateLayout(rsIdle);
    EXPECT_EQ(idle.BitBtn1Picture, bpStart);
    EXPECT_EQ(idle.RecordButton, S::Off);
    EXPECT_EQ(idle.SetUpPage, S::On);
    EXPECT_EQ(idle.Status, QStringLiteral("Idle"));
    const TStateLayout paused = StateLayout(rsPlayPaused), recPaused = StateLayout(rsRecordPaused);
    EXPECT_EQ(paused.BitBtn2Picture, bpStart) << "Pause resumes";
    EXPECT_EQ(recPaused.PauseRecordPicture, bpRecord) << "Pause Recording resumes";
    EXPECT_EQ(paused.Status, QStringLiteral("Play Paused"));
    EXPECT_EQ(recPaused.Status, QStringLiteral("Recording Paused"));
    for (const TStateLayout &l : {paused, recPaused}) {
        EXPECT_EQ(l.SetUpPage, S::Off);
        EXPECT_EQ(l.BitBtn1Picture, bpStartDisabled);
    }
    for (TRecState s : {rsPlaying, rsPrerecStart, rsPrerecTap2, rsPrerecTap1, rsRecording, rsRecordingPlain, rsIdle,
                        rsPlayPaused, rsRecordPaused}) {
        const TStateLayout l = StateLayout(s);
        EXPECT_TRUE(l.Applies) << s;
        EXPECT_EQ(l.btnStop, S::On) << s;
        EXPECT_EQ(l.IdleControls, s == rsIdle ? S::On : S::Off) << s;
    }
    for (int s : {5, 7, 8, 12, 13}) {
        const TStateLayout l = StateLayout(static_cast<TRecState>(s));
        EXPECT_FALSE(l.Applies) << s;
        EXPECT_TRUE(l.Status.isEmpty());
    }
}

TEST(StallWatch, MutesAfter700msRestartsAfter30sAndNeverTouchesARecording)
{
    EXPECT_TRUE(IsAudioFlowing(1000, 301));
    EXPECT_FALSE(IsAudioFlowing(1000, 300));
    // Tick counts wrap round at 32 bits.
    EXPECT_TRUE(IsAudioFlowing(100, 0xFFFFFF00u));

    for (TRecState s : {rsPlaying, rsPrerecStart, rsPrerecTap2, rsPrerecTap1, rsRecordPaused}) {
        SCOPED_TRACE(static_cast<int>(s));
        EXPECT_EQ(StallAction(s, 699), TStallAction::Unmute);
        EXPECT_EQ(StallAction(s, 700), TStallAction::Mute);
        EXPECT_EQ(StallAction(s, 30000), TStallAction::Mute);
        EXPECT_EQ(StallAction(s, 30001), TStallAction::MuteAndRestart);
    }
    // A restart under way is muted, not restarted once more.
    EXPECT_EQ(StallAction(rsRestarting, 60000), TStallAction::Mute);
    // After three restarts that brought no sound it gives up, but never on a paused recording.
    EXPECT_EQ(StallAction(rsPlaying, 30001, StallRestartLimit - 1), TStallAction::MuteAndRestart);
    EXPECT_EQ(StallAction(rsPrerecTap1, 30001, StallRestartLimit), TStallAction::GiveUp);
    EXPECT_EQ(StallAction(rsRecordPaused, 30001, StallRestartLimit), TStallAction::MuteAndRestart);
    for (TRecState s : {rsRecording, rsRecordingPlain, rsIdle, rsPlayPaused, rsClosing})
        EXPECT_EQ(StallAction(s, 100000), TStallAction::None) << static_cast<int>(s);
}

TEST(Clock, CarriesOneSecondPerTickIntoMinutesAndHoursAndKeepsCountingPastADay)
{
    std::uint32_t ms = 999, s = 59, m = 59, base = 5, h = 0;
    ClockCarry(ms, s, m, base, h, 7000);
    EXPECT_EQ(base, 5u);
    EXPECT_EQ(s, 59u);
    ms = 2500; // a late tick still adds one second only
    ClockCarry(ms, s, m, base, h, 7000);
    EXPECT_EQ(ms, 0u);
    EXPECT_EQ(base, 7000u);
    EXPECT_EQ(s, 0u);
    EXPECT_EQ(m, 0u);
    EXPECT_EQ(h, 1u);

    EXPECT_EQ(ClockText(0, 0, 0), QStringLiteral("0:00:00"));
    EXPECT_EQ(ClockText(23, 59, 59), QStringLiteral("23:59:59"));
    EXPECT_EQ(ClockText(24, 0, 1), QStringLiteral("24:00:01"));
    EXPECT_EQ(ClockText(100, 0, 0), QStringLiteral("100:00:00"));

    // Driven tick by tick: a second shows after at least 1000 ms.
    TClock c;
    c.BaseTick = 1000;
    EXPECT_EQ(AdvanceClock(c, 1999), QStringLiteral("0:00:00"));
    EXPECT_EQ(AdvanceClock(c, 2000), QStringLiteral("0:00:01"));
    EXPECT_EQ(AdvanceClock(c, 2050), QStringLiteral("0:00:01"));
    c.Hours = 23;
    c.Minutes = 59;
    c.Seconds = 59;
    EXPECT_EQ(AdvanceClock(c, 3000), QStringLiteral("24:00:00"));
}

TEST(RecordingFiles, OlderAndCurrentByTheStateTheRecordingBeganIn)
{
    const QString t0 = QStringLiteral("/w/temp0.wma"), t1 = QStringLiteral("/w/temp1.wma");
    EXPECT_EQ(RecordingFiles(1, t0, t1).Older, QString());
    EXPECT_EQ(RecordingFiles(1, t0, t1).Current, t0);
    EXPECT_EQ(RecordingFiles(2, t0, t1).Older, t0);
    EXPECT_EQ(RecordingFiles(2, t0, t1).Current, t1);
    EXPECT_EQ(RecordingFiles(3, t0, t1).Older, t1);
    EXPECT_EQ(RecordingFiles(3, t0, t1).Current, t0);
}

TEST(AutoSaveName, TakesTheFirstFreeNumber)
{
    QSet<QString> files;
    auto exists = [&](const QString &f) { return files.contains(f); };
    const QString dir = QStringLiteral("/w/AutoSaved/");
    EXPECT_EQ(AutoSaveName(dir, exists), dir + QStringLiteral("autosave0.mp3"));
    files << dir + QStringLiteral("autosave0.mp3") << dir + QStringLiteral("autosave1.mp3");
    EXPECT_EQ(AutoSaveName(dir, exists), dir + QStringLiteral("autosave2.mp3"));
    files.remove(dir + QStringLiteral("autosave0.mp3"));
    EXPECT_EQ(AutoSaveName(dir, exists), dir + QStringLiteral("autosave0.mp3"));
}

TEST(ButtonPictures, StateChangesReuseTheSameIconsSoNoNewPixmapsPileUp)
{
    int argc = 1;
    char name[] = "pictures";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QToolButton button;
    setButtonPicture(&button, bpStart);
    const qint64 start = button.icon().cacheKey();
    // A pre-recording switch sets the pictures again and again: each time the same icon.
    for (int i = 0; i < 50; ++i) {
        setButtonPicture(&button, bpPause);
        setButtonPicture(&button, bpStart);
    }
    EXPECT_EQ(button.icon().cacheKey(), start);
    EXPECT_EQ(button.property("picture").toInt(), 0) << "the stored number is the picture's place in the list";
    setButtonPicture(&button, bpStopRecording);
    EXPECT_EQ(button.icon().cacheKey(), buttonPicture(bpStopRecording).cacheKey());
    EXPECT_NE(button.icon().cacheKey(), start);
    EXPECT_TRUE(buttonPicture(bpKeep).isNull());
}
