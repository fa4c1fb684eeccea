// Faults that must lose nothing, on a real loopback station: the working folder's disk fills
// while a recording or the pre-recording ring is written, and the station's source dies while
// the ring or a recording runs. Whatever was recorded before the fault is saved whole.
#include "ReceiveTestSupport.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <chrono>

#include <sys/statvfs.h>

namespace {

// The save's own temporary files (the ring's temp0/temp1 belong to the ring running on).
bool noTempFiles(TForm1 &f)
{
    for (const char *name : {"tempa.wma", "tempb.wma"})
        if (QFileInfo::exists(f.path() + QString::fromLatin1(name)))
            return false;
    return true;
}

unsigned long long freeBytes(const std::filesystem::path &dir)
{
    struct statvfs sv {};
    if (statvfs(dir.c_str(), &sv) != 0)
        return 0;
    return static_cast<unsigned long long>(sv.f_bavail) * sv.f_frsize;
}

// A saved MP3 that two decoders read alike, lasting at least minSeconds.
void expectWholeMp3(const QString &file, double minSeconds)
{
    const auto info = testsupport::probe(file.toStdString());
    ASSERT_FALSE(info.empty()) << file.toStdString() << " is missing or cannot be read";
    EXPECT_EQ(info.at("stream.codec_name"), "mp3");
    EXPECT_GE(std::stod(info.at("format.duration")), minSeconds);
    EXPECT_NEAR(static_cast<double>(testsupport::mpg123DecodedFrames(file.toStdString(), 1)),
                static_cast<double>(testsupport::ffmpegDecodedFrames(file.toStdString(), 1)), 1152.0 * 2);
}

// Kills the station's source, waits for the mute, starts the source again and moves the clock
// past the stall watch's 30 s, then waits until the output plays and reports levels again.
void killAndRestartSource(Station &station, ReceiveEnv &e, DrivenClock &clock)
{
    TForm1 &f = *e.form;
    station.server.killSource(station.mount);
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Volume() == -5000; }, 8000)) << "not muted";
    ASSERT_TRUE(station.server.startSource(station.mount, {}));
    clock.Offset = 31000;
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Status() == tosPlaying; }, 15000)) << "not restarted";
    ASSERT_TRUE(e.levelReports(3, 15000));
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Volume() == f.Slider->value(); }, 3000));
}

} // namespace

TEST(DiskFull, ARecordingThatFillsTheDiskKeepsWhatFitTellsTheUserAndSavesIt)
{
    Station station;
    REQUIRE_STATION(station);
    DrivenClock clock;
    ReceiveEnv e;
    TForm1 &f = *e.form;
    testsupport::SmallDisk disk(e.env.tmp.path());
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    f.edTempDir->setText(QString::fromStdString(disk.path().string()) + QLatin1Char('/'));
    ASSERT_EQ(f.path(), QString::fromStdString(disk.path().string()) + QLatin1Char('/'));
    const QString target = e.env.home() + QStringLiteral("/saved.mp3");
    f.saveDialogHook = [&] { return target; };
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(e.levelReports(2));
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    // The 64 KiB disk fills a few seconds into the recording; the writer's buffer reaches the
    // disk in large pieces, so this can take a while.
    ASSERT_TRUE(waitUntil([&] { return !e.env.messages.isEmpty(); }, 45000)) << "the user was not told";
    EXPECT_LT(freeBytes(disk.path()), 8192u) << "a write failed with room left on the disk";
    EXPECT_EQ(e.env.messages.first(), QStringLiteral("Error#0 WMATap1"));
    // What fit is kept, not removed as a damaged file.
    EXPECT_GT(QFileInfo(f.path() + QStringLiteral("temp1.wma")).size(), 16 * 1024);

    f.RecordButtonClick();
    EXPECT_FALSE(f.Saving);
    EXPECT_EQ(f.lastSaveName(), target);
    // About 2.5 s fit on the disk at the recorder's bitrate.
    expectWholeMp3(target, 1.5);
    EXPECT_TRUE(noTempFiles(f));
    EXPECT_FALSE(QFileInfo::exists(f.path() + QStringLiteral("temp1.wma")));
    // The write failure ended the run; after the stop the station plays again, at the latest
    // when the stall watch restarts it 30 s on.
    EXPECT_EQ(f.RecState, rsPlaying);
    clock.Offset = 31000;
    EXPECT_TRUE(waitUntil([&] { return f.DXAudioOut1->Status() == tosPlaying; }, 15000))
        << "output " << f.DXAudioOut1->Status();
    EXPECT_EQ(e.env.messages.size(), 1) << e.env.messages.join(u'|').toStdString();
}

