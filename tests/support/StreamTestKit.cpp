#include "StreamTestKit.h"

#include "AuException.h"
#include "Processes.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace testsupport {

std::vector<std::int16_t> Pull(TAuInput &In, std::size_t Bytes)
{
    std::vector<std::int16_t> out;
    while (out.size() * 2 < Bytes) {
        void *buf = nullptr;
        std::uint32_t n = 4096;
        In.GetData(buf, n);
        if (n == 0)
            break;
        const auto *s = static_cast<const std::int16_t *>(buf);
        out.insert(out.end(), s, s + n / 2);
    }
    return out;
}

double ToneHz(const std::vector<std::int16_t> &Pcm, unsigned Channels, unsigned Rate)
{
    // Rising crossings with a little hysteresis, so coding noise around zero is not counted.
    const std::size_t frames = Pcm.size() / Channels, first = Rate / 2;
    if (frames <= first + Rate / 4)
        return 0;
    std::size_t rises = 0;
    bool low = false;
    for (std::size_t i = first; i < frames; ++i) {
        const int v = Pcm[i * Channels];
        if (v < -200)
            low = true;
        else if (v > 200 && low) {
            low = false;
            ++rises;
        }
    }
    return rises / (static_cast<double>(frames - first) / Rate);
}

std::string OpenError(TWMStreamedIn &In)
{
    try {
        return In.HasAudio() ? "" : "no audio";
    } catch (const EAuException &e) {
        return e.what();
    }
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path &Path)
{
    std::vector<std::uint8_t> data;
    FILE *f = std::fopen(Path.c_str(), "rb");
    if (!f)
        return data;
    std::uint8_t buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return data;
}

std::vector<std::uint8_t> MakeMp3(const TempDir &Dir, double Seconds, const std::string &Name)
{
    const auto path = Dir / Name;
    if (runProgram({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                    "sine=f=440:r=44100:d=" + std::to_string(Seconds), "-ac", "2", "-c:a", "libmp3lame", "-b:a",
                    "128k", path.string()}) != 0) {
        ADD_FAILURE() << "ffmpeg could not make " << path;
        return {};
    }
    return ReadFileBytes(path);
}

} // namespace testsupport
