// The trimmer's window and controller.
//
// TForm1 owns the toolbar, the waveform picture (Image1 showing a 1920-column bitmap), the web
// pane, the selection band over the picture, and the audio components: the MP3 decoder MP3In1
// reading the opened file from the memory stream InputMS, which feeds one at a time the
// converter AudioConverter1 (8-bit mono for the picture), the sound output DXAudioOut1 and the
// encoder MP3Out1. Its members are defined by concern:
//   TrimMain.cpp     window building, creation, closing, the window state, the toolbar modes;
//   TrimOpen.cpp     opening a file (dialog, drop, command line) and releasing it;
//   TrimWave.cpp     the waveform: reading the file into column values and drawing them;
//   TrimPlay.cpp     playback, pause, stop, volume and speed, the 50 ms timer;
//   TrimSave.cpp     saving the played stretch as a new MP3 file (re-encoded);
//   TrimSaveExact.cpp saving it without re-encoding (the frames cut out of the file);
//   TrimBand.cpp     the selection band's location and the two marker buttons.
//
// Threads: everything here runs on the GUI thread. The outputs' done and progress events
// arrive through the window-thread dispatcher (common/QtWindowDispatcher.h), which the program
// installs before the window is created. Waits (WaitPumping) process pending events, so
// handlers may be re-entered while one of them waits.
#pragma once

#include "SelectionLayers.h"
#include "TrimControls.h"
#include "TrimRules.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <memory>
#include <vector>

class QFrame;
class QSlider;
class QTimer;
class QToolBar;
class QToolButton;
class TAudioConverter;
class TComponent;
class TDXAudioOut;
class TMemoryStream;
class TMP3In;
class TMP3Out;
class WebPane;

// The toolbar's modes (numbered as in the design): which buttons a state of the window allows.
enum TToolbarMode : int {
    tmNoFile = 1,    // only Open
    tmPlaying = 2,   // Pause, Stop and the two marker buttons
    tmPaused = 3,    // Pause (to resume) and the marker buttons
    tmFileOpen = 11, // a file open, nothing playing: Play, Save, Open and the speed
};

