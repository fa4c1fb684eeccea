// Stopping a recording and saving it as MP3 from a real loopback station: the join of two
// segments, a plain recording, automatic numbering, a cancelled dialog, a missing encoder, a
// full disk (which leaves a file that was there as it was), and stops reached from inside a
// level report and from a timer tick.
#include "ReceiveTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QToolButton>

namespace {

QStringList keptRecordings(TForm1 &f)
{
    return QDir(f.path()).entryList({QStringLiteral("recording-*.wma")}, QDir::Files, QDir::Name);
}

bool noTempFiles(TForm1 &f)
{
    return !QFileInfo::exists(f.path() + QStringLiteral("tempa.wma")) &&
           !QFileInfo::exists(f.path() + QStringLiteral("tempb.wma"));
}

// Receives the station with pre-recording as asked and waits for the state.
// Records a plain recording of about ms milliseconds and stops it (which saves it).
void recordPlain(TForm1 &f, int ms)
{
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    QTest::qWait(ms);
    f.RecordButtonClick();
}

} // namespace

TEST(Save, ARecordingBegunInStateThreeHoldsTheOlderSegmentAndTheCurrentFileWithoutAGap)
{
    Station station(noiseSource());
    REQUIRE_STATION(station);
    ReceiveEnv e(true);
    TForm1 &f = *e.form;
    f.PrerecMs = 2000;
    const QString target = e.env.home() + QStringLiteral("/joined.mp3");
    f.saveDialogHook = [&] { return target; };
    startIn(e, station, true, rsPrerecTap1);
    f.RecordButtonClick();
    ASSERT_EQ(f.RecStartState, 3);
    QTest::qWait(1500);
    f.RecordButtonClick();

    EXPECT_FALSE(f.Saving);
    EXPECT_EQ(f.RecState, rsPrerecStart);
    EXPECT_EQ(f.RecStartState, 0);
    EXPECT_TRUE(noTempFiles(f));
    EXPECT_EQ(f.lastSaveName(), target);
    const auto info = testsupport::probe(target.toStdString());
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info.at("stream.sample_rate"), "32000");
    EXPECT_EQ(info.at("stream.codec_name"), "mp3");
    EXPECT_NEAR(std::stod(info.at("stream.bit_rate")), 192000, 1000);
    // mpg123 decodes what ffmpeg decodes.
    EXPECT_NEAR(static_cast<double>(testsupport::mpg123DecodedFrames(target.toStdString(), 1)),
                static_cast<double>(testsupport::ffmpegDecodedFrames(target.toStdString(), 1)), 1152.0 * 2);

    // The MP3 is one unbroken stretch of what was played: 2 s of the older segment, then the
    // current file; a gap or a repeat at the join would make it longer or shorter than its span.
    const std::vector<std::int16_t> mp3 = quarter(decodeMono32k(target));
    const std::vector<std::int16_t> played = quarter(asPcm16(e.disk->Played()));
    EXPECT_GT(mp3.size() / 8000.0, 3.3);
    const Placement p = placeIn(played, mp3);
    ASSERT_GT(p.StartScore, 0.8);
    ASSERT_GT(p.EndScore, 0.8);
    EXPECT_NEAR(static_cast<double>(p.End - p.Start), static_cast<double>(mp3.size()), 400.0);
}

TEST(Save, APlainRecordingKeepsTheToneAndRestoresTheSaveChain)
{
    testsupport::SourceOptions tone;
    tone.toneHz = 660;
    Station station(tone);
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.cmmbr->setCurrentIndex(mbr128);
    f.cmmbrCloseUp();
    const QString target = e.env.home() + QStringLiteral("/plain.mp3");
    // Saved over a private file, which stays private.
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("the old file");
    }
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
    f.saveDialogHook = [&] { return target; };
    startIn(e, station, false, rsPlaying);
    recordPlain(f, 2000);
    EXPECT_EQ(std::filesystem::status(target.toStdString()).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    EXPECT_EQ(f.RecState, rsPlaying);
    EXPECT_TRUE(noTempFiles(f));
    EXPECT_EQ(f.AudioMixer1->Input2(), f.WMIn2);
    EXPECT_EQ(f.MP3Out1->Input(), f.AudioMixer1);
    const auto info = testsupport::probe(target.toStdString());
    ASSERT_FALSE(info.empty());
    EXPECT_NEAR(std::stod(info.at("format.duration")), 2.0, 0.5);
    EXPECT_NEAR(std::stod(info.at("stream.bit_rate")), 128000, 1000);
    // Measured without the last 0.2 s, where the encoders pad with silence.
    std::vector<std::int16_t> pcm = decodeMono32k(target);
    ASSERT_GT(pcm.size(), 6400u);
    pcm.resize(pcm.size() - 6400);
    EXPECT_NEAR(testsupport::ToneHz(pcm, 1, 32000), 660.0, 5.0);
}

