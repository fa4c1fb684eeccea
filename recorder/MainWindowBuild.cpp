// Builds TForm1's controls. The window has a fixed client size, so controls are placed at fixed
// positions, page by page, in the pages' reading order; positions and sizes are those of the
// default font and grow with a larger one (FontScaling.h).
#include "Main.h"

#include "ButtonPictures.h"
#include "FontScaling.h"
#include "LevelMeter.h"
#include "NumericKeyFilter.h"
#include "ScrollingMarquee.h"
#include "VerticalLabel.h"
#include "WebPane.h"
#include "WindowExposure.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTime>
#include <QTimeEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

namespace {

template <class W, class... Args>
W *make(QWidget *parent, const char *name, QRect geometry, Args &&...args)
{
    auto *w = new W(std::forward<Args>(args)..., parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(geometry);
    return w;
}

QLabel *label(QWidget *parent, const char *name, const QString &text, QRect geometry)
{
    auto *l = make<QLabel>(parent, name, geometry, text);
    return l;
}

QComboBox *editableCombo(QWidget *parent, const char *name, QRect geometry)
{
    auto *c = make<QComboBox>(parent, name, geometry);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    // Typed text is taken as it stands (a station box text that is no item is an address).
    c->setCompleter(nullptr);
    return c;
}

QPixmap logoPicture(QSize size)
{
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, size.width(), 0);
    g.setColorAt(0, QColor(30, 60, 120));
    g.setColorAt(1, QColor(70, 130, 200));
    p.setBrush(g);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(0, 0, size.width(), size.height()), 8, 8);
    p.setPen(QPen(QColor(255, 255, 255, 160), 2));
    for (int r = 10; r <= 30; r += 10)
        p.drawArc(QRectF(18 - r, size.height() / 2.0 - r, 2.0 * r, 2.0 * r), -45 * 16, 90 * 16);
    QFont f = p.font();
    f.setPointSize(18);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(48, 0, size.width() - 52, size.height()), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Radio Zorbel"));
    return pm;
}

void setTag(QObject *o, int tag)
{
    o->setProperty("Tag", tag);
}

} // namespace

void TForm1::buildWindow()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Radio Zorbel"));
    // Single border with system menu and minimise button, no maximise button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(621, 392);
    move(540, 394);

    numericFilter_ = new NumericKeyFilter(this);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    setCentralWidget(PageControl1);
    TabSheet1 = buildRadioPage();
    tsSetUp = buildSetUpPage();
    tsAddStn = buildAddStationPage();
    TabSheet2 = buildTimersPage();
    tsFindStn = buildFindStationPage();
    PageControl1->addTab(TabSheet1, QStringLiteral("Radio"));
    PageControl1->addTab(tsSetUp, QStringLiteral("Set Up"));
    PageControl1->addTab(tsAddStn, QStringLiteral("Add Station"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Timers"));
    PageControl1->addTab(tsFindStn, QStringLiteral("Find Station"));

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1Panel = new QLabel(StatusBar1);
    StatusBar1Panel->setObjectName(QStringLiteral("StatusBar1Panel"));
    StatusBar1->addWidget(StatusBar1Panel, 1);
    setStatusBar(StatusBar1);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50);

    // Labels show station names, addresses and error texts from outside: as text, never as
    // markup (which could load files).
    for (QLabel *l : findChildren<QLabel *>())
        l->setTextFormat(Qt::PlainText);

    // The positions above are those of the default font; a larger font grows the whole window.
    fitFixedWindowToFont(this, {621, 392});
}

