#include "PcmSource.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

TPcmSource::TPcmSource(TComponent *AOwner, std::vector<std::uint8_t> Data, std::uint32_t Bits, std::uint32_t Chan,
                       std::uint32_t Rate, std::uint32_t MaxBlock)
    : TAuInput(AOwner), FData(std::move(Data)), FBits(Bits), FChan(Chan), FRate(Rate), FMaxBlock(MaxBlock)
{
}

TPcmSource::TPcmSource(TComponent *AOwner, const std::vector<std::int16_t> &Samples, std::uint32_t Chan,
                       std::uint32_t Rate, std::uint32_t MaxBlock)
    : TPcmSource(AOwner, std::vector<std::uint8_t>(Samples.size() * 2), 16, Chan, Rate, MaxBlock)
{
    if (!Samples.empty())
        std::memcpy(FData.data(), Samples.data(), FData.size());
}

void TPcmSource::OpenSource()
{
    ++Opens;
    FOffset = 0;
    FPosition = 0;
    FSize = static_cast<std::int64_t>(FData.size());
    Busy = true;
}

void TPcmSource::CloseSource()
{
    ++Closes;
    Busy = false;
}

void TPcmSource::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    const std::size_t n = std::min<std::size_t>({Bytes, FMaxBlock, FData.size() - FOffset});
    Buffer = n ? FData.data() + FOffset : nullptr;
    Bytes = static_cast<std::uint32_t>(n);
    FOffset += n;
}

} // namespace testsupport
