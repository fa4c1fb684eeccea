// The recorder's state. The numbers are fixed: 1 to 3 are the pre-recording states and every
// value below 4 means that no recording runs; 5, 7 and 8 are unused.
#pragma once

#include <cstdint>

enum TRecState : std::uint16_t {
    rsPlaying = 0,
    rsPrerecStart = 1,
    rsPrerecTap2 = 2,
    rsPrerecTap1 = 3,
    rsRecording = 4,
    rsRecordingPlain = 6,
    rsIdle = 9,
    rsPlayPaused = 10,
    rsRecordPaused = 11,
    rsRestarting = 12,
    rsClosing = 13,
};

// True in the states that receive a station: playing, pre-recording, recording and a paused
// recording (not paused playback, idle, restarting or closing).
constexpr bool IsReceivingState(TRecState s)
{
    return s == rsPlaying || (s >= rsPrerecStart && s <= rsRecording) || s == rsRecordingPlain || s == rsRecordPaused;
}
