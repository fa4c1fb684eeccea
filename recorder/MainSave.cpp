// TForm1: stopping a recording and saving it as one MP3 file (dialog or automatic numbering).
#include "Main.h"

#include "AuEvents.h"
#include "AuLame.h"
#include "AuMedia.h"
#include "AuMixer.h"
#include "AuSoundOut.h"
#include "ButtonPictures.h"
#include "UserMessages.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

namespace {

bool exists(const QString &file)
{
    return QFileInfo::exists(file);
}

// Whether a name is taken by anything, a link whose target is missing included: an automatic
// save never writes through such a link.
bool nameTaken(const QString &file)
{
    const QFileInfo info(file);
    return info.exists() || info.isSymLink();
}

} // namespace

void TForm1::stopAndSave()
{
    // A save waits for the encoder's done event, which the event thread cannot deliver while
    // it is still delivering the event we are inside (a level report starting a scheduled
    // stop, say). Then the save runs as soon as that handler has returned.
    if (TEventHandler::InEventDelivery()) {
        QTimer::singleShot(0, this, [this] {
            if (RecState == rsRecording || RecState == rsRecordingPlain)
                stopAndSave();
        });
        return;
    }
    stopprerec();
    const TBroadcastFormat broadcast = broadcastFormat_;
    broadcastFormat_ = TBroadcastFormat::None;
    const QString tap1 = broadcast != TBroadcastFormat::None ? ringFile_[0] : QString::fromStdString(WMATap1->FileName());
    const QString tap2 = broadcast != TBroadcastFormat::None ? ringFile_[1] : QString::fromStdString(WMATap2->FileName());
    TRecordingFiles files = RecordingFiles(RecStartState, tap1, tap2);
    // Read while the ring's files still have their names.
    const std::vector<TTitleMark> marks = broadcast != TBroadcastFormat::None ? recordingMarks(files)
                                                                              : std::vector<TTitleMark>{};
    // A working folder removed during the recording took the files' names, not their
    // contents: those come back from the held descriptors.
    if (!files.Older.isEmpty())
        files.Older = restoreTapFile(files.Older, 1);
    files.Current = restoreTapFile(files.Current, 2);
    heldTapFiles_.clear();
    RecStartState = 0;
    setButtonPicture(RecordButton, bpRecord);
    const bool autoSave = AutoSave;
    AutoSave = false;

    auto carryOn = [this] {
        if (closingNow())
            return;
        if (cbPreRec->isChecked())
            StartPrerec();
        else
            RecState = rsPlaying;
        endis();
    };

    const QString autoFolder = path() + QStringLiteral("AutoSaved/");
    if (broadcast != TBroadcastFormat::None && splitsSongs(broadcast)) {
        // Each song gets its own file, named after it, in the songs' folder: no dialog.
        Label14->setText(QStringLiteral("Saving Do no touch !"));
        saveSongs(broadcast, files, marks);
        recordSongByte_ = -1;
        carryOn();
        if (autoSave)
            ui::openUrl(QUrl::fromLocalFile(songFolder()));
        return;
    }
    if (broadcast != TBroadcastFormat::None) {
        // The station's own frames: nothing to encode, so the encoder library is not needed.
        const QString ext = broadcastSaveExtension(broadcast);
        QString target;
        if (autoSave) {
            QDir().mkpath(autoFolder);
            target = AutoSaveName(autoFolder, nameTaken, ext);
            lastSaveName_ = target;
        } else {
            target = runSaveDialog(ext);
        }
        Label14->setText(QStringLiteral("Saving Do no touch !"));
        if (target.isEmpty())
            keepRecordingFiles(files, QString());
        else
            saveAsBroadcast(broadcast, files, target, marks);
        recordSongByte_ = -1;
        carryOn();
        if (autoSave)
            ui::openUrl(QUrl::fromLocalFile(autoFolder));
        return;
    }

    if (!encoderLibraryLoads()) {
        report(QStringLiteral("Warning: Cannot Save recorded MP3 Files (could not load libmp3lame.so.0)"));
        keepRecordingFiles(files, QString());
        carryOn();
        return;
    }

    QString target;
    if (autoSave) {
        QDir().mkpath(autoFolder);
        target = AutoSaveName(autoFolder, nameTaken);
        lastSaveName_ = target;
    } else {
        target = runSaveDialog();
    }
    Label14->setText(QStringLiteral("Saving Do no touch !"));

    if (!target.isEmpty()) {
        const QString tempa = path() + QStringLiteral("tempa.wma");
        const QString tempb = path() + QStringLiteral("tempb.wma");
        const bool two = !files.Older.isEmpty();
        bool moved = true;
        if (two)
            moved = MoveTempFile(files.Older, tempa);
        moved = moved && MoveTempFile(files.Current, tempb);
        if (!moved) {
            // Whatever could not be moved is still in its tap file; keep both aside.
            keepRecordingFiles({exists(tempa) ? tempa : files.Older, exists(tempb) ? tempb : files.Current},
                               QStringLiteral("The recording could not be saved: its file ") + files.Current +
                                   QStringLiteral(" is missing or cannot be moved."));
        } else {
            Saving = true;
            saveError_.clear();
            MP3Out1->SetFileName(target.toStdString());
            if (two) {
                WMIn1->SetFileName(tempa.toStdString());
                WMIn2->SetFileName(tempb.toStdString());
                QCoreApplication::processEvents();
                MP3Out1->SetInput(AudioMixer1);
            } else {
                WMIn2->SetFileName(tempb.toStdString());
                MP3Out1->SetInput(WMIn2);
                AudioMixer1->SetInput2(nullptr);
                QCoreApplication::processEvents();
            }
            bool started = true;
            try {
                MP3Out1->Run();
            } catch (const std::exception &e) {
                started = false;
                saveError_ = QString::fromUtf8(e.what());
                Saving = false;
            }
            // Ends with the done event; an output that went idle without one (its events
            // lost) ends the wait a little later instead of never.
            std::uint32_t idleSince = 0;
            while (started && Saving) {
                WaitPumping(5);
                if (MP3Out1->Status() == tosIdle) {
                    if (idleSince == 0)
                        idleSince = tickNow();
                    else if (tickNow() - idleSince > 5000)
                        Saving = false;
                } else {
                    idleSince = 0;
                }
            }
            // The encoder writes beside the target and renames only a complete MP3 over it, so
            // a failed save leaves a file that was there as it was. A complete MP3 whose tags
            // could not be written is kept, with a warning.
            const bool tagsOnly = !saveError_.isEmpty() && MP3Out1->TagsFailed();
            if (saveError_.isEmpty() || tagsOnly) {
                if (exists(tempb))
                    QFile::remove(tempb);
                if (exists(tempa))
                    QFile::remove(tempa);
                if (tagsOnly)
                    report(QStringLiteral("Warning: the recording was saved as ") + target +
                           QStringLiteral(", but its tags could not be written: ") + saveError_);
            } else {
                keepRecordingFiles({two ? tempa : QString(), tempb},
                                   QStringLiteral("The MP3 file could not be written: ") + saveError_);
            }
            if (!two) {
                QCoreApplication::processEvents();
                AudioMixer1->SetInput2(WMIn2);
                MP3Out1->SetInput(AudioMixer1);
            }
        }
    } else {
        keepRecordingFiles(files, QString());
    }

    carryOn();
    if (autoSave)
        ui::openUrl(QUrl::fromLocalFile(autoFolder));
}

