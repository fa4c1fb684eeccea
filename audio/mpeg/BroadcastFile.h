// Saving a recording kept as broadcast: the station's own frames, unchanged, in a file of their
// format with tags, written beside the target and renamed over it only when complete.
//
// Any thread; one call at a time per target path. Uses TagLib to render the ID3v2 tag.
#pragma once

#include "AuPacketRing.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "Artist - Title" of a stream title split in two at the first " - "; without one the whole
// text is the title. Blanks around each part are dropped. Pure.
void SplitStreamTitle(const std::string &StreamTitle, std::string &Artist, std::string &Title);

// The whole ADTS frames of [Data, Data + Size): bytes between frames (a resynchronisation)
// and a truncated last frame are left out and counted in Dropped. Pure.
std::vector<std::uint8_t> WholeAdtsFrames(const std::uint8_t *Data, std::size_t Size, std::size_t &Frames,
                                          std::size_t &Dropped);

// Writes Stream (the concatenated packets of a recording in Format) to Path:
// - Mp3: an ID3v2 tag, an Info frame giving the exact length (delay and padding for a gapless
//   player), the station's frames unchanged (a silent frame in front when the first kept frame
//   draws on bytes of frames before the recording);
// - Aac: an ID3v2 tag and the whole ADTS frames unchanged.
// The file is written to a hidden file beside Path, synced, and renamed over Path only when
// complete, so a failure leaves a file that was at Path as it was. Throws EAuException with a
// message for the user when Stream holds no audio of Format or the file cannot be written.
TBroadcastSaved WriteBroadcastFile(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                   const TBroadcastTags &Tags, const std::string &Path);

// The frames of an MP3 or ADTS AAC stream (garbage between frames and a cut-short last frame
// are not frames). Empty Offsets when Stream holds none. Pure.
TBroadcastFrames IndexBroadcastFrames(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream);

// Writes the stretch [Begin, End) of Stream to Path as WriteBroadcastFile writes the whole.
// Positions are samples per channel as TBroadcastFrames counts them. MP3 is cut to the sample
// by the cutter (delay and padding in the Info frame), so stretches cut one after the other
// join back without a gap; AAC keeps the whole frames [round(Begin / 1024), round(End / 1024)),
// so consecutive stretches tile the stream. Tags.Partial and Tags.Chapters go into the ID3v2
// tag. Throws EAuException as WriteBroadcastFile does, and when the stretch holds no frame.
TBroadcastSaved WriteBroadcastRange(TBroadcastFormat Format, const std::vector<std::uint8_t> &Stream,
                                    std::int64_t Begin, std::int64_t End, const TBroadcastTags &Tags,
                                    const std::string &Path);
