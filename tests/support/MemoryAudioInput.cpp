#include "MemoryAudioInput.h"

#include <algorithm>
#include <chrono>
#include <thread>

TMemoryAudioInput::TMemoryAudioInput(std::vector<std::uint8_t> Data, std::uint32_t Bits,
                                     std::uint32_t Chan, std::uint32_t Rate, TComponent *AOwner)
    : TAuInput(AOwner), FData(std::move(Data)), FBits(Bits), FChan(Chan), FRate(Rate)
{
    FSeekable = true;
}

void TMemoryAudioInput::OpenSource()
{
    ++Opens;
    Busy = true;
    FPos = 0;
    FStalled = false;
    FPosition = 0;
    FSize = static_cast<std::int64_t>(FData.size());
}

void TMemoryAudioInput::CloseSource()
{
    ++Closes;
    Busy = false;
}

void TMemoryAudioInput::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (!FStalled && FStallAt >= 0 && static_cast<std::int64_t>(FPos) >= FStallAt) {
        FStalled = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(FStallMs));
    }
    std::size_t N = std::min<std::size_t>(Bytes, FData.size() - FPos);
    if (FBlockBytes)
        N = std::min<std::size_t>(N, FBlockBytes);
    Buffer = FData.data() + FPos;
    Bytes = static_cast<std::uint32_t>(N);
    FPos += N;
    FPosition += static_cast<std::int64_t>(N);
}

void TMemoryAudioInput::_Jump(std::int32_t Offs)
{
    std::lock_guard<std::recursive_mutex> L(DataCS);
    ++Jumps;
    const std::size_t Frame = FChan * FBits / 8;
    const double P = std::clamp(static_cast<double>(FPos) / static_cast<double>(FData.size()) + Offs / 1000.0, 0.0, 1.0);
    FPos = static_cast<std::size_t>(P * static_cast<double>(FData.size() / Frame)) * Frame;
    FPosition = static_cast<std::int64_t>(FPos);
}
