// Sample buffer types shared by the audio components.
//
// Integer PCM is interleaved and little-endian: 8-bit unsigned (zero at 128), 16-, 24- and
// 32-bit signed. Converting components work on single-precision floats with full scale
// -1.0 .. +1.0, interleaved like the integer data. Buffers are always owned by the component
// that allocates them; these types only name their element kinds.
#pragma once

#include <cstdint>

using TBuffer8 = std::uint8_t;    // element type of an open-ended byte buffer
using PBuffer8 = std::uint8_t *;
using TBufferSingle = float;      // element type of an open-ended single-float buffer
using PBufferSingle = float *;

static_assert(sizeof(float) == 4, "single floats must be IEEE 754 binary32");
