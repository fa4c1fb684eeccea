// Saving the played stretch without re-encoding: the MP3 frames of the open file are cut out
// as they are, so the clip sounds exactly like the original and keeps its bit rate.
//
// The same stretch as the re-encoding save, the same dialog, and the same hidden file renamed
// over the chosen one only when the clip is complete, so a failure leaves nothing behind. The
// cut takes milliseconds, so it runs on the GUI thread while the window is locked.
#include "TrimMain.h"

#include "TrimClip.h"
#include "TrimRules.h"
#include "UserMessages.h"

#include "AuClasses.h"
#include "AuException.h"
#include "AuMp3In.h"
#include "AuSoundOut.h"
#include "AuStreams.h"
#include "Mp3ClipFile.h"
#include "Mp3Frames.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>

void TForm1::btnSaveExactClick()
{
    if (SavingClip || !FSavePart.isEmpty() || !InputMS || !MP3In1->Valid() || DXAudioOut1->Status() != tosIdle)
        return;
    // Say at once when the file cannot be cut this way, before asking for a name.
    const TMemoryStream *opened = InputMS.get();
    const QString openedName = FOpenedFile;
    const std::vector<std::uint8_t> &bytes = opened->Data();
    Mp3FrameIndex index;
    try {
        index = IndexMp3(bytes.data(), bytes.size());
    } catch (const EAuException &e) {
        ui::report(this, QString::fromUtf8(e.what()));
        return;
    }
    if (!SaveDialog1.Execute(this))
        return;
    // The dialog ran an event loop: a play, another save or another file may have come
    // meanwhile (the index and the bytes are the file's that was open).
    if (SavingClip || !FSavePart.isEmpty() || InputMS.get() != opened || FOpenedFile != openedName ||
        DXAudioOut1->Status() != tosIdle)
        return;

    const TFrameStretch stretch = StretchFrames(MP3In1->TotalSamples(), PlayStart, PlayEnd, PictureWidth);
    const std::int64_t end = std::clamp<std::int64_t>(stretch.End, 1, index.TotalSamples());
    const std::int64_t start = std::clamp<std::int64_t>(stretch.Start, 0, end - 1);

    FSaveTarget = SaveDialog1.FileName;
    FSavePart = ClipPartFileName(FSaveTarget, QRandomGenerator::global()->generate64());
    Todisk(true);
    QString error;
    try {
        WriteMp3ClipFile(bytes.data(), bytes.size(), index, start, end, QFile::encodeName(FSavePart).toStdString());
        PutClipInPlace(FSavePart, FSaveTarget, error);
    } catch (const EAuException &e) {
        DiscardClip(FSavePart);
        // The user chose the target; the hidden file is ours.
        error = QString::fromUtf8(e.what()).replace(FSavePart, FSaveTarget);
    }
    FSavePart.clear();
    FSaveTarget.clear();
    Todisk(false);
    // As after the re-encoding save: the next play or save takes the selection again.
    PlayStart = SelStart;
    PlayEnd = SelEnd;
    SetButtons(tmFileOpen);
    DrawWave();
    if (!error.isEmpty())
        ui::report(this, error);
}
