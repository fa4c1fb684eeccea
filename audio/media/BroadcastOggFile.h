// Saving a recording of an Ogg station kept as broadcast: the station's own Vorbis or Opus
// packets, unchanged, in a new Ogg page sequence (FFmpeg's muxer, stream copy), written beside
// the target and renamed over it only when complete.
//
// Any thread; one call at a time per target path.
#pragma once

#include "AuPacketRing.h"

#include <cstdint>
#include <string>
#include <vector>

// Writes Framed (the ring's segments of an Ogg stream: packets framed as TOggPacketHeader says)
// to Path as Ogg Vorbis or Ogg Opus with Stream's codec headers, the packets' own bytes and
// durations (granule positions counted from 0), and Tags in the stream's comment header. A
// truncated last record is left out (counted in DroppedBytes). The file is written to a hidden
// file beside Path and renamed over it when complete; a failure leaves a file that was at Path
// as it was. Throws EAuException with a message for the user when Stream is no Ogg stream,
// Framed holds no packet, or the file cannot be written.
TBroadcastSaved WriteOggBroadcastFile(const TBroadcastStream &Stream, const std::vector<std::uint8_t> &Framed,
                                      const TBroadcastTags &Tags, const std::string &Path);

// Writes the packets of Framed whose start lies in [Begin, End) to Path as
// WriteOggBroadcastFile writes the whole, granule positions counted from 0 again. Positions are
// samples per channel as the packets' durations count them (48 kHz for Opus), from the first
// packet; packets of unknown duration take no time. A Vorbis decoder plays the first packet of
// a file only as the overlap for the next, so a stretch starts half a block later than its
// first packet. Throws EAuException as WriteOggBroadcastFile does, and when no packet starts in
// the stretch.
TBroadcastSaved WriteOggBroadcastRange(const TBroadcastStream &Stream, const std::vector<std::uint8_t> &Framed,
                                       std::int64_t Begin, std::int64_t End, const TBroadcastTags &Tags,
                                       const std::string &Path);
