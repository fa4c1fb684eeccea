// Saving the played stretch as a new MP3 file: the dialog, locking the window while the
// encoder runs, and putting the finished clip in place.
//
// The clip is written to a hidden file beside the chosen one and renamed over it only when the
// encoder has finished without a failure. So a failed save (full disk, encoder missing) leaves
// no partial file and never destroys the file that was there, not even when the user chose the
// open file itself (which the decoder reads from memory anyway).
#include "TrimMain.h"

#include "UserMessages.h"

#include "AuException.h"
#include "AuLame.h"
#include "AuMp3In.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSlider>
#include <QToolButton>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

QString partFileFor(const QString &Target)
{
    const QFileInfo info(Target);
    const QString tag = QString::number(QRandomGenerator::global()->generate64(), 36);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + u'.' + tag + QStringLiteral(".part");
}

} // namespace

void TForm1::Button2Click()
{
    MP3Out1->SetFileName(std::string());
    MP3In1->Reset();
    if (!SaveDialog1.Execute(this))
        return;
    struct UnlockOnExit {
        TForm1 *f;
        ~UnlockOnExit() { f->Todisk(false); }
    } unlock{this};

    FSaveTarget = SaveDialog1.FileName;
    FSavePart = partFileFor(FSaveTarget);
    MP3Out1->SetFileName(FSavePart.toUtf8().toStdString());
    QCoreApplication::processEvents();
    if (!InputMS || !MP3In1->Valid()) {
        FSaveTarget.clear();
        FSavePart.clear();
        return;
    }
    MP3In1->Seek(0);
    Todisk(true);
    SetStretch(true);
    try {
        MP3Out1->Run();
    } catch (const EAuException &e) {
        FSaveTarget.clear();
        FSavePart.clear();
        ui::showMessage(this, QString::fromUtf8(e.what()));
        return;
    }
    while (SavingClip)
        WaitPumping(50);
}

void TForm1::Todisk(bool Op)
{
    SavingClip = Op;
    for (QWidget *w : {static_cast<QWidget *>(BitBtn1), static_cast<QWidget *>(btnOpen),
                       static_cast<QWidget *>(btnSave), static_cast<QWidget *>(btnPlay),
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
    if (MP3Out1->Status() != tosIdle)
        return;
    Todisk(false);
    QString error = QString::fromUtf8(MP3Out1->ExceptionMessage());
    if (!FSavePart.isEmpty()) {
        if (error.isEmpty()) {
            // rename(2) replaces the target in one step, so it is never missing or half there.
            if (std::rename(QFile::encodeName(FSavePart).constData(), QFile::encodeName(FSaveTarget).constData()) != 0)
                error = QStringLiteral("Cannot write \"%1\": %2")
                            .arg(FSaveTarget, QString::fromLocal8Bit(std::strerror(errno)));
        }
        if (!error.isEmpty())
            QFile::remove(FSavePart);
        FSavePart.clear();
        FSaveTarget.clear();
    }
    PlayStart = SelStart;
    PlayEnd = SelEnd;
    SetButtons(11);
    DrawWave();
    SavingClip = false;
    if (!error.isEmpty())
        ui::showMessage(this, error);
}
