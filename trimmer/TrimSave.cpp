// Saving the played stretch as a new MP3 file: the dialog, locking the window while the
// encoder runs, and putting the finished clip in place.
//
// The clip is written to a hidden file beside the chosen one and renamed over it only when the
// encoder has finished without a failure. So a failed save (full disk, encoder missing,
// unwritable folder) leaves no partial file and never destroys the file that was there, not
// even when the user chose the open file itself.
#include "TrimMain.h"

#include "TrimClip.h"
#include "UserMessages.h"

#include "AuException.h"
#include "AuLame.h"
#include "AuMp3In.h"
#include "AuSoundOut.h"

#include <QApplication>
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSlider>
#include <QToolButton>

void TForm1::Button2Click()
{
    // One save at a time, and never while the player reads the decoder.
    if (SavingClip || !FSavePart.isEmpty() || DXAudioOut1->Status() != tosIdle)
        return;
    MP3Out1->SetFileName(std::string());
    MP3In1->Reset();
    if (!SaveDialog1.Execute(this))
        return;
    struct UnlockOnExit {
        TForm1 *f;
        ~UnlockOnExit()
        {
            f->Todisk(false);
            f->FEncoderStarted = false;
            // A close asked for while the save was set up happens now that it has ended.
            if (f->FCloseAfterSave) {
                f->FCloseAfterSave = false;
                f->close();
            }
        }
    } unlock{this};

    FSaveTarget = SaveDialog1.FileName;
    FSavePart = ClipPartFileName(FSaveTarget, QRandomGenerator::global()->generate64());
    MP3Out1->SetFileName(FSavePart.toUtf8().toStdString());
    QCoreApplication::processEvents();
    // A Play click that slipped in while the dialog closed has the decoder now.
    if (!InputMS || !MP3In1->Valid() || DXAudioOut1->Status() != tosIdle) {
        FSaveTarget.clear();
        FSavePart.clear();
        return;
    }
    MP3In1->Seek(0);
    Todisk(true);
    SetStretch(true);
    try {
        MP3Out1->Run();
        FEncoderStarted = true;
    } catch (const EAuException &e) {
        FSaveTarget.clear();
        FSavePart.clear();
        ui::report(this, QString::fromUtf8(e.what()));
        return;
    }
    while (SavingClip)
        WaitPumping(50);
}

void TForm1::Todisk(bool Op)
{
    SavingClip = Op;
    for (QWidget *w : {static_cast<QWidget *>(BitBtn1), static_cast<QWidget *>(btnOpen),
                       static_cast<QWidget *>(btnSave), static_cast<QWidget *>(btnSaveExact),
                       static_cast<QWidget *>(btnPlay),
                       static_cast<QWidget *>(svolume)})
        w->setEnabled(!Op);
    if (Op) {
        QCoreApplication::processEvents();
        if (!FSaveCursor) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            FSaveCursor = true;
        }
    } else if (FSaveCursor) {
        QApplication::restoreOverrideCursor();
        FSaveCursor = false;
    }
}

void TForm1::Done(TComponent *)
{
    // A late end of a run that a new save has already replaced must not end that one.
    if (MP3Out1->EventRun() != MP3Out1->RunNumber() || MP3Out1->Status() != tosIdle)
        return;
    Todisk(false);
    QString error = QString::fromUtf8(MP3Out1->ExceptionMessage());
    if (!FSavePart.isEmpty()) {
        // A complete clip whose tags failed is still a clip: it is put in place, with a warning.
        if (!error.isEmpty() && MP3Out1->TagsFailed())
            error = QStringLiteral("Warning: the clip was saved as %1, but its tags could not be written: %2")
                        .arg(FSaveTarget, error);
        if (error.isEmpty() || MP3Out1->TagsFailed())
            PutClipInPlace(FSavePart, FSaveTarget, error);
        else
            DiscardClip(FSavePart);
        FSavePart.clear();
        FSaveTarget.clear();
    }
    MP3Out1->SetFileName(std::string());
    PlayStart = SelStart;
    PlayEnd = SelEnd;
    SetButtons(tmFileOpen);
    DrawWave();
    SavingClip = false;
    if (!error.isEmpty())
        ui::report(this, error);
}

void TForm1::AbandonSave()
{
    MP3Out1->Stop(false);
    DiscardClip(FSavePart);
    FSavePart.clear();
    FSaveTarget.clear();
}
