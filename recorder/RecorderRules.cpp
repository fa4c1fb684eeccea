// The recorder's pure rules: layout table, stall decision, clocks, recording files, numbering.
#include "RecorderRules.h"

TStateLayout StateLayout(TRecState s)
{
    using S = TSwitch;
    TStateLayout l;
    switch (s) {
    case rsPlaying:
    case rsPrerecStart:
    case rsPrerecTap2:
    case rsPrerecTap1:
        l = {true, S::On, S::On, S::On, S::On, S::Off, S::Off, S::Keep, bpStop, bpPause, bpRecord, bpPauseDisabled,
             s != rsPlaying ? QStringLiteral("Pre-Recording") : QStringLiteral("Playing")};
        break;
    case rsRecording:
    case rsRecordingPlain:
        l = {true,   S::On,           S::Off,          S::Off,           S::On, S::On, S::Off, S::Keep,
             bpStop, bpPauseDisabled, bpStopRecording, bpPauseRecording, QStringLiteral("Recording")};
        break;
    case rsIdle:
        l = {true,    S::On,           S::On,            S::Off,          S::Off, S::Off, S::On, S::On,
             bpStart, bpPauseDisabled, bpRecordDisabled, bpPauseDisabled, QStringLiteral("Idle")};
        break;
    case rsPlayPaused:
        l = {true,            S::On,   S::Off,           S::On,           S::Off, S::Off, S::Off, S::Off,
             bpStartDisabled, bpStart, bpRecordDisabled, bpPauseDisabled, QStringLiteral("Play Paused")};
        break;
    case rsRecordPaused:
        l = {true,            S::On,           S::Off,           S::Off,  S::Off, S::On, S::Off, S::Off,
             bpStartDisabled, bpPauseDisabled, bpRecordDisabled, bpRecord, QStringLiteral("Recording Paused")};
        break;
    default:
        break;
    }
    return l;
}

bool IsAudioFlowing(std::uint32_t Now, std::uint32_t LastGainTick)
{
    return Now - LastGainTick < AudioFlowMs;
}

TStallAction StallAction(TRecState s, std::uint32_t MsSinceGain, std::uint32_t FailedRestarts)
{
    switch (s) {
    case rsRecording:
    case rsRecordingPlain:
    case rsIdle:
    case rsPlayPaused:
    case rsClosing:
        return TStallAction::None;
    default:
        break;
    }
    if (MsSinceGain < AudioFlowMs)
        return TStallAction::Unmute;
    // A restart already under way is not started again; it finishes in the restart step.
    if (MsSinceGain > StallRestartMs && s != rsRestarting)
        return FailedRestarts >= StallRestartLimit && s != rsRecordPaused ? TStallAction::GiveUp
                                                                          : TStallAction::MuteAndRestart;
    return TStallAction::Mute;
}

void ClockCarry(std::uint32_t &Milliseconds, std::uint32_t &Seconds, std::uint32_t &Minutes,
                std::uint32_t &BaseTick, std::uint32_t &Hours, std::uint32_t Now)
{
    if (Milliseconds >= 1000) {
        Milliseconds = 0;
        BaseTick = Now;
        ++Seconds;
    }
    if (Seconds == 60) {
        Seconds = 0;
        ++Minutes;
    }
    if (Minutes == 60) {
        ++Hours;
        Minutes = 0;
    }
}

QString ClockText(std::uint32_t Hours, std::uint32_t Minutes, std::uint32_t Seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(Hours)
        .arg(Minutes, 2, 10, QLatin1Char('0'))
        .arg(Seconds, 2, 10, QLatin1Char('0'));
}

QString AdvanceClock(TClock &Clock, std::uint32_t Now)
{
    Clock.Milliseconds = Now - Clock.BaseTick;
    ClockCarry(Clock.Milliseconds, Clock.Seconds, Clock.Minutes, Clock.BaseTick, Clock.Hours, Now);
    return ClockText(Clock.Hours, Clock.Minutes, Clock.Seconds);
}

TRecordingFiles RecordingFiles(int RecStartState, const QString &Tap1File, const QString &Tap2File)
{
    switch (RecStartState) {
    case 2:
        return {Tap1File, Tap2File};
    case 3:
        return {Tap2File, Tap1File};
    default:
        return {QString(), Tap1File};
    }
}

QString AutoSaveName(const QString &Folder, const std::function<bool(const QString &)> &Exists,
                     const QString &Extension)
{
    for (unsigned n = 0;; ++n) {
        const QString name = Folder + QStringLiteral("autosave") + QString::number(n) + QLatin1Char('.') + Extension;
        if (!Exists(name))
            return name;
    }
}