TEST(SourceKilled, DuringARecordingWhatCameIsSavedWholeAndTheStationPlaysAgainAfterTheStop)
{
    Station station;
    REQUIRE_STATION(station);
    DrivenClock clock;
    ReceiveEnv e;
    TForm1 &f = *e.form;
    const QString target = e.env.home() + QStringLiteral("/recorded.mp3");
    f.saveDialogHook = [&] { return target; };
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(e.levelReports(2));
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    QTest::qWait(1500);
    // The stream ends; a recording is never restarted under the user's hands, even long after.
    station.server.killSource(station.mount);
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Status() == tosIdle; }, 8000));
    ASSERT_TRUE(station.server.startSource(station.mount, {}));
    clock.Offset = 31000;
    QTest::qWait(1500);
    EXPECT_EQ(f.RecState, rsRecordingPlain);
    EXPECT_EQ(f.DXAudioOut1->Status(), tosIdle);

    // Stopping saves what came before the source died, whole, and the station plays again.
    f.RecordButtonClick();
    EXPECT_FALSE(f.Saving);
    EXPECT_EQ(f.lastSaveName(), target);
    expectWholeMp3(target, 1.2);
    EXPECT_TRUE(noTempFiles(f));
    // Playing again: at once when the source is back in time, else muted and restarted by the
    // stall watch 30 s later.
    EXPECT_EQ(f.RecState, rsPlaying);
    clock.Offset = 62000;
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPlaying && f.DXAudioOut1->Status() == tosPlaying; }, 15000))
        << "state " << f.RecState << ", output " << f.DXAudioOut1->Status();
    EXPECT_TRUE(e.levelReports(3, 15000));
    EXPECT_TRUE(e.env.messages.isEmpty()) << e.env.messages.join(u'|').toStdString();
}

TEST(SourceKilled, DuringPreRecordingTheRingResumesAndARecordingFromItSavesWhole)
{
    Station station;
    REQUIRE_STATION(station);
    DrivenClock clock;
    ReceiveEnv e;
    TForm1 &f = *e.form;
    const QString target = e.env.home() + QStringLiteral("/ring.mp3");
    f.saveDialogHook = [&] { return target; };
    f.cbPreRec->setChecked(true);
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecStart; }, 8000));
    ASSERT_TRUE(e.levelReports(3));
    killAndRestartSource(station, e, clock);
    EXPECT_EQ(f.RecState, rsPrerecStart);
    EXPECT_TRUE(f.PrerecRunning);
    QTest::qWait(1000);
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecording);
    QTest::qWait(1000);
    f.RecordButtonClick();
    EXPECT_FALSE(f.Saving);
    EXPECT_EQ(f.lastSaveName(), target);
    expectWholeMp3(target, 1.5);
    EXPECT_TRUE(noTempFiles(f));
    EXPECT_TRUE(e.env.messages.isEmpty()) << e.env.messages.join(u'|').toStdString();
}

TEST(DiskFull, WhileTheRingWritesTheUserIsToldAndTheStationPlaysOn)
{
    Station station;
    REQUIRE_STATION(station);
    DrivenClock clock;
    ReceiveEnv e;
    TForm1 &f = *e.form;
    testsupport::SmallDisk disk(e.env.tmp.path());
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    f.edTempDir->setText(QString::fromStdString(disk.path().string()) + QLatin1Char('/'));
    f.cbPreRec->setChecked(true);
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPrerecStart; }, 8000));
    ASSERT_TRUE(waitUntil([&] { return !e.env.messages.isEmpty(); }, 45000)) << "the user was not told";
    EXPECT_LT(freeBytes(disk.path()), 8192u) << "a write failed with room left on the disk";
    EXPECT_EQ(e.env.messages.first(), QStringLiteral("Error#0 WMATap1"));
    // The write failure ended the run: the stall watch mutes, and 30 s on restarts the station
    // without the ring, saying why once.
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Volume() == -5000; }, 5000));
    clock.Offset = 31000;
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsPlaying && f.DXAudioOut1->Status() == tosPlaying; }, 15000))
        << "state " << f.RecState << ", output " << f.DXAudioOut1->Status();
    ASSERT_TRUE(e.levelReports(3, 15000));
    ASSERT_TRUE(waitUntil([&] { return f.DXAudioOut1->Volume() == f.Slider->value(); }, 3000));
    EXPECT_FALSE(f.PrerecRunning);
    ASSERT_EQ(e.env.messages.size(), 2) << e.env.messages.join(u'|').toStdString();
    EXPECT_TRUE(e.env.messages[1].contains(f.path())) << e.env.messages[1].toStdString();
    // The segment that filled the disk is kept, and what fit reads: over a second of it.
    EXPECT_GT(decodeMono32k(f.path() + QStringLiteral("temp0.wma")).size(), 32000u);
}
