// The encoder stream interface on the real LAME library; peers (mpg123, ffprobe, ffmpeg) read
// the files it produces.
#include "lame.h"

#include "AudioPeers.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

using namespace testsupport;

namespace {

BE_CONFIG baseConfig(unsigned SampleRate, int Mode, unsigned Kbps)
{
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.dwConfig = BE_CONFIG_LAME;
    c.dwStructVersion = 1;
    c.dwStructSize = sizeof(BE_CONFIG);
    c.dwSampleRate = SampleRate;
    c.nMode = Mode;
    c.dwBitrate = Kbps;
    c.nVbrMethod = VBR_METHOD_NEW;
    return c;
}

// Encodes the PCM chunk by chunk as the MP3 output does and writes the file; on success the
// stream is closed (and a VBR header, if reserved, written).
void encodeFile(const BE_CONFIG &Config, const std::vector<std::int16_t> &Pcm, const std::filesystem::path &File)
{
    std::uint32_t samples = 0, outSize = 0;
    HBE_STREAM stream = 0;
    ASSERT_EQ(beInitStream(&Config, &samples, &outSize, &stream), BE_ERR_SUCCESSFUL);
    ASSERT_GT(samples, 0u);
    std::vector<std::uint8_t> out(outSize);
    std::ofstream f(File, std::ios::binary);
    for (std::size_t pos = 0; pos < Pcm.size(); pos += samples) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(samples, Pcm.size() - pos));
        std::uint32_t produced = 0;
        ASSERT_EQ(beEncodeChunk(stream, n, Pcm.data() + pos, out.data(), &produced), BE_ERR_SUCCESSFUL);
        ASSERT_LE(produced, outSize);
        f.write(reinterpret_cast<const char *>(out.data()), produced);
    }
    std::uint32_t produced = 0;
    ASSERT_EQ(beDeinitStream(stream, out.data(), &produced), BE_ERR_SUCCESSFUL);
    f.write(reinterpret_cast<const char *>(out.data()), produced);
    f.close();
    ASSERT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);
    if (Config.bWriteVBRHeader) {
        ASSERT_EQ(beWriteVBRHeader(File.c_str()), BE_ERR_SUCCESSFUL);
    }
}

} // namespace

TEST(LameConfig, RecordKeepsThePublishedVersion1Layout)
{
    EXPECT_EQ(sizeof(BE_CONFIG), 331u);
    EXPECT_EQ(offsetof(BE_CONFIG, dwStructSize), 8u);
    EXPECT_EQ(offsetof(BE_CONFIG, dwSampleRate), 12u);
    EXPECT_EQ(offsetof(BE_CONFIG, nMode), 20u);
    EXPECT_EQ(offsetof(BE_CONFIG, dwBitrate), 24u);
    EXPECT_EQ(offsetof(BE_CONFIG, bPrivate), 48u);
    EXPECT_EQ(offsetof(BE_CONFIG, bWriteVBRHeader), 64u);
    EXPECT_EQ(offsetof(BE_CONFIG, dwVbrAbr_bps), 76u);
    EXPECT_EQ(offsetof(BE_CONFIG, bStrictIso), 88u);
    EXPECT_EQ(offsetof(BE_CONFIG, nQuality), 92u);
    EXPECT_EQ(offsetof(BE_CONFIG, btReserved), 94u);
}