QString TForm1::restoreTapFile(const QString &File, int Part)
{
    if (exists(File))
        return File;
    const QString folder = path();
    QDir().mkpath(folder);
    const QString copy = folder + QStringLiteral("restored-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss")) + QLatin1Char('-') +
                         QString::number(Part) + QLatin1Char('.') + QFileInfo(File).suffix();
    QString error;
    if (heldTapFiles_.restore(File, copy, error))
        return copy;
    if (!error.isEmpty())
        report(QStringLiteral("The recording's file ") + File + QStringLiteral(" was removed and could not be restored: ") +
               error);
    return File;
}

QString TForm1::runSaveDialog(const QString &Extension)
{
    if (saveDialogHook) {
        const QString chosen = saveDialogHook();
        if (!chosen.isEmpty())
            lastSaveName_ = chosen;
        return chosen;
    }
    QFileDialog dialog(this, QStringLiteral("Save recording"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(Extension.toUpper() + QStringLiteral(" files (*.") + Extension + QLatin1Char(')'));
    dialog.setDefaultSuffix(Extension);
    dialog.setSizeGripEnabled(true);
    if (lastSaveName_.isEmpty()) {
        // The first time: the user's music folder, not the hidden working folder.
        QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        if (music.isEmpty() || !QFileInfo(music).isDir())
            music = QDir::homePath();
        dialog.setDirectory(music);
    } else {
        dialog.setDirectory(QFileInfo(lastSaveName_).absolutePath());
        // The last name again, with this recording's extension.
        const QFileInfo last(lastSaveName_);
        dialog.selectFile(last.suffix() == Extension ? last.fileName()
                                                     : last.completeBaseName() + QLatin1Char('.') + Extension);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    lastSaveName_ = dialog.selectedFiles().constFirst();
    return lastSaveName_;
}

void TForm1::keepRecordingFiles(const TRecordingFiles &files, const QString &why)
{
    // The ring that starts next would overwrite the tap files: the recording moves to names of
    // its own in the working folder.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QStringList kept;
    int part = 1;
    for (const QString &f : {files.Older, files.Current}) {
        if (f.isEmpty() || !exists(f))
            continue;
        const QString name = path() + QStringLiteral("recording-") + stamp + QLatin1Char('-') +
                             QString::number(part++) + QLatin1Char('.') + QFileInfo(f).suffix();
        if (MoveTempFile(f, name))
            kept << name;
    }
    if (kept.isEmpty()) {
        if (!why.isEmpty())
            report(why);
        return;
    }
    const QString where = QStringLiteral("The recording was kept as ") + kept.join(QStringLiteral(" and ")) +
                          QLatin1Char('.');
    setStatusPanelText(where);
    if (!why.isEmpty())
        report(why + QLatin1Char(' ') + where);
}

void TForm1::MP3Out1Done(TComponent *Sender)
{
    if (staleEvent(Sender))
        return;
    if (cbPreRec->isChecked())
        StartPrerec();
    QCoreApplication::processEvents();
    Saving = false;
}

void TForm1::MP3Out1ThreadException(TComponent *Sender)
{
    if (staleEvent(Sender))
        return;
    saveError_ = QString::fromStdString(MP3Out1->ExceptionMessage());
    if (saveError_.isEmpty())
        saveError_ = QStringLiteral("the encoder failed");
}

bool TForm1::MoveTempFile(const QString &Source, const QString &Target)
{
    // A link at the name goes too (a dangling one included): the move never writes through it.
    if (nameTaken(Target))
        QFile::remove(Target);
    const std::uint32_t began = tickNow();
    do {
        QCoreApplication::processEvents();
        QFile::rename(Source, Target);
        QCoreApplication::processEvents();
        if (exists(Target))
            return true;
        // A tap that never wrote its file: the move cannot succeed; give up after a while.
        if (!exists(Source) && tickNow() - began > 2000)
            break;
        WaitPumping(20);
    } while (tickNow() - began < 10000);
    return exists(Target);
}
