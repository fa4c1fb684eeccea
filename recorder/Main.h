// The recorder's main window and controller.
//
// TForm1 owns every control of the four pages ("Radio", "Set Up", "Add Station", "Timers"),
// the status bar and the controller state. This unit holds program start, the data folder,
// the settings file "Fonolux.INI", the Set Up page, the station list "stations.ini" with the
// genre and station boxes, and the Add Station page. Controls whose behaviour arrives with the
// receiver, the recorder states, the scheduler and the web pane are present and inert until
// then; the values the settings feed to the audio components are kept in plain fields named
// after those components.
//
// Everything here runs on the GUI thread. Waits (WaitPumping) process pending events, so
// handlers may be re-entered while one of them waits.
#pragma once

#include "RecState.h"
#include "Talarm.h"

#include <QDateTime>
#include <QMainWindow>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

class IniFile;
class NumericKeyFilter;
class QCheckBox;
class QComboBox;
class QDateEdit;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QAction;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QStatusBar;
class QTabWidget;
class QTimeEdit;
class QTimer;
class QToolBar;
class QToolButton;
class VerticalLabel;

// Settings destined for the audio components, held until the components exist. Each struct is
// named after the component's class, each member after the component's property.
struct TWMStreamedInSettings {
    std::uint32_t MaxWaitMilliseconds = 10000;
};
struct TFastResamplerSettings {
    std::uint32_t OutSampleRate = 32000;
};
struct TWMATapSettings {
    std::uint32_t DesiredBitrate = 256;
};
struct TFastGainIndicatorSettings {
    std::uint32_t Interval = 200;
};
struct TDXAudioOutSettings {
    std::uint32_t Latency = 500;
    std::uint32_t PollingInterval = 10;
    std::uint32_t FramesInBuffer = 24576;
    int Volume = 0;
};
struct TMP3OutSettings {
    int BitRate = 12; // ordinal of the encoder's bit-rate list: 0 Auto, 1 = 32 kbps ... 12 = 192 kbps
};

// The controls of one scheduled timer's panel on the Timers page; every name ends in the
// timer's number and every control carries it in its "Tag" property.
struct TTimerPanel {
    QFrame *panel = nullptr;
    QRadioButton *rdply = nullptr, *rdrec = nullptr, *rdpre = nullptr;
    QRadioButton *rdmnth = nullptr, *rdwkl = nullptr, *rddly = nullptr, *rdhr = nullptr;
    QPushButton *btnEnbl = nullptr;
    QGroupBox *startGroup = nullptr, *stopGroup = nullptr, *repeatGroup = nullptr;
    QDateEdit *dtstr = nullptr, *dtsto = nullptr;
    QTimeEdit *tmstr = nullptr, *tmsto = nullptr;
    QComboBox *cbostn = nullptr, *cbognr = nullptr;
    QCheckBox *chkstr = nullptr, *chksto = nullptr, *chkrpt = nullptr, *cbxVol = nullptr;
    QSlider *slvol = nullptr;
    VerticalLabel *volumeLabel = nullptr;
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate: reads the station list and the settings and checks
    // for the MP3 encoder library.
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override; // FormDestroy

    // Folder of the seed files, the help document and the trimmer: the executable's folder
    // unless set otherwise (tests point it at the repository's data folder).
    static QString programFolder();
    static void setProgramFolder(const QString &folder);
    // A file the program ships with (seed, page, help document): its path beside the program
    // or in the installed data folder "<prefix>/share/fonolux/"; empty when neither has it.
    // With a program folder set, only that folder is searched.
    static QString programFile(const QString &name);
    // The MP3 encoder library checked at start; tests may name one that does not exist.
    static void setEncoderLibraryName(const QString &name);

    // True once the data folder could not be created: the program is to end.
    bool terminateRequested() const { return terminateRequested_; }

    // ---- data folder and settings ----
    QString AppDataPath();    // the data folder, created and seeded when missing; ends with "/"
    QString inifilename();    // the data folder's "Fonolux.INI" (matched ignoring case)
    QString stationsFileName(); // the data folder's "stations.ini" (matched ignoring case)
    QString path();           // the working folder; ends with "/"
    void ReadSettings();
    bool saveSettings();      // false (after telling the user) when the file could not be written
    static QString FileVersionText();

    // ---- station list ----
    void LoadGenres();        // genre box := the file's sections, first selected, stations too
    void cbgnrChange();
    void ComboBox1Change();
    QString StationUrl(const QString &genre, const QString &station);
    void Reload1Click();
    void btnEdStnClick();
    void tsAddStnShow();
    void cbAdstnChange();
    void edAddUrlChange();
    void btnTstUrlClick();
    void btnAddStnClick();
    static bool IsStreamUrl(const QString &text);

    // ---- Set Up page, life cycle ----
    void btnStopClick();
    void SpeedButton1Click(); // "Set Data Directory..."
    void SpeedButton2Click(); // "Advanced"
    void cbxOnTopClick();
    void cmmbrCloseUp();
    void edPreRecChange();
    void tsSetUpShow();
    void tsSetUpHide();
    void endis();
    // The playback volume: the sound output takes the main slider's position, whichever
    // slider (main or a timer's) changed.
    void SliderChange();
    // A later start of the program asked this one to show itself.
    void ActivateFromOtherStart();

    // Processes pending events until at least ms milliseconds have passed; returns the time
    // that passed.
    std::uint32_t WaitPumping(std::uint32_t ms);

    // The single panel of the status bar.
    QString statusPanelText() const;
    void setStatusPanelText(const QString &text);

    // ---- controller state ----
    TRecState RecState = rsIdle;
    std::uint32_t PrerecMs = 60000;
    std::uint32_t StopMark = 0;
    bool Saving = false;
    bool RecordOnFlow = false;
    bool AutoSave = false;
    bool PrerecOnFlow = false;
    std::vector<std::uint32_t> GainHistory;
    bool RadioPageShown = true;
    bool Renavigate = false;

