// The recorder's pure rules: the layout table, the stall decision, the clocks, recording files
// and the automatic save's numbering.
#include "ButtonPictures.h"
#include "RecorderRules.h"

#include <QApplication>
#include <QToolButton>

#include <QSet>

#include <gtest/gtest.h>

TEST(StateLayout, EveryStateOfTheTable)
{
    using S = TSwitch;
    struct Row {
        TRecState s;
        S bitBtn1, bitBtn2, record, pauseRecord, idle, setUp;
        int pic1, pic2, picRec, picPause;
        const char *status;
    };
    const Row rows[] = {
        {rsPlaying, S::On, S::On, S::On, S::Off, S::Off, S::Keep, 2, 4, 1, 8, "Playing"},
        {rsPrerecStart, S::On, S::On, S::On, S::Off, S::Off, S::Keep, 2, 4, 1, 8, "Pre-Recording"},
        {rsPrerecTap2, S::On, S::On, S::On, S::Off, S::Off, S::Keep, 2, 4, 1, 8, "Pre-Recording"},
        {rsPrerecTap1, S::On, S::On, S::On, S::Off, S::Off, S::Keep, 2, 4, 1, 8, "Pre-Recording"},
        {rsRecording, S::Off, S::Off, S::On, S::On, S::Off, S::Keep, 2, 8, 3, 5, "Recording"},
        {rsRecordingPlain, S::Off, S::Off, S::On, S::On, S::Off, S::Keep, 2, 8, 3, 5, "Recording"},
        {rsIdle, S::On, S::Off, S::Off, S::Off, S::On, S::On, 0, 8, 9, 8, "Idle"},
        {rsPlayPaused, S::Off, S::On, S::Off, S::Off, S::Off, S::Off, 6, 0, 9, 8, "Play Paused"},
        {rsRecordPaused, S::Off, S::Off, S::Off, S::On, S::Off, S::Off, 6, 8, 9, 1, "Recording Paused"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(static_cast<int>(r.s));
        const TStateLayout l = StateLayout(r.s);
        EXPECT_TRUE(l.Applies);
        EXPECT_EQ(l.btnStop, S::On);
        EXPECT_EQ(l.BitBtn1, r.bitBtn1);
        EXPECT_EQ(l.BitBtn2, r.bitBtn2);
        EXPECT_EQ(l.RecordButton, r.record);
        EXPECT_EQ(l.PauseRecordButton, r.pauseRecord);
        EXPECT_EQ(l.IdleControls, r.idle);
        EXPECT_EQ(l.SetUpPage, r.setUp);
        EXPECT_EQ(l.BitBtn1Picture, r.pic1);
        EXPECT_EQ(l.BitBtn2Picture, r.pic2);
        EXPECT_EQ(l.RecordPicture, r.picRec);
        EXPECT_EQ(l.PauseRecordPicture, r.picPause);
        EXPECT_EQ(l.Status, QString::fromLatin1(r.status));
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
    setButtonPicture(&button, 0);
    const qint64 start = button.icon().cacheKey();
    // A pre-recording switch sets the pictures again and again: each time the same icon.
    for (int i = 0; i < 50; ++i) {
        setButtonPicture(&button, 4);
        setButtonPicture(&button, 0);
    }
    EXPECT_EQ(button.icon().cacheKey(), start);
    EXPECT_EQ(button.property("picture").toInt(), 0);
    setButtonPicture(&button, 3);
    EXPECT_EQ(button.icon().cacheKey(), buttonPicture(3).cacheKey());
    EXPECT_NE(button.icon().cacheKey(), start);
    EXPECT_TRUE(buttonPicture(10).isNull());
}
