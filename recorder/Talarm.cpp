// Talarm: the scheduled timer record, its control bindings and its persistence in the store.
#include "Talarm.h"

#include "IniFile.h"
#include "Main.h"
#include "UserStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimeEdit>

namespace {

// A combo box takes a text the way a typed one is taken: an item of exactly that text is
// selected, any other text stands alone with no item selected.
void setComboText(QComboBox *box, const QString &text)
{
    const int i = box->findText(text);
    box->setCurrentIndex(i);
    if (i < 0)
        box->setEditText(text);
}

void setItems(QComboBox *box, const QStringList &items)
{
    box->clear();
    box->addItems(items);
}

DateTimeValue pickerValue(const QDateTimeEdit *picker)
{
    const QDateTime dt = picker->dateTime();
    return DateTimeValue::fromDateTime(dt.date(), dt.time());
}

// ---- value encodings ----

// An integer value: a 32-bit number, or its decimal text when stored as a string (a text that is
// no number gives the default). Any other type fails.
std::int32_t readInt(UserStore &s, const QString &key, const QString &name, std::int32_t def)
{
    switch (s.valueType(key, name)) {
    case UserStore::ValueType::None:
        return def;
    case UserStore::ValueType::String: {
        bool ok = false;
        const int v = s.readString(key, name).value_or(QString()).trimmed().toInt(&ok);
        return ok ? v : def;
    }
    default:
        return s.readInteger(key, name).value_or(def);
    }
}

bool readBool(UserStore &s, const QString &key, const QString &name, bool def)
{
    return readInt(s, key, name, def ? 1 : 0) != 0;
}

QString readText(UserStore &s, const QString &key, const QString &name)
{
    return s.readString(key, name).value_or(QString());
}

DateTimeValue readDate(UserStore &s, const QString &key, const QString &name, const DateTimeValue &def)
{
    const auto bytes = s.readBinary(key, name);
    if (!bytes)
        return def;
    const auto v = DateTimeValue::fromBytes(*bytes);
    if (!v)
        throw UserStoreError(QStringLiteral("Invalid data type for '%1'").arg(name));
    return *v;
}

// A number is written as a 32-bit integer unless the value already exists as a string, which
// then gets the decimal text.
void writeInt(UserStore &s, const QString &key, const QString &name, std::int32_t v)
{
    if (s.valueType(key, name) == UserStore::ValueType::String)
        s.writeString(key, name, QString::number(v));
    else
        s.writeInteger(key, name, v);
}

void writeBool(UserStore &s, const QString &key, const QString &name, bool v)
{
    s.writeString(key, name, v ? QStringLiteral("1") : QStringLiteral("0"));
}

} // namespace

void Talarm::bind(TForm1 *form, const TTimerPanel &p, int i)
{
    form_ = form;
    fplay = p.rdply;
    frecord = p.rdrec;
    fprerecord = p.rdpre;
    fmonthly = p.rdmnth;
    fweekly = p.rdwkl;
    fdayly = p.rddly;
    fhourly = p.rdhr;
    fenabled = p.btnEnbl;
    Fstartdate = p.dtstr;
    Fstopdate = p.dtsto;
    Fstarttime = p.tmstr;
    Fstoptime = p.tmsto;
    fstation = p.cbostn;
    fgenre = p.cbognr;
    FCheckStart = p.chkstr;
    FCheckStop = p.chksto;
    FcheckRepeat = p.chkrpt;
    FCheckVolume = p.cbxVol;
    FVolume = p.slvol;
    index = i;
    alarmStart = alarmStop = blk = false;
}

QString Talarm::registryKey() const
{
    // "Software\" + the application object's name (none) + ".alarms." + index.
    return QStringLiteral("Software\\.alarms.") + QString::number(index);
}

int Talarm::getplay() const
{
    if (fplay->isChecked())
        return 2;
    if (frecord->isChecked())
        return 1;
    return 0;
}

void Talarm::setplay(int val)
{
    switch (val) {
    case 0: fprerecord->setChecked(true); break;
    case 1: frecord->setChecked(true); break;
    case 2: fplay->setChecked(true); break;
    default: break;
    }
}

int Talarm::getrepeat() const
{
    if (fmonthly->isChecked())
        return 3;
    if (fweekly->isChecked())
        return 2;
    if (fdayly->isChecked())
        return 1;
    return 0;
}

void Talarm::setrepeat(int val)
{
    switch (val) {
    case 0: fhourly->setChecked(true); break;
    case 1: fdayly->setChecked(true); break;
    case 2: fweekly->setChecked(true); break;
    case 3: fmonthly->setChecked(true); break;
    default: break;
    }
}

bool Talarm::getenabled() const
{
    return fenabled->isChecked();
}

void Talarm::setenabled(bool val)
{
    if (val != fenabled->isChecked())
        form_->btnEnbl0Click(fenabled);
}

