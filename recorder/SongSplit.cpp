// Song boundaries of a broadcast recording: the quiet near each title change, the learned
// offset, and the songs' file names.
#include "SongSplit.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

TQuietStretch QuietestStretch(const std::vector<float> &Mono, int SampleRate, int MinMs, std::int64_t Prefer)
{
    TQuietStretch best;
    const std::size_t step = SampleRate > 0 ? static_cast<std::size_t>(SampleRate) / 100 : 0;
    const std::size_t need = static_cast<std::size_t>((std::max(MinMs, 10) + 9) / 10);
    if (step == 0 || Mono.size() / step < need)
        return best;
    std::vector<double> power(Mono.size() / step);
    for (std::size_t b = 0; b < power.size(); ++b) {
        double sum = 0;
        for (std::size_t i = b * step; i < (b + 1) * step; ++i)
            sum += static_cast<double>(Mono[i]) * Mono[i];
        power[b] = sum / static_cast<double>(step);
    }
    // sums[b]: the power of the window starting at step b.
    std::vector<double> sums(power.size() - need + 1);
    double window = 0;
    for (std::size_t b = 0; b < need; ++b)
        window += power[b];
    sums[0] = window;
    for (std::size_t b = need; b < power.size(); ++b) {
        window += power[b] - power[b - need];
        sums[b - need + 1] = window;
    }
    const double least = *std::min_element(sums.begin(), sums.end());
    const double near = std::max(2 * least, 1e-9 * static_cast<double>(need));
    std::size_t first = 0;
    std::int64_t bestDistance = -1;
    for (std::size_t b = 0; b < sums.size(); ++b) {
        if (sums[b] > near)
            continue;
        const auto centre = static_cast<std::int64_t>((b * step) + (need * step) / 2);
        const std::int64_t distance = Prefer < 0 ? static_cast<std::int64_t>(b) : std::llabs(centre - Prefer);
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            first = b;
        }
    }
    // Steps as quiet as the window (twice its power, or below -90 dBFS) belong to the same
    // pause: the boundary then goes to the pause's middle, not to its first 300 ms.
    const double mean = sums[first] / static_cast<double>(need);
    const double quiet = std::max(2 * mean, 1e-9);
    std::size_t begin = first, end = first + need;
    while (begin > 0 && power[begin - 1] <= quiet)
        --begin;
    while (end < power.size() && power[end] <= quiet)
        ++end;
    best.Begin = static_cast<std::int64_t>(begin * step);
    best.End = static_cast<std::int64_t>(end * step);
    best.Power = mean;
    return best;
}

void TSongOffset::Add(int Ms)
{
    FMs.push_back(std::clamp(Ms, -LimitMs, LimitMs));
    if (FMs.size() > static_cast<std::size_t>(Kept))
        FMs.erase(FMs.begin());
}

