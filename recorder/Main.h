// The recorder's main window and controller.
//
// TForm1 owns every control of the five pages ("Radio", "Set Up", "Add Station", "Timers",
// "Find Station"),
// the status bar, the controller state and the audio components of the receive chain
// (WMStreamedIn1 -> FastResampler1 -> WMATap1 -> WMATap2 -> FastGainIndicator1 -> DXAudioOut1)
// and of the save chain (WMIn1, WMIn2 -> AudioMixer1 -> MP3Out1). Its members live in files by
// concern: Main.cpp (start, settings, Set Up page, closing), Stations.cpp, MainReceive.cpp,
// MainRecord.cpp, MainSave.cpp, MainTimer.cpp, MainScheduler.cpp, MainDesktopBus.cpp (the
// desktop's media-player controls on the session bus), MainWeb.cpp (the web pane and launches),
// MainDirectory.cpp (the Find Station page and station lists in and out).
//
// Everything here runs on the GUI thread, component events included (they arrive through the
// pipeline's window-thread dispatcher), except the taps' OnOutputError, which comes on the WMA
// writer's thread and is passed on as a queued call. Waits (WaitPumping) process pending
// events, so handlers may be re-entered while one of them waits; the public entry points the
// scheduler calls (BitBtn1Click, BitBtn2Click, RecordButtonClick) tolerate that.
#pragma once

#include "AuPacketRing.h"
#include "HeldFiles.h"
#include "RecState.h"
#include "RecorderRules.h"
#include "StationDirectory.h"
#include "SettingsTable.h"
#include "SongSplit.h"
#include "Talarm.h"
#include "UserMessages.h"

#include <QDateTime>
#include <QMainWindow>
#include <QString>
#include <QUrl>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class IniFile;
class LevelMeter;
class MprisService;
class QFileDialog;
class TAudioMixer;
class TComponent;
class TDXAudioOut;
class TFastGainIndicator;
class TFastResampler;
class TMP3Out;
class TWMATap;
class TWMIn;
class TWMStreamedIn;
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
class QTreeWidget;
class TScrollingMarquee;
class VerticalLabel;
class WebPane;
class WindowExposure;

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

// The controls of the Find Station page (MainDirectory.cpp).
struct TFindPanel {
    QLineEdit *edName = nullptr, *edTag = nullptr, *edCountry = nullptr, *edLanguage = nullptr;
    QComboBox *cbCodec = nullptr, *cbBitrate = nullptr, *cbOrder = nullptr;
    QCheckBox *cbxBroken = nullptr;
    QPushButton *btnSearch = nullptr;
    QTreeWidget *lvResults = nullptr;
    QPushButton *btnPrev = nullptr, *btnNext = nullptr, *btnPlay = nullptr;
    QLabel *lblPage = nullptr;
    QComboBox *cbGenre = nullptr; // editable: a genre of the list, or a new one
    QPushButton *btnAdd = nullptr, *btnImport = nullptr, *btnExport = nullptr;
    QLabel *lblStatus = nullptr;  // the page's message line
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
    // Recording as broadcast (MainBroadcast.cpp). The recording mode box's first item names
    // the MP3 bit rate chosen ("MP3 at 192 kbit/s").
    void updateRecordModeItems();
    // The compressed ring the network input feeds with every packet it reads.
    TPacketRing &packetRing() { return *packetRing_; }
    // The format the running ring or recording keeps as broadcast; None while the taps (the MP3
    // chain) serve it or nothing runs.
    TBroadcastFormat broadcastFormat() const { return broadcastFormat_; }
    // The extension a recording in Format is saved with ("m4a" for AAC when so chosen).
    QString broadcastSaveExtension(TBroadcastFormat Format) const;
    // The folder songs are saved in, with a trailing slash.
    QString songFolder();
    void edPreRecChange();
    void tsSetUpShow();
    void tsSetUpHide();
    // Enables the controls and sets the status text for the current RecState (see
    // StateLayout); ends by processing pending events.
    void endis();
    // The playback volume: the sound output takes the main slider's position, whichever
    // slider (main or a timer's) changed.
    void SliderChange();
    // A later start of the program asked this one to show itself.
    void ActivateFromOtherStart();