QWidget *TForm1::buildRadioPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet1"));
    RadioPageSeen = new WindowExposure(page);

    // The marquee across the top: one item, one pixel every 10 ms, a full width of space
    // between two copies, endless.
    mrqstn = make<TScrollingMarquee>(page, "mrqstn", {6, 6, 600, 22});
    mrqstn->SetColor(QColor(0x10, 0x23, 0x3f));
    mrqstn->SetFontColor(QColor(0xf0, 0xd0, 0x60));
    mrqstn->SetInterval(10);
    mrqstn->SetStep(1);
    mrqstn->SetSpacing(100);
    mrqstn->SetLoopSpacing(100);
    mrqstn->SetNumLoops(0);
    mrqstn->SetOrientation(moHorizontal);
    mrqstn->Items()->Add()->SetText(QStringLiteral("Station not connected."));
    mrqstn->SetActive(true);

    cbgnr = editableCombo(page, "cbgnr", {6, 36, 290, 26});
    cbgnr->setToolTip(QStringLiteral("Genre"));
    cbgnr->setEditText(QStringLiteral("genre"));
    cbgnr->setAccessibleName(QStringLiteral("Genre"));
    ComboBox1 = editableCombo(page, "ComboBox1", {6, 68, 290, 26});
    ComboBox1->setToolTip(QStringLiteral("Radio Station"));
    ComboBox1->setEditText(QStringLiteral("Station"));
    ComboBox1->setAccessibleName(QStringLiteral("Station"));

    GroupBox2 = make<QGroupBox>(page, "GroupBox2", {6, 100, 142, 84}, QStringLiteral("Receive"));
    BitBtn1 = make<QToolButton>(GroupBox2, "BitBtn1", {10, 22, 40, 34});
    BitBtn1->setToolTip(QStringLiteral("Start Receive & Play"));
    setButtonPicture(BitBtn1, bpStart);
    BitBtn1->setAccessibleName(QStringLiteral("Receive"));
    BitBtn2 = make<QToolButton>(GroupBox2, "BitBtn2", {54, 22, 40, 34});
    BitBtn2->setToolTip(QStringLiteral("Pause Receive & Play"));
    setButtonPicture(BitBtn2, bpPauseDisabled);
    BitBtn2->setAccessibleName(QStringLiteral("Pause"));
    playtime = make<QLabel>(GroupBox2, "playtime", {10, 58, 120, 20}, QStringLiteral("0:00:00"));

    GroupBox1 = make<QGroupBox>(page, "GroupBox1", {154, 100, 142, 84}, QStringLiteral("Record"));
    RecordButton = make<QToolButton>(GroupBox1, "RecordButton", {10, 22, 40, 34});
    RecordButton->setToolTip(QStringLiteral("Start Recording"));
    setButtonPicture(RecordButton, bpRecordDisabled);
    RecordButton->setAccessibleName(QStringLiteral("Record"));
    PauseRecordButton = make<QToolButton>(GroupBox1, "PauseRecordButton", {54, 22, 40, 34});
    PauseRecordButton->setToolTip(QStringLiteral("Pause Recording"));
    setButtonPicture(PauseRecordButton, bpPauseDisabled);
    PauseRecordButton->setAccessibleName(QStringLiteral("Pause Recording"));
    btnRecordSong = make<QToolButton>(GroupBox1, "btnRecordSong", {98, 22, 40, 34});
    btnRecordSong->setText(QStringLiteral("\u266A"));
    btnRecordSong->setToolTip(QStringLiteral("Record This Song: from the start of the song playing now"));
    btnRecordSong->setAccessibleName(QStringLiteral("Record This Song"));
    btnRecordSong->setEnabled(false);
    Label7 = make<QLabel>(GroupBox1, "Label7", {10, 58, 120, 20}, QStringLiteral("0:00:00"));

    cbPreRec = make<QCheckBox>(page, "cbPreRec", {6, 192, 124, 24}, QStringLiteral("Pre Recording"));
    cbPreRec->setToolTip(QStringLiteral("Check for Prerecording ON"));
    cbPreRec->setChecked(true);
    edPreRec = make<QLineEdit>(page, "edPreRec", {134, 192, 52, 24});
    edPreRec->setToolTip(QStringLiteral("Prerecording Time"));
    edPreRec->setText(Setting(TSettingId::PreRecTime).DefaultText());
    edPreRec->setAccessibleName(QStringLiteral("Pre Recording Seconds"));
    edPreRec->installEventFilter(numericFilter_);
    numericFields_[static_cast<std::size_t>(TSettingId::PreRecTime)] = edPreRec;
    Label6 = label(page, "Label6", QStringLiteral("Seconds"), {192, 194, 80, 20});

    Label1 = label(page, "Label1", QStringLiteral("bitrate"), {6, 222, 90, 20});
    Label4 = label(page, "Label4", QStringLiteral("samplerate"), {100, 222, 100, 20});
    Label8 = label(page, "Label8", QStringLiteral("mono/Stereo"), {204, 222, 92, 20});
    Label14 = label(page, "Label14", QStringLiteral("Idle "), {6, 246, 290, 22});
    QFont bold = Label14->font();
    bold.setBold(true);
    Label14->setFont(bold);

    ProgressBar2 = make<LevelMeter>(page, "ProgressBar2", {6, 274, 290, 26});
    ProgressBar2->setRange(20, 120);
    ProgressBar2->setValue(20);
    ProgressBar2->setAccessibleName(QStringLiteral("Level"));
    label(page, "ProgressBar2Label", QStringLiteral("Level"), {6, 302, 60, 20});

    Slider = make<QSlider>(page, "Slider", {304, 36, 24, 264}, Qt::Vertical);
    Slider->setRange(-4000, 0);
    Slider->setToolTip(QStringLiteral("Playback Volume"));
    Slider->setAccessibleName(QStringLiteral("Volume"));
    MMLabel1 = make<VerticalLabel>(page, "MMLabel1", {326, 36, 20, 264}, QStringLiteral("Volume"));

    Image1 = make<QLabel>(page, "Image1", {350, 36, 256, 56});
    Image1->setPixmap(logoPicture({256, 56}));
    Image1->setToolTip(QStringLiteral("Click to go to our home page."));
    Image1->setCursor(Qt::PointingHandCursor);
    Image1->setAccessibleName(QStringLiteral("Home Page"));
    Panel2 = make<QFrame>(page, "Panel2", {356, 42, 5, 5});
    Panel2->setStyleSheet(QStringLiteral("background:#CFCFCF;"));
    Panel2->hide();

    WebBrowser1 = make<WebPane>(page, "WebBrowser1", {350, 98, 256, 198});

    SpeedButton3 = make<QPushButton>(page, "SpeedButton3", {350, 302, 80, 28}, QStringLiteral("Help"));
    btnclip = make<QToolButton>(page, "btnclip", {438, 302, 80, 28});
    btnclip->setText(QStringLiteral("Trim Clip"));
    btnclip->setToolTip(QStringLiteral("Trim Recorded Clip"));
    btnStop = make<QToolButton>(page, "btnStop", {526, 302, 80, 28});
    btnStop->setText(QStringLiteral("Exit"));
    btnStop->setToolTip(QStringLiteral("exit Fonolux"));
    return page;
}

