// The pre-recording ring, recording control and the main timer on a real loopback station: the
// segment switches and their join, Record in the ring and plainly, pausing, the level meter's
// lag, and the stall watch with a driven clock.
#include "ReceiveTestSupport.h"

#include <QFileInfo>
#include <QTimer>
#include <QToolButton>

#include <atomic>

namespace {

qint64 fileSize(const QString &f)
{
    return QFileInfo(f).size();
}

} // namespace

TEST(PreRecording, TheRingSwitchesTapsWithoutAGapAndRecordInStateThreeKeepsBothFiles)
{
    Station station(noiseSource());
    REQUIRE_STATION(station);
    ReceiveEnv e(true);
    TForm1 &f = *e.form;
    f.cbPreRec->setChecked(true);
    f.PrerecMs = 2000;
    e.tune(station.url());
    ASSERT_TRUE(e.receive());

    // The ring starts at the first level report.
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecStart; }, 5000));
    EXPECT_TRUE(f.PrerecRunning);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Pre-Recording"));
    const QString temp0 = f.path() + QStringLiteral("temp0.wma"), temp1 = f.path() + QStringLiteral("temp1.wma");
    EXPECT_EQ(QString::fromStdString(f.WMATap1->FileName()), temp0);
    EXPECT_EQ(QString::fromStdString(f.WMATap2->FileName()), temp1);

    std::vector<std::uint32_t> switches{f.PrerecSwitchTick};
    for (TRecState next : {rsPrerecTap2, rsPrerecTap1}) {
        ASSERT_TRUE(waitUntil([&] { return f.RecState == next; }, 5000)) << next;
        switches.push_back(f.PrerecSwitchTick);
    }
    for (std::size_t i = 1; i < switches.size(); ++i) {
        const std::uint32_t length = switches[i] - switches[i - 1];
        EXPECT_GT(length, 2000u);
        EXPECT_LT(length, 2000u + 300u) << "segment " << i;
    }
    // The record clock stands still in states 2 and 3.
    const QString clock = f.Label7->text();
    QTest::qWait(1200);
    EXPECT_EQ(f.Label7->text(), clock);

    f.RecordButtonClick();
    EXPECT_EQ(f.RecState, rsRecording);
    EXPECT_EQ(f.RecStartState, 3);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Recording"));
    EXPECT_FALSE(f.BitBtn1->isEnabled());
    EXPECT_TRUE(f.PauseRecordButton->isEnabled());
    saveScreenshot(&f, QStringLiteral("prerecord-recording"));
    // While recording the ring does not switch: the tap that was writing goes on.
    const std::uint32_t lastSwitch = f.PrerecSwitchTick;
    QTest::qWait(2600);
    EXPECT_EQ(f.RecState, rsRecording);
    EXPECT_NE(f.PrerecSwitchTick, lastSwitch);
    EXPECT_EQ(f.WMATap2->Status(), tosIdle);
    EXPECT_EQ(f.WMATap1->Status(), tosPlaying);

    f.stopprerec();
    EXPECT_EQ(f.RecState, rsIdle);
    EXPECT_EQ(f.Label7->text(), QStringLiteral("0:00:00"));
    const std::vector<std::int16_t> older = decodeMono32k(temp1), current = decodeMono32k(temp0);
    EXPECT_NEAR(older.size() / 32000.0, 2.0, 0.35);
    EXPECT_GT(current.size() / 32000.0, 3.0);
    // Both files hold blocks that passed the taps on their way to the sound card: find them in
    // what was played. The next segment must begin before the older one ends.
    const std::vector<std::int16_t> played = quarter(asPcm16(e.disk->Played()));
    const Placement a = placeIn(played, quarter(older)), b = placeIn(played, quarter(current));
    ASSERT_GT(a.EndScore, 0.8);
    ASSERT_GT(b.StartScore, 0.8);
    EXPECT_LE(b.Start, a.End) << "a gap between the segments";
    EXPECT_GT(b.Start, a.End - 8000) << "the segments repeat a second or more";
    // And each file is one stretch of the broadcast, as long as it lasts.
    EXPECT_NEAR(static_cast<double>(a.End - a.Start), older.size() / 4.0, 200.0);
}

TEST(PreRecording, APlainRecordingPausesBothTapsAndItsFileStandsStillMeanwhile)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(e.levelReports(2));
    EXPECT_EQ(f.RecState, rsPlaying);

    f.RecordButtonClick();
    EXPECT_EQ(f.RecState, rsRecordingPlain);
    EXPECT_EQ(f.RecStartState, 1);
    const QString temp1 = f.path() + QStringLiteral("temp1.wma");
    EXPECT_EQ(QString::fromStdString(f.WMATap1->FileName()), temp1);
    ASSERT_TRUE(waitUntil([&] { return f.WMATap1->Status() == tosPlaying; }, 2000));
    QTest::qWait(1500);
    EXPECT_NE(f.Label7->text(), QStringLiteral("0:00:00"));

    f.PauseRecordButtonClick();
    EXPECT_EQ(f.RecState, rsRecordPaused);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Recording paused"));
    ASSERT_TRUE(e.levelReports(2));
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Recording Paused"));
    EXPECT_EQ(f.WMATap1->Status(), tosPaused);
    const qint64 size = fileSize(temp1);
    const QString clock = f.Label7->text();
    QTest::qWait(1500);
    EXPECT_EQ(fileSize(temp1), size);
    EXPECT_EQ(f.Label7->text(), clock);

    f.PauseRecordButtonClick();
    EXPECT_EQ(f.RecState, rsRecordingPlain);
    QTest::qWait(1000);
    f.stopprerec();
    const auto info = testsupport::probe(temp1.toStdString());
    ASSERT_FALSE(info.empty());
    // About 1.5 s before the pause and 1 s after it, nothing of the pause.
    EXPECT_NEAR(std::stod(info.at("format.duration")), 2.5, 0.6);
}