TEST(LameStream, RefusesBadRecordsAndHandles)
{
    std::uint32_t samples = 0, outSize = 0;
    HBE_STREAM stream = 0;
    BE_CONFIG c = baseConfig(44100, BE_MP3_MODE_STEREO, 128);
    c.dwConfig = 0;
    EXPECT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_INVALID_FORMAT);
    c = baseConfig(44100, BE_MP3_MODE_STEREO, 128);
    c.dwStructSize = 330;
    EXPECT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_INVALID_FORMAT);
    c = baseConfig(0, BE_MP3_MODE_STEREO, 128);
    EXPECT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_INVALID_FORMAT_PARAMETERS);
    c = baseConfig(44100, 7, 128);
    EXPECT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_INVALID_FORMAT_PARAMETERS);
    c = baseConfig(44100, BE_MP3_MODE_STEREO, 128);
    c.nPreset = 5;
    EXPECT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_INVALID_FORMAT_PARAMETERS);

    std::uint8_t out[16];
    std::uint32_t produced = 7;
    EXPECT_EQ(beEncodeChunk(12345678, 0, nullptr, out, &produced), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beDeinitStream(12345678, out, &produced), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beCloseStream(12345678), BE_ERR_INVALID_HANDLE);

    // More values than one chunk would overrun the caller's output buffer: refused.
    c = baseConfig(44100, BE_MP3_MODE_STEREO, 128);
    ASSERT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(samples, 1152u * 2);
    std::vector<std::int16_t> pcm(samples + 2);
    std::vector<std::uint8_t> buf(outSize);
    EXPECT_EQ(beEncodeChunk(stream, samples + 2, pcm.data(), buf.data(), &produced), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(beEncodeChunk(stream, 3, pcm.data(), buf.data(), &produced), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(beCloseStream(stream), BE_ERR_INVALID_HANDLE);
    EXPECT_FALSE(beErrorText(BE_ERR_INVALID_HANDLE).empty());
}

TEST(LameStream, HeaderBitsFollowTheRecord)
{
    TempDir dir;
    const auto pcm = sinePcm16(44100, 2, 44100);
    struct Case {
        int Mode;
        unsigned Kbps;
        bool Crc, Copyright, Original, Private;
        unsigned ExpectMode;
    } cases[] = {
        {BE_MP3_MODE_STEREO, 192, false, false, true, false, 0},
        {BE_MP3_MODE_JSTEREO, 128, true, true, false, true, 1},
        {BE_MP3_MODE_STEREO, 320, true, false, false, false, 0},
        {BE_MP3_MODE_DUALCHANNEL, 160, false, false, true, false, 2},
    };
    for (const Case &k : cases) {
        BE_CONFIG c = baseConfig(44100, k.Mode, k.Kbps);
        c.bCRC = k.Crc ? -1 : 0;
        c.bCopyright = k.Copyright ? -1 : 0;
        c.bOriginal = k.Original ? -1 : 0;
        c.bPrivate = k.Private ? -1 : 0;
        const auto file = dir / ("h" + std::to_string(k.Kbps) + ".mp3");
        encodeFile(c, pcm, file);
        const MpegHeader h = firstMpegHeader(readFile(file));
        ASSERT_TRUE(h.Found);
        SCOPED_TRACE(k.Kbps);
        EXPECT_EQ(h.BitrateKbps, k.Kbps);
        EXPECT_EQ(h.SampleRate, 44100u);
        EXPECT_EQ(h.Mode, k.ExpectMode);
        EXPECT_EQ(h.Crc, k.Crc);
        EXPECT_EQ(h.Copyright, k.Copyright);
        EXPECT_EQ(h.Original, k.Original);
        EXPECT_EQ(h.Private, k.Private);
    }
}

TEST(LameStream, LowBitRatesKeepTheInputRate)
{
    // Without a resample rate the encoder keeps the input's rate, also where LAME would
    // otherwise lower it for the bit rate; a rate MP3 does not have is still encoded.
    TempDir dir;
    struct Case {
        unsigned Rate, Channels, Kbps, ExpectRate;
    } cases[] = {{44100, 2, 96, 44100}, {48000, 2, 64, 48000}, {32000, 1, 32, 32000}, {96000, 2, 192, 48000}};
    for (const Case &k : cases) {
        SCOPED_TRACE(std::to_string(k.Rate) + " Hz " + std::to_string(k.Kbps) + " kbit/s");
        const auto file = dir / ("r" + std::to_string(k.Rate) + ".mp3");
        encodeFile(baseConfig(k.Rate, k.Channels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_STEREO, k.Kbps),
                   sinePcm16(k.Rate, k.Channels, k.Rate), file);
        const MpegHeader h = firstMpegHeader(readFile(file));
        ASSERT_TRUE(h.Found);
        EXPECT_EQ(h.SampleRate, k.ExpectRate);
        EXPECT_EQ(h.BitrateKbps, k.Kbps);
    }
}

TEST(LameStream, CbrFileDecodesWithItsLengthRateAndChannels)
{
    REQUIRE_PEERS("ffprobe", "mpg123");
    TempDir dir;
    const std::size_t frames = 44100 * 3 + 100;
    const auto file = dir / "cbr.mp3";
    encodeFile(baseConfig(44100, BE_MP3_MODE_STEREO, 192), sinePcm16(44100, 2, frames), file);
    const auto p = probe(file);
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.at("stream.codec_name"), "mp3");
    EXPECT_EQ(p.at("stream.sample_rate"), "44100");
    EXPECT_EQ(p.at("stream.channels"), "2");
    EXPECT_EQ(p.at("stream.bit_rate"), "192000");
    // Without a VBR header the decoder gets the encoder's delay and padding too: at most the
    // input plus two frames of 1152 and the delay of 576 + 529.
    const long long decoded = mpg123DecodedFrames(file, 2);
    EXPECT_GE(decoded, static_cast<long long>(frames));
    EXPECT_LE(decoded, static_cast<long long>(frames) + 2 * 1152 + 1105);
}

TEST(LameStream, VbrHeaderGivesPeersTheExactLength)
{
    REQUIRE_PEERS("mpg123", "ffmpeg");
    TempDir dir;
    const std::size_t frames = 48000 * 2 + 333;
    BE_CONFIG c = baseConfig(48000, BE_MP3_MODE_JSTEREO, 0);
    c.bEnableVBR = -1;
    c.bWriteVBRHeader = -1;
    c.nVBRQuality = 2;
    const auto file = dir / "vbr.mp3";
    encodeFile(c, sinePcm16(48000, 2, frames), file);
    EXPECT_EQ(mpg123DecodedFrames(file, 2), static_cast<long long>(frames));
    EXPECT_EQ(ffmpegDecodedFrames(file, 2), static_cast<long long>(frames));
    const auto bytes = readFile(file);
    const MpegHeader h = firstMpegHeader(bytes);
    ASSERT_TRUE(h.Found);
    // The first frame holds the header ("Xing" for VBR) within its side-information offset.
    const std::string first(bytes.begin() + h.Offset, bytes.begin() + h.Offset + 64);
    EXPECT_NE(first.find("Xing"), std::string::npos);
}