QLineEdit *TForm1::addNumericField(QWidget *parent, TSettingId Id, int x, int y)
{
    const TSetting &setting = Setting(Id);
    auto *l = new QLabel(QString::fromLatin1(setting.Caption), parent);
    l->setObjectName(QString::fromLatin1(setting.Field) + QStringLiteral("Label"));
    l->setGeometry(x, y + 2, 160, 22);
    auto *e = make<QLineEdit>(parent, setting.Field, {x + 162, y, 110, 24});
    e->setText(setting.DefaultText());
    e->installEventFilter(numericFilter_);
    numericFields_[static_cast<std::size_t>(Id)] = e;
    l->setBuddy(e);
    return e;
}

QWidget *TForm1::buildSetUpPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tsSetUp"));

    ToolBar1 = make<QToolBar>(page, "ToolBar1", {0, 0, 612, 34});
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextOnly);
    auto toolButton = [this](const char *name, const QString &text) {
        auto *b = new QToolButton(ToolBar1);
        b->setObjectName(QString::fromLatin1(name));
        b->setText(text);
        ToolBar1->addWidget(b);
        return b;
    };
    ToolButton1 = toolButton("ToolButton1", QStringLiteral("Set Data Directory..."));
    ToolBar1->addSeparator();
    btnOnTop = toolButton("btnOnTop", QStringLiteral("Stay On Top"));
    btnOnTop->setCheckable(true);
    btnOnTop->setToolTip(QStringLiteral("Click keep the Fonolux visible"));
    ToolBar1->addSeparator();
    ToolButton2 = toolButton("ToolButton2", QStringLiteral("Stations"));
    Edit1 = new QMenu(QStringLiteral("Stations"), ToolButton2);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit2 = Edit1->addAction(QStringLiteral("Edit"));
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Reload1 = Edit1->addAction(QStringLiteral("Reload"));
    Reload1->setObjectName(QStringLiteral("Reload1"));
    ToolButton2->setMenu(Edit1);
    ToolButton2->setPopupMode(QToolButton::InstantPopup);
    ToolBar1->addSeparator();
    ToolButton3 = toolButton("ToolButton3", QStringLiteral("Advanced"));
    ToolButton3->setCheckable(true);

    auto *tempLabel = label(page, "edTempDirLabel", QStringLiteral("Working Folder"), {8, 46, 120, 22});
    edTempDir = make<QLineEdit>(page, "edTempDir", {130, 44, 474, 24});
    tempLabel->setBuddy(edTempDir);
    auto *faultsLabel = label(page, "edUndRunLabel", QStringLiteral("Timing Faults"), {8, 78, 120, 22});
    edUndRun = make<QLineEdit>(page, "edUndRun", {130, 76, 80, 24});
    edUndRun->setText(QStringLiteral("0"));
    edUndRun->setReadOnly(true);
    faultsLabel->setBuddy(edUndRun);
    auto *modeLabel = label(page, "cbRecordModeLabel", QStringLiteral("Recording"), {228, 78, 90, 22});
    cbRecordMode = make<QComboBox>(page, "cbRecordMode", {320, 76, 284, 24});
    cbRecordMode->addItems({QString(), QStringLiteral("As broadcast (no re-encoding)")});
    cbRecordMode->setAccessibleName(QStringLiteral("Recording mode"));
    cbRecordMode->setToolTip(QStringLiteral("How recordings are saved: encoded again as MP3, or the station's own "
                                            "audio as it was sent"));
    modeLabel->setBuddy(cbRecordMode);

    // Below the advanced fields' panel: how recordings kept as broadcast are saved.
    cbSongFiles = make<QCheckBox>(page, "cbSongFiles", {8, 262, 160, 24}, QStringLiteral("One file per song"));
    cbSongFiles->setToolTip(QStringLiteral("Recordings kept as broadcast are saved as one file per song, "
                                           "named \"Artist - Title\""));
    auto *songDirLabel = label(page, "edSongDirLabel", QStringLiteral("Song folder"), {176, 264, 90, 22});
    edSongDir = make<QLineEdit>(page, "edSongDir", {268, 262, 300, 24});
    edSongDir->setPlaceholderText(QStringLiteral("Songs, in the working folder"));
    songDirLabel->setBuddy(edSongDir);
    btnSongDir = make<QToolButton>(page, "btnSongDir", {572, 262, 32, 24});
    btnSongDir->setText(QStringLiteral("..."));
    btnSongDir->setToolTip(QStringLiteral("Choose the folder songs are saved in"));
    btnSongDir->setAccessibleName(QStringLiteral("Choose Song Folder"));
    cbKeepPartial = make<QCheckBox>(page, "cbKeepPartial", {8, 294, 240, 24},
                                    QStringLiteral("Keep songs joined mid-way"));
    cbKeepPartial->setToolTip(QStringLiteral("Also save the songs the recording began or ended in the middle of, "
                                             "marked as partial in their tags"));
    cbKeepPartial->setChecked(true);
    auto *aacLabel = label(page, "cbAacFileLabel", QStringLiteral("AAC saved as"), {268, 296, 96, 22});
    cbAacFile = make<QComboBox>(page, "cbAacFile", {366, 294, 238, 24});
    cbAacFile->addItems({QStringLiteral(".aac (as sent)"), QStringLiteral(".m4a (MPEG-4 audio)")});
    cbAacFile->setAccessibleName(QStringLiteral("AAC file type"));
    aacLabel->setBuddy(cbAacFile);

    auto *bitrateLabel = label(page, "cmmbrLabel", QStringLiteral("mp3 bit rate"), {8, 122, 160, 22});
    cmmbr = make<QComboBox>(page, "cmmbr", {170, 120, 110, 24});
    cmmbr->addItems({QStringLiteral("Auto"), QStringLiteral("32 Kbps"), QStringLiteral("40 Kbps"),
                     QStringLiteral("48 Kbps"), QStringLiteral("56 Kbps"), QStringLiteral("64 Kbps"),
                     QStringLiteral("80 Kbps"), QStringLiteral("96 Kbps"), QStringLiteral("112 Kbps"),
                     QStringLiteral("128 Kbps"), QStringLiteral("144 Kbps"), QStringLiteral("160 Kbps"),
                     QStringLiteral("192 Kbps"), QStringLiteral("224 Kbps"), QStringLiteral("256 Kbps"),
                     QStringLiteral("320 Kbps")});
    cmmbr->setCurrentIndex(static_cast<int>(Setting(TSettingId::Mp3BitRate).DefaultNumber()));
    bitrateLabel->setBuddy(cmmbr);
    strminwait = addNumericField(page, TSettingId::StrMinMs, 8, 154);
    EdBitRate = addNumericField(page, TSettingId::TapBitRate, 8, 188);
    edSmplr = addNumericField(page, TSettingId::SampleRate, 8, 222);
    edDxLtnc = addNumericField(page, TSettingId::DxLatency, 312, 120);
    edDxPol = addNumericField(page, TSettingId::DxPolling, 312, 154);
    edDXFrm = addNumericField(page, TSettingId::DxFrames, 312, 188);
    edFGInt = addNumericField(page, TSettingId::GainInterval, 312, 222);

    // Covers the advanced fields until "Advanced" is pressed.
    Panel1 = make<QLabel>(page, "Panel1", {8, 112, 596, 140});
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Raised);
    Panel1->setAutoFillBackground(true);
    Panel1->raise();
    return page;
}

