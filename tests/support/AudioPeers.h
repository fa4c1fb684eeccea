// Test helpers for audio files: test signals, running the peer programs (ffprobe, mpg123,
// ffmpeg) on files our components wrote, and reading MPEG audio frame headers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Interleaved 16-bit stereo or mono PCM: a sine of Hz on the left (and mono) channel and of
// 1.5 × Hz on the right, at half scale.
std::vector<std::int16_t> sinePcm16(unsigned SampleRate, unsigned Channels, std::size_t Frames, double Hz = 440.0);

// Runs a shell command and returns its standard output; ExitCode (when given) gets its status.
std::string runCommand(const std::string &Command, int *ExitCode = nullptr);
// Quotes a path for the shell.
std::string shellQuote(const std::string &Text);

// ffprobe's view of a file: "format.duration", "format.bit_rate", "stream.sample_rate",
// "stream.channels", "stream.codec_name", "stream.bit_rate", "tag.title", "tag.artist",
// ... (tag keys lower-case, from both the format's and the stream's tags). Empty when ffprobe
// cannot read the file.
std::map<std::string, std::string> probe(const std::filesystem::path &File);

// ffprobe's chapters of a file in order: start and end in milliseconds and the title. Empty
// when ffprobe finds none or cannot read the file.
struct ProbedChapter {
    long long StartMs = 0, EndMs = 0;
    std::string Title;
};
std::vector<ProbedChapter> probeChapters(const std::filesystem::path &File);

// Number of sample frames a peer decodes from the file: mpg123 (MP3 only, honours the
// encoder's gapless information) or ffmpeg. -1 when the peer fails.
long long mpg123DecodedFrames(const std::filesystem::path &File, unsigned Channels);
long long ffmpegDecodedFrames(const std::filesystem::path &File, unsigned Channels);

// What ffmpeg decodes from a file of 16-bit PCM with Channels channels: the frame count (-1
// when ffmpeg fails) and, for each of the positions in From, the first frame at or after it
// whose first channel passes 2000 (-1 when none).
struct Decoded {
    long long Frames = -1;
    std::vector<long long> Onsets;
};
Decoded decodeOnsets(const std::filesystem::path &File, unsigned Channels, const std::vector<long long> &From);

// What TagLib's C binding (libtag_c.so.0, loaded here with dlopen) reads from the file's tag:
// "title", "artist", "album", "genre", "year", "track" (numbers as decimal text). Empty when
// TagLib is missing or cannot open the file.
std::map<std::string, std::string> taglibRead(const std::filesystem::path &File);

// The whole file's bytes.
std::vector<std::uint8_t> readFile(const std::filesystem::path &File);

// The first MPEG audio frame header of an MP3 file (after an ID3v2 tag, if any).
struct MpegHeader {
    bool Found = false;
    long Offset = 0;
    unsigned Version = 0;   // 1 = MPEG-1, 2 = MPEG-2, 25 = MPEG-2.5
    bool Crc = false;       // protection bit clear: a CRC follows the header
    unsigned BitrateKbps = 0;
    unsigned SampleRate = 0;
    bool Private = false;
    unsigned Mode = 0;      // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
    bool Copyright = false;
    bool Original = false;
    unsigned Emphasis = 0;
};
MpegHeader firstMpegHeader(const std::vector<std::uint8_t> &Bytes);

} // namespace testsupport
