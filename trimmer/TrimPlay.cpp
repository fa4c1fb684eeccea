// Playback in the trimmer: the stretch set on the decoder, play, pause, stop, volume and speed,
// the end of a playback and the 50 ms timer that follows it in the picture.
#include "TrimMain.h"

#include "UserMessages.h"

#include "AuException.h"
#include "AuMp3In.h"
#include "AuSoundOut.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSlider>
#include <QToolButton>

bool TForm1::SetStretch(bool Pump)
{
    // While the decoder is idle this presets the start at frame 0 and clears the end.
    MP3In1->Seek(0);
    const TFrameStretch s = StretchFrames(MP3In1->TotalSamples(), PlayStart, PlayEnd, PictureWidth);
    // Nothing else writes the two values, so the first write holds; the bound only keeps a
    // decoder that refuses them from holding the window forever.
    constexpr int Attempts = 8;
    for (int k = 0; k < Attempts && MP3In1->StartSample() != s.Start; ++k) {
        MP3In1->SetStartSample(s.Start);
        if (Pump)
            QCoreApplication::processEvents();
    }
    for (int k = 0; k < Attempts && MP3In1->EndSample() != s.End; ++k) {
        MP3In1->SetEndSample(s.End);
        if (Pump)
            QCoreApplication::processEvents();
    }
    return MP3In1->StartSample() == s.Start && MP3In1->EndSample() == s.End;
}

void TForm1::Button3Click()
{
    if (!InputMS || !MP3In1->Valid())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    SetStretch(true);
    SetButtons(2);
    try {
        DXAudioOut1->Run();
    } catch (const EAuException &e) {
        QApplication::restoreOverrideCursor();
        SetButtons(11);
        ui::showMessage(this, QString::fromUtf8(e.what()));
        return;
    }
    svolumeChange();
    QApplication::restoreOverrideCursor();
}

void TForm1::btnPauseClick()
{
    if (btnPause->isChecked()) {
        DXAudioOut1->Pause();
        SetButtons(3);
    } else {
        DXAudioOut1->Resume();
        SetButtons(2);
    }
}

void TForm1::Button4Click()
{
    DXAudioOut1->Stop(true);
    while (DXAudioOut1->Status() != tosIdle)
        WaitPumping(10);
    PlayStart = SelStart;
    PlayEnd = SelEnd;
    SetButtons(11);
}

void TForm1::svolumeChange()
{
    DXAudioOut1->SetVolume(svolume->value());
}

void TForm1::sSpeedChange()
{
    DXAudioOut1->SetSpeedFactor(static_cast<float>(sSpeed->value()) / 100.0f);
}

void TForm1::btnrstspdClick()
{
    sSpeed->setValue(100);
    DXAudioOut1->SetSpeedFactor(100 / 100.0f);
}

void TForm1::Progress(TComponent *)
{
    DrawWave();
}

void TForm1::DXAudioOut1Done(TComponent *)
{
    // The end of a run that a new playback has already replaced must not end that one.
    if (DXAudioOut1->Status() != tosIdle)
        return;
    PlayStart = SelStart;
    PlayEnd = SelEnd;
    SetButtons(11);
    DrawWave();
}

void TForm1::IWTimer1Timer()
{
    if (DXAudioOut1->Status() == tosPlaying)
        DrawWave();
}