TEST(Save, AutomaticSavesTakeTheFirstFreeNumberAndOpenTheirFolder)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    bool asked = false;
    f.saveDialogHook = [&] {
        asked = true;
        return QString();
    };
    startIn(e, station, false, rsPlaying);
    const QString folder = f.path() + QStringLiteral("AutoSaved/");
    for (int i = 0; i < 2; ++i) {
        f.AutoSave = true;
        recordPlain(f, 700);
    }
    EXPECT_FALSE(asked);
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("autosave0.mp3")));
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("autosave1.mp3")));
    EXPECT_EQ(f.lastSaveName(), folder + QStringLiteral("autosave1.mp3"));
    ASSERT_EQ(e.env.opened.size(), 2);
    EXPECT_EQ(QDir(e.env.opened.last().toLocalFile()), QDir(folder));

    QFile::remove(folder + QStringLiteral("autosave0.mp3"));
    f.AutoSave = true;
    recordPlain(f, 700);
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("autosave0.mp3")));
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("autosave2.mp3")));
    EXPECT_FALSE(f.AutoSave);

    // Trim Clip then starts the trimmer on that file, its name after "--".
    testsupport::TempDir bin;
    const QString programs = QString::fromStdString(bin.path().string());
    TForm1::setProgramFolder(programs);
    writeTrimmerStub(programs);
    f.btnclipClick();
    EXPECT_EQ(trimmerArguments(programs), (QStringList{QStringLiteral("2"), QStringLiteral("--"), folder + QStringLiteral("autosave0.mp3")}));
}

TEST(Save, ACancelledDialogOrAMissingEncoderWritesNothingAndKeepsTheRecording)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.saveDialogHook = [] { return QString(); };
    startIn(e, station, false, rsPlaying);

    recordPlain(f, 800);
    EXPECT_EQ(f.RecState, rsPlaying);
    EXPECT_FALSE(f.Saving);
    EXPECT_EQ(keptRecordings(f).size(), 1);
    EXPECT_TRUE(e.env.messages.isEmpty());
    EXPECT_TRUE(f.statusPanelText().contains(keptRecordings(f).first()));

    QTest::qWait(1100); // the kept names carry the second
    TForm1::setEncoderLibraryName(QStringLiteral("libno-such-encoder.so.0"));
    recordPlain(f, 800);
    TForm1::setEncoderLibraryName(QStringLiteral("libmp3lame.so.0"));
    EXPECT_TRUE(e.env.messages.contains(
        QStringLiteral("Warning: Cannot Save recorded MP3 Files (could not load libmp3lame.so.0)")));
    EXPECT_EQ(f.RecState, rsPlaying);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Playing"));
    EXPECT_EQ(keptRecordings(f).size(), 2);
    for (const QString &kept : keptRecordings(f))
        EXPECT_FALSE(testsupport::probe((f.path() + kept).toStdString()).empty()) << kept.toStdString();
}

TEST(Save, AFullDiskKeepsTheRecordingAndSaysWhere)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    testsupport::SmallDisk disk(e.env.tmp.path());
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    const QString target = QString::fromStdString((disk / "full.mp3").string());
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("the old file");
    }
    f.saveDialogHook = [&] { return target; };
    startIn(e, station, false, rsPlaying);
    recordPlain(f, 6000); // more than 64 KiB of MP3
    // The file that was there is as it was, and nothing half-written is left beside it.
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), QByteArray("the old file"));
    }
    EXPECT_EQ(QDir(QFileInfo(target).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(), 1);

    EXPECT_FALSE(f.Saving);
    EXPECT_EQ(f.RecState, rsPlaying);
    ASSERT_EQ(keptRecordings(f).size(), 1);
    ASSERT_EQ(e.env.messages.size(), 1);
    EXPECT_TRUE(e.env.messages.first().startsWith(QStringLiteral("The MP3 file could not be written: ")));
    EXPECT_TRUE(e.env.messages.first().contains(keptRecordings(f).first()));
    EXPECT_TRUE(noTempFiles(f));
}

TEST(Save, AFailedTagWriteKeepsTheRecordingWithAWarning)
{
    // Before the window creates its encoder output, which loads TagLib once per process.
    setenv("FONOLUX_TAGLIB_LIBRARY", FONOLUX_FAILING_TAGLIB, 1);
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    const QString target = e.env.home() + QStringLiteral("/tagged.mp3");
    f.saveDialogHook = [&] { return target; };
    startIn(e, station, false, rsPlaying);
    recordPlain(f, 800);
    unsetenv("FONOLUX_TAGLIB_LIBRARY");

    EXPECT_FALSE(testsupport::probe(target.toStdString()).empty()) << "the MP3 was lost";
    ASSERT_EQ(e.env.messages.size(), 1);
    EXPECT_TRUE(e.env.messages.first().startsWith(QStringLiteral("Warning: the recording was saved as ") + target))
        << e.env.messages.first().toStdString();
    EXPECT_TRUE(keptRecordings(f).isEmpty());
    EXPECT_TRUE(noTempFiles(f));
}

