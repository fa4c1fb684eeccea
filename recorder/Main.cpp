// TForm1: program start, the data folder, the settings file, the Set Up page and closing.
#include "Main.h"

#include "MainComponents.h"

#include "ButtonPictures.h"
#include "DataFolder.h"
#include "FileNames.h"
#include "IniFile.h"
#include "ProgramFiles.h"
#include "ScrollingMarquee.h"
#include "UserMessages.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <limits>

QString fonoluxVersion();

namespace {

QString &programFolderOverride()
{
    static QString folder;
    return folder;
}

QString &encoderLibraryName()
{
    static QString name = QStringLiteral("libmp3lame.so.0");
    return name;
}

// A text field gets the stored text, or the default text when that is empty.
void setFieldText(QLineEdit *field, const IniFile &ini, const QString &section, const QString &key,
                  const QString &def)
{
    const QString t = ini.readString(section, key, QString());
    field->setText(t.isEmpty() ? def : t);
}

} // namespace

TForm1::TForm1(QWidget *parent) : QMainWindow(parent)
{
    buildWindow();
    createAudioComponents();
    wireHandlers();
    FormCreate();
}

TForm1::~TForm1()
{
    stopDesktopBus();
    // FormDestroy: let events still addressed to the window run before it goes. The
    // components go first (outputs before their chains), so no event reaches a dead window.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    Timer1->stop();
    destroyAudioComponents();
}

QString TForm1::programFolder()
{
    if (!programFolderOverride().isEmpty())
        return withTrailingSlash(programFolderOverride());
    return withTrailingSlash(QCoreApplication::applicationDirPath());
}

void TForm1::setProgramFolder(const QString &folder)
{
    programFolderOverride() = folder;
}

void TForm1::setEncoderLibraryName(const QString &name)
{
    encoderLibraryName() = name;
}

QString TForm1::FileVersionText()
{
    return fonoluxVersion();
}

void TForm1::message(const QString &text)
{
    ui::showMessage(this, text);
}

void TForm1::wireHandlers()
{
    // Keys: Ctrl+Q closes as the exit button does; the Radio page's buttons answer Ctrl+P
    // (Receive & Play), Ctrl+Shift+P (Pause Receive & Play), Ctrl+R (Record) and Ctrl+Shift+R
    // (Pause Recording) while that page is shown. A disabled button ignores its key.
    auto *quit = new QAction(this);
    quit->setObjectName(QStringLiteral("QuitAction"));
    // Spelt out: the standard Quit key is not defined on every desktop.
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    addAction(quit);
    connect(quit, &QAction::triggered, this, &TForm1::btnStopClick);
    BitBtn1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    BitBtn2->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));
    RecordButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    PauseRecordButton->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    for (QToolButton *b : {BitBtn1, BitBtn2, RecordButton, PauseRecordButton})
        b->setAccessibleDescription(b->shortcut().toString(QKeySequence::NativeText));

    connect(PageControl1, &QTabWidget::currentChanged, this, &TForm1::pageChanged);
    connect(btnStop, &QToolButton::clicked, this, &TForm1::btnStopClick);
    connect(ToolButton1, &QToolButton::clicked, this, &TForm1::SpeedButton1Click);
    connect(ToolButton3, &QToolButton::clicked, this, &TForm1::SpeedButton2Click);
    connect(btnOnTop, &QToolButton::clicked, this, &TForm1::cbxOnTopClick);
    connect(cmmbr, &QComboBox::activated, this, &TForm1::cmmbrCloseUp);
    connect(edPreRec, &QLineEdit::textChanged, this, [this] {
        if (!readingSettings_)
            edPreRecChange();
    });

    // In an editable box, a typed text selects no item: the station box then holds an address,
    // the genre box a genre name to look up.
    auto typedDeselects = [this](QComboBox *box, void (TForm1::*handler)()) {
        connect(box->lineEdit(), &QLineEdit::textEdited, this, [this, box, handler](const QString &text) {
            const int cursor = box->lineEdit()->cursorPosition();
            box->setCurrentIndex(-1);
            box->setEditText(text);
            box->lineEdit()->setCursorPosition(cursor);
            (this->*handler)();
        });
        connect(box, &QComboBox::activated, this, [this, handler] { (this->*handler)(); });
    };
    typedDeselects(cbgnr, &TForm1::cbgnrChange);
    typedDeselects(ComboBox1, &TForm1::ComboBox1Change);
    typedDeselects(cbAdstn, &TForm1::cbAdstnChange);

    connect(Slider, &QSlider::valueChanged, this, &TForm1::SliderChange);
    connect(BitBtn1, &QToolButton::clicked, this, &TForm1::BitBtn1Click);
    connect(BitBtn2, &QToolButton::clicked, this, &TForm1::BitBtn2Click);
    connect(RecordButton, &QToolButton::clicked, this, &TForm1::RecordButtonClick);
    connect(PauseRecordButton, &QToolButton::clicked, this, &TForm1::PauseRecordButtonClick);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    playtime->installEventFilter(this);
    connect(edAddUrl, &QLineEdit::textChanged, this, &TForm1::edAddUrlChange);
    connect(btnTstUrl, &QPushButton::clicked, this, &TForm1::btnTstUrlClick);
    connect(btnAddStn, &QPushButton::clicked, this, &TForm1::btnAddStnClick);
    connect(SpeedButton1, &QPushButton::clicked, this, &TForm1::btnEdStnClick);
    connect(SpeedButton2, &QPushButton::clicked, this, &TForm1::Reload1Click);
    connect(Edit2, &QAction::triggered, this, &TForm1::btnEdStnClick);
    connect(Reload1, &QAction::triggered, this, &TForm1::Reload1Click);
    wireTimerPage();
    wireFindStationPage();
}