    // Processes pending events until at least ms milliseconds have passed; returns the time
    // that passed.
    std::uint32_t WaitPumping(std::uint32_t ms);
    // Processes pending events until Done() or TimeoutMs have passed; returns Done().
    bool WaitPumpingUntil(const std::function<bool()> &Done, std::uint32_t TimeoutMs);

    // The single panel of the status bar.
    QString statusPanelText() const;
    void setStatusPanelText(const QString &text);
    // Tells the user about a problem or an outcome: a message box for what needs an answer
    // (ui::Report::Answer), the status bar's panel for what needs none (ui::Report::Notice).
    // Every handler reports through here.
    void report(const QString &text, ui::Report how = ui::Report::Answer);
    // The numeric text field of a setting (the Set Up page's fields and edPreRec); null for a
    // setting without one.
    QLineEdit *numericField(TSettingId Id) const;
    // The text of the marquee's one item: "Station not connected." until a station plays,
    // then genre and title. Setting it re-renders the item; the scroll carries on.
    QString marqueeText() const;
    void setMarqueeText(const QString &text);

    // ---- receive and play (MainReceive.cpp) ----
    // In rsIdle connects and starts playing; otherwise stops receiving.
    void BitBtn1Click();
    // Pauses playback while the output plays, otherwise resumes it.
    void BitBtn2Click();
    // The station address to play for Address (a playlist is fetched and its entry taken).
    // Sets playlistRefusal() when the playlist's entry must not be opened.
    QString ResolveStreamUrl(const QString &Address);
    bool FetchUrlText(const QString &Address, QString &Text, QString *Refusal = nullptr);
    QString playlistRefusal() const { return playlistRefusal_; }
    void WMStreamedIn1StreamOpened(TComponent *Sender);
    void WMStreamedIn1StartedPlaying(TComponent *Sender);
    void DXAudioOut1Done(TComponent *Sender);
    void DXAudioOut1ThreadException(TComponent *Sender);
    void DXAudioOut1Underrun(TComponent *Sender);
    // Called on the WMA writer's thread; shows its message on the GUI thread.
    void WMATap1OutputError(TComponent *Sender, std::uint32_t Reason);
    // The settings' values for the components (at start and whenever settings are applied).
    void applyComponentSettings();

    // ---- recorder states and recording control (MainRecord.cpp) ----
    void StartPrerec();
    void prerecTimer();
    void stopprerec();
    // Starts a recording while the output runs; in a recording state stops it and saves it.
    void RecordButtonClick();
    void PauseRecordButtonClick();
    // "Record This Song": a recording from the start of the song playing now when the ring
    // still holds it, otherwise from the oldest kept audio (MainSongs.cpp).
    void RecordSongButtonClick();
    // The folder dialog's choice for the songs' folder; tests replace it. Empty: cancelled.
    std::function<QString()> songFolderDialogHook;

    // ---- saving (MainSave.cpp) ----
    void MP3Out1Done(TComponent *Sender);
    void MP3Out1ThreadException(TComponent *Sender);
    // Moves Source to Target, replacing it. False (after a bounded wait) when it cannot.
    bool MoveTempFile(const QString &Source, const QString &Target);
    // The save dialog's choice for the next recording; tests replace it. Empty: cancelled.
    std::function<QString()> saveDialogHook;
    QString lastSaveName() const { return lastSaveName_; }
    // The encoder library checked at a recording stop.
    bool encoderLibraryLoads();

    // ---- main timer and status display (MainTimer.cpp) ----
    void Timer1Timer();
    void GainIndicator1GainData(TComponent *Sender);
    void playtimeDblClick();
    // Tick count source: the platform's millisecond counter; tests may replace it.
    static std::uint32_t tickNow();
    static void setTickSource(std::function<std::uint32_t()> source);
    // The scheduler step, called by the timer (a no-op until the scheduler is wired).
    std::function<void()> schedulerStep;
    // The scheduler's AutoStop, run when a connect is abandoned.
    std::function<void()> autoStop;