// A marker button's request: asked for by the button, armed by the next waveform draw while
// the file plays (the playback column is known then), carried out by the draw that reaches it.
enum TMarkPending : std::uint8_t { mpNone = 0, mpAsked = 1, mpArmed = 2 };

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate. Arguments are the program's command-line
    // arguments without the program name; the first, when it names an MP3 file, is opened.
    explicit TForm1(const QStringList &Arguments = {}, QWidget *parent = nullptr);
    ~TForm1() override;

    // The registry key of the window state: "Software\" followed by the application's title.
    static QString RegistryKey();
    // Tests may give the title the key is made from (empty: from the executable's name).
    static void setApplicationTitle(const QString &title);
    // The page the web pane starts on: "trimsenden.html" among the files the program ships
    // with (beside the executable or in the installed data folder); empty when there is none.
    static QUrl PaneUrl();

    // ---- program state (shared by the picture, the selection band, playing and saving) ----
    std::int32_t PictureWidth = 1920;
    long double SelStart = 0, SelEnd = 1920;
    long double PlayStart = 0, PlayEnd = 1920;
    std::int32_t FrameBytes = 0;
    bool SavingClip = false;
    TMarkPending StartMarkPending = mpNone, EndMarkPending = mpNone;

    // ---- components ----
    std::unique_ptr<TMemoryStream> InputMS; // the whole opened file; MP3In1 reads from it
    std::unique_ptr<TMP3In> MP3In1;
    std::unique_ptr<TAudioConverter> AudioConverter1;
    std::unique_ptr<TDXAudioOut> DXAudioOut1;
    std::unique_ptr<TMP3Out> MP3Out1;
    QTimer *Timer1 = nullptr;
    TTrimFileDialog OpenDialog1{TTrimFileDialog::Open};
    TTrimFileDialog SaveDialog1{TTrimFileDialog::Save};
    TDropFileTarget *DropFileTarget1 = nullptr, *DropFileTarget2 = nullptr;

    // Per picture column: [0] lower-half value, [1] upper-half value (see TWaveAccumulator).
    std::vector<TWaveEntry> values;

    // ---- controls ----
    QToolBar *ToolBar1 = nullptr;
    QToolButton *BitBtn1 = nullptr, *btnOpen = nullptr, *btnSave = nullptr, *btnSaveExact = nullptr;
    QToolButton *btnPlay = nullptr;
    QToolButton *btnPause = nullptr, *btnStop = nullptr, *btnSetRight = nullptr, *btnSetLeft = nullptr;
    QToolButton *btnrstspd = nullptr;
    QSlider *svolume = nullptr, *sSpeed = nullptr;
    QFrame *Panel1 = nullptr, *Panel2 = nullptr;
    TLayeredImage *Image1 = nullptr;
    WebPane *WebBrowser1 = nullptr;

    // ---- the selection band (TrimBand.cpp) ----
    // The selected layer (owned by Image1) and the band over it (owned by Image1, created the
    // first time a layer is selected, kept for the window's lifetime).
    MyTPositionedLayer *FSelection = nullptr;
    myTRubberbandLayer *RBLayer = nullptr;
    MyTPositionedLayer *Selection() const { return FSelection; }
    // Selects Value (nullptr: none) and puts the band on it.
    void SetSelection(MyTPositionedLayer *Value);
    // The selected layer: the whole picture width, its top and bottom outside the picture.
    MyTPositionedLayer *CreateSelectionLayer();
    void LayerMouseDown(TCustomLayer *Sender, Qt::MouseButton Buttons, Qt::KeyboardModifiers Shift, int X, int Y);
    // The band's drag rules; keeps SelStart/SelEnd (and, while nothing plays, PlayStart/PlayEnd)
    // on its edges.
    void BandResizing(TRubberbandLayer *Sender, const TFloatRect &OldLocation, TFloatRect &NewLocation,
                      TDragState DragState, Qt::KeyboardModifiers Shift);
    void ShadePaint(TCustomLayer *Sender, QPainter &Buffer);
    // Click-to-seek during a whole-file playback, and the redraw after it.
    void Image1MouseDown(TLayeredImage *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y,
                         TCustomLayer *Layer);
    void Image1MouseUp(TLayeredImage *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y,
                       TCustomLayer *Layer);
    // The band's location in bitmap coordinates (left, top, right, bottom).
    TFloatRect BandLocation() const;
    void SetBandLocation(const TFloatRect &Location);

    // ---- handlers ----
    void Button1Click();                 // Open
    void DropFileTarget1Drop(TDropFileTarget *Sender, Qt::KeyboardModifiers Shift, QPoint Point,
                             Qt::DropAction &Effect);
    void BitBtn1Click();                 // exit
    void Button2Click();                 // Save
    void btnSaveExactClick();            // Save without re-encoding
    void Button3Click();                 // Play
    void btnPauseClick();
    void Button4Click();                 // Stop
    void svolumeChange();
    void sSpeedChange();
    void btnrstspdClick();
    void btnSetRightClick();             // move the start to the playback position
    void btnSetLeftClick();              // move the end to the playback position
    void Progress(TComponent *Sender);
    void DXAudioOut1Done(TComponent *Sender);
    void Done(TComponent *Sender);
    void IWTimer1Timer();

    // ---- operations ----
    // Enables the toolbar's buttons for Mode; a number that is no mode changes nothing.
    void SetButtons(TToolbarMode Mode);
    // Reads the whole file into a new memory stream; on failure says why in Error and returns
    // null (nothing else changes). A file larger than MaxInputBytes, or one there is no memory
    // for, is refused with a message before it is read.
    static constexpr qint64 MaxInputBytes = qint64(2) << 30;
    std::unique_ptr<TMemoryStream> LoadInput(const QString &FileName, QString &Error);
    // Releases the decoder's hold on InputMS, then frees it.
    void FreeInput();
    void ClearPicture();
    void BuildWave();
    void DrawWave();
    // Locks (true) or unlocks (false) the window around a save.
    void Todisk(bool Op);
    // Processes pending events until at least ms milliseconds have passed.
    std::uint32_t WaitPumping(std::uint32_t ms);

    // The file shown, the empty text when none.
    QString OpenedFile() const { return FOpenedFile; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildWindow();
    void FormCreate(const QStringList &Arguments);
    bool FormCloseQuery();
    void FormClose();
    void ReadWindowState();
    void WriteWindowState();

    // How a file is being opened: the caption and a few steps differ.
    enum class TOpenVia { CommandLine, Dialog, Drop };
    // Opens FileName with the steps of Via. A file that cannot be read or decoded leaves the
    // open file, the picture and the selection as they were and tells the user why.
    bool OpenFile(const QString &FileName, TOpenVia Via);
    void ResetSelection();
    // Sets StartSample and EndSample of MP3In1 for PlayStart..PlayEnd (rewritten until they
    // read back; pumping between writes when Pump is set). False when the decoder refuses.
    bool SetStretch(bool Pump);
    // Stops the encoder without its done event and removes the unfinished clip (closing).
    void AbandonSave();

    QString FOpenedFile;
    bool FClosed = false;
    // The save under way: the chosen file and the hidden file the encoder writes first.
    QString FSaveTarget, FSavePart;
    bool FSaveCursor = false;
    // A close asked for while a save was being set up, before its encoder ran: carried out
    // when the save has ended (waiting for it there would hold up the very code that starts it).
    bool FCloseAfterSave = false;
    bool FEncoderStarted = false; // the save's encoder has been started (Run returned)
};