QWidget *TForm1::buildAddStationPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tsAddStn"));

    Label3 = label(page, "Label3", QStringLiteral("Genre"), {8, 12, 90, 22});
    cbAdstn = editableCombo(page, "cbAdstn", {100, 10, 280, 26});
    cbAdstn->setEditText(QStringLiteral("Select Genre Please"));
    cbAdstn->setAccessibleName(QStringLiteral("New Station Genre"));
    Label3->setBuddy(cbAdstn);

    auto *urlLabel = label(page, "edAddUrlLabel", QStringLiteral("URL"), {8, 46, 90, 22});
    edAddUrl = make<QLineEdit>(page, "edAddUrl", {100, 44, 504, 24});
    edAddUrl->setEnabled(false);
    urlLabel->setBuddy(edAddUrl);
    auto *dscLabel = label(page, "edadStnDscLabel", QStringLiteral("Description"), {8, 78, 90, 22});
    edadStnDsc = make<QLineEdit>(page, "edadStnDsc", {100, 76, 504, 24});
    edadStnDsc->setText(QStringLiteral("Please enter short descriptive text"));
    edadStnDsc->setPlaceholderText(QStringLiteral("Please enter short descriptive text"));
    edadStnDsc->setEnabled(false);
    dscLabel->setBuddy(edadStnDsc);

    btnTstUrl = make<QPushButton>(page, "btnTstUrl", {100, 110, 116, 28}, QStringLiteral("Test URL"));
    btnTstUrl->setEnabled(false);
    btnAddStn = make<QPushButton>(page, "btnAddStn", {222, 110, 116, 28}, QStringLiteral("Add Station"));
    btnAddStn->setEnabled(false);
    // The page's tab is called "Add Station" as well.
    btnAddStn->setAccessibleName(QStringLiteral("Add This Station"));
    SpeedButton1 = make<QPushButton>(page, "SpeedButton1", {366, 110, 116, 28}, QStringLiteral("Edit Stations"));
    SpeedButton2 = make<QPushButton>(page, "SpeedButton2", {488, 110, 116, 28}, QStringLiteral("Reload Stations"));

    Label9 = label(page, "Label9", QStringLiteral("How to find a stations URL"), {8, 148, 300, 22});
    QFont bold = Label9->font();
    bold.setBold(true);
    Label9->setFont(bold);
    Memo1 = make<QPlainTextEdit>(page, "Memo1", {8, 172, 596, 158});
    Memo1->setReadOnly(true);
    Memo1->setAccessibleName(QStringLiteral("How to find a stations URL"));
    Memo1->setPlainText(QStringList{
        QStringLiteral("Many links of streaming audio you come across on the web, are hidden behind "),
        QStringLiteral("JavaScript, Macromedia Flash or ActiveX. Sometimes it is very difficult to figure out the "),
        QStringLiteral("actual url that correspond to the stream being played. We build on our website, a "),
        QStringLiteral("database of live stations with the stations URL. You can get the URL when playing with "),
        QStringLiteral("microsoft media player. You right click on the the player and then selcet properties from "),
        QStringLiteral("the popup menu you will find the url there.")}.join(u'\n'));
    return page;
}

