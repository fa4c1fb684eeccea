// Saving an AAC recording kept as broadcast in an MPEG-4 audio file (.m4a): the station's own
// ADTS frames without their headers, through FFmpeg's muxer (stream copy), written beside the
// target and renamed over it only when complete.
//
// Any thread; one call at a time per target path.
#pragma once

#include "AuPacketRing.h"

#include <cstdint>
#include <string>
#include <vector>

// Writes the whole ADTS frames [round(Begin / 1024), round(End / 1024)) of Stream (End < 0:
// to the end) to Path as .m4a, with Tags as the container's metadata (title, artist, album,
// comment, date, a partial song said in the comment) and Tags.Chapters as its chapter list.
// Throws EAuException with a message for the user when Stream holds no AAC frame in the
// stretch or the file cannot be written; a file that was at Path is then as it was.
TBroadcastSaved WriteM4aBroadcastFile(const std::vector<std::uint8_t> &Stream, std::int64_t Begin, std::int64_t End,
                                      const TBroadcastTags &Tags, const std::string &Path);
