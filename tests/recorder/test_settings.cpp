// Program start, the data folder and the settings file "Fonolux.INI", the Set Up page.
#include "RecorderTestSupport.h"

#include "FileNames.h"
#include "IniFile.h"
#include "MainComponents.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QToolButton>

#include <map>

namespace {

const QByteArray kTwoGenres = "[Pop]\nPop One=http://pop1.example.org/\nPop Two=http://pop2.example.org/\n"
                              "[Jazz]\nJazz One=http://jazz1.example.org/\n";

IniFile settingsOf(const FormEnv &env)
{
    return IniFile(findFileNoCase(env.dataFolder(), QStringLiteral("Fonolux.INI")));
}

TEST(DataFolder, FirstRunCreatesTheFolderAndCopiesBothSeeds)
{
    FormEnv env;
    ASSERT_FALSE(QFileInfo::exists(env.dataFolder()));
    TForm1 form;
    EXPECT_TRUE(QFileInfo(env.dataFolder()).isDir());
    EXPECT_TRUE(QFileInfo::exists(env.dataFolder() + QStringLiteral("stations.INI")));
    EXPECT_TRUE(QFileInfo::exists(env.dataFolder() + QStringLiteral("Fonolux.INI")));
    // The seeded "stations.INI" is the station list "stations.ini".
    EXPECT_EQ(form.stationsFileName(), env.dataFolder() + QStringLiteral("stations.INI"));
    const IniFile seed(qEnvironmentVariable("FONOLUX_TEST_DATA") + QStringLiteral("/stations.ini.bu"));
    ASSERT_FALSE(seed.sections().isEmpty());
    EXPECT_EQ(form.cbgnr->currentIndex(), 0);
    EXPECT_EQ(form.cbgnr->currentText(), seed.sections().first());
    EXPECT_EQ(form.ComboBox1->currentIndex(), 0);
    EXPECT_EQ(form.ComboBox1->currentText(), seed.keys(seed.sections().first()).first());
    // The seed settings hold no position: the window stays at its design position.
    EXPECT_EQ(form.pos(), QPoint(540, 394));
    EXPECT_EQ(form.PrerecMs, 60000u);
    EXPECT_TRUE(env.messages.isEmpty()) << env.messages.join(u'|').toStdString();
}

TEST(DataFolder, AFolderThatDisappearsIsRecreatedAndSeededAtTheNextAccess)
{
    FormEnv env;
    TForm1 form;
    ASSERT_TRUE(QDir(env.dataFolder()).removeRecursively());
    EXPECT_FALSE(form.StationUrl(form.cbgnr->itemText(0), form.ComboBox1->itemText(0)).isEmpty());
    EXPECT_TRUE(QFileInfo::exists(env.dataFolder() + QStringLiteral("Fonolux.INI")));
}

TEST(DataFolder, AFolderThatCannotBeCreatedIsReportedOnceAndEndsTheProgram)
{
    FormEnv env;
    // A regular file where a parent folder should be: nothing can be created below it.
    QFile blocker(env.home() + QStringLiteral("/blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_DATA_HOME", QFile::encodeName(env.home() + QStringLiteral("/blocker/data")));
    TForm1 form;
    EXPECT_TRUE(form.terminateRequested());
    EXPECT_EQ(env.messages, QStringList{QStringLiteral("Could not access or create data directory")});
    EXPECT_EQ(form.cbgnr->count(), 0);
}

TEST(DataFolder, NamesAreMatchedIgnoringCase)
{
    FormEnv env;
    env.writeData(QStringLiteral("STATIONS.Ini"), kTwoGenres);
    env.writeData(QStringLiteral("fonolux.ini"), "[Basic]\nPreRecTime=120\n");
    TForm1 form;
    EXPECT_EQ(form.cbgnr->itemText(1), QStringLiteral("Jazz"));
    EXPECT_EQ(form.PrerecMs, 120000u);
    form.close();
    // Settings went back into the existing file, not into a second one.
    EXPECT_FALSE(QFileInfo::exists(env.dataFolder() + QStringLiteral("Fonolux.INI")));
    EXPECT_EQ(settingsOf(env).readString(QStringLiteral("Basic"), QStringLiteral("PreRecTime"), {}), QStringLiteral("120"));
}

TEST(DataFolder, AFirstStartWithoutSeedsSaysSoOnceAndStartsWithEmptyLists)
{
    FormEnv env;
    testsupport::TempDir empty;
    const QString emptyFolder = QString::fromStdString(empty.path().string());
    TForm1::setProgramFolder(emptyFolder);
    TForm1 form;
    ASSERT_EQ(env.messages.size(), 1) << env.messages.join(u'|').toStdString();
    EXPECT_TRUE(env.messages.first().contains(QStringLiteral("\"stations.ini.bu\""))) << env.messages.first().toStdString();
    EXPECT_TRUE(env.messages.first().contains(emptyFolder)) << env.messages.first().toStdString();
    EXPECT_EQ(form.cbgnr->count(), 0);
    EXPECT_FALSE(form.terminateRequested());

    // The folder is recreated at the next access; the user has been told already.
    ASSERT_TRUE(QDir(env.dataFolder()).removeRecursively());
    form.AppDataPath();
    EXPECT_TRUE(QFileInfo(env.dataFolder()).isDir());
    EXPECT_EQ(env.messages.size(), 1);
}

TEST(DataFolder, SeedsFoundInTheProgramFolderAreNotReported)
{
    FormEnv env;
    const QString seeds = qEnvironmentVariable("FONOLUX_TEST_DATA");
    EXPECT_EQ(TForm1::programFile(QStringLiteral("STATIONS.ini.bu")), findFileNoCase(seeds, QStringLiteral("stations.ini.bu")));
    EXPECT_TRUE(TForm1::programFile(QStringLiteral("no such file")).isEmpty());
    TForm1 form;
    EXPECT_GT(form.cbgnr->count(), 0);
    EXPECT_TRUE(env.messages.isEmpty()) << env.messages.join(u'|').toStdString();
}

TEST(Settings, OutOfRangeAndMalformedValuesFollowTheirRules)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kTwoGenres);
    env.writeData(QStringLiteral("Fonolux.INI"),
                  "[Basic]\nPreRecTime=5\nstrminms=\ngainintrvl=0\n"
                  "[Quality]\nmp3bitrate=99\nDXFrm=abc\nSmplr=44100\n"
                  "[state]\nstnidx=-1\nstntxt=http://10.1.2.3:8000/live\nvol=-1234\ncbprerec=0\n");
    TForm1 form;
    EXPECT_EQ(form.PrerecMs, 15000u);
    EXPECT_EQ(form.edPreRec->text(), QStringLiteral("15"));
    EXPECT_EQ(form.cmmbr->currentText(), QStringLiteral("192 Kbps"));
    EXPECT_EQ(static_cast<int>(form.MP3Out1->BitRate()), 12);
    EXPECT_EQ(form.edDXFrm->text(), QStringLiteral("abc"));
    EXPECT_EQ(form.DXAudioOut1->FramesInBuffer(), 24576u);
    EXPECT_FALSE(form.DXAudioOut1->PrefetchData()) << "the player gathers blocks in its work buffer";
    EXPECT_EQ(form.FastResampler1->OutSampleRate(), 44100u);
    // Present but empty: the default text.
    EXPECT_EQ(form.strminwait->text(), QStringLiteral("10000"));
    EXPECT_EQ(form.WMStreamedIn1->MaxWaitMilliseconds(), 10000u);
    // A zero interval would stall the level reports: the field keeps it, the component does not.
    EXPECT_EQ(form.edFGInt->text(), QStringLiteral("0"));
    EXPECT_EQ(form.FastGainIndicator1->Interval(), 200u);
    EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("http://10.1.2.3:8000/live"));
    EXPECT_EQ(form.Slider->value(), -1234);
    EXPECT_EQ(form.DXAudioOut1->Volume(), -1234);
    // A timer's own slider is not the playback volume.
    form.timerPanels[0].slvol->setValue(-3000);
    EXPECT_EQ(form.DXAudioOut1->Volume(), -1234);
    EXPECT_FALSE(form.cbPreRec->isChecked());
    EXPECT_EQ(form.GainHistory.size(), 10u);
}