TEST(PreRecording, PausingPlaybackEndsTheRingAndResumingStartsItAfresh)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.cbPreRec->setChecked(true);
    f.PrerecMs = 1000;
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecTap2; }, 5000));

    f.BitBtn2Click();
    EXPECT_EQ(f.RecState, rsPlayPaused);
    EXPECT_EQ(f.ResumeState, rsPrerecStart);
    EXPECT_FALSE(f.PrerecRunning);
    EXPECT_EQ(f.WMATap1->Status(), tosIdle);
    EXPECT_EQ(f.WMATap2->Status(), tosIdle);

    f.BitBtn2Click();
    EXPECT_EQ(f.RecState, rsPrerecStart);
    EXPECT_TRUE(f.PrerecRunning);
}

TEST(LevelMeter, ShowsTheLevelOfTwoReportsEarlier)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    // Before any report the history is empty and the meter at its minimum.
    EXPECT_EQ(f.GainHistory, std::vector<std::uint32_t>(10, 0));
    EXPECT_EQ(f.ProgressBar2->value(), f.ProgressBar2->minimum());
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    // After each report the meter shows the value stored two reports before the latest.
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(e.levelReports(1));
        EXPECT_EQ(f.ProgressBar2->value(), std::clamp<int>(static_cast<int>(f.GainHistory[7]), 20, 120));
    }
    EXPECT_GT(f.GainHistory[7], 25u); // a tone, not silence
}

TEST(StallWatch, ADeadSourceMutesAndAfterThirtySecondsTheOutputRestartsAndTheRingResumes)
{
    Station station;
    REQUIRE_STATION(station);
    DrivenClock clock;
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.cbPreRec->setChecked(true);
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecStart; }, 5000));
    ASSERT_TRUE(e.levelReports(3));
    EXPECT_EQ(f.DXAudioOut1->Volume(), f.Slider->value());

    station.server.killSource(station.mount);
    // Reports go on while the decoded queue drains; the watch counts from the last one.
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Volume() == -5000; }, 8000));
    // Muted 0.7 to 1.8 s after the last level report (a loaded machine ticks late).
    const std::uint32_t mutedAfter = TForm1::tickNow() - f.LastGainTick;
    EXPECT_GE(mutedAfter, 700u);
    EXPECT_LE(mutedAfter, 2300u);
    EXPECT_EQ(f.RecState, rsPrerecStart);

    ASSERT_TRUE(station.server.startSource(station.mount, {}));
    clock.Offset = 31000;
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecStart && f.DXAudioOut1->Status() == tosPlaying; }, 5000));
    EXPECT_TRUE(f.PrerecRunning);
    EXPECT_EQ(f.Label7->text().left(4), QStringLiteral("0:00"));
    // Audio flows again and the volume comes back.
    ASSERT_TRUE(e.levelReports(3, 15000));
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Volume() == f.Slider->value(); }, 3000));
    EXPECT_EQ(f.RecState, rsPrerecStart);
}

TEST(PreRecording, TheRealFifteenSecondSegmentSwitchesOnTime)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.cbPreRec->setChecked(true);
    f.edPreRec->setText(QStringLiteral("5")); // below the minimum: raised to 15 s
    EXPECT_EQ(f.PrerecMs, 15000u);
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecStart; }, 5000));
    const std::uint32_t began = f.PrerecSwitchTick;
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecTap2; }, 17000));
    const std::uint32_t length = f.PrerecSwitchTick - began;
    EXPECT_GT(length, 15000u);
    EXPECT_LT(length, 15000u + 200u);
}

TEST(PreRecording, AFullWorkingFolderIsSaidOnceTheStationPlaysOnAndTheRingStartsWhenThereIsRoom)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    testsupport::SmallDisk disk(e.env.tmp.path());
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    {
        // Fill the folder to the last byte.
        std::FILE *filler = std::fopen((disk / "filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::vector<char> block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    f.edTempDir->setText(QString::fromStdString(disk.path().string()) + QLatin1Char('/'));
    ASSERT_EQ(f.path(), QString::fromStdString(disk.path().string()) + QLatin1Char('/'));
    f.cbPreRec->setChecked(true);
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(e.levelReports(4));
    EXPECT_EQ(f.RecState, rsPlaying);
    EXPECT_EQ(f.DXAudioOut1->Status(), tosPlaying);
    EXPECT_FALSE(f.PrerecRunning);
    ASSERT_EQ(e.env.messages.size(), 1);
    EXPECT_TRUE(e.env.messages.first().contains(f.path()));

    std::filesystem::remove(disk / "filler");
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecStart; }, 3000));
    EXPECT_TRUE(f.PrerecRunning);
    EXPECT_EQ(e.env.messages.size(), 1);
    f.BitBtn1Click();
    EXPECT_EQ(f.RecState, rsIdle);
}
