// The audio tests' peers: ffprobe, ffmpeg and mpg123 run on files, and their answers read.
#include "AudioPeers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <dlfcn.h>
#include <sys/wait.h>

namespace testsupport {

std::vector<std::int16_t> sinePcm16(unsigned SampleRate, unsigned Channels, std::size_t Frames, double Hz)
{
    std::vector<std::int16_t> out(Frames * Channels);
    const double pi = 3.14159265358979323846;
    for (std::size_t i = 0; i < Frames; ++i)
        for (unsigned c = 0; c < Channels; ++c) {
            const double f = Hz * (c == 0 ? 1.0 : 1.5);
            out[i * Channels + c] = static_cast<std::int16_t>(std::lround(16000.0 * std::sin(2 * pi * f * i / SampleRate)));
        }
    return out;
}

std::string runCommand(const std::string &Command, int *ExitCode)
{
    std::string out;
    FILE *p = popen(Command.c_str(), "r");
    if (!p) {
        if (ExitCode)
            *ExitCode = -1;
        return out;
    }
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    const int status = pclose(p);
    if (ExitCode)
        *ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string shellQuote(const std::string &Text)
{
    std::string q = "'";
    for (char c : Text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

namespace {

// Calls Entry(key, value) for each "key=value" line of ffprobe's flat output, the value's
// quotes taken off.
template <class F>
void forEachFlatEntry(const std::string &Out, F &&Entry)
{
    std::size_t pos = 0;
    while (pos < Out.size()) {
        std::size_t end = Out.find('\n', pos);
        if (end == std::string::npos)
            end = Out.size();
        const std::string line = Out.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        Entry(line.substr(0, eq), value);
    }
}

} // namespace

std::map<std::string, std::string> probe(const std::filesystem::path &File)
{
    std::map<std::string, std::string> result;
    int rc = 0;
    const std::string out = runCommand("ffprobe -v error -show_format -show_streams -of flat " +
                                           shellQuote(File.string()) + " 2>/dev/null",
                                       &rc);
    if (rc != 0)
        return result;
    forEachFlatEntry(out, [&](const std::string &key, const std::string &value) {
        std::string name;
        if (key.rfind("format.tags.", 0) == 0)
            name = "tag." + key.substr(12);
        else if (key.rfind("format.", 0) == 0)
            name = key;
        else if (key.rfind("streams.stream.0.tags.", 0) == 0)
            name = "tag." + key.substr(22);
        else if (key.rfind("streams.stream.0.", 0) == 0)
            name = "stream." + key.substr(17);
        else
            return;
        for (char &c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        result.emplace(name, value); // the format's tags win over the stream's
    });
    return result;
}

std::vector<ProbedChapter> probeChapters(const std::filesystem::path &File)
{
    std::vector<ProbedChapter> chapters;
    int rc = 0;
    const std::string out =
        runCommand("ffprobe -v error -show_chapters -of flat " + shellQuote(File.string()) + " 2>/dev/null", &rc);
    if (rc != 0)
        return chapters;
    forEachFlatEntry(out, [&](const std::string &name, const std::string &value) {
        // chapters.chapter.<k>.<key>
        const std::string prefix = "chapters.chapter.";
        if (name.rfind(prefix, 0) != 0)
            return;
        const std::size_t dot = name.find('.', prefix.size());
        const std::size_t k = std::stoul(name.substr(prefix.size(), dot - prefix.size()));
        const std::string key = name.substr(dot + 1);
        if (chapters.size() <= k)
            chapters.resize(k + 1);
        if (key == "start_time")
            chapters[k].StartMs = std::llround(std::stod(value) * 1000);
        else if (key == "end_time")
            chapters[k].EndMs = std::llround(std::stod(value) * 1000);
        else if (key == "tags.title")
            chapters[k].Title = value;
    });
    return chapters;
}

static long long countedBytes(const std::string &Command)
{
    int rc = 0;
    const std::string out = runCommand(Command, &rc);
    if (rc != 0)
        return -1;
    try {
        return std::stoll(out);
    } catch (...) {
        return -1;
    }
}

long long mpg123DecodedFrames(const std::filesystem::path &File, unsigned Channels)
{
    const long long bytes = countedBytes("mpg123 -q -s " + shellQuote(File.string()) + " 2>/dev/null | wc -c");
    return bytes < 0 ? -1 : bytes / (2 * Channels);
}

long long ffmpegDecodedFrames(const std::filesystem::path &File, unsigned Channels)
{
    const long long bytes = countedBytes("ffmpeg -v error -i " + shellQuote(File.string()) +
                                         " -f s16le -acodec pcm_s16le - 2>/dev/null | wc -c");
    return bytes < 0 ? -1 : bytes / (2 * Channels);
}

Decoded decodeOnsets(const std::filesystem::path &File, unsigned Channels, const std::vector<long long> &From)
{
    Decoded d;
    int rc = 0;
    const std::string raw =
        runCommand("ffmpeg -v error -i " + shellQuote(File.string()) + " -f s16le -acodec pcm_s16le -", &rc);
    if (rc != 0)
        return d;
    const auto *s = reinterpret_cast<const std::int16_t *>(raw.data());
    d.Frames = static_cast<long long>(raw.size() / (2 * Channels));
    for (long long from : From) {
        long long onset = -1;
        for (long long i = std::max(0LL, from); i < d.Frames && onset < 0; ++i)
            if (std::abs(s[i * Channels]) > 2000)
                onset = i;
        d.Onsets.push_back(onset);
    }
    return d;
}

std::map<std::string, std::string> taglibRead(const std::filesystem::path &File)
{
    std::map<std::string, std::string> result;
    void *h = dlopen("libtag_c.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return result;
    using FileNew = void *(*)(const char *);
    using FileTag = void *(*)(const void *);
    using FileFree = void (*)(void *);
    using TagText = char *(*)(const void *);
    using TagNumber = unsigned (*)(const void *);
    using FreeStrings = void (*)();
    auto fileNew = reinterpret_cast<FileNew>(dlsym(h, "taglib_file_new"));
    auto fileTag = reinterpret_cast<FileTag>(dlsym(h, "taglib_file_tag"));
    auto fileFree = reinterpret_cast<FileFree>(dlsym(h, "taglib_file_free"));
    auto freeStrings = reinterpret_cast<FreeStrings>(dlsym(h, "taglib_tag_free_strings"));
    const std::pair<const char *, const char *> texts[] = {{"title", "taglib_tag_title"},
                                                           {"artist", "taglib_tag_artist"},
                                                           {"album", "taglib_tag_album"},
                                                           {"genre", "taglib_tag_genre"}};
    const std::pair<const char *, const char *> numbers[] = {{"year", "taglib_tag_year"},
                                                             {"track", "taglib_tag_track"}};
    if (fileNew && fileTag && fileFree && freeStrings) {
        if (void *file = fileNew(File.c_str())) {
            if (void *tag = fileTag(file)) {
                for (const auto &[key, fn] : texts)
                    if (auto f = reinterpret_cast<TagText>(dlsym(h, fn)))
                        result[key] = f(tag);
                for (const auto &[key, fn] : numbers)
                    if (auto f = reinterpret_cast<TagNumber>(dlsym(h, fn)))
                        result[key] = std::to_string(f(tag));
                freeStrings();
            }
            fileFree(file);
        }
    }
    dlclose(h);
    return result;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path &File)
{
    std::ifstream in(File, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

MpegHeader firstMpegHeader(const std::vector<std::uint8_t> &Bytes)
{
    MpegHeader h;
    std::size_t pos = 0;
    if (Bytes.size() >= 10 && Bytes[0] == 'I' && Bytes[1] == 'D' && Bytes[2] == '3')
        pos = 10 + ((Bytes[6] & 0x7F) << 21 | (Bytes[7] & 0x7F) << 14 | (Bytes[8] & 0x7F) << 7 | (Bytes[9] & 0x7F));
    static const unsigned v1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const unsigned v2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static const unsigned rates[3] = {44100, 48000, 32000};
    for (; pos + 4 <= Bytes.size(); ++pos) {
        const std::uint8_t b1 = Bytes[pos + 1], b2 = Bytes[pos + 2], b3 = Bytes[pos + 3];
        if (Bytes[pos] != 0xFF || (b1 & 0xE0) != 0xE0)
            continue;
        const unsigned ver = (b1 >> 3) & 3, layer = (b1 >> 1) & 3, br = b2 >> 4, sr = (b2 >> 2) & 3;
        if (ver == 1 || layer != 1 || br == 15 || sr == 3)
            continue;
        h.Found = true;
        h.Offset = static_cast<long>(pos);
        h.Version = ver == 3 ? 1 : ver == 2 ? 2 : 25;
        h.Crc = (b1 & 1) == 0;
        h.BitrateKbps = h.Version == 1 ? v1[br] : v2[br];
        h.SampleRate = rates[sr] / (h.Version == 1 ? 1 : h.Version == 2 ? 2 : 4);
        h.Private = b2 & 1;
        h.Mode = b3 >> 6;
        h.Copyright = (b3 >> 3) & 1;
        h.Original = (b3 >> 2) & 1;
        h.Emphasis = b3 & 3;
        break;
    }
    return h;
}

} // namespace testsupport
