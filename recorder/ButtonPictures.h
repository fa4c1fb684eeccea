// The recorder's button picture list.
#pragma once

#include <QIcon>

#include <cstdint>

class QAbstractButton;

// The pictures by their place in the list: start, record, stop, stop recording, pause, pause
// recording, then the disabled looks of start, stop, pause and record. bpKeep stands for "no
// change" where a picture is chosen by a rule.
enum TButtonPicture : std::int8_t {
    bpKeep = -1,
    bpStart = 0,
    bpRecord = 1,
    bpStop = 2,
    bpStopRecording = 3,
    bpPause = 4,
    bpPauseRecording = 5,
    bpStartDisabled = 6,
    bpStopDisabled = 7,
    bpPauseDisabled = 8,
    bpRecordDisabled = 9,
};

// The picture's icon; a null icon for bpKeep.
QIcon buttonPicture(TButtonPicture picture);

// Shows picture on button and remembers its number in the button's "picture" property.
void setButtonPicture(QAbstractButton *button, TButtonPicture picture);