DateTimeValue Talarm::getstartdate() const { return pickerValue(Fstartdate); }
DateTimeValue Talarm::getstopdate() const { return pickerValue(Fstopdate); }
DateTimeValue Talarm::getstarttime() const { return pickerValue(Fstarttime); }
DateTimeValue Talarm::getstoptime() const { return pickerValue(Fstoptime); }

void Talarm::setstartdate(const DateTimeValue &val)
{
    const QSignalBlocker b(Fstartdate);
    Fstartdate->setDate(val.date());
}

void Talarm::setstopdate(const DateTimeValue &val)
{
    const QSignalBlocker b(Fstopdate);
    Fstopdate->setDate(val.date());
}

void Talarm::setstarttime(const DateTimeValue &val)
{
    if (Fstarttime->time() == val.time())
        return;
    const QSignalBlocker b(Fstarttime);
    Fstarttime->setTime(val.time());
}

void Talarm::setstoptime(const DateTimeValue &val)
{
    if (Fstoptime->time() == val.time())
        return;
    const QSignalBlocker b(Fstoptime);
    Fstoptime->setTime(val.time());
}

QString Talarm::getgenre() const
{
    return fgenre->currentText();
}

void Talarm::setgenre(const QString &val)
{
    if (fgenre->count() == 0) {
        setItems(fgenre, IniFile(form_->stationsFileName()).sections());
        QCoreApplication::processEvents();
        fgenre->setCurrentIndex(0);
    }
    setComboText(fgenre, val);
    QCoreApplication::processEvents();
    if (fgenre->currentIndex() == -1) {
        fstation->clear();
        fstation->setEditText(QString());
        return;
    }
    setItems(fstation, IniFile(form_->stationsFileName()).keys(fgenre->currentText()));
    fstation->setCurrentIndex(0);
    form_->cbostn0Change(fstation);
    chkenbl();
}

QString Talarm::getstation() const
{
    return fstation->currentText();
}

void Talarm::setstation(const QString &val)
{
    setComboText(fstation, val);
    chkenbl();
}

bool Talarm::getcheckstart() const { return FCheckStart->isChecked(); }
bool Talarm::getcheckstop() const { return FCheckStop->isChecked(); }
bool Talarm::getcheckrepeat() const { return FcheckRepeat->isChecked(); }
bool Talarm::getcheckVolume() const { return FCheckVolume->isChecked(); }
void Talarm::setcheckstart(bool val) { FCheckStart->setChecked(val); }
void Talarm::setcheckstop(bool val) { FCheckStop->setChecked(val); }
void Talarm::setcheckrepeat(bool val) { FcheckRepeat->setChecked(val); }
void Talarm::setcheckvolume(bool val) { FCheckVolume->setChecked(val); }

int Talarm::getVolume() const
{
    return FVolume->value();
}

void Talarm::setVolume(int val)
{
    FVolume->setValue(val);
}

void Talarm::onoff(bool on)
{
    QWidget *const controls[] = {fplay,      frecord,   fprerecord, fmonthly,   fweekly,  fdayly,
                                 fhourly,    Fstartdate, Fstopdate, Fstarttime, Fstoptime, fstation,
                                 fgenre,     FCheckStart, FCheckStop, FcheckRepeat, FVolume, FCheckVolume};
    for (QWidget *w : controls)
        w->setEnabled(on);
}

void Talarm::save()
{
    UserStore s;
    const QString key = registryKey();
    if (!s.createKey(key))
        throw UserStoreError(QStringLiteral("Failed to set data for '%1'").arg(QStringLiteral("Index")));
    const QString v = key + QStringLiteral("\\first");
    writeInt(s, v, QStringLiteral("Index"), index);
    s.writeString(v, QStringLiteral("url"), url);
    writeBool(s, v, QStringLiteral("enabled"), getenabled());
    s.writeBinary(v, QStringLiteral("DateStart"), getstartdate().toBytes());
    s.writeBinary(v, QStringLiteral("Datestop"), getstopdate().toBytes());
    s.writeBinary(v, QStringLiteral("timestart"), getstarttime().toBytes());
    s.writeBinary(v, QStringLiteral("timestop"), getstoptime().toBytes());
    s.writeString(v, QStringLiteral("Genre"), getgenre());
    s.writeString(v, QStringLiteral("Station"), getstation());
    writeBool(s, v, QStringLiteral("CheckStart"), getcheckstart());
    writeBool(s, v, QStringLiteral("CheckStop"), getcheckstop());
    writeBool(s, v, QStringLiteral("CheckVolume"), getcheckVolume());
    writeInt(s, v, QStringLiteral("Play"), getplay());
    writeBool(s, v, QStringLiteral("checkRepeat"), getcheckrepeat());
    writeInt(s, v, QStringLiteral("radiorepeat"), getrepeat());
    writeInt(s, v, QStringLiteral("volume"), getVolume());
    writeInt(s, v, QStringLiteral("genreindex"), fgenre->currentIndex());
    writeInt(s, v, QStringLiteral("stnindex"), fstation->currentIndex());
}

