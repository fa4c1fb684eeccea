// The compressed pre-recording ring: the station's own packets (MP3 frames, ADTS AAC frames,
// Vorbis or Opus packets of an Ogg stream) written as they arrive into one of two segment
// files, so that a recording can be saved without decoding or encoding anything.
//
// A segment file is the plain concatenation of whole packets as the input hands them over: for
// MP3 and ADTS AAC a valid elementary stream of its own; for Ogg each packet framed as
// TOggPacketHeader says (Ogg pages are rebuilt around the packets when saving). Two segments
// written one after the other join into one without a gap or a repeat (a switch happens
// between two packets, never inside one).
//
// Threads and locks: the network input's reader thread calls OnPacket for every packet of the
// station's audio stream; the window thread calls everything else. One mutex (FLock) guards the
// open segment, the pause flag and the counters, and is held while a packet is written, so a
// switch never splits a packet and a segment closed by the window thread is complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// The formats a station's packets can be kept in as they are.
enum class TBroadcastFormat : std::uint8_t { None, Mp3, Aac, Vorbis, Opus };

// The file extension of a broadcast format ("mp3", "aac", "ogg", "opus"; "" for None).
const char *BroadcastExtension(TBroadcastFormat Format);
// Vorbis and Opus: packets framed, pages made when saving.
inline bool IsOggFormat(TBroadcastFormat Format)
{
    return Format == TBroadcastFormat::Vorbis || Format == TBroadcastFormat::Opus;
}

// In front of each Ogg packet in a segment: the packet's length in bytes and its duration in
// samples per channel (0 when the stream did not say), both little-endian 32-bit.
constexpr std::size_t OggPacketHeaderBytes = 8;

// What saving needs to know about the stream beyond its packets: for Ogg the codec's header
// packets (FFmpeg's extradata layout: Vorbis as Xiph lacing of the three headers, Opus the
// OpusHead packet), the sample rate and channel count. Empty for MP3 and AAC, whose frames
// carry it all.
struct TBroadcastStream {
    TBroadcastFormat Format = TBroadcastFormat::None;
    std::vector<std::uint8_t> Headers;
    int SampleRate = 0;
    int Channels = 0;
};

// What receives the compressed packets of a network input. OnPacket is called on the input's
// reader thread with the packet's bytes, valid only during the call; it must not block for long
// (the reader reads nothing meanwhile).
class IPacketSink {
public:
    virtual ~IPacketSink() = default;
    virtual void OnPacket(const std::uint8_t *Data, std::size_t Size) = 0;
    // The stream's title changed (UTF-8, "Artist - Title" as stations send it). Called on the
    // reader thread between the packet before the change and the one after it, so a sink
    // keeping packets knows where in them the title changed.
    virtual void OnStreamTitle(const std::string &Title) { (void)Title; }
};

// A song of a long recording as a chapter: its stretch in milliseconds from the start of the
// file's audio and its "Artist - Title".
struct TBroadcastChapter {
    std::uint32_t StartMs = 0, EndMs = 0;
    std::string Title;
};

// The tags of a saved recording, UTF-8; an empty text is left out.
struct TBroadcastTags {
    std::string Title;
    std::string Artist;
    std::string Album;   // the station's name
    std::string Comment; // the station's address
    std::string Date;    // "yyyy-MM-dd", the recording's day
    bool Partial = false; // a song joined or left mid-way (one file per song)
    // The songs of a recording as ID3v2 chapters (CHAP frames, listed in order by one CTOC);
    // none when empty.
    std::vector<TBroadcastChapter> Chapters;
};

// Where the frames of an MP3 or ADTS AAC stream start. Frame k's first sample (per channel,
// as a decoder plays the stream from its first frame) is k * SamplesPerFrame.
struct TBroadcastFrames {
    std::vector<std::size_t> Offsets;
    int SamplesPerFrame = 0;
    int SampleRate = 0;
    std::int64_t Samples() const { return static_cast<std::int64_t>(Offsets.size()) * SamplesPerFrame; }
};

// Where the title changed within a segment: the byte of the segment the first packet after the
// change starts at. A segment's first mark (Byte 0, Change false) carries the title in force
// when it began.
struct TTitleMark {
    std::uint64_t Byte = 0;
    std::string Title;
    bool Change = false;
};

// What a saved file holds.
struct TBroadcastSaved {
    std::size_t Frames = 0;        // audio frames written after the Info frame (MP3) or the tag
    bool SilentFirst = false;      // MP3: the first of them is a silent frame of ours (the
                                   // decoder delay's room, the bit reservoir of frames before
                                   // the recording); every other frame is the station's own
    std::size_t DroppedBytes = 0;  // bytes left out: garbage between frames, a truncated last one
    std::int64_t Samples = 0;      // samples per channel a gapless player plays (MP3); 0 unknown
};

class TPacketRing : public IPacketSink {
public:
    TPacketRing() = default;
    ~TPacketRing() override; // closes the open segment
    TPacketRing(const TPacketRing &) = delete;
    TPacketRing &operator=(const TPacketRing &) = delete;

    // Creates (or empties) Path as a private file and makes it the segment the next packets go
    // to; the segment written before is closed complete. A link at Path is not followed (the
    // open fails). False with Error() set when the file cannot be made; the ring then writes
    // nothing until the next successful start. Window thread.
    bool StartSegment(const std::string &Path);
    // Closes the open segment (nothing is written until the next start). Window thread.
    void Stop();
    // While paused packets are dropped; the open segment stays open. Window thread.
    void SetPaused(bool Paused);
    bool Running() const;
    // Bytes written to the open segment (0 when none is open).
    std::uint64_t SegmentBytes() const;
    // Packets taken since the ring was made, written or not (the input feeds the ring).
    std::uint64_t PacketsSeen() const;
    // Why the last start failed or the last write went wrong ("" when nothing did). A failed
    // write closes the segment: what it holds up to the last whole packet stays valid.
    std::string Error() const;

    // The title changes of the segment last written at Path (its first mark carries the title
    // in force when it began); empty for a path no segment of this run was written to. A
    // segment started again at the same path starts its marks afresh. Window thread.
    std::vector<TTitleMark> Marks(const std::string &Path) const;
    // The last title the input reported ("" before any).
    std::string CurrentTitle() const;

    // Reader thread (see the header's note).
    void OnPacket(const std::uint8_t *Data, std::size_t Size) override;
    // Marks the change at the open segment's end (also while paused: the song changed where
    // the recording goes on).
    void OnStreamTitle(const std::string &Title) override;

private:
    void CloseLocked();

    mutable std::mutex FLock;
    std::FILE *FFile = nullptr; // the open segment, owned
    std::string FPath;
    bool FPaused = false;
    std::uint64_t FBytes = 0;
    std::uint64_t FPackets = 0;
    std::string FError;
    std::string FTitle;
    // The marks of the open segment and of the one before it (a recording keeps two at most).
    struct SegmentMarks {
        std::string Path;
        std::vector<TTitleMark> Marks;
    };
    SegmentMarks FMarks[2];
};
