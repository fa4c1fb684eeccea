// TForm1: the recorder states' controls, the pre-recording ring, starting and pausing a recording.
#include "Main.h"

#include "AuMedia.h"
#include "AuSoundOut.h"
#include "ButtonPictures.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTemporaryFile>
#include <QToolButton>

#include <sys/stat.h>

namespace {

bool isPrerecState(TRecState s)
{
    return s >= rsPrerecStart && s <= rsPrerecTap1;
}

// Whether a file can be created in folder (it may have been removed, made read-only or be full).
// The probe is a new private file of a name of its own, so a link planted in the folder is
// never written through.
bool folderWritable(const QString &folder)
{
    QTemporaryFile probe(folder + QStringLiteral(".fonolux-write-test-XXXXXX"));
    if (!probe.open())
        return false;
    return probe.write("x", 1) == 1 && probe.flush();
}

} // namespace

void TForm1::startTap(TWMATap *tap)
{
    tap->StartRecord();
    pendingStart_ = tap;
}

void TForm1::endis()
{
    desktopBusUpdate();
    const TStateLayout l = StateLayout(RecState);
    if (!l.Applies) {
        QCoreApplication::processEvents();
        return;
    }
    auto apply = [](QWidget *w, TSwitch s) {
        if (s != TSwitch::Keep)
            w->setEnabled(s == TSwitch::On);
    };
    apply(btnStop, l.btnStop);
    apply(BitBtn1, l.BitBtn1);
    apply(BitBtn2, l.BitBtn2);
    apply(RecordButton, l.RecordButton);
    apply(PauseRecordButton, l.PauseRecordButton);
    // Record This Song starts a recording: it goes with Record wherever that starts one.
    btnRecordSong->setEnabled(RecordButton->isEnabled() && RecState != rsRecording && RecState != rsRecordingPlain &&
                              RecState != rsRecordPaused);
    for (QWidget *w : std::initializer_list<QWidget *>{ComboBox1, cbgnr, cbPreRec, edPreRec, ToolButton1,
                                                       ToolButton2, ToolButton3, edTempDir, cbRecordMode})
        apply(w, l.IdleControls);
    if (l.IdleControls != TSwitch::Keep)
        PageControl1->setTabEnabled(PageControl1->indexOf(tsAddStn), l.IdleControls == TSwitch::On);
    if (l.SetUpPage != TSwitch::Keep)
        PageControl1->setTabEnabled(PageControl1->indexOf(tsSetUp), l.SetUpPage == TSwitch::On);
    if (l.BitBtn1Picture != bpKeep)
        setButtonPicture(BitBtn1, l.BitBtn1Picture);
    if (l.BitBtn2Picture != bpKeep)
        setButtonPicture(BitBtn2, l.BitBtn2Picture);
    if (l.RecordPicture != bpKeep)
        setButtonPicture(RecordButton, l.RecordPicture);
    if (l.PauseRecordPicture != bpKeep)
        setButtonPicture(PauseRecordButton, l.PauseRecordPicture);
    if (!l.Status.isEmpty())
        Label14->setText(RecState == rsIdle && !heldStatus_.isEmpty() ? heldStatus_ : l.Status);
    QCoreApplication::processEvents();
}

void TForm1::warnIfFolderShared(const QString &Folder)
{
    struct stat st {};
    if (::stat(QFile::encodeName(Folder).constData(), &st) != 0 || (st.st_mode & S_IWOTH) == 0) {
        sharedFolderWarned_.clear();
        return;
    }
    if (sharedFolderWarned_ == Folder)
        return;
    sharedFolderWarned_ = Folder;
    setStatusPanelText(QStringLiteral("Warning: other users can write to the working folder ") + Folder +
                       QStringLiteral("; recordings there are not private."));
}

void TForm1::holdTapFiles()
{
    const bool taping = (RecState >= rsPrerecStart && RecState <= rsRecording) || RecState == rsRecordingPlain ||
                        RecState == rsRecordPaused;
    if (!taping) {
        if (!heldTapFiles_.empty())
            heldTapFiles_.clear();
        return;
    }
    for (TWMATap *tap : {WMATap1, WMATap2})
        if (tap->Status() != tosIdle)
            heldTapFiles_.hold(QString::fromStdString(tap->FileName()));
    if (broadcastFormat_ != TBroadcastFormat::None)
        for (const QString &file : ringFile_)
            if (!file.isEmpty())
                heldTapFiles_.hold(file);
}

void TForm1::StartPrerec()
{
    if (!cbPreRec->isChecked() || DXAudioOut1->Status() == tosIdle)
        return;
    if (WMATap1->Status() == tosIdle && WMATap2->Status() == tosIdle && !packetRing_->Running()) {
        const QString folder = path();
        if (!folderWritable(folder)) {
            // Said once; playing goes on and the ring starts at a later level report once the
            // folder can be written again.
            if (!prerecWriteWarned_) {
                prerecWriteWarned_ = true;
                report(QStringLiteral("Pre-recording is off: the working folder cannot be written (") + folder +
                        QStringLiteral(")."));
            }
            PrerecOnFlow = true;
            endis();
            return;
        }
        prerecWriteWarned_ = false;
        warnIfFolderShared(folder);
        Label14->setText(QStringLiteral("PreRecording"));
        broadcastFormat_ = broadcastFormatNow();
        if (broadcastFormat_ != TBroadcastFormat::None) {
            const QString ext = ringExtension(broadcastFormat_);
            ringFile_ = {folder + QStringLiteral("temp0.ring.") + ext, folder + QStringLiteral("temp1.ring.") + ext};
            RecClock.Zero();
            RecClock.BaseTick = tickNow();
            PrerecSwitchTick = tickNow();
            RecState = rsPrerecStart;
            startRingSegment(0, ringFile_[0]);
            PrerecRunning = true;
            endis();
            return;
        }
        WMATap1->SetFileName((folder + QStringLiteral("temp0.wma")).toStdString());
        QCoreApplication::processEvents();
        const auto desired = static_cast<std::uint32_t>(SettingValue(TSettingId::TapBitRate, EdBitRate->text()));
        WMATap1->SetDesiredBitrate(desired);
        WMATap2->SetFileName((folder + QStringLiteral("temp1.wma")).toStdString());
        QCoreApplication::processEvents();
        WMATap2->SetDesiredBitrate(desired);
        RecClock.Zero();
        RecClock.BaseTick = tickNow();
        PrerecSwitchTick = tickNow();
        RecState = rsPrerecStart;
        QCoreApplication::processEvents();
        startTap(WMATap1);
        PrerecRunning = true;
        QCoreApplication::processEvents();
    }
    endis();
}

