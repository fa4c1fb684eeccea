// Playback in the trimmer: the stretch set on the decoder, play, pause, stop, volume and speed,
// the end of a playback and the 50 ms timer that follows it in the picture.
#include "TrimMain.h"

#include "TrimClip.h"
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
    TMP3In *in = MP3In1.get();
    const auto pump = [] { QCoreApplication::processEvents(); };
    const bool start = WriteUntilReadBack(
        s.Start, [in](std::int64_t v) { in->SetStartSample(v); }, [in] { return in->StartSample(); }, pump);
    const bool end = WriteUntilReadBack(
        s.End, [in](std::int64_t v) { in->SetEndSample(v); }, [in] { return in->EndSample(); },
        Pump ? std::function<void()>(pump) : std::function<void()>());
    return start && end;
}

void TForm1::Button3Click()
{
    // Also refused when a click reaches here while the stretch of an earlier click is being set.
    if (!InputMS || SavingClip || DXAudioOut1->Status() != tosIdle || !MP3In1->Valid())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    SetStretch(false);
    if (DXAudioOut1->Status() != tosIdle || SavingClip) {
        QApplication::restoreOverrideCursor();
        return;
    }
    SetButtons(tmPlaying);
    try {
        DXAudioOut1->Run();
    } catch (const EAuException &e) {
        QApplication::restoreOverrideCursor();
        SetButtons(tmFileOpen);
        ui::report(this, QString::fromUtf8(e.what()));
        return;
    }
    svolumeChange();
    QApplication::restoreOverrideCursor();
}

void TForm1::btnPauseClick()
{
    if (btnPause->isChecked()) {
        DXAudioOut1->Pause();
        SetButtons(tmPaused);
    } else {
        DXAudioOut1->Resume();
        SetButtons(tmPlaying);
    }
}

void TForm1::Button4Click()
{
    DXAudioOut1->Stop(true);
    while (DXAudioOut1->Status() != tosIdle)
        WaitPumping(10);
    PlayStart = SelStart;
    PlayEnd = SelEnd;
    SetButtons(tmFileOpen);
}

void TForm1::svolumeChange()
{
    DXAudioOut1->SetVolume(svolume->value());
}

void TForm1::sSpeedChange()
{
    DXAudioOut1->SetSpeedFactor(SpeedFactorOf(sSpeed->value()));
}

void TForm1::btnrstspdClick()
{
    sSpeed->setValue(100);
    DXAudioOut1->SetSpeedFactor(SpeedFactorOf(100));
}

void TForm1::Progress(TComponent *)
{
    if (DXAudioOut1->EventRun() != DXAudioOut1->RunNumber())
        return;
    DrawWave();
}

void TForm1::DXAudioOut1Done(TComponent *)
{
    // The end of a run that a new playback has already replaced must not end that one.
    if (DXAudioOut1->EventRun() != DXAudioOut1->RunNumber() || DXAudioOut1->Status() != tosIdle)
        return;
    PlayStart = SelStart;
    PlayEnd = SelEnd;
    SetButtons(tmFileOpen);
    DrawWave();
}

void TForm1::IWTimer1Timer()
{
    if (DXAudioOut1->Status() == tosPlaying)
        DrawWave();
}