TEST(Save, AStopFromInsideALevelReportOrATimerTickFinishes)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    startIn(e, station, false, rsPlaying);
    const QString folder = f.path() + QStringLiteral("AutoSaved/");

    // A level report starts the recording and a later one stops it (as a scheduled recording).
    f.RecordOnFlow = true;
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsRecordingPlain; }, 3000));
    QTest::qWait(600);
    f.AutoSave = true;
    f.RecordOnFlow = true;
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(folder + QStringLiteral("autosave0.mp3")) && !f.Saving &&
                                       f.RecState == rsPlaying; },
                          15000));

    // The scheduler's step inside the main timer's tick stops the next one.
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    QTest::qWait(600);
    bool armed = true, finished = false;
    f.schedulerStep = [&] {
        if (!armed)
            return;
        armed = false;
        f.AutoSave = true;
        f.RecordButtonClick();
        finished = !f.Saving;
    };
    ASSERT_TRUE(waitUntil([&] { return finished; }, 15000));
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("autosave1.mp3")));
    EXPECT_EQ(f.RecState, rsPlaying);
}

TEST(Save, LinksPlantedInTheWorkingFolderAreNeverWrittenThrough)
{
    Station station(noiseSource());
    REQUIRE_STATION(station);
    ReceiveEnv e(true);
    TForm1 &f = *e.form;
    f.PrerecMs = 1000;
    const QString folder = f.path();
    const QString autoFolder = folder + QStringLiteral("AutoSaved/");
    ASSERT_TRUE(QDir().mkpath(autoFolder));
    // Someone else's files, and links to them at the ring's names and the first automatic name.
    const QString victim = e.env.home() + QStringLiteral("/victim");
    {
        QFile v(victim);
        ASSERT_TRUE(v.open(QIODevice::WriteOnly));
        v.write("not a recording");
    }
    const QString missing = e.env.home() + QStringLiteral("/not-there.mp3");
    ASSERT_TRUE(QFile::link(victim, folder + QStringLiteral("temp0.wma")));
    ASSERT_TRUE(QFile::link(victim, folder + QStringLiteral("temp1.wma")));
    ASSERT_TRUE(QFile::link(missing, autoFolder + QStringLiteral("autosave0.mp3")));
    const QString missingToo = e.env.home() + QStringLiteral("/not-there.wma");
    ASSERT_TRUE(QFile::link(missingToo, folder + QStringLiteral("tempb.wma")));
    // A working folder anyone can write to is named in the status bar.
    ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));

    startIn(e, station, true, rsPrerecTap1);
    EXPECT_TRUE(f.statusPanelText().contains(QStringLiteral("other users can write to the working folder")))
        << f.statusPanelText().toStdString();
    f.AutoSave = true;
    f.RecordButtonClick();
    QTest::qWait(800);
    f.RecordButtonClick();
    ASSERT_TRUE(waitUntil([&] { return !f.Saving; }, 15000));

    QFile v(victim);
    ASSERT_TRUE(v.open(QIODevice::ReadOnly));
    EXPECT_EQ(v.readAll(), QByteArray("not a recording"));
    EXPECT_FALSE(QFileInfo::exists(missing)) << "an automatic save wrote through a dangling link";
    EXPECT_FALSE(QFileInfo::exists(missingToo)) << "the save's move wrote through a dangling link";
    EXPECT_TRUE(QFileInfo(autoFolder + QStringLiteral("autosave0.mp3")).isSymLink());
    EXPECT_FALSE(testsupport::probe((autoFolder + QStringLiteral("autosave1.mp3")).toStdString()).empty());
    // The ring's files are its own now, and private.
    for (const QString &ring : {QStringLiteral("temp0.wma"), QStringLiteral("temp1.wma")}) {
        const QFileInfo info(folder + ring);
        if (!info.exists())
            continue;
        EXPECT_FALSE(info.isSymLink()) << ring.toStdString();
        EXPECT_EQ(std::filesystem::status((folder + ring).toStdString()).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
}

TEST(Save, AWorkingFolderRemovedDuringARecordingStillGivesTheRecording)
{
    Station station(noiseSource());
    REQUIRE_STATION(station);
    ReceiveEnv e(true);
    TForm1 &f = *e.form;
    f.PrerecMs = 1000;
    const QString target = e.env.home() + QStringLiteral("/kept.mp3");
    f.saveDialogHook = [&] { return target; };
    startIn(e, station, true, rsPrerecTap1);
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecording);
    QTest::qWait(1000);
    const QString folder = f.path();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QTest::qWait(500);
    f.RecordButtonClick();
    ASSERT_TRUE(waitUntil([&] { return !f.Saving; }, 15000));

    EXPECT_TRUE(e.env.messages.isEmpty()) << e.env.messages.join(QLatin1Char('\n')).toStdString();
    const auto info = testsupport::probe(target.toStdString());
    ASSERT_FALSE(info.empty()) << "the recording was lost";
    // The older segment and the current file: more than the time recorded after the press.
    EXPECT_GT(std::stod(info.at("format.duration")), 2.0);
}