TEST(LameStream, AbrRateIsTakenInKilobitsOrBits)
{
    REQUIRE_PEERS("ffprobe");
    TempDir dir;
    const auto pcm = sinePcm16(44100, 2, 44100 * 4);
    for (std::uint32_t rate : {96u, 96000u}) {
        BE_CONFIG c = baseConfig(44100, BE_MP3_MODE_JSTEREO, 0);
        c.nVbrMethod = VBR_METHOD_ABR;
        c.dwVbrAbr_bps = rate;
        c.bWriteVBRHeader = -1;
        const auto file = dir / ("abr" + std::to_string(rate) + ".mp3");
        encodeFile(c, pcm, file);
        const double kbps = std::stod(probe(file).at("format.bit_rate")) / 1000.0;
        SCOPED_TRACE(rate);
        EXPECT_GT(kbps, 96 * 0.75);
        EXPECT_LT(kbps, 96 * 1.25);
    }
}

TEST(LameStream, MonoStreamTakesOneChannel)
{
    REQUIRE_PEERS("mpg123");
    TempDir dir;
    std::uint32_t samples = 0, outSize = 0;
    HBE_STREAM stream = 0;
    BE_CONFIG c = baseConfig(22050, BE_MP3_MODE_MONO, 64);
    ASSERT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(samples, 576u); // MPEG-2 frame, one channel
    ASSERT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);

    const std::size_t frames = 22050 * 2;
    const auto file = dir / "mono.mp3";
    encodeFile(c, sinePcm16(22050, 1, frames), file);
    const MpegHeader h = firstMpegHeader(readFile(file));
    ASSERT_TRUE(h.Found);
    EXPECT_EQ(h.Mode, 3u);
    EXPECT_EQ(h.Version, 2u);
    EXPECT_EQ(h.BitrateKbps, 64u);
    const long long decoded = mpg123DecodedFrames(file, 1);
    EXPECT_GE(decoded, static_cast<long long>(frames));
    EXPECT_LE(decoded, static_cast<long long>(frames) + 2 * 576 + 1105);
}

TEST(LameStream, VbrHeaderIsNotWrittenOverSomethingElse)
{
    TempDir dir;
    const auto mp3 = dir / "v.mp3";
    BE_CONFIG c = baseConfig(44100, BE_MP3_MODE_STEREO, 0);
    c.bEnableVBR = -1;
    c.bWriteVBRHeader = -1;
    const auto pcm = sinePcm16(44100, 2, 4410);
    std::uint32_t samples = 0, outSize = 0, produced = 0;
    HBE_STREAM stream = 0;
    ASSERT_EQ(beInitStream(&c, &samples, &outSize, &stream), BE_ERR_SUCCESSFUL);
    std::vector<std::uint8_t> out(outSize);
    ASSERT_EQ(beEncodeChunk(stream, samples, pcm.data(), out.data(), &produced), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(beDeinitStream(stream, out.data(), &produced), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);

    const auto text = dir / "notes.txt";
    const std::string content(4000, 'x');
    std::ofstream(text) << content;
    EXPECT_EQ(beWriteVBRHeader(text.c_str()), BE_ERR_INVALID_FORMAT);
    const auto after = readFile(text);
    EXPECT_EQ(std::string(after.begin(), after.end()), content);
    // The kept header was used up by that attempt.
    EXPECT_EQ(beWriteVBRHeader(text.c_str()), BE_ERR_NO_VBR_HEADER);
}

// Runs in a child process: the test process may have loaded the library already.
[[noreturn]] void loadMissingLibrary()
{
    setenv("FONOLUX_LAME_LIBRARY", "/nonexistent/libmp3lame.so.0", 1);
    std::string error;
    const bool loaded = LameLoadLibrary(&error);
    BE_CONFIG c = baseConfig(44100, BE_MP3_MODE_STEREO, 128);
    std::uint32_t s = 0, o = 0;
    HBE_STREAM h = 0;
    const BE_ERR r = beInitStream(&c, &s, &o, &h);
    std::fprintf(stderr, "%s|%s", error.c_str(), beErrorText(r).c_str());
    std::exit(!loaded && r == BE_ERR_LIBRARY_NOT_LOADED ? 0 : 1);
}

TEST(LameLibraryDeathTest, MissingLibraryIsReportedNotFatal)
{
    EXPECT_EXIT(loadMissingLibrary(), ::testing::ExitedWithCode(0), "nonexistent.*library could not be loaded");
}