    // ---- web pane and launches (MainWeb.cpp) ----
    // The pane's address: "/senden.html" of the site named by the setting [Basic] WebHost, or
    // the page shipped beside the program when that is empty. The home page likewise.
    QUrl PaneUrl();
    QUrl HomePageUrl();
    // Sets up the pane and navigates it to PaneUrl (at start); a site the pane may not show
    // (run as root, or no engine) gives way to the shipped page.
    void StartWebPane();
    // What the status bar says at start about the pane's site: that it is not shown (and why),
    // that it comes without encryption (plain http), or nothing.
    static QString WebPaneNotice(const QUrl &site, bool canShowSites, bool root);
    // The main timer's duty: enables the pane after a load, refreshes it every 120 s while the
    // Radio page shows and the window is not minimised, loads it anew after the page was hidden.
    void WebPaneUpkeep();
    void TabSheet1Show();
    void TabSheet1Hide();
    // Opens an address in the desktop's default browser.
    void OpenInBrowser(const QUrl &address);
    void Image1Click();       // the home page
    void SpeedButton3Click(); // the help document "Fonolux Doc.pdf"
    void btnclipClick();      // the trimmer on the last saved MP3
    // Starts the trimmer beside the program on mp3File as its one argument, as a process of its
    // own; false when it could not be started.
    bool launchTrimmer(const QString &mp3File);

    // ---- controller state ----
    TRecState RecState = rsIdle;
    std::int16_t RecStartState = 0;
    TRecState ResumeState = rsIdle;
    std::uint32_t PrerecMs = 60000;
    std::uint32_t PrerecSwitchTick = 0;
    bool PrerecRunning = false;
    bool PrerecOnFlow = false;
    bool RecordOnFlow = false;
    bool AutoSave = false;
    bool Saving = false;
    std::uint32_t StopMark = 0;
    std::uint32_t LastGainTick = 0;
    bool AudioFlowing = false;
    std::uint32_t StallCounter = 0;
    // Stall restarts since the last level report.
    std::uint32_t StallRestarts = 0;
    std::uint32_t TimerCheckTick = 0;
    TClock RecClock, PlayClock;
    std::vector<std::uint32_t> GainHistory;
    bool RadioPageShown = true;
    bool Renavigate = false;

    // ---- audio components (owned by the window; see MainReceive.cpp) ----
    TWMStreamedIn *WMStreamedIn1 = nullptr;
    TFastResampler *FastResampler1 = nullptr;
    TWMATap *WMATap1 = nullptr;
    TWMATap *WMATap2 = nullptr;
    TFastGainIndicator *FastGainIndicator1 = nullptr;
    TDXAudioOut *DXAudioOut1 = nullptr;
    TWMIn *WMIn1 = nullptr;
    TWMIn *WMIn2 = nullptr;
    TAudioMixer *AudioMixer1 = nullptr;
    TMP3Out *MP3Out1 = nullptr;

    // ---- controls ----
    QTabWidget *PageControl1 = nullptr;
    QWidget *TabSheet1 = nullptr, *tsSetUp = nullptr, *tsAddStn = nullptr, *TabSheet2 = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    QLabel *StatusBar1Panel = nullptr;
    QTimer *Timer1 = nullptr;

    // Radio page
    TScrollingMarquee *mrqstn = nullptr;
    QGroupBox *GroupBox2 = nullptr, *GroupBox1 = nullptr;
    QToolButton *BitBtn1 = nullptr, *BitBtn2 = nullptr;
    QToolButton *RecordButton = nullptr, *PauseRecordButton = nullptr, *btnRecordSong = nullptr;
    QLabel *playtime = nullptr, *Label7 = nullptr;
    QComboBox *cbgnr = nullptr, *ComboBox1 = nullptr;
    QCheckBox *cbPreRec = nullptr;
    QLineEdit *edPreRec = nullptr;
    QLabel *Label6 = nullptr, *Label1 = nullptr, *Label4 = nullptr, *Label8 = nullptr, *Label14 = nullptr;
    QSlider *Slider = nullptr;
    LevelMeter *ProgressBar2 = nullptr;
    // Whether the Radio page can be seen; its clocks are drawn only then.
    WindowExposure *RadioPageSeen = nullptr;
    VerticalLabel *MMLabel1 = nullptr;
    QLabel *Image1 = nullptr;
    QFrame *Panel2 = nullptr;
    WebPane *WebBrowser1 = nullptr;
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
    QComboBox *cbRecordMode = nullptr; // item index = TRecordMode
    // Recording as broadcast: one file per song, partial songs kept, the songs' folder, and
    // how AAC is saved (item index = TAacFile).
    QCheckBox *cbSongFiles = nullptr, *cbKeepPartial = nullptr;
    QLineEdit *edSongDir = nullptr;
    QToolButton *btnSongDir = nullptr;
    QComboBox *cbAacFile = nullptr;
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