// The values the settings give the components when the file holds none of them.
TEST(Settings, AFileWithEveryKeyMissingGivesEveryDefault)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kTwoGenres);
    env.writeData(QStringLiteral("Fonolux.INI"), "");
    TForm1 form;
    const std::pair<QLineEdit *, const char *> fields[] = {
        {form.strminwait, "10000"}, {form.EdBitRate, "192"}, {form.edSmplr, "32000"}, {form.edDxLtnc, "501"},
        {form.edDxPol, "10"},       {form.edDXFrm, "24576"}, {form.edFGInt, "200"},  {form.edPreRec, "60"}};
    for (const auto &[field, text] : fields)
        EXPECT_EQ(field->text(), QString::fromLatin1(text)) << field->objectName().toStdString();
    EXPECT_EQ(form.WMStreamedIn1->MaxWaitMilliseconds(), 10000u);
    EXPECT_EQ(form.WMATap1->DesiredBitrate(), 192u);
    EXPECT_EQ(form.WMATap2->DesiredBitrate(), 192u);
    EXPECT_EQ(form.FastResampler1->OutSampleRate(), 32000u);
    EXPECT_EQ(form.DXAudioOut1->Latency(), 501u);
    EXPECT_EQ(form.DXAudioOut1->PollingInterval(), 10u);
    EXPECT_EQ(form.DXAudioOut1->FramesInBuffer(), 24576u);
    EXPECT_EQ(form.FastGainIndicator1->Interval(), 200u);
    EXPECT_EQ(form.PrerecMs, 60000u);
    EXPECT_EQ(form.cmmbr->currentText(), QStringLiteral("192 Kbps"));
    EXPECT_EQ(static_cast<int>(form.MP3Out1->BitRate()), 12);
    EXPECT_TRUE(form.cbPreRec->isChecked());
    EXPECT_EQ(form.Slider->value(), 0);
    EXPECT_EQ(form.cbgnr->currentText(), QStringLiteral("Pop"));
    EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("Pop One"));
    EXPECT_FALSE(form.btnOnTop->isChecked());
    EXPECT_EQ(form.pos(), QPoint(540, 394));
    EXPECT_TRUE(env.messages.isEmpty()) << env.messages.join(u'|').toStdString();
}

