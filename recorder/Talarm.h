// One scheduled timer of the Timers page.
//
// A Talarm holds no settings of its own: its control references point at the controls of its
// panel (Panel3, Panel4 or Panel5 for timers 0, 1, 2), whose states are the settings. The
// getters and setters read and write those controls, save and recall copy them to and from the
// per-user store under "Software\.alarms.<index>\first", and the few data fields beside the
// references (the trigger flags, the block flag, the number and the stream address) are the
// record's own. The window owns the controls; the record only refers to them.
//
// Setters act like the user: changing a check box runs its click handler (chkstr0Click, which
// runs chkenbl), checking a radio button unchecks its group mates, and setenabled clicks the
// enable button. Setting a picker does not run the picker's change handler; recall ends with
// chkenbl instead.
//
// GUI thread only. save and recall throw UserStoreError ("Invalid data type for '%s'", "Failed
// to set data for '%s'"); recall stops at the value that failed.
#pragma once

#include "DateTimeValue.h"
#include "TimerMoments.h"

#include <QString>

#include <cstdint>
#include <optional>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimeEdit;
class QWidget;
class TForm1;
struct TTimerPanel;

class Talarm {
public:
    // ---- control references (timer 0's names; the others end in their own digit) ----
    QRadioButton *fplay = nullptr;      // rdply0 "Play"
    QRadioButton *frecord = nullptr;    // rdrec0 "Record"
    QRadioButton *fprerecord = nullptr; // rdpre0 "PreRecord"
    QRadioButton *fmonthly = nullptr;   // rdmnth0 "Monthly"
    QRadioButton *fweekly = nullptr;    // rdwkl0 "Weekly"
    QRadioButton *fdayly = nullptr;     // rddly0 "Dayly"
    QRadioButton *fhourly = nullptr;    // rdhr0 "Hourly"
    QPushButton *fenabled = nullptr;    // btnEnbl0, checked = armed
    QDateEdit *Fstartdate = nullptr;    // dtstr0
    QDateEdit *Fstopdate = nullptr;     // dtsto0
    QTimeEdit *Fstarttime = nullptr;    // tmstr0
    QTimeEdit *Fstoptime = nullptr;     // tmsto0
    QComboBox *fstation = nullptr;      // cbostn0
    QComboBox *fgenre = nullptr;        // cbognr0
    QCheckBox *FCheckStart = nullptr;   // chkstr0
    QCheckBox *FCheckStop = nullptr;    // chksto0
    QCheckBox *FcheckRepeat = nullptr;  // chkrpt0
    QCheckBox *FCheckVolume = nullptr;  // cbxVol0
    QSlider *FVolume = nullptr;         // slvol0, -4000..0

    // ---- the record's own data ----
    bool alarmStart = false; // the start moment is now (written by istriger)
    bool alarmStop = false;  // the stop moment is now (written by istriger)
    bool blk = false;        // while set, chkenbl does nothing
    std::int32_t index = 0;
    QString url;             // the stream address of the timer's station

    // The occurrences istriger found for the start and the stop (see TimerMoments.h); the
    // scheduler carries each occurrence out once.
    std::optional<std::int64_t> startOccurrence, stopOccurrence;

    // Points every reference at the controls of panel i and clears the flags.
    void bind(TForm1 *form, const TTimerPanel &panel, int i);

    // 0 = PreRecord, 1 = Record, 2 = Play.
    int getplay() const;
    void setplay(int val);
    // 0 = Hourly, 1 = Dayly, 2 = Weekly, 3 = Monthly.
    int getrepeat() const;
    void setrepeat(int val);
    bool getenabled() const;
    void setenabled(bool val);
    // The pickers' full values; the setters change only the date (date pickers) or only the
    // time of day (time pickers) and keep the picker's other part.
    DateTimeValue getstartdate() const;
    DateTimeValue getstopdate() const;
    DateTimeValue getstarttime() const;
    DateTimeValue getstoptime() const;
    void setstartdate(const DateTimeValue &val);
    void setstopdate(const DateTimeValue &val);
    void setstarttime(const DateTimeValue &val);
    void setstoptime(const DateTimeValue &val);
    QString getgenre() const;
    void setgenre(const QString &val);
    QString getstation() const;
    void setstation(const QString &val);
    bool getcheckstart() const;
    bool getcheckstop() const;
    bool getcheckrepeat() const;
    bool getcheckVolume() const;
    void setcheckstart(bool val);
    void setcheckstop(bool val);
    void setcheckrepeat(bool val);
    void setcheckvolume(bool val);
    int getVolume() const;
    void setVolume(int val);

    // Enables or disables every referenced control but the enable button.
    void onoff(bool on);

    void save();
    void recall();

    // Validates the settings, enables the enable button accordingly, disarms a timer no longer
    // valid and locks the panel exactly while the timer is armed and valid.
    void chkenbl();
    // Computes alarmStart and alarmStop for the present moment of the window's clock.
    bool istriger();
    // True when carrying out the start would change nothing.
    bool SkipTrig();

    // The start and stop settings as the trigger rules take them.
    TTimerMoment startMoment() const;
    TTimerMoment stopMoment() const;

    // "Software\.alarms.<index>"; the values lie in its subkey "first".
    QString registryKey() const;

private:
    TForm1 *form_ = nullptr;
};