int TSongOffset::ExpectedMs() const
{
    if (FMs.empty())
        return 0;
    std::vector<int> sorted = FMs;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

std::string TSongOffset::Text() const
{
    std::string out;
    for (int ms : FMs) {
        if (!out.empty())
            out += ',';
        out += std::to_string(ms);
    }
    return out;
}

TSongOffset TSongOffset::FromText(const std::string &Text)
{
    TSongOffset o;
    std::size_t pos = 0;
    while (pos <= Text.size()) {
        std::size_t comma = Text.find(',', pos);
        if (comma == std::string::npos)
            comma = Text.size();
        const std::string item = Text.substr(pos, comma - pos);
        char *end = nullptr;
        errno = 0;
        const long v = std::strtol(item.c_str(), &end, 10);
        if (!item.empty() && end && *end == '\0' && errno == 0 && v >= -100000 && v <= 100000)
            o.Add(static_cast<int>(v));
        pos = comma + 1;
    }
    return o;
}

namespace {

// The boundary near Change: the middle of the quietest stretch within the search's reach of
// the expected change, never at or before After.
std::int64_t refine(const TSongSplitInput &In, std::int64_t Change, std::int64_t After)
{
    const std::int64_t spf = In.Frames.SamplesPerFrame;
    const std::int64_t rate = In.Frames.SampleRate;
    const std::int64_t total = In.Frames.Samples();
    const std::int64_t centre = Change + In.OffsetMs * rate / 1000;
    const std::int64_t reach = In.SearchMs * rate / 1000;
    const std::int64_t shortest = After > 0 ? In.ShortestSongMs * rate / 1000 : spf;
    const std::int64_t lo = std::max({centre - reach, After + shortest, std::int64_t{0}});
    const std::int64_t hi = std::min(centre + reach, total);
    if (!In.Decode || hi - lo < In.QuietMs * rate / 1000)
        return Change;
    const auto first = static_cast<std::size_t>(lo / spf);
    const auto count = static_cast<std::size_t>((hi + spf - 1) / spf) - first;
    const TBroadcastPcm pcm = In.Decode(first, count);
    const TQuietStretch quiet = QuietestStretch(pcm.Mono, pcm.SampleRate > 0 ? pcm.SampleRate : static_cast<int>(rate),
                                                In.QuietMs, centre - static_cast<std::int64_t>(first) * spf);
    if (quiet.End <= quiet.Begin)
        return Change;
    return static_cast<std::int64_t>(first) * spf + quiet.Middle();
}

} // namespace

TSongSplit SplitSongs(const TSongSplitInput &In, int FromMark)
{
    TSongSplit split;
    const std::int64_t total = In.Frames.Samples();
    if (total <= 0 || In.Frames.SampleRate <= 0)
        return split;
    const std::vector<std::size_t> &offsets = In.Frames.Offsets;
    TSong song;
    song.Title = In.Marks.empty() ? std::string() : In.Marks.front().Title;
    song.JoinedMidway = true;
    std::size_t fromSong = 0;
    for (std::size_t i = 0; i < In.Marks.size(); ++i) {
        const TTitleMark &mark = In.Marks[i];
        if (!mark.Change || mark.Title == song.Title)
            continue;
        const auto frame = static_cast<std::int64_t>(
            std::lower_bound(offsets.begin(), offsets.end(), static_cast<std::size_t>(mark.Byte)) - offsets.begin());
        const std::int64_t change = frame * In.Frames.SamplesPerFrame;
        const std::int64_t at = refine(In, change, song.Begin);
        if (at <= song.Begin || at >= total)
            continue; // no room for a song between: the title changed again at once
        split.OffsetsMs.push_back(static_cast<int>((at - change) * 1000 / In.Frames.SampleRate));
        song.End = at;
        split.Songs.push_back(song);
        song = TSong{};
        song.Begin = at;
        song.Title = mark.Title;
        if (static_cast<int>(i) == FromMark)
            fromSong = split.Songs.size();
    }
    song.End = total;
    song.CutShort = true;
    split.Songs.push_back(song);
    if (fromSong > 0) {
        split.Songs.erase(split.Songs.begin(), split.Songs.begin() + static_cast<long>(fromSong));
        split.Songs.front().JoinedMidway = false;
    }
    return split;
}

std::vector<TBroadcastChapter> SongChapters(const std::vector<TSong> &Songs, int SampleRate)
{
    std::vector<TBroadcastChapter> chapters;
    if (Songs.empty() || SampleRate <= 0)
        return chapters;
    const std::int64_t origin = Songs.front().Begin;
    for (const TSong &s : Songs)
        chapters.push_back({static_cast<std::uint32_t>((s.Begin - origin) * 1000 / SampleRate),
                            static_cast<std::uint32_t>((s.End - origin) * 1000 / SampleRate), s.Title});
    return chapters;
}

std::string SongFileStem(const std::string &StreamTitle)
{
    std::string out;
    bool blank = false;
    for (const char c : StreamTitle) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = !out.empty();
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        const bool unsafe = u < 0x20 || u == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr;
        out += unsafe ? '_' : c;
    }
    for (char &c : out) {
        if (c != '.')
            break;
        c = '_';
    }
    constexpr std::size_t limit = 150;
    if (out.size() > limit) {
        std::size_t n = limit;
        while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80)
            --n; // never split a character
        out.resize(n);
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
    }
    // A name ending in a dot or blank is trouble on some file systems.
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))
        out.back() = '_';
    return out.empty() ? std::string("Unknown song") : out;
}
