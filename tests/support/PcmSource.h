// A pipeline source over PCM bytes held in memory, for tests and benchmarks of outputs and
// taps that need real audio rather than a byte pattern.
#pragma once

#include "AuClasses.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace testsupport {

// Hands out Data in blocks of at most MaxBlock bytes (fewer when the caller asks for fewer);
// Size is the data's length. Counts its openings and closings. A second run starts again at
// the beginning.
class TPcmSource : public TAuInput {
public:
    TPcmSource(TComponent *AOwner, std::vector<std::uint8_t> Data, std::uint32_t Bits, std::uint32_t Chan,
               std::uint32_t Rate, std::uint32_t MaxBlock = 4096);
    // 16-bit samples.
    TPcmSource(TComponent *AOwner, const std::vector<std::int16_t> &Samples, std::uint32_t Chan, std::uint32_t Rate,
               std::uint32_t MaxBlock = 4096);

    std::uint32_t BitsPerSample() override { return FBits; }
    std::uint32_t Channels() override { return FChan; }
    std::uint32_t SampleRate() override { return FRate; }

    std::atomic<int> Opens{0}, Closes{0};

protected:
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;

private:
    std::vector<std::uint8_t> FData;
    std::uint32_t FBits, FChan, FRate, FMaxBlock;
    std::size_t FOffset = 0;
};

} // namespace testsupport
