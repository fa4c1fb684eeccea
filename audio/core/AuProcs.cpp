#include "AuProcs.h"

#include <bit>
#include <cstdint>
#include <cstring>

// The loops load and store integer samples through memcpy: the byte buffers may be at any
// alignment and are not objects of the integer type, and the compiler turns each copy into a
// plain (vectorisable) unaligned access.
//
// Rounding is done with the "magic number" addition: adding 1.5 * 2^23 (float) or 1.5 * 2^52
// (double) to a value of smaller magnitude than 2^22 (2^51) leaves a sum whose unit in the
// last place is 1, so the hardware's round-to-nearest-even rounds the value to an integer;
// subtracting the constant again is exact. Unlike lrint/nearbyint this vectorises with plain
// SSE2. Value-changing optimisations (-ffast-math) must stay off for this file.

namespace {

constexpr float RoundMagicF = 12582912.0f;          // 1.5 * 2^23
constexpr double RoundMagicD = 6755399441055744.0;  // 1.5 * 2^52

inline float RoundEvenF(float X) // |X| < 2^22
{
    return (X + RoundMagicF) - RoundMagicF;
}

inline double RoundEvenD(double X) // |X| < 2^51
{
    return (X + RoundMagicD) - RoundMagicD;
}

// Floor for |X| < 2^31: truncate, then step down when truncation went up (negative fractions).
inline std::int32_t FloorToInt(float X)
{
    std::int32_t T = static_cast<std::int32_t>(X);
    return T - (static_cast<float>(T) > X ? 1 : 0);
}

// Magnitude at least 1.0, infinity or NaN: the biased exponent is 127 or more.
inline float Clip(float V)
{
    // Written as selects without branches so the loops using it vectorise.
    const std::uint32_t Exponent = (std::bit_cast<std::uint32_t>(V) >> 23) & 0xFF;
    const float Limit = V >= 1.0f ? 1.0f : -1.0f;
    return Exponent >= 127 ? Limit : V;
}

} // namespace

void ConvertToFloat8(const void *Src, PBufferSingle Dst, std::size_t Count)
{
    const auto *__restrict S = static_cast<const std::uint8_t *>(Src);
    float *__restrict D = Dst;
    for (std::size_t I = 0; I < Count; ++I)
        D[I] = static_cast<float>(S[I]) * 0.0078125f - 1.0f;
}

void ConvertToFloat16(const void *Src, PBufferSingle Dst, std::size_t Count)
{
    const auto *__restrict S = static_cast<const std::uint8_t *>(Src);
    float *__restrict D = Dst;
    for (std::size_t I = 0; I < Count; ++I) {
        std::int16_t V;
        std::memcpy(&V, S + 2 * I, 2);
        D[I] = static_cast<float>(V) * 3.0517578125e-05f; // 2^-15
    }
}

void ConvertToFloat24(const void *Src, PBufferSingle Dst, std::size_t Count)
{
    const auto *__restrict S = static_cast<const std::uint8_t *>(Src);
    float *__restrict D = Dst;
    for (std::size_t I = 0; I < Count; ++I) {
        const std::uint8_t *P = S + 3 * I;
        // Bytes 1-2 carry the sign as a 16-bit value; byte 0 adds the low bits unsigned.
        const auto High = static_cast<std::int16_t>(P[1] | (P[2] << 8));
        const std::int32_t V = High * 256 + P[0];
        D[I] = static_cast<float>(V) * 1.1920928955078125e-07f; // 2^-23, exact for 24 bits
    }
}

void ConvertToFloat32(const void *Src, PBufferSingle Dst, std::size_t Count)
{
    const auto *__restrict S = static_cast<const std::uint8_t *>(Src);
    float *__restrict D = Dst;
    for (std::size_t I = 0; I < Count; ++I) {
        std::int32_t V;
        std::memcpy(&V, S + 4 * I, 4);
        // The conversion rounds to 24 bits; scaling by a power of two is then exact.
        D[I] = static_cast<float>(V) * 4.656612873077393e-10f; // 2^-31
    }
}

