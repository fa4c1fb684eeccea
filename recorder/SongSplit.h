// Finding the songs of a recording kept as broadcast: where the station changed its title,
// moved to the quietest stretch near each change, and the names their files get. Free of Qt
// and of the window.
//
// Pure functions and plain values; any thread. Positions are samples per channel of the
// recording's stream as TBroadcastFrames counts them.
#pragma once

#include "AuPacketRing.h"
#include "BroadcastLevels.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A stretch of decoded audio [Begin, End), in samples of the PCM it was found in.
struct TQuietStretch {
    std::int64_t Begin = 0, End = 0;
    double Power = 0; // mean square level over the stretch
    std::int64_t Middle() const { return Begin + (End - Begin) / 2; }
};

// The quietest stretch of at least MinMs milliseconds in Mono: the MinMs window (in 10 ms
// steps) of least mean power, widened over the neighbouring steps as quiet as it, so that a
// pause is found whole. Of windows about as quiet (within twice the least power, or all
// below -90 dBFS) the one nearest Prefer (a sample of Mono; < 0: the first) wins, so two
// equal pauses go to the one nearer the expected change. End == Begin when Mono is shorter
// than MinMs.
TQuietStretch QuietestStretch(const std::vector<float> &Mono, int SampleRate, int MinMs = 300,
                              std::int64_t Prefer = -1);

// A station's usual distance from its title change to the real change of song, learned from
// past boundaries: the median of the last few. Written as a list of milliseconds ("-2310,-2290")
// for the settings file.
class TSongOffset {
public:
    static constexpr int Kept = 8;        // boundaries remembered
    static constexpr int LimitMs = 6000;  // a learned offset is never beyond the search's reach
    void Add(int Ms);
    int ExpectedMs() const; // 0 before any boundary
    bool Empty() const { return FMs.empty(); }
    std::string Text() const;
    // Unreadable items are skipped.
    static TSongOffset FromText(const std::string &Text);

private:
    std::vector<int> FMs;
};

// One song of a recording.
struct TSong {
    std::int64_t Begin = 0, End = 0; // [Begin, End) of the stream
    std::string Title;               // "Artist - Title" as the station sent it
    bool JoinedMidway = false;       // the recording began after the song did
    bool CutShort = false;           // the recording ended before the song did
    bool Partial() const { return JoinedMidway || CutShort; }
};

// What splitting needs beyond the stream.
struct TSongSplitInput {
    TBroadcastFrames Frames;
    std::vector<TTitleMark> Marks; // byte offsets into the stream, in order
    int OffsetMs = 0;              // the station's learned offset
    int SearchMs = 6000;           // the quiet is looked for within this of the expected change
    int QuietMs = 300;
    int ShortestSongMs = 2000; // no boundary this close after the one before
    // Frames [First, First + Count) decoded (DecodeBroadcastStretch on the stream).
    std::function<TBroadcastPcm(std::size_t First, std::size_t Count)> Decode;
};

struct TSongSplit {
    std::vector<TSong> Songs;
    // Per refined change: the boundary's distance from its title change in milliseconds (to
    // learn the station's offset from).
    std::vector<int> OffsetsMs;
};

// The songs of the whole stream, split at each title change that names a new title, each
// change moved to the middle of the quietest stretch within SearchMs of change + OffsetMs.
// The first song counts as joined midway, the last as cut short. From (>= 0) drops what
// comes before the change of the mark at that index, refined: the recording then starts with
// that song whole (its first song is not joined midway).
TSongSplit SplitSongs(const TSongSplitInput &In, int FromMark = -1);

// The songs' chapters in milliseconds from the start of the first one.
std::vector<TBroadcastChapter> SongChapters(const std::vector<TSong> &Songs, int SampleRate);

// "Artist - Title" (or the title alone) as a file name without extension: characters that no
// common file system takes, control characters and leading dots become "_", blanks are
// folded, the length is bounded (150 bytes of UTF-8, whole characters); "Unknown song" for
// an empty title.
std::string SongFileStem(const std::string &StreamTitle);
