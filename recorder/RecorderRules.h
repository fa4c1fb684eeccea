// The recorder's pure rules: the control layout of each state, the stall watch's decision, the
// clocks' carry and text, which tap files make up a recording, and the automatic save's
// numbering. Plain functions without a window, so they can be checked on their own; TForm1
// applies what they decide.
#pragma once

#include "ButtonPictures.h"
#include "RecState.h"

#include <QString>

#include <cstdint>
#include <functional>

// ---- layout of the controls per state ----

// What the layout does to a control: leave it, or set it enabled / disabled.
enum class TSwitch : std::int8_t { Keep, On, Off };

struct TStateLayout {
    bool Applies = false;       // false: the state changes nothing (5, 7, 8, 12, 13)
    TSwitch btnStop = TSwitch::Keep;
    TSwitch BitBtn1 = TSwitch::Keep, BitBtn2 = TSwitch::Keep;
    TSwitch RecordButton = TSwitch::Keep, PauseRecordButton = TSwitch::Keep;
    // The station boxes, the pre-recording controls, the Set Up page's folder controls and the
    // Add Station page: enabled only while idle.
    TSwitch IdleControls = TSwitch::Keep;
    TSwitch SetUpPage = TSwitch::Keep;
    // Button pictures; bpKeep = unchanged.
    TButtonPicture BitBtn1Picture = bpKeep, BitBtn2Picture = bpKeep, RecordPicture = bpKeep,
                   PauseRecordPicture = bpKeep;
    QString Status;             // the status text; empty = unchanged
};

// The layout of state s. The Set Up page, disabled by the paused states, opens again in rsIdle.
TStateLayout StateLayout(TRecState s);

// ---- stall watch ----

// A level report less than this old means audio flows.
constexpr std::uint32_t AudioFlowMs = 700;
// Without level reports for longer than this the output is restarted.
constexpr std::uint32_t StallRestartMs = 30000;
// Restarts in a row that brought no level report before the stall watch gives up.
constexpr std::uint32_t StallRestartLimit = 3;

// GiveUp: receiving is stopped and the user told why.
enum class TStallAction { None, Unmute, Mute, MuteAndRestart, GiveUp };

bool IsAudioFlowing(std::uint32_t Now, std::uint32_t LastGainTick);
// What the stall watch does in state s, MsSinceGain after the last level report, after
// FailedRestarts restarts that brought no level report. Recording, idle, paused playback and
// closing are never touched; a paused recording is restarted but never given up (stopping
// would end the recording).
TStallAction StallAction(TRecState s, std::uint32_t MsSinceGain, std::uint32_t FailedRestarts = 0);

// ---- clocks ----

struct TClock {
    std::uint32_t Hours = 0, Minutes = 0, Seconds = 0, Milliseconds = 0;
    std::uint32_t BaseTick = 0;
    void Zero() { Hours = Minutes = Seconds = Milliseconds = 0; }
};

// At 1000 ms or more: milliseconds := 0, base := Now, one second more, carried into minutes
// and hours. Adds at most one second per call.
void ClockCarry(std::uint32_t &Milliseconds, std::uint32_t &Seconds, std::uint32_t &Minutes,
                std::uint32_t &BaseTick, std::uint32_t &Hours, std::uint32_t Now);
// "h:mm:ss"; hours go on counting past 23 (24:00:01, 100:00:00).
QString ClockText(std::uint32_t Hours, std::uint32_t Minutes, std::uint32_t Seconds);
// One clock tick: milliseconds := Now - base, carry, and the text to show.
QString AdvanceClock(TClock &Clock, std::uint32_t Now);

// ---- recording files ----

struct TRecordingFiles {
    QString Older;   // empty: the recording is one file
    QString Current;
};
// The tap files of a recording that began in RecStartState (1, 2 or 3), given the files the
// two taps wrote last.
TRecordingFiles RecordingFiles(int RecStartState, const QString &Tap1File, const QString &Tap2File);

// ---- automatic saves ----

// Folder + "autosave" + n + "." + Extension with the smallest n for which Exists is false.
QString AutoSaveName(const QString &Folder, const std::function<bool(const QString &)> &Exists,
                     const QString &Extension = QStringLiteral("mp3"));