QWidget *TForm1::buildTimersPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet2"));
    for (int i = 0; i < 3; ++i)
        buildTimerPanel(page, i, 2 + i * 111);
    return page;
}

void TForm1::buildTimerPanel(QWidget *page, int i, int top)
{
    TTimerPanel &t = timerPanels[static_cast<size_t>(i)];
    const QByteArray n = QByteArray::number(i);
    auto nm = [&n](const char *base) { return QByteArray(base) + n; };

    t.panel = make<QFrame>(page, QByteArray("Panel" + QByteArray::number(3 + i)).constData(), {4, top, 604, 108});
    t.panel->setFrameShape(QFrame::StyledPanel);
    setTag(t.panel, i);

    t.btnEnbl = make<QPushButton>(t.panel, nm("btnEnbl").constData(), {4, 4, 120, 28}, QStringLiteral("Timer Disabled"));
    t.btnEnbl->setCheckable(true);
    setButtonPicture(t.btnEnbl, bpStart);
    t.rdply = make<QRadioButton>(t.panel, nm("rdply").constData(), {8, 36, 96, 22}, QStringLiteral("Play"));
    t.rdrec = make<QRadioButton>(t.panel, nm("rdrec").constData(), {8, 58, 96, 22}, QStringLiteral("Record"));
    t.rdpre = make<QRadioButton>(t.panel, nm("rdpre").constData(), {8, 80, 96, 22}, QStringLiteral("PreRecord"));
    t.rdpre->setChecked(true);

    // The check boxes sit in the group boxes' title lines, as their titles.
    t.startGroup = make<QGroupBox>(t.panel, nm("GroupBoxStart").constData(), {126, 2, 114, 74});
    t.chkstr = make<QCheckBox>(t.startGroup, nm("chkstr").constData(), {8, 0, 100, 20}, QStringLiteral("Start"));
    t.dtstr = make<QDateEdit>(t.startGroup, nm("dtstr").constData(), {5, 20, 104, 24}, QDate::currentDate());
    t.dtstr->setCalendarPopup(true);
    t.tmstr = make<QTimeEdit>(t.startGroup, nm("tmstr").constData(), {5, 46, 104, 24}, QTime::currentTime());
    t.tmstr->setDisplayFormat(QStringLiteral("HH:mm:ss"));

    t.stopGroup = make<QGroupBox>(t.panel, nm("GroupBoxStop").constData(), {244, 2, 114, 74});
    t.chksto = make<QCheckBox>(t.stopGroup, nm("chksto").constData(), {8, 0, 100, 20}, QStringLiteral("Stop"));
    t.dtsto = make<QDateEdit>(t.stopGroup, nm("dtsto").constData(), {5, 20, 104, 24}, QDate::currentDate());
    t.dtsto->setCalendarPopup(true);
    t.tmsto = make<QTimeEdit>(t.stopGroup, nm("tmsto").constData(), {5, 46, 104, 24}, QTime::currentTime());
    t.tmsto->setDisplayFormat(QStringLiteral("HH:mm:ss"));

    t.repeatGroup = make<QGroupBox>(t.panel, nm("GroupBoxRepeat").constData(), {362, 2, 166, 74});
    t.chkrpt = make<QCheckBox>(t.repeatGroup, nm("chkrpt").constData(), {8, 0, 100, 20}, QStringLiteral("Repeat"));
    t.rdhr = make<QRadioButton>(t.repeatGroup, nm("rdhr").constData(), {6, 22, 76, 22}, QStringLiteral("Hourly"));
    t.rddly = make<QRadioButton>(t.repeatGroup, nm("rddly").constData(), {6, 46, 76, 22}, QStringLiteral("Dayly"));
    t.rdwkl = make<QRadioButton>(t.repeatGroup, nm("rdwkl").constData(), {84, 22, 80, 22}, QStringLiteral("Weekly"));
    t.rdmnth = make<QRadioButton>(t.repeatGroup, nm("rdmnth").constData(), {84, 46, 80, 22}, QStringLiteral("Monthly"));
    t.rdhr->setChecked(true);

    t.cbognr = editableCombo(t.panel, nm("cbognr").constData(), {126, 80, 198, 24});
    t.cbognr->setToolTip(QStringLiteral("Genre"));
    t.cbognr->setEditText(QStringLiteral("Select Genre"));
    t.cbostn = editableCombo(t.panel, nm("cbostn").constData(), {330, 80, 198, 24});
    t.cbostn->setToolTip(QStringLiteral("Radio Station"));
    t.cbostn->setEditText(QStringLiteral("Select Station"));

    t.slvol = make<QSlider>(t.panel, nm("slvol").constData(), {538, 4, 22, 100}, Qt::Vertical);
    t.slvol->setRange(-4000, 0);
    t.slvol->setToolTip(QStringLiteral("Playback Volume"));
    t.volumeLabel = make<VerticalLabel>(t.panel, QByteArray("MMLabel" + QByteArray::number(2 + i)).constData(),
                                        {560, 30, 20, 74}, QStringLiteral("Volume"));
    t.cbxVol = make<QCheckBox>(t.panel, nm("cbxVol").constData(), {562, 6, 22, 22}, QString());
    t.cbxVol->setChecked(true);

    for (QObject *o : t.panel->findChildren<QObject *>())
        setTag(o, i);

    // The three panels hold like controls: each name carries its timer's number.
    const QString timer = QStringLiteral("Timer %1 ").arg(i + 1);
    const std::pair<QWidget *, const char *> accessibleNames[] = {
        {t.btnEnbl, "Enabled"},   {t.rdply, "Play"},         {t.rdrec, "Record"},       {t.rdpre, "PreRecord"},
        {t.chkstr, "Start"},      {t.dtstr, "Start Date"},   {t.tmstr, "Start Time"},   {t.chksto, "Stop"},
        {t.dtsto, "Stop Date"},   {t.tmsto, "Stop Time"},    {t.chkrpt, "Repeat"},      {t.rdhr, "Hourly"},
        {t.rddly, "Daily"},       {t.rdwkl, "Weekly"},       {t.rdmnth, "Monthly"},     {t.cbognr, "Genre"},
        {t.cbostn, "Station"},    {t.slvol, "Volume"},       {t.cbxVol, "Sets the Volume"}};
    for (const auto &[control, accessibleName] : accessibleNames)
        control->setAccessibleName(timer + QString::fromLatin1(accessibleName));
}
