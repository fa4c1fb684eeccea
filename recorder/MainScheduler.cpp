// TForm1: the scheduled timers: binding them to their panels, restoring them when the window is
// shown and saving them when it closes, and the Timers page's handlers.
#include "Main.h"

#include "AuMedia.h"
#include "ButtonPictures.h"
#include "IniFile.h"
#include "UserMessages.h"
#include "UserStore.h"
#include "VerticalLabel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QSlider>
#include <QTimeEdit>


namespace {

// The timer a shared handler's sender belongs to (its "Tag"), or -1 for any other sender.
int timerOf(const QObject *Sender)
{
    if (!Sender)
        return -1;
    bool ok = false;
    const int tag = Sender->property("Tag").toInt(&ok);
    return ok && tag >= 0 && tag <= 2 ? tag : -1;
}

// Shows the hourglass pointer while it lives.
class BusyPointer {
public:
    BusyPointer() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyPointer() { QApplication::restoreOverrideCursor(); }
    BusyPointer(const BusyPointer &) = delete;
    BusyPointer &operator=(const BusyPointer &) = delete;
};

} // namespace

void TForm1::bindTimers()
{
    if (!SchedulerNow)
        SchedulerNow = [] { return QDateTime::currentDateTime(); };
    for (int i = 0; i < 3; ++i)
        alarms[static_cast<size_t>(i)].bind(this, timerPanels[static_cast<size_t>(i)], i);
    // The main timer runs the scheduler step every 1.5 s; an abandoned connect runs AutoStop.
    schedulerStep = [this] { SchedulerStep(); };
    autoStop = [this] { AutoStop(); };
}

void TForm1::wireTimerPage()
{
    for (TTimerPanel &t : timerPanels) {
        QPushButton *b = t.btnEnbl;
        connect(b, &QPushButton::clicked, this, [this, b] {
            // The button has toggled itself; btnEnbl0Click does the toggling.
            b->setChecked(!b->isChecked());
            btnEnbl0Click(b);
        });
        // A typed text selects no item, as in the Radio page's boxes.
        auto typed = [this](QComboBox *box, void (TForm1::*handler)(QObject *)) {
            connect(box->lineEdit(), &QLineEdit::textEdited, this, [this, box, handler](const QString &text) {
                const int cursor = box->lineEdit()->cursorPosition();
                box->setCurrentIndex(-1);
                box->setEditText(text);
                box->lineEdit()->setCursorPosition(cursor);
                (this->*handler)(box);
            });
            connect(box, &QComboBox::activated, this, [this, box, handler] { (this->*handler)(box); });
        };
        typed(t.cbognr, &TForm1::cbognr0Change);
        typed(t.cbostn, &TForm1::cbostn0Change);
        for (QCheckBox *c : {t.chkstr, t.chksto, t.chkrpt, t.cbxVol})
            connect(c, &QCheckBox::toggled, this, [this, c] { chkstr0Click(c); });
        for (QDateTimeEdit *p : std::initializer_list<QDateTimeEdit *>{t.tmstr, t.dtstr, t.tmsto, t.dtsto})
            connect(p, &QDateTimeEdit::dateTimeChanged, this, [this, p] { tmstr0Change(p); });
        connect(t.slvol, &QSlider::valueChanged, this, &TForm1::SliderChange);
    }
    // Only timer 0's label answers a click.
    connect(timerPanels[0].volumeLabel, &VerticalLabel::clicked, this, &TForm1::MMLabel2Click);
}

void TForm1::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::FormShow()
{
    try {
        for (Talarm &a : alarms)
            a.recall();
        for (Talarm &a : alarms)
            a.onoff(!a.getenabled());
    } catch (const UserStoreError &e) {
        // A failed read stops the restore where it stands; the user is told what failed.
        report(e.message());
    }
    const QString notice = UserStore::takeNotice();
    if (!notice.isEmpty())
        report(notice);
}

void TForm1::saveTimers()
{
    for (Talarm &a : alarms)
        a.save();
}

void TForm1::btnEnbl0Click(QObject *Sender)
{
    const int i = timerOf(Sender);
    if (i < 0)
        return;
    Talarm &a = alarms[static_cast<size_t>(i)];
    QPushButton *b = a.fenabled;
    b->setChecked(!b->isChecked());
    setButtonPicture(b, b->isChecked() ? bpStop : bpStart);
    if (b->isChecked()) {
        b->setText(QStringLiteral("Timer Enabled "));
        a.onoff(false);
    } else {
        b->setText(QStringLiteral("Timer Disabled "));
        a.onoff(true);
        if (i == 0)
            a.chkenbl();
    }
}

void TForm1::cbognr0Change(QObject *Sender)
{
    const int i = timerOf(Sender);
    if (i < 0)
        return;
    Talarm &a = alarms[static_cast<size_t>(i)];
    const IniFile ini(stationsFileName());
    a.fstation->clear();
    a.fstation->addItems(ini.keys(a.fgenre->currentText()));
    a.fstation->setCurrentIndex(0);
    cbostn0Change(a.fstation);
}

