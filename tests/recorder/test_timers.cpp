// The scheduled timers' records: defaults on a first run, saving and restoring every setting
// through the per-user store, the store's encodings and failures, and the panel's lock.
#include "RecorderTestSupport.h"

#include "UserStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimeEdit>

namespace {

const QString kKey0 = QStringLiteral("Software\\.alarms.0\\first");
const QString kKey1 = QStringLiteral("Software\\.alarms.1\\first");

QString storeFile(const FormEnv &env)
{
    return env.home() + QStringLiteral("/Zorbel/registry.db");
}

// A fixed present for the window's scheduler clock: Wednesday 9 December 2026, 10:00:00.
QDateTime fixedNow()
{
    return QDateTime(QDate(2026, 12, 9), QTime(10, 0, 0));
}

std::unique_ptr<TForm1> shownForm()
{
    auto form = std::make_unique<TForm1>();
    form->SchedulerNow = fixedNow;
    form->show();
    return form;
}

bool panelLocked(const Talarm &a)
{
    return !a.fplay->isEnabled() && !a.Fstartdate->isEnabled() && !a.fgenre->isEnabled() && !a.FVolume->isEnabled();
}

TEST(TimerRecords, FirstRunShowsTheDefaultsAndCreatesTheKeys)
{
    FormEnv env;
    auto form = shownForm();
    for (const Talarm &a : form->alarms) {
        SCOPED_TRACE(a.index);
        EXPECT_EQ(a.getplay(), 0);
        EXPECT_TRUE(a.fprerecord->isChecked());
        EXPECT_EQ(a.getrepeat(), 0);
        EXPECT_TRUE(a.fhourly->isChecked());
        EXPECT_FALSE(a.getcheckstart());
        EXPECT_FALSE(a.getcheckstop());
        EXPECT_FALSE(a.getcheckrepeat());
        EXPECT_TRUE(a.getcheckVolume());
        EXPECT_EQ(a.getVolume(), 0);
        EXPECT_EQ(a.getstartdate().date(), fixedNow().date());
        EXPECT_EQ(a.getstoptime().time(), fixedNow().time());
        EXPECT_FALSE(a.getenabled());
        EXPECT_FALSE(a.fenabled->isEnabled()) << "nothing to arm";
        EXPECT_FALSE(panelLocked(a));
        EXPECT_TRUE(a.url.isEmpty());
    }
    EXPECT_TRUE(env.messages.isEmpty()) << env.messages.join(u'|').toStdString();
    UserStore s(storeFile(env));
    for (int i = 0; i < 3; ++i) {
        const QString key = QStringLiteral("Software\\.alarms.") + QString::number(i);
        EXPECT_TRUE(s.keyExists(key)) << i;
        EXPECT_TRUE(s.valueNames(key).isEmpty());
        EXPECT_FALSE(s.keyExists(key + QStringLiteral("\\first")));
    }
    form->PageControl1->setCurrentWidget(form->TabSheet2);
    saveScreenshot(form.get(), QStringLiteral("timers-first-run"));
}

TEST(TimerRecords, SaveAndRecallRoundTripEverySetting)
{
    FormEnv env;
    auto form = shownForm();
    Talarm &a = form->alarms[1];
    a.setplay(1);
    a.setrepeat(3);
    a.setcheckrepeat(true);
    a.setcheckstart(true);
    a.setcheckstop(true);
    a.setcheckvolume(false);
    a.setVolume(-1234);
    a.setstartdate(DateTimeValue::fromDateTime(QDate(2031, 5, 6), QTime(1, 2, 3)));
    a.setstopdate(DateTimeValue::fromDateTime(QDate(2032, 2, 29), QTime(4, 5, 6)));
    a.setstarttime(DateTimeValue::fromDateTime(QDate(1999, 1, 1), QTime(7, 8, 9)));
    a.setstoptime(DateTimeValue::fromDateTime(QDate(1999, 1, 1), QTime(21, 22, 23)));
    a.setgenre(QStringLiteral("Jazz"));
    a.fstation->setCurrentIndex(2);
    form->cbostn0Change(a.fstation);
    ASSERT_EQ(a.getstation(), QStringLiteral("FIP Jazz"));
    ASSERT_EQ(a.url, QStringLiteral("https://icecast.radiofrance.fr/fipjazz-midfi.mp3"));
    ASSERT_TRUE(a.fenabled->isEnabled()) << "repeat, start and a station make it valid";
    a.setenabled(true);
    ASSERT_TRUE(a.getenabled());
    const DateTimeValue startTime = a.getstarttime();
    const DateTimeValue stopDate = a.getstopdate();
    form->saveTimers();

    // A second window reads it all back.
    auto again = shownForm();
    const Talarm &b = again->alarms[1];
    EXPECT_EQ(b.getplay(), 1);
    EXPECT_EQ(b.getrepeat(), 3);
    EXPECT_TRUE(b.getcheckrepeat());
    EXPECT_TRUE(b.getcheckstart());
    EXPECT_TRUE(b.getcheckstop());
    EXPECT_FALSE(b.getcheckVolume());
    EXPECT_EQ(b.getVolume(), -1234);
    EXPECT_EQ(b.getstartdate().date(), QDate(2031, 5, 6));
    EXPECT_EQ(b.getstopdate().date(), QDate(2032, 2, 29));
    EXPECT_EQ(b.getstopdate().time(), b.Fstopdate->time()) << "the date picker keeps its own time of day";
    EXPECT_EQ(b.getstarttime().time(), QTime(7, 8, 9));
    EXPECT_EQ(b.getstoptime().time(), QTime(21, 22, 23));
    EXPECT_EQ(b.getgenre(), QStringLiteral("Jazz"));
    EXPECT_EQ(b.fgenre->currentIndex(), 1);
    EXPECT_EQ(b.getstation(), QStringLiteral("FIP Jazz"));
    EXPECT_EQ(b.fstation->currentIndex(), 2);
    EXPECT_EQ(b.url, QStringLiteral("https://icecast.radiofrance.fr/fipjazz-midfi.mp3"));
    EXPECT_TRUE(b.getenabled());
    EXPECT_EQ(b.fenabled->text(), QStringLiteral("Timer Enabled "));
    EXPECT_TRUE(panelLocked(b));
    again->PageControl1->setCurrentWidget(again->TabSheet2);
    saveScreenshot(again.get(), QStringLiteral("timers-restored-armed"));
    // The other timers were saved untouched and come back as they were.
    EXPECT_FALSE(again->alarms[0].getenabled());
    EXPECT_FALSE(panelLocked(again->alarms[2]));

    // The stored values have the documented types and names.
    UserStore s(storeFile(env));
    EXPECT_EQ(s.valueNames(kKey1),
              (QStringList{QStringLiteral("Index"), QStringLiteral("url"), QStringLiteral("enabled"),
                           QStringLiteral("DateStart"), QStringLiteral("Datestop"), QStringLiteral("timestart"),
                           QStringLiteral("timestop"), QStringLiteral("Genre"), QStringLiteral("Station"),
                           QStringLiteral("CheckStart"), QStringLiteral("CheckStop"), QStringLiteral("CheckVolume"),
                           QStringLiteral("Play"), QStringLiteral("checkRepeat"), QStringLiteral("radiorepeat"),
                           QStringLiteral("volume"), QStringLiteral("genreindex"), QStringLiteral("stnindex")}));
    EXPECT_EQ(s.readInteger(kKey1, QStringLiteral("Index")), 1);
    EXPECT_EQ(s.readString(kKey1, QStringLiteral("enabled")), QStringLiteral("1"));
    EXPECT_EQ(s.readString(kKey1, QStringLiteral("CheckVolume")), QStringLiteral("0"));
    EXPECT_EQ(s.readBinary(kKey1, QStringLiteral("timestart")), startTime.toBytes());
    EXPECT_EQ(s.readBinary(kKey1, QStringLiteral("Datestop")), stopDate.toBytes());
}

TEST(TimerRecords, TheTimePickerKeepsItsOwnDatePart)
{
    FormEnv env;
    {
        UserStore s(storeFile(env));
        s.writeBinary(kKey0, QStringLiteral("timestart"),
                      DateTimeValue::fromDateTime(QDate(2044, 4, 4), QTime(5, 6, 7)).toBytes());
    }
    auto probe = std::make_unique<TForm1>();
    const QDate ownDate = probe->alarms[0].Fstarttime->date();
    probe.reset();
    auto form = shownForm();
    EXPECT_EQ(form->alarms[0].getstarttime().time(), QTime(5, 6, 7));
    EXPECT_EQ(form->alarms[0].getstarttime().date(), ownDate);
    EXPECT_NE(form->alarms[0].getstarttime().date(), QDate(2044, 4, 4));
}

TEST(TimerRecords, StoredEncodingsAreReadAsTheRegistryWould)
{
    FormEnv env;
    {
        UserStore s(storeFile(env));
        // Another spelling of a name, an integer kept as text, a number that is none.
        s.writeString(kKey0, QStringLiteral("CHECKVOLUME"), QStringLiteral("0"));
        s.writeString(kKey0, QStringLiteral("volume"), QStringLiteral("-5"));
        s.writeString(kKey0, QStringLiteral("Play"), QStringLiteral("two"));
        s.writeInteger(kKey0, QStringLiteral("radiorepeat"), 2);
        s.writeInteger(kKey0, QStringLiteral("checkRepeat"), 1);
    }
    auto form = shownForm();
    Talarm &a = form->alarms[0];
    EXPECT_FALSE(a.getcheckVolume()) << "\"CHECKVOLUME\" is the value read as \"checkVolume\"";
    EXPECT_EQ(a.getVolume(), -5);
    EXPECT_EQ(a.getplay(), 0);
    EXPECT_EQ(a.getrepeat(), 2);
    EXPECT_TRUE(a.getcheckrepeat());

    // setplay and setrepeat ignore values outside their range.
    a.setplay(2);
    a.setplay(5);
    a.setrepeat(1);
    a.setrepeat(-1);
    EXPECT_EQ(a.getplay(), 2);
    EXPECT_TRUE(a.fplay->isChecked());
    EXPECT_EQ(a.getrepeat(), 1);
    EXPECT_TRUE(a.fdayly->isChecked());

    // An integer stored as text is rewritten as text; the others as numbers.
    a.setVolume(-7);
    form->saveTimers();
    UserStore s(storeFile(env));
    EXPECT_EQ(s.valueType(kKey0, QStringLiteral("volume")), UserStore::ValueType::String);
    EXPECT_EQ(s.readString(kKey0, QStringLiteral("volume")), QStringLiteral("-7"));
    EXPECT_EQ(s.valueType(kKey0, QStringLiteral("Play")), UserStore::ValueType::String);
    EXPECT_EQ(s.readString(kKey0, QStringLiteral("play")), QStringLiteral("2"));
    EXPECT_EQ(s.readInteger(kKey0, QStringLiteral("radiorepeat")), 1);
    EXPECT_EQ(s.readString(kKey0, QStringLiteral("checkvolume")), QStringLiteral("0"));
    EXPECT_EQ(s.valueNames(kKey0).count(QStringLiteral("CHECKVOLUME")), 1);
}

TEST(TimerRecords, AValueOfTheWrongTypeStopsTheRestoreWithTheMessage)
{
    FormEnv env;
    {
        UserStore s(storeFile(env));
        s.writeInteger(kKey0, QStringLiteral("volume"), -300);
        s.writeString(kKey0, QStringLiteral("timestart"), QStringLiteral("10:00"));
    }
    auto form = shownForm();
    EXPECT_EQ(env.messages, QStringList{QStringLiteral("Invalid data type for 'timestart'")});
    // Nothing after the failed value was applied, and the later timers were not restored.
    EXPECT_EQ(form->alarms[0].getVolume(), 0);
    UserStore s(storeFile(env));
    EXPECT_FALSE(s.keyExists(QStringLiteral("Software\\.alarms.1")));
}

TEST(TimerRecords, AStationNoLongerListedKeepsItsSavedAddress)
{
    FormEnv env;
    const QString address = QStringLiteral("http://gone.example.com:8000/stream");
    {
        UserStore s(storeFile(env));
        s.writeInteger(kKey0, QStringLiteral("genreindex"), 0);
        s.writeString(kKey0, QStringLiteral("Genre"), QStringLiteral("Vanished Genre"));
        s.writeInteger(kKey0, QStringLiteral("stnindex"), 0);
        s.writeString(kKey0, QStringLiteral("Station"), QStringLiteral("Vanished Station"));
        s.writeString(kKey0, QStringLiteral("url"), address);
        s.writeString(kKey0, QStringLiteral("checkRepeat"), QStringLiteral("1"));
        s.writeString(kKey0, QStringLiteral("CheckStart"), QStringLiteral("1"));
        s.writeString(kKey0, QStringLiteral("enabled"), QStringLiteral("1"));
        // Timer 1: a listed genre whose saved station is gone.
        s.writeInteger(kKey1, QStringLiteral("genreindex"), 2);
        s.writeString(kKey1, QStringLiteral("Genre"), QStringLiteral("Classical"));
        s.writeInteger(kKey1, QStringLiteral("stnindex"), 7);
        s.writeString(kKey1, QStringLiteral("Station"), QStringLiteral("Closed Down FM"));
        s.writeString(kKey1, QStringLiteral("url"), address);
    }
    auto form = shownForm();
    const Talarm &a = form->alarms[0];
    EXPECT_EQ(a.getgenre(), QStringLiteral("Vanished Genre"));
    EXPECT_EQ(a.getstation(), QStringLiteral("Vanished Station"));
    EXPECT_EQ(a.url, address);
    EXPECT_TRUE(a.getenabled()) << "the saved address keeps the repeating timer valid";
    EXPECT_TRUE(panelLocked(a));
    const Talarm &b = form->alarms[1];
    EXPECT_EQ(b.getgenre(), QStringLiteral("Classical"));
    EXPECT_EQ(b.fstation->count(), 3);
    EXPECT_EQ(b.getstation(), QStringLiteral("Closed Down FM"));
    EXPECT_EQ(b.fstation->currentIndex(), -1);
    EXPECT_EQ(b.url, address);
}

TEST(TimerRecords, AnArmedTimerNoLongerValidComesBackDisarmed)
{
    FormEnv env;
    {
        UserStore s(storeFile(env));
        // A one-shot start yesterday: nothing left to do.
        s.writeString(kKey0, QStringLiteral("CheckStart"), QStringLiteral("1"));
        s.writeBinary(kKey0, QStringLiteral("DateStart"),
                      DateTimeValue::fromDateTime(QDate(2026, 12, 8), QTime(12, 0)).toBytes());
        s.writeString(kKey0, QStringLiteral("url"), QStringLiteral("http://radio.example.com:8000/live"));
        s.writeString(kKey0, QStringLiteral("enabled"), QStringLiteral("1"));
    }
    auto form = shownForm();
    const Talarm &a = form->alarms[0];
    EXPECT_FALSE(a.getenabled());
    EXPECT_FALSE(a.fenabled->isEnabled());
    EXPECT_EQ(a.fenabled->text(), QStringLiteral("Timer Disabled "));
    EXPECT_FALSE(panelLocked(a));
}

TEST(TimerRecords, ADamagedStoreGivesDefaultsAndOneMessage)
{
    FormEnv env;
    QDir().mkpath(env.home() + QStringLiteral("/Zorbel"));
    QFile f(storeFile(env));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("not a database at all, just some text that someone put here\n").repeated(40));
    f.close();
    auto form = shownForm();
    ASSERT_EQ(env.messages.size(), 1) << env.messages.join(u'|').toStdString();
    EXPECT_TRUE(env.messages[0].contains(QStringLiteral("registry.db.damaged")));
    EXPECT_TRUE(QFileInfo::exists(storeFile(env) + QStringLiteral(".damaged")));
    EXPECT_EQ(form->alarms[2].getplay(), 0);
    EXPECT_TRUE(form->alarms[2].getcheckVolume());
    // Saving works again into the new store, without telling anything more.
    form->alarms[2].setVolume(-99);
    form->close();
    EXPECT_EQ(env.messages.size(), 1);
    UserStore s(storeFile(env));
    EXPECT_EQ(s.readInteger(QStringLiteral("Software\\.alarms.2\\first"), QStringLiteral("volume")), -99);
}

TEST(TimerRecords, ClosingTheWindowSavesTheTimers)
{
    FormEnv env;
    {
        auto form = shownForm();
        form->alarms[2].setplay(2);
        form->alarms[2].setcheckstop(true);
        form->close();
    }
    UserStore s(storeFile(env));
    EXPECT_EQ(s.readInteger(QStringLiteral("Software\\.alarms.2\\first"), QStringLiteral("Play")), 2);
    EXPECT_EQ(s.readString(QStringLiteral("Software\\.alarms.2\\first"), QStringLiteral("CheckStop")), QStringLiteral("1"));
    EXPECT_EQ(s.readInteger(QStringLiteral("Software\\.alarms.0\\first"), QStringLiteral("Index")), 0);
}

} // namespace