// Each numeric key at its lowest and highest value reaches its component unchanged; one step
// past a bound gives the default, as any value a component cannot take does.
TEST(Settings, EveryKeyAtABoundReachesItsComponent)
{
    auto componentValue = [](TForm1 &f, TSettingId id) -> std::int64_t {
        switch (id) {
        case TSettingId::Mp3BitRate: return static_cast<int>(f.MP3Out1->BitRate());
        case TSettingId::RecordMode: return f.cbRecordMode->currentIndex();
        case TSettingId::AacFile: return f.cbAacFile->currentIndex();
        case TSettingId::StrMinMs: return f.WMStreamedIn1->MaxWaitMilliseconds();
        case TSettingId::TapBitRate: return f.WMATap2->DesiredBitrate();
        case TSettingId::SampleRate: return f.FastResampler1->OutSampleRate();
        case TSettingId::DxPolling: return f.DXAudioOut1->PollingInterval();
        case TSettingId::DxLatency: return f.DXAudioOut1->Latency();
        case TSettingId::DxFrames: return f.DXAudioOut1->FramesInBuffer();
        case TSettingId::GainInterval: return f.FastGainIndicator1->Interval();
        case TSettingId::PreRecTime: return f.PrerecMs / 1000;
        case TSettingId::Volume: return f.Slider->value();
        default: return -1;
        }
    };
    for (int pass = 0; pass < 3; ++pass) {
        FormEnv env;
        // One section each: a repeated section's keys are not read.
        std::map<QByteArray, QByteArray> sections;
        for (const TSetting &s : SettingsTable()) {
            if (!s.HasRange())
                continue;
            const std::int64_t v = pass == 0 ? s.Min : pass == 1 ? s.Max : s.Max + 1;
            sections[s.Section] += QByteArray(s.Key) + "=" + QByteArray::number(qlonglong(v)) + "\n";
        }
        QByteArray file;
        for (const auto &[section, lines] : sections)
            file += "[" + section + "]\n" + lines;
        env.writeData(QStringLiteral("Fonolux.INI"), file);
        TForm1 form;
        for (const TSetting &s : SettingsTable()) {
            if (!s.HasRange())
                continue;
            std::int64_t want = pass == 0 ? s.Min : pass == 1 ? s.Max : s.DefaultNumber();
            // Past their bounds the pre-recording time and the volume are held at the bound.
            if (pass == 2 && (s.Id == TSettingId::PreRecTime || s.Id == TSettingId::Volume))
                want = s.Max;
            EXPECT_EQ(componentValue(form, s.Id), want) << s.Key << " in pass " << pass;
            if (QLineEdit *field = form.numericField(s.Id); field && s.Id != TSettingId::PreRecTime) {
                EXPECT_EQ(field->text().toLongLong(), pass == 0 ? s.Min : pass == 1 ? s.Max : s.Max + 1)
                    << "the field shows the stored text";
            }
        }
    }
}