void Talarm::recall()
{
    UserStore s;
    const QString key = registryKey();
    // Opened with full access and created when missing; an unusable store reads as empty.
    s.createKey(key);
    const QString v = key + QStringLiteral("\\first");
    const DateTimeValue now = DateTimeValue::fromQDateTime(form_->SchedulerNow());

    index = readInt(s, v, QStringLiteral("Index"), index);
    setstartdate(readDate(s, v, QStringLiteral("DateStart"), now));
    setstopdate(readDate(s, v, QStringLiteral("Datestop"), now));
    setstarttime(readDate(s, v, QStringLiteral("timestart"), now));
    setstoptime(readDate(s, v, QStringLiteral("timestop"), now));
    fgenre->setCurrentIndex(readInt(s, v, QStringLiteral("genreindex"), 0));
    setgenre(readText(s, v, QStringLiteral("Genre")));
    fstation->setCurrentIndex(readInt(s, v, QStringLiteral("stnindex"), 0));
    setstation(readText(s, v, QStringLiteral("Station")));
    // The saved address wins over the one the rebuilt lists looked up.
    url = readText(s, v, QStringLiteral("url"));
    setcheckstart(readBool(s, v, QStringLiteral("CheckStart"), false));
    setcheckstop(readBool(s, v, QStringLiteral("CheckStop"), false));
    setplay(readInt(s, v, QStringLiteral("Play"), 0));
    setcheckrepeat(readBool(s, v, QStringLiteral("checkRepeat"), false));
    setrepeat(readInt(s, v, QStringLiteral("radiorepeat"), 0));
    setVolume(readInt(s, v, QStringLiteral("volume"), 0));
    setcheckvolume(readBool(s, v, QStringLiteral("checkVolume"), true));
    setenabled(readBool(s, v, QStringLiteral("enabled"), false));
    chkenbl();
}

TTimerMoment Talarm::startMoment() const
{
    return TTimerMoment{Fstartdate->date(), Fstarttime->time().msecsSinceStartOfDay() / 1000, getcheckrepeat(),
                        getrepeat()};
}

TTimerMoment Talarm::stopMoment() const
{
    return TTimerMoment{Fstopdate->date(), Fstoptime->time().msecsSinceStartOfDay() / 1000, getcheckrepeat(),
                        getrepeat()};
}

void Talarm::chkenbl()
{
    if (blk || form_->Saving)
        return;
    const bool start = getcheckstart(), stop = getcheckstop();
    const bool valid = getcheckrepeat() && (start || stop) &&
                       ((fgenre->currentIndex() != -1 && fstation->currentIndex() != -1) || !url.isEmpty());
    bool enabled = valid;
    if (!enabled)
        enabled = oneShotArmable(TWallClock::fromLocal(form_->SchedulerNow()), start, startMoment(), stop,
                                 stopMoment(), TForm1::IsStreamUrl(url));
    fenabled->setEnabled(enabled);
    if (!enabled && fenabled->isChecked())
        form_->btnEnbl0Click(fenabled);
    onoff(!(fenabled->isChecked() && enabled));
}

bool Talarm::istriger()
{
    alarmStart = alarmStop = false;
    startOccurrence.reset();
    stopOccurrence.reset();
    const bool start = getcheckstart(), stop = getcheckstop();
    if ((!start && !stop) || !getenabled())
        return false;
    const TWallClock now = TWallClock::fromLocal(form_->SchedulerNow());
    if (start) {
        startOccurrence = momentOccurrence(startMoment(), now);
        alarmStart = startOccurrence.has_value();
    }
    if (stop) {
        stopOccurrence = momentOccurrence(stopMoment(), now);
        alarmStop = stopOccurrence.has_value();
    }
    return alarmStart || alarmStop;
}

bool Talarm::SkipTrig()
{
    const TForm1 &f = *form_;
    if (url != f.currentStreamUrl())
        return false;
    const TRecState s = f.RecState;
    bool doing = false;
    switch (getplay()) {
    case 0:
        // Pre-recording is switched on, and the recorder receives: an idle recorder that
        // last played this station must still be started.
        doing = f.cbPreRec->isChecked() && s <= rsRecordingPlain;
        break;
    case 1:
        doing = s == rsRecording || s == rsRecordingPlain;
        break;
    default:
        doing = s == rsPlaying;
        break;
    }
    if (!doing)
        return false;
    if (getcheckVolume() && getVolume() != f.Slider->value())
        return false;
    return getcheckstart();
}