void ConvertFromFloat8(const float *Src, void *Dst, std::size_t Count)
{
    const float *__restrict S = Src;
    auto *__restrict D = static_cast<std::uint8_t *>(Dst);
    for (std::size_t I = 0; I < Count; ++I) {
        const float V = S[I];
        // floor((V + 1) * 128) = 128 + floor(V * 128), and V * 128 is exact in single
        // precision, so no rounding can push a value just below 1.0 up to 256. The clamp
        // keeps the float-to-integer conversion in range for large values and NaN.
        float Inside = V >= 1.0f ? 0.0f : V;
        Inside = Inside > -1.0f ? Inside : 0.0f;
        const std::int32_t B = 128 + FloorToInt(Inside * 128.0f);
        D[I] = static_cast<std::uint8_t>(V >= 1.0f ? 255 : (V > -1.0f ? B : 0));
    }
}

void ConvertFromFloat16(PBufferSingle Src, void *Dst, std::size_t Count)
{
    float *__restrict S = Src;
    auto *__restrict D = static_cast<std::uint8_t *>(Dst);
    for (std::size_t I = 0; I < Count; ++I) {
        const float V = Clip(S[I]);
        S[I] = V;
        const auto Out = static_cast<std::int16_t>(RoundEvenF(V * 32767.0f));
        std::memcpy(D + 2 * I, &Out, 2);
    }
}

void ConvertFromFloat24(PBufferSingle Src, void *Dst, std::size_t Count)
{
    float *__restrict S = Src;
    auto *__restrict D = static_cast<std::uint8_t *>(Dst);
    for (std::size_t I = 0; I < Count; ++I) {
        const float V = Clip(S[I]);
        S[I] = V;
        const std::int32_t Out = FloorToInt(V * 8388607.0f);
        std::uint8_t *P = D + 3 * I;
        P[0] = static_cast<std::uint8_t>(Out);
        P[1] = static_cast<std::uint8_t>(Out >> 8);
        P[2] = static_cast<std::uint8_t>(Out >> 16);
    }
}

void ConvertFromFloat32(PBufferSingle Src, void *Dst, std::size_t Count)
{
    float *__restrict S = Src;
    auto *__restrict D = static_cast<std::uint8_t *>(Dst);
    for (std::size_t I = 0; I < Count; ++I) {
        const float V = Clip(S[I]);
        S[I] = V;
        const auto Out = static_cast<std::int32_t>(RoundEvenD(static_cast<double>(V) * 2147483647.0));
        std::memcpy(D + 4 * I, &Out, 4);
    }
}

bool ConvertToFloat(unsigned BytesPerSample, const void *Src, PBufferSingle Dst,
                    std::size_t Count)
{
    switch (BytesPerSample) {
    case 1: ConvertToFloat8(Src, Dst, Count); return true;
    case 2: ConvertToFloat16(Src, Dst, Count); return true;
    case 3: ConvertToFloat24(Src, Dst, Count); return true;
    case 4: ConvertToFloat32(Src, Dst, Count); return true;
    default: return false;
    }
}

bool ConvertFromFloat(unsigned BytesPerSample, PBufferSingle Src, void *Dst, std::size_t Count)
{
    switch (BytesPerSample) {
    case 1: ConvertFromFloat8(Src, Dst, Count); return true;
    case 2: ConvertFromFloat16(Src, Dst, Count); return true;
    case 3: ConvertFromFloat24(Src, Dst, Count); return true;
    case 4: ConvertFromFloat32(Src, Dst, Count); return true;
    default: return false;
    }
}

void StereoToMono(PBufferSingle Buf, std::size_t Frames)
{
    // Rising order: out[i] lands at or before in[2i], which has been read already.
    for (std::size_t I = 0; I < Frames; ++I)
        Buf[I] = (Buf[2 * I] + Buf[2 * I + 1]) * 0.5f;
}

void MonoToStereo(PBufferSingle Buf, std::size_t Frames)
{
    for (std::size_t I = Frames; I-- > 0;) {
        const float V = Buf[I];
        Buf[2 * I + 1] = V;
        Buf[2 * I] = V;
    }
}
