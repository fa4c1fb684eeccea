// The compressed pre-recording ring: the station's own packets (MP3 frames, ADTS AAC frames)
// written as they arrive into one of two segment files, so that a recording can be saved
// without decoding or encoding anything.
//
// A segment file is the plain concatenation of whole packets: for MP3 and ADTS AAC that is a
// valid elementary stream of its own, and two segments written one after the other join into
// one without a gap or a repeat (a switch happens between two packets, never inside one).
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

// The formats a station's packets can be kept in as they are.
enum class TBroadcastFormat : std::uint8_t { None, Mp3, Aac };

// The file extension of a broadcast format ("mp3", "aac"; "" for None).
const char *BroadcastExtension(TBroadcastFormat Format);

// What receives the compressed packets of a network input. OnPacket is called on the input's
// reader thread with the packet's bytes, valid only during the call; it must not block for long
// (the reader reads nothing meanwhile).
class IPacketSink {
public:
    virtual ~IPacketSink() = default;
    virtual void OnPacket(const std::uint8_t *Data, std::size_t Size) = 0;
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

    // Reader thread (see the header's note).
    void OnPacket(const std::uint8_t *Data, std::size_t Size) override;

private:
    void CloseLocked();

    mutable std::mutex FLock;
    std::FILE *FFile = nullptr; // the open segment, owned
    std::string FPath;
    bool FPaused = false;
    std::uint64_t FBytes = 0;
    std::uint64_t FPackets = 0;
    std::string FError;
};
