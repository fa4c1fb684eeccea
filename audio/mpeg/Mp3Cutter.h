// Cutting a stretch of samples out of an MP3 stream without decoding it, exact to the sample
// for a gapless decoder.
//
// Sample positions are those a gapless decoder plays from the source (0 .. TotalSamples()).
// Two things cross a cut: the bit reservoir (a frame's main data may start in earlier frames)
// and the filterbank's history (after a restart the output is exact only about 1 056 samples
// into the first frame). The clip therefore keeps the frames from one granule plus the
// decoder delay before Begin up to the frame that covers End, puts a silent frame carrying
// the missing reservoir bytes in front when the kept frames reach back into dropped ones, and
// starts with an Info/Xing frame whose delay and padding make a gapless decoder play exactly
// [Begin, End). Clips cut one after the other (one ends where the next begins) decode to the
// source's samples without gap or overlap.
//
// Pure functions; any thread; the caller owns the source bytes and keeps them alive during
// the call.
#pragma once

#include "Mp3Frames.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct Mp3Clip {
    std::vector<std::uint8_t> Audio; // the Info/Xing frame and the audio frames: the whole
                                     // MP3 stream of the clip, without ID3 tags
    std::int64_t Samples = 0;        // samples per channel a gapless decoder plays (End - Begin)
    int Delay = 0, Padding = 0;      // as written into the LAME extension
    std::size_t FirstFrame = 0, LastFrame = 0; // the source's frames kept (Index.Frames indices)
    bool ReservoirFrame = false;     // a silent frame stands before the first kept frame
    int ReservoirBytes = 0;          // bytes of main data that frame carries for the kept ones
    int AudioFrames = 0;             // frames after the Info/Xing frame
};

// The frame range and timing of a cut, without building its bytes.
struct Mp3CutPlan {
    std::size_t FirstFrame = 0, LastFrame = 0;
    bool ReservoirFrame = false;
    int ReservoirBytes = 0;
    int Delay = 0, Padding = 0;
};

// Plans the cut of [Begin, End) from the indexed source. Throws EAuException when the stretch
// is empty or lies outside the file.
Mp3CutPlan PlanMp3Cut(const Mp3FrameIndex &Index, std::int64_t Begin, std::int64_t End);

// Cuts [Begin, End) out of the source [Data, Data + Size) that Index describes. Throws
// EAuException (message for the user) as PlanMp3Cut does.
Mp3Clip CutMp3(const std::uint8_t *Data, std::size_t Size, const Mp3FrameIndex &Index, std::int64_t Begin,
               std::int64_t End);