void TForm1::prerecTimer()
{
    QCoreApplication::processEvents();
    TWMATap *start = nullptr, *stop = nullptr;
    switch (RecState) {
    case rsPrerecStart:
    case rsPrerecTap1:
        RecState = rsPrerecTap2;
        start = WMATap2;
        stop = WMATap1;
        break;
    case rsPrerecTap2:
        RecState = rsPrerecTap1;
        start = WMATap1;
        stop = WMATap2;
        break;
    default:
        break;
    }
    if (start && broadcastFormat_ != TBroadcastFormat::None) {
        // The ring switches between two packets: the segments join without a gap or overlap.
        const int slot = start == WMATap1 ? 0 : 1;
        startRingSegment(slot, ringFile_[slot]);
    } else if (start) {
        QCoreApplication::processEvents();
        // The new segment begins before the old one ends: they overlap by a block or two
        // rather than leave a gap.
        startTap(start);
        stop->StopRecord();
    }
    QCoreApplication::processEvents();
}

void TForm1::stopprerec()
{
    // A start not yet taken up by the worker would still begin after the stop below (a stop
    // acts only on a running recording); let it begin first.
    if (pendingStart_ && pendingStart_->Status() == tosIdle && DXAudioOut1->Status() == tosPlaying)
        WaitPumpingUntil([this] { return pendingStart_->Status() != tosIdle; }, 1000);
    pendingStart_ = nullptr;
    packetRing_->Stop();
    for (TWMATap *tap : {WMATap1, WMATap2}) {
        if (tap->Status() == tosIdle)
            continue;
        QCoreApplication::processEvents();
        tap->StopRecord();
        // The worker closes the file at its next block; a chain that no longer runs has
        // closed it already. Bounded, so a stuck worker cannot hold the window.
        WaitPumpingUntil([tap] { return tap->Status() == tosIdle; }, 10000);
    }
    PrerecRunning = false;
    if (RecState != rsClosing)
        RecState = rsIdle;
    RecClock.Zero();
    Label7->setText(QStringLiteral("0:00:00"));
}

void TForm1::RecordButtonClick()
{
    if (RecState == rsRecording || RecState == rsRecordingPlain) {
        stopAndSave();
        return;
    }
    if (DXAudioOut1->Status() == tosIdle)
        return;
    recordSongByte_ = -1; // Record This Song sets it once the recording runs
    if (isPrerecState(RecState)) {
        RecStartState = static_cast<std::int16_t>(RecState);
        RecState = rsRecording;
    } else if (RecState == rsPlaying) {
        const QString folder = path();
        if (!folderWritable(folder)) {
            report(QStringLiteral("Cannot record: the working folder cannot be written (") + folder +
                    QStringLiteral(")."));
            return;
        }
        warnIfFolderShared(folder);
        broadcastFormat_ = broadcastFormatNow();
        if (broadcastFormat_ == TBroadcastFormat::None) {
            WMATap1->SetFileName((folder + QStringLiteral("temp1.wma")).toStdString());
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
        } else {
            ringFile_ = {folder + QStringLiteral("temp1.ring.") + ringExtension(broadcastFormat_), QString()};
        }
        RecState = rsRecordingPlain;
        RecStartState = 1;
        // The record clock counts this recording from now.
        RecClock.Zero();
        RecClock.BaseTick = tickNow();
        if (broadcastFormat_ == TBroadcastFormat::None)
            startTap(WMATap1);
        else
            startRingSegment(0, ringFile_[0]);
    } else {
        return;
    }
    setButtonPicture(RecordButton, bpStopRecording);
    endis();
}

void TForm1::PauseRecordButtonClick()
{
    if (RecState == rsRecording || RecState == rsRecordingPlain) {
        ResumeState = RecState;
        RecState = rsRecordPaused;
        WMATap1->PauseRecord();
        WMATap2->PauseRecord();
        packetRing_->SetPaused(true);
        Label14->setText(QStringLiteral("Recording paused"));
        setButtonPicture(PauseRecordButton, bpRecord);
    } else if (RecState == rsRecordPaused) {
        RecState = ResumeState;
        WMATap1->ResumeRecord();
        WMATap2->ResumeRecord();
        packetRing_->SetPaused(false);
        // The clock goes on from where it stood.
        RecClock.BaseTick = tickNow() - RecClock.Milliseconds;
        Label14->setText(QStringLiteral("Recording"));
        setButtonPicture(PauseRecordButton, bpPauseRecording);
    }
}
