// Helpers for tests that play through SDL's disk audio driver, which writes what the device
// plays to a file, paced in real time (or faster with a per-buffer delay of 0 ms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// While alive, SDL audio opened afterwards uses the disk driver writing to File. DelayMs < 0
// keeps the driver's real-time pacing. The previous SDL_AUDIODRIVER, SDL_DISKAUDIOFILE and
// SDL_DISKAUDIODELAY are put back by the destructor.
class DiskAudio {
public:
    explicit DiskAudio(std::filesystem::path File, int DelayMs = -1);
    ~DiskAudio();
    DiskAudio(const DiskAudio &) = delete;
    DiskAudio &operator=(const DiskAudio &) = delete;

    // Everything written to the file so far.
    std::vector<std::uint8_t> Played() const;
    const std::filesystem::path &File() const { return File_; }

private:
    std::filesystem::path File_;
    struct Saved {
        std::string Name;
        bool Had = false;
        std::string Value;
    };
    std::vector<Saved> Saved_;
};

// Index of the first frame (FrameBytes bytes) holding any byte other than Silence, in bytes;
// Data.size() when there is none.
std::size_t FirstSound(const std::vector<std::uint8_t> &Data, std::size_t FrameBytes, std::uint8_t Silence);
// One past the last frame holding a byte other than Silence, in bytes; 0 when there is none.
std::size_t EndOfSound(const std::vector<std::uint8_t> &Data, std::size_t FrameBytes, std::uint8_t Silence);

// A 16-bit stereo test signal that never holds a zero sample: frame i carries two different
// values derived from i, so any shift, loss or repetition of frames shows.
std::vector<std::uint8_t> TestSignal16(std::size_t Frames, std::uint32_t Seed = 1);

} // namespace testsupport