    // ---- the Find Station page (MainDirectory.cpp) ----
    // Searches run on the directory client without blocking the window; their end arrives as
    // findSearchFinished or findSearchFailed. Play tunes the Radio page to the chosen station
    // as Test URL does; Add, Import and Export work on the genre named in findPanel.cbGenre.
    QWidget *tsFindStn = nullptr;
    TFindPanel findPanel{};
    StationDirectory *directory = nullptr;
    void tsFindStnShow();
    void findSearchClick();
    void findPageClick(int step); // -1 the previous page, +1 the next
    void findTyped();             // a search field changed: a running search is dropped
    void findSearchFinished(const std::vector<DirectoryStation> &stations, bool hasMore, int skipped);
    void findSearchFailed(const QString &messageText);
    void findPlayClick();
    void findAddClick();
    void findImportClick();
    void findExportClick();
    // The stations shown, and the chosen one (null when none is).
    const std::vector<DirectoryStation> &findResults() const { return findResults_; }
    const DirectoryStation *findChosen() const;
    // The file dialogs of Import and Export; tests replace them. Empty: cancelled.
    std::function<QString()> importDialogHook, exportDialogHook;

    // ---- scheduled timers (MainScheduler.cpp) ----
    // Timer i is bound to timerPanels[i]; the shared handlers find it by the sender's "Tag".
    std::array<Talarm, 3> alarms{};
    // The local time the scheduler reads (the tick count is tickNow); tests replace it to
    // drive the timers through days in moments.
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
    // One look at the three timers, in order 0, 1, 2: each whose start or stop moment is now
    // is carried out by trig, one at a time and each moment once (the main timer calls this
    // every 1.5 s).
    void SchedulerStep();
    TTrigSequencer trigSequencer;
    // Carries out timer i's start or stop (alarmStart, alarmStop) through the recorder's own
    // handlers; ends with the timer's chkenbl.
    void trig(std::uint8_t i);
    // Brings the recorder to a stop, saving a running recording without a dialog; lasts at
    // least 20 s from its start unless the recorder was idle.
    void AutoStop();
    // The address the network input is set to (its FileName); empty before any.
    QString currentStreamUrl() const;
    // ---- the desktop's media-player controls (MainDesktopBus.cpp) ----
    // Publishes the player on the session bus (media keys, the panel's sound menu, lock screen)
    // and keeps what it shows up to date; false, and nothing said, without a session bus or
    // when another program holds the name. Called once at program start.
    bool startDesktopBus();
    // The published player; null before startDesktopBus or when it failed.
    MprisService *desktopBus() const { return desktopBus_; }
    // Hands the bus the current state, title, station, genre and volume; each change is
    // signalled at once. Called by endis and every 200 ms while published.
    void desktopBusUpdate();
    // The bus's commands. Each acts through the Radio page's buttons' handlers, and only where
    // that button is enabled, as its key does; Stop and OpenUri from a paused playback resume
    // it first, as an automatic stop does.
    void busPlay();
    void busPause();
    void busStop();
    // Checks whether the address can be tuned to now (an error text when not), then tunes to
    // it as a typed station address and receives it.
    QString busOpenUri(const QString &url);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Window building (MainWindowBuild.cpp).
    void buildWindow();
    QWidget *buildRadioPage();
    QWidget *buildSetUpPage();
    QWidget *buildAddStationPage();
    QWidget *buildTimersPage();
    QWidget *buildFindStationPage();
    void wireFindStationPage();
    void buildTimerPanel(QWidget *page, int i, int top);
    // The Set Up page's field of setting Id with its caption, at x, y.
    QLineEdit *addNumericField(QWidget *parent, TSettingId Id, int x, int y);
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

