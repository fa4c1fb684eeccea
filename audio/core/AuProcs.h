// Conversions between integer PCM and single floats, and two channel helpers.
//
// Integer PCM is interleaved little-endian: 8-bit unsigned (zero at 128), 16-, 24- and 32-bit
// signed two's complement (24-bit: three bytes, low byte first). Floats have full scale
// -1.0 .. +1.0. Every routine takes (source, destination, Count) where Count counts single
// values (frames x channels), works only on the caller's buffers, allocates nothing and keeps no
// state, so any thread may call it. Integer buffers are raw bytes of any alignment. Source and
// destination must not overlap. Count 0 does nothing.
//
// Integer to float divides by 2^(n-1); float to integer multiplies by 2^(n-1) - 1, so an
// integer -> float -> integer round trip shrinks values by one part in 2^(n-1) (a 16-bit 32767
// comes back as 32766). The results are exact and independent of the build: the arithmetic is
// done in single or double precision as noted, rounding under the default rounding mode.
#pragma once

#include "AuTypes.h"

#include <cstddef>

// 8-bit: v = b * 0.0078125 - 1.0 (0 -> -1.0, 128 -> 0.0, 255 -> 0.9921875).
void ConvertToFloat8(const void *Src, PBufferSingle Dst, std::size_t Count);
// 16-bit: v = s * 2^-15.
void ConvertToFloat16(const void *Src, PBufferSingle Dst, std::size_t Count);
// 24-bit: v = s * 2^-23 (exact).
void ConvertToFloat24(const void *Src, PBufferSingle Dst, std::size_t Count);
// 32-bit: v = s * 2^-31, s rounded to single precision (ties to even).
void ConvertToFloat32(const void *Src, PBufferSingle Dst, std::size_t Count);

// Float to integer. The 16-, 24- and 32-bit routines first clip the SOURCE in place: every
// value whose magnitude is at least 1.0 (judged by its biased exponent >= 127, which also
// catches infinities and NaN) is replaced by +1.0 if it is >= 1.0 and by -1.0 otherwise (so NaN
// becomes -1.0); values inside (-1, 1) are untouched.
//
// 8-bit (no clipping pass, source untouched): v >= 1.0 -> 255; v > -1.0 -> floor((v + 1) * 128)
// evaluated exactly; else (also NaN) 0.
void ConvertFromFloat8(const float *Src, void *Dst, std::size_t Count);
// 16-bit: round to nearest, ties to even, of v * 32767 computed in single precision.
void ConvertFromFloat16(PBufferSingle Src, void *Dst, std::size_t Count);
// 24-bit: floor(v * 8388607) computed in single precision; stored low byte first.
void ConvertFromFloat24(PBufferSingle Src, void *Dst, std::size_t Count);
// 32-bit: round to nearest, ties to even, of v * 2147483647 computed in double precision.
void ConvertFromFloat32(PBufferSingle Src, void *Dst, std::size_t Count);

// The routine for BytesPerSample 1, 2, 3 or 4; false (nothing converted) for any other width.
bool ConvertToFloat(unsigned BytesPerSample, const void *Src, PBufferSingle Dst,
                    std::size_t Count);
bool ConvertFromFloat(unsigned BytesPerSample, PBufferSingle Src, void *Dst, std::size_t Count);

// In place: Buf holds 2 * Frames interleaved stereo values; afterwards its first Frames values
// are the mono values (L + R) / 2 in single precision. Works in rising order.
void StereoToMono(PBufferSingle Buf, std::size_t Frames);
// In place: Buf holds Frames mono values and has room for 2 * Frames; afterwards it holds each
// value twice (a, b -> a, a, b, b). Works in falling order so no unread value is overwritten.
void MonoToStereo(PBufferSingle Buf, std::size_t Frames);