TEST(Settings, HugePreRecordingTimeDoesNotWrapToATinySegment)
{
    FormEnv env;
    env.writeData(QStringLiteral("Fonolux.INI"), "[Basic]\nPreRecTime=5000000\n");
    TForm1 form;
    EXPECT_GE(form.PrerecMs, 4000000000u);
}

TEST(Settings, ClosingStoresEverythingAndARestartRestoresIt)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kTwoGenres);
    {
        TForm1 form;
        form.move(100, 120);
        form.cbgnr->setCurrentIndex(1);
        form.cbgnrChange();
        form.edDXFrm->setText(QStringLiteral("8192"));
        form.cmmbr->setCurrentIndex(9);
        form.Slider->setValue(-500);
        form.btnOnTop->setChecked(true);
        form.cbxOnTopClick();
        form.close();
    }
    const IniFile ini = settingsOf(env);
    EXPECT_EQ(ini.readString(QStringLiteral("Form"), QStringLiteral("Top"), {}), QStringLiteral("120"));
    EXPECT_EQ(ini.readString(QStringLiteral("Form"), QStringLiteral("Left"), {}), QStringLiteral("100"));
    EXPECT_EQ(ini.readString(QStringLiteral("state"), QStringLiteral("gnrtxt"), {}), QStringLiteral("Jazz"));
    // A selected station stores its index only.
    EXPECT_FALSE(ini.value(QStringLiteral("state"), QStringLiteral("stntxt")).has_value());

    TForm1 again;
    EXPECT_EQ(again.pos(), QPoint(100, 120));
    EXPECT_EQ(again.cbgnr->currentText(), QStringLiteral("Jazz"));
    EXPECT_EQ(again.ComboBox1->currentText(), QStringLiteral("Jazz One"));
    EXPECT_EQ(again.DXAudioOut1->FramesInBuffer(), 8192u);
    EXPECT_EQ(static_cast<int>(again.MP3Out1->BitRate()), 9);
    EXPECT_EQ(again.Slider->value(), -500);
    EXPECT_TRUE(again.btnOnTop->isChecked());
    EXPECT_EQ(again.btnOnTop->text(), QStringLiteral("Enable Cover"));
    EXPECT_TRUE(again.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST(Settings, AnEmptyStoredWorkingFolderKeepsTheFolderInUse)
{
    FormEnv env;
    env.writeData(QStringLiteral("Fonolux.INI"), "[Basic]\nTempDir=\n");
    TForm1 form;
    EXPECT_EQ(form.edTempDir->text(), env.dataFolder());
    const QString chosen = env.home() + QStringLiteral("/recordings/");
    ASSERT_TRUE(QDir().mkpath(chosen));
    form.edTempDir->setText(chosen);
    form.ReadSettings();
    EXPECT_EQ(form.edTempDir->text(), chosen);
    EXPECT_EQ(form.path(), chosen);
}

TEST(Settings, TheRecordingModeIsKeptAndAnUnknownOneIsTheMp3Chain)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kTwoGenres);
    env.writeData(QStringLiteral("Fonolux.INI"), "[Quality]\nmp3bitrate=9\nRecordMode=7\n");
    {
        TForm1 form;
        EXPECT_EQ(form.cbRecordMode->currentIndex(), rmMp3);
        EXPECT_EQ(form.cbRecordMode->itemText(rmMp3), QStringLiteral("MP3 at 128 kbit/s"));
        EXPECT_EQ(form.cbRecordMode->itemText(rmAsBroadcast), QStringLiteral("As broadcast (no re-encoding)"));
        // The first item follows the bit rate chosen.
        form.cmmbr->setCurrentIndex(15);
        form.cmmbrCloseUp();
        EXPECT_EQ(form.cbRecordMode->itemText(rmMp3), QStringLiteral("MP3 at 320 kbit/s"));
        form.cbRecordMode->setCurrentIndex(rmAsBroadcast);
        // The songs' options start as one file, partial songs kept, .aac, the default folder.
        EXPECT_FALSE(form.cbSongFiles->isChecked());
        EXPECT_TRUE(form.cbKeepPartial->isChecked());
        EXPECT_EQ(form.cbAacFile->currentIndex(), afAdts);
        EXPECT_EQ(form.songFolder(), form.path() + QStringLiteral("Songs/"));
        form.cbSongFiles->setChecked(true);
        form.cbKeepPartial->setChecked(false);
        form.cbAacFile->setCurrentIndex(afM4a);
        form.songFolderDialogHook = [] { return QStringLiteral("/music/from the radio"); };
        form.btnSongDir->click();
        form.close();
    }
    EXPECT_EQ(settingsOf(env).readString(QStringLiteral("Quality"), QStringLiteral("RecordMode"), {}), QStringLiteral("1"));
    TForm1 again;
    EXPECT_EQ(again.cbRecordMode->currentIndex(), rmAsBroadcast);
    EXPECT_TRUE(again.cbSongFiles->isChecked());
    EXPECT_FALSE(again.cbKeepPartial->isChecked());
    EXPECT_EQ(again.cbAacFile->currentIndex(), afM4a);
    EXPECT_EQ(again.songFolder(), QStringLiteral("/music/from the radio/"));
    EXPECT_EQ(again.broadcastSaveExtension(TBroadcastFormat::Aac), QStringLiteral("m4a"));
}

