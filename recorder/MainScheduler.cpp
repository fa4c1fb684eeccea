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

#include <chrono>

namespace {

std::uint32_t monotonicTicks()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

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
    if (!SchedulerTicks)
        SchedulerTicks = monotonicTicks;
    if (!SchedulerNow)
        SchedulerNow = [] { return QDateTime::currentDateTime(); };
    for (int i = 0; i < 3; ++i)
        alarms[static_cast<size_t>(i)].bind(this, timerPanels[static_cast<size_t>(i)], i);
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
        message(e.message());
    }
    const QString notice = UserStore::takeNotice();
    if (!notice.isEmpty())
        message(notice);
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
    setButtonPicture(b, b->isChecked() ? 2 : 0);
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
    message(alarms[0].istriger() ? QStringLiteral("triggered") : QStringLiteral("Not triggered"));
}
