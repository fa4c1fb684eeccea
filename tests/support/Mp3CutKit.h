// Checking MP3 clips against real decoders: FFmpeg's and mpg123's decodes of a source, and a
// cut of it compared with them sample for sample. Header-only; for the cutter's tests.
#pragma once

#include "Mp3Cutter.h"
#include "Mp3Frames.h"

#include "AudioPeers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

struct Source {
    fs::path File;
    unsigned Channels = 2;
    std::vector<std::uint8_t> Bytes;
    Mp3FrameIndex Index;
    std::vector<float> Ffmpeg;      // FFmpeg's decode, interleaved
    std::vector<std::int16_t> Mpg;  // mpg123's decode, interleaved
    // Samples at the start that decoders make up: a capture's first frame lacks its reservoir
    // bytes, and each decoder conceals that in its own way, for that frame and the filterbank
    // history it leaves.
    std::int64_t MadeUpHead = 0;
};

// FFmpeg's decode. A clip of fewer than four frames probes as another format, so clips are
// named MP3 (Mp3 set).
inline std::vector<float> ffmpegFloats(const fs::path &File, bool Mp3 = false)
{
    int rc = 0;
    const std::string out =
        runCommand(std::string("ffmpeg -v error ") + (Mp3 ? "-f mp3 " : "") + "-i " + shellQuote(File.string()) +
                       " -f f32le -c:a pcm_f32le - 2>/dev/null",
                   &rc);
    std::vector<float> v(out.size() / sizeof(float));
    std::memcpy(v.data(), out.data(), v.size() * sizeof(float));
    return rc == 0 ? v : std::vector<float>();
}

inline std::vector<std::int16_t> mpg123Pcm(const fs::path &File)
{
    int rc = 0;
    const std::string out = runCommand("mpg123 -q -s " + shellQuote(File.string()) + " 2>/dev/null", &rc);
    std::vector<std::int16_t> v(out.size() / 2);
    std::memcpy(v.data(), out.data(), v.size() * 2);
    return v;
}

inline void writeBytes(const fs::path &File, const std::vector<std::uint8_t> &Bytes)
{
    std::ofstream f(File, std::ios::binary);
    f.write(reinterpret_cast<const char *>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

// Music-like test content: a gliding tone, bursts of noise and a beating tone, so that frames
// differ in size and the bit reservoir is used.
inline fs::path makeWav(const fs::path &Dir, const std::string &Name, unsigned Rate, unsigned Channels, double Seconds)
{
    const fs::path wav = Dir / (Name + ".wav");
    const std::string left = "0.3*sin(2*PI*(300+200*sin(2*PI*0.5*t))*t)+0.15*(random(0)*2-1)*gt(sin(2*PI*3*t)\\,0)";
    const std::string right = "0.3*sin(2*PI*660*t)*sin(2*PI*0.7*t)+0.1*(random(1)*2-1)";
    const std::string expr = Channels == 1 ? left : left + "|" + right;
    runCommand("ffmpeg -v error -y -f lavfi -i \"aevalsrc=" + expr + ":s=" + std::to_string(Rate) +
               ":d=" + std::to_string(Seconds) + "\" " + shellQuote(wav.string()));
    return wav;
}

// True when FFmpeg 5.1 cannot play the clip exactly: the decoded stretch lies inside one frame
// that is not the clip's first, so the end trim's packet data resets the start skip that
// carries over from the earlier frames, and FFmpeg plays that frame from its start.
inline bool ffmpegLosesTheSkip(const Mp3Clip &C, int Spf)
{
    const std::int64_t begin = C.Delay + Mp3DecoderDelay;
    const std::int64_t end = static_cast<std::int64_t>(C.AudioFrames) * Spf + Mp3DecoderDelay - C.Padding;
    return begin > Spf && end % Spf != 0 && begin / Spf == end / Spf;
}

// Cuts [B, E) of the source, decodes the clip with both decoders and compares with the
// source's decodes. Returns the clip's FFmpeg decode.
inline std::vector<float> checkCut(const Source &S, std::int64_t B, std::int64_t E, const std::string &What)
{
    SCOPED_TRACE(What + ": [" + std::to_string(B) + ", " + std::to_string(E) + ")");
    const Mp3Clip clip = CutMp3(S.Bytes.data(), S.Bytes.size(), S.Index, B, E);
    const fs::path file = S.File.parent_path() / "clip.mp3";
    writeBytes(file, clip.Audio);
    const std::vector<float> ff = ffmpegFloats(file, true);
    const std::size_t ch = S.Channels;
    const std::size_t from = static_cast<std::size_t>(std::max<std::int64_t>(0, S.MadeUpHead - B)) * ch;
    if (ffmpegLosesTheSkip(clip, S.Index.SamplesPerFrame)) {
        // mpg123 is the oracle then; what FFmpeg plays is the whole frame's end.
        const std::vector<std::int16_t> mpg = mpg123Pcm(file);
        EXPECT_EQ(static_cast<std::int64_t>(mpg.size() / ch), E - B) << "mpg123's length";
        for (std::size_t i = from; i < mpg.size() && i < static_cast<std::size_t>((E - B)) * ch; ++i)
            EXPECT_LE(std::abs(mpg[i] - S.Mpg[static_cast<std::size_t>(B) * ch + i]), 1) << "at " << i / ch;
        return std::vector<float>(S.Ffmpeg.begin() + B * static_cast<std::int64_t>(ch),
                                  S.Ffmpeg.begin() + E * static_cast<std::int64_t>(ch));
    }
    EXPECT_EQ(static_cast<std::int64_t>(ff.size() / ch), E - B) << "FFmpeg's length";
    std::size_t wrong = 0, firstWrong = 0;
    for (std::size_t i = from; i < ff.size() && i < static_cast<std::size_t>((E - B)) * ch; ++i)
        if (ff[i] != S.Ffmpeg[static_cast<std::size_t>(B) * ch + i] && wrong++ == 0)
            firstWrong = i / ch;
    EXPECT_EQ(wrong, 0u) << "FFmpeg's samples differ, first at clip sample " << firstWrong;

    const std::vector<std::int16_t> mpg = mpg123Pcm(file);
    EXPECT_EQ(static_cast<std::int64_t>(mpg.size() / ch), E - B) << "mpg123's length";
    int worst = 0;
    for (std::size_t i = from; i < mpg.size() && i < static_cast<std::size_t>((E - B)) * ch; ++i)
        worst = std::max(worst, std::abs(mpg[i] - S.Mpg[static_cast<std::size_t>(B) * ch + i]));
    EXPECT_LE(worst, 1) << "mpg123's samples differ by more than one step";
    return ff;
}


} // namespace testsupport
