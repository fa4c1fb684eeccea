#include "DiskAudio.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace testsupport {

DiskAudio::DiskAudio(std::filesystem::path File, int DelayMs) : File_(std::move(File))
{
    const std::string Delay = DelayMs < 0 ? std::string() : std::to_string(DelayMs);
    const std::pair<const char *, std::string> Vars[] = {
        {"SDL_AUDIODRIVER", "disk"}, {"SDL_DISKAUDIOFILE", File_.string()}, {"SDL_DISKAUDIODELAY", Delay}};
    for (const auto &[Name, Value] : Vars) {
        Saved S;
        S.Name = Name;
        if (const char *Old = std::getenv(Name)) {
            S.Had = true;
            S.Value = Old;
        }
        Saved_.push_back(S);
        if (Value.empty())
            unsetenv(Name);
        else
            setenv(Name, Value.c_str(), 1);
    }
}

DiskAudio::~DiskAudio()
{
    for (const Saved &S : Saved_) {
        if (S.Had)
            setenv(S.Name.c_str(), S.Value.c_str(), 1);
        else
            unsetenv(S.Name.c_str());
    }
}

std::vector<std::uint8_t> DiskAudio::Played() const
{
    std::ifstream In(File_, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

static bool SilentFrame(const std::uint8_t *F, std::size_t FrameBytes, std::uint8_t Silence)
{
    for (std::size_t i = 0; i < FrameBytes; ++i)
        if (F[i] != Silence)
            return false;
    return true;
}

std::size_t FirstSound(const std::vector<std::uint8_t> &Data, std::size_t FrameBytes, std::uint8_t Silence)
{
    for (std::size_t Pos = 0; Pos + FrameBytes <= Data.size(); Pos += FrameBytes)
        if (!SilentFrame(Data.data() + Pos, FrameBytes, Silence))
            return Pos;
    return Data.size();
}

std::size_t EndOfSound(const std::vector<std::uint8_t> &Data, std::size_t FrameBytes, std::uint8_t Silence)
{
    std::size_t Pos = Data.size() / FrameBytes * FrameBytes;
    while (Pos >= FrameBytes) {
        if (!SilentFrame(Data.data() + Pos - FrameBytes, FrameBytes, Silence))
            return Pos;
        Pos -= FrameBytes;
    }
    return 0;
}

std::vector<std::uint8_t> TestSignal16(std::size_t Frames, std::uint32_t Seed)
{
    std::vector<std::uint8_t> Out(Frames * 4);
    std::uint32_t X = Seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < Frames; ++i) {
        X = X * 1664525u + 1013904223u;
        // Nonzero in both channels: the low byte of each sample is odd.
        const auto L = static_cast<std::int16_t>(((X >> 16) & 0x7FFE) - 0x4000 + 1);
        const auto R = static_cast<std::int16_t>(((X >> 1) & 0x7FFE) - 0x4000 + 1);
        std::memcpy(&Out[i * 4], &L, 2);
        std::memcpy(&Out[i * 4 + 2], &R, 2);
    }
    return Out;
}

} // namespace testsupport