    // ---- component settings (see the structs above) ----
    TWMStreamedInSettings WMStreamedIn1;
    TFastResamplerSettings FastResampler1;
    TWMATapSettings WMATap1, WMATap2;
    TFastGainIndicatorSettings FastGainIndicator1;
    TDXAudioOutSettings DXAudioOut1;
    TMP3OutSettings MP3Out1;

    // ---- controls ----
    QTabWidget *PageControl1 = nullptr;
    QWidget *TabSheet1 = nullptr, *tsSetUp = nullptr, *tsAddStn = nullptr, *TabSheet2 = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    QLabel *StatusBar1Panel = nullptr;
    QTimer *Timer1 = nullptr;

    // Radio page
    QLabel *mrqstn = nullptr;
    QGroupBox *GroupBox2 = nullptr, *GroupBox1 = nullptr;
    QToolButton *BitBtn1 = nullptr, *BitBtn2 = nullptr;
    QToolButton *RecordButton = nullptr, *PauseRecordButton = nullptr;
    QLabel *playtime = nullptr, *Label7 = nullptr;
    QComboBox *cbgnr = nullptr, *ComboBox1 = nullptr;
    QCheckBox *cbPreRec = nullptr;
    QLineEdit *edPreRec = nullptr;
    QLabel *Label6 = nullptr, *Label1 = nullptr, *Label4 = nullptr, *Label8 = nullptr, *Label14 = nullptr;
    QSlider *Slider = nullptr, *ProgressBar2 = nullptr;
    VerticalLabel *MMLabel1 = nullptr;
    QLabel *Image1 = nullptr;
    QFrame *Panel2 = nullptr, *WebBrowser1 = nullptr;
    QPushButton *SpeedButton3 = nullptr;
    QToolButton *btnclip = nullptr, *btnStop = nullptr;

    // Set Up page
    QToolBar *ToolBar1 = nullptr;
    QToolButton *ToolButton1 = nullptr, *btnOnTop = nullptr, *ToolButton2 = nullptr, *ToolButton3 = nullptr;
    QMenu *Edit1 = nullptr;
    QAction *Edit2 = nullptr, *Reload1 = nullptr;
    QLineEdit *edTempDir = nullptr, *edUndRun = nullptr;
    QLabel *Panel1 = nullptr;
    QComboBox *cmmbr = nullptr;
    QLineEdit *strminwait = nullptr, *EdBitRate = nullptr, *edSmplr = nullptr, *edDxLtnc = nullptr;
    QLineEdit *edDxPol = nullptr, *edDXFrm = nullptr, *edFGInt = nullptr;

    // Add Station page
    QLabel *Label3 = nullptr, *Label9 = nullptr;
    QComboBox *cbAdstn = nullptr;
    QLineEdit *edAddUrl = nullptr, *edadStnDsc = nullptr;
    QPushButton *btnTstUrl = nullptr, *btnAddStn = nullptr, *SpeedButton1 = nullptr, *SpeedButton2 = nullptr;
    QPlainTextEdit *Memo1 = nullptr;

    // Timers page
    std::array<TTimerPanel, 3> timerPanels{};

    // ---- scheduled timers (MainScheduler.cpp) ----
    // Timer i is bound to timerPanels[i]; the shared handlers find it by the sender's "Tag".
    std::array<Talarm, 3> alarms{};
    // The clocks the scheduler reads: the millisecond tick count and the local time. Tests
    // replace them to drive the timers through days in moments.
    std::function<std::uint32_t()> SchedulerTicks;
    std::function<QDateTime()> SchedulerNow;
    // FormShow: every timer is read back from the store, then its panel locked when armed.
    void FormShow();
    // Closing: the timers' settings go to the store (throws UserStoreError).
    void saveTimers();
    void btnEnbl0Click(QObject *Sender);
    void cbognr0Change(QObject *Sender);
    void cbostn0Change(QObject *Sender);
    void chkstr0Click(QObject *Sender);
    void tmstr0Change(QObject *Sender);
    // The label "Volume" of timer 0: tells whether timer 0's moment is now.
    void MMLabel2Click();
    void Panel3Click() {}
    void Panel4Click() {}
    void Panel5Click() {}
    void dtstr0Click() {}

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Window building (MainWindowBuild.cpp).
    void buildWindow();
    QWidget *buildRadioPage();
    QWidget *buildSetUpPage();
    QWidget *buildAddStationPage();
    QWidget *buildTimersPage();
    void buildTimerPanel(QWidget *page, int i, int top);
    QLineEdit *addNumericField(QWidget *parent, const char *name, const QString &label,
                               const QString &text, int x, int y);
    void wireHandlers();

    void FormCreate();
    void FormCloseQuery();
    void FormClose();
    void closeGuard();
    void checkEncoderLibrary();
    void pageChanged(int index);
    void applyPositionFromSettings(const IniFile &ini);
    void reloadTimerStations(int i);
    // After the stations file was read again: the timers' station lists are refilled, enabled
    // timers are reset and the message says so.
    void resetTimersAfterReload();
    void bindTimers();
    void wireTimerPage();
    // Receiving arrives with the audio chain; Test URL already calls this entry point.
    void BitBtn1Click();
    void message(const QString &text);

    NumericKeyFilter *numericFilter_ = nullptr;
    int currentPage_ = 0;
    bool terminateRequested_ = false;
    bool dataFolderMessageShown_ = false;
    bool seedMessageShown_ = false;
    bool activationHooked_ = false;
    bool closing_ = false;
    bool readingSettings_ = false;
    bool shown_ = false;
};
