// TForm1: program start, the data folder, the settings file, the Set Up page and closing.
#include "Main.h"

#include "MainComponents.h"

#include "ButtonPictures.h"
#include "DataFolder.h"
#include "FileNames.h"
#include "IniFile.h"
#include "NumericKeyFilter.h"
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

QString fonoluxVersion();

namespace {

// The network input's reader status codes (see TWMStreamedIn::ReaderStatus) the close waits for.
enum TReaderStatus : std::uint8_t { rdsNone = 0, rdsStopped = 12, rdsClosed = 13 };

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

QString sectionOf(TSettingId id)
{
    return QString::fromLatin1(Setting(id).Section);
}

QString keyOf(TSettingId id)
{
    return QString::fromLatin1(Setting(id).Key);
}

QString readText(const IniFile &ini, TSettingId id)
{
    return ini.readString(sectionOf(id), keyOf(id), QString());
}

int readNumber(const IniFile &ini, TSettingId id)
{
    return ini.readInteger(sectionOf(id), keyOf(id), static_cast<int>(Setting(id).DefaultNumber()));
}

bool readFlag(const IniFile &ini, TSettingId id)
{
    return ini.readBool(sectionOf(id), keyOf(id), Setting(id).DefaultNumber() != 0);
}

void writeText(IniFile &ini, TSettingId id, const QString &text)
{
    ini.writeString(sectionOf(id), keyOf(id), text);
}

void writeNumber(IniFile &ini, TSettingId id, int value)
{
    ini.writeInteger(sectionOf(id), keyOf(id), value);
}

void writeFlag(IniFile &ini, TSettingId id, bool value)
{
    ini.writeBool(sectionOf(id), keyOf(id), value);
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

void TForm1::report(const QString &text, ui::Report how)
{
    ui::report(this, text, how);
}

void TForm1::wireHandlers()
{
    // Keys: Ctrl+Q closes as the exit button does; the Radio page's buttons answer Ctrl+P
    // (Receive & Play), Ctrl+Shift+P (Pause Receive & Play), Ctrl+R (Record), Ctrl+Shift+R
    // (Pause Recording) and Ctrl+T (Record This Song) while that page is shown. A disabled
    // button ignores its key.
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
    btnRecordSong->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    for (QToolButton *b : {BitBtn1, BitBtn2, RecordButton, PauseRecordButton, btnRecordSong})
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
    wireNumericFields();

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
    connect(btnRecordSong, &QToolButton::clicked, this, &TForm1::RecordSongButtonClick);
    connect(btnSongDir, &QToolButton::clicked, this, &TForm1::songFolderButtonClick);
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
        report(QStringLiteral("Warning: Cannot Save recorded MP3 Files (could not load libmp3lame.so.0)"));
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
            report(e);
        // A copy of the program without its seed files would otherwise start with empty lists
        // and say nothing; said once, as the folder may be recreated while the program runs.
        if (QFileInfo(folder).isDir() && !QFileInfo(findFileNoCase(seedFolder, stationsSeed)).isFile() &&
            !seedMessageShown_) {
            seedMessageShown_ = true;
            const QStringList searched = programFolderOverride().isEmpty() ? programFileFolders(programFolder())
                                                                           : QStringList{programFolder()};
            report(QStringLiteral("The station list to start with (\"%1\") was not found in %2. "
                                   "Fonolux starts with an empty station list; add stations on the "
                                   "\"Add Station\" page.")
                        .arg(stationsSeed, searched.join(QStringLiteral(" or "))));
        }
    }
    if (!QFileInfo(folder).isDir()) {
        // Said once: every file access comes here and would repeat it while the program ends.
        if (!dataFolderMessageShown_) {
            dataFolderMessageShown_ = true;
            report(QStringLiteral("Could not access or create data directory"));
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
    const int top = readText(ini, TSettingId::Top).toInt(&ok);
    if (ok)
        pos.setY(top);
    const int left = readText(ini, TSettingId::Left).toInt(&ok);
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
        report(ini.readError());

    applyPositionFromSettings(ini);

    // The default is the working folder as it stands before the field changes.
    const QString workingFolder = path();
    edTempDir->setText(readText(ini, TSettingId::TempDir));
    if (edTempDir->text().isEmpty())
        edTempDir->setText(workingFolder);
    edTempDir->setText(withTrailingSlash(edTempDir->text()));
    if (!QFileInfo(edTempDir->text()).isDir())
        edTempDir->setText(path());

    int bitrate = readNumber(ini, TSettingId::Mp3BitRate);
    if (bitrate < 0 || bitrate >= cmmbr->count())
        bitrate = static_cast<int>(Setting(TSettingId::Mp3BitRate).DefaultNumber());
    cmmbr->setCurrentIndex(bitrate);
    int mode = readNumber(ini, TSettingId::RecordMode);
    if (mode < rmMp3 || mode > rmAsBroadcast)
        mode = static_cast<int>(Setting(TSettingId::RecordMode).DefaultNumber());
    cbRecordMode->setCurrentIndex(mode);
    updateRecordModeItems();
    cbSongFiles->setChecked(readFlag(ini, TSettingId::SongFiles));
    cbKeepPartial->setChecked(readFlag(ini, TSettingId::KeepPartial));
    const int aac = readNumber(ini, TSettingId::AacFile);
    cbAacFile->setCurrentIndex(aac == afM4a ? afM4a : afAdts);
    edSongDir->setText(readText(ini, TSettingId::SongDir));

    // Every text field first gets the stored text, then the default text when that is empty.
    for (TSettingId id : SetUpFields)
        numericField(id)->setText(SettingFieldText(id, readText(ini, id)));
    applyComponentSettings();

    edPreRec->setText(SettingFieldText(TSettingId::PreRecTime, readText(ini, TSettingId::PreRecTime)));
    const std::int64_t seconds =
        PrerecSeconds(edPreRec->text(), Setting(TSettingId::PreRecTime).DefaultNumber());
    PrerecMs = static_cast<std::uint32_t>(seconds * 1000);
    if (seconds == Setting(TSettingId::PreRecTime).Min)
        edPreRec->setText(QString::number(seconds));

    cbPreRec->setChecked(readFlag(ini, TSettingId::PreRec));
    Slider->setValue(readNumber(ini, TSettingId::Volume));

    const int genre = readNumber(ini, TSettingId::GenreIndex);
    cbgnr->setCurrentIndex(genre >= 0 && genre < cbgnr->count() ? genre : (cbgnr->count() > 0 ? 0 : -1));
    cbgnrChange();
    const int station = readNumber(ini, TSettingId::StationIndex);
    ComboBox1->setCurrentIndex(station >= 0 && station < ComboBox1->count() ? station : -1);
    ComboBox1Change();
    if (ComboBox1->currentIndex() == -1)
        ComboBox1->setEditText(readText(ini, TSettingId::StationText));

    btnOnTop->setChecked(readFlag(ini, TSettingId::OnTop));
    cbxOnTopClick();
    readingSettings_ = false;
}

bool TForm1::saveSettings()
{
    const TSetting &preRec = Setting(TSettingId::PreRecTime);
    bool ok = false;
    const int seconds = edPreRec->text().toInt(&ok);
    if ((ok ? seconds : preRec.Min) < preRec.Min)
        edPreRec->setText(QString::number(preRec.Min));

    IniFile ini(inifilename());
    ini.setAutoFlush(false);
    writeNumber(ini, TSettingId::Top, pos().y());
    writeNumber(ini, TSettingId::Left, pos().x());
    writeText(ini, TSettingId::TempDir, path());
    writeNumber(ini, TSettingId::Mp3BitRate, cmmbr->currentIndex());
    writeNumber(ini, TSettingId::RecordMode, cbRecordMode->currentIndex());
    writeFlag(ini, TSettingId::SongFiles, cbSongFiles->isChecked());
    writeFlag(ini, TSettingId::KeepPartial, cbKeepPartial->isChecked());
    writeNumber(ini, TSettingId::AacFile, cbAacFile->currentIndex());
    writeText(ini, TSettingId::SongDir, edSongDir->text().trimmed());
    // The table lists the fields in their saving order.
    for (const TSetting &s : SettingsTable())
        if (s.Field)
            writeText(ini, s.Id, numericField(s.Id)->text());
    writeFlag(ini, TSettingId::PreRec, cbPreRec->isChecked());
    writeNumber(ini, TSettingId::Volume, Slider->value());
    writeNumber(ini, TSettingId::GenreIndex, cbgnr->currentIndex());
    // A genre or station text with a line break cannot be stored; it is then left out.
    writeText(ini, TSettingId::GenreText, cbgnr->currentText());
    writeNumber(ini, TSettingId::StationIndex, ComboBox1->currentIndex());
    if (ComboBox1->currentIndex() == -1)
        writeText(ini, TSettingId::StationText, ComboBox1->currentText());
    writeFlag(ini, TSettingId::OnTop, btnOnTop->isChecked());
    if (!ini.flush()) {
        report(QStringLiteral("The settings could not be saved. ") + ini.errorString());
        return false;
    }
    return true;
}

QLineEdit *TForm1::numericField(TSettingId Id) const
{
    return numericFields_[static_cast<std::size_t>(Id)];
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
    updateRecordModeItems();
}

void TForm1::edPreRecChange()
{
    // A text that is no number yet (the field emptied to type a new one) leaves PrerecMs as it
    // is; leaving the field corrects the text.
    bool ok = false;
    edPreRec->text().trimmed().toLongLong(&ok);
    if (ok)
        PrerecMs = static_cast<std::uint32_t>(PrerecSeconds(edPreRec->text(), PrerecMs / 1000) * 1000);
}

void TForm1::wireNumericFields()
{
    for (const TSetting &s : SettingsTable()) {
        QLineEdit *field = numericField(s.Id);
        if (!field)
            continue;
        lastValidText_[static_cast<std::size_t>(s.Id)] = s.DefaultText();
        connect(field, &QLineEdit::textChanged, this, [this, id = s.Id](const QString &text) {
            std::int64_t v = 0;
            if (SettingNumber(id, text, v))
                lastValidText_[static_cast<std::size_t>(id)] = text;
        });
    }
    numericFilter_->setLeaveHandler([this](QLineEdit *field) { numericFieldLeft(field); });
}

void TForm1::numericFieldLeft(QLineEdit *field)
{
    for (const TSetting &s : SettingsTable()) {
        if (numericField(s.Id) != field)
            continue;
        const QString corrected =
            CorrectedFieldText(s.Id, field->text(), lastValidText_[static_cast<std::size_t>(s.Id)]);
        if (corrected.isEmpty())
            return;
        field->setText(corrected);
        report(CorrectionNotice(s.Id, corrected), ui::Report::Notice);
        return;
    }
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
    // What the close is doing, for the message should a step fail.
    int step = 0;
    QString doing = QStringLiteral("saving the settings and the timers");
    try {
        saveSettings();
        saveTimers();
        StopMark = tickNow();
        // A connect under way gives up as soon as its wait returns.
        if (connecting_)
            abortConnect_ = true;
        doing = QStringLiteral("stopping the sound output");
        while (DXAudioOut1->Status() != tosIdle) {
            DXAudioOut1->Stop(true);
            WaitPumping(3);
            closeGuard();
        }
        step = 1;
        doing = QStringLiteral("stopping the first pre-recording file");
        while (WMATap1->Status() != tosIdle) {
            WMATap1->StopRecord();
            WaitPumping(3);
            closeGuard();
        }
        step = 2;
        doing = QStringLiteral("stopping the second pre-recording file");
        while (WMATap2->Status() != tosIdle) {
            WMATap2->StopRecord();
            WaitPumping(3);
            closeGuard();
        }
        if (packetRing_)
            packetRing_->Stop();
        step = 3;
        doing = QStringLiteral("ending the recorder");
        if (RecState != rsClosing) {
            RecState = rsClosing;
            closeGuard();
        }
        step = 4;
    } catch (const std::exception &e) {
        report(QStringLiteral("Closing step %1 failed while %2: %3. Fonolux closes all the same.")
                   .arg(step)
                   .arg(doing, QString::fromUtf8(e.what())));
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
                   (reader == rdsNone || reader == rdsStopped || reader == rdsClosed);
        },
        2000 - std::min<std::uint32_t>(2000, tickNow() - mark));
}
