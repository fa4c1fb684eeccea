// The trimmer window's building, creation and closing, its stored state and the toolbar modes.
#include "TrimMain.h"

#include "DateTimeValue.h"
#include "ProgramFiles.h"
#include "WebPane.h"
#include "TrimClip.h"
#include "TrimPictures.h"
#include "TrimStore.h"
#include "UserMessages.h"

#include "AuConverters.h"
#include "AuLame.h"
#include "AuMp3In.h"
#include "AuSoundOut.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QSlider>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QString &titleOverride()
{
    static QString title;
    return title;
}

QToolButton *toolButton(QToolBar *bar, const char *name, TTrimPicture picture, const QString &hint)
{
    auto *b = new QToolButton(bar);
    b->setObjectName(QString::fromLatin1(name));
    b->setIcon(TrimPicture(picture));
    b->setIconSize(QSize(24, 24));
    b->setFixedSize(31, 30);
    b->setToolTip(hint);
    b->setAutoRaise(true);
    bar->addWidget(b);
    return b;
}

QSlider *toolSlider(QToolBar *bar, const char *name, const QString &hint, int min, int max, int pos)
{
    auto *s = new QSlider(Qt::Horizontal, bar);
    s->setObjectName(QString::fromLatin1(name));
    s->setToolTip(hint);
    s->setRange(min, max);
    s->setValue(pos);
    s->setFixedSize(100, 30);
    bar->addWidget(s);
    return s;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Creation

TForm1::TForm1(const QStringList &Arguments, QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Snipolux"));

    MP3In1 = std::make_unique<TMP3In>();
    MP3In1->SetName("MP3In1");
    MP3In1->SetLoop(false);
    MP3In1->SetEndSample(-1);
    MP3In1->SetHighPrecision(true);
    MP3In1->SetOutputChannels(cnMonoOrStereo);

    AudioConverter1 = std::make_unique<TAudioConverter>();
    AudioConverter1->SetName("AudioConverter1");
    AudioConverter1->SetInput(MP3In1.get());
    AudioConverter1->SetMode(msmMonoToBoth);
    AudioConverter1->SetOutBitsPerSample(8);
    AudioConverter1->SetOutChannels(1);

    DXAudioOut1 = std::make_unique<TDXAudioOut>();
    DXAudioOut1->SetName("DXAudioOut1");
    DXAudioOut1->SetInput(MP3In1.get());
    DXAudioOut1->SetDeviceNumber(0);
    DXAudioOut1->SetLatency(200);
    DXAudioOut1->SetPrefetchData(false);
    DXAudioOut1->SetPollingInterval(50);
    DXAudioOut1->SetFramesInBuffer(24576);
    DXAudioOut1->SetSpeedFactor(1.0f);
    DXAudioOut1->SetOnDone([this](TComponent *Sender) { DXAudioOut1Done(Sender); });
    DXAudioOut1->SetOnProgress([this](TComponent *Sender) { Progress(Sender); });
    // A device that cannot be opened ends the run; the user is told why.
    DXAudioOut1->SetOnThreadException([this](TComponent *) {
        ui::report(this, QString::fromUtf8(DXAudioOut1->ExceptionMessage()));
    });

    MP3Out1 = std::make_unique<TMP3Out>();
    MP3Out1->SetName("MP3Out1");
    MP3Out1->SetInput(MP3In1.get());
    MP3Out1->SetOnDone([this](TComponent *Sender) { Done(Sender); });
    SetClipEncoderSettings(*MP3Out1);

    OpenDialog1.Filter = QStringLiteral("MP3 Files (*.mp3)");
    SaveDialog1.Filter = QStringLiteral("MP3 files (*.mp3)");
    SaveDialog1.DefaultExt = QStringLiteral("mp3");

    buildWindow();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50);
    connect(Timer1, &QTimer::timeout, this, &TForm1::IWTimer1Timer);

    FormCreate(Arguments);
    Timer1->start();
}

TForm1::~TForm1()
{
    // A window destroyed without being closed still stops its outputs before the decoder and
    // its stream go (members are destroyed after this body).
    if (!FClosed) {
        AbandonSave();
        DXAudioOut1->Stop(false);
        FreeInput();
    }
}

