// Arithmetic of the fast resampler, kept free of components so that it can be checked on its
// own: the recursive low-pass design, one filter pass over a chunk with its history, the
// zero-order hold used for up-sampling and the frame picking used for down-sampling.
//
// All functions are plain and thread-agnostic: they work on caller-owned buffers, allocate
// nothing and keep no state. The resampler calls them on the output's worker thread.
#pragma once

#include <cstdint>

// Number of poles of the resampler's low-pass stages. A library-wide setting, not a property.
inline constexpr int LowPassPoles = 4;

// Entries of filter history kept in front of every per-channel work array: the input side
// holds the last LowPassPoles inputs (coefficients a1..a4 reach back that far), the output
// side the last LowPassPoles outputs (b1..b4).
inline constexpr int LowPassHistory = LowPassPoles;

// Designs a Chebyshev type I low-pass filter by pole pairs and the bilinear transform.
//   Poles        even number of poles, 2..20
//   RipplePercent passband ripple in percent (0 gives a Butterworth response)
//   Cutoff       cutoff frequency as a fraction of the sample rate, 0 < Cutoff < 0.5
//   a            receives a0..a[Poles]   (Poles + 1 values, feed-forward, natural order)
//   b            receives b1..b[Poles]   (Poles values, feedback, natural order)
// The stage computes y[n] = sum a[i]*x[n-i] + sum b[i]*y[n-1-i] (the feedback terms are
// added). The gain at DC is normalised to exactly 1. Computed in double precision.
// Throws std::invalid_argument for arguments outside the ranges above.
void DesignChebyshevLowPass(int Poles, double RipplePercent, double Cutoff, double *a, double *b);

// One low-pass stage over m samples of one channel.
//   X: LowPassHistory history entries followed by m input samples.
//   Y: LowPassHistory history entries; Y[LowPassHistory .. LowPassHistory + m) is written.
//   A: a4, a3, a2, a1, a0 (reversed); B: b4, b3, b2, b1 (reversed).
// Each output is summed in double precision (the terms of older values first, then a0 x[n],
// then b1 y[n-1]) and stored as a single float. All functions below use the same arithmetic,
// so their results agree bit for bit.
void LowPassPass(const float *X, float *Y, const float *A, const float *B, std::uint32_t m);

// One channel's arrays of the resampler's four-pass cascade: X[n] and Y[n] are the input and
// output of pass n, each LowPassHistory history entries followed by room for a chunk.
struct TCascadeArrays {
    float *X[4];
    float *Y[4];
};

// The four passes over m samples of one channel, in one sweep: the result is bit for bit what
// four LowPassPass calls (each pass's output copied behind the next pass's history) followed
// by KeepHistory on every array but Y[3] would leave. Reads X[0]'s m samples; writes Y[3]'s m
// samples behind its history; leaves X[0..3] and Y[0..2] holding just their history for the
// next chunk (their sample parts are not written). Call KeepHistory(Y[3], m) once the output
// has been read. Interleaving the passes sample by sample lets the processor overlap their
// recursions.
void LowPassCascade(const TCascadeArrays &Ch, const float *A, const float *B, std::uint32_t m);
// The same for two channels at once (two lanes of one vector): results identical to two
// LowPassCascade calls.
void LowPassCascade2(const TCascadeArrays &Ch0, const TCascadeArrays &Ch1, const float *A,
                     const float *B, std::uint32_t m);

// Moves the last LowPassHistory entries of Arr[0 .. LowPassHistory + m) to its front, so that
// the array is ready for the next chunk. Safe for any m, including 0.
void KeepHistory(float *Arr, std::uint32_t m);

// Zero-order hold of one channel for up-sampling (ISize < OSize, the chunk sizes in bytes, or
// any two numbers in the same ratio). In holds Frames values spaced InStride floats apart;
// Out receives the held values contiguously. The repetition counter starts at 0 on every
// call, so a chunk of IFrames input frames gives one frame less than OFrames. Returns the
// number of values written (0 when ISize is 0): floor((Frames - 1) * OSize / ISize) + 1, or 0 for no frames.
// Out must hold that many values (never more than ceil(Frames * OSize / ISize)).
std::uint32_t HoldFrames(const float *In, std::uint32_t InStride, std::uint32_t Frames,
                         std::uint32_t ISize, std::uint32_t OSize, float *Out);

// Frame picking of one channel for down-sampling (ISize > OSize). In holds Frames filtered
// values contiguously; the picked ones are written to Out spaced OutStride floats apart. The
// counter starts at 0 on every call (the first frame is always picked). Returns the number of
// values picked: ceil(Frames * OSize / ISize).
std::uint32_t PickFrames(const float *In, std::uint32_t Frames, std::uint32_t ISize,
                         std::uint32_t OSize, float *Out, std::uint32_t OutStride);
