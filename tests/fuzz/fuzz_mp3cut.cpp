// Hostile MP3 files through the frame index and the cutter: the first bytes of the input pick
// the stretch, the rest is the file. Every index must stay in bounds, every refusal must be an
// EAuException, and every clip must index again to the length it claims.
#include "AuException.h"
#include "Mp3Cutter.h"
#include "Mp3Frames.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size)
{
    if (Size < 4)
        return 0;
    const std::uint32_t pick = Data[0] | (Data[1] << 8) | (Data[2] << 16) | (static_cast<std::uint32_t>(Data[3]) << 24);
    Data += 4;
    Size -= 4;
    try {
        const Mp3FrameIndex ix = IndexMp3(Data, Size);
        for (const Mp3Frame &f : ix.Frames)
            if (f.Offset + static_cast<std::size_t>(f.Size) > Size)
                std::abort();
        const std::int64_t total = ix.TotalSamples();
        if (total <= 0)
            return 0;
        const std::int64_t begin = static_cast<std::int64_t>(pick & 0xFFFF) % total;
        const std::int64_t end = begin + 1 + static_cast<std::int64_t>(pick >> 16) % (total - begin);
        const Mp3Clip clip = CutMp3(Data, Size, ix, begin, end);
        const Mp3FrameIndex back = IndexMp3(clip.Audio.data(), clip.Audio.size());
        if (back.TotalSamples() != end - begin)
            std::abort();
    } catch (const EAuException &) {
    }
    return 0;
}