void TForm1::buildWindow()
{
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setFixedHeight(35);
    ToolBar1->setIconSize(QSize(24, 24));
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    BitBtn1 = toolButton(ToolBar1, "BitBtn1", TTrimPicture::Exit, QStringLiteral("Exit"));
    ToolBar1->addSeparator();
    btnOpen = toolButton(ToolBar1, "btnOpen", TTrimPicture::Open, QStringLiteral("Open File"));
    btnSave = toolButton(ToolBar1, "btnSave", TTrimPicture::Save, QStringLiteral("Save cliped "));
    btnSaveExact = toolButton(ToolBar1, "btnSaveExact", TTrimPicture::SaveExact,
                              QStringLiteral("Save clip without re-encoding (exact copy of the original sound)"));
    ToolBar1->addSeparator();
    btnPlay = toolButton(ToolBar1, "btnPlay", TTrimPicture::Play, QStringLiteral("Play"));
    btnPause = toolButton(ToolBar1, "btnPause", TTrimPicture::Pause, QStringLiteral("Pause"));
    btnPause->setCheckable(true);
    btnStop = toolButton(ToolBar1, "btnStop", TTrimPicture::Stop, QStringLiteral("Stop"));
    ToolBar1->addSeparator();
    btnSetRight = toolButton(ToolBar1, "btnSetRight", TTrimPicture::MarkStart,
                             QStringLiteral("Jump Left (start) Point to current location "));
    btnSetLeft = toolButton(ToolBar1, "btnSetLeft", TTrimPicture::MarkEnd,
                            QStringLiteral("Jump Right (End) Point to current location"));
    ToolBar1->addSeparator();
    svolume = toolSlider(ToolBar1, "svolume", QStringLiteral("Playback Volume"), -3000, 0, -2500);
    ToolBar1->addSeparator();
    sSpeed = toolSlider(ToolBar1, "sSpeed", QStringLiteral("Playback speed"), 50, 150, 100);
    sSpeed->setPageStep(10);
    btnrstspd = toolButton(ToolBar1, "btnrstspd", TTrimPicture::SpeedReset, QStringLiteral("Reset playback speed"));

    // Keys every desktop program answers: Ctrl+O opens, Ctrl+S saves the clip, Ctrl+Q closes;
    // Ctrl+Shift+S saves it without re-encoding. They are the buttons' own, so a disabled
    // button ignores its key.
    btnOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    btnSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    btnSaveExact->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    BitBtn1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (QToolButton *b : {btnOpen, btnSave, btnSaveExact, BitBtn1})
        b->setAccessibleDescription(b->shortcut().toString(QKeySequence::NativeText));
    // What assistive tools call each control: its action (the pictures carry no text).
    const std::pair<QWidget *, const char *> accessibleNames[] = {
        {BitBtn1, "Exit"},           {btnOpen, "Open"},         {btnSave, "Save Clip"},
        {btnSaveExact, "Save Clip Without Re-encoding"},
        {btnPlay, "Play"},           {btnPause, "Pause"},       {btnStop, "Stop"},
        {btnSetRight, "Set Start"},  {btnSetLeft, "Set End"},   {svolume, "Volume"},
        {sSpeed, "Speed"},           {btnrstspd, "Reset Speed"}};
    for (const auto &[control, accessibleName] : accessibleNames)
        control->setAccessibleName(QString::fromLatin1(accessibleName));

    connect(BitBtn1, &QToolButton::clicked, this, [this] { BitBtn1Click(); });
    connect(btnOpen, &QToolButton::clicked, this, [this] { Button1Click(); });
    connect(btnSave, &QToolButton::clicked, this, [this] { Button2Click(); });
    connect(btnSaveExact, &QToolButton::clicked, this, [this] { btnSaveExactClick(); });
    connect(btnPlay, &QToolButton::clicked, this, [this] { Button3Click(); });
    connect(btnPause, &QToolButton::clicked, this, [this] { btnPauseClick(); });
    connect(btnStop, &QToolButton::clicked, this, [this] { Button4Click(); });
    connect(btnSetRight, &QToolButton::clicked, this, [this] { btnSetRightClick(); });
    connect(btnSetLeft, &QToolButton::clicked, this, [this] { btnSetLeftClick(); });
    connect(btnrstspd, &QToolButton::clicked, this, [this] { btnrstspdClick(); });
    connect(svolume, &QSlider::valueChanged, this, [this] { svolumeChange(); });
    connect(sSpeed, &QSlider::valueChanged, this, [this] { sSpeedChange(); });

    auto *central = new QWidget(this);
    auto *column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Panel1 = new QFrame(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(84);
    auto *p1 = new QVBoxLayout(Panel1);
    p1->setContentsMargins(1, 1, 1, 1);
    Panel2 = new QFrame(Panel1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFixedHeight(82);
    Panel2->setAutoFillBackground(true);
    QPalette pal = Panel2->palette();
    // 4259584 is 0x410000 in the blue-green-red order of the stored colour: a dark blue.
    pal.setColor(QPalette::Window, QColor(0, 0, 0x41));
    Panel2->setPalette(pal);
    auto *p2 = new QVBoxLayout(Panel2);
    p2->setContentsMargins(1, 1, 1, 1);
    Image1 = new TLayeredImage(Panel2);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAccessibleName(QStringLiteral("Waveform"));
    Image1->setFixedHeight(80);
    p2->addWidget(Image1);
    p1->addWidget(Panel2);
    column->addWidget(Panel1);

    // The web pane at the bottom; FormCreate starts it on its page.
    WebBrowser1 = new WebPane(central);
    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    WebBrowser1->setFixedHeight(119);
    column->addWidget(WebBrowser1);

    setCentralWidget(central);
    resize(654, 239);

    Image1->OnMouseDown = [this](TLayeredImage *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                                 int Y, TCustomLayer *Layer) { Image1MouseDown(Sender, Button, Shift, X, Y, Layer); };
    Image1->OnMouseUp = [this](TLayeredImage *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                               int Y, TCustomLayer *Layer) { Image1MouseUp(Sender, Button, Shift, X, Y, Layer); };

    DropFileTarget1 = new TDropFileTarget(ToolBar1, this);
    DropFileTarget2 = new TDropFileTarget(Image1, this);
    const auto drop = [this](TDropFileTarget *Sender, Qt::KeyboardModifiers Shift, QPoint Point,
                             Qt::DropAction &Effect) { DropFileTarget1Drop(Sender, Shift, Point, Effect); };
    DropFileTarget1->OnDrop = drop;
    DropFileTarget2->OnDrop = drop;
}

void TForm1::FormCreate(const QStringList &Arguments)
{
    Image1->Bitmap = QImage(1920, Panel2->height(), QImage::Format_ARGB32);
    ClearPicture();

    SetSelection(CreateSelectionLayer());

    PictureWidth = Image1->Bitmap.width();
    SelStart = 0;
    SelEnd = PictureWidth;
    PlayStart = 0;
    PlayEnd = PictureWidth;
    StartMarkPending = mpNone;
    EndMarkPending = mpNone;
    SavingClip = false;
    SetButtons(tmNoFile);

    // The pane shows the page as it is: the trimmer's page never refreshes itself, so the
    // window's timer does not tend it.
    WebBrowser1->setHelpDocument(
        findProgramFile(QCoreApplication::applicationDirPath(), QStringLiteral("Fonolux Doc.pdf")));
    if (const QUrl page = PaneUrl(); !page.isEmpty())
        WebBrowser1->Start(page);

    ReadWindowState();

    // The file is the first argument, or the one after "--" (which may begin with '-').
    const qsizetype dash = Arguments.indexOf(QStringLiteral("--"));
    const QString file = dash >= 0 ? Arguments.value(dash + 1) : Arguments.value(0);
    if (!file.isEmpty() && IsMp3FileName(file))
        OpenFile(file, TOpenVia::CommandLine);
}

// ---------------------------------------------------------------------------------------------
// Window state

QString TForm1::RegistryKey()
{
    QString title = titleOverride();
    if (title.isEmpty())
        title = ApplicationTitleFromPath(QCoreApplication::applicationFilePath());
    return QStringLiteral("Software\\") + title;
}

void TForm1::setApplicationTitle(const QString &title)
{
    titleOverride() = title;
}

QUrl TForm1::PaneUrl()
{
    const QString page = findProgramFile(QCoreApplication::applicationDirPath(), QStringLiteral("trimsenden.html"));
    return page.isEmpty() ? QUrl() : QUrl::fromLocalFile(page);
}

void TForm1::ReadWindowState()
{
    TTrimStore store(RegistryKey());
    const QRect g = geometry();
    const int top = store.ReadInteger(QStringLiteral("Form1"), QStringLiteral("Top"), g.top());
    const int left = store.ReadInteger(QStringLiteral("Form1"), QStringLiteral("Left"), g.left());
    const int width = store.ReadInteger(QStringLiteral("Form1"), QStringLiteral("Width"), g.width());
    const int height = store.ReadInteger(QStringLiteral("Form1"), QStringLiteral("Height"), g.height());
    // A stored size too small to show anything would hide the window's controls for good.
    setGeometry(left, top, std::max(width, 200), std::max(height, 120));
    svolume->setValue(store.ReadInteger(QStringLiteral("Set"), QStringLiteral("volume"), svolume->value()));
}

void TForm1::WriteWindowState()
{
    TTrimStore store(RegistryKey());
    const QRect g = geometry();
    store.WriteInteger(QStringLiteral("Form1"), QStringLiteral("Top"), g.top());
    store.WriteInteger(QStringLiteral("Form1"), QStringLiteral("Left"), g.left());
    store.WriteInteger(QStringLiteral("Form1"), QStringLiteral("Width"), g.width());
    store.WriteInteger(QStringLiteral("Form1"), QStringLiteral("Height"), g.height());
    store.WriteDateTime(QStringLiteral("Snipolux"), QStringLiteral("LastRun"),
                        DateTimeValue::now().days());
    store.WriteInteger(QStringLiteral("Set"), QStringLiteral("volume"), svolume->value());
    if (!store.ErrorString().isEmpty())
        qWarning("Snipolux: the window state could not be stored: %s", qPrintable(store.ErrorString()));
}

// ---------------------------------------------------------------------------------------------
// Closing

void TForm1::BitBtn1Click()
{
    close();
}

bool TForm1::FormCloseQuery()
{
    // Until the encoder runs, the save is still being set up further down this call stack; it
    // can only go on once this returns, so the close is put off until the save has ended.
    if (SavingClip && !FEncoderStarted) {
        FCloseAfterSave = true;
        return false;
    }
    while (SavingClip)
        WaitPumping(1000);
    return true;
}

void TForm1::FormClose()
{
    if (FClosed)
        return;
    FClosed = true;
    Timer1->stop();
    AbandonSave();
    DXAudioOut1->Stop(false);
    FreeInput();
    WriteWindowState();
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

// ---------------------------------------------------------------------------------------------
// Toolbar modes and waiting

void TForm1::SetButtons(TToolbarMode Mode)
{
    bool play, pause, stop, save, marks, open, speed;
    switch (Mode) {
    case tmNoFile: play = false, pause = false, stop = false, save = false, marks = false, open = true, speed = false; break;
    case tmPlaying: play = false, pause = true, stop = true, save = false, marks = true, open = false, speed = false; break;
    case tmPaused: play = false, pause = true, stop = false, save = false, marks = true, open = false, speed = false; break;
    case tmFileOpen: play = true, pause = false, stop = false, save = true, marks = false, open = true, speed = true; break;
    default: return;
    }
    btnPlay->setEnabled(play);
    btnPause->setEnabled(pause);
    btnStop->setEnabled(stop);
    btnSave->setEnabled(save);
    btnSaveExact->setEnabled(save);
    btnSetRight->setEnabled(marks);
    btnSetLeft->setEnabled(marks);
    btnOpen->setEnabled(open);
    btnrstspd->setEnabled(speed);
    sSpeed->setEnabled(speed);
}

std::uint32_t TForm1::WaitPumping(std::uint32_t ms)
{
    // A local event loop sleeps until an event or the time comes, instead of spinning.
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(ms), &loop, &QEventLoop::quit);
    loop.exec();
    return static_cast<std::uint32_t>(t.elapsed());
}