TEST(Settings, ANewSettingsFileHoldsTheKeysInTheirSavingOrder)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), kTwoGenres);
    {
        TForm1 form;
        form.ComboBox1->setCurrentIndex(-1);
        form.ComboBox1->setEditText(QStringLiteral("http://typed.example.org/"));
        form.close();
    }
    const IniFile ini = settingsOf(env);
    EXPECT_EQ(ini.sections(), (QStringList{QStringLiteral("Form"), QStringLiteral("Basic"), QStringLiteral("Quality"),
                                           QStringLiteral("state")}));
    EXPECT_EQ(ini.keys(QStringLiteral("Basic")), (QStringList{QStringLiteral("TempDir"), QStringLiteral("SongDir"), QStringLiteral("strminms"),
                                                              QStringLiteral("gainintrvl"), QStringLiteral("PreRecTime")}));
    EXPECT_EQ(ini.keys(QStringLiteral("Quality")),
              (QStringList{QStringLiteral("mp3bitrate"), QStringLiteral("RecordMode"), QStringLiteral("SongFiles"),
                           QStringLiteral("KeepPartial"), QStringLiteral("AacFile"), QStringLiteral("BitRate"),
                           QStringLiteral("Smplr"),
                           QStringLiteral("DxPol"), QStringLiteral("DxLtnc"), QStringLiteral("DXFrm")}));
    EXPECT_EQ(ini.keys(QStringLiteral("state")),
              (QStringList{QStringLiteral("cbprerec"), QStringLiteral("vol"), QStringLiteral("gnridx"),
                           QStringLiteral("gnrtxt"), QStringLiteral("stnidx"), QStringLiteral("stntxt"),
                           QStringLiteral("OnTop")}));
    EXPECT_EQ(ini.readString(QStringLiteral("state"), QStringLiteral("stnidx"), {}), QStringLiteral("-1"));
    EXPECT_EQ(ini.readString(QStringLiteral("state"), QStringLiteral("stntxt"), {}), QStringLiteral("http://typed.example.org/"));
    EXPECT_EQ(ini.readString(QStringLiteral("Basic"), QStringLiteral("TempDir"), {}), env.dataFolder());
    EXPECT_EQ(ini.readString(QStringLiteral("state"), QStringLiteral("cbprerec"), {}), QStringLiteral("1"));
}

TEST(Settings, APositionThatIsNoIntegerLeavesThatCoordinateAlone)
{
    FormEnv env;
    env.writeData(QStringLiteral("Fonolux.INI"), "[Form]\nTop=abc\nLeft=77\n");
    TForm1 form;
    EXPECT_EQ(form.pos(), QPoint(77, 394));
}

TEST(Settings, MalformedSettingsFileGivesTheFirstValuesAndSurvivesSaving)
{
    FormEnv env;
    QByteArray text = "\xef\xbb\xbfnot a section line\r\n[Quality]\r\nDXFrm=1000\r\nDXFrm=2000\r\nBitRate=\xff\xfe\r\n"
                      "[quality]\r\nSmplr=22050\r\n[Basic]\r\nPreRecTime = 30 \r\njunk\xc3\r\n[state]\r\nvol=-10";
    env.writeData(QStringLiteral("Fonolux.INI"), text);
    {
        TForm1 form;
        EXPECT_EQ(form.DXAudioOut1->FramesInBuffer(), 1000u);
        EXPECT_EQ(form.FastResampler1->OutSampleRate(), 32000u); // in the duplicate section: not seen
        EXPECT_EQ(form.WMATap1->DesiredBitrate(), 192u);
        EXPECT_EQ(form.PrerecMs, 30000u);
        EXPECT_EQ(form.Slider->value(), -10);
        form.close();
    }
    const QByteArray after = env.readData(QStringLiteral("Fonolux.INI"));
    EXPECT_TRUE(after.contains("junk\xc3\r\n")) << "unknown lines are kept";
    EXPECT_TRUE(after.contains("DXFrm=1000\r\nDXFrm=2000\r\n"));
    TForm1 again;
    EXPECT_EQ(again.DXAudioOut1->FramesInBuffer(), 1000u);
}

