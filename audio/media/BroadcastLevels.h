// Decoding a stretch of a recording kept as broadcast (MP3 or ADTS AAC), to find the quiet
// between two songs near a title change.
//
// Any thread; pure apart from FFmpeg's decoder, which it owns for the call.
#pragma once

#include "AuPacketRing.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct TBroadcastPcm {
    int SampleRate = 0;
    std::vector<float> Mono; // the channels' mean, -1 .. 1
};

// Decodes frames [First, First + Count) of Stream (indexed by Frames) to mono: Mono holds
// Count * Frames.SamplesPerFrame samples, sample i being the stream's sample
// First * SamplesPerFrame + i. Decoding starts a few frames before First, so the bit reservoir
// and the decoder's history are in place, and drops what they give. A frame the decoder
// refuses gives silence of its length, so positions never shift. Count is cut to the frames
// there are. Throws EAuException for a format other than MP3 and AAC.
TBroadcastPcm DecodeBroadcastStretch(TBroadcastFormat Format, const std::uint8_t *Stream, std::size_t Size,
                                     const TBroadcastFrames &Frames, std::size_t First, std::size_t Count);