    // Receive (MainReceive.cpp).
    void createAudioComponents();
    void destroyAudioComponents();
    void connectStation();
    void stopReceiving();
    void abandonConnect();
    void disableForStart();
    // True for an event of a run that has ended (a later connect or stop started another).
    bool staleEvent(TComponent *Sender) const;
    // Find Station (MainDirectory.cpp).
    DirectoryQuery findQueryFromFields() const;
    void findStartSearch(const DirectoryQuery &q);
    void findShowPaging();
    // The Radio page's and the timers' station boxes read the file again, keeping what each
    // had chosen (or typed).
    void refreshStationBoxes();
    QString runStationListDialog(bool save, const QString &genre);
    std::vector<DirectoryStation> findResults_;
    DirectoryQuery findQuery_, findPending_; // of the page shown, of the search under way
    bool findHasMore_ = false;
    bool findShown_ = false;                 // some search has been shown
    // A failure the user must see: status (Label14) stays on screen, also through the idle
    // layout, until the next connect; the reason goes to the status bar.
    void showFailure(const QString &status, const QString &reason);
    // The network input's reason for the last failed opening, or Fallback, with the address;
    // empty when nothing is known.
    QString connectFailureReason(const QString &Fallback);
    // True while a state receives (or records) a station that may end under it.
    bool receivingNow() const;
    void giveUpStall();
    // Save (MainSave.cpp).
    void stopAndSave();
    // Extension: of the file being saved ("mp3", "aac"), which the dialog's filter offers.
    QString runSaveDialog(const QString &Extension = QStringLiteral("mp3"));
    void keepRecordingFiles(const TRecordingFiles &files, const QString &why);
    // Timer (MainTimer.cpp).
    void stallWatch();
    bool closingNow() const { return closing_ || RecState == rsClosing; }

    struct TAudioComponents;
    std::unique_ptr<TAudioComponents> audio_;
    QString playlistRefusal_;
    QString playlistReason_; // the status bar's words for playlistRefusal_, when they differ
    QString heldStatus_; // see showFailure
    QString runError_;   // the sound output's exception message for its current run
    QString lastSaveName_;
    QString saveDialogFolder_;
    QString saveError_;
    bool connecting_ = false;
    bool abortConnect_ = false;
    bool stopping_ = false;
    bool prerecWriteWarned_ = false;
    // The working folder last warned about as writable by other users (warned once per folder).
    QString sharedFolderWarned_;
    // Shows that warning in the status bar when Folder can be written by other users.
    void warnIfFolderShared(const QString &Folder);
    // The taps' files, held while the ring or a recording runs (see HeldFiles), so that a
    // recording whose working folder was removed can still be saved.
    HeldFiles heldTapFiles_;
    void holdTapFiles();
    // Brings back a recording file whose name is gone, from its held copy, into the working
    // folder (made again when missing); the file to use instead, or File itself.
    QString restoreTapFile(const QString &File, int Part);
    TWMATap *pendingStart_ = nullptr; // the tap last asked to start recording
    void startTap(TWMATap *tap);
    // Recording as broadcast (MainBroadcast.cpp): the ring (shared with the network input's
    // reader thread, which pushes into it), the format of its current run, and the files its two
    // segments wrote last, in the taps' roles (index 0 as WMATap1, 1 as WMATap2).
    std::shared_ptr<TPacketRing> packetRing_;
    TBroadcastFormat broadcastFormat_ = TBroadcastFormat::None;
    std::array<QString, 2> ringFile_;
    bool ringWarned_ = false;
    // What a ring or recording that starts now keeps: the station's format when the mode is
    // "As broadcast" and its packets can be kept as they are; None (the MP3 chain) otherwise,
    // with a note in the status bar when the mode asked for it.
    TBroadcastFormat broadcastFormatNow();
    TBroadcastStream broadcastStream_; // the stream's codec headers, taken with the format
    // The ring files' extension: the format's own for MP3 and AAC, whose segments are plain
    // streams; "ogg-packets" and "opus-packets" for framed packets, which are no Ogg file.
    static QString ringExtension(TBroadcastFormat Format);
    // Points ring segment Slot at File (made in the working folder) and starts it.
    void startRingSegment(int Slot, const QString &File);
    // Writes the recording kept in Files to Target as the station's own frames; Marks are the
    // recording's title changes (recordingMarks), which give a long recording its chapters and
    // a recording made by Record This Song its start.
    void saveAsBroadcast(TBroadcastFormat Format, const TRecordingFiles &Files, const QString &Target,
                         const std::vector<TTitleMark> &Marks);