TEST(Settings, TenMegabyteSettingsFileLoadsAndSaves)
{
    FormEnv env;
    QByteArray big = "[Quality]\nDXFrm=4096\n[Junk]\n";
    while (big.size() < 10 * 1024 * 1024)
        big += "filler line without meaning 0123456789 0123456789 0123456789\n";
    env.writeData(QStringLiteral("Fonolux.INI"), big);
    TForm1 form;
    EXPECT_EQ(form.DXAudioOut1->FramesInBuffer(), 4096u);
    form.close();
    EXPECT_GT(env.readData(QStringLiteral("Fonolux.INI")).size(), 10 * 1024 * 1024);
    EXPECT_TRUE(env.messages.isEmpty());
}

TEST(Settings, ASettingsFileThatCannotBeWrittenIsReported)
{
    FormEnv env;
    QDir().mkpath(env.dataFolder() + QStringLiteral("Fonolux.INI/blocked"));
    TForm1 form;
    form.close();
    ASSERT_FALSE(env.messages.isEmpty());
    EXPECT_TRUE(env.messages.last().startsWith(QStringLiteral("The settings could not be saved.")))
        << env.messages.join(u'|').toStdString();
    EXPECT_TRUE(QFileInfo(env.dataFolder() + QStringLiteral("Fonolux.INI/blocked")).isDir());
}

TEST(SetUpPage, LeavingItAppliesAndStoresOnlyWhileIdle)
{
    FormEnv env;
    TForm1 form;
    form.PageControl1->setCurrentWidget(form.tsSetUp);
    form.edDXFrm->setText(QStringLiteral("4096"));
    form.RecState = rsPlaying;
    form.PageControl1->setCurrentWidget(form.TabSheet1);
    EXPECT_EQ(form.DXAudioOut1->FramesInBuffer(), 24576u);
    EXPECT_EQ(settingsOf(env).readString(QStringLiteral("Quality"), QStringLiteral("DXFrm"), {}), QStringLiteral("24576"));
    EXPECT_EQ(form.edDXFrm->text(), QStringLiteral("4096")) << "the edit waits in its field";

    form.RecState = rsIdle;
    form.PageControl1->setCurrentWidget(form.tsSetUp);
    form.ToolButton3->click();
    EXPECT_FALSE(form.Panel1->isVisibleTo(form.tsSetUp)) << "Advanced shows the fields";
    form.edTempDir->setText(QStringLiteral("/no/such/folder"));
    form.PageControl1->setCurrentWidget(form.tsAddStn);
    EXPECT_EQ(form.DXAudioOut1->FramesInBuffer(), 4096u);
    EXPECT_EQ(settingsOf(env).readString(QStringLiteral("Quality"), QStringLiteral("DXFrm"), {}), QStringLiteral("4096"));
    EXPECT_FALSE(form.ToolButton3->isChecked());
    EXPECT_TRUE(form.Panel1->isVisibleTo(form.tsSetUp));
    EXPECT_EQ(form.edTempDir->text(), env.dataFolder()) << "a folder that does not exist gives way";
}

