// TForm1: the 50 ms main timer (stall watch, clocks, segment switches), level reports and waits.
#include "Main.h"

#include "AuIndicators.h"
#include "AuSoundOut.h"
#include "LevelMeter.h"
#include "WindowExposure.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QRandomGenerator>
#include <QSlider>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdlib>

namespace {

std::function<std::uint32_t()> &tickSource()
{
    static std::function<std::uint32_t()> source;
    return source;
}

bool isPrerecState(TRecState s)
{
    return s >= rsPrerecStart && s <= rsPrerecTap1;
}

} // namespace

std::uint32_t TForm1::tickNow()
{
    if (tickSource())
        return tickSource()();
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void TForm1::setTickSource(std::function<std::uint32_t()> source)
{
    tickSource() = std::move(source);
}

std::uint32_t TForm1::WaitPumping(std::uint32_t ms)
{
    const std::uint32_t start = tickNow();
    std::uint32_t elapsed = 0;
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        elapsed = tickNow() - start;
        if (elapsed >= ms)
            break;
        // Sleep on the event queue rather than spin: a timer wakes the loop within a
        // millisecond or two, any event at once.
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        wake.start(static_cast<int>(std::min<std::uint32_t>(ms - elapsed, 2)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        elapsed = tickNow() - start;
    } while (elapsed < ms);
    return elapsed;
}

bool TForm1::WaitPumpingUntil(const std::function<bool()> &Done, std::uint32_t TimeoutMs)
{
    const std::uint32_t start = tickNow();
    while (!Done()) {
        if (tickNow() - start >= TimeoutMs)
            return Done();
        WaitPumping(2);
    }
    return true;
}

void TForm1::Timer1Timer()
{
    const std::uint32_t now = tickNow();
    if (RecState == rsClosing && now - StopMark > 60000) {
        // A close that did not finish within a minute ends the program; settings were saved.
        Timer1->stop();
        std::_Exit(0);
    }
    AudioFlowing = IsAudioFlowing(now, LastGainTick);

    if (++StallCounter > 20) {
        StallCounter = 0;
        stallWatch();
    }

    // The logo's dot flashes up about once in 100 ticks and goes within a few.
    if (Panel2->isHidden() && QRandomGenerator::global()->bounded(100) == 99)
        Panel2->show();
    else if (QRandomGenerator::global()->bounded(10) > 5)
        Panel2->hide();

    WebPaneUpkeep();

    const std::uint32_t t = tickNow();
    // The clocks count on always; their texts are drawn only where they can be seen (a window
    // that was never shown keeps them current: nothing is drawn there anyway).
    const bool drawClocks = !TabSheet1->isVisible() || RadioPageSeen->onScreen();
    if (RecState != rsIdle && RecState != rsPlayPaused && RecState != rsRestarting) {
        const QString text = AdvanceClock(PlayClock, t);
        if (drawClocks)
            playtime->setText(text);
    }
    if (RecState == rsPrerecStart || RecState == rsRecording || RecState == rsRecordingPlain) {
        const QString text = AdvanceClock(RecClock, t);
        if (drawClocks)
            Label7->setText(text);
    }

    holdTapFiles();
    QCoreApplication::processEvents();

    if (PrerecRunning && tickNow() - PrerecSwitchTick > PrerecMs) {
        PrerecSwitchTick = tickNow();
        prerecTimer();
    }

    if (tickNow() - TimerCheckTick > 1500) {
        TimerCheckTick = tickNow();
        if (schedulerStep)
            schedulerStep();
    }
}

void TForm1::stallWatch()
{
    switch (StallAction(RecState, tickNow() - LastGainTick, StallRestarts)) {
    case TStallAction::None:
        return;
    case TStallAction::GiveUp:
        giveUpStall();
        return;
    case TStallAction::Unmute:
        DXAudioOut1->SetVolume(Slider->value());
        break;
    case TStallAction::Mute:
        DXAudioOut1->SetVolume(-5000);
        break;
    case TStallAction::MuteAndRestart:
        ++StallRestarts;
        DXAudioOut1->SetVolume(-5000);
        ResumeState = RecState;
        RecState = rsRestarting;
        DXAudioOut1->Stop(false);
        WaitPumpingUntil([this] { return DXAudioOut1->Status() == tosIdle; }, 10000);
        if (cbPreRec->isChecked() && isPrerecState(ResumeState)) {
            stopprerec();
            // The restart below needs this state (stopprerec left the idle state).
            if (RecState != rsClosing)
                RecState = rsRestarting;
        }
        QCoreApplication::processEvents();
        break;
    }
    if (RecState == rsRestarting && DXAudioOut1->Status() == tosIdle) {
        runError_.clear();
        try {
            DXAudioOut1->Run(); // the network input connects again
        } catch (const std::exception &e) {
            runError_ = QString::fromUtf8(e.what());
            report(runError_, ui::Report::Notice);
        }
        RecClock.Zero();
        Label7->setText(QStringLiteral("0:00:00"));
        if (cbPreRec->isChecked() && isPrerecState(ResumeState)) {
            // The ring resumes from its first segment.
            StartPrerec();
            if (!PrerecRunning) {
                RecState = rsPlaying;
                PrerecOnFlow = true;
            }
        } else {
            RecState = ResumeState;
        }
        endis();
    }
}

void TForm1::giveUpStall()
{
    // Stopped as the Receive button stops, then said in words.
    const QString last = runError_.isEmpty() ? connectFailureReason(QString()) : runError_;
    const QString why = QStringLiteral("The station stopped sending and %1 attempts to connect again brought no sound")
                            .arg(StallRestarts) +
                        (last.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + last);
    StallRestarts = 0;
    BitBtn1Click();
    if (RecState == rsIdle)
        showFailure(QStringLiteral("Error: Stream Lost"), why);
}

void TForm1::GainIndicator1GainData(TComponent *Sender)
{
    if (staleEvent(Sender))
        return;
    StallRestarts = 0;
    ProgressBar2->setValue(static_cast<int>(GainHistory[8]));
    for (std::size_t i = 0; i + 1 < GainHistory.size(); ++i)
        GainHistory[i] = GainHistory[i + 1];
    GainHistory[9] = FastGainIndicator1->GainValue();
    LastGainTick = tickNow();
    unsetCursor();
    if (RecState == rsPlaying && PrerecOnFlow) {
        PrerecOnFlow = false;
        StartPrerec();
    }
    if (RecordOnFlow) {
        RecordOnFlow = false;
        RecordButtonClick();
    }
    endis();
}

void TForm1::playtimeDblClick()
{
    playtime->setText(QStringLiteral("0:00:00"));
    PlayClock.Zero();
    PlayClock.BaseTick = tickNow();
}