    // One file per song and Record This Song (MainSongs.cpp).
    // The title changes of a recording kept in Files, with bytes counted over Older then
    // Current. Call while the ring's files still have their names.
    std::vector<TTitleMark> recordingMarks(const TRecordingFiles &Files) const;
    // Whether a recording in Format is saved as one file per song (the option is on and the
    // format can be cut: MP3 and AAC).
    bool splitsSongs(TBroadcastFormat Format) const;
    // Whether songs can be found and cut in a recording in Format (MP3 and AAC).
    static bool splitsSongsIn(TBroadcastFormat Format);
    // Saves each song of the recording in Files to the song folder; the recording's files are
    // removed when every song is written, kept aside otherwise.
    void saveSongs(TBroadcastFormat Format, const TRecordingFiles &Files, const std::vector<TTitleMark> &Marks);
    // The songs of Stream (the recording's concatenated files), their boundaries moved to the
    // quiet near each title change; learns the station's offset from them.
    struct TRecordingSongs {
        TBroadcastFrames Frames;
        std::vector<TSong> Songs;
    };
    TRecordingSongs recordingSongs(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                   const std::vector<TTitleMark> &Marks);
    // Appends Files' contents to Stream; false (the files kept aside, the user told) when one
    // cannot be read.
    bool readRecording(const TRecordingFiles &Files, std::vector<std::uint8_t> &Stream);
    // The tags every file of this station's recording gets.
    TBroadcastTags stationTags();
    // Writes [Begin, End) of Stream to Path in Format; End < 0: the whole stream (Begin is 0).
    void writeBroadcastStretch(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream, std::int64_t Begin,
                               std::int64_t End, const TBroadcastTags &Tags, const QString &Path);
    // The learned offset of the station at Address, kept in the settings file.
    TSongOffset songOffset(const QString &Address);
    void storeSongOffset(const QString &Address, const TSongOffset &Offset);
    // Record This Song: the byte of the recording (as recordingMarks counts) where the song
    // playing at the press began; -1 when the recording starts at the oldest kept audio.
    std::int64_t recordSongByte_ = -1;
    void songFolderButtonClick();

    NumericKeyFilter *numericFilter_ = nullptr;
    std::array<QLineEdit *, SettingCount> numericFields_{};
    // Each numeric field's latest text that was a number in its setting's range (the default
    // until there is one): what a field left empty or malformed shows again.
    std::array<QString, SettingCount> lastValidText_{};
    void wireNumericFields();
    void numericFieldLeft(QLineEdit *field);
    int currentPage_ = 0;
    bool terminateRequested_ = false;
    bool dataFolderMessageShown_ = false;
    bool seedMessageShown_ = false;
    bool activationHooked_ = false;
    bool closing_ = false;
    bool readingSettings_ = false;
    bool shown_ = false;
    bool webPaneWired_ = false;
    // The configured web site's host name ([Basic] WebHost) and an address on it (empty when
    // no site is configured).
    QString webHost();
    QUrl webSiteUrl(const QString &path);

    // Desktop bus (MainDesktopBus.cpp): the station and genre of the current connection and
    // the last title seen, as the bus shows them.
    MprisService *desktopBus_ = nullptr;
    QTimer *desktopBusTimer_ = nullptr;
    QString busStation_, busGenre_, busTitle_;
    void stopDesktopBus();
};