TEST(SetUpPage, ControlsStartAsDesignedAndNumericFieldsTakeDigitsOnly)
{
    FormEnv env;
    TForm1 form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Radio Zorbel"));
    EXPECT_EQ(form.size(), QSize(621, 392));
    EXPECT_EQ(form.Panel1->text(), QStringLiteral("Fonolux Version: 0.9.1.0"));
    EXPECT_EQ(form.edUndRun->text(), QStringLiteral("0"));
    EXPECT_TRUE(form.edUndRun->isReadOnly());
    ASSERT_EQ(form.PageControl1->count(), 5);
    EXPECT_EQ(form.PageControl1->tabText(3), QStringLiteral("Timers"));
    EXPECT_EQ(form.PageControl1->tabText(4), QStringLiteral("Find Station"));
    EXPECT_EQ(form.Label14->text(), QStringLiteral("Idle"));
    EXPECT_FALSE(form.btnOnTop->isChecked());
    EXPECT_EQ(form.btnOnTop->toolTip(), QStringLiteral("Click keep the Fonolux visible"));
    EXPECT_EQ(form.btnOnTop->text(), QStringLiteral("Stay on top"));
    // Closing the bit-rate list hands the choice to the encoder at once.
    form.cmmbr->setCurrentIndex(3);
    emit form.cmmbr->activated(3);
    EXPECT_EQ(static_cast<int>(form.MP3Out1->BitRate()), 3);

    form.edDXFrm->clear();
    form.edDXFrm->setFocus();
    QTest::keyClicks(form.edDXFrm, QStringLiteral("12a-b.3 "));
    EXPECT_EQ(form.edDXFrm->text(), QStringLiteral("123"));
    QTest::keyClick(form.edDXFrm, Qt::Key_Backspace);
    QTest::keyClick(form.edDXFrm, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(form.edDXFrm->text(), QStringLiteral("12"));
    // Arrows and Delete edit; Home is no allowed key, so the cursor stays where it was.
    QTest::keyClick(form.edDXFrm, Qt::Key_Left);
    QTest::keyClick(form.edDXFrm, Qt::Key_Delete);
    EXPECT_EQ(form.edDXFrm->text(), QStringLiteral("1"));
    QTest::keyClick(form.edDXFrm, Qt::Key_Home);
    QTest::keyClicks(form.edDXFrm, QStringLiteral("9"));
    EXPECT_EQ(form.edDXFrm->text(), QStringLiteral("19"));
    for (QLineEdit *field : {form.edPreRec, form.strminwait, form.EdBitRate, form.edSmplr, form.edDxLtnc,
                             form.edDxPol, form.edFGInt}) {
        const QString before = field->text();
        field->setFocus();
        QTest::keyClicks(field, QStringLiteral("x,"));
        EXPECT_EQ(field->text(), before) << field->objectName().toStdString();
    }

    env.messages.clear();
    form.edPreRec->setText(QStringLiteral("20"));
    EXPECT_EQ(form.PrerecMs, 20000u);
    form.edPreRec->setText(QStringLiteral("3"));
    EXPECT_EQ(form.PrerecMs, 15000u);
    form.edPreRec->setText(QString());
    EXPECT_EQ(form.PrerecMs, 15000u) << "an emptied field keeps the value";
    EXPECT_TRUE(env.messages.isEmpty()) << env.messages.join(u'|').toStdString();
}

TEST(SetUpPage, TypingNeverInterruptsAndALeftFieldIsCorrected)
{
    FormEnv env;
    TForm1 form;
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

    // Select the pre-recording time and clear it with Backspace: no box, the value stays.
    form.edPreRec->setFocus(Qt::MouseFocusReason);
    form.edPreRec->selectAll();
    QTest::keyClick(form.edPreRec, Qt::Key_Backspace);
    EXPECT_EQ(form.edPreRec->text(), QString());
    EXPECT_EQ(form.PrerecMs, 60000u);
    QTest::keyClicks(form.edPreRec, QStringLiteral("90"));
    EXPECT_EQ(form.PrerecMs, 90000u);
    // Left empty: the last valid number comes back and the status bar says why.
    form.edPreRec->selectAll();
    QTest::keyClick(form.edPreRec, Qt::Key_Backspace);
    QTest::keyClick(form.edPreRec, Qt::Key_Tab);
    EXPECT_FALSE(form.edPreRec->hasFocus());
    EXPECT_EQ(form.edPreRec->text(), QStringLiteral("90"));
    EXPECT_EQ(form.PrerecMs, 90000u);
    EXPECT_TRUE(form.statusPanelText().contains(QStringLiteral("from 15 to"))) << form.statusPanelText().toStdString();
    // Below the range: the lowest value.
    form.edPreRec->setFocus(Qt::MouseFocusReason);
    form.edPreRec->selectAll();
    QTest::keyClicks(form.edPreRec, QStringLiteral("5"));
    form.ComboBox1->setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(form.edPreRec->text(), QStringLiteral("15"));

    // The Set Up page's fields: out of range becomes the nearest bound, empty the last valid
    // number (here the default), and a valid number stands.
    form.PageControl1->setCurrentWidget(form.tsSetUp);
    form.ToolButton3->click();
    form.setStatusPanelText(QString());
    form.edDxLtnc->setFocus(Qt::MouseFocusReason);
    form.edDxLtnc->selectAll();
    QTest::keyClicks(form.edDxLtnc, QStringLiteral("0"));
    QTest::keyClick(form.edDxLtnc, Qt::Key_Tab);
    EXPECT_EQ(form.edDxLtnc->text(), QStringLiteral("10"));
    form.edDxLtnc->setFocus(Qt::MouseFocusReason);
    form.edDxLtnc->selectAll();
    QTest::keyClick(form.edDxLtnc, Qt::Key_Delete);
    QTest::keyClick(form.edDxLtnc, Qt::Key_Tab);
    EXPECT_EQ(form.edDxLtnc->text(), QStringLiteral("10")) << "10 was the last valid number";
    form.edSmplr->setFocus(Qt::MouseFocusReason);
    form.edSmplr->selectAll();
    QTest::keyClicks(form.edSmplr, QStringLiteral("44100"));
    form.setStatusPanelText(QString());
    QTest::keyClick(form.edSmplr, Qt::Key_Tab);
    EXPECT_EQ(form.edSmplr->text(), QStringLiteral("44100"));
    EXPECT_EQ(form.statusPanelText(), QString()) << "a valid number is not remarked on";
    EXPECT_TRUE(env.messages.isEmpty()) << env.messages.join(u'|').toStdString();
}

TEST(SetUpPage, PagesAndControlsFollowTheRecorderState)
{
    FormEnv env;
    TForm1 form;
    const int setUp = form.PageControl1->indexOf(form.tsSetUp);
    const int addStation = form.PageControl1->indexOf(form.tsAddStn);
    form.RecState = rsPrerecTap2;
    form.endis();
    EXPECT_FALSE(form.PageControl1->isTabEnabled(addStation));
    EXPECT_TRUE(form.PageControl1->isTabEnabled(setUp));
    EXPECT_FALSE(form.cbgnr->isEnabled());
    EXPECT_FALSE(form.ToolButton1->isEnabled());
    EXPECT_EQ(form.Label14->text(), QStringLiteral("Pre-Recording"));
    form.RecState = rsPlayPaused;
    form.endis();
    EXPECT_FALSE(form.PageControl1->isTabEnabled(setUp));
    EXPECT_EQ(form.Label14->text(), QStringLiteral("Play Paused"));
    // Restarting and closing change nothing, not even the exit button.
    for (TRecState other : {rsRestarting, rsClosing}) {
        form.btnStop->setEnabled(false);
        form.RecState = other;
        form.endis();
        EXPECT_FALSE(form.btnStop->isEnabled());
        EXPECT_FALSE(form.PageControl1->isTabEnabled(setUp));
        EXPECT_EQ(form.Label14->text(), QStringLiteral("Play Paused"));
    }
    // Idle opens everything again, the Set Up page included.
    form.RecState = rsIdle;
    form.endis();
    EXPECT_TRUE(form.PageControl1->isTabEnabled(setUp));
    EXPECT_TRUE(form.PageControl1->isTabEnabled(addStation));
    EXPECT_TRUE(form.cbgnr->isEnabled());
    EXPECT_TRUE(form.edTempDir->isEnabled());
    EXPECT_EQ(form.Label14->text(), QStringLiteral("Idle"));
}

TEST(Closing, TheExitButtonStopsTheTimerStoresTheSettingsAndClosesForGood)
{
    FormEnv env;
    TForm1 form;
    form.show();
    form.Timer1->start();
    form.edDXFrm->setText(QStringLiteral("2048"));
    QElapsedTimer clock;
    clock.start();
    form.btnStop->click();
    EXPECT_GE(clock.elapsed(), 100);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_EQ(form.RecState, rsClosing);
    EXPECT_EQ(settingsOf(env).readString(QStringLiteral("Quality"), QStringLiteral("DXFrm"), {}), QStringLiteral("2048"));
    // The window no longer answers a later start.
    form.ActivateFromOtherStart();
    EXPECT_FALSE(form.isVisible());
}

TEST(Encoder, AMissingEncoderLibraryIsAWarningOnly)
{
    FormEnv env;
    TForm1::setEncoderLibraryName(QStringLiteral("libfonolux-no-such-encoder.so.0"));
    TForm1 form;
    EXPECT_EQ(env.messages,
              QStringList{QStringLiteral("Warning: Cannot Save recorded MP3 Files (could not load libmp3lame.so.0)")});
    EXPECT_FALSE(form.terminateRequested());
}

} // namespace