void TForm1::cbostn0Change(QObject *Sender)
{
    const int i = timerOf(Sender);
    if (i < 0)
        return;
    Talarm &a = alarms[static_cast<size_t>(i)];
    const BusyPointer busy;
    a.url = StationUrl(a.fgenre->currentText(), a.fstation->currentText());
    a.chkenbl();
}

void TForm1::chkstr0Click(QObject *Sender)
{
    const int i = timerOf(Sender);
    if (i >= 0)
        alarms[static_cast<size_t>(i)].chkenbl();
}

void TForm1::tmstr0Change(QObject *Sender)
{
    const int i = timerOf(Sender);
    if (i >= 0)
        alarms[static_cast<size_t>(i)].chkenbl();
}

void TForm1::MMLabel2Click()
{
    report(alarms[0].istriger() ? QStringLiteral("triggered") : QStringLiteral("Not triggered"));
}

void TForm1::SchedulerStep()
{
    // A closing window starts nothing new.
    if (RecState == rsClosing || closing_)
        return;
    for (Talarm &a : alarms)
        if (a.istriger())
            trigSequencer.offer(a.index, a.alarmStart ? a.startOccurrence : std::nullopt,
                                a.alarmStop ? a.stopOccurrence : std::nullopt);
    try {
        trigSequencer.drain([this](const TTrigSequencer::Moment &m) {
            Talarm &a = alarms[static_cast<size_t>(m.timer)];
            a.alarmStart = m.start;
            a.alarmStop = m.stop;
            trig(static_cast<std::uint8_t>(m.timer));
        });
    } catch (const std::exception &e) {
        report(QString::fromUtf8(e.what()));
    }
}

void TForm1::trig(std::uint8_t i)
{
    if (i > 2)
        return;
    Talarm &t = alarms[i];
    // The moment this run carries out; checks running during the waits below recompute the
    // record's flags.
    const bool start = t.alarmStart, stop = t.alarmStop;
    struct CheckAtEnd {
        Talarm &t;
        ~CheckAtEnd() { t.chkenbl(); }
    } checkAtEnd{t};

    // A start that would change nothing is dropped. A stop always goes ahead: a repeating
    // timer keeps its start check, so its stop would otherwise be dropped exactly while the
    // recorder is doing the timer's job.
    if (start && t.SkipTrig())
        return;
    QCoreApplication::processEvents();
    if (start) {
        t.blk = true;
        t.setcheckstart(t.getcheckrepeat()); // a one-shot start is used up
        t.blk = false;
        if (t.getplay() == 1 && RecState < rsRecording && t.url == currentStreamUrl()) {
            // The station already plays: record from the next level report on.
            RecordOnFlow = true;
            return;
        }
        AutoStop();
        if (t.getcheckVolume()) {
            Slider->setValue(t.getVolume());
            SliderChange();
        }
        cbgnr->setCurrentIndex(t.fgenre->currentIndex());
        if (cbgnr->currentText() != t.getgenre())
            cbgnr->setEditText(t.getgenre());
        cbgnrChange();
        WaitPumping(10);
        ComboBox1->setCurrentIndex(t.fstation->currentIndex());
        if (ComboBox1->currentText() != t.getstation())
            ComboBox1->setEditText(t.getstation());
        if (StationUrl(cbgnr->currentText(), ComboBox1->currentText()) != t.url) {
            // Tune to the timer's own address: an unselected station text is the address.
            ComboBox1->setCurrentIndex(-1);
            ComboBox1->setEditText(t.url);
        }
        switch (t.getplay()) {
        case 0:
            cbPreRec->setChecked(true);
            break;
        case 1:
            cbPreRec->setChecked(false);
            RecordOnFlow = true;
            break;
        default:
            cbPreRec->setChecked(false);
            break;
        }
        WaitPumping(1);
        if (RecState == rsIdle)
            BitBtn1Click();
    } else if (stop) {
        t.blk = true;
        t.setcheckstop(t.getcheckrepeat()); // a one-shot stop is used up
        t.blk = false;
        AutoStop();
    }
}

void TForm1::AutoStop()
{
    StopMark = tickNow();
    switch (RecState) {
    case rsIdle:
        return;
    case rsPlayPaused:
        BitBtn2Click();
        WaitPumping(500);
        break;
    case rsRecordPaused:
        PauseRecordButtonClick();
        WaitPumping(50);
        [[fallthrough]];
    case rsRecording:
    case rsRecordingPlain:
        if (RecState == rsRecording || RecState == rsRecordingPlain) {
            AutoSave = true;
            RecordButtonClick();
            WaitPumping(1000);
            AutoSave = false;
        }
        break;
    default:
        break;
    }
    // The save ends with the recorder receiving again; until it has, Receive would connect
    // rather than stop.
    WaitPumpingUntil([this] { return !Saving; }, 600000);
    if (RecState != rsIdle)
        BitBtn1Click();
    for (TWMATap *tap : {WMATap1, WMATap2}) {
        while (tap->Status() != tosIdle || tickNow() - StopMark <= 20000) {
            setCursor(Qt::BusyCursor);
            tap->Reset();
            WaitPumping(3);
        }
    }
    unsetCursor();
}

QString TForm1::currentStreamUrl() const
{
    return WMStreamedIn1 ? QString::fromStdString(WMStreamedIn1->FileName()) : QString();
}