void TForm1::FormCreate()
{
    Panel1->setText(QStringLiteral("Fonolux Version: ") + FileVersionText());
    bindTimers();
    Saving = false;
    RecordOnFlow = false;
    AutoSave = false;
    activationHooked_ = true;

    LoadGenres();
    const QStringList genres = [this] {
        QStringList g;
        for (int i = 0; i < cbgnr->count(); ++i)
            g << cbgnr->itemText(i);
        return g;
    }();
    for (TTimerPanel &t : timerPanels) {
        const QString text = t.cbognr->currentText();
        t.cbognr->addItems(genres);
        t.cbognr->setCurrentIndex(-1);
        t.cbognr->setEditText(text);
    }

    RecState = rsIdle;
    ReadSettings();
    endis();
    StartWebPane();
    checkEncoderLibrary();
    Timer1->start();
}

bool TForm1::encoderLibraryLoads()
{
    // Loaded by name and kept loaded, as the encoder will use it later.
    return dlopen(encoderLibraryName().toLocal8Bit().constData(), RTLD_NOW | RTLD_GLOBAL) != nullptr;
}

void TForm1::checkEncoderLibrary()
{
    if (!encoderLibraryLoads())
        message(QStringLiteral("Warning: Cannot Save recorded MP3 Files (could not load libmp3lame.so.0)"));
}

