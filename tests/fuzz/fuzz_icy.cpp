// Hostile ICY metadata blocks: the title parser and the Latin-1-or-UTF-8 conversion must never
// read out of bounds, and whatever they return must be valid UTF-8 taken from the block.
#include "MediaNetReader.h"
#include "MediaTypes.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool ValidUtf8(const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (n < 0 || i + static_cast<size_t>(n) >= s.size() + (n == 0 ? 1 : 0))
            return false;
        for (int k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) >> 6) != 2)
                return false;
        i += static_cast<size_t>(n) + 1;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, size_t Size)
{
    const std::string packet(reinterpret_cast<const char *>(Data), Size);
    std::string title;
    if (ParseStreamTitle(packet, title)) {
        // The title is a stretch of the block.
        if (title.size() > packet.size() || packet.find(title) == std::string::npos)
            std::abort();
    }
    if (!ValidUtf8(Latin1OrUtf8ToUtf8(packet)))
        std::abort();
    return 0;
}
