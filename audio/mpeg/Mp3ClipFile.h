// Writing a clip of an MP3 file to disk without re-encoding: the cut stream between the
// source's own tags.
//
// Any thread; one call at a time per target path. Uses TagLib for the ID3v2 tag, which is why
// it builds apart from the cutter itself.
#pragma once

#include "Mp3Cutter.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Writes [Begin, End) of the MP3 file [Data, Data + Size) to Path: the source's ID3v2 tag
// (its frames kept, a length frame set to the clip's length, frames that point into the
// source's audio dropped), the clip's stream, and the source's ID3v1 block. Creates or
// truncates Path. Throws EAuException with a message for the user when the source cannot be
// cut or the file cannot be written; Path may then hold a partial file, which the caller
// removes (the trimmer writes to a hidden file and renames it only on success).
Mp3Clip WriteMp3ClipFile(const std::uint8_t *Data, std::size_t Size, std::int64_t Begin, std::int64_t End,
                         const std::string &Path);
// The same with the source's index already built (IndexMp3 of the same bytes).
Mp3Clip WriteMp3ClipFile(const std::uint8_t *Data, std::size_t Size, const Mp3FrameIndex &Index, std::int64_t Begin,
                         std::int64_t End, const std::string &Path);