void TForm1::ActivateFromOtherStart()
{
    if (!activationHooked_)
        return;
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

QString TForm1::programFile(const QString &name)
{
    if (!programFolderOverride().isEmpty()) {
        const QString file = findFileNoCase(programFolder(), name);
        return QFileInfo(file).isFile() ? file : QString();
    }
    return findProgramFile(programFolder(), name);
}

QString TForm1::AppDataPath()
{
    const QString folder = dataFolderPath();
    if (!QFileInfo(folder).isDir()) {
        // The seeds come from one folder: beside the program, else the installed data folder.
        const QString stationsSeed = QStringLiteral("stations.ini.bu"), settingsSeed = QStringLiteral("Fonolux.INI.bu");
        QString seed = programFile(stationsSeed);
        if (seed.isEmpty())
            seed = programFile(settingsSeed);
        const QString seedFolder = seed.isEmpty() ? programFolder() : QFileInfo(seed).absolutePath();
        QStringList errors;
        createAndSeedDataFolder(folder, seedFolder, [] { QCoreApplication::processEvents(); }, &errors);
        for (const QString &e : errors)
            message(e);
        // A copy of the program without its seed files would otherwise start with empty lists
        // and say nothing; said once, as the folder may be recreated while the program runs.
        if (QFileInfo(folder).isDir() && !QFileInfo(findFileNoCase(seedFolder, stationsSeed)).isFile() &&
            !seedMessageShown_) {
            seedMessageShown_ = true;
            const QStringList searched = programFolderOverride().isEmpty() ? programFileFolders(programFolder())
                                                                           : QStringList{programFolder()};
            message(QStringLiteral("The station list to start with (\"%1\") was not found in %2. "
                                   "Fonolux starts with an empty station list; add stations on the "
                                   "\"Add Station\" page.")
                        .arg(stationsSeed, searched.join(QStringLiteral(" or "))));
        }
    }
    if (!QFileInfo(folder).isDir()) {
        // Said once: every file access comes here and would repeat it while the program ends.
        if (!dataFolderMessageShown_) {
            dataFolderMessageShown_ = true;
            message(QStringLiteral("Could not access or create data directory"));
        }
        terminateRequested_ = true;
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    return folder;
}

QString TForm1::inifilename()
{
    return findFileNoCase(AppDataPath(), QStringLiteral("Fonolux.INI"));
}

QString TForm1::stationsFileName()
{
    return findFileNoCase(AppDataPath(), QStringLiteral("stations.ini"));
}

QString TForm1::path()
{
    const QString dir = edTempDir->text();
    if (!dir.isEmpty() && QFileInfo(dir).isDir())
        return withTrailingSlash(dir);
    return AppDataPath();
}

void TForm1::applyPositionFromSettings(const IniFile &ini)
{
    QPoint pos = this->pos();
    bool ok = false;
    const int top = ini.readString(QStringLiteral("Form"), QStringLiteral("Top"), QString()).toInt(&ok);
    if (ok)
        pos.setY(top);
    const int left = ini.readString(QStringLiteral("Form"), QStringLiteral("Left"), QString()).toInt(&ok);
    if (ok)
        pos.setX(left);
    // A position saved on a screen that is gone would open the window where nobody sees it.
    const QRect wanted(pos, frameGeometry().size());
    bool visible = QGuiApplication::screens().isEmpty();
    for (const QScreen *s : QGuiApplication::screens())
        if (s->virtualGeometry().intersects(wanted))
            visible = true;
    if (visible)
        move(pos);
}

void TForm1::ReadSettings()
{
    readingSettings_ = true;
    GainHistory.assign(10, 0);
    const IniFile ini(inifilename());
    if (!ini.readError().isEmpty())
        message(ini.readError());
    const QString basic = QStringLiteral("Basic"), quality = QStringLiteral("Quality"), state = QStringLiteral("state");

    applyPositionFromSettings(ini);

    // The default is the working folder as it stands before the field changes.
    const QString workingFolder = path();
    edTempDir->setText(ini.readString(basic, QStringLiteral("TempDir"), QString()));
    if (edTempDir->text().isEmpty())
        edTempDir->setText(workingFolder);
    edTempDir->setText(withTrailingSlash(edTempDir->text()));
    if (!QFileInfo(edTempDir->text()).isDir())
        edTempDir->setText(path());

    int bitrate = ini.readInteger(quality, QStringLiteral("mp3bitrate"), 12);
    if (bitrate < 0 || bitrate >= cmmbr->count())
        bitrate = 12;
    cmmbr->setCurrentIndex(bitrate);

    setFieldText(strminwait, ini, basic, QStringLiteral("strminms"), QStringLiteral("10000"));
    setFieldText(EdBitRate, ini, quality, QStringLiteral("BitRate"), QStringLiteral("192"));
    setFieldText(edSmplr, ini, quality, QStringLiteral("Smplr"), QStringLiteral("32000"));
    setFieldText(edDxLtnc, ini, quality, QStringLiteral("DxLtnc"), QStringLiteral("501"));
    setFieldText(edDxPol, ini, quality, QStringLiteral("DxPol"), QStringLiteral("10"));
    setFieldText(edDXFrm, ini, quality, QStringLiteral("DXFrm"), QStringLiteral("24576"));
    setFieldText(edFGInt, ini, basic, QStringLiteral("gainintrvl"), QStringLiteral("200"));
    applyComponentSettings();

    setFieldText(edPreRec, ini, basic, QStringLiteral("PreRecTime"), QStringLiteral("60"));
    bool ok = false;
    qlonglong seconds = edPreRec->text().toLongLong(&ok);
    if (!ok)
        seconds = 60;
    // Seconds beyond what 32 bits of milliseconds hold would wrap round to a tiny segment.
    const qlonglong maxSeconds = std::numeric_limits<std::uint32_t>::max() / 1000;
    if (seconds > maxSeconds)
        seconds = maxSeconds;
    if (seconds * 1000 < 15000) {
        PrerecMs = 15000;
        edPreRec->setText(QStringLiteral("15"));
    } else {
        PrerecMs = static_cast<std::uint32_t>(seconds * 1000);
    }

    cbPreRec->setChecked(ini.readBool(state, QStringLiteral("cbprerec"), true));
    Slider->setValue(ini.readInteger(state, QStringLiteral("vol"), 0));

    const int genre = ini.readInteger(state, QStringLiteral("gnridx"), 0);
    cbgnr->setCurrentIndex(genre >= 0 && genre < cbgnr->count() ? genre : (cbgnr->count() > 0 ? 0 : -1));
    cbgnrChange();
    const int station = ini.readInteger(state, QStringLiteral("stnidx"), 0);
    ComboBox1->setCurrentIndex(station >= 0 && station < ComboBox1->count() ? station : -1);
    ComboBox1Change();
    if (ComboBox1->currentIndex() == -1)
        ComboBox1->setEditText(ini.readString(state, QStringLiteral("stntxt"), QString()));

    btnOnTop->setChecked(ini.readBool(state, QStringLiteral("OnTop"), false));
    cbxOnTopClick();
    readingSettings_ = false;
}

bool TForm1::saveSettings()
{
    bool ok = false;
    const int seconds = edPreRec->text().toInt(&ok);
    if ((ok ? seconds : 15) < 15)
        edPreRec->setText(QStringLiteral("15"));

    IniFile ini(inifilename());
    ini.setAutoFlush(false);
    const QString basic = QStringLiteral("Basic"), quality = QStringLiteral("Quality"), state = QStringLiteral("state");
    ini.writeInteger(QStringLiteral("Form"), QStringLiteral("Top"), pos().y());
    ini.writeInteger(QStringLiteral("Form"), QStringLiteral("Left"), pos().x());
    ini.writeString(basic, QStringLiteral("TempDir"), path());
    ini.writeInteger(quality, QStringLiteral("mp3bitrate"), cmmbr->currentIndex());
    ini.writeString(basic, QStringLiteral("strminms"), strminwait->text());
    ini.writeString(quality, QStringLiteral("BitRate"), EdBitRate->text());
    ini.writeString(quality, QStringLiteral("Smplr"), edSmplr->text());
    ini.writeString(quality, QStringLiteral("DxPol"), edDxPol->text());
    ini.writeString(quality, QStringLiteral("DxLtnc"), edDxLtnc->text());
    ini.writeString(quality, QStringLiteral("DXFrm"), edDXFrm->text());
    ini.writeString(basic, QStringLiteral("gainintrvl"), edFGInt->text());
    ini.writeString(basic, QStringLiteral("PreRecTime"), edPreRec->text());
    ini.writeBool(state, QStringLiteral("cbprerec"), cbPreRec->isChecked());
    ini.writeInteger(state, QStringLiteral("vol"), Slider->value());
    ini.writeInteger(state, QStringLiteral("gnridx"), cbgnr->currentIndex());
    // A genre or station text with a line break cannot be stored; it is then left out.
    ini.writeString(state, QStringLiteral("gnrtxt"), cbgnr->currentText());
    ini.writeInteger(state, QStringLiteral("stnidx"), ComboBox1->currentIndex());
    if (ComboBox1->currentIndex() == -1)
        ini.writeString(state, QStringLiteral("stntxt"), ComboBox1->currentText());
    ini.writeBool(state, QStringLiteral("OnTop"), btnOnTop->isChecked());
    if (!ini.flush()) {
        message(QStringLiteral("The settings could not be saved. ") + ini.errorString());
        return false;
    }
    return true;
}

QString TForm1::statusPanelText() const
{
    return StatusBar1Panel->text();
}

void TForm1::setStatusPanelText(const QString &text)
{
    StatusBar1Panel->setText(text);
}

QString TForm1::marqueeText() const
{
    const TMarqueeItem *item = mrqstn->Items()->GetItems(0);
    return item ? item->Text() : QString();
}

void TForm1::setMarqueeText(const QString &text)
{
    if (TMarqueeItem *item = mrqstn->Items()->GetItems(0))
        item->SetText(text);
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == playtime && event->type() == QEvent::MouseButtonDblClick)
        playtimeDblClick();
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::pageChanged(int index)
{
    QWidget *previous = PageControl1->widget(currentPage_);
    currentPage_ = index;
    QWidget *now = PageControl1->widget(index);
    if (previous == tsSetUp && now != tsSetUp)
        tsSetUpHide();
    if (previous == TabSheet1 && now != TabSheet1)
        TabSheet1Hide();
    if (now == TabSheet1 && previous != TabSheet1)
        TabSheet1Show();
    if (now == tsSetUp)
        tsSetUpShow();
    if (now == tsAddStn)
        tsAddStnShow();
    if (now == tsFindStn)
        tsFindStnShow();
}

void TForm1::tsSetUpShow()
{
    tsSetUp->update();
}

void TForm1::tsSetUpHide()
{
    if (!QFileInfo(edTempDir->text()).isDir())
        edTempDir->setText(path());
    if (ToolButton3->isChecked()) {
        ToolButton3->setChecked(false);
        Panel1->show();
    }
    // While receiving, edits wait in the fields until the next apply.
    if (RecState == rsIdle) {
        saveSettings();
        ReadSettings();
    }
}

void TForm1::SpeedButton1Click()
{
    // Owned by this window, so that it comes up in front of it even while it stays on top.
    QString dir = ui::chooseFolder(this, QStringLiteral("Select a folder"), QStringLiteral("/"));
    if (dir.isEmpty())
        return;
    dir = withTrailingSlash(dir);
    const QFileInfo info(dir);
    if (!info.isDir())
        dir = withTrailingSlash(info.absolutePath());
    if (QFileInfo(dir).isDir())
        edTempDir->setText(dir);
}

void TForm1::SpeedButton2Click()
{
    Panel1->setVisible(!ToolButton3->isChecked());
}

void TForm1::cbxOnTopClick()
{
    const bool onTop = btnOnTop->isChecked();
    if (onTop) {
        btnOnTop->setToolTip(QStringLiteral("Click to enable covering by other windows"));
        btnOnTop->setText(QStringLiteral("Enable Cover"));
    } else {
        btnOnTop->setToolTip(QStringLiteral("Click keep the Fonolux visible"));
        btnOnTop->setText(QStringLiteral("Stay on top"));
    }
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop)
        return;
    // Changing the flag recreates the native window, which hides it; show it again.
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (wasVisible)
        show();
}

void TForm1::cmmbrCloseUp()
{
    const int bitrate = cmmbr->currentIndex();
    if (bitrate >= 0 && bitrate <= mbr320)
        MP3Out1->SetBitRate(static_cast<TMP3BitRate>(bitrate));
}

void TForm1::edPreRecChange()
{
    bool ok = false;
    const qlonglong seconds = edPreRec->text().toLongLong(&ok);
    if (!ok) {
        message(QStringLiteral("'%1' is not a valid integer value").arg(edPreRec->text()));
        return;
    }
    const qlonglong ms = std::min<qlonglong>(seconds * 1000, std::numeric_limits<std::uint32_t>::max());
    PrerecMs = static_cast<std::uint32_t>(std::max<qlonglong>(ms, 15000));
}

void TForm1::btnStopClick()
{
    QCoreApplication::processEvents();
    Timer1->stop();
    WaitPumping(100);
    StopMark = tickNow();
    close();
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (!closing_) {
        closing_ = true;
        FormCloseQuery();
        FormClose();
    }
    event->accept();
}

void TForm1::FormCloseQuery()
{
    int step = 0;
    try {
        saveSettings();
        saveTimers();
        StopMark = tickNow();
        // A connect under way gives up as soon as its wait returns.
        if (connecting_)
            abortConnect_ = true;
        while (DXAudioOut1->Status() != tosIdle) {
            DXAudioOut1->Stop(true);
            WaitPumping(3);
            closeGuard();
        }
        step = 1;
        while (WMATap1->Status() != tosIdle) {
            WMATap1->StopRecord();
            WaitPumping(3);
            closeGuard();
        }
        step = 2;
        while (WMATap2->Status() != tosIdle) {
            WMATap2->StopRecord();
            WaitPumping(3);
            closeGuard();
        }
        step = 3;
        if (RecState != rsClosing) {
            RecState = rsClosing;
            closeGuard();
        }
        step = 4;
    } catch (const std::exception &) {
        message(QString::number(step));
    }
}

void TForm1::closeGuard()
{
    setCursor(Qt::BusyCursor);
    // A close that has not finished a minute after it began ends the program outright; the
    // settings were saved at its start.
    if (tickNow() - StopMark > 60000) {
        Timer1->stop();
        std::_Exit(0);
    }
}

void TForm1::FormClose()
{
    activationHooked_ = false;
    QCoreApplication::processEvents();
    if (RecState == rsIdle || RecState == rsClosing)
        return;
    // A recording running at the close is not saved.
    if (RecState == rsRecording || RecState == rsRecordingPlain) {
        stopprerec();
        BitBtn1Click();
    }
    const std::uint32_t mark = tickNow();
    WaitPumpingUntil(
        [this] {
            const std::uint8_t reader = WMStreamedIn1->ReaderStatus();
            return MP3Out1->Status() == tosIdle && WMATap1->Status() == tosIdle && WMATap2->Status() == tosIdle &&
                   (reader == 0 || reader == 12 || reader == 13);
        },
        2000 - std::min<std::uint32_t>(2000, tickNow() - mark));
}
