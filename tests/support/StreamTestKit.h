// Helpers for tests of the network stream input: pulling decoded audio, measuring a tone,
// reading the error an opening raised, and making MP3 files with the ffmpeg command.
#pragma once

#include "AuClasses.h"
#include "AuMedia.h"
#include "TestSupport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Pulls at least Bytes bytes of 16-bit PCM from an opened input (Init done); stops at the end.
std::vector<std::int16_t> Pull(TAuInput &In, std::size_t Bytes);

// The tone's frequency measured by rising zero crossings of the first channel of interleaved
// PCM, skipping the first half second (an encoder's start-up); 0 when there is too little.
double ToneHz(const std::vector<std::int16_t> &Pcm, unsigned Channels, unsigned Rate);

// The message opening raised; "no audio" when it opened a stream without audio, "" when it
// opened one with audio.
std::string OpenError(TWMStreamedIn &In);

// Writes Dir/Name, a 128 kbit/s stereo MP3 of a 440 Hz tone at 44100 Hz lasting Seconds, and
// returns its bytes (empty when ffmpeg failed).
std::vector<std::uint8_t> MakeMp3(const TempDir &Dir, double Seconds, const std::string &Name = "s.mp3");

// The whole content of a file (empty when it cannot be read).
std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path &Path);

} // namespace testsupport
